// The terminal area: draws the screen model in the area's colours, scrolls
// its scrollback, selects and copies with the mouse, and turns keys, pastes
// and input-method text into the bytes the far side expects.
//
// Received bytes reach it through its display endpoint: the port is given
// Handle() as display handle and sends EM_REPLACESEL with the zero-terminated
// chunk, which goes to the screen's cursor whatever the mouse did. The area
// sends nothing itself: it hands typed bytes to its owner (Typed, Pasted),
// and so the answers the terminal owes the far side (Replies).
#pragma once

#include "app/terminal/TerminalCodec.h"
#include "app/terminal/TerminalScreen.h"

#include "common/MessageWindow.h"

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QFont>

#include <memory>

namespace vh {

struct TerminalKeyAction;

class TerminalArea : public QAbstractScrollArea
{
    Q_OBJECT
public:
    explicit TerminalArea(QWidget* parent = nullptr);
    ~TerminalArea() override;

    qv::WindowHandle Handle() const { return m_window.Handle(); }
    TerminalScreen& Screen() { return m_screen; }
    const TerminalScreen& Screen() const { return m_screen; }

    // The far side's code page, for what is shown and what is typed.
    void SetCodePage(TerminalCodePage page) { m_codec.SetCodePage(page); }
    TerminalCodePage CodePage() const { return m_codec.CodePage(); }
    // What Enter sends.
    void SetEnterBytes(const QByteArray& bytes) { m_enterBytes = bytes; }

    // Received bytes in the far side's code page.
    void Receive(const QByteArray& bytes);
    // Typed text shown as if received (local echo), already UTF-8.
    void Echo(const QByteArray& utf8);
    // A new connection: modes a program left behind (alternate screen,
    // application keys, colours) are reset, and the text starts on a fresh
    // line; what was shown stays.
    void StartSession();

    // The whole text, scrollback first, one line per row, trailing empty
    // rows left out.
    QString Text() const;
    // The selected text; empty when nothing is selected.
    QString SelectedText() const;
    // Character cell size in pixels and the size in cells the area holds.
    QSize CellSize() const { return QSize(m_cellWidth, m_cellHeight); }

signals:
    // Bytes to send for a key or typed text, and what local echo would show
    // for them (UTF-8; empty for keys that show nothing).
    void Typed(const QByteArray& bytes, const QByteArray& echo);
    // Pasted text, encoded and framed as the far side asked.
    void Pasted(const QByteArray& bytes, const QByteArray& echo);
    // The terminal's own answers to the far side's queries.
    void Replies(const QByteArray& bytes);
    // The size in cells changed.
    void SizeChanged(int columns, int rows);

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    // A place in the text: `line` counts from the oldest scrollback line.
    struct TextPos
    {
        int line = 0;
        int column = 0;
        auto operator<=>(const TextPos&) const = default;
    };

    void WndProc(qv::TMessage& message);
    void AfterFeed();
    void Act(const TerminalKeyAction& action);
    void PasteFrom(bool selection);
    void CopySelection(bool toClipboard);
    void UpdateGeometry();
    void UpdateScrollBar();
    int TopLine() const;
    TextPos PosAt(const QPoint& point) const;
    QString LineText(int line, int from, int to) const;
    bool IsSelected(int line, int column) const;
    QColor ColorOf(const TerminalColor& color, bool foreground) const;

    TerminalScreen m_screen;
    TerminalCodec m_codec;
    qv::MessageWindow m_window;
    QByteArray m_enterBytes = QByteArrayLiteral("\r\n");
    QFont m_font;
    QFont m_boldFont;
    int m_cellWidth = 7;
    int m_cellHeight = 13;
    bool m_followOutput = true;
    bool m_selecting = false;
    TextPos m_anchor;
    TextPos m_selectionEnd;
    bool m_hasSelection = false;
};

} // namespace vh
