#include "app/KeyInput.h"

#include <Qt>

namespace vh {

QByteArray TerminalKeyBytes(int key, const QString& text)
{
    if (text.isEmpty() || key == Qt::Key_Delete)
        return {};
    if (text == QLatin1String("\r") || text == QLatin1String("\n"))
        return QByteArrayLiteral("\r\n");
    return text.toUtf8();
}

bool IsDroppedByDigitField(const QString& text)
{
    if (text.size() != 1)
        return !text.isEmpty();
    const QChar c = text.at(0);
    if (c == QLatin1Char('\b'))
        return false;
    if (c.unicode() < 0x20 || c.unicode() == 0x7F)
        return false; // a control key: shortcuts, not typed text
    return !(c >= QLatin1Char('0') && c <= QLatin1Char('9'));
}

} // namespace vh
