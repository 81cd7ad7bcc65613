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
// byte by byte, or cut in two at any point. `prepare` brings each fresh codec
// into the state the input is meant for.
template <class Prepare>
void ExpectSplitInvariant(const QByteArray& input, const Result& expected, Prepare prepare)
{
    {
        TelnetCodec codec;
        prepare(codec);
        Result r;
        for (char c : input)
            codec.Feed(QByteArrayView(&c, 1), r.data, r.replies);
        EXPECT_EQ(r, expected) << "byte by byte";
    }
    for (qsizetype cut = 0; cut <= input.size(); ++cut) {
        TelnetCodec codec;
        prepare(codec);
        Result r;
        codec.Feed(QByteArrayView(input).first(cut), r.data, r.replies);
        codec.Feed(QByteArrayView(input).sliced(cut), r.data, r.replies);
        EXPECT_EQ(r, expected) << "split at " << cut;
    }
}

void ExpectSplitInvariant(const QByteArray& input, const Result& expected)
{
    ExpectSplitInvariant(input, expected, [](TelnetCodec&) {});
}

// A peer that has agreed BINARY both ways.
void MakeBinary(TelnetCodec& codec)
{
    codec.Start();
    QByteArray data, replies;
    codec.Feed(Bytes({IAC, DO, OPT_BINARY, IAC, WILL, OPT_BINARY}), data, replies);
}

// Lets two codecs talk until neither has anything more to say; the number of
// rounds it took, or -1 when they would go on for ever.
int Converse(TelnetCodec& a, TelnetCodec& b, QByteArray toB)
{
    QByteArray toA;
    for (int round = 0; round < 20; ++round) {
        if (toA.isEmpty() && toB.isEmpty())
            return round;
        QByteArray data, replies;
        b.Feed(toB, data, replies);
        toB.clear();
        toA += replies;
        QByteArray dataA, repliesA;
        a.Feed(toA, dataA, repliesA);
        toA.clear();
        toB = repliesA;
    }
    return -1;
}

TEST(TelnetCodec, EscapingRoundTripsEveryByteValueOnABinaryLine)
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    all += QByteArray("\r\0\r\n\r", 5) + all; // NVT line ends that binary leaves alone
    const QByteArray wire = TelnetCodec::Escape(all);
    EXPECT_EQ(wire.size(), all.size() + 2);
    TelnetCodec codec;
    MakeBinary(codec);
    const Result r = FeedWhole(codec, wire);
    EXPECT_EQ(r.data, all);
    EXPECT_TRUE(r.replies.isEmpty());
    ExpectSplitInvariant(wire, r, MakeBinary);

    QByteArray encoded;
    codec.EncodeForPeer(all, encoded);
    codec.FlushForPeer(encoded);
    EXPECT_EQ(encoded, wire) << "binary toward the peer: only IAC is doubled";
}

TEST(TelnetCodec, TwoCopiesAgreeBinaryAndSgaBothWaysAndTheCallerHearsTheAnswer)
{
    TelnetCodec caller(TelnetCodec::Role::Calling), callee(TelnetCodec::Role::Answering);
    const QByteArray offer = callee.Announce();
    EXPECT_EQ(offer, Bytes({IAC, WILL, OPT_VH}));
    EXPECT_TRUE(caller.Announce().isEmpty()) << "only the answering side offers our option";

    // The caller's opening and the callee's offer cross on the wire.
    QByteArray toCallee = caller.Start();
    EXPECT_EQ(toCallee,
              Bytes({IAC, WILL, OPT_BINARY, IAC, DO, OPT_BINARY, IAC, WILL, OPT_SGA, IAC, DO, OPT_SGA}));
    Result atCaller = FeedWhole(caller, offer + callee.Start());
    EXPECT_EQ(caller.PeerOpening(), TelnetCodec::Opening::VhOffer);
    EXPECT_TRUE(caller.PeerIsVh());
    EXPECT_FALSE(caller.FarAnswered()) << "it rings";
    ASSERT_GE(Converse(caller, callee, toCallee + atCaller.replies), 0) << "no negotiation loop";
    for (TelnetCodec* c : {&caller, &callee}) {
        EXPECT_TRUE(c->BinaryToPeer() && c->BinaryFromPeer());
        EXPECT_TRUE(c->WeDo(OPT_SGA) && c->PeerDoes(OPT_SGA));
        EXPECT_TRUE(c->PeerIsVh());
        EXPECT_FALSE(c->RemoteEcho());
    }

    QByteArray toCaller;
    callee.Answer(toCaller);
    EXPECT_EQ(toCaller, Bytes({IAC, SB, OPT_VH, VH_ANSWERED, IAC, SE}));
    QByteArray again;
    callee.Answer(again);
    EXPECT_TRUE(again.isEmpty()) << "answered once";
    const Result r = FeedWhole(caller, toCaller);
    EXPECT_TRUE(caller.FarAnswered());
    EXPECT_TRUE(r.data.isEmpty() && r.replies.isEmpty());

    // An answer given before the caller accepted the option goes out once it
    // does.
    TelnetCodec early(TelnetCodec::Role::Answering);
    early.Announce();
    QByteArray none;
    early.Answer(none);
    EXPECT_TRUE(none.isEmpty());
    const Result late = FeedWhole(early, Bytes({IAC, DO, OPT_VH}));
    EXPECT_EQ(late.replies, Bytes({IAC, SB, OPT_VH, VH_ANSWERED, IAC, SE}));
}

TEST(TelnetCodec, AServerGetsEchoAndSgaAcceptedAndEverythingElseRefused)
{
    // What inetutils' telnetd opens with, then what it asks once it knows the
    // terminal type.
    TelnetCodec c;
    const QByteArray server =
        Bytes({IAC, WILL, 37,       IAC, WILL, 38, IAC, DO,   OPT_TTYPE, IAC, DO,   32,       IAC, DO, 35,
               IAC, DO,   39,       IAC, DO,   36, IAC, WILL, OPT_SGA,   IAC, DO,   OPT_ECHO, IAC, DO, 34,
               IAC, DO,   OPT_NAWS, IAC, WILL, 5,  IAC, DO,   33,        IAC, WILL, OPT_ECHO, 'x'});
    const Result r = FeedWhole(c, server);
    EXPECT_EQ(r.replies, Bytes({IAC, DONT, 37,       IAC, DONT, 38, IAC, WILL, OPT_TTYPE, IAC, WONT, 32,
                                IAC, WONT, 35,       IAC, WONT, 39, IAC, WONT, 36,        IAC, DO,   OPT_SGA,
                                IAC, WONT, OPT_ECHO, IAC, WONT, 34, IAC, WILL, OPT_NAWS,  IAC, SB,   OPT_NAWS,
                                0,   80,   0,        24,  IAC,  SE, IAC, DONT, 5,         IAC, WONT, 33,
                                IAC, DO,   OPT_ECHO}));
    EXPECT_EQ(r.data, "x");
    EXPECT_TRUE(c.RemoteEcho());
    EXPECT_EQ(c.PeerOpening(), TelnetCodec::Opening::Other);
    EXPECT_FALSE(c.PeerIsVh());
    ExpectSplitInvariant(server, r);

    // A server that offers our option is still no copy of ours unless we
    // call it: the answering side refuses it.
    TelnetCodec callee(TelnetCodec::Role::Answering);
    EXPECT_EQ(FeedWhole(callee, Bytes({IAC, WILL, OPT_VH, IAC, DO, OPT_ECHO})).replies,
              Bytes({IAC, DONT, OPT_VH, IAC, WONT, OPT_ECHO}));

    // Repeated and contradictory requests do not loop (RFC 1143): an option
    // on is acknowledged once, one refused stays refused without a reply.
    TelnetCodec q;
    q.Start();
    EXPECT_TRUE(FeedWhole(q, Bytes({IAC, DO, OPT_BINARY, IAC, DO, OPT_BINARY})).replies.isEmpty());
    EXPECT_EQ(FeedWhole(q, Bytes({IAC, DONT, OPT_BINARY})).replies, Bytes({IAC, WONT, OPT_BINARY}));
    EXPECT_TRUE(FeedWhole(q, Bytes({IAC, DONT, OPT_BINARY, IAC, WONT, OPT_BINARY})).replies.isEmpty())
        << "refused while we only asked: no reply";
    EXPECT_FALSE(q.BinaryToPeer() || q.BinaryFromPeer());
}

TEST(TelnetCodec, TerminalTypesAreAnsweredInOrderThenTheLastAgainAndTheSizeFollowsChanges)
{
    TelnetCodec c;
    QByteArray out;
    c.SetTerminal({"ANSI", "VT100", "bad type", ""}, 132, 255, out);
    EXPECT_TRUE(out.isEmpty()) << "nothing is sent before NAWS is agreed";
    auto send = Bytes({IAC, SB, OPT_TTYPE, TTYPE_SEND, IAC, SE});
    EXPECT_EQ(FeedWhole(c, Bytes({IAC, DO, OPT_TTYPE}) + send).replies,
              Bytes({IAC, WILL, OPT_TTYPE}) + Bytes({IAC, SB, OPT_TTYPE, TTYPE_IS}) + "ANSI" +
                  Bytes({IAC, SE}));
    const QByteArray vt100 = Bytes({IAC, SB, OPT_TTYPE, TTYPE_IS}) + "VT100" + Bytes({IAC, SE});
    EXPECT_EQ(FeedWhole(c, send).replies, vt100);
    EXPECT_EQ(FeedWhole(c, send).replies, vt100) << "the last one repeated ends the list";
    // The server starts a new round by turning the option off and on.
    FeedWhole(c, Bytes({IAC, DONT, OPT_TTYPE}));
    EXPECT_TRUE(FeedWhole(c, Bytes({IAC, DO, OPT_TTYPE}) + send).replies.contains("ANSI"));

    // 255 in the size is doubled inside the subnegotiation.
    EXPECT_EQ(FeedWhole(c, Bytes({IAC, DO, OPT_NAWS})).replies,
              Bytes({IAC, WILL, OPT_NAWS, IAC, SB, OPT_NAWS, 0, 132, 0, IAC, IAC, IAC, SE}));
    out.clear();
    c.SetTerminal({"ANSI"}, 132, 255, out);
    EXPECT_TRUE(out.isEmpty()) << "the same size is not sent again";
    c.SetTerminal({"ANSI"}, 100, 40, out);
    EXPECT_EQ(out, Bytes({IAC, SB, OPT_NAWS, 0, 100, 0, 40, IAC, SE}));
}

TEST(TelnetCodec, WithoutBinaryTheNvtRulesHoldForLineEnds)
{
    // In: CR NUL is a CR, CR LF stays, other bytes pass.
    const QByteArray in =
        QByteArray("a\r\0b\r\nc\r", 8) + Bytes({0, IAC, IAC, 0}) + "\r" + Bytes({IAC, 241, 0});
    TelnetCodec codec;
    const Result r = FeedWhole(codec, in);
    EXPECT_EQ(r.data, QByteArray("a\rb\r\nc\r", 7) + Bytes({IAC, 0}) + "\r");
    ExpectSplitInvariant(in, r);

    // Out: a CR alone becomes CR NUL, CR LF stays, a CR at the end of what
    // the phone wrote waits to see whether its LF comes next.
    TelnetCodec out;
    QByteArray wire;
    out.EncodeForPeer(QByteArray("ls\r\nx\ry") + Bytes({IAC}), wire);
    EXPECT_EQ(wire, QByteArray("ls\r\nx\r\0y", 8) + Bytes({IAC, IAC}));
    wire.clear();
    out.EncodeForPeer("cd\r", wire);
    EXPECT_EQ(wire, "cd");
    out.EncodeForPeer("\n", wire);
    EXPECT_EQ(wire, "cd\r\n");
    out.EncodeForPeer("\r", wire);
    out.FlushForPeer(wire);
    EXPECT_EQ(wire, QByteArray("cd\r\n\r\0", 6));
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
    codec.Feed(Bytes({IAC, DO, OPT_TTYPE, IAC, SB, OPT_TTYPE, TTYPE_SEND}), data, replies);
    const QByteArray junk(1 << 20, 'z');
    codec.Feed(junk, data, replies);
    replies.clear();
    codec.Feed(Bytes({IAC, SE}) + "ok", data, replies);
    EXPECT_EQ(data, "ok");
    EXPECT_TRUE(replies.isEmpty()) << "a cut-off subnegotiation is not acted on";
}

TEST(TelnetCodec, RandomStreamsDecodeTheSameAtEverySplit)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        QByteArray payload;
        for (int i = 0; i < 64; ++i)
            payload.append(char(rng() % 256));
        QByteArray wire = TelnetCodec::Escape(payload);
        // Negotiation dropped in at a random place, between two data bytes.
        qsizetype at = rng() % (wire.size() + 1);
        while (at > 0 && at < wire.size() && std::uint8_t(wire[at - 1]) == IAC)
            --at;
        wire.insert(at, Bytes({IAC, DO, OPT_SGA}));
        TelnetCodec codec;
        MakeBinary(codec);
        const Result r = FeedWhole(codec, wire);
        EXPECT_EQ(r.data, payload);
        ExpectSplitInvariant(wire, r, MakeBinary);
    }
}

} // namespace
