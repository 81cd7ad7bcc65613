// The sending side: the list, the announcement, the data stretches that run
// from QvFile's own window message, repositioning, skips and the finish.
#include "transfer/ZmodemSession.h"

#include "common/Clock.h"
#include "common/ErrorCodes.h"
#include "transfer/ZmodemFileInfo.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace qv {

using namespace zm;

namespace {

// One turn of the data loop (one MSG_SEND_DATA) ends after this much real
// time or this many bytes, so that the event loop, and with it the window
// and the receiver's replies, gets a turn well within 50 ms at any speed.
constexpr auto kTurnBudget = std::chrono::milliseconds(8);
constexpr std::size_t kTurnBytes = 256 * 1024;
// A batch is encoded in one piece and handed to the system in as few
// writes as it takes, up to this size where the queue cannot be measured.
constexpr std::size_t kBurstBytes = 64 * 1024;
// Room for a binary header in a batch: its frame start, and type, position
// and CRC-32 with every byte escaped.
constexpr std::size_t kHeaderRoom = 32;
// A line that takes nothing for this long (in protocol time) fails the send.
constexpr std::int64_t kQueueWaitLimitMs = 10000;
// While waiting to be told of room, the line is tried again this often: a
// far end that hangs up meanwhile is not always announced.
constexpr int kWritableRetryMs = 100;
constexpr int kQueueWaitMaxMs = 50;

std::chrono::steady_clock::time_point SteadyNow()
{
    return std::chrono::steady_clock::now();
}

// The file's last-write time as the announcement carries it: seconds since
// 1970 in UTC, whatever zone either side is in; 0 when it has none.
std::int64_t AnnouncedDate(int fd)
{
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || st.st_mtime < 0)
        return 0;
    return static_cast<std::int64_t>(st.st_mtime);
}

} // namespace

int ZmodemSession::SendFiles(const QString& fileList)
{
    QvFile& owner = m_owner;
    QvSerialPort* port = Port();
    if (!port)
        return 603;
    if (!port->IsOpened())
        return 508;
    if (port->MaxReceiveSize() < 2048 || port->MaxSendSize() < 2048)
        return 604;
    // Checked before anything changes: a running operation is left alone.
    if (owner.m_mode == omSending || owner.m_mode == omReceiving)
        return 605;

    // A typed "rz" whose far side waits for files is answered by this send.
    EndTentativeStart();
    owner.TakeOverPort();
    m_retries = 0;
    m_timeouts = 0;
    m_stopped = false;
    m_abort = false;

    m_list.clear();
    const int listed = BuildSendFileList(fileList, m_list, m_omitted, owner.IsUnicodeAvailable());
    if (listed != 0) {
        StopWithError(0);
        return listed == err::NotFound ? 606 : listed;
    }
    ++m_operation;
    m_leftOut = 0;

    TTransfer& xfer = Xfer();
    m_nextIndex = 0;
    xfer.m_fileSize = 0;
    xfer.m_totalFileCount = static_cast<int>(m_list.size());
    m_listTotal = 0;
    for (const TFileList& entry : m_list)
        m_listTotal += entry.FileSize;
    xfer.m_totalFileSize = static_cast<int>(std::min<std::int64_t>(m_listTotal, INT32_MAX));
    m_fileName = m_list.front().FileName;
    m_announced.assign(m_list.size(), false);
    m_cumulative = 0;
    m_total = m_listTotal;
    m_rposPending = m_skipPending = false;
    m_inDataLoop = false;
    m_finAttempts = 0;

    owner.m_mode = omSending;
    owner.FireState(tsSendModeStart, QString(), 0);
    if (!Alive() || m_stopped)
        return 0;
    // What the list passed over is reported before anything goes, file by
    // file, and the operation will not end as complete.
    const QList<TFileListOmission> omitted = std::move(m_omitted);
    m_omitted.clear();
    for (const TFileListOmission& o : omitted) {
        ReportLeftOut(o.FileName, o.Code);
        if (!Alive() || m_stopped)
            return 0;
    }

    const int r = StartHandshake();
    if (r != 0) {
        StopWithError(0);
        return r;
    }
    RestartTimeout();
    m_abort = false;
    return 0;
}

void ZmodemSession::ReportLeftOut(const QString& name, int code)
{
    ++m_leftOut;
    m_owner.FireState(tsError, name, code);
    if (Alive())
        m_owner.FireState(tsFileSendDone, name, 1);
}

int ZmodemSession::StartHandshake()
{
    QvSerialPort* port = Port();
    if (!port)
        return 603;
    if (const int r = port->SendString(QByteArray("rz\r")); r != 0)
        return r;
    if (const int r = SendHexHeader(ZHeader::WithPosition(ZRQINIT, 0)); r != 0)
        return r;
    m_decoder.ResetHeader();
    m_decoder.ResetSubpacket();
    m_crc32 = false; // until the receiver offers it
    EnterState(zsWaitRinit);
    return 0;
}

std::int64_t ZmodemSession::FileSizeOnDisk()
{
    return m_file ? m_file->Size() : -1;
}

void ZmodemSession::SendFileHeader()
{
    // A file that cannot be opened when its turn comes is reported and
    // passed over; the others still go.
    CloseTransferFile();
    std::unique_ptr<TQvFileStream> stream;
    while (m_nextIndex < static_cast<int>(m_list.size())) {
        const TFileList& entry = m_list.at(m_nextIndex);
        int code = 0;
        stream = std::make_unique<TQvFileStream>(entry.FileName, code, fmOpenRead);
        if (code == 0)
            break;
        stream.reset();
        const QString name = entry.FileName;
        ++m_nextIndex;
        ReportLeftOut(name, code);
        if (!Alive() || m_stopped)
            return;
    }
    if (!stream) {
        m_fileName.clear();
        SendFinish();
        return;
    }

    const TFileList entry = m_list.at(m_nextIndex);
    m_fileName = entry.FileName;
    m_fileIndex = m_nextIndex + 1;
    m_fileSize = entry.FileSize;
    Xfer().m_fileSize = entry.FileSize;
    m_file = std::move(stream);
    m_readBufLen = 0;
    if (!m_announced[m_nextIndex]) {
        m_announced[m_nextIndex] = true;
        m_cumulative += m_fileSize;
    }

    m_owner.FireState(tsFileSendBegin, m_fileName, 0);
    if (!Alive() || m_stopped)
        return;
    ProgressRow(toSending, 0, 0, m_cumulative - m_fileSize,
                TransferPercent(m_cumulative - m_fileSize, m_total));
    if (!Alive() || m_stopped)
        return;

    m_decoder.ResetHeader();
    m_decoder.ResetSubpacket();

    // Size and date of what was opened, not of whatever the name leads to now.
    const std::int64_t sizeOnDisk = FileSizeOnDisk();
    if (sizeOnDisk < 0) {
        StopWithError(err::ReadWriteFailed);
        return;
    }
    const std::int64_t date = AnnouncedDate(m_file->Handle());
    std::int64_t before = 0;
    for (int i = 0; i < m_nextIndex; ++i)
        before += m_list[i].FileSize;
    const QByteArray announcement =
        BuildFileAnnouncement(QFileInfo(m_fileName).fileName().toUtf8(), sizeOnDisk, date,
                              static_cast<int>(m_list.size()), m_listTotal - before);
    if (SendFrame(ZHeader::WithPosition(ZFILE, 0),
                  reinterpret_cast<const std::uint8_t*>(announcement.constData()),
                  static_cast<std::size_t>(announcement.size()), ZCRCW) != 0)
        return;
    m_announcedAtMs = Clock::Instance().MonotonicMs();
    EnterState(zsWaitRpos);
}

bool ZmodemSession::SeekSend(std::int64_t position)
{
    m_sendPos = position;
    m_encodePos = position;
    return true;
}

void ZmodemSession::OnRinitInWaitRpos()
{
    m_decoder.ResetHeader();
    // A receiver that was started before us has already said ZRINIT once or
    // twice, and answers our ZRQINIT with another: those crossed the
    // announcement on the line and say nothing about it. Answering each of
    // them with a new announcement makes the receiver ask for the file twice
    // and tangles both sides, so only a ZRINIT that comes well after the
    // announcement means it was lost.
    constexpr std::int64_t CrossingWindowMs = 2000;
    if (Clock::Instance().MonotonicMs() - m_announcedAtMs < CrossingWindowMs)
        return;
    // Announce again, without a new handshake that a receiver busy with the
    // file would not answer.
    if (ResendLastHeader() == 0) {
        m_announcedAtMs = Clock::Instance().MonotonicMs();
        RestartTimeout();
    }
}

void ZmodemSession::OnCrcRequest(std::uint32_t length)
{
    // The receiver checks that the file it holds is the start of this one.
    // 0 asks for the whole file, as does a length beyond its end.
    const std::int64_t size = FileSizeOnDisk();
    if (size < 0)
        return;
    m_decoder.ResetHeader();
    // No repeat of the announcement while the sum is worked out.
    TimerOff();
    StartCrcScan(length == 0 || length > size ? size : length);
}

void ZmodemSession::OnStartPosition(std::uint32_t p)
{
    CancelCrcScan();
    const std::int64_t size = FileSizeOnDisk();
    if (size < 0) {
        StopWithError(err::ReadWriteFailed);
        return;
    }
    SeekSend(static_cast<std::int64_t>(p) < size ? p : 0);
    StartStreaming();
}

void ZmodemSession::StartStreaming()
{
    m_decoder.ResetHeader();
    m_decoder.ResetSubpacket();
    const ZHeader header = ZHeader::WithPosition(ZDATA, static_cast<std::uint32_t>(m_sendPos));
    m_headerAhead = EncodeBinaryHeader(header, m_crc32);
    RememberSent(header, BinaryFormat());
    m_sendSize = FileSizeOnDisk();
    m_subpacketsSinceZdata = 0;
    m_pendingLen = m_pendingOffset = 0;
    m_batchEnds.clear();
    m_batchDone = 0;
    m_encodePos = m_sendPos;
    m_waitingSince = -1;
    m_queueBackoffMs = 0;
    m_rowPos = -1;
    ++m_sendGeneration;
    EnterState(zsSending);
    // Streaming has no time-out of its own: the receiver is silent while
    // all goes well.
    TimerOff();
    PostMessage(m_owner.Handle(), MSG_SEND_DATA, m_sendGeneration, 0);
}

int ZmodemSession::FileBytesAt(std::int64_t position, std::size_t want, const std::uint8_t*& data,
                               std::size_t& available)
{
    const std::int64_t end = m_readBufStart + static_cast<std::int64_t>(m_readBufLen);
    if (position < m_readBufStart || position >= end || end - position < static_cast<std::int64_t>(want)) {
        if (!m_file || !m_file->SetPosition(position))
            return err::ReadWriteFailed;
        const qint64 got = m_file->Read(m_readBuf.data(), static_cast<qint64>(m_readBuf.size()));
        m_readBufStart = position;
        m_readBufLen = got > 0 ? static_cast<std::size_t>(got) : 0;
        if (m_readBufLen < want)
            return err::ReadWriteFailed; // the file shrank under us
    }
    data = m_readBuf.data() + (position - m_readBufStart);
    available = m_readBufLen - static_cast<std::size_t>(position - m_readBufStart);
    return 0;
}

int ZmodemSession::BuildBatch(std::size_t room)
{
    m_pendingLen = m_pendingOffset = 0;
    m_batchEnds.clear();
    m_batchDone = 0;
    const std::size_t target = std::min(room, kBurstBytes);
    const std::size_t capacity = kBurstBytes + EncodedSubpacketCapacity(kMaxSendSubpacket) + 2 * kHeaderRoom;
    if (m_pending.size() < capacity)
        m_pending.resize(capacity);
    auto append = [this](const QByteArray& header) {
        std::memcpy(m_pending.data() + m_pendingLen, header.constData(),
                    static_cast<std::size_t>(header.size()));
        m_pendingLen += static_cast<std::size_t>(header.size());
    };
    append(std::exchange(m_headerAhead, QByteArray()));
    // At least one subpacket, however little room there is: the system
    // takes what it can and the rest waits.
    do {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::int64_t>(m_sendSize - m_encodePos, kMaxSendSubpacket));
        const std::uint8_t* data = nullptr;
        std::size_t available = 0;
        if (const int r = FileBytesAt(m_encodePos, want, data, available); r != 0)
            return r;
        const std::size_t n = SubpacketLength(data, want);
        const std::int64_t end = m_encodePos + static_cast<std::int64_t>(n);
        const std::uint8_t frameEnd = end >= m_sendSize ? ZCRCE : ZCRCG;
        m_pendingLen += EncodeSubpacket(data, n, frameEnd, m_pending.data() + m_pendingLen, m_crc32);
        m_encodePos = end;
        m_batchEnds.push_back({m_pendingLen, end, frameEnd});
        if (frameEnd == ZCRCE) {
            append(EncodeBinaryHeader(ZHeader::WithPosition(ZEOF, static_cast<std::uint32_t>(end)), m_crc32));
            break;
        }
    } while (m_pendingLen < target);
    return 0;
}

void ZmodemSession::BatchWritten()
{
    auto row = [this] {
        if (m_sendPos < m_fileSize && ProgressDue(m_sendPos))
            ProgressRow(toSending, m_sendPos, TransferPercent(m_sendPos, m_fileSize),
                        m_cumulative - m_fileSize + m_sendPos,
                        TransferPercent(m_cumulative - m_fileSize + m_sendPos, m_total));
    };
    const std::int64_t before = m_sendPos;
    while (m_batchDone < m_batchEnds.size() && m_batchEnds[m_batchDone].offset <= m_pendingOffset) {
        m_sendPos = m_batchEnds[m_batchDone].position;
        ++m_batchDone;
        ++m_subpacketsSinceZdata;
        // The first subpacket of a stretch shows where the data starts.
        if (m_rowPos < 0) {
            row();
            if (!Alive() || m_stopped)
                return;
        }
    }
    if (m_sendPos != before)
        row();
}

bool ZmodemSession::ProgressDue(std::int64_t position)
{
    constexpr std::int64_t kRowStep = 32 * 1024;
    if (m_rowPos >= 0 && position - m_rowPos < kRowStep &&
        TransferPercent(position, m_fileSize) == TransferPercent(m_rowPos, m_fileSize))
        return false;
    m_rowPos = position;
    return true;
}

void ZmodemSession::WaitForLine(bool queueFull)
{
    QvSerialPort* port = Port();
    if (!port)
        return;
    const WPARAM generation = m_sendGeneration;
    int waitMs = kWritableRetryMs;
    if (queueFull && !port->OutQueueWakes()) {
        // The queue is measured and full: look again once some of it has
        // had time to leave, or at a growing interval where the rate is
        // unknown, so that a stalled line costs next to nothing.
        const int rate = port->LineBytesPerSecond();
        const int needed = std::max(1, port->MaxSendSize() / 4);
        if (rate > 0) {
            waitMs = std::clamp(needed * 1000 / rate, 2, kQueueWaitMaxMs);
        } else {
            m_queueBackoffMs = std::clamp(m_queueBackoffMs * 2, 2, kQueueWaitMaxMs);
            waitMs = m_queueBackoffMs;
        }
    } else {
        // Room to write, or room in a queue that says when it has some.
        std::weak_ptr<bool> alive = m_alive;
        port->NotifyWritable([this, alive, generation] {
            if (auto token = alive.lock(); token && *token && generation == m_sendGeneration)
                OnSendData(generation);
        });
    }
    m_owner.Window().SetTimer(kQueueTimerId, waitMs);
}

void ZmodemSession::SendFileData()
{
    if (m_stopped || m_state != zsSending || m_inDataLoop)
        return;
    QvSerialPort* port = Port();
    if (!port)
        return;
    std::weak_ptr<bool> alive = m_alive;
    auto isAlive = [&alive] {
        auto token = alive.lock();
        return token && *token;
    };
    // Whichever of the writable notice and the retry timer came first, the
    // other is not needed now.
    port->NotifyWritable(nullptr);
    m_owner.Window().KillTimer(kQueueTimerId);

    m_inDataLoop = true;
    const WPARAM generation = m_sendGeneration;
    const auto turnEnd = SteadyNow() + kTurnBudget;
    std::size_t turnBytes = 0;
    enum
    {
        nextTurn,
        waitRoom,
        waitQueue
    } outcome = nextTurn;
    for (;;) {
        if (m_pendingOffset >= m_pendingLen) {
            if (!m_batchEnds.empty() && m_batchEnds.back().frameEnd == ZCRCE) {
                // The batch ended with ZEOF, now written too.
                m_inDataLoop = false;
                RememberSent(ZHeader::WithPosition(ZEOF, static_cast<std::uint32_t>(m_sendPos)),
                             BinaryFormat());
                AwaitEndOfFileAnswer();
                return;
            }
            if (turnBytes >= kTurnBytes || SteadyNow() >= turnEnd)
                break;
            // Where the queue is measured, no more than it has room for;
            // elsewhere what a write takes is the measure.
            std::size_t room = kBurstBytes;
            if (port->OutQueueMeasured()) {
                room = static_cast<std::size_t>(std::max(port->OutQueueFree(), 0));
                if (room < static_cast<std::size_t>(std::max(1, port->MaxSendSize() / 4))) {
                    outcome = waitQueue;
                    break;
                }
            }
            if (const int r = BuildBatch(room); r != 0) {
                m_inDataLoop = false;
                StopWithError(r);
                return;
            }
        }
        int written = 0;
        const int r = port->SendSome(m_pending.data() + m_pendingOffset,
                                     static_cast<int>(m_pendingLen - m_pendingOffset), written);
        if (r != 0) {
            m_inDataLoop = false;
            StopWithError(r);
            return;
        }
        if (written > 0) {
            m_pendingOffset += static_cast<std::size_t>(written);
            turnBytes += static_cast<std::size_t>(written);
            m_waitingSince = -1;
            m_queueBackoffMs = 0;
            BatchWritten();
            if (!isAlive())
                return;
            if (m_stopped || generation != m_sendGeneration)
                break;
        }
        if (m_pendingOffset < m_pendingLen && written == 0) {
            outcome = waitRoom;
            break;
        }
    }
    m_inDataLoop = false;
    ActOnDeferredRequests();
    if (m_stopped || m_state != zsSending || generation != m_sendGeneration)
        return;
    if (outcome == nextTurn) {
        PostMessage(m_owner.Handle(), MSG_SEND_DATA, m_sendGeneration, 0);
        return;
    }
    const std::int64_t now = Clock::Instance().MonotonicMs();
    if (m_waitingSince < 0) {
        m_waitingSince = now;
    } else if (now - m_waitingSince > kQueueWaitLimitMs) {
        StopWithError(506);
        return;
    }
    WaitForLine(outcome == waitQueue);
}

void ZmodemSession::ActOnDeferredRequests()
{
    if (m_rposPending) {
        m_rposPending = false;
        ResendFrom(m_rposPendingPos);
    } else if (m_skipPending) {
        m_skipPending = false;
        OnRemoteSkip();
    }
}

void ZmodemSession::OnResumeRequest(std::uint32_t p)
{
    std::weak_ptr<bool> alive = m_alive;
    m_owner.FireState(tsFileSendResumeAt, m_fileName, static_cast<int>(p));
    if (alive.expired() || !*alive.lock() || m_stopped)
        return;
    if (m_inDataLoop) {
        m_rposPending = true;
        m_rposPendingPos = p;
        return;
    }
    if (!m_file) {
        int code = 0;
        auto stream = std::make_unique<TQvFileStream>(m_fileName, code, fmOpenRead);
        if (code != 0) {
            StopWithError(code);
            return;
        }
        m_file = std::move(stream);
        m_readBufLen = 0;
    }
    ResendFrom(p);
}

void ZmodemSession::ResendFrom(std::uint32_t p)
{
    std::weak_ptr<bool> alive = m_alive;
    const std::int64_t size = FileSizeOnDisk();
    if (size < 0) {
        StopWithError(err::ReadWriteFailed);
        return;
    }
    // A position from the wire never leads outside the file.
    const std::int64_t position = static_cast<std::int64_t>(p) <= size ? p : 0;
    ++m_sendGeneration;
    m_owner.Window().KillTimer(kQueueTimerId);
    if (QvSerialPort* port = Port())
        port->NotifyWritable(nullptr);
    m_pendingLen = m_pendingOffset = 0;
    m_batchEnds.clear();
    SeekSend(position);
    m_sendSize = size;
    ProgressRow(toSending, position, TransferPercent(position, m_fileSize),
                m_cumulative - m_fileSize + position,
                TransferPercent(m_cumulative - m_fileSize + position, m_total));
    if (alive.expired() || !*alive.lock() || m_stopped)
        return;

    if (QvSerialPort* port = Port()) {
        if (const int r = port->Flush(true, true); r != 0) {
            StopWithError(r);
            return;
        }
    }
    m_decoder.ResetHeader();
    m_decoder.ResetSubpacket();
    m_headerAhead.clear();
    EnterState(zsWaitAck);
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::int64_t>(size - position, kMaxSendSubpacket));
    const std::uint8_t* data = nullptr;
    std::size_t available = 0;
    if (const int r = FileBytesAt(position, want, data, available); r != 0) {
        StopWithError(r);
        return;
    }
    const std::size_t n = SubpacketLength(data, want);
    const std::int64_t end = position + static_cast<std::int64_t>(n);
    if (SendFrame(ZHeader::WithPosition(ZDATA, static_cast<std::uint32_t>(position)), data, n, ZCRCW) != 0)
        return;
    m_ackExpected = end;
    m_subpacketsSinceZdata = 1;
    RestartTimeout();
}

void ZmodemSession::OnAckInWaitAck(std::uint32_t a)
{
    if (static_cast<std::int64_t>(a) != m_ackExpected)
        return;     // not the answer to our frame
    m_timeouts = 0; // the receiver is answering (see OnFileData)
    m_decoder.ResetHeader();
    SeekSend(a);
    if (m_sendPos >= m_sendSize) {
        // That frame carried the end of the file.
        SendEndOfFile();
        return;
    }
    StartStreaming();
}

bool ZmodemSession::SendEndOfFile()
{
    m_decoder.ResetHeader();
    if (SendBinaryHeader(ZHeader::WithPosition(ZEOF, static_cast<std::uint32_t>(m_sendPos))) != 0)
        return false;
    AwaitEndOfFileAnswer();
    return true;
}

void ZmodemSession::AwaitEndOfFileAnswer()
{
    m_decoder.ResetHeader();
    EnterState(zsWaitEofAck);
    RestartTimeout();
}

void ZmodemSession::OnEofAcknowledged()
{
    std::weak_ptr<bool> alive = m_alive;
    m_timeouts = 0;
    m_decoder.ResetHeader();
    const std::int64_t onDisk = std::max<std::int64_t>(FileSizeOnDisk(), 0);
    const bool last = m_fileIndex == Xfer().TotalFileCount();
    ProgressRow(toSending, onDisk, 100, m_cumulative, last ? 100 : TransferPercent(m_cumulative, m_total));
    if (alive.expired() || !*alive.lock() || m_stopped)
        return;
    m_owner.FireState(tsFileSendDone, m_fileName, 0);
    if (alive.expired() || !*alive.lock() || m_stopped)
        return;
    CloseTransferFile();
    NextFileOrFinish();
    if (!m_stopped && m_state != zsIdle)
        RestartTimeout();
}

void ZmodemSession::OnRemoteSkip()
{
    if (m_inDataLoop) {
        m_skipPending = true;
        return;
    }
    std::weak_ptr<bool> alive = m_alive;
    m_decoder.ResetHeader();
    ++m_sendGeneration;
    m_owner.Window().KillTimer(kQueueTimerId);
    if (QvSerialPort* port = Port())
        port->NotifyWritable(nullptr);
    m_pendingLen = m_pendingOffset = 0;
    m_batchEnds.clear();
    m_owner.FireState(tsFileSendRemoteSkipped, m_fileName, 0);
    if (alive.expired() || !*alive.lock() || m_stopped)
        return;
    const std::int64_t onDisk = std::max<std::int64_t>(FileSizeOnDisk(), 0);
    const bool last = m_fileIndex == Xfer().TotalFileCount();
    ProgressRow(toSending, onDisk, 100, m_cumulative, last ? 100 : TransferPercent(m_cumulative, m_total));
    if (alive.expired() || !*alive.lock() || m_stopped)
        return;
    CloseTransferFile();
    NextFileOrFinish();
    if (!m_stopped && m_state != zsIdle)
        RestartTimeout();
}

void ZmodemSession::NextFileOrFinish()
{
    // The one place where the list moves on.
    ++m_nextIndex;
    if (m_nextIndex < static_cast<int>(m_list.size()))
        SendFileHeader();
    else
        SendFinish();
}

bool ZmodemSession::SendFinish()
{
    if (SendHexHeader(ZHeader::WithPosition(ZFIN, 0)) != 0)
        return false;
    m_fileIndex = 0;
    m_finAttempts = 1;
    EnterState(zsWaitFin);
    return true;
}

} // namespace qv
