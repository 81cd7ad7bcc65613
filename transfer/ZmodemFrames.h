// The ZMODEM frame layer: constants, the two CRCs, the encoders for headers
// and data subpackets, and ZFrameDecoder, the push-driven decoder that turns
// the received byte stream into protocol events.
//
// Nothing here touches a port or a timer: QvFile feeds what the port delivers
// and writes what the encoders produce, so every rule of the framing can be
// tested on byte arrays.
#pragma once

#include <QByteArray>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace qv::zm {

constexpr std::uint8_t ZPAD = '*';
constexpr std::uint8_t ZDLE = 0x18;
constexpr std::uint8_t ZBIN = 'A';
constexpr std::uint8_t ZHEX = 'B';
constexpr std::uint8_t ZBIN32 = 'C';
constexpr std::uint8_t ZCRCE = 'h';
constexpr std::uint8_t ZCRCG = 'i';
constexpr std::uint8_t ZCRCQ = 'j';
constexpr std::uint8_t ZCRCW = 'k';
constexpr std::uint8_t ZRUB0 = 'l';
constexpr std::uint8_t ZRUB1 = 'm';
constexpr std::uint8_t XON = 0x11;
constexpr std::uint8_t XOFF = 0x13;

// Frame types: the first byte of every header.
enum FrameType : std::uint8_t
{
    ZRQINIT = 0,
    ZRINIT = 1,
    ZSINIT = 2,
    ZACK = 3,
    ZFILE = 4,
    ZSKIP = 5,
    ZNAK = 6,
    ZABORT = 7,
    ZFIN = 8,
    ZRPOS = 9,
    ZDATA = 10,
    ZEOF = 11,
    ZFERR = 12,
    ZCRC = 13,
    ZCHALLENGE = 14,
};

// ZRINIT capability flags (ZF0).
constexpr std::uint8_t CANFDX = 0x01;
constexpr std::uint8_t CANOVIO = 0x02;
constexpr std::uint8_t CANBRK = 0x04;
constexpr std::uint8_t CANLZW = 0x10;
constexpr std::uint8_t CANFC32 = 0x20;
// In a ZFILE header the transport option (ZF2) travels in P1; 0 is plain data.
constexpr int kZFileTransportByte = 1;

// The largest data subpacket accepted: the transfer work area. A longer one is
// refused as a bad packet instead of being stored.
constexpr std::size_t kWorkAreaSize = 9100;
// The largest subpacket the sender builds.
constexpr std::size_t kMaxSendSubpacket = 1024;
// Worst case encoded size of a subpacket of n data bytes (with CRC-32).
constexpr std::size_t EncodedSubpacketCapacity(std::size_t n)
{
    return 2 * n + 10;
}

struct ZHeader
{
    std::uint8_t type = 0;
    std::array<std::uint8_t, 4> p{}; // P0..P3; P0 is the least significant byte of a position

    static ZHeader WithPosition(std::uint8_t type, std::uint32_t position);
    static ZHeader WithFlags(std::uint8_t type, std::uint8_t zf0, std::uint8_t zf1 = 0);
    std::uint32_t Position() const;
    std::uint8_t ZF0() const { return p[3]; }
    std::uint8_t ZF1() const { return p[2]; }
};

// CRC-16/XMODEM (polynomial 0x1021, MSB first, initial 0). Crc16 gives the
// same register as Crc16Update byte by byte, eight bytes per step.
std::uint16_t Crc16Update(std::uint16_t crc, std::uint8_t byte);
std::uint16_t Crc16(const std::uint8_t* data, std::size_t n, std::uint16_t crc = 0);
// CRC-32 of IEEE 802.3 (reflected 0xEDB88320); the register starts at
// 0xFFFFFFFF and a frame followed by its CRC leaves kCrc32Residue. Crc32
// gives the same register as Crc32Update byte by byte (no complement on
// either side), eight bytes per step.
std::uint32_t Crc32Update(std::uint32_t crc, std::uint8_t byte);
std::uint32_t Crc32(const std::uint8_t* data, std::size_t n, std::uint32_t crc);
constexpr std::uint32_t kCrc32Residue = 0xDEBB20E3;

// Whether a byte travels as ZDLE + (byte XOR 0x40).
bool NeedsEscape(std::uint8_t byte);

// "*", ZDLE, "A", the five header bytes and the CRC-16, escaped; with
// `crc32`, "C" and the CRC-32 (low byte first) instead.
QByteArray EncodeBinaryHeader(const ZHeader& header, bool crc32 = false);
// "**", ZDLE, "B", fourteen lower-case hex digits, CR, 0x8A and, except for
// ZFIN and ZACK, XON.
QByteArray EncodeHexHeader(const ZHeader& header);
// Encodes n data bytes, ZDLE + frameEnd and the escaped CRC-16 (with
// `crc32`, the CRC-32, as a frame opened by a CRC-32 header carries) into
// `out`, which must hold EncodedSubpacketCapacity(n) bytes. Returns the
// length.
std::size_t EncodeSubpacket(const std::uint8_t* data, std::size_t n, std::uint8_t frameEnd, std::uint8_t* out,
                            bool crc32 = false);
// How many of the n bytes at `data` the next data subpacket carries: at most
// kMaxSendSubpacket, ending early right after a "~" and right after the
// second "+" of a pair within the subpacket, so that no subpacket carries
// "+++" (a modem's escape) or a "~" anywhere but at its end.
std::size_t SubpacketLength(const std::uint8_t* data, std::size_t n);

// Incremental matcher of a fixed byte sequence of at most 16 bytes (a longer
// one is cut there). A mismatch returns to the start without testing the
// mismatching byte against the first byte.
class SequenceMatcher
{
public:
    explicit SequenceMatcher(const QByteArray& sequence);
    // True when `byte` completes the sequence.
    bool Match(std::uint8_t byte)
    {
        if (m_matched < m_length && m_sequence[m_matched] == byte) {
            if (++m_matched < m_length)
                return false;
            m_matched = 0;
            return true;
        }
        m_matched = 0;
        return false;
    }
    void Reset() { m_matched = 0; }

private:
    std::array<std::uint8_t, 16> m_sequence{};
    int m_length = 0;
    int m_matched = 0;
};

// The received-byte pipeline. The owner tells it what the protocol expects
// (SetMode) and feeds bytes; each byte yields at most one event, handed to
// the sink at once. The sink may change the mode or reset parts of the
// decoder before the next byte, and returns false to drop the rest of the
// chunk. All state lives in the object, so a stream may be cut anywhere.
class ZFrameDecoder
{
public:
    enum Mode
    {
        mdIdle,      // watch for "rz\r" and the hex ZRQINIT lead-in only
        mdHeader,    // recognise headers; the remote-abort sequence is watched
        mdSubpacket, // collect a data subpacket; a ZEOF header is sniffed at its start
    };

    enum EventType
    {
        evRzCommand,     // "rz\r" seen in idle mode
        evZrqinitLeadIn, // "**", ZDLE, "B0000000000" seen in idle mode
        evRemoteAbort,   // five ZDLE (CAN) bytes in a row
        evHeader,        // a header with a good CRC
        evBadHeader,     // a header whose CRC failed
        evSubpacket,     // a data subpacket with a good CRC
        evBadSubpacket,  // a subpacket whose CRC failed, or one longer than the work area
    };

    static constexpr std::size_t kNotJoined = static_cast<std::size_t>(-1);

    struct Event
    {
        EventType type = evHeader;
        ZHeader header;                     // evHeader
        std::uint8_t headerFormat = 0;      // evHeader: ZBIN, ZHEX or ZBIN32
        const std::uint8_t* data = nullptr; // evSubpacket: valid until the next byte is fed
        std::size_t size = 0;
        std::uint8_t frameEnd = 0; // evSubpacket: ZCRCE, ZCRCG, ZCRCQ or ZCRCW
        bool tooLong = false;      // evBadSubpacket: refused for its length
        // evSubpacket with CRC-16: where two subpackets may have run together
        // because the ZDLE before the first one's end was lost on the line (a
        // block followed by its own CRC leaves zero, so the two pass the check
        // as one): a ZCRCG or ZCRCQ frame end followed by the CRC of all
        // before it, looked for where a sender would have ended the first one.
        // Only the bytes before it are sure. kNotJoined when none was found.
        std::size_t joinedAt = kNotJoined;
    };

    // Returns false to drop the rest of the chunk.
    using Sink = std::function<bool(const Event&)>;

    ZFrameDecoder();

    Mode GetMode() const { return m_mode; }
    // Entering mdSubpacket resets the collector and begins a frame.
    void SetMode(Mode mode);
    // Data subpackets are checked with CRC-32 when the header that opened the
    // frame was a ZBIN32 header; set from the ZDATA/ZFILE header's format.
    void SetSubpacketCrc32(bool crc32) { m_subCrc32 = crc32; }

    // Feeds a chunk; returns how many bytes were consumed (all, unless the
    // sink asked to drop the rest).
    std::size_t Feed(const std::uint8_t* data, std::size_t n, const Sink& sink);

    // Back to "no header seen"; the collector and the stream bookkeeping stay.
    void ResetHeader();
    // Empties the collector.
    void ResetSubpacket();
    // Everything back to the state after construction, mode included.
    void Reset();

    // The collected bytes of the subpacket in progress (tests).
    std::size_t CollectedBytes() const { return m_count; }

private:
    enum HeaderResult
    {
        hrNone,
        hrGood,
        hrBad
    };
    // One byte the general way; false when the sink asked to drop the rest.
    bool FeedByte(std::uint8_t b, const Sink& sink);
    // Whether the collector may take a run of bytes without looking at each
    // one for headers, escapes pending or the remote-abort sequence.
    bool RunMayStart() const
    {
        return m_mode == mdSubpacket && !m_inCrcTail && m_hexTrailer == 0 && m_cans == 0 && m_prev != ZDLE &&
               m_hdrPos == 0 && m_hdrFormat == 0;
    }
    // Stores the plain bytes and complete escape pairs at the start of
    // `data`, up to the first byte that needs FeedByte; returns how many.
    std::size_t CollectRun(const std::uint8_t* data, std::size_t n);
    HeaderResult ParseHeaderByte(std::uint8_t raw, std::uint8_t decoded, bool ignorable);
    bool CollectSubpacketByte(std::uint8_t raw, std::uint8_t decoded, bool ignorable, const Sink& sink,
                              bool& keepGoing);
    // Event::joinedAt for the good CRC-16 subpacket in the collector.
    std::size_t FindJoin() const;

    Mode m_mode = mdIdle;
    std::uint8_t m_prev = 0; // previous raw byte (flow-control bytes leave it alone)
    SequenceMatcher m_rz;
    SequenceMatcher m_leadIn;
    int m_cans = 0; // ZDLE (CAN) bytes in a row, towards the remote abort

    // Header recogniser.
    int m_hdrPos = 0;
    std::uint8_t m_hdrFormat = 0;
    int m_hdrTaken = 0; // decoded bytes stored (binary) or digits taken (hex)
    int m_hdrExpected = 0;
    std::uint8_t m_hexHigh = 0;
    std::array<std::uint8_t, 10> m_hdrBytes{};
    std::uint16_t m_hdrCrc16 = 0;
    std::uint32_t m_hdrCrc32 = 0;
    // After a hex header its CR, LF (or 0x8A) and XON belong to it: position
    // in that trailer, 0 when none is expected.
    int m_hexTrailer = 0;

    // Subpacket collector.
    std::array<std::uint8_t, kWorkAreaSize> m_data{};
    std::size_t m_count = 0;
    bool m_inCrcTail = false;
    int m_crcLeft = 0;
    std::uint8_t m_frameEnd = 0;
    bool m_subCrc32 = false;
    std::uint16_t m_subCrc16 = 0;
    std::uint32_t m_subCrc32Reg = 0;
    // The longest subpacket taken since the frame began.
    std::size_t m_longestInFrame = 0;
};

} // namespace qv::zm
