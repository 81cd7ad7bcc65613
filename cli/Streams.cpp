#include "cli/Streams.h"

#include "common/ErrorCodes.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vh::cli {

namespace {

constexpr int kChunk = 16384;

enum class Kind
{
    Socket,
    RegularFile,
    Other, // a terminal, a pipe, a device
};

Kind KindOf(int fd)
{
    struct stat st
    {
    };
    if (fstat(fd, &st) != 0)
        return Kind::Other;
    if (S_ISSOCK(st.st_mode))
        return Kind::Socket;
    if (S_ISREG(st.st_mode))
        return Kind::RegularFile;
    return Kind::Other;
}

// The descriptor to use for `fd`: -1 to use `fd` itself (with `socket` set
// for a socket), or a new open file description of the same file that may
// be non-blocking without the others who share `fd` noticing.
int OwnDescription(int fd, int accessMode, bool& socket, int& osError)
{
    osError = 0;
    socket = false;
    if (fcntl(fd, F_GETFL) < 0) {
        osError = qv::LastOsError();
        return -1;
    }
    switch (KindOf(fd)) {
    case Kind::Socket:
        socket = true;
        return -1;
    case Kind::RegularFile:
        return -1;
    case Kind::Other:
        break;
    }
    const QByteArray path = "/proc/self/fd/" + QByteArray::number(fd);
    const int own = ::open(path.constData(), accessMode | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own < 0)
        osError = qv::LastOsError();
    return own;
}

} // namespace

bool SameFile(int a, int b)
{
    struct stat sa
    {
    };
    struct stat sb
    {
    };
    if (fstat(a, &sa) != 0 || fstat(b, &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino && sa.st_rdev == sb.st_rdev;
}

bool IsTerminal(int fd)
{
    return ::isatty(fd) == 1;
}

// ---------------------------------------------------------------------- input

InputStream::InputStream(int fd, DataHandler onData, EndHandler onEnd, QObject* parent)
    : QObject(parent), m_fd(fd), m_onData(std::move(onData)), m_onEnd(std::move(onEnd))
{}

InputStream::~InputStream()
{
    m_notifier.reset();
    if (m_ownFd >= 0)
        ::close(m_ownFd);
}

int InputStream::Start()
{
    int osError = 0;
    m_ownFd = OwnDescription(m_fd, O_RDONLY, m_socket, osError);
    if (osError != 0)
        return osError;
    const int fd = m_ownFd >= 0 ? m_ownFd : m_fd;
    m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { ReadReady(); });
    m_notifier->setEnabled(!m_paused);
    return 0;
}

void InputStream::SetPaused(bool paused)
{
    m_paused = paused;
    if (m_notifier && !m_ended)
        m_notifier->setEnabled(!paused);
}

void InputStream::ReadReady()
{
    if (m_ended || m_paused)
        return;
    const int fd = m_ownFd >= 0 ? m_ownFd : m_fd;
    char buffer[kChunk];
    const ssize_t n =
        m_socket ? ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) : ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
        if (m_onData)
            m_onData(QByteArray(buffer, int(n)));
        return;
    }
    int osError = 0;
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return;
        // A terminal whose line was hung up reads as an error; for the
        // reader it is the end of its input all the same.
        osError = errno == EIO ? 0 : qv::LastOsError();
    }
    m_ended = true;
    m_notifier->setEnabled(false);
    if (m_onEnd)
        m_onEnd(osError);
}

// --------------------------------------------------------------------- output

OutputStream::OutputStream(int fd, DrainedHandler onDrained, FailedHandler onFailed, QObject* parent)
    : QObject(parent), m_fd(fd), m_onDrained(std::move(onDrained)), m_onFailed(std::move(onFailed))
{}

OutputStream::~OutputStream()
{
    m_notifier.reset();
    if (m_ownFd >= 0)
        ::close(m_ownFd);
}

int OutputStream::Start()
{
    int osError = 0;
    m_ownFd = OwnDescription(m_fd, O_WRONLY, m_socket, osError);
    if (osError != 0)
        return osError;
    const int fd = m_ownFd >= 0 ? m_ownFd : m_fd;
    m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    m_notifier->setEnabled(false);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { WriteReady(); });
    return 0;
}

void OutputStream::Write(const QByteArray& bytes)
{
    if (m_failed || bytes.isEmpty())
        return;
    m_queue.append(bytes);
    if (!m_notifier || m_notifier->isEnabled())
        return; // already waiting for room
    Pump();
}

void OutputStream::WriteReady()
{
    m_notifier->setEnabled(false);
    Pump();
}

void OutputStream::Pump()
{
    const int fd = m_ownFd >= 0 ? m_ownFd : m_fd;
    while (Pending() > 0) {
        const char* data = m_queue.constData() + m_queueStart;
        const std::size_t count = std::size_t(Pending());
        const ssize_t n =
            m_socket ? ::send(fd, data, count, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(fd, data, count);
        if (n > 0) {
            m_queueStart += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            m_notifier->setEnabled(true);
            return;
        }
        m_failed = true;
        const int osError = n < 0 ? qv::LastOsError() : qv::oserr::BrokenPipe;
        m_queue.clear();
        m_queueStart = 0;
        if (m_onFailed)
            m_onFailed(osError);
        return;
    }
    m_queue.clear();
    m_queueStart = 0;
    if (m_onDrained)
        m_onDrained();
}

} // namespace vh::cli
