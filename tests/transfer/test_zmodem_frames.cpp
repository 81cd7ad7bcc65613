// The frame layer on byte arrays: what goes on the wire, and what the decoder
// makes of it whole, byte by byte and cut at every position.
#include "transfer/ZmodemFrames.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace qv::zm;

namespace {

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

QByteArray Subpacket(const QByteArray& data, std::uint8_t frameEnd)
{
    std::vector<std::uint8_t> out(EncodedSubpacketCapacity(data.size()));
    const std::size_t n = EncodeSubpacket(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                          data.size(), frameEnd, out.data());
    return QByteArray(reinterpret_cast<const char*>(out.data()), static_cast<qsizetype>(n));
}

// A readable record of one decoder event.
std::string Describe(const ZFrameDecoder::Event& ev)
{
    switch (ev.type) {
    case ZFrameDecoder::evRzCommand:
        return "rz";
    case ZFrameDecoder::evZrqinitLeadIn:
        return "leadin";
    case ZFrameDecoder::evRemoteAbort:
        return "abort";
    case ZFrameDecoder::evHeader:
        return "hdr " + std::to_string(ev.header.type) + "/" + char(ev.headerFormat) + " " +
               std::to_string(ev.header.Position());
    case ZFrameDecoder::evBadHeader:
        return "badhdr";
    case ZFrameDecoder::evSubpacket:
        if (ev.joinedAt != ZFrameDecoder::kNotJoined)
            return "sub " + std::string(1, char(ev.frameEnd)) + " " +
                   std::string(reinterpret_cast<const char*>(ev.data), ev.joinedAt) + " +" +
                   std::to_string(ev.size - ev.joinedAt);
        return "sub " + std::string(1, char(ev.frameEnd)) + " " +
               std::string(reinterpret_cast<const char*>(ev.data), ev.size);
    case ZFrameDecoder::evBadSubpacket:
        return ev.tooLong ? "badsub long" : "badsub";
    }
    return "?";
}

// Drives the decoder the way the protocol engine does: a header that opens
// a frame switches to the collector, a frame end that closes it switches back.
struct Driver
{
    ZFrameDecoder decoder;
    std::vector<std::string> events;

    explicit Driver(ZFrameDecoder::Mode mode = ZFrameDecoder::mdHeader) { decoder.SetMode(mode); }

    bool OnEvent(const ZFrameDecoder::Event& ev)
    {
        events.push_back(Describe(ev));
        if (ev.type == ZFrameDecoder::evHeader) {
            const auto t = ev.header.type;
            if (t == ZDATA || t == ZFILE || t == ZSINIT) {
                decoder.SetMode(ZFrameDecoder::mdSubpacket);
                decoder.SetSubpacketCrc32(ev.headerFormat == ZBIN32);
            } else {
                decoder.SetMode(ZFrameDecoder::mdHeader);
            }
        } else if (ev.type == ZFrameDecoder::evSubpacket) {
            if (ev.frameEnd == ZCRCE || ev.frameEnd == ZCRCW)
                decoder.SetMode(ZFrameDecoder::mdHeader);
        } else if (ev.type == ZFrameDecoder::evBadSubpacket || ev.type == ZFrameDecoder::evBadHeader) {
            decoder.SetMode(ZFrameDecoder::mdHeader);
        }
        return true;
    }

    void Feed(const QByteArray& bytes)
    {
        decoder.Feed(reinterpret_cast<const std::uint8_t*>(bytes.constData()), bytes.size(),
                     [this](const ZFrameDecoder::Event& ev) { return OnEvent(ev); });
    }
};

std::vector<std::string> FeedWhole(const QByteArray& input,
                                   ZFrameDecoder::Mode mode = ZFrameDecoder::mdHeader)
{
    Driver d(mode);
    d.Feed(input);
    return d.events;
}

// Whole, byte by byte and cut at every position must agree.
std::vector<std::string> ExpectSplitInvariant(const QByteArray& input,
                                              ZFrameDecoder::Mode mode = ZFrameDecoder::mdHeader)
{
    const auto whole = FeedWhole(input, mode);
    Driver bytewise(mode);
    for (qsizetype i = 0; i < input.size(); ++i)
        bytewise.Feed(input.mid(i, 1));
    EXPECT_EQ(whole, bytewise.events) << "byte by byte";
    for (qsizetype cut = 1; cut < input.size(); ++cut) {
        Driver split(mode);
        split.Feed(input.left(cut));
        split.Feed(input.mid(cut));
        EXPECT_EQ(whole, split.events) << "cut at " << cut;
    }
    return whole;
}

QByteArray Crc32Header(std::uint8_t type, std::uint32_t pos)
{
    ZHeader h = ZHeader::WithPosition(type, pos);
    QByteArray out = Bytes({'*', 0x18, 'C'});
    std::uint32_t crc = 0xFFFFFFFFu;
    std::vector<std::uint8_t> raw{h.type, h.p[0], h.p[1], h.p[2], h.p[3]};
    for (auto b : raw)
        crc = Crc32Update(crc, b);
    crc = ~crc;
    for (int i = 0; i < 4; ++i)
        raw.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
    for (auto b : raw) {
        if (NeedsEscape(b)) {
            out.append(char(0x18));
            out.append(char(b ^ 0x40));
        } else {
            out.append(char(b));
        }
    }
    return out;
}

} // namespace

TEST(ZmodemCrc, KnownCheckValues)
{
    const QByteArray text("123456789");
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.constData());
    EXPECT_EQ(Crc16(p, 9), 0x31C3);
    std::uint32_t crc = 0xFFFFFFFFu;
    for (int i = 0; i < 9; ++i)
        crc = Crc32Update(crc, p[i]);
    EXPECT_EQ(~crc, 0xCBF43926u);
    // Data followed by its CRC leaves the fixed residues.
    const std::uint16_t c16 = Crc16(p, 9);
    const std::uint8_t tail[2] = {std::uint8_t(c16 >> 8), std::uint8_t(c16)};
    EXPECT_EQ(Crc16(tail, 2, c16), 0);
    const std::uint32_t fin = ~crc;
    for (int i = 0; i < 4; ++i)
        crc = Crc32Update(crc, std::uint8_t(fin >> (8 * i)));
    EXPECT_EQ(crc, kCrc32Residue);
}

TEST(ZmodemEncode, HexHeadersAsOnTheWire)
{
    // ZRINIT with flags 0x17: digits lower case, CRC 0xc887, CR 0x8A XON.
    EXPECT_EQ(EncodeHexHeader(ZHeader::WithFlags(ZRINIT, 0x17)), QByteArray("**\x18"
                                                                            "B0100000017c887\r\x8a\x11"));
    // ZFIN and ZACK carry no XON.
    EXPECT_EQ(EncodeHexHeader(ZHeader::WithPosition(ZFIN, 0)), QByteArray("**\x18"
                                                                          "B0800000000022d\r\x8a"));
    EXPECT_FALSE(EncodeHexHeader(ZHeader::WithPosition(ZACK, 5)).endsWith('\x11'));
    EXPECT_TRUE(EncodeHexHeader(ZHeader::WithPosition(ZRPOS, 5)).endsWith('\x11'));
}

TEST(ZmodemEncode, EscapesExactlyTheFlowControlBytesAndZdle)
{
    EXPECT_EQ(Subpacket(Bytes({0x18}), ZCRCE).left(2), Bytes({0x18, 0x58}));
    EXPECT_EQ(Subpacket(Bytes({0x91}), ZCRCE).left(2), Bytes({0x18, 0xD1}));
    EXPECT_EQ(Subpacket(Bytes({0x11, 0x13, 0x93}), ZCRCE).left(6),
              Bytes({0x18, 0x51, 0x18, 0x53, 0x18, 0xD3}));
    // 0x10, 0x90, CR and DEL go as they are.
    EXPECT_EQ(Subpacket(Bytes({0x10, 0x90, 0x0D, 0x7F}), ZCRCG).left(6),
              Bytes({0x10, 0x90, 0x0D, 0x7F, 0x18, 'i'}));
    // A header byte 0x18 is escaped too, and the encoded length adds up.
    const QByteArray bin = EncodeBinaryHeader(ZHeader::WithPosition(ZRPOS, 0x18));
    EXPECT_EQ(bin.left(6), Bytes({'*', 0x18, 'A', ZRPOS, 0x18, 0x58}));
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    EXPECT_EQ(Subpacket(all, ZCRCW).size(), 256 + 5 + 4 + Subpacket(QByteArray(), ZCRCW).size() - 4);
}

TEST(ZmodemDecode, HeadersOfEveryFormatSurviveEveryCut)
{
    QByteArray input;
    input += "garbage* ";
    input += EncodeHexHeader(ZHeader::WithFlags(ZRINIT, 0x17));
    input += "\x01\x02";
    input += EncodeBinaryHeader(ZHeader::WithPosition(ZRPOS, 0x12345678));
    input += EncodeBinaryHeader(ZHeader::WithPosition(ZACK, 0x18181818));
    input += Crc32Header(ZRPOS, 0x91939118);
    input += EncodeHexHeader(ZHeader::WithPosition(ZFIN, 0));
    const auto events = ExpectSplitInvariant(input);
    const std::vector<std::string> expected{"hdr 1/B 385875968", "hdr 9/A 305419896", "hdr 3/A 404232216",
                                            "hdr 9/C 2442367256", "hdr 8/B 0"};
    EXPECT_EQ(events, expected);
}

TEST(ZmodemDecode, FlowControlBytesInsideHeadersAndEscapes)
{
    // An escaped data byte 0x11 arrives as 0x18 0x51 and is stored as 0x11.
    const ZHeader h = ZHeader::WithPosition(ZRPOS, 0x11);
    QByteArray bin = EncodeBinaryHeader(h);
    ASSERT_EQ(bin.mid(4, 2), Bytes({0x18, 0x51}));
    EXPECT_EQ(ExpectSplitInvariant(bin), std::vector<std::string>{"hdr 9/A 17"});
    // XON and XOFF slipped between the ZDLE and its byte, and between header
    // bytes, change nothing.
    QByteArray noisy;
    for (int i = 0; i < bin.size(); ++i) {
        noisy.append(bin[i]);
        if (i >= 2)
            noisy.append(i % 2 ? '\x11' : '\x13');
    }
    EXPECT_EQ(ExpectSplitInvariant(noisy), std::vector<std::string>{"hdr 9/A 17"});
    QByteArray hex = EncodeHexHeader(ZHeader::WithPosition(ZRPOS, 7));
    hex.insert(8, '\x11');
    EXPECT_EQ(FeedWhole(hex), std::vector<std::string>{"hdr 9/B 7"});
}

TEST(ZmodemDecode, LeadInsThatAreNotHeaders)
{
    // Binary with two pads, hex with one pad, upper-case hex digits.
    QByteArray twoPads = "*" + EncodeBinaryHeader(ZHeader::WithPosition(ZRPOS, 1));
    EXPECT_TRUE(FeedWhole(twoPads).empty());
    QByteArray onePad = EncodeHexHeader(ZHeader::WithPosition(ZRPOS, 1)).mid(1);
    EXPECT_TRUE(FeedWhole(onePad).empty());
    QByteArray upper = EncodeHexHeader(ZHeader::WithPosition(ZRPOS, 0xAB));
    upper.replace("ab", "AB");
    EXPECT_TRUE(FeedWhole(upper).empty());
    // ... and the recogniser is left ready for the next good header.
    Driver d;
    d.Feed(upper.left(12));
    d.Feed(EncodeHexHeader(ZHeader::WithPosition(ZRPOS, 3)));
    EXPECT_EQ(d.events, std::vector<std::string>{"hdr 9/B 3"});
}

TEST(ZmodemDecode, DamagedHeadersAreReportedOnce)
{
    QByteArray bin = EncodeBinaryHeader(ZHeader::WithPosition(ZRPOS, 100));
    bin[5] = bin[5] ^ 0x01;
    QByteArray hex = EncodeHexHeader(ZHeader::WithPosition(ZRPOS, 100));
    hex[6] = hex[6] == '0' ? '1' : '0';
    const auto events = ExpectSplitInvariant(bin + hex + EncodeBinaryHeader(ZHeader::WithPosition(ZRPOS, 1)));
    EXPECT_EQ(events, (std::vector<std::string>{"badhdr", "badhdr", "hdr 9/A 1"}));
}

TEST(ZmodemDecode, DataFramesWithEveryByteValue)
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    const QByteArray cans(40, '\x18');
    QByteArray input = EncodeBinaryHeader(ZHeader::WithPosition(ZDATA, 0));
    input += Subpacket(all, ZCRCG);
    input += Subpacket(cans, ZCRCQ);
    input += Subpacket(QByteArray(), ZCRCG);
    input += Subpacket(QByteArray("+~"), ZCRCE);
    input += EncodeHexHeader(ZHeader::WithPosition(ZEOF, 298));
    const auto events = ExpectSplitInvariant(input);
    const std::vector<std::string> expected{
        "hdr 10/A 0",  "sub i " + all.toStdString(), "sub j " + cans.toStdString(), "sub i ", "sub h +~",
        "hdr 11/B 298"};
    ASSERT_EQ(events.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(events[i], expected[i]) << i;
    // A run of escaped 0x18 never looks like the remote-abort sequence.
}

TEST(ZmodemDecode, Crc32DataFollowsAZbin32Header)
{
    const QByteArray data("crc-32 framed \x18\x11 data");
    QByteArray sub;
    std::uint32_t crc = 0xFFFFFFFFu;
    for (char c : data) {
        crc = Crc32Update(crc, std::uint8_t(c));
        if (NeedsEscape(std::uint8_t(c)))
            sub += Bytes({0x18, std::uint8_t(c) ^ 0x40});
        else
            sub += c;
    }
    sub += Bytes({0x18, ZCRCW});
    crc = ~Crc32Update(crc, ZCRCW);
    for (int i = 0; i < 4; ++i) {
        const auto b = std::uint8_t(crc >> (8 * i));
        sub += NeedsEscape(b) ? Bytes({0x18, b ^ 0x40}) : Bytes({b});
    }
    const auto events = ExpectSplitInvariant(Crc32Header(ZDATA, 5) + sub);
    EXPECT_EQ(events, (std::vector<std::string>{"hdr 10/C 5", "sub k " + data.toStdString()}));
}

TEST(ZmodemDecode, DamagedAndOversizedSubpackets)
{
    QByteArray sub = Subpacket(QByteArray("hello world"), ZCRCG);
    sub[3] = 'X';
    auto events = ExpectSplitInvariant(EncodeBinaryHeader(ZHeader::WithPosition(ZDATA, 0)) + sub);
    EXPECT_EQ(events, (std::vector<std::string>{"hdr 10/A 0", "badsub"}));

    // More data than the work area holds is refused, never stored.
    Driver d(ZFrameDecoder::mdSubpacket);
    d.Feed(QByteArray(kWorkAreaSize + 10, 'z'));
    EXPECT_EQ(d.events, std::vector<std::string>{"badsub long"});
    EXPECT_LT(d.decoder.CollectedBytes(), 16u);
}

TEST(ZmodemDecode, SubpacketsRunTogetherWhereAZdleWasLost)
{
    // Without the ZDLE before its end, a subpacket's end letter and CRC are
    // taken as data, and with the next subpacket the whole passes its CRC-16.
    // The join is reported where the first one's sender would have cut it.
    const auto joined = [](const QByteArray& first, const QByteArray& second, std::uint8_t end = ZCRCG) {
        QByteArray wire = Subpacket(first, ZCRCG);
        wire.remove(wire.lastIndexOf("\x18i"), 1);
        return wire + Subpacket(second, end);
    };
    const QByteArray q1024(1024, 'q');
    QByteArray input =
        EncodeBinaryHeader(ZHeader::WithPosition(ZDATA, 0)) + Subpacket(QByteArray(600, 'p'), ZCRCG);
    // Our own sender's cuts: after a "~", after "++", at the longest length;
    // the second subpacket ends as that sender ends one, the last of the file
    // too.
    input += joined("first~", "second~") + joined("a++", "b~") + joined(q1024, "tail");
    input += joined("x~", "last", ZCRCE);
    // Blocks of one size, the first two of a frame.
    const QByteArray block = QByteArray("~i+").repeated(20);
    input += EncodeBinaryHeader(ZHeader::WithPosition(ZDATA, 0)) + joined(block, block);
    const auto events = ExpectSplitInvariant(input);
    const std::vector<std::string> expected{
        "hdr 10/A 0",   "sub i " + std::string(600, 'p'),       "sub i first~ +10",
        "sub i a++ +5", "sub i " + q1024.toStdString() + " +7", "sub h x~ +7",
        "hdr 10/A 0",   "sub i " + block.toStdString() + " +63"};
    EXPECT_EQ(events, expected);
}

TEST(ZmodemDecode, HexHeaderTrailerIsNotData)
{
    // A hex ZSINIT is followed by CR, 0x8A and XON, then its subpacket; a
    // subpacket whose data really starts with CR LF keeps them.
    QByteArray input = EncodeHexHeader(ZHeader::WithPosition(ZSINIT, 0));
    input += Subpacket(QByteArray("\r\nattn"), ZCRCW);
    const auto events = ExpectSplitInvariant(input);
    EXPECT_EQ(events, (std::vector<std::string>{"hdr 2/B 0", "sub k \r\nattn"}));
}

TEST(ZmodemDecode, ZeofSniffedAtTheStartOfASubpacket)
{
    // Binary ZEOF where the collector waits for more data.
    const QByteArray zeof = EncodeBinaryHeader(ZHeader::WithPosition(ZEOF, 77));
    auto events = ExpectSplitInvariant(zeof, ZFrameDecoder::mdSubpacket);
    EXPECT_EQ(events, std::vector<std::string>{"hdr 11/A 77"});

    // A sender that escapes every control character puts "*", ZDLE, "A" on
    // the wire for the data "*" 0x01; when the look-alike header fails its
    // check the bytes are data, not a damaged packet.
    QByteArray data = Bytes({'*', 0x01, 0x0B, 0, 0, 0, 0, 0x55, 0x66});
    QByteArray wire = Bytes({'*', 0x18, 'A', 0x0B, 0, 0, 0, 0, 0x55, 0x66});
    std::uint16_t crc = Crc16(reinterpret_cast<const std::uint8_t*>(data.constData()), data.size());
    crc = Crc16Update(crc, ZCRCG);
    wire += Bytes({0x18, ZCRCG, crc >> 8, crc & 0xFF});
    ASSERT_FALSE(NeedsEscape(crc >> 8));
    ASSERT_FALSE(NeedsEscape(crc & 0xFF));
    events = ExpectSplitInvariant(wire, ZFrameDecoder::mdSubpacket);
    EXPECT_EQ(events, std::vector<std::string>{"sub i " + data.toStdString()});
}

TEST(ZmodemDecode, RunsOfDataEndWhereTheCarefulWayTakesOver)
{
    // Long plain stretches broken by every kind of byte that ends a run: an
    // escape (also at the sniffed start and right after it), a frame end
    // byte as data, "*" inside the first sixteen bytes, and an XON a modem
    // slipped between a ZDLE and its byte.
    QByteArray data = "*" + QByteArray(14, 'a') + "*" + QByteArray(3, 'b');
    data += QByteArray(100, 'p') + '\x18' + QByteArray(50, 'q') + "\x91hijklm\x7f\xff" + QByteArray(200, 'r');
    QByteArray wire = Subpacket(data, ZCRCG);
    const qsizetype escape = wire.indexOf('\x18', 150);
    wire.insert(escape + 1, '\x11');
    QByteArray input = EncodeBinaryHeader(ZHeader::WithPosition(ZDATA, 0)) + wire;
    input += Subpacket("\x18" + QByteArray(30, 's'), ZCRCE);
    EXPECT_EQ(ExpectSplitInvariant(input),
              (std::vector<std::string>{"hdr 10/A 0", "sub i " + data.toStdString(),
                                        "sub h \x18" + std::string(30, 's')}));

    // A CAN run that begins right after plain data, whatever read it is cut
    // by, is the remote's abort; four and an escaped byte are data.
    const QByteArray plain(64, 'x');
    EXPECT_EQ(ExpectSplitInvariant(plain + QByteArray(5, '\x18'), ZFrameDecoder::mdSubpacket),
              std::vector<std::string>{"abort"});
    const QByteArray fourAndOne = plain + QByteArray(4, '\x18') + "X" + plain;
    EXPECT_TRUE(ExpectSplitInvariant(fourAndOne, ZFrameDecoder::mdSubpacket).empty());

    // The work area fills inside a run, at an escape pair or a plain byte.
    for (const QByteArray& tail : {QByteArray("\x18\x58zz"), QByteArray("zzzz")}) {
        const QByteArray longOne = QByteArray(kWorkAreaSize - 1, 'z') + tail;
        std::vector<std::string> whole = FeedWhole(longOne, ZFrameDecoder::mdSubpacket);
        EXPECT_EQ(whole, std::vector<std::string>{"badsub long"});
        for (qsizetype cut = longOne.size() - 4; cut < longOne.size(); ++cut) {
            Driver split(ZFrameDecoder::mdSubpacket);
            split.Feed(longOne.left(cut));
            split.Feed(longOne.mid(cut));
            EXPECT_EQ(split.events, whole) << "cut at " << cut;
        }
    }
}

TEST(ZmodemCrc, WholeRunsMatchByteSteps)
{
    std::mt19937 rng(99);
    std::vector<std::uint8_t> bytes(1000);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(rng());
    for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 999u}) {
        std::uint16_t c16 = 0x1D0F;
        std::uint32_t c32 = 0x12345678u;
        for (std::size_t i = 0; i < n; ++i) {
            c16 = Crc16Update(c16, bytes[i]);
            c32 = Crc32Update(c32, bytes[i]);
        }
        EXPECT_EQ(Crc16(bytes.data(), n, 0x1D0F), c16) << n;
        EXPECT_EQ(Crc32(bytes.data(), n, 0x12345678u), c32) << n;
    }
}

TEST(ZmodemEncode, SubpacketLengthsEndAtTildesAndPlusPairs)
{
    const auto length = [](const QByteArray& data) {
        return SubpacketLength(reinterpret_cast<const std::uint8_t*>(data.constData()), data.size());
    };
    EXPECT_EQ(length("a+++b"), 3u);
    EXPECT_EQ(length("+b"), 2u);
    EXPECT_EQ(length("x~~y"), 2u);
    EXPECT_EQ(length(QByteArray(2000, 'q')), kMaxSendSubpacket);
    EXPECT_EQ(length(QByteArray(1023, 'q') + "++"), kMaxSendSubpacket) << "the pair is cut by the limit";
    EXPECT_EQ(length(QByteArray(20, 'q') + "+" + QByteArray(20, 'q') + "+~"), 43u);
}

TEST(ZmodemDecode, RemoteAbortNeedsFiveCans)
{
    EXPECT_EQ(ExpectSplitInvariant(QByteArray(5, '\x18')), std::vector<std::string>{"abort"});
    EXPECT_TRUE(FeedWhole(QByteArray(4, '\x18') + "x" + QByteArray(4, '\x18')).empty());
    EXPECT_EQ(FeedWhole(QByteArray(3, '\x18') + Subpacket("a", ZCRCG) + QByteArray(5, '\x18'),
                        ZFrameDecoder::mdSubpacket)
                  .back(),
              "abort");
}

TEST(ZmodemDecode, IdleModeWatchesForTheStartOfATransfer)
{
    EXPECT_EQ(ExpectSplitInvariant("hello rz\r", ZFrameDecoder::mdIdle), std::vector<std::string>{"rz"});
    // A doubled "r" does not match; headers and CANs mean nothing in idle.
    EXPECT_TRUE(
        FeedWhole("rrz\r" + QByteArray(6, '\x18') + EncodeBinaryHeader(ZHeader::WithPosition(ZRPOS, 1)),
                  ZFrameDecoder::mdIdle)
            .empty());
    const QByteArray zrqinit = EncodeHexHeader(ZHeader::WithPosition(ZRQINIT, 0));
    EXPECT_EQ(ExpectSplitInvariant("x" + zrqinit, ZFrameDecoder::mdIdle), std::vector<std::string>{"leadin"});
}

TEST(ZmodemDecode, SinkStopsTheChunk)
{
    ZFrameDecoder decoder;
    decoder.SetMode(ZFrameDecoder::mdHeader);
    const QByteArray input = EncodeBinaryHeader(ZHeader::WithPosition(ZRPOS, 1)) + "tail";
    int events = 0;
    const std::size_t used =
        decoder.Feed(reinterpret_cast<const std::uint8_t*>(input.constData()), input.size(),
                     [&](const ZFrameDecoder::Event&) { return ++events, false; });
    EXPECT_EQ(events, 1);
    EXPECT_EQ(used, std::size_t(input.size() - 4));
}

TEST(ZmodemDecode, RandomStreamsWithNoiseBetweenFrames)
{
    std::mt19937 rng(1234);
    for (int round = 0; round < 3; ++round) {
        QByteArray input;
        std::vector<std::string> expected;
        for (int f = 0; f < 4; ++f) {
            input += "\r\n junk \x11";
            const std::uint32_t pos = rng();
            input += EncodeBinaryHeader(ZHeader::WithPosition(ZDATA, pos));
            expected.push_back("hdr 10/A " + std::to_string(pos));
            QByteArray data;
            for (int i = 0, n = int(rng() % 60); i < n; ++i)
                data.append(char(rng()));
            input += Subpacket(data, ZCRCW);
            expected.push_back("sub k " + data.toStdString());
        }
        EXPECT_EQ(ExpectSplitInvariant(input), expected);
    }
}
