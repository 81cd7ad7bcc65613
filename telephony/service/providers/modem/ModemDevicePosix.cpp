// The modem's tty on Linux: CommDevice for the open, the settings and the
// byte traffic; the modem-control lines and the UUCP lock file here. Nothing
// above this file sees a kernel header.
#include "telephony/service/providers/modem/ModemDevice.h"

#include "common/ErrorCodes.h"
#include "serial/CommDevice.h"

#include <QFileInfo>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qv::modem {

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

QString OpenErrorText(const OpenResult& result, const QString& device)
{
    switch (result.error) {
    case OpenError::None:
        return {};
    case OpenError::NotFound:
        return QStringLiteral("The modem device %1 does not exist.").arg(device);
    case OpenError::PermissionDenied:
        return QStringLiteral(
                   "No permission to open the modem device %1 (is the user in the dialout group?).")
            .arg(device);
    case OpenError::Locked:
        return QStringLiteral(
                   "The modem device %1 is in use by another program (it holds the device's lock).")
            .arg(device);
    case OpenError::Exclusive:
        return QStringLiteral(
                   "The modem device %1 is in use by another program (it holds the device exclusively).")
            .arg(device);
    case OpenError::LockFile:
        return QStringLiteral("The modem device %1 is locked by process %2 (a UUCP lock file).")
            .arg(device)
            .arg(result.lockPid);
    case OpenError::BadSettings:
        return QStringLiteral("The modem device %1 refuses the configured speed or flow control.")
            .arg(device);
    case OpenError::Failed:
        break;
    }
    return QStringLiteral("The modem device %1 could not be opened (system error %2).")
        .arg(device)
        .arg(result.osError);
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

class PosixModemDevice final : public ModemDevice
{
public:
    ~PosixModemDevice() override { Close(); }

    OpenResult Open(const ModemLineConfig& config) override
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
        int waits = 0;
        while (done < bytes.size()) {
            int written = 0;
            if (m_device.WriteSome(bytes.data() + done, int(bytes.size() - done), written) != 0)
                return false;
            done += written;
            if (done < bytes.size()) {
                // Commands are a few bytes; a port that takes none of them for
                // a second is stuck (flow control held by a dead modem).
                if (++waits > 10 || m_device.WaitWritable(100) == oserr::InvalidHandle)
                    return false;
            }
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

    bool WaitReadable(int ms) override
    {
        if (!IsOpen())
            return false;
        pollfd p{m_device.Handle(), POLLIN, 0};
        return ::poll(&p, 1, ms < 0 ? 0 : ms) > 0;
    }

    void DiscardInput() override { m_device.Purge(true, false); }

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
    OpenResult Classify(int osError, const QString& path)
    {
        OpenResult r;
        r.osError = osError;
        switch (osError) {
        case oserr::FileNotFound:
        case oserr::PathNotFound:
        case oserr::DevNotExist: // the node is there, the adapter is not (unplugged)
            r.error = OpenError::NotFound;
            break;
        case oserr::AccessDenied:
            r.error = OpenError::PermissionDenied;
            break;
        case oserr::SharingViolation: {
            // Both the advisory lock and the tty's exclusive mode read as a
            // sharing violation; a plain open tells them apart, as only the
            // exclusive mode refuses it.
            const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                ::close(fd);
                r.error = OpenError::Locked;
            } else {
                r.error = errno == EBUSY ? OpenError::Exclusive : OpenError::Locked;
            }
            break;
        }
        default:
            r.error = OpenError::Failed;
            break;
        }
        return r;
    }

    OpenResult TakeLockFile(const ModemLineConfig& config)
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
                r.lockPid = pid;
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

std::unique_ptr<ModemDevice> MakePosixModemDevice()
{
    return std::make_unique<PosixModemDevice>();
}

} // namespace qv::modem
