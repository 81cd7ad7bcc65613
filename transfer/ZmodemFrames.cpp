#include "transfer/ZmodemFrames.h"

namespace qv::zm {

namespace {

constexpr std::array<std::uint16_t, 256> MakeCrc16Table()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
        table[i] = static_cast<std::uint16_t>(crc & 0xFFFF);
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> MakeCrc32Table()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? ((crc >> 1) ^ 0xEDB88320u) : (crc >> 1);
        table[i] = crc;
    }
    return table;
}

constexpr auto kCrc16Table = MakeCrc16Table();
constexpr auto kCrc32Table = MakeCrc32Table();

constexpr std::array<bool, 256> MakeEscapeTable()
{
    std::array<bool, 256> table{};
    table[0x11] = table[0x13] = table[0x18] = table[0x91] = table[0x93] = true;
    return table;
}

constexpr auto kEscape = MakeEscapeTable();

// Bytes that modems insert or that prefix an escape; never data by themselves.
bool IsIgnorable(std::uint8_t b)
{
    return kEscape[b];
}

bool IsFlowControl(std::uint8_t b)
{
    return b == 0x11 || b == 0x13 || b == 0x91 || b == 0x93;
}

bool IsFrameEnd(std::uint8_t b)
{
    return b >= ZCRCE && b <= ZCRCW;
}

void AppendEscaped(QByteArray& out, std::uint8_t b)
{
    if (kEscape[b]) {
        out.append(static_cast<char>(ZDLE));
        out.append(static_cast<char>(b ^ 0x40));
    } else {
        out.append(static_cast<char>(b));
    }
}

int HexValue(std::uint8_t b)
{
    if (b >= '0' && b <= '9')
        return b - '0';
    if (b >= 'a' && b <= 'f')
        return b - 'a' + 10;
    return -1;
}

} // namespace

ZHeader ZHeader::WithPosition(std::uint8_t type, std::uint32_t position)
{
    ZHeader h;
    h.type = type;
    for (int i = 0; i < 4; ++i)
        h.p[i] = static_cast<std::uint8_t>(position >> (8 * i));
    return h;
}

ZHeader ZHeader::WithFlags(std::uint8_t type, std::uint8_t zf0, std::uint8_t zf1)
{
    ZHeader h;
    h.type = type;
    h.p[3] = zf0;
    h.p[2] = zf1;
    return h;
}

std::uint32_t ZHeader::Position() const
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

std::uint16_t Crc16Update(std::uint16_t crc, std::uint8_t byte)
{
    // The direct (non-augmented) form: the same value the augmented update
    // gives after two trailing zero bytes, and 0 over data followed by its CRC.
    return static_cast<std::uint16_t>((crc << 8) ^ kCrc16Table[((crc >> 8) ^ byte) & 0xFF]);
}

std::uint16_t Crc16(const std::uint8_t* data, std::size_t n, std::uint16_t crc)
{
    for (std::size_t i = 0; i < n; ++i)
        crc = Crc16Update(crc, data[i]);
    return crc;
}

std::uint32_t Crc32Update(std::uint32_t crc, std::uint8_t byte)
{
    return kCrc32Table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

bool NeedsEscape(std::uint8_t byte)
{
    return kEscape[byte];
}

QByteArray EncodeBinaryHeader(const ZHeader& header)
{
    QByteArray out;
    out.reserve(3 + 14);
    out.append(static_cast<char>(ZPAD));
    out.append(static_cast<char>(ZDLE));
    out.append(static_cast<char>(ZBIN));
    std::uint16_t crc = Crc16Update(0, header.type);
    AppendEscaped(out, header.type);
    for (std::uint8_t b : header.p) {
        crc = Crc16Update(crc, b);
        AppendEscaped(out, b);
    }
    AppendEscaped(out, static_cast<std::uint8_t>(crc >> 8));
    AppendEscaped(out, static_cast<std::uint8_t>(crc & 0xFF));
    return out;
}

QByteArray EncodeHexHeader(const ZHeader& header)
{
    static const char kDigits[] = "0123456789abcdef";
    std::array<std::uint8_t, 7> bytes{header.type, header.p[0], header.p[1], header.p[2], header.p[3], 0, 0};
    const std::uint16_t crc = Crc16(bytes.data(), 5);
    bytes[5] = static_cast<std::uint8_t>(crc >> 8);
    bytes[6] = static_cast<std::uint8_t>(crc & 0xFF);
    QByteArray out;
    out.reserve(4 + 14 + 3);
    out.append("**");
    out.append(static_cast<char>(ZDLE));
    out.append(static_cast<char>(ZHEX));
    for (std::uint8_t b : bytes) {
        out.append(kDigits[b >> 4]);
        out.append(kDigits[b & 0x0F]);
    }
    out.append('\r');
    out.append(static_cast<char>(0x8A));
    if (header.type != ZFIN && header.type != ZACK)
        out.append(static_cast<char>(XON));
    return out;
}

std::size_t EncodeSubpacket(const std::uint8_t* data, std::size_t n, std::uint8_t frameEnd, std::uint8_t* out)
{
    std::size_t len = 0;
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = data[i];
        crc = static_cast<std::uint16_t>((crc << 8) ^ kCrc16Table[((crc >> 8) ^ b) & 0xFF]);
        if (kEscape[b]) {
            out[len++] = ZDLE;
            out[len++] = b ^ 0x40;
        } else {
            out[len++] = b;
        }
    }
    out[len++] = ZDLE;
    out[len++] = frameEnd;
    crc = Crc16Update(crc, frameEnd);
    for (std::uint8_t b : {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc & 0xFF)}) {
        if (kEscape[b]) {
            out[len++] = ZDLE;
            out[len++] = b ^ 0x40;
        } else {
            out[len++] = b;
        }
    }
    return len;
}

bool SequenceMatcher::Match(std::uint8_t byte)
{
    if (m_matched < m_sequence.size() && static_cast<std::uint8_t>(m_sequence[m_matched]) == byte) {
        if (++m_matched == m_sequence.size()) {
            m_matched = 0;
            return true;
        }
        return false;
    }
    m_matched = 0;
    return false;
}

ZFrameDecoder::ZFrameDecoder()
    : m_rz(QByteArray("rz\r")), m_leadIn(QByteArray("**\x18"
                                                    "B0000000000")),
      m_abort(QByteArray(5, static_cast<char>(ZDLE)))
{}

void ZFrameDecoder::SetMode(Mode mode)
{
    if (mode == mdSubpacket && m_mode != mdSubpacket)
        ResetSubpacket();
    if (mode == mdIdle) {
        m_rz.Reset();
        m_leadIn.Reset();
    }
    m_mode = mode;
}

void ZFrameDecoder::ResetHeader()
{
    m_hdrPos = 0;
    m_hdrFormat = 0;
    m_hdrTaken = 0;
    m_hdrExpected = 0;
    m_hexHigh = 0;
    m_hdrBytes.fill(0);
    m_hdrCrc16 = 0;
    m_hdrCrc32 = 0;
}

void ZFrameDecoder::ResetSubpacket()
{
    m_count = 0;
    m_inCrcTail = false;
    m_crcLeft = 0;
    m_frameEnd = 0;
    m_subCrc16 = 0;
    m_subCrc32Reg = 0xFFFFFFFFu;
}

void ZFrameDecoder::Reset()
{
    ResetHeader();
    ResetSubpacket();
    m_mode = mdIdle;
    m_prev = 0;
    m_rz.Reset();
    m_leadIn.Reset();
    m_abort.Reset();
    m_hexTrailer = 0;
    m_subCrc32 = false;
}

ZFrameDecoder::HeaderResult ZFrameDecoder::ParseHeaderByte(std::uint8_t raw, std::uint8_t decoded,
                                                           bool ignorable)
{
    if (m_hdrFormat == 0) {
        switch (m_hdrPos) {
        case 0:
            if (raw == ZPAD)
                m_hdrPos = 1;
            break;
        case 1:
            m_hdrPos = (raw == ZPAD || raw == ZDLE) ? 2 : 0;
            break;
        case 2:
            if ((raw == ZBIN || raw == ZBIN32) && m_prev == ZDLE) {
                m_hdrFormat = raw;
                m_hdrPos = 3;
                m_hdrTaken = 0;
                m_hdrExpected = raw == ZBIN ? 7 : 9;
                m_hdrCrc16 = 0;
                m_hdrCrc32 = 0xFFFFFFFFu;
            } else if (raw == ZDLE && m_prev == ZPAD) {
                m_hdrPos = 3;
            } else {
                m_hdrPos = 0;
            }
            break;
        default:
            if (raw == ZHEX) {
                m_hdrFormat = ZHEX;
                m_hdrPos = 4;
                m_hdrTaken = 0;
                m_hdrExpected = 14;
                m_hdrCrc16 = 0;
            } else {
                m_hdrPos = 0;
            }
            break;
        }
        return hrNone;
    }

    if (m_hdrFormat == ZHEX) {
        // Flow-control bytes a modem slips in are not part of the header.
        if (IsFlowControl(raw))
            return hrNone;
        const int v = HexValue(raw);
        if (v < 0) {
            ResetHeader();
            return hrNone;
        }
        if ((m_hdrTaken & 1) == 0) {
            m_hexHigh = static_cast<std::uint8_t>(v);
        } else {
            const auto byte = static_cast<std::uint8_t>((m_hexHigh << 4) | v);
            m_hdrBytes[m_hdrTaken / 2] = byte;
            m_hdrCrc16 = Crc16Update(m_hdrCrc16, byte);
        }
        if (++m_hdrTaken < m_hdrExpected)
            return hrNone;
        const bool good = m_hdrCrc16 == 0;
        // The CR, LF and XON that close a hex header are the header's own.
        m_hexTrailer = 1;
        return good ? hrGood : hrBad;
    }

    // Binary, CRC-16 or CRC-32.
    if (ignorable)
        return hrNone;
    m_hdrBytes[m_hdrTaken++] = decoded;
    if (m_hdrFormat == ZBIN)
        m_hdrCrc16 = Crc16Update(m_hdrCrc16, decoded);
    else
        m_hdrCrc32 = Crc32Update(m_hdrCrc32, decoded);
    if (m_hdrTaken < m_hdrExpected)
        return hrNone;
    const bool good = m_hdrFormat == ZBIN ? m_hdrCrc16 == 0 : m_hdrCrc32 == kCrc32Residue;
    return good ? hrGood : hrBad;
}

bool ZFrameDecoder::CollectSubpacketByte(std::uint8_t raw, std::uint8_t decoded, bool ignorable,
                                         const Sink& sink, bool& keepGoing)
{
    // A ZEOF that follows the last subpacket may arrive while data is still
    // expected; it can only sit at the start of what looks like a new subpacket.
    if (m_count < 16 && !m_inCrcTail) {
        const HeaderResult r = ParseHeaderByte(raw, decoded, ignorable);
        if (r != hrNone) {
            const std::uint8_t format = m_hdrFormat;
            ZHeader header;
            header.type = m_hdrBytes[0];
            std::copy(m_hdrBytes.begin() + 1, m_hdrBytes.begin() + 5, header.p.begin());
            ResetHeader();
            // A sniffed header that fails its check was data after all.
            if (r == hrGood && header.type == ZEOF) {
                Event ev;
                ev.type = evHeader;
                ev.header = header;
                ev.headerFormat = format;
                ResetSubpacket();
                keepGoing = sink(ev);
                return true;
            }
            m_hexTrailer = 0;
        }
    } else if (m_hdrPos != 0 || m_hdrFormat != 0) {
        ResetHeader();
    }

    if (ignorable)
        return false;

    if (m_subCrc32)
        m_subCrc32Reg = Crc32Update(m_subCrc32Reg, decoded);
    else
        m_subCrc16 = Crc16Update(m_subCrc16, decoded);

    if (m_inCrcTail) {
        if (--m_crcLeft > 0)
            return false;
        const bool good = m_subCrc32 ? m_subCrc32Reg == kCrc32Residue : m_subCrc16 == 0;
        Event ev;
        ev.type = good ? evSubpacket : evBadSubpacket;
        ev.data = m_data.data();
        ev.size = m_count;
        ev.frameEnd = m_frameEnd;
        // The data stays readable during the sink call; the collector is
        // emptied before the sink runs so the sink may start a new one.
        ResetHeader();
        ResetSubpacket();
        keepGoing = sink(ev);
        return true;
    }

    if (m_prev == ZDLE && IsFrameEnd(raw)) {
        m_frameEnd = decoded;
        m_inCrcTail = true;
        m_crcLeft = m_subCrc32 ? 4 : 2;
        return false;
    }

    if (m_count >= m_data.size()) {
        Event ev;
        ev.type = evBadSubpacket;
        ev.tooLong = true;
        ev.size = m_count;
        ResetHeader();
        ResetSubpacket();
        keepGoing = sink(ev);
        return true;
    }
    m_data[m_count++] = decoded;
    return false;
}

std::size_t ZFrameDecoder::Feed(const std::uint8_t* data, std::size_t n, const Sink& sink)
{
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = data[i];
        bool keepGoing = true;

        if (m_mode == mdIdle) {
            if (m_rz.Match(b)) {
                m_leadIn.Reset();
                Event ev;
                ev.type = evRzCommand;
                keepGoing = sink(ev);
            } else if (m_leadIn.Match(b)) {
                Event ev;
                ev.type = evZrqinitLeadIn;
                keepGoing = sink(ev);
            }
            m_prev = b;
            if (!keepGoing)
                return i + 1;
            continue;
        }

        if (m_abort.Match(b)) {
            Event ev;
            ev.type = evRemoteAbort;
            keepGoing = sink(ev);
            m_prev = b;
            if (!keepGoing)
                return i + 1;
            continue;
        }

        const bool ignorable = IsIgnorable(b);
        std::uint8_t d = b;
        if (m_prev == ZDLE) {
            if (IsFrameEnd(b))
                d = b;
            else if (b == ZRUB0)
                d = 0x7F;
            else if (b == ZRUB1)
                d = 0xFF;
            else if ((b & 0x60) == 0x40)
                d = b ^ 0x40;
        }

        bool consumed = false;
        if (m_hexTrailer != 0) {
            if (m_hexTrailer == 1 && b == '\r') {
                m_hexTrailer = 2;
                consumed = true;
            } else if (m_hexTrailer == 2 && (b == '\n' || b == 0x8A)) {
                m_hexTrailer = 3;
                consumed = true;
            } else if (m_hexTrailer == 3 && b == XON) {
                m_hexTrailer = 0;
                consumed = true;
            } else {
                m_hexTrailer = 0;
            }
        }

        if (!consumed) {
            if (m_mode == mdSubpacket) {
                CollectSubpacketByte(b, d, ignorable, sink, keepGoing);
            } else {
                const HeaderResult r = ParseHeaderByte(b, d, ignorable);
                if (r != hrNone) {
                    Event ev;
                    ev.type = r == hrGood ? evHeader : evBadHeader;
                    ev.header.type = m_hdrBytes[0];
                    std::copy(m_hdrBytes.begin() + 1, m_hdrBytes.begin() + 5, ev.header.p.begin());
                    ev.headerFormat = m_hdrFormat;
                    // Each header is handled once.
                    ResetHeader();
                    keepGoing = sink(ev);
                }
            }
        }

        // Flow-control bytes do not break an escape pair.
        if (b == ZDLE || !ignorable)
            m_prev = b;
        if (!keepGoing)
            return i + 1;
    }
    return n;
}

} // namespace qv::zm
