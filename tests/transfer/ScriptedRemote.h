// The far end of a QvFile's line played frame by frame by a test: it sends
// headers and subpackets it builds itself and decodes what the component
// puts on the line.
#pragma once

#include "TransferTestSupport.h"
#include "transfer/ZmodemFileInfo.h"
#include "transfer/ZmodemFrames.h"

#include <QByteArray>

#include <sys/socket.h>

#include <string>
#include <vector>

namespace qv::test {

struct Frame
{
    bool isHeader = true;
    zm::ZHeader header;
    std::uint8_t format = 0;
    QByteArray data; // subpacket
    std::uint8_t frameEnd = 0;
    bool bad = false;
};

class ScriptedRemote
{
public:
    explicit ScriptedRemote(int fd) : m_fd(fd)
    {
        SetNonBlocking(fd);
        m_decoder.SetMode(zm::ZFrameDecoder::mdHeader);
    }

    void Send(const QByteArray& bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.constData() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n > 0)
                done += n;
            else
                Settle(1);
        }
        Settle();
    }
    void SendHex(std::uint8_t type, std::uint32_t pos = 0)
    {
        Send(zm::EncodeHexHeader(zm::ZHeader::WithPosition(type, pos)));
    }
    void SendBin(std::uint8_t type, std::uint32_t pos = 0)
    {
        Send(zm::EncodeBinaryHeader(zm::ZHeader::WithPosition(type, pos)));
    }
    static QByteArray Sub(const QByteArray& data, std::uint8_t frameEnd, bool crc32 = false)
    {
        std::vector<std::uint8_t> out(zm::EncodedSubpacketCapacity(data.size()));
        const std::size_t n = zm::EncodeSubpacket(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                                  data.size(), frameEnd, out.data(), crc32);
        return QByteArray(reinterpret_cast<const char*>(out.data()), static_cast<qsizetype>(n));
    }
    // A binary header and a subpacket with CRC-32, as a sender that takes up
    // the CRC-32 a receiver offers sends them.
    static QByteArray Bin32(std::uint8_t type, std::uint32_t pos = 0)
    {
        return zm::EncodeBinaryHeader(zm::ZHeader::WithPosition(type, pos), true);
    }
    static QByteArray Sub32(const QByteArray& data, std::uint8_t frameEnd)
    {
        return Sub(data, frameEnd, true);
    }
    // ZFILE header and its announcement.
    void Announce(const QByteArray& name, std::int64_t size, std::int64_t date = 0, int files = 1,
                  std::int64_t bytes = 0)
    {
        Send(zm::EncodeBinaryHeader(zm::ZHeader::WithPosition(zm::ZFILE, 0)) +
             Sub(zm::BuildFileAnnouncement(name, size, date, files, bytes ? bytes : size), zm::ZCRCW));
    }
    void AnnounceRaw(const QByteArray& announcement, std::uint32_t options = 0)
    {
        Send(zm::EncodeBinaryHeader(zm::ZHeader::WithPosition(zm::ZFILE, options)) +
             Sub(announcement, zm::ZCRCW));
    }
    void Data(std::uint32_t pos, const QByteArray& bytes, std::uint8_t frameEnd = zm::ZCRCE)
    {
        Send(zm::EncodeBinaryHeader(zm::ZHeader::WithPosition(zm::ZDATA, pos)) + Sub(bytes, frameEnd));
    }
    // The CRC-32 a sender gives for a ZCRC request.
    static std::uint32_t Crc32Of(const QByteArray& bytes)
    {
        std::uint32_t crc = 0xFFFFFFFFu;
        for (const char c : bytes)
            crc = zm::Crc32Update(crc, static_cast<std::uint8_t>(c));
        return ~crc;
    }
    // Starts a receive at the component: "rz\r" and ZRQINIT.
    void Start()
    {
        Send("rz\r");
        SendHex(zm::ZRQINIT);
    }

    // What is on the line is no longer trusted to be data: hunt for a header,
    // as a receiver does after asking for a repeat or a skip.
    void ExpectHeader()
    {
        Take();
        m_decoder.ResetSubpacket();
        m_decoder.ResetHeader();
        m_decoder.SetMode(zm::ZFrameDecoder::mdHeader);
    }

    // Lets the component run: posted messages and the port's notifications.
    static void Settle(int turns = 30)
    {
        for (int i = 0; i < turns; ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents);
    }

    // Everything the component has written since the last call, decoded.
    std::vector<Frame> Take()
    {
        Settle();
        m_raw.clear();
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0)
                break;
            m_raw.append(buffer, static_cast<int>(n));
            m_all.append(buffer, static_cast<int>(n));
            m_decoder.Feed(reinterpret_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(n),
                           [this](const zm::ZFrameDecoder::Event& ev) { return OnEvent(ev); });
        }
        std::vector<Frame> out;
        out.swap(m_frames);
        return out;
    }
    // The bytes behind what Take returns.
    QByteArray TakeRaw()
    {
        Take();
        return m_raw;
    }
    const QByteArray& AllBytes() const { return m_all; }

    // The types of the headers in `frames`, subpackets as "sub".
    static std::string Describe(const std::vector<Frame>& frames)
    {
        std::string out;
        for (const Frame& f : frames) {
            if (!out.empty())
                out += ' ';
            if (f.isHeader)
                out += std::to_string(f.header.type) + "@" + std::to_string(f.header.Position());
            else
                out += std::string("sub") + char(f.frameEnd) + std::to_string(f.data.size());
            if (f.bad)
                out += "!";
        }
        return out;
    }

private:
    bool OnEvent(const zm::ZFrameDecoder::Event& ev)
    {
        using D = zm::ZFrameDecoder;
        Frame f;
        if (ev.type == D::evHeader || ev.type == D::evBadHeader) {
            f.header = ev.header;
            f.format = ev.headerFormat;
            f.bad = ev.type == D::evBadHeader;
            const auto t = ev.header.type;
            if (!f.bad && (t == zm::ZDATA || t == zm::ZFILE)) {
                m_decoder.SetMode(D::mdSubpacket);
                m_decoder.SetSubpacketCrc32(ev.headerFormat == zm::ZBIN32);
            }
        } else if (ev.type == D::evSubpacket || ev.type == D::evBadSubpacket) {
            f.isHeader = false;
            f.data = QByteArray(reinterpret_cast<const char*>(ev.data), static_cast<qsizetype>(ev.size));
            f.frameEnd = ev.frameEnd;
            f.bad = ev.type == D::evBadSubpacket;
            if (f.bad || ev.frameEnd == zm::ZCRCE || ev.frameEnd == zm::ZCRCW)
                m_decoder.SetMode(D::mdHeader);
        } else {
            return true;
        }
        m_frames.push_back(f);
        return true;
    }

    int m_fd;
    zm::ZFrameDecoder m_decoder;
    std::vector<Frame> m_frames;
    QByteArray m_raw;
    QByteArray m_all;
};

} // namespace qv::test
