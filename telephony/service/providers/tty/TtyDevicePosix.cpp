// A line's tty on Linux: CommDevice for the open, the settings and the byte
// traffic; the modem-control lines and the UUCP lock file here. Nothing above
// this file sees a kernel header.
#include "telephony/service/providers/tty/TtyDevice.h"

#include "common/ErrorCodes.h"
#include "serial/CommDevice.h"
#include "telephony/service/TapiConstants.h"

#include <QFileInfo>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qv::tty {

QString LockFilePath(const QString& lockDir, const QString& device)
{
    // "/dev/ttyUSB0" locks as "LCK..ttyUSB0"; a device in a sub-folder of /dev
    // ("/dev/pts/3") keeps its folder in the name with the slash replaced.
    QString name = device;
    if (name.startsWith(QLatin1String("/dev/")))
        name = name.mid(5);
    else
        name = QFileInfo(name).fileName();
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return lockDir + QLatin1String("/LCK..") + name;
}

QString OpenErrorText(const OpenResult& result, const QString& device, const QString& noun)
{
    // Who holds the device, when the system says: "process 812 (minicom)".
    const QString holder =
        result.holderPid <= 0
            ? QStringLiteral("another program")
            : (result.holderName.isEmpty()
                   ? QStringLiteral("process %1").arg(result.holderPid)
                   : QStringLiteral("process %1 (%2)").arg(result.holderPid).arg(result.holderName));
    switch (result.error) {
    case OpenError::None:
        return {};
    case OpenError::NotFound:
        return QStringLiteral("The %1 %2 does not exist (is it plugged in?).").arg(noun, device);
    case OpenError::PermissionDenied: {
        const QString group = result.group.isEmpty() ? QStringLiteral("dialout") : result.group;
        return QStringLiteral("No permission to open the %1 %2: join the %3 group "
                              "(sudo usermod -aG %3 $USER) and log in again.")
            .arg(noun, device, group);
    }
    case OpenError::Locked:
        return QStringLiteral("The %1 %2 is held by %3 (it has locked the device); close that program "
                              "first.")
            .arg(noun, device, holder);
    case OpenError::Exclusive:
        return QStringLiteral("The %1 %2 is held by %3 (it has the device in exclusive mode); close "
                              "that program first.")
            .arg(noun, device, holder);
    case OpenError::LockFile:
        return QStringLiteral("The %1 %2 is held by %3 (its UUCP lock file); close that program first.")
            .arg(noun, device, holder);
    case OpenError::BadSettings:
        return QStringLiteral("The %1 %2 refuses the configured speed or flow control.").arg(noun, device);
    case OpenError::Failed:
        break;
    }
    return QStringLiteral("The %1 %2 could not be opened (system error %3).")
        .arg(noun, device)
        .arg(result.osError);
}

tapi::LONG OpenLineError(const OpenResult& result)
{
    switch (result.error) {
    case OpenError::None:
        return 0;
    case OpenError::Locked:
    case OpenError::Exclusive:
    case OpenError::LockFile:
        return tapi::LINEERR_ALLOCATED;
    case OpenError::NotFound:
        return tapi::LINEERR_NODEVICE;
    case OpenError::PermissionDenied:
    case OpenError::BadSettings:
    case OpenError::Failed:
        break;
    }
    return tapi::LINEERR_OPERATIONFAILED;
}

namespace {

// The pid a lock file names: ten ASCII digits by convention, or a binary int
// from older programs. 0 when the file says nothing usable.
long ReadLockPid(const QByteArray& path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return 0;
    char buffer[32] = {};
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0)
        return 0;
    if (n == sizeof(int)) {
        int binary = 0;
        std::memcpy(&binary, buffer, sizeof binary);
        if (binary > 0 && (buffer[0] < '0' || buffer[0] > '9') && buffer[0] != ' ')
            return binary;
    }
    long pid = 0;
    for (ssize_t i = 0; i < n; ++i) {
        const char c = buffer[i];
        if (c == ' ')
            continue;
        if (c < '0' || c > '9')
            break;
        pid = pid * 10 + (c - '0');
        if (pid > 4194304) // beyond any pid the kernel hands out
            return 0;
    }
    return pid;
}

bool ProcessAlive(long pid)
{
    if (pid <= 0)
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// A file of /proc, whole: they report no size, so read to the end (or to a
// bound that no sane one reaches).
QByteArray ReadProcFile(const QByteArray& path, qsizetype limit = 1 << 20)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray text;
    char buffer[4096];
    while (text.size() < limit) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, n);
    }
    ::close(fd);
    return text;
}

// The name a process runs under ("minicom"), for the message that names it.
QString ProcessName(long pid)
{
    return QString::fromLocal8Bit(ReadProcFile("/proc/" + QByteArray::number(qint64(pid)) + "/comm", 64))
        .trimmed();
}

// The process holding an advisory lock on the device node `st`, from the
// kernel's table of locks (readable by everyone); 0 when none is listed.
long FlockHolder(const struct stat& st)
{
    // "1: FLOCK  ADVISORY  WRITE 812 00:05:1043 0 EOF"; the node is named by
    // the major and minor number of its file system, in hex, and its inode.
    const QByteArray node = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(quint64(st.st_ino));
    for (const QByteArray& line : ReadProcFile("/proc/locks").split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        // Waiters are listed as "1: -> FLOCK ..." under the holder.
        if (words.size() < 6 || words[1] != "FLOCK")
            continue;
        if (words[5] == node)
            return words[4].toLong();
    }
    return 0;
}

// A process other than this one with the device open, found through the
// descriptors in /proc. Only processes whose descriptors we may read are
// seen: root sees them all, a user only their own.
long OpenHolder(const struct stat& st)
{
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return 0;
    const long self = long(::getpid());
    long found = 0;
    int looked = 0;
    // The scan only runs after a failed open; a bound keeps a machine with
    // very many descriptors from holding the line up.
    while (dirent* p = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(p->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self)
            continue;
        const QByteArray fdDir = "/proc/" + QByteArray(p->d_name) + "/fd";
        DIR* fds = ::opendir(fdDir.constData());
        if (!fds)
            continue;
        while (dirent* f = ::readdir(fds)) {
            if (f->d_name[0] == '.' || ++looked > 50000)
                continue;
            struct stat target
            {
            };
            if (::stat((fdDir + '/' + f->d_name).constData(), &target) == 0 && S_ISCHR(target.st_mode) &&
                target.st_rdev == st.st_rdev) {
                found = pid;
                break;
            }
        }
        ::closedir(fds);
        if (found != 0 || looked > 50000)
            break;
    }
    ::closedir(proc);
    return found;
}

QString GroupName(gid_t gid)
{
    char buffer[1024];
    group entry{};
    group* result = nullptr;
    if (::getgrgid_r(gid, &entry, buffer, sizeof buffer, &result) != 0 || result == nullptr)
        return {};
    return QString::fromLocal8Bit(result->gr_name);
}

class PosixTtyDevice final : public TtyDevice
{
public:
    ~PosixTtyDevice() override { Close(); }

    OpenResult Open(const TtySettings& config) override
    {
        Close();
        OpenResult result;
        if (!config.lockDir.isEmpty()) {
            result = TakeLockFile(config);
            if (!result.ok())
                return result;
        }
        const int error = m_device.Open(config.device);
        if (error != 0) {
            result = Classify(error, config.device);
            ReleaseLockFile();
            return result;
        }
        TCommSettings settings;
        settings.baudRate = config.speed;
        settings.hardwareFlow = config.flow == FlowControl::RtsCts ? 2 : 0;
        settings.softwareFlow = config.flow == FlowControl::XonXoff ? 1 : 0;
        // Configure sets CLOCAL and keeps it: with it cleared, a carrier drop
        // would hang the tty up and revoke this very descriptor, which must
        // outlive the call; the carrier is watched on the DCD line instead.
        if (m_device.Configure(settings) != 0) {
            Close();
            result.error = OpenError::BadSettings;
            return result;
        }
        int lines = 0;
        m_modemLines = ::ioctl(m_device.Handle(), TIOCMGET, &lines) == 0;
        if (m_modemLines)
            SetDtr(true);
        return result;
    }

    void Close() override
    {
        m_device.SetReadyNotify(false);
        m_device.Close();
        ReleaseLockFile();
        m_modemLines = false;
    }

    bool IsOpen() const override { return m_device.IsOpen(); }
    int Fd() const override { return m_device.Handle(); }

    bool Write(QByteArrayView bytes) override
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            int written = 0;
            if (m_device.WriteSome(bytes.data() + done, int(bytes.size() - done), written) != 0)
                return false;
            // Nothing taken: the output queue is full and does not drain (a
            // modem that is off holds CTS low). Waiting here would hold the
            // window up; the line reports the device as stuck instead.
            if (written == 0)
                return false;
            done += written;
        }
        return true;
    }

    ReadStatus Read(QByteArray& out, int max) override
    {
        char buffer[1024];
        while (out.size() < max) {
            int count = 0;
            int osError = 0;
            const int want = std::min(int(sizeof buffer), max - int(out.size()));
            switch (m_device.Read(buffer, want, 0, count, osError)) {
            case CommDevice::ReadStatus::Data:
                out.append(buffer, count);
                continue;
            case CommDevice::ReadStatus::Nothing:
                return out.isEmpty() ? ReadStatus::Nothing : ReadStatus::Data;
            case CommDevice::ReadStatus::EndOfFile:
            case CommDevice::ReadStatus::Failed:
                return ReadStatus::Closed;
            }
        }
        return ReadStatus::Data;
    }

    void DiscardInput() override { m_device.Purge(true, false); }
    void DiscardOutput() override { m_device.Purge(false, true); }

    void SetReadyHandler(std::function<void()> handler) override
    {
        m_device.SetReadyHandler(std::move(handler));
    }
    void SetReadyNotify(bool on) override { m_device.SetReadyNotify(on); }

    bool HasModemLines() const override { return m_modemLines; }

    bool Carrier() const override
    {
        int lines = 0;
        if (!IsOpen() || ::ioctl(m_device.Handle(), TIOCMGET, &lines) != 0)
            return false;
        return (lines & TIOCM_CD) != 0;
    }

    bool SetDtr(bool high) override
    {
        if (!IsOpen())
            return false;
        int bit = TIOCM_DTR;
        return ::ioctl(m_device.Handle(), high ? TIOCMBIS : TIOCMBIC, &bit) == 0;
    }

    bool HungUp() const override
    {
        if (!IsOpen())
            return true;
        // No input events asked for: only hang-up and error conditions come
        // back, and nothing that waits to be read is touched.
        pollfd p{m_device.Handle(), 0, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }

private:
    // Why the open failed, told apart without opening the device again: a
    // second open and close of a tty another program uses would be felt by
    // that program.
    static OpenResult Classify(int osError, const QString& path)
    {
        OpenResult r;
        r.osError = osError;
        const QByteArray name = path.toLocal8Bit();
        struct stat st
        {
        };
        const bool known = ::stat(name.constData(), &st) == 0;
        switch (osError) {
        case oserr::FileNotFound:
        case oserr::PathNotFound:
        case oserr::DevNotExist: // the node is there, the adapter is not (unplugged)
            r.error = OpenError::NotFound;
            break;
        case oserr::AccessDenied:
            r.error = OpenError::PermissionDenied;
            if (known)
                r.group = GroupName(st.st_gid);
            break;
        case oserr::SharingViolation:
            // Both an advisory lock and the tty's exclusive mode end up here;
            // the kernel's lock table tells which.
            r.error = OpenError::Exclusive;
            if (known) {
                if (const long pid = FlockHolder(st)) {
                    r.error = OpenError::Locked;
                    r.holderPid = pid;
                } else {
                    r.holderPid = OpenHolder(st);
                }
            }
            break;
        default:
            r.error = OpenError::Failed;
            break;
        }
        if (r.holderPid > 0)
            r.holderName = ProcessName(r.holderPid);
        return r;
    }

    OpenResult TakeLockFile(const TtySettings& config)
    {
        OpenResult r;
        const QByteArray path = LockFilePath(config.lockDir, config.device).toLocal8Bit();
        for (int attempt = 0; attempt < 2; ++attempt) {
            const int fd =
                ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
            if (fd >= 0) {
                char text[16];
                const int n = std::snprintf(text, sizeof text, "%10ld\n", long(::getpid()));
                const bool written = ::write(fd, text, size_t(n)) == n;
                ::close(fd);
                if (written)
                    m_lockFile = path;
                else
                    ::unlink(path.constData());
                return r;
            }
            if (errno != EEXIST) {
                // A lock folder we may not write to (a user outside the uucp
                // group): the advisory lock and the exclusive mode still keep
                // other programs out.
                return r;
            }
            const long pid = ReadLockPid(path);
            if (ProcessAlive(pid)) {
                r.error = OpenError::LockFile;
                r.holderPid = pid;
                r.holderName = ProcessName(pid);
                return r;
            }
            // A stale lock of a program that died: take the device over.
            ::unlink(path.constData());
        }
        return r;
    }

    void ReleaseLockFile()
    {
        if (m_lockFile.isEmpty())
            return;
        if (ReadLockPid(m_lockFile) == long(::getpid()))
            ::unlink(m_lockFile.constData());
        m_lockFile.clear();
    }

    CommDevice m_device;
    QByteArray m_lockFile;
    bool m_modemLines = false;
};

} // namespace

std::unique_ptr<TtyDevice> MakePosixTtyDevice()
{
    return std::make_unique<PosixTtyDevice>();
}

} // namespace qv::tty
