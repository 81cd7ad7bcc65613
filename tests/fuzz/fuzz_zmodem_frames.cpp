// The ZMODEM frame decoder under the bytes of a hostile remote. Whatever
// arrives gives the same events whole as split at any point; what our
// encoders build decodes back to itself; and an announced file name becomes
// a name that is safe to create.
//
// Input: one byte of set-up (starting mode, CRC-32 subpackets, the frame end
// of the encoded one), two bytes of split point, then the received bytes.
// The same bytes also serve as a header, a subpacket and an announcement for
// the other checks.
#include "FuzzSupport.h"

#include "transfer/ZmodemFileInfo.h"
#include "transfer/ZmodemFrames.h"

#include <QByteArray>

#include <vector>

namespace {

using namespace qv::zm;
using qv::fuzz::Check;
using qv::fuzz::FuzzInput;
using Decoder = ZFrameDecoder;

struct Seen
{
    int type = 0;
    std::uint8_t headerType = 0;
    std::array<std::uint8_t, 4> p{};
    std::uint8_t format = 0;
    QByteArray data;
    std::uint8_t frameEnd = 0;
    bool tooLong = false;
    std::size_t joinedAt = Decoder::kNotJoined;
    bool operator==(const Seen&) const = default;
};

// Feeds a decoder and keeps what it reports, switching its mode the way the
// protocol engine does: headers after the start of a session, a subpacket
// after ZDATA or ZFILE, headers again after the last subpacket of a frame.
class Recorder
{
public:
    Recorder(Decoder::Mode mode, bool crc32)
    {
        m_decoder.SetMode(mode);
        m_decoder.SetSubpacketCrc32(crc32);
    }

    void Feed(const std::uint8_t* data, std::size_t n)
    {
        const std::size_t used =
            m_decoder.Feed(data, n, [this](const Decoder::Event& ev) { return OnEvent(ev); });
        Check(used == n, "the decoder takes every byte while the sink goes on");
    }

    std::vector<Seen> events;

private:
    bool OnEvent(const Decoder::Event& ev)
    {
        Seen seen;
        seen.type = ev.type;
        seen.headerType = ev.header.type;
        seen.p = ev.header.p;
        seen.format = ev.headerFormat;
        seen.frameEnd = ev.frameEnd;
        seen.tooLong = ev.tooLong;
        seen.joinedAt = ev.joinedAt;
        if (ev.type == Decoder::evSubpacket || ev.type == Decoder::evBadSubpacket) {
            Check(ev.size <= kWorkAreaSize, "a subpacket never exceeds the work area");
            if (ev.data)
                seen.data = QByteArray(reinterpret_cast<const char*>(ev.data), qsizetype(ev.size));
        }
        if (ev.joinedAt != Decoder::kNotJoined) {
            // What is reported as the end of a first subpacket is one: a
            // continuing frame end and its CRC, inside the data.
            Check(ev.type == Decoder::evSubpacket && ev.joinedAt >= 1 && ev.joinedAt + 3 <= ev.size,
                  "a join lies inside a good subpacket");
            const std::uint8_t* end = ev.data + ev.joinedAt;
            Check(end[0] == ZCRCG || end[0] == ZCRCQ, "a join is at a continuing frame end");
            const std::uint16_t crc = Crc16(ev.data, ev.joinedAt + 1);
            Check(crc == ((end[1] << 8) | end[2]), "a join is followed by the CRC of what it ends");
        }
        events.push_back(seen);

        switch (ev.type) {
        case Decoder::evRzCommand:
        case Decoder::evZrqinitLeadIn:
            m_decoder.SetMode(Decoder::mdHeader);
            break;
        case Decoder::evHeader:
            if (ev.header.type == ZDATA || ev.header.type == ZFILE) {
                m_decoder.SetSubpacketCrc32(ev.headerFormat == ZBIN32);
                m_decoder.SetMode(Decoder::mdSubpacket);
            }
            break;
        case Decoder::evSubpacket:
            if (ev.frameEnd == ZCRCE || ev.frameEnd == ZCRCW)
                m_decoder.SetMode(Decoder::mdHeader);
            break;
        case Decoder::evBadSubpacket:
            m_decoder.ResetHeader();
            m_decoder.SetMode(Decoder::mdHeader);
            break;
        default:
            break;
        }
        return true;
    }

    Decoder m_decoder;
};

void CheckSplitInvariance(Decoder::Mode mode, bool crc32, std::size_t split, const std::uint8_t* data,
                          std::size_t n)
{
    Recorder whole(mode, crc32);
    whole.Feed(data, n);
    Recorder cut(mode, crc32);
    const std::size_t at = n == 0 ? 0 : split % (n + 1);
    cut.Feed(data, at);
    cut.Feed(data + at, n - at);
    Check(whole.events == cut.events, "a stream split anywhere gives the same events");
}

void CheckHeadersRoundTrip(const std::uint8_t* data, std::size_t n)
{
    if (n < 5)
        return;
    ZHeader header;
    header.type = data[0];
    std::copy(data + 1, data + 5, header.p.begin());
    for (const QByteArray& encoded :
         {EncodeBinaryHeader(header), EncodeBinaryHeader(header, true), EncodeHexHeader(header)}) {
        Recorder r(Decoder::mdHeader, false);
        r.Feed(reinterpret_cast<const std::uint8_t*>(encoded.constData()), std::size_t(encoded.size()));
        Check(r.events.size() == 1 && r.events[0].type == Decoder::evHeader &&
                  r.events[0].headerType == header.type && r.events[0].p == header.p,
              "an encoded header decodes to itself");
    }
}

void CheckSubpacketRoundTrip(std::uint8_t choice, const std::uint8_t* data, std::size_t n)
{
    if (n > kMaxSendSubpacket)
        n = kMaxSendSubpacket;
    static constexpr std::uint8_t kEnds[] = {ZCRCE, ZCRCG, ZCRCQ, ZCRCW};
    const std::uint8_t end = kEnds[choice % 4];
    const bool crc32 = (choice & 4) != 0;
    std::vector<std::uint8_t> out(EncodedSubpacketCapacity(n));
    const std::size_t length = EncodeSubpacket(data, n, end, out.data(), crc32);
    Check(length <= out.size(), "an encoded subpacket fits its stated capacity");
    Decoder decoder;
    decoder.SetMode(Decoder::mdSubpacket);
    decoder.SetSubpacketCrc32(crc32);
    std::vector<Seen> events;
    decoder.Feed(out.data(), length, [&](const Decoder::Event& ev) {
        Seen seen;
        seen.type = ev.type;
        seen.frameEnd = ev.frameEnd;
        if (ev.data)
            seen.data = QByteArray(reinterpret_cast<const char*>(ev.data), qsizetype(ev.size));
        events.push_back(seen);
        return true;
    });
    Check(events.size() == 1 && events[0].type == Decoder::evSubpacket && events[0].frameEnd == end &&
              events[0].data == QByteArray(reinterpret_cast<const char*>(data), qsizetype(n)),
          "an encoded subpacket decodes to its data");
}

void CheckAnnouncement(const std::uint8_t* data, std::size_t n)
{
    const FileAnnouncement info = ParseFileAnnouncement(data, n);
    Check(!info.hasSize || info.size >= 0, "an announced size is never negative");
    const QString name = SafeReceivedName(info.name);
    if (name.isEmpty())
        return;
    Check(name != QLatin1String(".") && name != QLatin1String(".."), "a safe name is never a folder link");
    Check(!name.contains(u'/') && !name.contains(u'\\'), "a safe name has no folder part");
    for (QChar c : name) {
        const char16_t u = c.unicode();
        Check(u >= 0x20 && (u < 0x7F || u >= 0xA0), "a safe name has no control characters");
        Check(!(u >= 0x200B && u <= 0x200F && u != 0x200C && u != 0x200D) && !(u >= 0x202A && u <= 0x202E) &&
                  !(u >= 0x2066 && u <= 0x2069) && u != 0xFEFF,
              "a safe name has no marks that reorder or hide text");
    }
    Check(name.toUtf8().size() <= kMaxFileNameBytes, "a safe name fits the file system");
    Check(SafeReceivedName(name.toUtf8()) == name, "a safe name made safe again stays as it is");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    FuzzInput input(bytes, size);
    const std::uint8_t setup = input.Byte();
    const std::size_t split = input.Word();
    const std::uint8_t* data = nullptr;
    const std::size_t n = input.Rest(data);

    static constexpr Decoder::Mode kModes[] = {Decoder::mdIdle, Decoder::mdHeader, Decoder::mdSubpacket};
    CheckSplitInvariance(kModes[setup % 3], (setup & 0x10) != 0, split, data, n);
    CheckHeadersRoundTrip(data, n);
    CheckSubpacketRoundTrip(std::uint8_t((setup >> 6) | ((setup & 0x10) >> 2)), data, n);
    CheckAnnouncement(data, n);
    return 0;
}
