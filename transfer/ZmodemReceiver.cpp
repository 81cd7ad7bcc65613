// The receiving side: the handshake, the announced file against the receive
// folder and its policies, the check before a resume, the data, the end of
// each file.
#include "transfer/ZmodemSession.h"

#include "common/Clock.h"
#include "common/ErrorCodes.h"
#include "transfer/ZmodemFileInfo.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace qv {

using namespace zm;

void ZmodemSession::BeginReceiveOperation()
{
    QvFile& owner = m_owner;
    if (owner.m_mode != omReceiving) {
        m_stopped = false;
        m_abort = false;
        ++m_operation;
        m_written.clear();
        owner.FireState(tsReceiveModeStart, QString(), 0);
    }
    owner.m_mode = omReceiving;
    m_decoder.ResetHeader();
    RestartTimeout();
    m_firstFile = true;
    m_cumulative = 0;
    m_fileIndex = 0;
    Xfer().m_fileSize = 0;
    Xfer().m_totalFileCount = 0;
    Xfer().m_totalFileSize = 0;
    m_timeouts = 0;
    m_retries = 0;
    m_expectOO = false;
}

bool ZmodemSession::SendReceiverInit(bool afterFile)
{
    // Full duplex, overlapped I/O, break, LZW (files asking for it are
    // skipped), and CRC-32. A sender that can uses CRC-32 for its frames:
    // with CRC-16, a subpacket followed by its own CRC leaves the register
    // at zero, where a fresh one starts, so when a noisy line drops the ZDLE
    // before a frame end two subpackets pass as one and the data after them
    // lands out of place; CRC-32 leaves a residue that is not its start, and
    // catches that as it catches any other damage but one in four billion.
    const ZHeader h = ZHeader::WithFlags(ZRINIT, CANFDX | CANOVIO | CANBRK | CANLZW | CANFC32);
    if (SendHexHeader(h) != 0)
        return false;
    m_decoder.ResetHeader();
    m_decoder.ResetSubpacket();
    EnterState(afterFile ? zsWaitFin : zsWaitFile);
    return true;
}

void ZmodemSession::OnFileHeader(const ZHeader& h, std::uint8_t format)
{
    m_fileName.clear();
    m_zfileTransport = h.p[kZFileTransportByte];
    m_decoder.ResetHeader();
    m_decoder.ResetSubpacket();
    m_decoder.SetSubpacketCrc32(format == ZBIN32);
    EnterState(zsGetFileInfo);
    RestartTimeout();
}

void ZmodemSession::ProcessFileInfo(const std::uint8_t* data, std::size_t n)
{
    TTransfer& xfer = Xfer();
    m_fileName.clear();
    CloseTransferFile();
    const FileAnnouncement a = ParseFileAnnouncement(data, n);
    const std::int64_t size = a.hasSize ? a.size : 0;
    m_cumulative += size;
    // The date is seconds since 1970 in UTC, whatever zone either side is in.
    m_fileDate =
        (a.hasDate && a.date != 0) ? QDateTime::fromSecsSinceEpoch(a.date, Qt::UTC) : Clock::Instance().Now();
    if (m_firstFile) {
        m_firstFile = false;
        xfer.m_totalFileSize = static_cast<int>(size);
        xfer.m_totalFileCount = 1;
        if (a.hasFiles)
            xfer.m_totalFileCount = a.files != 0 ? a.files : 1;
        if (a.hasBytes)
            xfer.m_totalFileSize = a.bytes != 0 ? a.bytes : static_cast<int>(size);
    }
    ++m_fileIndex;
    m_fileSize = size;
    xfer.m_fileSize = static_cast<int>(size);

    m_announcedName = a.name;
    QString name = SafeReceivedName(a.name);
    bool skip = name.isEmpty();
    if (!skip && m_owner.m_onValidate && !Destroying()) {
        QByteArray wanted = name.toUtf8();
        QDateTime date = m_fileDate;
        bool skipThis = false;
        TTransferValidateReceivedFileEvent handler = m_owner.m_onValidate;
        handler(&m_owner, wanted, date, static_cast<int>(size), skipThis);
        if (!Alive())
            return;
        name = SafeReceivedName(wanted);
        m_fileDate = date;
        skip = skipThis || name.isEmpty();
    }
    // Compressed or encrypted transports are not provided.
    if (m_zfileTransport != 0)
        skip = true;
    m_incomingName = name;
    if (skip) {
        ActOnFile(faSkip, 0);
        return;
    }

    // The folder is opened once for the file: every look and the open go
    // through this descriptor, never through the folder's path again.
    int code = 0;
    m_folder = std::make_unique<TFolderHandle>(xfer.ReceiveFolder(), code, m_owner.IsUnicodeAvailable());
    if (code != 0) {
        m_folder.reset();
        m_fileName = xfer.ReceiveFolder(); // the report names the folder
        StopWithError(code);
        return;
    }
    DecideAndAct(xfer.ReceiveExistingFiles());
}

void ZmodemSession::DecideAndAct(TReceiveExistingFiles policy)
{
    TTransfer& xfer = Xfer();
    const TFolderHandle::Entry entry = m_folder->Look(m_incomingName);
    if (!entry.exists) {
        ActOnFile(faCreate, 0);
        return;
    }
    if (!entry.plainFile) {
        // A link, folder or device under that name is never written through.
        policy = policy == efSkip ? efSkip : efCreateWithNewName;
    } else if (const auto it = m_written.constFind(m_incomingName);
               it != m_written.constEnd() && *it != m_announcedName && policy != efSkip) {
        // Two files of this operation that only share their stored name: the
        // later one never replaces the earlier.
        policy = efCreateWithNewName;
    }
    const std::int64_t announcedDate = m_fileDate.toSecsSinceEpoch();
    if (policy == efResumeTransfer) {
        if (m_fileSize < entry.size)
            policy = xfer.ResumedTransferAlternative();
        else if (xfer.ResumedTransferCheckDate() && entry.modified != announcedDate)
            policy = xfer.ResumedTransferAlternative();
        else if (entry.size == 0)
            return ActOnFile(faResume, 0); // nothing in place to check
        else
            return AskForResumeCheck(entry.size);
    }
    switch (policy) {
    case efCreateWithNewName: {
        const QString name = m_incomingName;
        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
        const QString base = dot > 0 ? name.left(dot) : name;
        const QString ext = dot > 0 ? name.mid(dot) : QString();
        for (int i = 0; i < 100000; ++i) {
            const QString candidate = base + QString::number(i) + ext;
            if (candidate.toUtf8().size() > kMaxFileNameBytes)
                break;
            if (!m_folder->Look(candidate).exists) {
                m_incomingName = candidate;
                return ActOnFile(faCreate, 0);
            }
        }
        return ActOnFile(faSkip, 0);
    }
    case efOverwrite:
        return ActOnFile(faReplace, 0);
    case efOverwriteIfNewer:
        return ActOnFile(entry.modified < announcedDate ? faReplace : faSkip, 0);
    case efSkip:
    case efResumeTransfer:
        break;
    }
    ActOnFile(faSkip, 0);
}

void ZmodemSession::AskForResumeCheck(std::int64_t length)
{
    // One byte in common says nothing about the rest: before the file in
    // place is taken as the start of this one, the sender is asked for the
    // CRC-32 of as many bytes, and both sums are worked out meanwhile.
    int code = 0;
    m_fileName = Xfer().ReceiveFolder() + m_incomingName;
    m_file = m_folder->OpenFile(m_incomingName, false, code);
    if (code != 0) {
        m_folder.reset();
        StopWithError(code);
        return;
    }
    m_resumeLength = length;
    m_resumeLocalDone = false;
    m_resumeRemoteKnown = false;
    if (SendHexHeader(ZHeader::WithPosition(ZCRC, static_cast<std::uint32_t>(length))) != 0)
        return;
    m_decoder.ResetHeader();
    EnterState(zsWaitCrc);
    RestartTimeout();
    StartCrcScan(length);
}

void ZmodemSession::OnCrcAnswer(std::uint32_t crc)
{
    m_resumeRemoteCrc = crc;
    m_resumeRemoteKnown = true;
    m_decoder.ResetHeader();
    TimerOff();
    if (m_resumeLocalDone)
        ResumeVerdict(true);
}

void ZmodemSession::ResumeVerdict(bool answered)
{
    CancelCrcScan();
    const bool same =
        answered && m_resumeLocalDone && m_resumeLocalCrc == m_resumeRemoteCrc && m_crcDone == m_resumeLength;
    if (same) {
        // The file in place is this file's start; of the same size, it is
        // this file.
        if (m_resumeLength >= m_fileSize) {
            CloseTransferFile();
            ActOnFile(faSkip, 0);
        } else {
            ActOnFile(faResume, m_resumeLength);
        }
        return;
    }
    CloseTransferFile();
    m_owner.FireState(tsFileReceiveNotResumed, m_fileName, answered ? 0 : 1);
    if (!Alive() || m_stopped || !m_folder)
        return;
    m_fileName.clear();
    DecideAndAct(Xfer().ResumedTransferAlternative());
}

void ZmodemSession::ActOnFile(FileAction action, std::int64_t existing)
{
    TTransfer& xfer = Xfer();
    const QString folder = xfer.ReceiveFolder();
    const QString target = folder + m_incomingName;
    const bool skip = action == faSkip;
    m_owner.FireState(tsFileReceiveBegin, skip && m_incomingName.isEmpty() ? folder : target, skip ? 1 : 0);
    if (!Alive() || m_stopped)
        return;
    if (skip) {
        CloseTransferFile();
        m_folder.reset();
        SkipAnnouncedFile();
        return;
    }

    m_fileName = target;
    int code = 0;
    if (action == faCreate)
        m_file = m_folder->CreateFile(m_incomingName, code);
    else if (action == faReplace)
        m_file = m_folder->OpenFile(m_incomingName, true, code);
    else if (!m_file)
        m_file = m_folder->OpenFile(m_incomingName, false, code);
    m_folder.reset();
    if (code == 0 && (!m_file || !m_file->SetPosition(existing)))
        code = err::ReadWriteFailed;
    if (code != 0) {
        CloseTransferFile();
        m_fileName.clear();
        StopWithError(code);
        return;
    }
    m_written.insert(m_incomingName, m_announcedName);
    m_position = existing;
    ProgressRow(toReceiving, 0, 0, m_cumulative - m_fileSize + existing,
                TransferPercent(m_cumulative - m_fileSize + existing, xfer.TotalFileSize()));
    if (!Alive() || m_stopped)
        return;
    m_decoder.ResetHeader();
    AskForPosition();
}

void ZmodemSession::SkipAnnouncedFile()
{
    TTransfer& xfer = Xfer();
    const bool last = m_fileIndex == xfer.TotalFileCount();
    ProgressRow(toReceiving, m_fileSize, 100, m_cumulative,
                last ? 100 : TransferPercent(m_cumulative, xfer.TotalFileSize()));
    if (m_stopped && m_state == zsIdle)
        return;
    m_fileName.clear();
    m_fileSize = 0;
    xfer.m_fileSize = 0;
    if (SendHexHeader(ZHeader::WithPosition(ZSKIP, 0)) != 0)
        return;
    m_decoder.ResetHeader();
    m_decoder.ResetSubpacket();
    EnterState(zsWaitFile);
}

bool ZmodemSession::AskForPosition()
{
    if (SendHexHeader(ZHeader::WithPosition(ZRPOS, static_cast<std::uint32_t>(m_position))) != 0)
        return false;
    m_decoder.ResetHeader();
    m_decoder.ResetSubpacket();
    EnterState(zsWaitData);
    return true;
}

void ZmodemSession::OnZdataHeader(std::uint32_t position, std::uint8_t format)
{
    m_decoder.ResetHeader();
    m_decoder.ResetSubpacket();
    if (!m_file)
        return;
    if (position != m_position) {
        // Data for another place: nothing is written out of place.
        if (CountRetry())
            AskForPosition();
        return;
    }
    m_decoder.SetSubpacketCrc32(format == ZBIN32);
    m_rowPos = -1;
    EnterState(zsGetData);
    RestartTimeout();
}

bool ZmodemSession::FlushReceived()
{
    if (m_fileBufLen == 0 || !m_file)
        return true;
    const qint64 n = static_cast<qint64>(m_fileBufLen);
    m_fileBufLen = 0;
    if (m_file->Write(m_fileBuf.data(), n) == n)
        return true;
    StopWithError(err::ReadWriteFailed);
    return false;
}

void ZmodemSession::OnFileData(const std::uint8_t* data, std::size_t n, std::uint8_t frameEnd)
{
    if (!m_file)
        return;
    // Subpackets are short (a "~" ends one); they reach the file in bigger
    // writes, and always by the end of a frame.
    constexpr std::size_t kFileBufSize = 64 * 1024;
    if (m_fileBuf.size() < kFileBufSize)
        m_fileBuf.resize(kFileBufSize);
    if (m_fileBufLen + n > m_fileBuf.size() && !FlushReceived())
        return;
    std::memcpy(m_fileBuf.data() + m_fileBufLen, data, n);
    m_fileBufLen += n;
    if (frameEnd != ZCRCG && !FlushReceived())
        return;
    m_position += static_cast<std::int64_t>(n);
    // The remote is answering: the time-out allowance counts silences in a
    // row, so a long transfer over a noisy line is not ended by the sum of
    // the few it needed.
    m_timeouts = 0;
    m_decoder.ResetHeader();

    const auto position = static_cast<std::uint32_t>(m_position);
    switch (frameEnd) {
    case ZCRCW:
        if (SendHexHeader(ZHeader::WithPosition(ZACK, position)) != 0)
            return;
        EnterState(zsWaitData);
        break;
    case ZCRCQ:
        if (SendHexHeader(ZHeader::WithPosition(ZACK, position)) != 0)
            return;
        break;
    case ZCRCE:
        // The frame has ended: a header (ZEOF, or ZDATA) comes next.
        EnterState(zsWaitData);
        break;
    default:
        break;
    }
    RestartTimeout();
    if (m_position < m_fileSize && ProgressDue(m_position)) {
        const std::int64_t total = m_cumulative - m_fileSize + m_position;
        ProgressRow(toReceiving, m_position, TransferPercent(m_position, m_fileSize), total,
                    TransferPercent(total, Xfer().TotalFileSize()));
    }
}

void ZmodemSession::OnEndOfFile(std::uint32_t position)
{
    if (!m_file)
        return;
    if (position != m_position) {
        // A gap or an overlap: this is not the end of what we hold.
        if (CountRetry())
            AskForPosition();
        return;
    }

    // The size and the date go through the descriptor; the file is complete
    // only once it is closed without error.
    TTransfer& xfer = Xfer();
    if (!FlushReceived())
        return;
    if (!m_file->SetSize(m_position)) {
        StopWithError(err::ReadWriteFailed);
        return;
    }
    if (xfer.ReceiveFileDateTime() == dtUseOriginal)
        ApplyFileDate();
    const int copy = ::dup(m_file->Handle());
    const bool closed = copy >= 0 && ::close(copy) == 0;
    if (!closed) {
        StopWithError(err::ReadWriteFailed);
        return;
    }
    CloseTransferFile();
    if (!SendReceiverInit(true))
        return;

    const bool last = m_fileIndex == xfer.TotalFileCount();
    ProgressRow(toReceiving, m_position, 100, m_cumulative,
                last ? 100 : TransferPercent(m_cumulative, xfer.TotalFileSize()));
    if (!Alive() || m_stopped)
        return;
    m_owner.FireState(tsFileReceiveDone, m_fileName, 0);
}

void ZmodemSession::ApplyFileDate()
{
    const QDateTime low(QDate(1980, 1, 1), QTime(0, 0), Qt::UTC);
    const QDateTime high(QDate(2107, 1, 1), QTime(0, 0), Qt::UTC);
    if (!m_fileDate.isValid() || m_fileDate < low || m_fileDate > high)
        return;
    m_file->SetFileTime(m_fileDate.toSecsSinceEpoch()); // failures are ignored
}

} // namespace qv
