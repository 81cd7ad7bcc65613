#include "telephony/service/providers/tcp/TelnetCodec.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using namespace qv::tcp;
using namespace qv::tcp::telnet;

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

struct Result
{
    QByteArray data;
    QByteArray replies;
    bool operator==(const Result&) const = default;
};

Result FeedWhole(TelnetCodec& codec, const QByteArray& input)
{
    Result r;
    codec.Feed(input, r.data, r.replies);
    return r;
}

// The same input must give the same data and replies whether it arrives whole,
// byte by byte, or cut in two at any point.
void ExpectSplitInvariant(const QByteArray& input, const Result& expected)
{
    {
        TelnetCodec codec;
        Result r;
        for (char c : input)
            codec.Feed(QByteArrayView(&c, 1), r.data, r.replies);
        EXPECT_EQ(r, expected) << "byte by byte";
    }
    for (qsizetype cut = 0; cut <= input.size(); ++cut) {
        TelnetCodec codec;
        Result r;
        codec.Feed(QByteArrayView(input).first(cut), r.data, r.replies);
        codec.Feed(QByteArrayView(input).sliced(cut), r.data, r.replies);
        EXPECT_EQ(r, expected) << "split at " << cut;
    }
}

TEST(TelnetCodec, EscapingRoundTripsEveryByteValue)
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    all += all; // IAC next to IAC, IAC at the end
    const QByteArray wire = TelnetCodec::Escape(all);
    EXPECT_EQ(wire.size(), all.size() + 2);
    TelnetCodec codec;
    const Result r = FeedWhole(codec, wire);
    EXPECT_EQ(r.data, all);
    EXPECT_TRUE(r.replies.isEmpty());
    ExpectSplitInvariant(wire, r);
}

TEST(TelnetCodec, BinaryIsAgreedBothWaysAndOthersRefused)
{
    TelnetCodec a, b;
    const QByteArray hello = a.Start();
    EXPECT_EQ(hello, Bytes({IAC, WILL, OPT_BINARY, IAC, DO, OPT_BINARY}));
    // b is a passive peer: it agrees once, then a's acknowledgements do not
    // make either side answer again.
    Result toA = FeedWhole(b, hello);
    EXPECT_EQ(toA.replies, Bytes({IAC, DO, OPT_BINARY, IAC, WILL, OPT_BINARY}));
    Result back = FeedWhole(a, toA.replies);
    EXPECT_TRUE(back.replies.isEmpty()) << "no negotiation loop";
    EXPECT_TRUE(a.BinaryToPeer() && a.BinaryFromPeer());
    EXPECT_TRUE(b.BinaryToPeer() && b.BinaryFromPeer());

    // A typical server offer: echo and suppress-go-ahead refused, terminal type
    // asked for and refused.
    TelnetCodec c;
    const Result r = FeedWhole(c, Bytes({IAC, WILL, 1, IAC, WILL, 3, IAC, DO, 24, 'x'}));
    EXPECT_EQ(r.replies, Bytes({IAC, DONT, 1, IAC, DONT, 3, IAC, WONT, 24}));
    EXPECT_EQ(r.data, "x");
}

TEST(TelnetCodec, CommandsAndSubnegotiationCarryNoData)
{
    const QByteArray input = QByteArray("ab") + Bytes({IAC, 241 /*NOP*/}) + "c" +
                             Bytes({IAC, SB, 24, 0, 'v', 't', IAC, IAC, IAC, SE}) + "d" + Bytes({IAC, IAC}) +
                             "e";
    TelnetCodec codec;
    const Result r = FeedWhole(codec, input);
    EXPECT_EQ(r.data, QByteArray("abcd") + Bytes({IAC}) + "e");
    ExpectSplitInvariant(input, r);
}

TEST(TelnetCodec, AnEndlessSubnegotiationCannotGrowWithoutBound)
{
    TelnetCodec codec;
    QByteArray data, replies;
    codec.Feed(Bytes({IAC, SB, 24}), data, replies);
    const QByteArray junk(1 << 20, 'z');
    codec.Feed(junk, data, replies);
    codec.Feed(Bytes({IAC, SE}) + "ok", data, replies);
    EXPECT_EQ(data, "ok");
}

TEST(TelnetCodec, RandomStreamsDecodeTheSameAtEverySplit)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        QByteArray payload;
        for (int i = 0; i < 64; ++i)
            payload.append(char(rng() % 256));
        QByteArray wire = TelnetCodec::Escape(payload);
        // Negotiation dropped in at a random place.
        wire.insert(rng() % (wire.size() + 1), Bytes({IAC, DO, OPT_BINARY}));
        TelnetCodec codec;
        const Result r = FeedWhole(codec, wire);
        EXPECT_EQ(r.data, payload);
        ExpectSplitInvariant(wire, r);
    }
}

} // namespace
