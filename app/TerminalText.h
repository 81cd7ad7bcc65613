// The terminal area's received-text path: bytes from the line become text
// at the memo's caret.
#pragma once

#include "common/MessageWindow.h"

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

class QPlainTextEdit;

namespace vh {

// Turns the received byte stream into display text. UTF-8 is decoded with
// state kept across chunks, so a character split between two reads comes
// out whole. CR, LF and CR LF each end a line (a CR LF split between two
// chunks too); other control characters except tab are not shown.
class TerminalTextDecoder
{
public:
    QString Decode(const QByteArray& bytes);
    // Forgets a pending partial character and line end (a new connection).
    void Reset();

private:
    QStringDecoder m_utf8{QStringDecoder::Utf8};
    bool m_afterCr = false;
};

// The memo's display endpoint: a MessageWindow whose handle the port is
// given as display handle. EM_REPLACESEL (LParam: zero-terminated bytes)
// inserts the decoded text at the memo's caret, replacing its selection,
// and keeps the caret in view. The memo must outlive this object.
class TerminalDisplay
{
public:
    explicit TerminalDisplay(QPlainTextEdit* memo);
    TerminalDisplay(const TerminalDisplay&) = delete;
    TerminalDisplay& operator=(const TerminalDisplay&) = delete;

    qv::WindowHandle Handle() const { return m_window.Handle(); }
    void Reset() { m_decoder.Reset(); }

private:
    void WndProc(qv::TMessage& message);

    QPlainTextEdit* m_memo;
    TerminalTextDecoder m_decoder;
    qv::MessageWindow m_window;
};

} // namespace vh
