#include "telephony/service/providers/modem/AtParser.h"

#include <algorithm>
#include <cctype>
#include <optional>

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

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    return (c | 0x20) - 'a' + 10;
}

// The bytes a run of hex digits stands for; nullopt for anything else or an
// odd count.
std::optional<QByteArray> FromHex(QByteArrayView hex)
{
    if (hex.isEmpty() || hex.size() % 2 != 0)
        return std::nullopt;
    QByteArray out;
    out.reserve(hex.size() / 2);
    for (qsizetype i = 0; i < hex.size(); i += 2) {
        if (!IsHexDigit(hex[i]) || !IsHexDigit(hex[i + 1]))
            return std::nullopt;
        out.append(char(HexValue(hex[i]) * 16 + HexValue(hex[i + 1])));
    }
    return out;
}

// Caller-ID text is shown to the user: keep printable characters only.
QByteArray Printable(QByteArrayView data)
{
    QByteArray out;
    for (char c : data) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)
            out.append(c);
    }
    return out.trimmed();
}

void AddDateTime(QByteArrayView data, std::vector<CallerIdItem>& items)
{
    // MMDDHHMM.
    if (data.size() < 8 || !AllDigits(data.first(8)))
        return;
    items.push_back({CallerIdField::Date, data.first(4).toByteArray()});
    items.push_back({CallerIdField::Time, data.sliced(4, 4).toByteArray()});
}

// One parameter of a multiple-message packet.
void AddParameter(std::uint8_t type, QByteArrayView data, std::vector<CallerIdItem>& items)
{
    switch (type) {
    case 0x01: // date and time
        AddDateTime(data, items);
        return;
    case 0x02: // calling number
    case 0x03: // the number in the form it can be dialled back
        items.push_back({CallerIdField::Number, Printable(data)});
        return;
    case 0x04: // why there is no number: "O" not available, "P" private
        items.push_back({CallerIdField::Number, Printable(data).left(1)});
        return;
    case 0x07: // calling name
        items.push_back({CallerIdField::Name, Printable(data)});
        return;
    case 0x08: // why there is no name: nothing to show
        return;
    default: {
        QByteArray raw;
        raw.append(char(type)).append(char(data.size())).append(data.data(), data.size());
        items.push_back({CallerIdField::Message, raw.toHex().toUpper()});
        return;
    }
    }
}

// Parameters (type, length, data) laid end to end; false when one runs past
// the end.
bool AddParameters(QByteArrayView body, std::vector<CallerIdItem>& items)
{
    while (!body.isEmpty()) {
        if (body.size() < 2)
            return false;
        const auto type = std::uint8_t(body[0]);
        const auto length = std::uint8_t(body[1]);
        if (body.size() < 2 + length)
            return false;
        AddParameter(type, body.sliced(2, length), items);
        body = body.sliced(2 + length);
    }
    return true;
}

// "+CLIP: "5551234",129,,,"NAME",0": number, type, subaddress, its type, the
// name, and whether the number may be shown.
void ParseClip(QByteArrayView rest, std::vector<CallerIdItem>& items)
{
    std::vector<QByteArray> fields;
    QByteArray field;
    bool quoted = false;
    for (char c : rest) {
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (c == ',' && !quoted) {
            fields.push_back(Printable(field));
            field.clear();
            continue;
        }
        field.append(c);
    }
    fields.push_back(Printable(field));
    QByteArray number = fields[0];
    if (fields.size() >= 6 && number.isEmpty()) {
        if (fields[5] == "1")
            number = "P";
        else if (fields[5] == "2")
            number = "O";
    }
    if (!number.isEmpty())
        items.push_back({CallerIdField::Number, number});
    if (fields.size() >= 5 && !fields[4].isEmpty())
        items.push_back({CallerIdField::Name, fields[4]});
}

bool IsRing(const QByteArray& upper)
{
    if (upper.startsWith("+CRING:"))
        return true;
    if (!upper.startsWith("RING"))
        return false;
    // "RING", "RING 2", "RING/0", "RING;1": but "RINGING" and "RINGBACK" are
    // the progress of a call we placed.
    return upper.size() == 4 || !std::isalpha(static_cast<unsigned char>(upper[4]));
}

} // namespace

std::vector<CallerIdItem> DecodeCallerIdHex(QByteArrayView hex, bool wholePacket)
{
    std::vector<CallerIdItem> items;
    const std::optional<QByteArray> bytes = FromHex(Trim(hex));
    if (!bytes || bytes->size() < 2)
        return items;
    const QByteArrayView b(*bytes);
    const auto type = std::uint8_t(b[0]);
    const auto length = std::uint8_t(b[1]);
    // The checksum byte after the data is optional: modems differ in whether
    // they pass it on.
    if (b.size() != 2 + length && b.size() != 3 + length)
        return items;
    const QByteArrayView body = b.sliced(2, length);
    if (!wholePacket) {
        AddParameter(type, body, items);
        return items;
    }
    switch (type) {
    case 0x04: // single message: date and time, then the number
        if (body.size() < 9 || !AllDigits(body.first(8)))
            return items;
        AddDateTime(body, items);
        items.push_back({CallerIdField::Number, Printable(body.sliced(8))});
        return items;
    case 0x80: // multiple message
        if (!AddParameters(body, items))
            items.clear();
        return items;
    default:
        return items;
    }
}

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
    if (IsRing(upper)) {
        line.kind = AtKind::Ring;
        return line;
    }
    if (upper == "CONNECT" || upper.startsWith("CONNECT ") || upper.startsWith("CONNECT/")) {
        line.kind = AtKind::Connect;
        ParseConnect(text.sliced(7), line);
        return line;
    }

    auto callerId = [&line](std::vector<CallerIdItem> items) {
        line.kind = AtKind::CallerId;
        line.items = std::move(items);
        if (!line.items.empty()) {
            line.field = line.items.front().field;
            line.value = line.items.front().value;
        }
        return line;
    };
    if (upper.startsWith("+CLIP:")) {
        std::vector<CallerIdItem> items;
        ParseClip(text.sliced(6), items);
        return callerId(std::move(items));
    }

    struct Field
    {
        const char* tag;
        CallerIdField field;
    };
    static const Field fields[] = {{"NMBR", CallerIdField::Number}, {"DDN_NMBR", CallerIdField::Number},
                                   {"NAME", CallerIdField::Name},   {"DATE", CallerIdField::Date},
                                   {"TIME", CallerIdField::Time},   {"MESG", CallerIdField::Message}};
    // "NMBR = 5551234" and "NMBR: 5551234" alike.
    const qsizetype equals = upper.indexOf('=');
    const qsizetype colon = upper.indexOf(':');
    const qsizetype separator = equals < 0 ? colon : (colon < 0 ? equals : std::min(equals, colon));
    if (separator > 0) {
        const QByteArray tag = Trim(QByteArrayView(upper).first(separator)).toByteArray();
        for (const Field& f : fields) {
            if (tag != f.tag)
                continue;
            const QByteArrayView value = Trim(text.sliced(separator + 1));
            if (f.field == CallerIdField::Message) {
                std::vector<CallerIdItem> items = DecodeCallerIdHex(value, false);
                if (items.empty())
                    items.push_back({CallerIdField::Message, value.toByteArray()});
                return callerId(std::move(items));
            }
            return callerId({{f.field, Printable(value)}});
        }
    }
    // The unformatted presentation: the whole packet in hex on a line of its
    // own. Only a packet whose lengths add up counts, so that other numbers
    // (a register's value, a serial number) stay information.
    if (upper.size() >= 8) {
        std::vector<CallerIdItem> items = DecodeCallerIdHex(text, true);
        if (!items.empty())
            return callerId(std::move(items));
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
