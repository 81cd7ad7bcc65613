#include "transfer/ZmodemFrames.h"

#include <algorithm>
#include <cstring>

namespace qv::zm {

namespace {

// The CRC tables: [0] is the usual byte table; [k] gives a byte's effect on
// the register when k more bytes follow it, so that eight bytes are folded
// into the register with eight independent look-ups.
constexpr std::array<std::array<std::uint16_t, 256>, 8> MakeCrc16Tables()
{
    std::array<std::array<std::uint16_t, 256>, 8> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
        t[0][i] = static_cast<std::uint16_t>(crc & 0xFFFF);
    }
    for (int k = 1; k < 8; ++k)
        for (unsigned i = 0; i < 256; ++i)
            t[k][i] = static_cast<std::uint16_t>((t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 8]);
    return t;
}

constexpr std::array<std::array<std::uint32_t, 256>, 8> MakeCrc32Tables()
{
    std::array<std::array<std::uint32_t, 256>, 8> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? ((crc >> 1) ^ 0xEDB88320u) : (crc >> 1);
        t[0][i] = crc;
    }
    for (int k = 1; k < 8; ++k)
        for (std::uint32_t i = 0; i < 256; ++i)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

constexpr auto kCrc16Tables = MakeCrc16Tables();
constexpr auto kCrc32Tables = MakeCrc32Tables();
constexpr const auto& kCrc16Table = kCrc16Tables[0];
constexpr const auto& kCrc32Table = kCrc32Tables[0];

constexpr std::array<bool, 256> MakeEscapeTable()
{
    std::array<bool, 256> table{};
    table[0x11] = table[0x13] = table[0x18] = table[0x91] = table[0x93] = true;
    return table;
}

constexpr auto kEscape = MakeEscapeTable();

// A ZEOF header is looked for among the first bytes of a subpacket.
constexpr std::size_t kZeofSniffBytes = 16;

// What the byte after a ZDLE stands for, and whether a run may take the pair
// as it is: a second ZDLE, a flow-control byte (which leaves the escape
// pending) and a frame end need the careful way.
struct Unescape
{
    std::array<std::uint8_t, 256> value{};
    std::array<bool, 256> stopsRun{};
};

constexpr Unescape MakeUnescape()
{
    Unescape u{};
    for (unsigned b = 0; b < 256; ++b) {
        std::uint8_t d = static_cast<std::uint8_t>(b);
        if (b == ZRUB0)
            d = 0x7F;
        else if (b == ZRUB1)
            d = 0xFF;
        else if ((b & 0x60) == 0x40)
            d = static_cast<std::uint8_t>(b ^ 0x40);
        u.value[b] = d;
        u.stopsRun[b] = kEscape[b] || (b >= ZCRCE && b <= ZCRCW);
    }
    return u;
}

constexpr Unescape kUnescape = MakeUnescape();

// Eight bytes at a time: whether any of them is ZDLE or a flow-control byte.
// (b AND 0x7D) = 0x11 holds exactly for 0x11, 0x13, 0x91 and 0x93. A word
// has a zero byte exactly when (w - 0x01..) AND NOT w AND 0x80.. is non-zero.
constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighs = 0x8080808080808080ull;

constexpr std::uint64_t ZeroBytes(std::uint64_t w)
{
    return (w - kOnes) & ~w & kHighs;
}

inline bool HasEscapable(std::uint64_t w)
{
    return (ZeroBytes(w ^ (kOnes * ZDLE)) | ZeroBytes((w & (kOnes * 0x7D)) ^ (kOnes * 0x11))) != 0;
}

inline std::uint64_t Load64(const std::uint8_t* p)
{
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// Copies plain bytes from `p` to `out` up to the first byte that must be
// escaped or `end`; returns where it stopped and advances `out`.
inline const std::uint8_t* CopyPlain(const std::uint8_t* p, const std::uint8_t* end, std::uint8_t*& out)
{
    std::uint8_t* o = out;
    while (end - p >= 8) {
        const std::uint64_t w = Load64(p);
        if (HasEscapable(w))
            break;
        std::memcpy(o, &w, sizeof w);
        p += 8;
        o += 8;
    }
    while (p < end && !kEscape[*p])
        *o++ = *p++;
    out = o;
    return p;
}

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

// The frame ends after which more subpackets of the same frame follow. Only
// these can run into the next subpacket: after ZCRCE a header comes, and
// after ZCRCW the sender waits for our ZACK.
bool ContinuesFrame(std::uint8_t b)
{
    return b == ZCRCG || b == ZCRCQ;
}

// Whether the frame end at `end` is followed by the CRC-16 of the subpacket
// it would close; `crc` is that of the bytes before it. Two bytes follow it.
bool FollowedByItsCrc(const std::uint8_t* end, std::uint16_t crc)
{
    crc = Crc16Update(crc, end[0]);
    return crc == ((end[1] << 8) | end[2]);
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
    const auto& t = kCrc16Tables;
    // The register folds into the first two bytes of each eight; the others
    // each add what they contribute with the bytes after them.
    while (n >= 8) {
        crc = static_cast<std::uint16_t>(t[7][(crc >> 8) ^ data[0]] ^ t[6][(crc & 0xFF) ^ data[1]] ^
                                         t[5][data[2]] ^ t[4][data[3]] ^ t[3][data[4]] ^ t[2][data[5]] ^
                                         t[1][data[6]] ^ t[0][data[7]]);
        data += 8;
        n -= 8;
    }
    while (n-- > 0)
        crc = Crc16Update(crc, *data++);
    return crc;
}

std::uint32_t Crc32Update(std::uint32_t crc, std::uint8_t byte)
{
    return kCrc32Table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

std::uint32_t Crc32(const std::uint8_t* data, std::size_t n, std::uint32_t crc)
{
    const auto& t = kCrc32Tables;
    while (n >= 8) {
        const std::uint32_t low = crc ^ (std::uint32_t(data[0]) | (std::uint32_t(data[1]) << 8) |
                                         (std::uint32_t(data[2]) << 16) | (std::uint32_t(data[3]) << 24));
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
              t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
        data += 8;
        n -= 8;
    }
    while (n-- > 0)
        crc = Crc32Update(crc, *data++);
    return crc;
}

bool NeedsEscape(std::uint8_t byte)
{
    return kEscape[byte];
}

QByteArray EncodeBinaryHeader(const ZHeader& header, bool crc32)
{
    QByteArray out;
    out.reserve(3 + 18);
    out.append(static_cast<char>(ZPAD));
    out.append(static_cast<char>(ZDLE));
    out.append(static_cast<char>(crc32 ? ZBIN32 : ZBIN));
    const std::array<std::uint8_t, 5> bytes{header.type, header.p[0], header.p[1], header.p[2], header.p[3]};
    for (std::uint8_t b : bytes)
        AppendEscaped(out, b);
    if (crc32) {
        const std::uint32_t crc = ~Crc32(bytes.data(), bytes.size(), 0xFFFFFFFFu);
        for (int i = 0; i < 4; ++i)
            AppendEscaped(out, static_cast<std::uint8_t>(crc >> (8 * i)));
        return out;
    }
    const std::uint16_t crc = Crc16(bytes.data(), bytes.size());
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

std::size_t EncodeSubpacket(const std::uint8_t* data, std::size_t n, std::uint8_t frameEnd, std::uint8_t* out,
                            bool crc32)
{
    std::uint8_t* o = out;
    const std::uint8_t* p = data;
    const std::uint8_t* const end = data + n;
    while (p < end) {
        p = CopyPlain(p, end, o);
        if (p < end) {
            *o++ = ZDLE;
            *o++ = static_cast<std::uint8_t>(*p++ ^ 0x40);
        }
    }
    *o++ = ZDLE;
    *o++ = frameEnd;
    std::array<std::uint8_t, 4> check{};
    std::size_t checkLength = 2;
    if (crc32) {
        const std::uint32_t crc = ~Crc32Update(Crc32(data, n, 0xFFFFFFFFu), frameEnd);
        check = {static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8),
                 static_cast<std::uint8_t>(crc >> 16), static_cast<std::uint8_t>(crc >> 24)};
        checkLength = 4;
    } else {
        const std::uint16_t crc = Crc16Update(Crc16(data, n, 0), frameEnd);
        check = {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc & 0xFF), 0, 0};
    }
    for (std::size_t i = 0; i < checkLength; ++i) {
        const std::uint8_t b = check[i];
        if (kEscape[b]) {
            *o++ = ZDLE;
            *o++ = static_cast<std::uint8_t>(b ^ 0x40);
        } else {
            *o++ = b;
        }
    }
    return static_cast<std::size_t>(o - out);
}

std::size_t SubpacketLength(const std::uint8_t* data, std::size_t n)
{
    const std::size_t want = std::min(n, kMaxSendSubpacket);
    const void* tilde = std::memchr(data, '~', want);
    const std::size_t end =
        tilde ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(tilde) - data) + 1 : want;
    // A "++" that begins before the "~" ends the subpacket first.
    std::size_t i = 0;
    while (i + 1 < end) {
        const void* plus = std::memchr(data + i, '+', end - 1 - i);
        if (!plus)
            break;
        const std::size_t at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(plus) - data);
        if (data[at + 1] == '+')
            return at + 2;
        // The byte after this "+" is not one, so no pair begins there either.
        i = at + 2;
    }
    return end;
}

SequenceMatcher::SequenceMatcher(const QByteArray& sequence)
    : m_length(static_cast<int>(std::min<qsizetype>(sequence.size(), 16)))
{
    for (int i = 0; i < m_length; ++i)
        m_sequence[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(sequence[i]);
}

ZFrameDecoder::ZFrameDecoder()
    : m_rz(QByteArray("rz\r")), m_leadIn(QByteArray("**\x18"
                                                    "B0000000000"))
{}

void ZFrameDecoder::SetMode(Mode mode)
{
    if (mode == mdSubpacket && m_mode != mdSubpacket) {
        ResetSubpacket();
        m_longestInFrame = 0;
    }
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
    m_cans = 0;
    m_hexTrailer = 0;
    m_subCrc32 = false;
    m_longestInFrame = 0;
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
    if (m_count < kZeofSniffBytes && !m_inCrcTail) {
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
        if (good) {
            if (!m_subCrc32)
                ev.joinedAt = FindJoin();
            m_longestInFrame = std::max(m_longestInFrame, m_count);
        }
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

std::size_t ZFrameDecoder::FindJoin() const
{
    // A lost byte leaves no trace, so where two subpackets could have run
    // together is found from how senders cut their data, not by a second
    // look at every byte. A join has at least one byte before it, or nothing
    // would be kept and the same bytes, asked for again, could be refused
    // the same way.
    const std::uint8_t* d = m_data.data();
    const std::size_t n = m_count;
    if (n < 4)
        return kNotJoined;

    // When a frame's subpackets keep one size or grow, the first of two run
    // together ends where the longest before it did: a subpacket longer than
    // any before it in the frame (the first one too) is searched at every
    // continuing frame end.
    if (n > m_longestInFrame) {
        std::uint16_t crc = 0;
        std::size_t done = 0;
        for (std::size_t k = 1; k + 2 < n; ++k) {
            if (!ContinuesFrame(d[k]))
                continue;
            crc = Crc16(d + done, k - done, crc);
            done = k;
            if (FollowedByItsCrc(d + k, crc))
                return k;
        }
        return kNotJoined;
    }

    // Our own sender ends a subpacket after a "~" or a "++", at the longest
    // length or at the end of the file, and so does the second of two of its
    // subpackets run together (two with the second of the longest length
    // are longer than any before them); the first one ended where
    // SubpacketLength says.
    const bool endsAsOurs =
        d[n - 1] == '~' || (d[n - 2] == '+' && d[n - 1] == '+') || !ContinuesFrame(m_frameEnd);
    if (!endsAsOurs)
        return kNotJoined;
    const std::size_t cut = SubpacketLength(d, n);
    if (cut + 2 < n && ContinuesFrame(d[cut]) && FollowedByItsCrc(d + cut, Crc16(d, cut)))
        return cut;
    return kNotJoined;
}

std::size_t ZFrameDecoder::CollectRun(const std::uint8_t* data, std::size_t n)
{
    // Every byte taken here is one the general way would store with no
    // event and no other change: a plain byte, or ZDLE with an escaped data
    // byte (which resets the CAN count it started). While a ZEOF header may
    // still begin, a "*" goes the general way too.
    const std::uint8_t* p = data;
    const std::uint8_t* const end = data + n;
    std::uint8_t* const base = m_data.data();
    std::uint8_t* o = base + m_count;
    std::uint8_t* const full = base + m_data.size();
    std::uint8_t* const from = o;
    std::uint8_t prev = m_prev;
    while (p < end && o < full) {
        const std::uint8_t b = *p;
        if (!kEscape[b]) {
            if (static_cast<std::size_t>(o - base) < kZeofSniffBytes) {
                if (b == ZPAD)
                    break;
                *o++ = b;
                ++p;
            } else {
                const std::uint8_t* stop = p + std::min(end - p, full - o);
                p = CopyPlain(p, stop, o);
            }
            prev = p[-1];
            continue;
        }
        if (b != ZDLE || end - p < 2)
            break;
        const std::uint8_t x = p[1];
        if (kUnescape.stopsRun[x] || (x == ZPAD && static_cast<std::size_t>(o - base) < kZeofSniffBytes))
            break;
        *o++ = kUnescape.value[x];
        prev = x;
        p += 2;
    }
    const std::size_t taken = static_cast<std::size_t>(o - from);
    if (taken > 0) {
        if (m_subCrc32)
            m_subCrc32Reg = Crc32(from, taken, m_subCrc32Reg);
        else
            m_subCrc16 = Crc16(from, taken, m_subCrc16);
        m_count += taken;
        m_prev = prev;
    }
    return static_cast<std::size_t>(p - data);
}

std::size_t ZFrameDecoder::Feed(const std::uint8_t* data, std::size_t n, const Sink& sink)
{
    std::size_t i = 0;
    while (i < n) {
        if (RunMayStart()) {
            i += CollectRun(data + i, n - i);
            if (i == n)
                break;
        }
        const bool keepGoing = FeedByte(data[i], sink);
        ++i;
        if (!keepGoing)
            return i;
    }
    return n;
}

bool ZFrameDecoder::FeedByte(std::uint8_t b, const Sink& sink)
{
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
        return keepGoing;
    }

    if (b != ZDLE) {
        m_cans = 0;
    } else if (++m_cans == 5) {
        m_cans = 0;
        Event ev;
        ev.type = evRemoteAbort;
        keepGoing = sink(ev);
        m_prev = b;
        return keepGoing;
    }

    const bool ignorable = IsIgnorable(b);
    std::uint8_t d = b;
    if (m_prev == ZDLE && !IsFrameEnd(b))
        d = kUnescape.value[b];

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
    return keepGoing;
}

} // namespace qv::zm
