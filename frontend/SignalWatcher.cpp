#include "frontend/SignalWatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace vh {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The write end of the watcher's pipe, read by the signal handler only.
volatile sig_atomic_t g_writeFd = -1;
struct sigaction g_previous[std::size(kSignals)];

extern "C" void WriteSignalNumber(int signalNumber)
{
    // Only what is safe in a signal handler: one write(), errno kept for the
    // code the signal interrupted. A full pipe drops the byte, and with it
    // nothing but a repeat of a signal already waiting to be read.
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    if (g_writeFd >= 0) {
        const ssize_t written = ::write(g_writeFd, &byte, 1);
        (void)written;
    }
    errno = savedErrno;
}

} // namespace

SignalWatcher::SignalWatcher(Handler handler, QObject* parent)
    : QObject(parent), m_handler(std::move(handler))
{
    if (g_writeFd >= 0)
        return;
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    m_readFd = fds[0];
    g_writeFd = fds[1];
    m_notifier = std::make_unique<QSocketNotifier>(m_readFd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { Drain(); });

    struct sigaction action
    {
    };
    action.sa_handler = WriteSignalNumber;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls carry on: the program learns of the signal
    // from the pipe, not from an EINTR somewhere in the middle of its work.
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &action, &g_previous[i]);
}

SignalWatcher::~SignalWatcher()
{
    *m_alive = false;
    if (m_readFd < 0)
        return;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &g_previous[i], nullptr);
    m_notifier.reset();
    ::close(g_writeFd);
    g_writeFd = -1;
    ::close(m_readFd);
}

void SignalWatcher::Drain()
{
    unsigned char bytes[16];
    for (;;) {
        const ssize_t n = ::read(m_readFd, bytes, sizeof bytes);
        if (n <= 0)
            return;
        for (ssize_t i = 0; i < n; ++i) {
            const std::shared_ptr<bool> alive = m_alive;
            if (m_handler)
                m_handler(bytes[i]);
            if (!*alive)
                return;
        }
    }
}

QString SignalWatcher::Name(int signalNumber)
{
    switch (signalNumber) {
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QStringLiteral("signal %1").arg(signalNumber);
    }
}

} // namespace vh
