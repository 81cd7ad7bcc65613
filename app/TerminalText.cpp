#include "app/TerminalText.h"

#include <QPlainTextEdit>
#include <QTextCursor>

#include <cstring>

namespace vh {

QString TerminalTextDecoder::Decode(const QByteArray& bytes)
{
    const QString decoded = m_utf8.decode(bytes);
    QString text;
    text.reserve(decoded.size());
    for (QChar c : decoded) {
        const char16_t u = c.unicode();
        if (u == u'\n') {
            if (!m_afterCr)
                text += QLatin1Char('\n');
            m_afterCr = false;
            continue;
        }
        m_afterCr = false;
        if (u == u'\r') {
            text += QLatin1Char('\n');
            m_afterCr = true;
        } else if (u == u'\t' || (u >= 0x20 && u != 0x7F)) {
            text += c;
        }
    }
    return text;
}

void TerminalTextDecoder::Reset()
{
    m_utf8.resetState();
    m_afterCr = false;
}

TerminalDisplay::TerminalDisplay(QPlainTextEdit* memo)
    : m_memo(memo), m_window([this](qv::TMessage& message) { WndProc(message); })
{}

void TerminalDisplay::WndProc(qv::TMessage& message)
{
    if (message.Msg != qv::EM_REPLACESEL || message.LParam == 0) {
        message.Result = qv::DefWindowProc(m_window.Handle(), message.Msg, message.WParam, message.LParam);
        return;
    }
    const char* bytes = reinterpret_cast<const char*>(message.LParam);
    const QString text = m_decoder.Decode(QByteArray(bytes, static_cast<qsizetype>(std::strlen(bytes))));
    if (text.isEmpty())
        return;
    QTextCursor cursor = m_memo->textCursor();
    cursor.insertText(text);
    m_memo->setTextCursor(cursor);
    m_memo->ensureCursorVisible();
}

} // namespace vh
