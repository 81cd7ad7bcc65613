// Result lines of a Hayes AT modem: a push-driven splitter that turns the
// byte stream of the command phase into lines, and a pure classifier that says
// what each line means. Both verbose ("NO CARRIER") and numeric ("3") result
// codes are understood; a command's echo is recognised as such.
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

struct AtLine
{
    AtKind kind = AtKind::Info;
    QByteArray text;        // the line as received, without CR/LF
    std::uint32_t rate = 0; // CONNECT rate in bit/s, 0 when not given
    QByteArray suffix;      // what followed the rate ("/ARQ/V42BIS", "/LAP-M")
    CallerIdField field = CallerIdField::None;
    QByteArray value; // the caller-ID value
    bool operator==(const AtLine&) const = default;
};

// The result codes that end a command.
bool IsFinalResult(AtKind kind);

// What one line means. `lastCommand` (without its CR) makes the echo of that
// command recognisable; pass an empty array when no command is outstanding.
AtLine ClassifyAtLine(QByteArrayView line, QByteArrayView lastCommand = {});

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
