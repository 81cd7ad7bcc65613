#include "telephony/service/providers/modem/AtParser.h"

#include <cctype>

namespace qv::modem {

namespace {

QByteArray Upper(QByteArrayView s)
{
    QByteArray out(s.data(), s.size());
    for (char& c : out)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

QByteArrayView Trim(QByteArrayView s)
{
    while (!s.isEmpty() && (s.front() == ' ' || s.front() == '\t'))
        s = s.sliced(1);
    while (!s.isEmpty() && (s.back() == ' ' || s.back() == '\t'))
        s.chop(1);
    return s;
}

bool AllDigits(QByteArrayView s)
{
    if (s.isEmpty())
        return false;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// "CONNECT", "CONNECT 33600", "CONNECT 33600/ARQ/V42BIS", "CONNECT 9600/REL".
void ParseConnect(QByteArrayView rest, AtLine& line)
{
    rest = Trim(rest);
    qsizetype i = 0;
    std::uint64_t rate = 0;
    bool tooLong = false;
    while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') {
        rate = rate * 10 + std::uint64_t(rest[i] - '0');
        if (rate > 100000000) { // beyond any line rate: not a rate
            tooLong = true;
            rate = 0;
        }
        ++i;
    }
    line.rate = tooLong ? 0 : std::uint32_t(rate);
    line.suffix = QByteArray(rest.sliced(i).data(), rest.size() - i).trimmed();
}

// Numeric result codes of the basic set; higher numbers are CONNECT rates
// that differ between makers, reported as a CONNECT without a rate.
AtKind NumericKind(int code)
{
    switch (code) {
    case 0:
        return AtKind::Ok;
    case 1:
        return AtKind::Connect;
    case 2:
        return AtKind::Ring;
    case 3:
        return AtKind::NoCarrier;
    case 4:
        return AtKind::Error;
    case 6:
        return AtKind::NoDialtone;
    case 7:
        return AtKind::Busy;
    case 8:
        return AtKind::NoAnswer;
    default:
        return code >= 5 ? AtKind::Connect : AtKind::Info;
    }
}

} // namespace

bool IsFinalResult(AtKind kind)
{
    switch (kind) {
    case AtKind::Ok:
    case AtKind::Connect:
    case AtKind::NoCarrier:
    case AtKind::Error:
    case AtKind::NoDialtone:
    case AtKind::Busy:
    case AtKind::NoAnswer:
    case AtKind::Voice:
        return true;
    default:
        return false;
    }
}

AtLine ClassifyAtLine(QByteArrayView raw, QByteArrayView lastCommand)
{
    AtLine line;
    line.text = QByteArray(raw.data(), raw.size());
    const QByteArrayView text = Trim(raw);
    const QByteArray upper = Upper(text);

    if (!lastCommand.isEmpty() && upper == Upper(Trim(lastCommand))) {
        line.kind = AtKind::Echo;
        return line;
    }
    if (AllDigits(upper) && upper.size() <= 3) {
        line.kind = NumericKind(upper.toInt());
        return line;
    }

    struct Word
    {
        const char* text;
        AtKind kind;
    };
    static const Word exact[] = {
        {"OK", AtKind::Ok},
        {"RING", AtKind::Ring},
        {"NO CARRIER", AtKind::NoCarrier},
        {"ERROR", AtKind::Error},
        {"NO DIALTONE", AtKind::NoDialtone},
        {"NO DIAL TONE", AtKind::NoDialtone},
        {"BUSY", AtKind::Busy},
        {"NO ANSWER", AtKind::NoAnswer},
        {"VOICE", AtKind::Voice},
        {"DELAYED", AtKind::Busy},
        {"BLACKLISTED", AtKind::Busy},
    };
    for (const Word& w : exact) {
        if (upper == w.text) {
            line.kind = w.kind;
            return line;
        }
    }
    if (upper == "CONNECT" || upper.startsWith("CONNECT ") || upper.startsWith("CONNECT/")) {
        line.kind = AtKind::Connect;
        ParseConnect(text.sliced(7), line);
        return line;
    }

    struct Field
    {
        const char* tag;
        CallerIdField field;
    };
    static const Field fields[] = {{"NMBR", CallerIdField::Number},
                                   {"NAME", CallerIdField::Name},
                                   {"DATE", CallerIdField::Date},
                                   {"TIME", CallerIdField::Time},
                                   {"MESG", CallerIdField::Message}};
    const qsizetype eq = upper.indexOf('=');
    if (eq > 0) {
        const QByteArray tag = Trim(QByteArrayView(upper).first(eq)).toByteArray();
        for (const Field& f : fields) {
            if (tag == f.tag) {
                line.kind = AtKind::CallerId;
                line.field = f.field;
                line.value = Trim(text.sliced(eq + 1)).toByteArray();
                return line;
            }
        }
    }
    if (upper.startsWith("AT") && lastCommand.isEmpty()) {
        // An echo that arrives after its command was given up on still is one.
        line.kind = AtKind::Echo;
        return line;
    }
    line.kind = AtKind::Info;
    return line;
}

void AtLineSplitter::Feed(QByteArrayView bytes, std::vector<QByteArray>& lines)
{
    for (char c : bytes) {
        if (c == '\r' || c == '\n') {
            if (!m_line.isEmpty())
                lines.push_back(m_line);
            m_line.clear();
            m_overflow = false;
            continue;
        }
        if (m_overflow)
            continue;
        if (m_line.size() >= MaxLine) {
            lines.push_back(m_line);
            m_line.clear();
            m_overflow = true;
            continue;
        }
        m_line.append(c);
    }
}

void AtLineSplitter::Reset()
{
    m_line.clear();
    m_overflow = false;
}

bool IsValidDialString(QByteArrayView text)
{
    bool anyDigit = false;
    for (char c : text) {
        const char u = char(std::toupper(static_cast<unsigned char>(c)));
        if ((u >= '0' && u <= '9') || u == '*' || u == '#' || (u >= 'A' && u <= 'D')) {
            anyDigit = true;
            continue;
        }
        switch (u) {
        case 'W':
        case ',':
        case 'T':
        case 'P':
        case '!':
        case '@':
        case ';':
        case ' ':
            continue;
        default:
            return false;
        }
    }
    return anyDigit;
}

bool IsValidDtmf(QByteArrayView digits)
{
    if (digits.isEmpty())
        return false;
    for (char c : digits) {
        const char u = char(std::toupper(static_cast<unsigned char>(c)));
        if (!((u >= '0' && u <= '9') || u == '*' || u == '#' || (u >= 'A' && u <= 'D')))
            return false;
    }
    return true;
}

} // namespace qv::modem
