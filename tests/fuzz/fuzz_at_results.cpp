// What a modem says in the command phase, from a hostile or broken device:
// the line splitter gives the same lines whole as split anywhere and keeps
// its length limit, the classifier reads every line without failing, and the
// sequencer answers every command exactly once, whatever comes and whenever.
// Caller ID, formatted or as a packet in hex, gives only items the call
// window may show: printable text within a line's length, dates and times of
// four digits.
//
// Input: two bytes of split point and pacing, then the modem's bytes.
#include "FuzzSupport.h"

#include "common/Clock.h"
#include "telephony/service/providers/modem/AtParser.h"
#include "telephony/service/providers/modem/AtSequencer.h"

#include <QByteArray>

#include <cctype>

#include <vector>

namespace {

using namespace qv;
using namespace qv::modem;
using qv::fuzz::Check;
using qv::fuzz::FuzzInput;

// A packet's date and time are checked digits; a formatted line's are shown
// as the modem wrote them.
void CheckCallerIdItems(const std::vector<CallerIdItem>& items, bool packet)
{
    for (const CallerIdItem& item : items) {
        Check(item.field != CallerIdField::None, "every item says what it is");
        Check(item.value.size() <= 2 * AtLineSplitter::MaxLine, "an item is no longer than its line");
        if (item.field == CallerIdField::Message)
            continue;
        for (char c : item.value)
            Check(std::uint8_t(c) >= 0x20 && c != 0x7f, "shown caller-ID text has no control characters");
        if (packet && (item.field == CallerIdField::Date || item.field == CallerIdField::Time)) {
            Check(item.value.size() == 4, "a date or time is four digits");
            for (char c : item.value)
                Check(c >= '0' && c <= '9', "a date or time is four digits");
        }
    }
}

// The packet as the modem's unformatted presentation gives it, both from the
// input as hex text and from the input's bytes written in hex, so that the
// fuzzer reaches the packet's structure without spelling out hex digits.
void CheckCallerIdHex(QByteArrayView bytes)
{
    const QByteArray hex = bytes.first(qMin(bytes.size(), qsizetype(AtLineSplitter::MaxLine / 2))).toByteArray().toHex();
    for (bool wholePacket : {false, true}) {
        CheckCallerIdItems(DecodeCallerIdHex(bytes, wholePacket), true);
        const std::vector<CallerIdItem> items = DecodeCallerIdHex(hex, wholePacket);
        CheckCallerIdItems(items, true);
        Check(items == DecodeCallerIdHex(hex.toUpper(), wholePacket), "hex digits are read in either case");
    }
    const AtLine line = ClassifyAtLine(hex.toUpper());
    if (line.kind == AtKind::CallerId)
        Check(!line.items.empty() && line.value == line.items.front().value, "a packet line carries its items");
}

void CheckSplitter(std::size_t split, QByteArrayView bytes)
{
    AtLineSplitter whole, cut;
    std::vector<QByteArray> wholeLines, cutLines;
    whole.Feed(bytes, wholeLines);
    const qsizetype at = bytes.isEmpty() ? 0 : qsizetype(split % std::size_t(bytes.size() + 1));
    cut.Feed(bytes.first(at), cutLines);
    cut.Feed(bytes.sliced(at), cutLines);
    Check(wholeLines == cutLines && whole.Pending() == cut.Pending(),
          "lines do not depend on where reads end");
    Check(whole.Pending() <= AtLineSplitter::MaxLine, "a partial line stays within its limit");

    QByteArray previous;
    for (const QByteArray& line : wholeLines) {
        Check(!line.isEmpty() && line.size() <= AtLineSplitter::MaxLine, "a line is never empty or too long");
        Check(!line.contains('\r') && !line.contains('\n'), "a line holds no line end");
        const AtLine meaning = ClassifyAtLine(line, previous);
        Check(meaning.text == line, "the classified line keeps its text");
        if (meaning.kind == AtKind::CallerId)
            CheckCallerIdItems(meaning.items, false);
        if (IsValidDialString(line)) {
            for (char c : line)
                Check(
                    QByteArrayView("0123456789*#ABCDWTP!@;, ").contains(char(std::toupper(std::uint8_t(c)))),
                    "a dial string has only dial characters");
        }
        previous = line;
    }
}

void CheckSequencer(std::uint8_t pacing, QByteArrayView bytes)
{
    ScopedVirtualClock clock;
    QByteArray written;
    int answered = 0, unsolicited = 0;
    {
        AtSequencer sequencer(
            [&](const QByteArray& out) {
                written += out;
                return true;
            },
            [&](const AtLine&) { ++unsolicited; });
        const auto done = [&](const AtReply&) { ++answered; };
        sequencer.Send("ATZ", 1000, done);
        sequencer.Send("ATE1V1", 1000, done);
        sequencer.Send("ATDT5551234", 5000, done);
        const qsizetype step = 1 + (pacing & 0x3F);
        const int waitMs = (pacing >> 6) * 400;
        for (qsizetype at = 0; at < bytes.size(); at += step) {
            clock->Advance(waitMs);
            sequencer.Feed(bytes.sliced(at, qMin(step, bytes.size() - at)));
        }
        clock->Advance(3000);
        sequencer.CancelAll();
        Check(!sequencer.Busy(), "nothing is left in flight after cancelling");
    }
    Check(answered == 3, "every command is answered exactly once");
    Check(written.startsWith("ATZ\r"), "commands go out one at a time, in order");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::size_t split = input.Byte();
    const std::uint8_t pacing = input.Byte();
    const std::uint8_t* rest = nullptr;
    const std::size_t n = input.Rest(rest);
    const QByteArrayView bytes(reinterpret_cast<const char*>(rest), qsizetype(n));
    CheckSplitter(split * 131, bytes);
    CheckSequencer(pacing, bytes);
    CheckCallerIdHex(bytes);
    return 0;
}
