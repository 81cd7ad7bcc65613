// The few socket operations a tcp line needs, over non-blocking POSIX sockets.
// Kernel headers stay in TcpSocketPosix.cpp; the rest of the line sees file
// descriptors and the outcomes below, never errno.
//
// Every descriptor returned here is non-blocking and close-on-exec. A
// descriptor belongs to whoever asked for it and is released with Close().
#pragma once

#include <QByteArray>
#include <QHostAddress>

#include <cstdint>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace qv::tcp::net {

// What went wrong with a socket operation, in the terms a line reports.
enum class NetError
{
    None,
    InProgress,       // a connect that continues in the background
    WouldBlock,       // nothing to read, or no room to write, just now
    Refused,          // nobody listens there
    Unreachable,      // no route to the host or network
    TimedOut,         // the kernel gave up waiting for the peer
    Reset,            // the peer aborted the connection
    Closed,           // orderly end of the peer's stream
    AddressInUse,     // the listening address is taken
    AddressNotLocal,  // the listening address is not one of this host's
    PermissionDenied, // a privileged port
    NoResources,      // out of descriptors or memory
    Other
};

struct Endpoint
{
    QHostAddress address;
    std::uint16_t port = 0;
};

// A listening socket on `local` with SO_REUSEADDR; -1 and `error` on failure.
int Listen(const Endpoint& local, int backlog, NetError& error);
// The port a socket is bound to (useful after listening on port 0).
std::uint16_t LocalPort(int fd);
// One pending connection, or -1 with WouldBlock when there is none.
int Accept(int listenFd, Endpoint& peer, NetError& error);
// Starts connecting to `remote`. The descriptor is returned with None (already
// connected) or InProgress; -1 on an immediate failure.
int StartConnect(const Endpoint& remote, NetError& error);
// The outcome of a connect that was InProgress, once the socket is writable.
NetError ConnectResult(int fd);
// Turns off Nagle's algorithm: a call carries many small exchanges.
void SetNoDelay(int fd);
// TCP keep-alive probes, so that a peer that vanished without a word (its
// machine or its network gone) ends the call within KeepAliveLimitSeconds,
// also while we have data waiting for it.
constexpr int KeepAliveLimitSeconds = 120;
void SetKeepAlive(int fd);
// Urgent data stays where it was sent in the byte stream. A telnet server
// marks the IAC of its Synch (IAC DM) urgent; taken out of the stream, it
// would leave the DM behind as a stray data byte, and a raw peer's urgent
// byte would be lost.
void SetUrgentInline(int fd);
// A connected pair of local stream sockets (the data channel of a telnet
// call): `first` is ours, `second` the phone's.
bool MakePair(int& first, int& second, NetError& error);

// Reads at most `max` bytes: the count, 0 with Closed at the end of the
// stream, or -1 with the error (WouldBlock when nothing is there).
long Read(int fd, char* data, long max, NetError& error);
// Writes what the socket takes now: the count, or -1 with the error.
long Write(int fd, const char* data, long size, NetError& error);
// Bytes received and not yet read by anyone holding the descriptor.
int QueuedInput(int fd);
// Bytes written to the descriptor that have not reached its peer yet.
int QueuedOutput(int fd);

// Ends the connection for every holder of the descriptor (dup()s included)
// and releases this one. -1 is ignored.
void Close(int fd);
// The same, after a plain FIN for what was already queued.
void ShutdownWrite(int fd);

// Watches a connected socket for the peer going away, and optionally for
// data, without reading anything: the data stays for whoever reads the
// descriptor. Level-triggered through one notifier on the event loop; the
// callback runs until the watcher is disabled or destroyed.
class PeerWatcher
{
public:
    struct Events
    {
        bool data = false;   // bytes are waiting
        bool hangup = false; // the peer shut down its side, or the socket failed
        bool error = false;  // the socket failed (reset, unreachable)
    };

    PeerWatcher(int fd, bool watchData, std::function<void(const Events&)> callback);
    ~PeerWatcher();
    PeerWatcher(const PeerWatcher&) = delete;
    PeerWatcher& operator=(const PeerWatcher&) = delete;

    bool IsValid() const { return m_epollFd >= 0; }
    void SetWatchData(bool watchData);
    void SetEnabled(bool enabled);
    // What the socket shows right now.
    Events Poll() const;

private:
    void Activated();

    int m_fd;
    int m_epollFd = -1;
    bool m_watchData;
    std::function<void(const Events&)> m_callback;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace qv::tcp::net
