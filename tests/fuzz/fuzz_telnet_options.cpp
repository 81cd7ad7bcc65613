// The telnet side of a tcp line under a hostile peer: received bytes give
// the same call data and the same replies whole as split anywhere, replies
// are well-formed commands, and call data escaped for the wire comes back
// unchanged.
//
// Input: two bytes of split point, then the peer's bytes.
#include "FuzzSupport.h"

#include "telephony/service/providers/tcp/TelnetCodec.h"

#include <QByteArray>

namespace {

using namespace qv::tcp;
using qv::fuzz::Check;
using qv::fuzz::FuzzInput;

// Our replies are three-byte option commands only.
bool RepliesAreCommands(const QByteArray& replies)
{
    if (replies.size() % 3 != 0)
        return false;
    for (qsizetype i = 0; i < replies.size(); i += 3) {
        const auto iac = std::uint8_t(replies[i]);
        const auto verb = std::uint8_t(replies[i + 1]);
        if (iac != telnet::IAC || verb < telnet::WILL)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::size_t split = input.Word();
    const std::uint8_t* rest = nullptr;
    const std::size_t n = input.Rest(rest);
    const QByteArrayView bytes(reinterpret_cast<const char*>(rest), qsizetype(n));

    TelnetCodec whole, cut;
    QByteArray wholeData, wholeReplies, cutData, cutReplies;
    whole.Feed(bytes, wholeData, wholeReplies);
    const qsizetype at = qsizetype(split % (n + 1));
    cut.Feed(bytes.first(at), cutData, cutReplies);
    cut.Feed(bytes.sliced(at), cutData, cutReplies);
    Check(wholeData == cutData && wholeReplies == cutReplies, "a split stream reads as the whole one");
    Check(whole.BinaryToPeer() == cut.BinaryToPeer() && whole.BinaryFromPeer() == cut.BinaryFromPeer(),
          "the agreed options do not depend on where reads end");
    Check(wholeData.size() <= qsizetype(n), "call data never grows");
    Check(RepliesAreCommands(wholeReplies), "replies are option commands");

    // Call data on its way out and back in again.
    TelnetCodec fresh;
    QByteArray back, replies;
    fresh.Feed(TelnetCodec::Escape(bytes), back, replies);
    Check(back == bytes && replies.isEmpty(), "escaped call data comes back unchanged");
    return 0;
}
