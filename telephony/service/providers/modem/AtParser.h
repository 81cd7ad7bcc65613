// Result lines of a Hayes AT modem: a push-driven splitter that turns the
// byte stream of the command phase into lines, and a pure classifier that says
// what each line means. Both verbose ("NO CARRIER") and numeric ("3") result
// codes are understood; a command's echo is recognised as such.
//
// Rings come in many spellings: "RING", "RING 2", "RING/0", "RINGA" is not one
// but "RING A" is, "+CRING: DATA", and "2" in numeric mode. "RINGING" and
// "RINGBACK" are call progress of an outgoing call, not rings.
//
// Caller ID comes formatted ("NMBR = 5551234", "NMBR: 5551234", "DDN_NMBR",
// "NAME", "DATE", "TIME", "MESG = <hex of one data item>"), unformatted (the
// whole single- or multiple-message packet as one line of hex digits), or as
// "+CLIP: "5551234",129,,,"NAME"" from modems of the extended command set.
// Every form is decoded into the same items.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>
#include <vector>

namespace qv::modem {

enum class AtKind : std::uint8_t
{
    Info, // any other text (ATI output, register values, a banner)
    Echo, // the echo of the command just sent
    Ok,
    Connect, // with rate and suffix when the modem gives them
    Ring,
    NoCarrier,
    Error,
    NoDialtone,
    Busy,
    NoAnswer,
    Voice,
    CallerId, // NMBR/NAME/DATE/TIME/MESG = value
};

enum class CallerIdField : std::uint8_t
{
    None,
    Number,
    Name,
    Date,
    Time,
    Message
};

// One thing a caller-ID line says. A number is "P" when the caller withheld
// it and "O" when it is not available (out of area), as modems report them; a
// date is MMDD and a time HHMM. A Message item holds the hex of a data item
// that has no meaning here.
struct CallerIdItem
{
    CallerIdField field = CallerIdField::None;
    QByteArray value;
    bool operator==(const CallerIdItem&) const = default;
};

struct AtLine
{
    AtKind kind = AtKind::Info;
    QByteArray text;        // the line as received, without CR/LF
    std::uint32_t rate = 0; // CONNECT rate in bit/s, 0 when not given
    QByteArray suffix;      // what followed the rate ("/ARQ/V42BIS", "/LAP-M")
    CallerIdField field = CallerIdField::None;
    QByteArray value;                // the first caller-ID item's value
    std::vector<CallerIdItem> items; // every caller-ID item of the line, in order
    bool operator==(const AtLine&) const = default;
};

// The result codes that end a command.
bool IsFinalResult(AtKind kind);

// What one line means. `lastCommand` (without its CR) makes the echo of that
// command recognisable; pass an empty array when no command is outstanding.
AtLine ClassifyAtLine(QByteArrayView line, QByteArrayView lastCommand = {});

// The items of a caller-ID packet written in hex: a whole single-message
// (type 0x04) or multiple-message (type 0x80) packet when `wholePacket`, else
// one data item (type, length, data, optional checksum) as a MESG line gives
// it. Empty when the hex is malformed or its lengths do not add up.
std::vector<CallerIdItem> DecodeCallerIdHex(QByteArrayView hex, bool wholePacket);

// Splits the command-phase stream into lines at CR or LF; empty lines are
// skipped. A line longer than MaxLine is cut there and the rest of it dropped
// up to the next line end, so a babbling device cannot grow memory.
class AtLineSplitter
{
public:
    static constexpr int MaxLine = 256;

    // Appends every complete line of `bytes` to `lines`.
    void Feed(QByteArrayView bytes, std::vector<QByteArray>& lines);
    // Forgets a partial line.
    void Reset();
    // Bytes of the partial line held so far.
    int Pending() const { return int(m_line.size()); }

private:
    QByteArray m_line;
    bool m_overflow = false;
};

// Whether `text` may be dialled: digits, "*#ABCD", the modifiers W , T P ! @ ;
// and spaces, nothing else (no CR, no second command), and not empty.
bool IsValidDialString(QByteArrayView text);
// The same alphabet for DTMF digits to generate (digits, *, #, A-D).
bool IsValidDtmf(QByteArrayView digits);

} // namespace qv::modem
