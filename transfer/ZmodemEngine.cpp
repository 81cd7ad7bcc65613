// The engine: received bytes in, one dispatch on protocol state and frame,
// time-outs and retries, and the two ways an operation ends.
#include "transfer/ZmodemSession.h"

#include "common/ErrorCodes.h"

#include <unistd.h>

#include <algorithm>

namespace qv {

using namespace zm;

namespace {

// Posted to QvFile's window besides MSG_SEND_DATA.
constexpr std::uint32_t kMsgPortClosed = WM_USER + 501;     // WParam: the operation
constexpr std::uint32_t kMsgRemoteReceiver = WM_USER + 502; // the far side's receiver waits
constexpr std::uint32_t kMsgCrcStep = WM_USER + 503;        // WParam: the scan

bool IsSenderState(TProtocolState s)
{
    return s == zsWaitRinit || s == zsWaitRpos || s == zsSending || s == zsWaitEofAck || s == zsWaitAck;
}

} // namespace

const QByteArray& ZmodemSession::CancelSequence()
{
    static const QByteArray cancel = QByteArray(8, '\x18') + QByteArray(8, '\x08');
    return cancel;
}

bool ZmodemSession::HandlesMessage(std::uint32_t msg)
{
    return msg == kMsgPortClosed || msg == kMsgRemoteReceiver || msg == kMsgCrcStep;
}

void ZmodemSession::OnMessage(std::uint32_t msg, WPARAM wparam)
{
    if (Destroying())
        return;
    switch (msg) {
    case kMsgPortClosed:
        // No error followed the closing: the port was closed under the
        // transfer, which cannot go on without it.
        if (wparam == m_operation && (m_owner.m_mode == omSending || m_owner.m_mode == omReceiving))
            StopWithError(508);
        break;
    case kMsgRemoteReceiver:
        m_owner.FireRemoteReceiverReady();
        break;
    case kMsgCrcStep:
        CrcScanStep(wparam);
        break;
    default:
        break;
    }
}

bool ZmodemSession::Alive() const
{
    auto token = m_alive.lock();
    return token && *token;
}

ZmodemSession::ZmodemSession(QvFile& owner) : m_owner(owner), m_alive(owner.m_alive)
{
    m_decoder.Reset();
    m_readBuf.resize(64 * 1024);
}

ZmodemSession::~ZmodemSession() = default;

QvSerialPort* ZmodemSession::Port() const
{
    return m_owner.m_port.Get();
}

void ZmodemSession::EnterState(TProtocolState state)
{
    m_state = state;
    switch (state) {
    case zsIdle:
        m_decoder.SetMode(ZFrameDecoder::mdIdle);
        break;
    case zsGetFileInfo:
    case zsGetData:
    case zsGetAttn:
        m_decoder.SetMode(ZFrameDecoder::mdSubpacket);
        break;
    default:
        m_decoder.SetMode(ZFrameDecoder::mdHeader);
        break;
    }
}

// ---- Received data

void ZmodemSession::PortDataReceived(TComponent* sender, char* data, int size, WindowHandle& display)
{
    display = 0;
    if (Destroying())
        return;
    // Idle text never arms a time-out, and the data loop runs without one.
    // Nor does other traffic move the end of the wait after an "rz" or for
    // the sender's CRC: only what is waited for ends those.
    if (m_state != zsWaitData && m_state != zsIdle && m_state != zsSending && m_state != zsRzSeen &&
        m_state != zsWaitCrc)
        RestartTimeout();

    char* chunk = data;
    int length = size;
    if (m_expectOO) {
        m_expectOO = false;
        if (length >= 2 && chunk[0] == 'O' && chunk[1] == 'O') {
            if (length == 2)
                return;
            chunk += 2;
            length -= 2;
        }
    }

    m_doNotForward = false;
    m_discard = false;
    // A transfer that began meanwhile parses what is left of the trailer.
    if (m_state != zsIdle)
        m_dropHexTrailer = false;
    // What of this chunk is the terminal's: idle text, text before an "rz",
    // and text held after one that led to no transfer.
    QByteArray text;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(chunk);
    std::size_t at = 0;
    const std::size_t n = static_cast<std::size_t>(length);
    while (at < n) {
        if (m_dropHexTrailer && m_state == zsIdle) {
            // The CR, LF (or 0x8A) and XON that close the far side's hex
            // ZRINIT are not text either.
            m_dropHexTrailer = false;
            for (const std::uint8_t end : {std::uint8_t('\r'), std::uint8_t(0x8A), XON}) {
                if (at < n && (bytes[at] == end || (end == 0x8A && bytes[at] == '\n')))
                    ++at;
            }
            continue;
        }
        const TProtocolState before = m_state;
        bool dropRest = false;
        const std::size_t used = m_decoder.Feed(bytes + at, n - at, [&](const ZFrameDecoder::Event& ev) {
            if (!OnDecoderEvent(ev) || !Alive() || m_discard) {
                dropRest = true;
                return false;
            }
            // The chunk is cut where the wait after an "rz" begins or
            // ends, so that what is text and what is protocol part there.
            return (m_state == zsRzSeen) == (before == zsRzSeen);
        });
        if (!Alive())
            return;
        const char* piece = chunk + at;
        at += used;
        if (before == zsIdle) {
            if (m_state == zsRzSeen) {
                // The piece ends with the command; what came before it is text.
                const std::size_t command = used >= 3 ? used - 3 : 0;
                if (!m_doNotForward)
                    text.append(piece, static_cast<qsizetype>(command));
                m_held.append(piece + command, static_cast<qsizetype>(used - command));
            } else if (m_state == zsIdle && !m_doNotForward) {
                text.append(piece, static_cast<qsizetype>(used));
            }
        } else if (before == zsRzSeen) {
            m_held.append(piece, static_cast<qsizetype>(used));
            if (m_state == zsRzSeen && m_held.size() > kMaxHeldBytes) {
                // Far more than a transfer's start: this is text.
                EnterState(zsIdle);
                TimerOff();
            }
            if (m_state == zsIdle) {
                if (m_dropHexTrailer) {
                    // The far side's receiver: its header is not text.
                    qsizetype header = m_held.lastIndexOf(QByteArray("*\x18"));
                    if (header > 0 && m_held[header - 1] == '*')
                        --header;
                    m_held.truncate(std::max<qsizetype>(header, 0));
                }
                text += m_held;
            }
            if (m_state != zsRzSeen)
                m_held.clear();
        }
        if (dropRest)
            break;
    }
    // What a chunk brought is in the file by the time the chunk is handled.
    if (m_fileBufLen > 0 && (!FlushReceived() || !Alive()))
        return;

    const TReceiveDataEvent& saved = m_owner.m_savedReceiveData;
    if (text.isEmpty() || !saved || Destroying())
        return;
    if (text.size() == size && std::equal(text.begin(), text.end(), data)) {
        // The chunk as it came: the port shows it where the handler says.
        WindowHandle handle = 0;
        TReceiveDataEvent handler = saved; // the handler may replace itself
        handler(sender, data, size, handle);
        if (Alive())
            display = handle;
        return;
    }
    ForwardText(sender, std::move(text));
}

void ZmodemSession::ForwardText(TComponent* sender, QByteArray text)
{
    const TReceiveDataEvent& saved = m_owner.m_savedReceiveData;
    if (text.isEmpty() || !saved || Destroying())
        return;
    WindowHandle handle = 0;
    TReceiveDataEvent handler = saved;
    handler(sender, text.data(), static_cast<int>(text.size()), handle);
    if (Alive() && handle != 0)
        SendMessage(handle, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(text.constData()));
}

void ZmodemSession::ForwardHeld(TComponent* sender)
{
    QByteArray held;
    held.swap(m_held);
    ForwardText(sender, std::move(held));
}

void ZmodemSession::EndTentativeStart()
{
    if (m_state != zsRzSeen)
        return;
    EnterState(zsIdle);
    TimerOff();
    ForwardHeld(Port());
}

bool ZmodemSession::OnDecoderEvent(const ZFrameDecoder::Event& ev)
{
    switch (ev.type) {
    case ZFrameDecoder::evRzCommand:
        // Only a ZRQINIT after it makes this a transfer: until then nothing
        // is reported and the text is held, not lost (see FalseStart).
        EnterState(zsRzSeen);
        RestartTimeout();
        break;
    case ZFrameDecoder::evZrqinitLeadIn:
        BeginReceiveOperation();
        if (SendReceiverInit(false))
            RestartTimeout();
        break;
    case ZFrameDecoder::evRemoteAbort:
        if (m_state == zsRzSeen) {
            FalseStart();
            break;
        }
        m_doNotForward = true;
        StopWithError(607);
        return false;
    case ZFrameDecoder::evHeader:
        DispatchHeader(ev.header, ev.headerFormat);
        break;
    case ZFrameDecoder::evSubpacket:
        HandleGoodSubpacket(ev);
        break;
    case ZFrameDecoder::evBadHeader:
    case ZFrameDecoder::evBadSubpacket:
        // Text after an "rz" that merely looks like a header is still text.
        if (m_state != zsRzSeen)
            HandleBadPacket();
        break;
    }
    return true;
}

void ZmodemSession::DispatchHeader(const ZHeader& h, std::uint8_t format)
{
    const bool sending = m_owner.m_mode == omSending;
    const bool receiving = m_owner.m_mode == omReceiving;

    if (m_state == zsRzSeen) {
        // After an "rz" the far side is a sender (ZRQINIT) or a receiver that
        // waits for files (ZRINIT); nothing else is answered.
        if (h.type == ZRQINIT) {
            BeginReceiveOperation();
            if (SendReceiverInit(false))
                RestartTimeout();
        } else if (h.type == ZRINIT) {
            OnRemoteReceiver();
        }
        return;
    }

    // Frames that mean the same in every state of their side.
    switch (h.type) {
    case ZNAK:
        // Mid-stream the last header is the ZDATA that opened the stretch;
        // repeating it alone would land inside a subpacket.
        if (m_state != zsSending)
            ResendLastHeader();
        return;
    case ZSKIP:
        if (sending && IsSenderState(m_state))
            OnRemoteSkip();
        return;
    case ZABORT:
    case ZFERR:
        if (sending)
            StopWithError(607);
        return;
    case ZSINIT:
        // Only a receiver waiting for a file takes the sender's attention string.
        if (receiving && (m_state == zsWaitFile || m_state == zsWaitFin)) {
            m_decoder.ResetHeader();
            m_decoder.SetSubpacketCrc32(format == ZBIN32);
            EnterState(zsGetAttn);
            RestartTimeout();
        }
        return;
    case ZCHALLENGE:
        if (m_state == zsWaitRinit) {
            m_decoder.ResetHeader();
            ZHeader ack = h;
            ack.type = ZACK;
            SendHexHeader(ack);
        }
        return;
    default:
        break;
    }

    switch (m_state) {
    case zsWaitFile:
    case zsWaitFin:
        if (sending) {
            if (m_state == zsWaitFin && h.type == ZFIN)
                FinishOperation();
        } else if (h.type == ZFILE) {
            OnFileHeader(h, format);
        } else if (h.type == ZRQINIT) {
            if (SendReceiverInit(m_state == zsWaitFin))
                RestartTimeout();
        } else if (h.type == ZFIN) {
            FinishOperation();
        } else if (h.type == ZEOF && m_state == zsWaitFin) {
            // Our ZRINIT after the file was lost; the sender repeats its ZEOF.
            SendReceiverInit(true);
        }
        break;
    case zsWaitData:
        RestartTimeout();
        if (h.type == ZDATA)
            OnZdataHeader(h.Position(), format);
        else if (h.type == ZEOF)
            OnEndOfFile(h.Position());
        break;
    case zsGetData:
        // A ZEOF found at the start of what looked like more data.
        if (h.type == ZEOF)
            OnEndOfFile(h.Position());
        break;
    case zsWaitRinit:
        if (h.type == ZRINIT) {
            m_decoder.ResetHeader();
            // With CRC-16, two subpackets run together where the line lost
            // the ZDLE before a frame end pass as one at a receiver that
            // does not look for that; CRC-32 catches it.
            m_crc32 = (h.ZF0() & CANFC32) != 0;
            SendFileHeader();
            if (!m_stopped)
                RestartTimeout();
        }
        break;
    case zsWaitRpos:
        if (h.type == ZRPOS)
            OnStartPosition(h.Position());
        else if (h.type == ZRINIT)
            OnRinitInWaitRpos();
        else if (h.type == ZCRC)
            OnCrcRequest(h.Position());
        break;
    case zsSending:
    case zsWaitEofAck:
        if (h.type == ZRPOS)
            OnResumeRequest(h.Position());
        else if (h.type == ZRINIT && m_state == zsWaitEofAck)
            OnEofAcknowledged();
        break;
    case zsWaitCrc:
        if (h.type == ZCRC)
            OnCrcAnswer(h.Position());
        break;
    case zsWaitAck:
        if (h.type == ZACK) {
            OnAckInWaitAck(h.Position());
        } else if (h.type == ZRPOS) {
            OnResumeRequest(h.Position());
        } else if (h.type == ZRINIT) {
            // A repeat request that was overtaken: the receiver already has
            // the whole file (it took an earlier ZEOF) and would wait for us
            // for ever.
            OnEofAcknowledged();
        }
        break;
    case zsIdle:
    case zsRzSeen:
    case zsGetFileInfo:
    case zsGetAttn:
        break;
    }
}

void ZmodemSession::HandleGoodSubpacket(const ZFrameDecoder::Event& ev)
{
    switch (m_state) {
    case zsGetFileInfo:
        ProcessFileInfo(ev.data, ev.size);
        break;
    case zsGetAttn:
        // The attention string is not used; acknowledge it.
        m_decoder.ResetHeader();
        m_decoder.ResetSubpacket();
        EnterState(zsWaitFile);
        SendHexHeader(ZHeader::WithPosition(ZACK, 0));
        break;
    case zsGetData:
        if (ev.joinedAt == ZFrameDecoder::kNotJoined) {
            OnFileData(ev.data, ev.size, ev.frameEnd);
            break;
        }
        // Perhaps two subpackets run together: the bytes before the join are
        // right either way and are kept, what follows is asked for again from
        // there. Data that merely looks so costs one request, and the
        // transfer still moves on: at least one byte is kept each time.
        OnFileData(ev.data, ev.joinedAt, ZCRCG);
        if (Alive() && !m_stopped && m_state == zsGetData)
            HandleBadPacket();
        break;
    default:
        break;
    }
}

bool ZmodemSession::CountRetry()
{
    if (++m_retries > Xfer().MaxRetries()) {
        StopWithError(601);
        return false;
    }
    return true;
}

void ZmodemSession::HandleBadPacket()
{
    if (!CountRetry())
        return;
    std::weak_ptr<bool> alive = m_alive;
    m_owner.FireState(tsFileReceiveBadPacket, m_fileName, 0);
    if (alive.expired() || !*alive.lock())
        return;
    m_decoder.ResetSubpacket();
    m_discard = true;

    if (m_owner.m_mode == omSending) {
        // While data streams, the receiver asks again by itself; anything sent
        // now would land in the middle of a subpacket.
        if (m_state != zsSending)
            ResendLastHeader();
        return;
    }

    if (QvSerialPort* port = Port(); port && port->IsOpened()) {
        if (const int r = port->Flush(true, true); r != 0) {
            StopWithError(r);
            return;
        }
    }
    switch (m_state) {
    case zsGetData:
    case zsWaitData:
        AskForPosition();
        break;
    case zsGetFileInfo:
    case zsGetAttn:
        // Wait for the header again before asking for it, or the repeated
        // header would be collected as data.
        EnterState(zsWaitFile);
        ResendLastHeader();
        break;
    default:
        ResendLastHeader();
        break;
    }
}

// ---- Time-outs

namespace {

// The port's OnTimer while a time-out runs, as a type of its own so that a
// restart can see that the timer is already this session's.
struct TimeoutHandler
{
    ZmodemSession* session;
    std::weak_ptr<bool> alive;
    void operator()(TComponent*) const
    {
        if (auto token = alive.lock(); token && *token)
            session->TimeoutTick();
    }
};

} // namespace

void ZmodemSession::RestartTimeout()
{
    QvSerialPort* port = Port();
    if (!port)
        return;
    // Restarted for every chunk and subpacket: when the timer already runs
    // for us, moving its deadline is all there is to do.
    const TimeoutHandler* ours = port->OnTimer().target<TimeoutHandler>();
    if (!ours || ours->session != this || port->TimerInterval() != kTimeoutMs || !port->TimerEnabled()) {
        port->SetOnTimer(TimeoutHandler{this, m_alive});
        port->SetTimerInterval(kTimeoutMs);
        port->SetTimerEnabled(true);
    }
    port->RestartTimer();
}

void ZmodemSession::TimerOff()
{
    if (QvSerialPort* port = Port())
        port->SetTimerEnabled(false);
}

void ZmodemSession::TimeoutTick()
{
    if (Destroying())
        return;

    switch (m_state) {
    case zsIdle:
        TimerOff();
        return;
    case zsRzSeen:
        FalseStart();
        return;
    case zsWaitCrc:
        // A sender that does not answer cannot vouch for the file in place.
        ResumeVerdict(false);
        return;
    case zsWaitFin:
        if (m_owner.m_mode == omSending && m_finAttempts >= 2) {
            // Every file is acknowledged; a receiver that leaves without
            // answering ZFIN has still received everything.
            FinishOperation(false);
            return;
        }
        break;
    default:
        break;
    }

    if (++m_timeouts > kMaxTimeouts) {
        StopWithError(600);
        return;
    }
    switch (m_state) {
    case zsWaitFile:
    case zsGetFileInfo:
        SendReceiverInit(false);
        break;
    case zsWaitData:
    case zsGetData:
        AskForPosition();
        break;
    case zsWaitFin:
        if (m_owner.m_mode == omReceiving) {
            SendReceiverInit(true);
        } else if (SendHexHeader(ZHeader::WithPosition(ZFIN, 0)) == 0) {
            ++m_finAttempts;
        }
        break;
    case zsWaitRinit:
        StartHandshake();
        break;
    case zsWaitRpos:
        SendFileHeader();
        break;
    case zsWaitEofAck:
        SendEndOfFile();
        break;
    case zsWaitAck:
        ResendLastHeader();
        break;
    case zsSending:
    case zsGetAttn:
    case zsIdle:
    case zsRzSeen:
    case zsWaitCrc:
        StopWithError(600);
        return;
    }
    if (!m_stopped && m_state != zsIdle && m_state != zsSending)
        RestartTimeout();
}

// ---- Frame output

int ZmodemSession::WriteBytes(const std::uint8_t* data, std::size_t n)
{
    QvSerialPort* port = Port();
    if (!port)
        return 603;
    return port->SendData(data, static_cast<int>(n));
}

int ZmodemSession::SendRaw(const QByteArray& bytes)
{
    const int r = WriteBytes(reinterpret_cast<const std::uint8_t*>(bytes.constData()), bytes.size());
    if (r != 0)
        StopWithError(r);
    return r;
}

void ZmodemSession::RememberSent(const ZHeader& h, HeaderFormat format, const QByteArray& frame)
{
    m_lastHeader = h;
    m_lastFormat = format;
    m_lastFrameData = frame;
}

int ZmodemSession::SendBinaryHeader(const ZHeader& h)
{
    RememberSent(h, BinaryFormat());
    return SendRaw(EncodeBinaryHeader(h, m_crc32));
}

int ZmodemSession::SendHexHeader(const ZHeader& h)
{
    RememberSent(h, hfHex);
    return SendRaw(EncodeHexHeader(h));
}

int ZmodemSession::ResendLastHeader()
{
    if (m_lastFormat == hfHex)
        return SendHexHeader(m_lastHeader);
    if (m_lastFormat != hfBinary && m_lastFormat != hfBinary32)
        return 0;
    // A header that opened a frame goes again with its subpacket.
    return SendRaw(EncodeBinaryHeader(m_lastHeader, m_lastFormat == hfBinary32) + m_lastFrameData);
}

int ZmodemSession::SendFrame(const ZHeader& h, const std::uint8_t* data, std::size_t n, std::uint8_t frameEnd)
{
    QByteArray bytes = EncodeBinaryHeader(h, m_crc32);
    const qsizetype headerLen = bytes.size();
    bytes.resize(headerLen + static_cast<qsizetype>(EncodedSubpacketCapacity(n)));
    const std::size_t len = EncodeSubpacket(
        data, n, frameEnd, reinterpret_cast<std::uint8_t*>(bytes.data()) + headerLen, m_crc32);
    bytes.truncate(headerLen + static_cast<qsizetype>(len));
    if (const int r = SendRaw(bytes); r != 0)
        return r;
    RememberSent(h, BinaryFormat(), bytes.mid(headerLen));
    return 0;
}

// ---- Ends

void ZmodemSession::CloseTransferFile()
{
    // Nothing received is dropped on the way out; a failure here has no one
    // left to tell, since every path that reports one has flushed already.
    if (m_fileBufLen > 0 && m_file)
        m_file->Write(m_fileBuf.data(), static_cast<qint64>(m_fileBufLen));
    m_fileBufLen = 0;
    m_file.reset();
}

void ZmodemSession::StopWithError(int code)
{
    QvFile& owner = m_owner;
    const TOperationMode mode = owner.m_mode;
    if (mode != omSending && mode != omReceiving) {
        // Nothing runs. Input waiting at the port is the terminal's, and so
        // is text held after an "rz".
        if (!Destroying())
            EndTentativeStart();
        return;
    }
    if (m_stopped)
        return;
    m_stopped = true;
    m_abort = true;
    ++m_sendGeneration;
    m_pendingLen = m_pendingOffset = 0;
    m_batchEnds.clear();
    m_rposPending = m_skipPending = false;
    CancelCrcScan();
    m_folder.reset();
    if (!Destroying()) {
        TimerOff();
        m_owner.Window().KillTimer(kQueueTimerId);
        if (QvSerialPort* port = Port())
            port->NotifyWritable(nullptr);
    }

    // A file that was being written stays as far as it got, for a resume.
    std::int64_t kept = -1;
    if (mode == omReceiving && m_file && (m_state == zsWaitData || m_state == zsGetData)) {
        FlushReceived();
        kept = std::max<std::int64_t>(m_file->Size(), 0);
    }
    const QString keptName = m_fileName;
    CloseTransferFile();

    QvSerialPort* port = Port();
    if (!Destroying()) {
        if (port && m_state != zsIdle && port->IsOpened()) {
            // What is still queued is worthless; the cancel must not be.
            port->Flush(true, true);
            const int r = port->SendDataKept(CancelSequence().constData(), int(CancelSequence().size()));
            if (r != 0 && r != code) {
                owner.FireState(tsError, m_fileName, r);
                if (!Alive())
                    return;
            }
        }
        TimerOff();
        EnterState(zsIdle);
        if (code != 0) {
            owner.FireState(tsError, m_fileName, code);
            if (!Alive())
                return;
        }
        if (kept >= 0) {
            owner.FireState(tsFilePartiallyReceived, keptName,
                            static_cast<int>(std::min<std::int64_t>(kept, INT32_MAX)));
            if (!Alive())
                return;
        }
        owner.FireState(mode == omReceiving ? tsReceiveModeEnd : tsSendModeEnd, QString(), 1);
        if (!Alive())
            return;
        if (owner.m_listen) {
            owner.m_mode = omListening;
            owner.FireState(tsListenModeStart, QString(), 0);
        } else {
            owner.GivePortBack();
            owner.m_mode = omIdle;
            owner.FireState(tsIdleModeStart, QString(), 0);
        }
        if (!Alive())
            return;
    } else {
        owner.m_mode = omIdle;
    }
    EnterState(zsIdle);
    if (!Destroying()) {
        // Only input: the cancel sequence must reach the line.
        if (QvSerialPort* p = Port(); p && p->IsOpened())
            p->Flush(true, false);
    }
    Xfer().m_fileSize = 0;
    Xfer().m_totalFileCount = 0;
    Xfer().m_totalFileSize = 0;
}

void ZmodemSession::FinishOperation(bool sendClosing)
{
    QvFile& owner = m_owner;
    const TOperationMode mode = owner.m_mode;
    m_doNotForward = true;
    CloseTransferFile();
    m_decoder.ResetHeader();
    if (mode == omReceiving) {
        if (SendHexHeader(ZHeader::WithPosition(ZFIN, 0)) != 0)
            return;
        m_expectOO = true;
    } else if (sendClosing) {
        // The receiver waits for these two bytes; nothing that follows may
        // take them back.
        QvSerialPort* port = Port();
        const int r = port ? port->SendDataKept("OO", 2) : 603;
        if (r != 0) {
            StopWithError(r);
            return;
        }
    }
    EnterState(zsIdle);
    TimerOff();
    std::weak_ptr<bool> alive = m_alive;
    auto isAlive = [&alive] {
        auto token = alive.lock();
        return token && *token;
    };
    // A batch that left a file out did not complete, closing exchange or not.
    const int outcome = mode == omSending && m_leftOut > 0 ? 1 : 0;
    owner.FireState(mode == omReceiving ? tsReceiveModeEnd : tsSendModeEnd, QString(), outcome);
    if (!isAlive())
        return;
    if (owner.m_listen) {
        owner.m_mode = omListening;
        owner.FireState(tsListenModeStart, QString(), 0);
    } else {
        // The port stays taken: idle data still reaches the saved handler,
        // and a remote "rz" still starts a receive.
        m_stopped = true;
        m_abort = true;
        Xfer().m_fileSize = 0;
        Xfer().m_totalFileCount = 0;
        Xfer().m_totalFileSize = 0;
        owner.m_mode = omIdle;
        owner.FireState(tsIdleModeStart, QString(), 0);
    }
}

void ZmodemSession::FalseStart()
{
    // "rz" without a transfer after it: what was held is text after all.
    EndTentativeStart();
}

void ZmodemSession::OnRemoteReceiver()
{
    // The far side waits for files: the component steps aside quietly and
    // leaves the choice to its client, from the event loop, since the
    // client may well run a dialog.
    EnterState(zsIdle);
    TimerOff();
    m_dropHexTrailer = true;
    PostMessage(m_owner.Handle(), kMsgRemoteReceiver, 0, 0);
}

void ZmodemSession::OnPortState(TPortState state, int param1)
{
    QvSerialPort* port = Port();
    const bool running = m_owner.m_mode == omSending || m_owner.m_mode == omReceiving;
    if (state == psClosed) {
        EndTentativeStart();
        // A closing the port explains comes with its psError right away;
        // one that does not is looked at once this turn is over.
        if (running)
            PostMessage(m_owner.Handle(), kMsgPortClosed, m_operation, 0);
    } else if (state == psError && running && (!port || !port->IsOpened())) {
        StopWithError(param1);
    }
}

// ---- CRC of the first bytes of the current file

void ZmodemSession::StartCrcScan(std::int64_t length)
{
    m_crcScanning = true;
    ++m_crcGeneration;
    m_crcLength = std::max<std::int64_t>(length, 0);
    m_crcDone = 0;
    m_crcRegister = 0xFFFFFFFFu;
    m_crcBuffer.resize(64 * 1024);
    PostMessage(m_owner.Handle(), kMsgCrcStep, m_crcGeneration, 0);
}

void ZmodemSession::CancelCrcScan()
{
    if (!m_crcScanning)
        return;
    m_crcScanning = false;
    ++m_crcGeneration;
    m_crcBuffer.clear();
    m_crcBuffer.shrink_to_fit();
}

void ZmodemSession::CrcScanStep(WPARAM generation)
{
    if (!m_crcScanning || generation != m_crcGeneration || !m_file)
        return;
    std::int64_t budget = kCrcBytesPerTurn;
    while (budget > 0 && m_crcDone < m_crcLength) {
        const std::int64_t want =
            std::min<std::int64_t>({budget, m_crcLength - m_crcDone, std::int64_t(m_crcBuffer.size())});
        const qint64 got =
            m_file->SetPosition(m_crcDone) ? m_file->Read(m_crcBuffer.data(), static_cast<qint64>(want)) : -1;
        if (got <= 0) {
            // The file ends early (or fails): what it holds is what counts.
            m_crcLength = m_crcDone;
            break;
        }
        m_crcRegister = Crc32(m_crcBuffer.data(), static_cast<std::size_t>(got), m_crcRegister);
        m_crcDone += got;
        budget -= got;
    }
    if (m_crcDone < m_crcLength) {
        if (m_owner.m_mode == omReceiving && m_crcLength >= kCrcProgressFrom) {
            const std::int64_t total = m_cumulative - m_fileSize + m_crcDone;
            ProgressRow(toReceiving, m_crcDone, TransferPercent(m_crcDone, m_fileSize), total,
                        TransferPercent(total, Xfer().TotalFileSize()));
            if (!Alive() || !m_crcScanning || generation != m_crcGeneration)
                return;
        }
        PostMessage(m_owner.Handle(), kMsgCrcStep, m_crcGeneration, 0);
        return;
    }
    CrcScanDone();
}

void ZmodemSession::CrcScanDone()
{
    // The usual CRC-32 value: the register complemented, as the protocol's
    // peers give it.
    const std::uint32_t crc = ~m_crcRegister;
    CancelCrcScan();
    if (m_owner.m_mode == omReceiving && m_state == zsWaitCrc) {
        m_resumeLocalCrc = crc;
        m_resumeLocalDone = true;
        if (m_resumeRemoteKnown)
            ResumeVerdict(true);
    } else if (m_owner.m_mode == omSending && m_state == zsWaitRpos) {
        // The answer is no frame of ours to repeat: the announcement stays
        // the last header, for a receiver that asks for it again.
        if (SendRaw(EncodeHexHeader(ZHeader::WithPosition(ZCRC, crc))) == 0)
            RestartTimeout();
    }
}

void ZmodemSession::ProgressRow(TTransferOperation op, std::int64_t fileBytes, int filePerc,
                                std::int64_t totalBytes, int totalPerc)
{
    m_owner.FireProgress(op, m_fileName, m_fileIndex, static_cast<int>(fileBytes), filePerc,
                         static_cast<int>(totalBytes), totalPerc);
}

void ZmodemSession::OnSendData(WPARAM generation)
{
    if (generation != 0 && generation != m_sendGeneration)
        return; // left over from an earlier stretch
    SendFileData();
}

} // namespace qv
