#include "common/FileStream.h"

#include "common/ErrorCodes.h"

#include <QFile>
#include <QStringView>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qv {

namespace {

WideFileApiProbe& ProbeInForce()
{
    static WideFileApiProbe probe;
    return probe;
}

constexpr int AccessOf(quint16 mode)
{
    return mode & 0x3;
}
constexpr int SharingOf(quint16 mode)
{
    return (mode >> 4) & 0xF;
}

// Keeps errno across the clean-up calls of a failure path.
void CloseKeepingErrno(int fd)
{
    const int saved = errno;
    ::close(fd);
    errno = saved;
}

// Only regular files are ours to open. A directory fails the way the other
// platform reports it (access denied); anything else is not a file at all.
bool RefuseUnlessRegular(const struct stat& st)
{
    if (S_ISREG(st.st_mode))
        return true;
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
}

int LockedCall(int fd, int operation)
{
    int rc;
    do {
        rc = ::flock(fd, operation | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// Takes the advisory lock that stands for the open's sharing. The first lock
// doubles as the check that nobody denies what this open wants to do: a
// writer needs nobody to hold any lock, a reader nobody to hold the exclusive
// one. Returns false (errno EWOULDBLOCK) when another open is in the way.
bool ApplySharing(int fd, bool writeAccess, int sharing)
{
    const int hold = sharing == 2 ? LOCK_SH : sharing == 4 ? LOCK_UN : LOCK_EX;
    const int first = (writeAccess || hold == LOCK_EX) ? LOCK_EX : LOCK_SH;
    if (LockedCall(fd, first) != 0) {
        if (errno == EWOULDBLOCK)
            return false;
        // The file system keeps no advisory locks (ENOLCK, EOPNOTSUPP): the
        // file is still usable, only unguarded.
        return true;
    }
    if (hold != first && LockedCall(fd, hold) != 0 && errno == EWOULDBLOCK)
        return false;
    return true;
}

int OpenRetrying(const char* path, int flags, mode_t permissions = 0)
{
    int fd;
    do {
        fd = ::open(path, flags, permissions);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Opened non-blocking so that a FIFO swapped in behind the name cannot hang
// the open; a regular file does not care, and the flag is cleared again.
bool FinishOpen(int fd)
{
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !RefuseUnlessRegular(st))
        return false;
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

} // namespace

void SetWideFileApiProbe(WideFileApiProbe probe)
{
    ProbeInForce() = std::move(probe);
}

bool IsValidOpenMode(quint16 mode)
{
    return mode == fmCreate || (AccessOf(mode) <= 2 && SharingOf(mode) <= 4);
}

bool EncodeFileName(const QString& name, bool useWideApi, QByteArray& encoded)
{
    if (useWideApi) {
        if (const WideFileApiProbe& probe = ProbeInForce()) {
            if (const int error = probe()) {
                errno = error;
                return false;
            }
        }
    }
    // A NUL would cut the name short and a lone surrogate has no encoding;
    // either would reach a different file than the one asked for.
    if (name.contains(QChar(u'\0')) || !QStringView(name).isValidUtf16()) {
        errno = EILSEQ;
        return false;
    }
    if (useWideApi) {
        encoded = QFile::encodeName(name);
        return true;
    }
    encoded = name.toLocal8Bit();
    if (QString::fromLocal8Bit(encoded) != name) {
        // The code page replaced a character it cannot carry.
        errno = EILSEQ;
        return false;
    }
    return true;
}

FileHandle CreateNewFile(const QString& name, bool useWideApi)
{
    QByteArray path;
    if (!EncodeFileName(name, useWideApi, path))
        return InvalidFileHandle;
    struct stat st
    {
    };
    if (::stat(path.constData(), &st) == 0 && !RefuseUnlessRegular(st))
        return InvalidFileHandle;

    // No O_TRUNC: the old contents may only go once this open holds the file
    // exclusively, or a create would wipe a file that another stream holds.
    const int fd = OpenRetrying(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0)
        return InvalidFileHandle;
    if (!FinishOpen(fd) || !ApplySharing(fd, true, 0) || ::ftruncate(fd, 0) != 0) {
        CloseKeepingErrno(fd);
        return InvalidFileHandle;
    }
    return fd;
}

FileHandle OpenExistingFile(const QString& name, quint16 mode, bool useWideApi)
{
    if (mode == fmCreate || !IsValidOpenMode(mode)) {
        errno = EINVAL;
        return InvalidFileHandle;
    }
    QByteArray path;
    if (!EncodeFileName(name, useWideApi, path))
        return InvalidFileHandle;
    // Looking first keeps the open from ever touching a device (a tty would
    // see its control lines move).
    struct stat st
    {
    };
    if (::stat(path.constData(), &st) != 0 || !RefuseUnlessRegular(st))
        return InvalidFileHandle;

    static constexpr int kAccessFlags[] = {O_RDONLY, O_WRONLY, O_RDWR};
    const int access = AccessOf(mode);
    const int fd = OpenRetrying(path.constData(), kAccessFlags[access] | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return InvalidFileHandle;
    if (!FinishOpen(fd) || !ApplySharing(fd, access != 0, SharingOf(mode))) {
        CloseKeepingErrno(fd);
        return InvalidFileHandle;
    }
    return fd;
}

// ---------------------------------------------------------------- stream

TQvFileStream::TQvFileStream(const QString& fileName, int& errorCode, quint16 mode)
{
    errorCode = err::Failed;
    if (!IsValidOpenMode(mode)) {
        errorCode = err::InvalidArgument;
        return;
    }
    const auto open = [&](bool wide) {
        return mode == fmCreate ? CreateNewFile(fileName, wide) : OpenExistingFile(fileName, mode, wide);
    };
    FileHandle handle = open(true);
    if (!IsValidFileHandle(handle)) {
        int osError = LastOsError();
        if (osError == oserr::CallNotImplemented) {
            // The platform has no wide-name calls: this file goes through
            // the code page instead.
            m_wideApi = false;
            handle = open(false);
            if (!IsValidFileHandle(handle))
                osError = LastOsError();
        }
        if (!IsValidFileHandle(handle)) {
            OSErrorToErrorCode(osError);
            errorCode = osError;
            return;
        }
    }
    m_handle = handle;
    m_fileName = fileName;
    errorCode = err::Success;
}

TQvFileStream::TQvFileStream(FileHandle handle, const QString& fileName)
    : m_handle(handle), m_fileName(fileName)
{}

TQvFileStream::~TQvFileStream()
{
    if (IsOpen())
        ::close(m_handle);
}

bool TQvFileStream::Fail()
{
    m_lastError = LastErrorCode();
    return false;
}

qint64 TQvFileStream::Read(void* buffer, qint64 count)
{
    if (count < 0) {
        m_lastError = err::InvalidArgument;
        return -1;
    }
    auto* bytes = static_cast<char*>(buffer);
    qint64 done = 0;
    while (done < count) {
        const ssize_t n = ::read(m_handle, bytes + done, size_t(count - done));
        if (n > 0) {
            done += n;
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            // What was read so far is good; the failure repeats on the next call.
            if (done > 0)
                break;
            Fail();
            return -1;
        }
    }
    return done;
}

qint64 TQvFileStream::Write(const void* buffer, qint64 count)
{
    if (count < 0) {
        m_lastError = err::InvalidArgument;
        return -1;
    }
    const auto* bytes = static_cast<const char*>(buffer);
    qint64 done = 0;
    while (done < count) {
        const ssize_t n = ::write(m_handle, bytes + done, size_t(count - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n == 0)
                errno = ENOSPC;
            Fail();
            return -1;
        }
    }
    return done;
}

qint64 TQvFileStream::Seek(qint64 offset, TSeekOrigin origin)
{
    const int whence = origin == soCurrent ? SEEK_CUR : origin == soEnd ? SEEK_END : SEEK_SET;
    const off_t position = ::lseek(m_handle, off_t(offset), whence);
    if (position < 0) {
        Fail();
        return -1;
    }
    return qint64(position);
}

qint64 TQvFileStream::Size()
{
    struct stat st
    {
    };
    if (::fstat(m_handle, &st) != 0) {
        Fail();
        return -1;
    }
    return qint64(st.st_size);
}

bool TQvFileStream::SetSize(qint64 size)
{
    int rc;
    do {
        rc = ::ftruncate(m_handle, off_t(size));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 || Fail();
}

bool TQvFileStream::SetFileTime(qint64 secondsSinceEpoch)
{
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(secondsSinceEpoch);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    return ::futimens(m_handle, times) == 0 || Fail();
}

// ---------------------------------------------------------------- folder

namespace {

// Something other than a plain file where one was wanted is not ours to
// write: the name reads as protected.
constexpr int kNotAPlainFile = err::Protected;

} // namespace

TFolderHandle::TFolderHandle(const QString& folder, int& errorCode, bool useWideApi)
    : m_folder(folder), m_wideApi(useWideApi)
{
    QByteArray path;
    if (!Encode(folder.isEmpty() ? QStringLiteral(".") : folder, path)) {
        errorCode = LastErrorCode();
        return;
    }
    const int fd = OpenRetrying(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        errorCode = LastErrorCode();
        return;
    }
    // Asked now, so that a folder that takes no files is reported as such
    // before any file is announced into it.
    if (::faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        ::close(fd);
        errorCode = kNotAPlainFile;
        return;
    }
    m_fd = fd;
    errorCode = err::Success;
}

TFolderHandle::~TFolderHandle()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TFolderHandle::Encode(const QString& name, QByteArray& encoded) const
{
    if (m_wideApi && EncodeFileName(name, true, encoded))
        return true;
    if (m_wideApi && errno != ENOSYS)
        return false;
    return EncodeFileName(name, false, encoded);
}

TFolderHandle::Entry TFolderHandle::Look(const QString& name) const
{
    Entry entry;
    QByteArray encoded;
    struct stat st
    {
    };
    if (m_fd < 0 || name.contains(u'/') || !Encode(name, encoded) ||
        ::fstatat(m_fd, encoded.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return entry;
    entry.exists = true;
    entry.plainFile = S_ISREG(st.st_mode) && st.st_nlink == 1;
    entry.size = qint64(st.st_size);
    entry.modified = qint64(st.st_mtime);
    return entry;
}

std::unique_ptr<TQvFileStream> TFolderHandle::CreateFile(const QString& name, int& errorCode) const
{
    return Open(name, O_CREAT | O_EXCL, false, errorCode);
}

std::unique_ptr<TQvFileStream> TFolderHandle::OpenFile(const QString& name, bool truncate,
                                                       int& errorCode) const
{
    return Open(name, 0, truncate, errorCode);
}

std::unique_ptr<TQvFileStream> TFolderHandle::Open(const QString& name, int createFlags, bool truncate,
                                                   int& errorCode) const
{
    QByteArray encoded;
    if (name.isEmpty() || name.contains(u'/')) {
        errorCode = err::BadNameSyntax;
        return nullptr;
    }
    if (!Encode(name, encoded)) {
        errorCode = LastErrorCode();
        return nullptr;
    }
    int fd;
    do {
        fd = ::openat(m_fd, encoded.constData(),
                      O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | createFlags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // Something put under the name since it was looked at: a file where
        // a new one was to be made (EEXIST), a symbolic link (ELOOP). A FIFO
        // or device opens without blocking and is refused below.
        errorCode = (errno == EEXIST || errno == ELOOP) ? kNotAPlainFile : LastErrorCode();
        return nullptr;
    }
    return Finish(fd, name, truncate, errorCode);
}

std::unique_ptr<TQvFileStream> TFolderHandle::Finish(int fd, const QString& name, bool truncate,
                                                     int& errorCode) const
{
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0) {
        errorCode = LastErrorCode();
        ::close(fd);
        return nullptr;
    }
    // A second link would let the write reach a file outside the folder.
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
        ::close(fd);
        errorCode = kNotAPlainFile;
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || !ApplySharing(fd, true, 0) ||
        (truncate && ::ftruncate(fd, 0) != 0)) {
        errorCode = LastErrorCode();
        CloseKeepingErrno(fd);
        return nullptr;
    }
    QString path = m_folder;
    if (!path.isEmpty() && !path.endsWith(u'/'))
        path += u'/';
    errorCode = err::Success;
    return std::make_unique<TQvFileStream>(fd, path + name);
}

} // namespace qv
