// Files opened by wide (UTF-16) name, with the suite's open modes and codes.
//
// Names are QString. The "wide" calls encode them as the file system's names
// (QFile::encodeName); the "narrow" calls go through the locale's 8-bit code
// page (QString::toLocal8Bit). Both are UTF-8 here, so every name survives
// either way; the narrow path exists for platforms without the wide calls and
// is kept reachable through SetWideFileApiProbe so that it is exercised.
//
// Sharing is emulated with advisory locks (flock) on the open file:
//   no sharing (compatibility, exclusive) -> exclusive lock
//   deny write                            -> shared lock
//   deny read                             -> exclusive lock
//   deny none                             -> no lock held
// An advisory lock cannot admit writers while keeping readers out, so "deny
// read" holds the exclusive lock: it refuses more than it strictly must and
// never less. An open that asks for write access first makes sure nobody
// denies writing (nobody holds any lock); one that only reads makes sure
// nobody holds the exclusive lock. A refused open fails with EWOULDBLOCK,
// which reads as a sharing violation (-96). A file opened with "deny none"
// leaves no trace, so a later exclusive open does not see it. Locks are tied
// to the descriptor and go away when it is closed. On a file system without
// advisory locks the open goes ahead unlocked rather than failing.
//
// Only regular files are opened: a directory fails as access denied (-100),
// a device, FIFO or socket as an invalid argument (-10), so that a transfer
// never blocks on a FIFO or pokes a tty.
#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>

namespace qv {

// Open modes: the low two bits choose the access, bits 4-7 the sharing.
// fmCreate instead creates (or truncates) the file for reading and writing.
constexpr quint16 fmCreate = 0xFFFF;
constexpr quint16 fmOpenRead = 0x0000;
constexpr quint16 fmOpenWrite = 0x0001;
constexpr quint16 fmOpenReadWrite = 0x0002;
constexpr quint16 fmShareCompat = 0x0000;
constexpr quint16 fmShareExclusive = 0x0010;
constexpr quint16 fmShareDenyWrite = 0x0020;
constexpr quint16 fmShareDenyRead = 0x0030;
constexpr quint16 fmShareDenyNone = 0x0040;

// A file handle is a file descriptor. 0 is a valid descriptor; only a
// negative value means "no handle".
using FileHandle = int;
constexpr FileHandle InvalidFileHandle = -1;
inline bool IsValidFileHandle(FileHandle handle)
{
    return handle >= 0;
}

// True when `mode` is fmCreate or names an access of 0..2 and a sharing of
// 0..4. Bits 2-3 and 8-15 carry no meaning and are ignored.
bool IsValidOpenMode(quint16 mode);

// Creates `name`, replacing (truncating) an existing file, for reading and
// writing without sharing. A file that another open holds locked is left
// untouched and the call fails with a sharing violation. Returns the new
// descriptor, owned by the caller, or InvalidFileHandle with errno set (read
// it with LastOsError() right away).
FileHandle CreateNewFile(const QString& name, bool useWideApi);

// Opens the existing file `name` with the access and sharing that `mode`
// selects (fmCreate is not an open mode here and is refused with EINVAL, as
// is a sharing above 4 or an access of 3). Same result convention as
// CreateNewFile.
FileHandle OpenExistingFile(const QString& name, quint16 mode, bool useWideApi);

// Test seam for platforms whose wide-name file calls are missing. The probe
// is asked by every wide call before it touches the file system; it returns 0
// when the wide calls are available, otherwise the errno value their failure
// leaves (ENOSYS reads as ERROR_CALL_NOT_IMPLEMENTED, 120). nullptr restores
// the default, which always answers 0. Not thread-safe: set it from tests
// before the code under test runs.
using WideFileApiProbe = std::function<int()>;
void SetWideFileApiProbe(WideFileApiProbe probe);

// The bytes that a file call uses for `name`: the file-system encoding on the
// wide path (which consults the probe), the locale's 8-bit encoding on the
// narrow one. Returns false with errno set when the call cannot be made: the
// probe refused, or the name holds a NUL, a lone surrogate or a character
// the narrow code page cannot carry (EILSEQ, a bad name, -94).
bool EncodeFileName(const QString& name, bool useWideApi, QByteArray& encoded);

enum TSeekOrigin : int
{
    soBeginning,
    soCurrent,
    soEnd
};

// A stream over a file descriptor. The constructor always yields an object;
// `errorCode` tells whether it holds a file: 0 on success, otherwise a suite
// code (an invalid mode -10, or the OS failure through OSErrorToErrorCode) and
// the object has no handle. The destructor closes the descriptor, which also
// releases its sharing lock.
//
// Read, Write and Seek act directly on the descriptor. They return -1 on
// failure and keep the suite code of that failure in LastError(); a read at
// the end of the file returns 0.
class TQvFileStream
{
public:
    TQvFileStream(const QString& fileName, int& errorCode, quint16 mode);
    // Takes over `handle`, a descriptor opened elsewhere (TFolderHandle).
    TQvFileStream(FileHandle handle, const QString& fileName);
    ~TQvFileStream();

    TQvFileStream(const TQvFileStream&) = delete;
    TQvFileStream& operator=(const TQvFileStream&) = delete;

    FileHandle Handle() const { return m_handle; }
    bool IsOpen() const { return IsValidFileHandle(m_handle); }
    // The name the stream was opened with; empty when the open failed.
    const QString& FileName() const { return m_fileName; }
    // False when the wide calls were missing and the narrow ones opened the file.
    bool UsesWideApi() const { return m_wideApi; }

    // Reads up to `count` bytes, fewer only at the end of the file.
    qint64 Read(void* buffer, qint64 count);
    // Writes all `count` bytes or fails.
    qint64 Write(const void* buffer, qint64 count);
    // Returns the new position.
    qint64 Seek(qint64 offset, TSeekOrigin origin);
    qint64 Position() { return Seek(0, soCurrent); }
    bool SetPosition(qint64 position) { return Seek(position, soBeginning) >= 0; }
    qint64 Size();
    // Cuts or extends the file to `size` bytes; the position does not move.
    bool SetSize(qint64 size);
    // Sets the last-access and last-write times, in seconds since 1970 UTC.
    bool SetFileTime(qint64 secondsSinceEpoch);

    // The suite code of the last failed Read, Write, Seek, Size or SetSize;
    // 0 while none has failed.
    int LastError() const { return m_lastError; }

private:
    bool Fail();

    FileHandle m_handle = InvalidFileHandle;
    QString m_fileName;
    bool m_wideApi = true;
    int m_lastError = 0;
};

// A folder held open by its descriptor, for the files a remote sends: every
// name is looked up and opened relative to the descriptor, never through the
// folder's path again and never through a symbolic link, and a file is only
// opened when it is a regular file with one link. So an entry planted under
// an incoming name (a symbolic or a hard link to a file elsewhere, a FIFO)
// leads nowhere, even when it appears between the look and the open.
//
// Names are single names: one holding "/" is refused as a bad name (-94).
// Streams come back read-write with the exclusive lock of "no sharing" and
// named folder path + name.
class TFolderHandle
{
public:
    // `errorCode`: 0; -97 when the folder is missing; -100 when it is not a
    // folder this process may create files in; another suite code otherwise.
    TFolderHandle(const QString& folder, int& errorCode, bool useWideApi = true);
    ~TFolderHandle();
    TFolderHandle(const TFolderHandle&) = delete;
    TFolderHandle& operator=(const TFolderHandle&) = delete;

    const QString& Folder() const { return m_folder; }

    struct Entry
    {
        bool exists = false;
        bool plainFile = false; // a regular file with one link
        qint64 size = 0;
        qint64 modified = 0; // seconds since 1970 UTC
    };
    // What lies under `name` now, not following a symbolic link.
    Entry Look(const QString& name) const;

    // Creates `name`; -100 when anything exists under it by now.
    std::unique_ptr<TQvFileStream> CreateFile(const QString& name, int& errorCode) const;
    // Opens the plain file `name` (-100 when what is there is anything else),
    // emptied once it is held when `truncate` is set.
    std::unique_ptr<TQvFileStream> OpenFile(const QString& name, bool truncate, int& errorCode) const;

private:
    bool Encode(const QString& name, QByteArray& encoded) const;
    std::unique_ptr<TQvFileStream> Open(const QString& name, int createFlags, bool truncate,
                                        int& errorCode) const;
    std::unique_ptr<TQvFileStream> Finish(int fd, const QString& name, bool truncate, int& errorCode) const;

    int m_fd = -1;
    QString m_folder;
    bool m_wideApi = true;
};

} // namespace qv
