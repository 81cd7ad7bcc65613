// The engine: received bytes in, one dispatch on protocol state and frame,
// time-outs and retries, and the two ways an operation ends.
#include "transfer/ZmodemSession.h"

#include "common/ErrorCodes.h"

#include <unistd.h>

namespace qv {

using namespace zm;

namespace {

const QByteArray& CancelSequence()
{
    static const QByteArray cancel = QByteArray(8, '\x18') + QByteArray(8, '\x08');
    return cancel;
}

bool IsSenderState(TProtocolState s)
{
    return s == zsWaitRinit || s == zsWaitRpos || s == zsSending || s == zsWaitEofAck || s == zsWaitAck;
}

} // namespace

ZmodemSession::ZmodemSession(QvFile& owner) : m_owner(owner), m_alive(owner.m_alive)
{
    m_decoder.Reset();
    m_readBuf.resize(64 * 1024);
    m_raw.reserve(kMaxSendSubpacket);
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
    if (m_state != zsWaitData && m_state != zsIdle && m_state != zsSending)
        RestartTimeout();

    char* chunk = data;
    int length = size;
    bool droppedOO = false;
    if (m_expectOO) {
        m_expectOO = false;
        if (length >= 2 && chunk[0] == 'O' && chunk[1] == 'O') {
            if (length == 2)
                return;
            chunk += 2;
            length -= 2;
            droppedOO = true;
        }
    }

    m_doNotForward = false;
    m_discard = false;
    std::weak_ptr<bool> alive = m_alive;
    auto isAlive = [&alive] {
        auto token = alive.lock();
        return token && *token;
    };
    m_decoder.Feed(reinterpret_cast<const std::uint8_t*>(chunk), static_cast<std::size_t>(length),
                   [&](const ZFrameDecoder::Event& ev) {
                       const bool keepGoing = OnDecoderEvent(ev);
                       return isAlive() && keepGoing && !m_discard;
                   });
    if (!isAlive())
        return;

    const TReceiveDataEvent& saved = m_owner.m_savedReceiveData;
    if (m_state == zsIdle && !m_doNotForward && saved && !Destroying()) {
        WindowHandle handle = 0;
        TReceiveDataEvent handler = saved; // the handler may replace itself
        handler(sender, chunk, length, handle);
        if (!isAlive())
            return;
        if (droppedOO && handle != 0) {
            // The port would show the chunk with its "OO"; show the rest here.
            SendMessage(handle, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(chunk));
            handle = 0;
        }
        display = handle;
    }
}

bool ZmodemSession::OnDecoderEvent(const ZFrameDecoder::Event& ev)
{
    switch (ev.type) {
    case ZFrameDecoder::evRzCommand:
        BeginReceiveOperation();
        EnterState(zsRzSeen);
        break;
    case ZFrameDecoder::evZrqinitLeadIn:
        BeginReceiveOperation();
        if (SendReceiverInit(false))
            RestartTimeout();
        break;
    case ZFrameDecoder::evRemoteAbort:
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
        HandleBadPacket();
        break;
    }
    return true;
}

void ZmodemSession::DispatchHeader(const ZHeader& h, std::uint8_t format)
{
    const bool sending = m_owner.m_mode == omSending;
    const bool receiving = m_owner.m_mode == omReceiving;

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
    case zsRzSeen:
        if (h.type == ZRQINIT && SendReceiverInit(false))
            RestartTimeout();
        break;
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
        break;
    case zsSending:
    case zsWaitEofAck:
        if (h.type == ZRPOS)
            OnResumeRequest(h.Position());
        else if (h.type == ZRINIT && m_state == zsWaitEofAck)
            OnEofAcknowledged();
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
        OnFileData(ev.data, ev.size, ev.frameEnd);
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

void ZmodemSession::RestartTimeout()
{
    QvSerialPort* port = Port();
    if (!port)
        return;
    std::weak_ptr<bool> alive = m_alive;
    port->SetOnTimer([this, alive](TComponent*) {
        if (auto token = alive.lock(); token && *token)
            TimeoutTick();
    });
    port->SetTimerInterval(kTimeoutMs);
    port->SetTimerEnabled(true);
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

int ZmodemSession::SendBinaryHeader(const ZHeader& h)
{
    m_lastHeader = h;
    m_lastFormat = hfBinary;
    m_lastFrameData.clear();
    return SendRaw(EncodeBinaryHeader(h));
}

int ZmodemSession::SendHexHeader(const ZHeader& h)
{
    m_lastHeader = h;
    m_lastFormat = hfHex;
    m_lastFrameData.clear();
    return SendRaw(EncodeHexHeader(h));
}

int ZmodemSession::ResendLastHeader()
{
    const QByteArray frame = m_lastFrameData;
    int r = 0;
    if (m_lastFormat == hfBinary)
        r = SendBinaryHeader(m_lastHeader);
    else if (m_lastFormat == hfHex)
        r = SendHexHeader(m_lastHeader);
    if (r == 0 && !frame.isEmpty()) {
        // A header that opened a frame goes again with its subpacket.
        r = SendRaw(frame);
        if (r == 0)
            m_lastFrameData = frame;
    }
    return r;
}

int ZmodemSession::SendDataSubpacket(const std::uint8_t* data, std::size_t n, std::uint8_t frameEnd)
{
    QByteArray encoded(static_cast<qsizetype>(EncodedSubpacketCapacity(n)), Qt::Uninitialized);
    const std::size_t len =
        EncodeSubpacket(data, n, frameEnd, reinterpret_cast<std::uint8_t*>(encoded.data()));
    encoded.truncate(static_cast<qsizetype>(len));
    const int r = WriteBytes(reinterpret_cast<const std::uint8_t*>(encoded.constData()), len);
    if (r == 0)
        m_lastFrameData = encoded;
    return r;
}

// ---- Ends

void ZmodemSession::CloseTransferFile()
{
    m_file.reset();
}

void ZmodemSession::StopWithError(int code)
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_abort = true;
    ++m_sendGeneration;
    m_pending.clear();
    m_rposPending = m_skipPending = false;
    if (!Destroying()) {
        TimerOff();
        m_owner.Window().KillTimer(kQueueTimerId);
    }

    QvFile& owner = m_owner;
    const TOperationMode mode = owner.m_mode;
    if (mode == omSending || mode == omReceiving) {
        QvSerialPort* port = Port();
        if (!Destroying()) {
            std::weak_ptr<bool> alive = m_alive;
            auto isAlive = [&alive] {
                auto token = alive.lock();
                return token && *token;
            };
            if (port && m_state != zsIdle && port->IsOpened()) {
                // What is still queued is worthless; the cancel must not be.
                port->Flush(true, true);
                const int r = port->SendString(CancelSequence());
                if (r != 0 && r != code) {
                    owner.FireState(tsError, m_fileName, r);
                    if (!isAlive())
                        return;
                }
            }
            TimerOff();
            EnterState(zsIdle);
            if (code != 0) {
                owner.FireState(tsError, m_fileName, code);
                if (!isAlive())
                    return;
            }
            owner.FireState(mode == omReceiving ? tsReceiveModeEnd : tsSendModeEnd, QString(), 1);
            if (!isAlive())
                return;
            if (owner.m_listen) {
                owner.m_mode = omListening;
                owner.FireState(tsListenModeStart, QString(), 0);
            } else {
                owner.GivePortBack();
                owner.m_mode = omIdle;
                owner.FireState(tsIdleModeStart, QString(), 0);
            }
            if (!isAlive())
                return;
        } else {
            owner.m_mode = omIdle;
        }
    }
    EnterState(zsIdle);
    CloseTransferFile();
    if (!Destroying()) {
        // Only input: the cancel sequence must reach the line.
        if (QvSerialPort* port = Port(); port && port->IsOpened())
            port->Flush(true, false);
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
    } else if (sendClosing && SendRaw(QByteArray("OO")) != 0) {
        return;
    }
    EnterState(zsIdle);
    TimerOff();
    std::weak_ptr<bool> alive = m_alive;
    auto isAlive = [&alive] {
        auto token = alive.lock();
        return token && *token;
    };
    owner.FireState(mode == omReceiving ? tsReceiveModeEnd : tsSendModeEnd, QString(), 0);
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
    // "rz" without a transfer after it: back to what the component did.
    QvFile& owner = m_owner;
    EnterState(zsIdle);
    TimerOff();
    Xfer().m_fileSize = 0;
    Xfer().m_totalFileCount = 0;
    Xfer().m_totalFileSize = 0;
    std::weak_ptr<bool> alive = m_alive;
    owner.FireState(tsReceiveModeEnd, QString(), 1);
    if (alive.expired() || !*alive.lock())
        return;
    if (owner.m_listen) {
        owner.m_mode = omListening;
        owner.FireState(tsListenModeStart, QString(), 0);
    } else {
        owner.m_mode = omIdle;
        owner.FireState(tsIdleModeStart, QString(), 0);
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
