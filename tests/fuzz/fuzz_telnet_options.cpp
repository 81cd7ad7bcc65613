// The telnet side of a tcp line under a hostile peer: received bytes give
// the same call data and the same replies whole as split anywhere, replies
// are well-formed commands (the terminal's type and size among them), and
// call data written for the wire, binary or by the NVT rules, comes back
// unchanged.
//
// Input: one byte of set-up (role, our offers first, a terminal set), two
// bytes of split point, with a terminal set the window's columns and rows and
// a terminal type of up to 31 bytes, then the peer's bytes.
#include "FuzzSupport.h"

#include "telephony/service/providers/tcp/TelnetCodec.h"

#include <QByteArray>
#include <QList>

namespace {

using namespace qv::tcp;
using qv::fuzz::Check;
using qv::fuzz::FuzzInput;

// Our replies are whole commands: IAC and a verb with its option, or a
// subnegotiation from IAC SB to IAC SE (an IAC inside it doubled).
bool RepliesAreCommands(const QByteArray& replies)
{
    qsizetype i = 0;
    while (i < replies.size()) {
        if (i + 2 >= replies.size() || std::uint8_t(replies[i]) != telnet::IAC)
            return false;
        const auto verb = std::uint8_t(replies[i + 1]);
        if (verb >= telnet::WILL) {
            i += 3;
            continue;
        }
        if (verb != telnet::SB)
            return false;
        for (i += 2;; ++i) {
            if (i + 1 >= replies.size())
                return false;
            if (std::uint8_t(replies[i]) != telnet::IAC)
                continue;
            if (std::uint8_t(replies[i + 1]) == telnet::SE)
                break;
            if (std::uint8_t(replies[i + 1]) != telnet::IAC)
                return false;
            ++i;
        }
        i += 2;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::uint8_t setup = input.Byte();
    const std::size_t split = input.Word();
    QList<QByteArray> types;
    int columns = 80, rows = 24;
    if (setup & 4) {
        columns = input.Byte() * 3;
        rows = input.Byte() * 3;
        const std::uint8_t* type = nullptr;
        const std::size_t length = input.Chunk(input.Byte() % 32, type);
        types = {QByteArray(reinterpret_cast<const char*>(type), qsizetype(length)), "VT100"};
    }
    const std::uint8_t* rest = nullptr;
    const std::size_t n = input.Rest(rest);
    const QByteArrayView bytes(reinterpret_cast<const char*>(rest), qsizetype(n));
    const auto role = (setup & 1) ? TelnetCodec::Role::Answering : TelnetCodec::Role::Calling;

    // Both sides of the comparison start as a line does: our offers first,
    // then what the peer sends.
    TelnetCodec whole(role), cut(role);
    QByteArray wholeData, wholeReplies, cutData, cutReplies;
    if (setup & 4) {
        whole.SetTerminal(types, columns, rows, wholeReplies);
        cut.SetTerminal(types, columns, rows, cutReplies);
    }
    if (setup & 2) {
        wholeReplies += whole.Start() + whole.Announce();
        cutReplies += cut.Start() + cut.Announce();
    }
    whole.Feed(bytes, wholeData, wholeReplies);
    const qsizetype at = qsizetype(split % (n + 1));
    cut.Feed(bytes.first(at), cutData, cutReplies);
    cut.Feed(bytes.sliced(at), cutData, cutReplies);
    Check(wholeData == cutData && wholeReplies == cutReplies, "a split stream reads as the whole one");
    Check(whole.BinaryToPeer() == cut.BinaryToPeer() && whole.BinaryFromPeer() == cut.BinaryFromPeer() &&
              whole.PeerIsVh() == cut.PeerIsVh() && whole.FarAnswered() == cut.FarAnswered(),
          "what is agreed does not depend on where reads end");
    Check(wholeData.size() <= qsizetype(n), "call data never grows");
    Check(RepliesAreCommands(wholeReplies), "replies are whole telnet commands");

    // Call data on a binary line, out and back in again.
    TelnetCodec fresh(role);
    QByteArray back, replies;
    static const char willBinary[] = {char(telnet::IAC), char(telnet::WILL), char(telnet::OPT_BINARY)};
    fresh.Feed(QByteArrayView(willBinary, 3), back, replies);
    Check(fresh.BinaryFromPeer() && back.isEmpty(), "a peer's binary mode is agreed");
    fresh.Feed(TelnetCodec::Escape(bytes), back, replies);
    Check(back == bytes, "escaped call data comes back unchanged on a binary line");

    // Call data on a line that never agreed on BINARY, written in two pieces:
    // a CR cut off from its LF is held, not sent as a bare CR.
    TelnetCodec writer(role), reader(role);
    QByteArray wire, nvtData, nvtReplies;
    writer.EncodeForPeer(bytes.first(at), wire);
    writer.EncodeForPeer(bytes.sliced(at), wire);
    writer.FlushForPeer(wire);
    reader.Feed(wire, nvtData, nvtReplies);
    Check(nvtData == bytes && nvtReplies.isEmpty(), "call data by the NVT rules comes back unchanged");
    return 0;
}
