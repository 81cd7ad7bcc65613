#include "telephony/service/providers/tcp/TcpSocket.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qv::tcp::net {

namespace {

NetError FromErrno(int e)
{
    switch (e) {
    case 0:
        return NetError::None;
    case EINPROGRESS:
        return NetError::InProgress;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return NetError::WouldBlock;
    case ECONNREFUSED:
        return NetError::Refused;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
        return NetError::Unreachable;
    case ETIMEDOUT:
        return NetError::TimedOut;
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE:
        return NetError::Reset;
    case EADDRINUSE:
        return NetError::AddressInUse;
    case EADDRNOTAVAIL:
        return NetError::AddressNotLocal;
    case EACCES:
    case EPERM:
        return NetError::PermissionDenied;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return NetError::NoResources;
    default:
        return NetError::Other;
    }
}

// Fills a sockaddr for `endpoint`; the length is 0 for an address family we
// cannot use.
socklen_t ToSockaddr(const Endpoint& endpoint, sockaddr_storage& storage)
{
    std::memset(&storage, 0, sizeof storage);
    bool isV4 = false;
    const quint32 v4 = endpoint.address.toIPv4Address(&isV4);
    if (isV4) {
        auto* sin = reinterpret_cast<sockaddr_in*>(&storage);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(endpoint.port);
        sin->sin_addr.s_addr = htonl(v4);
        return sizeof(sockaddr_in);
    }
    if (endpoint.address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&storage);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(endpoint.port);
        const Q_IPV6ADDR a = endpoint.address.toIPv6Address();
        std::memcpy(&sin6->sin6_addr, a.c, 16);
        sin6->sin6_scope_id = endpoint.address.scopeId().toUInt();
        return sizeof(sockaddr_in6);
    }
    return 0;
}

Endpoint FromSockaddr(const sockaddr_storage& storage)
{
    Endpoint e;
    if (storage.ss_family == AF_INET) {
        const auto* sin = reinterpret_cast<const sockaddr_in*>(&storage);
        e.address = QHostAddress(ntohl(sin->sin_addr.s_addr));
        e.port = ntohs(sin->sin_port);
    } else if (storage.ss_family == AF_INET6) {
        const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        e.address = QHostAddress(reinterpret_cast<const quint8*>(&sin6->sin6_addr));
        // A v4 peer on a dual-stack listener reads better as plain v4.
        bool isV4 = false;
        const quint32 v4 = e.address.toIPv4Address(&isV4);
        if (isV4)
            e.address = QHostAddress(v4);
        e.port = ntohs(sin6->sin6_port);
    }
    return e;
}

void CloseQuietly(int fd)
{
    if (fd >= 0) {
        // A close interrupted by a signal still releases the descriptor on
        // Linux; retrying would close someone else's.
        ::close(fd);
    }
}

} // namespace

int Listen(const Endpoint& local, int backlog, NetError& error)
{
    sockaddr_storage sa;
    const socklen_t len = ToSockaddr(local, sa);
    if (len == 0) {
        error = NetError::AddressNotLocal;
        return -1;
    }
    const int fd = ::socket(sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = FromErrno(errno);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(fd, backlog) != 0) {
        error = FromErrno(errno);
        CloseQuietly(fd);
        return -1;
    }
    error = NetError::None;
    return fd;
}

std::uint16_t LocalPort(int fd)
{
    sockaddr_storage sa;
    socklen_t len = sizeof sa;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return 0;
    return FromSockaddr(sa).port;
}

int Accept(int listenFd, Endpoint& peer, NetError& error)
{
    sockaddr_storage sa;
    socklen_t len = sizeof sa;
    int fd;
    do {
        fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // A connection that died in the queue is not a failure of the listener.
        error = errno == ECONNABORTED ? NetError::WouldBlock : FromErrno(errno);
        return -1;
    }
    peer = FromSockaddr(sa);
    error = NetError::None;
    return fd;
}

int StartConnect(const Endpoint& remote, NetError& error)
{
    sockaddr_storage sa;
    const socklen_t len = ToSockaddr(remote, sa);
    if (len == 0) {
        error = NetError::Unreachable;
        return -1;
    }
    const int fd = ::socket(sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = FromErrno(errno);
        return -1;
    }
    SetNoDelay(fd);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), len);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        error = NetError::None;
        return fd;
    }
    error = FromErrno(errno);
    if (error == NetError::InProgress || error == NetError::WouldBlock) {
        error = NetError::InProgress;
        return fd;
    }
    CloseQuietly(fd);
    return -1;
}

NetError ConnectResult(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return FromErrno(errno);
    return FromErrno(err);
}

void SetNoDelay(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void SetKeepAlive(int fd)
{
    // Idle 60 s, then a probe every 10 s, five of them: a silent peer is
    // given up after 110 s. Unacknowledged data has its own limit, the same.
    const int one = 1, idle = 60, interval = 10, count = 5;
    const unsigned userTimeoutMs = (idle + interval * count) * 1000u;
    static_assert(idle + interval * count <= KeepAliveLimitSeconds);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
}

void SetUrgentInline(int fd)
{
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &one, sizeof one);
}

namespace {

constexpr int PairBufferBytes = 256 * 1024;

// Both ends of a TCP connection over the loopback interface. A stray local
// process that connects to the short-lived listener first is turned away: only
// the connection whose far end is our own connecting socket is accepted.
bool MakeLoopbackPair(int& first, int& second)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return false;
    // What the phone has written and we have not read stays bounded, as it
    // is on a raw call's socket: a ZMODEM sender that paces itself on its
    // output queue is held back once this much waits here.
    const int buffer = PairBufferBytes;
    ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    socklen_t len = sizeof sa;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        CloseQuietly(listener);
        return false;
    }
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client < 0) {
        CloseQuietly(listener);
        return false;
    }
    // Loopback connects complete at once, so both sides can stay blocking
    // until the pair is made.
    if (::connect(client, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        CloseQuietly(client);
        CloseQuietly(listener);
        return false;
    }
    sockaddr_in mine{};
    len = sizeof mine;
    ::getsockname(client, reinterpret_cast<sockaddr*>(&mine), &len);
    int server = -1;
    for (int attempt = 0; attempt < 4 && server < 0; ++attempt) {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            break;
        sockaddr_in peer{};
        len = sizeof peer;
        const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        if (peer.sin_port == mine.sin_port && peer.sin_addr.s_addr == mine.sin_addr.s_addr)
            server = fd;
        else
            CloseQuietly(fd);
    }
    CloseQuietly(listener);
    if (server < 0) {
        CloseQuietly(client);
        return false;
    }
    for (int fd : {client, server}) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        SetNoDelay(fd);
    }
    first = server;
    second = client;
    return true;
}

} // namespace

bool MakePair(int& first, int& second, NetError& error)
{
    // A TCP pair rather than a local socket pair: the kernel moves what the
    // phone writes on to our end by itself, so the phone's output queue
    // (unsent bytes) empties while this thread is busy elsewhere, as it does
    // on a raw call's socket. On a local socket pair everything we have not
    // read yet counts as queued, and a sender that paces itself on the queue
    // would wait for this thread at every few kilobytes.
    if (MakeLoopbackPair(first, second)) {
        error = NetError::None;
        return true;
    }
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
        error = FromErrno(errno);
        first = second = -1;
        return false;
    }
    first = fds[0];
    second = fds[1];
    error = NetError::None;
    return true;
}

long Read(int fd, char* data, long max, NetError& error)
{
    ssize_t n;
    do {
        n = ::recv(fd, data, size_t(max), 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        error = NetError::None;
    } else if (n == 0) {
        error = NetError::Closed;
    } else {
        error = FromErrno(errno);
    }
    return long(n);
}

long Write(int fd, const char* data, long size, NetError& error)
{
    ssize_t n;
    do {
        // MSG_NOSIGNAL: a peer that went away is an error value, not SIGPIPE.
        n = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    error = n < 0 ? FromErrno(errno) : NetError::None;
    return long(n);
}

int QueuedInput(int fd)
{
    int count = 0;
    if (fd < 0 || ::ioctl(fd, FIONREAD, &count) != 0)
        return 0;
    return count;
}

int QueuedOutput(int fd)
{
    int count = 0;
    if (fd < 0 || ::ioctl(fd, SIOCOUTQ, &count) != 0)
        return 0;
    return count;
}

void Close(int fd)
{
    if (fd < 0)
        return;
    // shutdown() acts on the connection itself, so a dup() still held by the
    // phone cannot keep the call alive after we dropped it.
    ::shutdown(fd, SHUT_RDWR);
    CloseQuietly(fd);
}

void ShutdownWrite(int fd)
{
    if (fd >= 0)
        ::shutdown(fd, SHUT_WR);
}

PeerWatcher::PeerWatcher(int fd, bool watchData, std::function<void(const Events&)> callback)
    : m_fd(fd), m_watchData(watchData), m_callback(std::move(callback))
{
    // An epoll set that holds only this socket, asked for EPOLLRDHUP (and
    // EPOLLIN on demand): its own descriptor turns readable when the peer
    // leaves, while unread data alone does not wake us. A plain read notifier
    // on the socket would spin for as long as the phone leaves data unread.
    m_epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_epollFd < 0)
        return;
    epoll_event ev{};
    ev.events = EPOLLRDHUP | (watchData ? EPOLLIN : 0u);
    ev.data.fd = fd;
    if (::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        CloseQuietly(m_epollFd);
        m_epollFd = -1;
        return;
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_epollFd, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                     [this] { Activated(); });
}

PeerWatcher::~PeerWatcher()
{
    m_notifier.reset();
    CloseQuietly(m_epollFd);
}

void PeerWatcher::SetWatchData(bool watchData)
{
    if (m_epollFd < 0 || watchData == m_watchData)
        return;
    m_watchData = watchData;
    epoll_event ev{};
    ev.events = EPOLLRDHUP | (watchData ? EPOLLIN : 0u);
    ev.data.fd = m_fd;
    ::epoll_ctl(m_epollFd, EPOLL_CTL_MOD, m_fd, &ev);
}

void PeerWatcher::SetEnabled(bool enabled)
{
    if (m_notifier)
        m_notifier->setEnabled(enabled);
}

PeerWatcher::Events PeerWatcher::Poll() const
{
    Events events;
    pollfd p{m_fd, short(POLLIN | POLLRDHUP), 0};
    if (::poll(&p, 1, 0) > 0) {
        events.data = (p.revents & POLLIN) != 0 && QueuedInput(m_fd) > 0;
        events.hangup = (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
        events.error = (p.revents & POLLERR) != 0;
    }
    return events;
}

void PeerWatcher::Activated()
{
    // Drain the epoll readiness into one snapshot; the socket itself is asked
    // with poll() so that the answer is the same one Poll() would give.
    epoll_event ev[4];
    ::epoll_wait(m_epollFd, ev, 4, 0);
    const Events events = Poll();
    if (!events.data && !events.hangup)
        return;
    if (!m_watchData && !events.hangup)
        return;
    // A copy, since the callback may destroy this watcher and with it the
    // stored one.
    const auto callback = m_callback;
    callback(events);
}

} // namespace qv::tcp::net
