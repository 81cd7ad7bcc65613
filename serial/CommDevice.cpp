// termios, ioctl and socket calls for CommDevice. Nothing above this file
// sees a kernel header.
#include "serial/CommDevice.h"

#include "common/ErrorCodes.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <linux/serial.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace qv {

namespace {

struct SpeedEntry
{
    int baud;
    speed_t code;
};

// The speeds of the port's enumeration that a Linux tty has. 14400, 56000,
// 128000 and 256000 have no constant here and are refused rather than rounded
// to a neighbour, which would give a line that silently talks garbage.
constexpr SpeedEntry kSpeeds[] = {
    {110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

speed_t SpeedCode(int baud)
{
    for (const SpeedEntry& entry : kSpeeds)
        if (entry.baud == baud)
            return entry.code;
    return 0;
}

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

struct CommDevice::Impl
{
    int fd = -1;
    Kind kind = Kind::None;
    bool owned = false;
    bool restoreBlocking = false; // we set O_NONBLOCK on a borrowed descriptor
    dev_t borrowedDev = 0;        // what that descriptor was, so that a number
    ino_t borrowedIno = 0;        // reused after its owner closed it is left alone
    bool lineWatch = false;
    bool pty = false; // either end of a pseudo-terminal
    bool lowatChanged = false; // a borrowed socket's unsent-bytes wake level,
    int ownLowat = 0;          // and what it was before ours
    CommDevice::LineCounters counts;
    std::function<void()> readyHandler;
    std::unique_ptr<QSocketNotifier> notifier;
    std::function<void()> writableHandler;
    std::unique_ptr<QSocketNotifier> writeNotifier;
};

CommDevice::CommDevice() : m_impl(std::make_unique<Impl>()) {}

CommDevice::~CommDevice()
{
    Close();
}

namespace {

CommDevice::Kind KindOf(int fd)
{
    struct stat st
    {
    };
    if (fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode))
        return CommDevice::Kind::Socket;
    if (isatty(fd))
        return CommDevice::Kind::Tty;
    return CommDevice::Kind::Stream;
}

bool IsPty(int fd)
{
    struct stat st
    {
    };
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned devMajor = major(st.st_rdev);
    // Unix98 slaves and masters, and the multiplexor a master is opened from.
    return (devMajor >= 128 && devMajor <= 143) || (devMajor == 5 && minor(st.st_rdev) == 2);
}

} // namespace

int CommDevice::Open(const QString& path)
{
    Close();
    const QByteArray name = path.toLocal8Bit();
    const int fd = ::open(name.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return LastOsError();
    // The advisory lock is what keeps two programs apart when one of them runs
    // as root, for whom the tty's exclusive mode does not hold.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = (errno == EWOULDBLOCK) ? oserr::SharingViolation : LastOsError();
        ::close(fd);
        return error;
    }
    const Kind kind = KindOf(fd);
    if (kind == Kind::Tty) {
        // Root gets past another program's exclusive mode, which would leave
        // two programs talking to one modem; honour it as an ordinary user
        // must. The close is not the tty's last, so it drops no line.
        int exclusive = 0;
        if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
            ::close(fd);
            return oserr::SharingViolation;
        }
    }
    m_impl->fd = fd;
    m_impl->owned = true;
    m_impl->kind = kind;
    m_impl->pty = m_impl->kind == Kind::Tty && IsPty(fd);
    if (m_impl->kind == Kind::Tty)
        ioctl(fd, TIOCEXCL); // a driver without it still has the lock above
    return 0;
}

int CommDevice::Attach(int fd)
{
    Close();
    if (fd < 0)
        return oserr::InvalidHandle;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return LastOsError();
    if (!(flags & O_NONBLOCK)) {
        if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
            return LastOsError();
        m_impl->restoreBlocking = true;
    }
    struct stat st
    {
    };
    if (fstat(fd, &st) == 0) {
        m_impl->borrowedDev = st.st_dev;
        m_impl->borrowedIno = st.st_ino;
    }
    m_impl->fd = fd;
    m_impl->owned = false;
    m_impl->kind = KindOf(fd);
    m_impl->pty = m_impl->kind == Kind::Tty && IsPty(fd);
    return 0;
}

void CommDevice::Close()
{
    m_impl->notifier.reset();
    m_impl->writeNotifier.reset();
    if (m_impl->fd < 0)
        return;
    if (m_impl->owned) {
        if (m_impl->kind == Kind::Tty)
            ioctl(m_impl->fd, TIOCNXCL);
        ::close(m_impl->fd); // releases the lock too
    } else if (m_impl->restoreBlocking || m_impl->lowatChanged) {
        struct stat st
        {
        };
        if (fstat(m_impl->fd, &st) == 0 && st.st_dev == m_impl->borrowedDev &&
            st.st_ino == m_impl->borrowedIno) {
            const int flags = fcntl(m_impl->fd, F_GETFL);
            if (m_impl->restoreBlocking && flags >= 0)
                fcntl(m_impl->fd, F_SETFL, flags & ~O_NONBLOCK);
            if (m_impl->lowatChanged)
                setsockopt(m_impl->fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &m_impl->ownLowat,
                           sizeof m_impl->ownLowat);
        }
    }
    m_impl->fd = -1;
    m_impl->kind = Kind::None;
    m_impl->owned = false;
    m_impl->restoreBlocking = false;
    m_impl->lowatChanged = false;
    m_impl->lineWatch = false;
    m_impl->pty = false;
}

bool CommDevice::IsOpen() const
{
    return m_impl->fd >= 0;
}

CommDevice::Kind CommDevice::DeviceKind() const
{
    return m_impl->kind;
}

bool CommDevice::Owned() const
{
    return m_impl->owned;
}

int CommDevice::Handle() const
{
    return m_impl->fd;
}

bool CommDevice::SpeedSupported(int baudRate)
{
    return SpeedCode(baudRate) != 0;
}

QList<int> CommDevice::SupportedSpeeds()
{
    QList<int> speeds;
    for (const SpeedEntry& entry : kSpeeds)
        speeds << entry.baud;
    return speeds;
}

int CommDevice::Configure(const TCommSettings& settings)
{
    if (m_impl->kind != Kind::Tty)
        return 0;
    const speed_t speed = SpeedCode(settings.baudRate);
    if (speed == 0 || settings.dataBits < 5 || settings.dataBits > 8 || settings.parity < 0 ||
        settings.parity > 4 || settings.stopBits < 0 || settings.stopBits > 2)
        return err::InvalidArgument;
    // One and a half stop bits exist only with five data bits, where the UART
    // gives them for the two-stop-bit setting.
    if (settings.stopBits == 1 && settings.dataBits != 5)
        return err::InvalidArgument;

    const int fd = m_impl->fd;
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return err::Failed;
    // Hardware flow control that the device already has stays; raw mode
    // starts every other flag afresh, including the software flow control a
    // cooked tty carries by default, which would swallow XON/XOFF bytes of a
    // binary transfer.
    const tcflag_t keptFlow = t.c_cflag & CRTSCTS;
    cfmakeraw(&t);
    t.c_iflag &= ~(IXOFF | IXANY | IGNPAR); // left alone by cfmakeraw
    t.c_cflag |= CREAD | CLOCAL | keptFlow;
    t.c_cflag &= ~CSIZE;
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[settings.dataBits - 5];

    t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
    t.c_iflag &= ~INPCK;
    switch (settings.parity) {
    case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        t.c_cflag |= PARENB;
        break;
    case 3:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (settings.parity != 0)
        t.c_iflag |= INPCK;

    if (settings.stopBits == 0)
        t.c_cflag &= ~CSTOPB;
    else
        t.c_cflag |= CSTOPB;

    if (settings.hardwareFlow == 2)
        t.c_cflag |= CRTSCTS;
    if (settings.softwareFlow == 1) {
        t.c_iflag |= IXON | IXOFF;
        t.c_cc[VSTART] = 0x11;
        t.c_cc[VSTOP] = 0x13;
    }
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0)
        return err::InvalidArgument;
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        return err::Failed;
    if (settings.hardwareFlow == 1) {
        int rts = TIOCM_RTS;
        ioctl(fd, TIOCMBIS, &rts); // a pty has no modem lines; nothing to raise there
    }
    return 0;
}

namespace {

CommDevice::LineCounterProbe& CounterProbe()
{
    static CommDevice::LineCounterProbe probe;
    return probe;
}

bool ReadLineCounters(int fd, CommDevice::LineCounters& counters)
{
    if (CounterProbe())
        return CounterProbe()(fd, counters);
    serial_icounter_struct raw{};
    if (ioctl(fd, TIOCGICOUNT, &raw) != 0)
        return false; // a pty, a USB adapter without counters, ...
    counters.frame = raw.frame;
    counters.overrun = raw.overrun;
    counters.parity = raw.parity;
    counters.breaks = raw.brk;
    counters.bufferOverrun = raw.buf_overrun;
    return true;
}

} // namespace

void CommDevice::SetLineCounterProbe(LineCounterProbe probe)
{
    CounterProbe() = std::move(probe);
}

bool CommDevice::StartLineWatch()
{
    m_impl->lineWatch = false;
    if (m_impl->kind != Kind::Tty)
        return false;
    LineCounters counts;
    if (!ReadLineCounters(m_impl->fd, counts))
        return false;
    m_impl->counts = counts;
    m_impl->lineWatch = true;
    return true;
}

CommDevice::LineEvents CommDevice::TakeLineEvents()
{
    LineEvents events;
    if (!m_impl->lineWatch)
        return events;
    LineCounters now;
    if (!ReadLineCounters(m_impl->fd, now))
        return events;
    const LineCounters& was = m_impl->counts;
    events.breaks = now.breaks != was.breaks;
    events.errors = now.frame != was.frame || now.overrun != was.overrun || now.parity != was.parity ||
                    now.bufferOverrun != was.bufferOverrun;
    m_impl->counts = now;
    return events;
}

CommDevice::ReadStatus CommDevice::Read(char* buffer, int maxCount, int waitMs, int& count, int& osError)
{
    count = 0;
    osError = 0;
    if (m_impl->fd < 0) {
        osError = oserr::InvalidHandle;
        return ReadStatus::Failed;
    }
    if (maxCount <= 0)
        return ReadStatus::Nothing;
    // Without a wait the non-blocking read itself tells whether anything is
    // there, which spares a system call per chunk.
    if (waitMs > 0) {
        pollfd p{m_impl->fd, POLLIN, 0};
        const int ready = poll(&p, 1, waitMs);
        if (ready < 0) {
            if (errno == EINTR)
                return ReadStatus::Nothing;
            osError = LastOsError();
            return ReadStatus::Failed;
        }
        if (ready == 0)
            return ReadStatus::Nothing;
        if (p.revents & POLLNVAL) {
            osError = oserr::InvalidHandle;
            return ReadStatus::Failed;
        }
    }
    const ssize_t n = ::read(m_impl->fd, buffer, static_cast<std::size_t>(maxCount));
    if (n > 0) {
        count = static_cast<int>(n);
        return ReadStatus::Data;
    }
    if (n == 0)
        return ReadStatus::EndOfFile;
    if (errno == EAGAIN || errno == EINTR)
        return ReadStatus::Nothing;
    osError = LastOsError();
    return ReadStatus::Failed;
}

int CommDevice::WriteSome(const char* data, int count, int& written)
{
    written = 0;
    if (m_impl->fd < 0)
        return oserr::InvalidHandle;
    if (count <= 0)
        return 0;
    ssize_t n;
    if (m_impl->kind == Kind::Socket)
        n = ::send(m_impl->fd, data, static_cast<std::size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT);
    else
        n = ::write(m_impl->fd, data, static_cast<std::size_t>(count));
    if (n >= 0) {
        written = static_cast<int>(n);
        return 0;
    }
    if (errno == EAGAIN || errno == EINTR)
        return 0;
    return LastOsError();
}

int CommDevice::WaitWritable(int waitMs)
{
    if (m_impl->fd < 0)
        return oserr::InvalidHandle;
    pollfd p{m_impl->fd, POLLOUT, 0};
    const int ready = poll(&p, 1, waitMs < 0 ? 0 : waitMs);
    if (ready < 0)
        return errno == EINTR ? 0 : LastOsError();
    if (ready == 0)
        return oserr::Timeout;
    if (p.revents & POLLNVAL)
        return oserr::InvalidHandle;
    // A far end that hung up leaves the device "ready" for ever without room
    // (a pty master whose slave was closed, a socket shut down): waiting on
    // would only spin.
    if ((p.revents & POLLHUP) && !(p.revents & POLLOUT))
        return oserr::BrokenPipe;
    return 0;
}

int CommDevice::OutQueueBytes() const
{
    if (m_impl->fd < 0 || m_impl->pty)
        return -1;
    int queued = 0;
    if (m_impl->kind == Kind::Socket) {
        // Unsent bytes where the protocol tells them apart (TCP); otherwise
        // everything the peer has not taken yet.
        if (ioctl(m_impl->fd, SIOCOUTQNSD, &queued) == 0)
            return queued;
        if (ioctl(m_impl->fd, SIOCOUTQ, &queued) == 0)
            return queued;
        return -1;
    }
    if (ioctl(m_impl->fd, TIOCOUTQ, &queued) == 0)
        return queued;
    return -1;
}

bool CommDevice::WakeWhenQueueBelow(int bytes)
{
    if (m_impl->fd < 0 || m_impl->kind != Kind::Socket || bytes < 1)
        return false;
    int before = 0;
    socklen_t length = sizeof before;
    // Anything but a TCP socket (a socketpair end) refuses both calls.
    if (getsockopt(m_impl->fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &before, &length) != 0)
        return false;
    if (setsockopt(m_impl->fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes, sizeof bytes) != 0)
        return false;
    if (!m_impl->owned && !m_impl->lowatChanged) {
        m_impl->lowatChanged = true;
        m_impl->ownLowat = before;
    }
    return true;
}

bool CommDevice::QueueMeasured() const
{
    return m_impl->fd >= 0 && !m_impl->pty && m_impl->kind != Kind::Stream;
}

int CommDevice::BytesPerSecond() const
{
    if (m_impl->kind != Kind::Tty || m_impl->pty)
        return 0;
    termios t{};
    if (tcgetattr(m_impl->fd, &t) != 0)
        return 0;
    const speed_t code = cfgetospeed(&t);
    for (const SpeedEntry& entry : kSpeeds)
        if (entry.code == code)
            return entry.baud / 10;
    return 0;
}

bool CommDevice::DiscardsOutput() const
{
    return m_impl->kind == Kind::Tty && !m_impl->pty;
}

bool CommDevice::DrainTo(int bytes, int waitMs)
{
    if (!DiscardsOutput())
        return true;
    // tcdrain could wait for ever on a line held by flow control, so the
    // queue is watched against a deadline, at the pace the line empties it.
    const int rate = BytesPerSecond();
    const std::int64_t deadline = NowMs() + waitMs;
    for (;;) {
        const int queued = OutQueueBytes();
        if (queued < 0 || queued <= bytes)
            return true;
        const std::int64_t left = deadline - NowMs();
        if (left <= 0)
            return false;
        const std::int64_t due = rate > 0 ? (std::int64_t(queued - bytes) * 1000) / rate + 1 : 2;
        poll(nullptr, 0, static_cast<int>(std::min<std::int64_t>({left, due, 50})));
    }
}

int CommDevice::Purge(bool input, bool output)
{
    if (m_impl->fd < 0)
        return oserr::InvalidHandle;
    if (m_impl->kind == Kind::Tty) {
        // A pseudo-terminal has no line: what was written already sits in the
        // other end's input, and discarding "output" would reach in there and
        // take bytes that were reported as sent.
        if (m_impl->pty)
            output = false;
        const int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : output ? TCOFLUSH : -1;
        if (which >= 0 && tcflush(m_impl->fd, which) != 0)
            return LastOsError();
        return 0;
    }
    // A socket's sent bytes cannot be called back; what has arrived is read
    // and dropped, up to what was there when the purge began.
    if (input) {
        int available = 0;
        if (ioctl(m_impl->fd, FIONREAD, &available) != 0)
            return LastOsError();
        char sink[4096];
        while (available > 0) {
            const ssize_t n = ::read(m_impl->fd, sink,
                                     sizeof sink < static_cast<std::size_t>(available)
                                         ? sizeof sink
                                         : static_cast<std::size_t>(available));
            if (n <= 0)
                break;
            available -= static_cast<int>(n);
        }
    }
    return 0;
}

void CommDevice::SetReadyHandler(std::function<void()> handler)
{
    m_impl->readyHandler = std::move(handler);
}

void CommDevice::SetReadyNotify(bool on)
{
    if (on && m_impl->fd >= 0) {
        if (!m_impl->notifier) {
            m_impl->notifier = std::make_unique<QSocketNotifier>(m_impl->fd, QSocketNotifier::Read);
            Impl* impl = m_impl.get();
            QObject::connect(m_impl->notifier.get(), &QSocketNotifier::activated, [impl] {
                // The handler must not destroy this device from here: the port
                // only mutes the notifier and posts itself a message.
                if (impl->readyHandler)
                    impl->readyHandler();
            });
        }
        m_impl->notifier->setEnabled(true);
    } else if (m_impl->notifier) {
        m_impl->notifier->setEnabled(false);
    }
}

bool CommDevice::ReadyNotify() const
{
    return m_impl->notifier && m_impl->notifier->isEnabled();
}

void CommDevice::SetWritableHandler(std::function<void()> handler)
{
    m_impl->writableHandler = std::move(handler);
}

void CommDevice::SetWritableNotify(bool on)
{
    if (on && m_impl->fd >= 0) {
        if (!m_impl->writeNotifier) {
            m_impl->writeNotifier = std::make_unique<QSocketNotifier>(m_impl->fd, QSocketNotifier::Write);
            Impl* impl = m_impl.get();
            QObject::connect(m_impl->writeNotifier.get(), &QSocketNotifier::activated, [impl] {
                if (impl->writableHandler)
                    impl->writableHandler();
            });
        }
        m_impl->writeNotifier->setEnabled(true);
    } else if (m_impl->writeNotifier) {
        m_impl->writeNotifier->setEnabled(false);
    }
}

} // namespace qv
