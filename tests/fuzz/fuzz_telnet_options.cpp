// The telnet side of a tcp line under a hostile peer: received bytes give
// the same call data and the same replies whole as split anywhere, replies
// are well-formed commands, and call data escaped for the wire comes back
// unchanged.
//
// Input: one byte of set-up (role, our offers first), two bytes of split
// point, then the peer's bytes.
#include "FuzzSupport.h"

#include "telephony/service/providers/tcp/TelnetCodec.h"

#include <QByteArray>

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
    const std::uint8_t* rest = nullptr;
    const std::size_t n = input.Rest(rest);
    const QByteArrayView bytes(reinterpret_cast<const char*>(rest), qsizetype(n));
    const auto role = (setup & 1) ? TelnetCodec::Role::Answering : TelnetCodec::Role::Calling;

    // Both sides of the comparison start as a line does: our offers first,
    // then what the peer sends.
    TelnetCodec whole(role), cut(role);
    QByteArray wholeData, wholeReplies, cutData, cutReplies;
    if (setup & 2) {
        wholeReplies = whole.Start() + whole.Announce();
        cutReplies = cut.Start() + cut.Announce();
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
    return 0;
}
