#include "app/TerminalArea.h"

#include "app/FormBuilder.h"
#include "app/KeyInput.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextOption>

#include <algorithm>
#include <cstring>
#include <vector>

namespace vh {

namespace {

constexpr int kMargin = 2;

// The sixteen ANSI colours as xterm shows them, then the 6x6x6 cube and the
// grey ramp of the 256-colour set.
QColor IndexedColor(int index)
{
    static const QRgb ansi[16] = {
        qRgb(0, 0, 0),       qRgb(205, 0, 0),   qRgb(0, 205, 0),   qRgb(205, 205, 0),
        qRgb(0, 0, 238),     qRgb(205, 0, 205), qRgb(0, 205, 205), qRgb(229, 229, 229),
        qRgb(127, 127, 127), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
        qRgb(92, 92, 255),   qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255),
    };
    if (index < 16)
        return QColor(ansi[index]);
    if (index < 232) {
        const int i = index - 16;
        auto level = [](int v) { return v == 0 ? 0 : 55 + 40 * v; };
        return QColor(level(i / 36), level((i / 6) % 6), level(i % 6));
    }
    const int grey = 8 + 10 * (index - 232);
    return QColor(grey, grey, grey);
}

// The face the area was drawn with, or the system's fixed-width face at the
// same size where it is not installed: cells need a face whose letters all
// have one width.
QFont TerminalFont()
{
    QFont font = FormFont(QStringLiteral("Courier New"), 8);
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    if (!QFontInfo(font).fixedPitch()) {
        QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        fixed.setPixelSize(font.pixelSize());
        return fixed;
    }
    return font;
}

} // namespace

TerminalArea::TerminalArea(QWidget* parent)
    : QAbstractScrollArea(parent), m_screen(80, 24),
      m_window([this](qv::TMessage& message) { WndProc(message); })
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setAutoFillBackground(false);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Text, Qt::black);
    setPalette(palette);

    m_font = TerminalFont();
    m_boldFont = m_font;
    m_boldFont.setBold(true);
    const QFontMetrics metrics(m_font);
    m_cellWidth = std::max(1, metrics.horizontalAdvance(QLatin1Char('M')));
    m_cellHeight = std::max(1, metrics.height());
    UpdateGeometry();
}

TerminalArea::~TerminalArea() = default;

void TerminalArea::WndProc(qv::TMessage& message)
{
    if (message.Msg != qv::EM_REPLACESEL || message.LParam == 0) {
        message.Result = qv::DefWindowProc(m_window.Handle(), message.Msg, message.WParam, message.LParam);
        return;
    }
    const char* bytes = reinterpret_cast<const char*>(message.LParam);
    Receive(QByteArray(bytes, qsizetype(std::strlen(bytes))));
}

void TerminalArea::Receive(const QByteArray& bytes)
{
    m_screen.Feed(m_codec.ToScreen(bytes));
    AfterFeed();
    const QByteArray replies = m_screen.TakeReplies();
    if (!replies.isEmpty())
        emit Replies(replies);
}

void TerminalArea::Echo(const QByteArray& utf8)
{
    m_screen.Feed(utf8);
    AfterFeed();
    // Echoed text is ours: a query in it is no question from the far side.
    m_screen.TakeReplies();
}

void TerminalArea::StartSession()
{
    if (m_screen.AlternateScreen())
        m_screen.Feed("\x1b[?1049l", 8);
    // A soft reset: cursor keys, keypad, colours and scroll region as at
    // power-on, the text kept.
    m_screen.Feed("\x1b[!p", 4);
    if (m_screen.Cursor().column != 0)
        m_screen.Feed("\r\n", 2);
    m_screen.TakeReplies();
    AfterFeed();
}

void TerminalArea::AfterFeed()
{
    if (m_screen.TakeBells() > 0)
        QApplication::beep();
    const auto [first, last] = m_screen.TakeDamage();
    const int before = verticalScrollBar()->value();
    UpdateScrollBar();
    if (verticalScrollBar()->value() != before || !m_followOutput) {
        viewport()->update();
    } else if (first <= last) {
        viewport()->update(0, first * m_cellHeight, viewport()->width(), (last - first + 1) * m_cellHeight);
    }
}

void TerminalArea::UpdateGeometry()
{
    const QSize size = viewport()->size();
    const int columns = std::max(1, (size.width() - 2 * kMargin) / m_cellWidth);
    const int rows = std::max(1, size.height() / m_cellHeight);
    if (columns != m_screen.Columns() || rows != m_screen.Rows()) {
        m_screen.Resize(columns, rows);
        m_screen.TakeDamage();
        emit SizeChanged(m_screen.Columns(), m_screen.Rows());
    }
    UpdateScrollBar();
    viewport()->update();
}

void TerminalArea::UpdateScrollBar()
{
    QScrollBar* bar = verticalScrollBar();
    const int maximum = m_screen.ScrollbackLines();
    const QSignalBlocker blocker(bar);
    bar->setRange(0, maximum);
    bar->setPageStep(m_screen.Rows());
    bar->setSingleStep(1);
    if (m_followOutput)
        bar->setValue(maximum);
}

int TerminalArea::TopLine() const
{
    return verticalScrollBar()->value();
}

void TerminalArea::scrollContentsBy(int, int)
{
    m_followOutput = verticalScrollBar()->value() == verticalScrollBar()->maximum();
    viewport()->update();
}

void TerminalArea::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    UpdateGeometry();
}

QColor TerminalArea::ColorOf(const TerminalColor& color, bool foreground) const
{
    switch (color.kind) {
    case TerminalColor::Indexed:
        return IndexedColor(color.index);
    case TerminalColor::Rgb:
        return QColor(color.red, color.green, color.blue);
    case TerminalColor::Default:
        break;
    }
    return palette().color(foreground ? QPalette::Text : QPalette::Base);
}

bool TerminalArea::IsSelected(int line, int column) const
{
    if (!m_hasSelection)
        return false;
    const TextPos from = std::min(m_anchor, m_selectionEnd);
    const TextPos to = std::max(m_anchor, m_selectionEnd);
    const TextPos here{line, column};
    return from <= here && here < to;
}

namespace {

bool IsRightToLeft(char32_t ch)
{
    const QChar::Direction direction = QChar::direction(ch);
    return direction == QChar::DirR || direction == QChar::DirAL;
}

bool IsNeutral(char32_t ch)
{
    if (ch == 0)
        return true;
    const QChar::Direction direction = QChar::direction(ch);
    return direction == QChar::DirWS || direction == QChar::DirON || direction == QChar::DirCS;
}

} // namespace

void TerminalArea::paintEvent(QPaintEvent*)
{
    QPainter painter(viewport());
    const QColor base = palette().color(QPalette::Base);
    painter.fillRect(viewport()->rect(), base);
    const QFontMetrics metrics(m_font);
    const int ascent = metrics.ascent();
    const int scrollback = m_screen.ScrollbackLines();
    const int top = TopLine();
    const TerminalCursor cursor = m_screen.Cursor();
    const int columns = m_screen.Columns();
    const int visibleRows = std::min(m_screen.Rows(), viewport()->height() / m_cellHeight + 1);
    std::vector<TerminalCell> cells(static_cast<std::size_t>(columns));
    for (int r = 0; r < visibleRows; ++r) {
        const int line = top + r;
        const int row = line - scrollback;
        if (row >= m_screen.Rows())
            break;
        const int y = r * m_cellHeight;
        for (int c = 0; c < columns; ++c)
            cells[std::size_t(c)] = m_screen.Cell(row, c);
        for (int c = 0; c < columns;) {
            const TerminalCell& cell = cells[std::size_t(c)];
            // A cell grid has no room for the reordering and joining that
            // Persian and Arabic need, so a run of their letters (with the
            // spaces and marks between them) is drawn as one right-to-left
            // text over its cells.
            int runEnd = c + 1;
            if (IsRightToLeft(cell.ch)) {
                for (int k = runEnd; k < columns; ++k) {
                    const char32_t ch = cells[std::size_t(k)].ch;
                    if (IsRightToLeft(ch)) {
                        runEnd = k + 1;
                    } else if (!IsNeutral(ch) || cells[std::size_t(k)].attributes != cell.attributes ||
                               !(cells[std::size_t(k)].foreground == cell.foreground)) {
                        break;
                    }
                }
            }
            QString text;
            for (int k = c; k < runEnd; ++k) {
                const TerminalCell& part = cells[std::size_t(k)];
                if (part.width == 0)
                    continue;
                QColor fg = ColorOf(part.foreground, true);
                QColor bg = ColorOf(part.background, false);
                const bool atCursor = cursor.visible && row == cursor.row && k == cursor.column;
                if (part.Has(TerminalCell::Reverse) != IsSelected(line, k))
                    std::swap(fg, bg);
                if (atCursor && hasFocus())
                    std::swap(fg, bg);
                const int x = kMargin + k * m_cellWidth;
                const int w = m_cellWidth * std::max<int>(1, part.width);
                if (bg != base)
                    painter.fillRect(x, y, w, m_cellHeight, bg);
                if (atCursor && !hasFocus()) {
                    painter.setPen(palette().color(QPalette::Text));
                    painter.drawRect(x, y, w - 1, m_cellHeight - 1);
                }
                text += part.ch > U' ' ? QString::fromUcs4(&part.ch, 1) : QString(QLatin1Char(' '));
                if (k == c || runEnd - c == 1)
                    painter.setPen(fg);
            }
            if (!text.trimmed().isEmpty()) {
                QFont font = cell.Has(TerminalCell::Bold) ? m_boldFont : m_font;
                font.setItalic(cell.Has(TerminalCell::Italic));
                font.setUnderline(cell.Has(TerminalCell::Underline));
                font.setStrikeOut(cell.Has(TerminalCell::Strike));
                painter.setFont(font);
                const int x = kMargin + c * m_cellWidth;
                if (runEnd - c == 1) {
                    painter.drawText(x, y + ascent, text);
                } else {
                    QTextOption option(Qt::AlignRight | Qt::AlignVCenter);
                    option.setTextDirection(Qt::RightToLeft);
                    option.setWrapMode(QTextOption::NoWrap);
                    painter.drawText(QRectF(x, y, (runEnd - c) * m_cellWidth, m_cellHeight), text, option);
                }
            }
            c = runEnd;
        }
    }
}

bool TerminalArea::event(QEvent* event)
{
    // Tab belongs to the far side here, not to the window's focus chain, and
    // no shortcut of the window takes a key typed into the terminal.
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            keyPressEvent(key);
            return true;
        }
    } else if (event->type() == QEvent::ShortcutOverride) {
        event->accept();
        return true;
    }
    return QAbstractScrollArea::event(event);
}

void TerminalArea::keyPressEvent(QKeyEvent* event)
{
    Act(ClassifyTerminalKey(event->key(), event->modifiers(), event->text()));
    event->accept();
}

void TerminalArea::Act(const TerminalKeyAction& action)
{
    QScrollBar* bar = verticalScrollBar();
    switch (action.kind) {
    case TerminalKeyAction::None:
        return;
    case TerminalKeyAction::Copy:
        CopySelection(true);
        return;
    case TerminalKeyAction::Paste:
        PasteFrom(false);
        return;
    case TerminalKeyAction::ScrollUp:
        bar->setValue(bar->value() - bar->pageStep());
        return;
    case TerminalKeyAction::ScrollDown:
        bar->setValue(bar->value() + bar->pageStep());
        return;
    case TerminalKeyAction::Key:
        if (action.key == TerminalKey::Enter)
            emit Typed(m_enterBytes, QByteArrayLiteral("\r\n"));
        else if (action.key == TerminalKey::Backspace)
            emit Typed(m_screen.EncodeKey(action.key, action.modifiers), QByteArrayLiteral("\b \b"));
        else
            emit Typed(m_screen.EncodeKey(action.key, action.modifiers), QByteArray());
        break;
    case TerminalKeyAction::Character:
        emit Typed(m_screen.EncodeCharacter(action.ch, action.modifiers), QByteArray());
        break;
    case TerminalKeyAction::Text: {
        const QByteArray bytes = m_codec.FromKeyboard(action.text);
        emit Typed(bytes, m_codec.ToScreen(bytes));
        break;
    }
    }
    // Typing brings the view back to the screen.
    m_followOutput = true;
    UpdateScrollBar();
    viewport()->update();
}

void TerminalArea::inputMethodEvent(QInputMethodEvent* event)
{
    if (!event->commitString().isEmpty()) {
        TerminalKeyAction action;
        action.kind = TerminalKeyAction::Text;
        action.text = event->commitString();
        Act(action);
    }
    event->accept();
}

QVariant TerminalArea::inputMethodQuery(Qt::InputMethodQuery query) const
{
    if (query == Qt::ImCursorRectangle) {
        const TerminalCursor cursor = m_screen.Cursor();
        const int row = cursor.row + m_screen.ScrollbackLines() - TopLine();
        return QRect(kMargin + cursor.column * m_cellWidth, row * m_cellHeight, m_cellWidth, m_cellHeight);
    }
    if (query == Qt::ImEnabled)
        return true;
    return QAbstractScrollArea::inputMethodQuery(query);
}

void TerminalArea::PasteFrom(bool selection)
{
    QClipboard* clipboard = QApplication::clipboard();
    const QClipboard::Mode mode =
        selection && clipboard->supportsSelection() ? QClipboard::Selection : QClipboard::Clipboard;
    QString text = clipboard->text(mode);
    if (text.isEmpty())
        return;
    // A line break is Enter to the far side, whatever the clipboard's
    // convention.
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\r"));
    text.replace(QLatin1Char('\n'), QLatin1Char('\r'));
    QByteArray bytes = m_codec.FromKeyboard(text);
    // A text that carries the end of a bracketed paste would let the rest run
    // as typed commands.
    bytes.replace("\x1b[201~", "");
    QByteArray echo = m_codec.ToScreen(bytes);
    echo.replace("\r", "\r\n");
    emit Pasted(m_screen.EncodePaste(bytes), echo);
}

TerminalArea::TextPos TerminalArea::PosAt(const QPoint& point) const
{
    const int row = std::clamp(point.y() / m_cellHeight, 0, m_screen.Rows() - 1);
    const int column =
        std::clamp((point.x() - kMargin + m_cellWidth / 2) / m_cellWidth, 0, m_screen.Columns());
    return TextPos{TopLine() + row, column};
}

void TerminalArea::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        setFocus(Qt::MouseFocusReason);
        m_selecting = true;
        m_hasSelection = false;
        m_anchor = m_selectionEnd = PosAt(event->position().toPoint());
        viewport()->update();
    } else if (event->button() == Qt::MiddleButton) {
        setFocus(Qt::MouseFocusReason);
        PasteFrom(true);
    }
}

void TerminalArea::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_selecting)
        return;
    m_selectionEnd = PosAt(event->position().toPoint());
    m_hasSelection = m_selectionEnd != m_anchor;
    viewport()->update();
}

void TerminalArea::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !m_selecting)
        return;
    m_selecting = false;
    m_selectionEnd = PosAt(event->position().toPoint());
    m_hasSelection = m_selectionEnd != m_anchor;
    if (m_hasSelection)
        CopySelection(false);
    viewport()->update();
}

void TerminalArea::mouseDoubleClickEvent(QMouseEvent* event)
{
    // A word: the run of non-blank cells around the click.
    const TextPos at = PosAt(event->position().toPoint());
    const int row = at.line - m_screen.ScrollbackLines();
    auto blank = [&](int c) { return m_screen.Cell(row, c).ch <= U' '; };
    int from = std::min(at.column, m_screen.Columns() - 1);
    if (blank(from))
        return;
    int to = from;
    while (from > 0 && !blank(from - 1))
        --from;
    while (to < m_screen.Columns() && !blank(to))
        ++to;
    m_anchor = TextPos{at.line, from};
    m_selectionEnd = TextPos{at.line, to};
    m_hasSelection = true;
    m_selecting = false;
    CopySelection(false);
    viewport()->update();
}

QString TerminalArea::LineText(int line, int from, int to) const
{
    const int row = line - m_screen.ScrollbackLines();
    QString text;
    for (int c = from; c < to; ++c) {
        const TerminalCell cell = m_screen.Cell(row, c);
        if (cell.width == 0)
            continue;
        text += cell.ch == 0 ? QString(QLatin1Char(' ')) : QString::fromUcs4(&cell.ch, 1);
    }
    while (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    return text;
}

QString TerminalArea::SelectedText() const
{
    if (!m_hasSelection)
        return QString();
    const TextPos from = std::min(m_anchor, m_selectionEnd);
    const TextPos to = std::max(m_anchor, m_selectionEnd);
    QStringList lines;
    for (int line = from.line; line <= to.line; ++line) {
        const int start = line == from.line ? from.column : 0;
        const int end = line == to.line ? to.column : m_screen.Columns();
        lines << LineText(line, start, end);
    }
    return lines.join(QLatin1Char('\n'));
}

void TerminalArea::CopySelection(bool toClipboard)
{
    const QString text = SelectedText();
    if (text.isEmpty())
        return;
    QClipboard* clipboard = QApplication::clipboard();
    if (toClipboard)
        clipboard->setText(text, QClipboard::Clipboard);
    else if (clipboard->supportsSelection())
        clipboard->setText(text, QClipboard::Selection);
}

QString TerminalArea::Text() const
{
    QStringList lines;
    for (int row = -m_screen.ScrollbackLines(); row < m_screen.Rows(); ++row)
        lines << m_screen.RowText(row);
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines.join(QLatin1Char('\n'));
}

void TerminalArea::focusInEvent(QFocusEvent* event)
{
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void TerminalArea::focusOutEvent(QFocusEvent* event)
{
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

} // namespace vh
