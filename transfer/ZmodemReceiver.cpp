// The receiving side: the handshake, the announced file against the receive
// folder and its policies, the data, the end of each file.
#include "transfer/ZmodemSession.h"

#include "common/Clock.h"
#include "common/ErrorCodes.h"
#include "transfer/ZmodemFileInfo.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qv {

using namespace zm;

namespace {

QDateTime EpochLocal()
{
    return QDateTime(QDate(1970, 1, 1), QTime(0, 0), Qt::LocalTime);
}

// What lies in the receive folder under a name, seen without following a
// symbolic link.
struct FolderEntry
{
    bool exists = false;
    bool regular = false;
    QDateTime modified; // local, whole seconds
};

FolderEntry LookAt(const QString& path)
{
    FolderEntry entry;
    struct stat st
    {
    };
    const QByteArray encoded = QFile::encodeName(path);
    if (::lstat(encoded.constData(), &st) != 0)
        return entry;
    entry.exists = true;
    entry.regular = S_ISREG(st.st_mode);
    entry.modified = QDateTime::fromSecsSinceEpoch(st.st_mtime, Qt::LocalTime);
    return entry;
}

// The opened file must be the regular file now at `path`, not something a
// symbolic link planted meanwhile leads to.
bool SameRegularFile(int fd, const QString& path)
{
    struct stat byFd
    {
    };
    struct stat byName
    {
    };
    const QByteArray encoded = QFile::encodeName(path);
    if (::fstat(fd, &byFd) != 0 || ::lstat(encoded.constData(), &byName) != 0)
        return false;
    return S_ISREG(byName.st_mode) && byFd.st_dev == byName.st_dev && byFd.st_ino == byName.st_ino;
}

} // namespace

void ZmodemSession::BeginReceiveOperation()
{
    QvFile& owner = m_owner;
    if (owner.m_mode != omReceiving) {
        m_stopped = false;
        m_abort = false;
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
    // Full duplex, overlapped I/O, break, and LZW (files asking for it are
    // skipped); no CRC-32, so a sender keeps to CRC-16.
    const ZHeader h = ZHeader::WithFlags(ZRINIT, CANFDX | CANOVIO | CANBRK | CANLZW);
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
    std::weak_ptr<bool> alive = m_alive;
    auto isAlive = [&alive] {
        auto token = alive.lock();
        return token && *token;
    };

    m_fileName.clear();
    const FileAnnouncement a = ParseFileAnnouncement(data, n);
    const std::int64_t size = a.hasSize ? a.size : 0;
    m_cumulative += size;
    m_fileDate = (a.hasDate && a.date != 0) ? EpochLocal().addSecs(a.date) : Clock::Instance().Now();
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

    const QString folder = xfer.ReceiveFolder();
    QString name = SafeReceivedName(a.name);
    bool skip = name.isEmpty();
    if (!skip && m_owner.m_onValidate && !Destroying()) {
        QByteArray wanted = name.toUtf8();
        QDateTime date = m_fileDate;
        bool skipThis = false;
        TTransferValidateReceivedFileEvent handler = m_owner.m_onValidate;
        handler(&m_owner, wanted, date, static_cast<int>(size), skipThis);
        if (!isAlive())
            return;
        name = SafeReceivedName(wanted);
        m_fileDate = date;
        skip = skipThis || name.isEmpty();
    }
    // Compressed or encrypted transports are not provided.
    if (m_zfileTransport != 0)
        skip = true;

    QString target = folder + name;
    bool resume = false;
    std::int64_t existing = 0;
    if (!skip) {
        const FolderEntry entry = LookAt(target);
        TReceiveExistingFiles policy = xfer.ReceiveExistingFiles();
        if (entry.exists && !entry.regular) {
            // A link, folder or device under that name is never opened.
            policy = policy == efSkip ? efSkip : efCreateWithNewName;
        } else if (entry.exists && policy == efResumeTransfer) {
            int code = 0;
            {
                TQvFileStream probe(target, code, fmOpenReadWrite);
                if (code == 0)
                    existing = probe.Size();
            }
            if (code != 0 || existing < 0) {
                StopWithError(code != 0 ? code : err::ReadWriteFailed);
                return;
            }
            if (size < existing)
                policy = xfer.ResumedTransferAlternative();
            else if (size == existing)
                policy = efSkip;
            else if (xfer.ResumedTransferCheckDate() && entry.modified != m_fileDate)
                policy = xfer.ResumedTransferAlternative();
            else
                resume = true;
        }
        if (entry.exists && !resume) {
            switch (policy) {
            case efCreateWithNewName: {
                const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
                const QString base = dot > 0 ? name.left(dot) : name;
                const QString ext = dot > 0 ? name.mid(dot) : QString();
                skip = true;
                for (int i = 0; i < 100000; ++i) {
                    const QString candidate = base + QString::number(i) + ext;
                    if (candidate.toUtf8().size() > kMaxFileNameBytes)
                        break;
                    if (!LookAt(folder + candidate).exists) {
                        name = candidate;
                        target = folder + candidate;
                        skip = false;
                        break;
                    }
                }
                break;
            }
            case efOverwrite:
                break;
            case efOverwriteIfNewer:
                skip = !(entry.modified < m_fileDate);
                break;
            case efSkip:
            case efResumeTransfer:
                skip = true;
                break;
            }
        }
    }

    m_owner.FireState(tsFileReceiveBegin, skip ? (name.isEmpty() ? folder : target) : target, skip ? 1 : 0);
    if (!isAlive())
        return;
    if (skip) {
        SkipAnnouncedFile();
        return;
    }

    m_fileName = target;
    const int code = OpenReceiveTarget(resume, existing);
    if (code != 0) {
        m_fileName.clear();
        StopWithError(code);
        return;
    }
    const std::int64_t start = m_position;
    ProgressRow(toReceiving, 0, 0, m_cumulative - size + start,
                TransferPercent(m_cumulative - size + start, xfer.TotalFileSize()));
    if (!isAlive() || m_stopped)
        return;
    m_decoder.ResetHeader();
    AskForPosition();
}

int ZmodemSession::OpenReceiveTarget(bool resume, std::int64_t existingSize)
{
    int code = 0;
    auto stream = std::make_unique<TQvFileStream>(m_fileName, code, resume ? fmOpenReadWrite : fmCreate);
    if (code != 0)
        return code;
    if (!SameRegularFile(stream->Handle(), m_fileName))
        return err::Protected;
    m_position = 0;
    m_verifyResumeByte = false;
    if (resume && existingSize > 0) {
        // Ask from one byte before the end, and hold that byte: the sender's
        // byte there must match, or the file on disk is not a prefix of the
        // one being sent.
        std::uint8_t byte = 0;
        if (!stream->SetPosition(existingSize - 1) || stream->Read(&byte, 1) != 1 ||
            !stream->SetPosition(existingSize - 1))
            return err::ReadWriteFailed;
        m_resumeByte = byte;
        m_verifyResumeByte = true;
        m_position = existingSize - 1;
    }
    m_file = std::move(stream);
    return 0;
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
    EnterState(zsGetData);
    RestartTimeout();
}

void ZmodemSession::OnFileData(const std::uint8_t* data, std::size_t n, std::uint8_t frameEnd)
{
    if (!m_file)
        return;
    if (m_verifyResumeByte && n > 0) {
        if (data[0] != m_resumeByte) {
            // Keep the file on disk exactly as it is.
            CloseTransferFile();
            StopWithError(err::Failed);
            return;
        }
        m_verifyResumeByte = false;
    }
    if (n > 0 && m_file->Write(data, static_cast<qint64>(n)) != static_cast<qint64>(n)) {
        StopWithError(err::ReadWriteFailed);
        return;
    }
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
    if (m_position < m_fileSize) {
        const std::int64_t total = m_cumulative - m_fileSize + m_position;
        ProgressRow(toReceiving, m_position, TransferPercent(m_position, m_fileSize), total,
                    TransferPercent(total, Xfer().TotalFileSize()));
    }
}

void ZmodemSession::OnEndOfFile(std::uint32_t position)
{
    if (!m_file)
        return;
    if (position != m_position || m_verifyResumeByte) {
        if (m_verifyResumeByte && position == m_position) {
            // The sender's file ends before ours does.
            CloseTransferFile();
            StopWithError(err::Failed);
            return;
        }
        // A gap or an overlap: this is not the end of what we hold.
        if (CountRetry())
            AskForPosition();
        return;
    }

    // The file is complete only once it is closed without error.
    const int fd = m_file->Handle();
    const int copy = ::dup(fd);
    const bool closed = copy >= 0 && ::close(copy) == 0;
    CloseTransferFile();
    if (!closed) {
        StopWithError(err::ReadWriteFailed);
        return;
    }
    if (!SendReceiverInit(true))
        return;

    std::weak_ptr<bool> alive = m_alive;
    TTransfer& xfer = Xfer();
    const bool last = m_fileIndex == xfer.TotalFileCount();
    ProgressRow(toReceiving, m_position, 100, m_cumulative,
                last ? 100 : TransferPercent(m_cumulative, xfer.TotalFileSize()));
    if (alive.expired() || !*alive.lock() || m_stopped)
        return;
    m_owner.FireState(tsFileReceiveDone, m_fileName, 0);
    if (alive.expired() || !*alive.lock() || m_stopped)
        return;
    if (xfer.ReceiveFileDateTime() == dtUseOriginal)
        ApplyFileDate();
}

void ZmodemSession::ApplyFileDate()
{
    const QDateTime low(QDate(1980, 1, 1), QTime(0, 0), Qt::LocalTime);
    const QDateTime high(QDate(2107, 1, 1), QTime(0, 0), Qt::LocalTime);
    if (!m_fileDate.isValid() || m_fileDate < low || m_fileDate > high)
        return;
    // File dates go in two-second steps, as the announcement carries them.
    QDateTime stamp = m_fileDate;
    stamp.setTime(QTime(stamp.time().hour(), stamp.time().minute(), stamp.time().second() & ~1));
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(stamp.toSecsSinceEpoch());
    times[0].tv_nsec = times[1].tv_nsec = 0;
    const QByteArray encoded = QFile::encodeName(m_fileName);
    ::utimensat(AT_FDCWD, encoded.constData(), times, AT_SYMLINK_NOFOLLOW); // failures are ignored
}

} // namespace qv
