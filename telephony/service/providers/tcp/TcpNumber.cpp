#include "telephony/service/providers/tcp/TcpNumber.h"

#include <QHostAddress>

namespace qv::tcp {

namespace {

// Only blanks are forgiven around a number; a CR or any other control
// character makes it invalid rather than being trimmed away.
QString TrimBlanks(const QString& text)
{
    qsizetype begin = 0, end = text.size();
    while (begin < end && text[begin] == u' ')
        ++begin;
    while (end > begin && text[end - 1] == u' ')
        --end;
    return text.mid(begin, end - begin);
}

bool AllDigits(QStringView s)
{
    if (s.isEmpty())
        return false;
    for (QChar c : s) {
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

std::optional<std::uint16_t> ParsePort(QStringView s)
{
    if (!AllDigits(s) || s.size() > 5)
        return std::nullopt;
    const int port = s.toInt();
    if (port < 1 || port > 65535)
        return std::nullopt;
    return std::uint16_t(port);
}

bool ValidHostName(QStringView name)
{
    // Letters, digits, hyphens and dots, as a resolver accepts; no spaces, no
    // shell or URL characters, at most 253 characters.
    if (name.isEmpty() || name.size() > 253 || name.startsWith(u'.') || name.startsWith(u'-'))
        return false;
    for (QChar c : name) {
        const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                        c == u'-' || c == u'.';
        if (!ok)
            return false;
    }
    return true;
}

// An IPv6 literal as the text between brackets: hex digits, colons and the
// dots of an embedded IPv4 part, then at most a scope, "%" and an interface
// name (letters, digits, ".", "_", "-"; at most 15 characters, as the kernel
// names them). The address parser alone forgives too much: it skips blanks
// and stops at a NUL, and takes any scope text, so the junk would stay in the
// host that is connected to and shown.
bool ValidIpv6Literal(QStringView text)
{
    const qsizetype percent = text.indexOf(u'%');
    const QStringView address = percent < 0 ? text : text.left(percent);
    // 45 characters hold the longest form, an IPv4 part included.
    if (address.isEmpty() || address.size() > 45)
        return false;
    for (QChar c : address) {
        const bool ok = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F') ||
                        c == u':' || c == u'.';
        if (!ok)
            return false;
    }
    if (percent >= 0) {
        const QStringView scope = text.mid(percent + 1);
        if (scope.isEmpty() || scope.size() > 15)
            return false;
        for (QChar c : scope) {
            const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                            (c >= u'0' && c <= u'9') || c == u'.' || c == u'_' || c == u'-';
            if (!ok)
                return false;
        }
    }
    QHostAddress parsed;
    return parsed.setAddress(text.toString()) && parsed.protocol() == QAbstractSocket::IPv6Protocol;
}

std::optional<TcpTarget> FromDigits(QStringView digits)
{
    if (!AllDigits(digits) || digits.size() < 12 || digits.size() > 17)
        return std::nullopt;
    QStringList groups;
    for (int i = 0; i < 4; ++i) {
        const int value = digits.mid(i * 3, 3).toInt();
        if (value > 255)
            return std::nullopt;
        groups << QString::number(value);
    }
    std::uint16_t port = DefaultDigitPort;
    if (digits.size() > 12) {
        auto parsed = ParsePort(digits.mid(12));
        if (!parsed)
            return std::nullopt;
        port = *parsed;
    }
    return TcpTarget{groups.join(u'.'), port};
}

} // namespace

bool IsAddressLiteral(const QString& text)
{
    if (text.contains(u':'))
        return ValidIpv6Literal(text);
    // Four groups of one to three digits, each at most 255 and without a
    // leading zero: the address parser also takes the old shortened, octal
    // and hexadecimal forms, and forgives blanks and what follows a NUL.
    const QStringList groups = text.split(u'.');
    if (groups.size() != 4)
        return false;
    for (const QString& group : groups) {
        if (!AllDigits(group) || group.size() > 3 || (group.size() > 1 && group.front() == u'0') ||
            group.toInt() > 255)
            return false;
    }
    return true;
}

std::optional<TcpTarget> ParseHostPort(const QString& input, std::uint16_t defaultPort)
{
    const QString text = TrimBlanks(input);
    if (text.isEmpty())
        return std::nullopt;
    QString host;
    QStringView portText;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return std::nullopt;
        host = text.mid(1, close - 1);
        const QStringView rest = QStringView(text).mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(u':'))
                return std::nullopt;
            portText = rest.mid(1);
            if (portText.isEmpty())
                return std::nullopt;
        }
        if (!ValidIpv6Literal(host))
            return std::nullopt;
    } else {
        const qsizetype colon = text.lastIndexOf(u':');
        if (colon >= 0 && text.indexOf(u':') != colon)
            return std::nullopt; // a bare IPv6 literal must be bracketed to carry a port
        host = colon >= 0 ? text.left(colon) : text;
        if (colon >= 0) {
            portText = QStringView(text).mid(colon + 1);
            if (portText.isEmpty())
                return std::nullopt;
        }
        if (!ValidHostName(host))
            return std::nullopt;
    }
    std::uint16_t port = defaultPort;
    if (!portText.isEmpty()) {
        auto parsed = ParsePort(portText);
        if (!parsed)
            return std::nullopt;
        port = *parsed;
    }
    return TcpTarget{host, port};
}

std::optional<TcpTarget> ResolveTcpNumber(const QString& number, const QMap<QString, QString>& phonebook)
{
    const QString key = TrimBlanks(number);
    if (key.isEmpty())
        return std::nullopt;
    auto entry = phonebook.constFind(key);
    if (entry != phonebook.constEnd())
        return ParseHostPort(*entry);
    if (AllDigits(key))
        return FromDigits(key);
    return ParseHostPort(key);
}

} // namespace qv::tcp
