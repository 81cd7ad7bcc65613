// The two ends of a byte stream that the program shares with others: its
// standard input and output, read and written without ever blocking the
// event loop and without changing the descriptors' flags, which the shell
// and other programs on the same terminal or pipe see too.
//
// A socket is read and written with per-call non-blocking flags; a
// terminal, pipe or other device gets an open file description of its own
// (through /proc/self/fd) on which it may be non-blocking; a regular file
// never blocks and is used as it is.
#pragma once

#include <QByteArray>
#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace vh::cli {

class InputStream : public QObject
{
    Q_OBJECT
public:
    // Bytes that arrived; the stream ended (0) or failed (an OS error).
    using DataHandler = std::function<void(const QByteArray& bytes)>;
    using EndHandler = std::function<void(int osError)>;

    // Reads `fd` (not owned) from the event loop once Start has been called.
    InputStream(int fd, DataHandler onData, EndHandler onEnd, QObject* parent = nullptr);
    ~InputStream() override;

    // 0, or the OS error that keeps the stream from being read.
    int Start();
    // While paused nothing is read, so that the writer waits.
    void SetPaused(bool paused);
    bool Ended() const { return m_ended; }

private:
    void ReadReady();

    int m_fd;
    int m_ownFd = -1;
    bool m_socket = false;
    bool m_paused = false;
    bool m_ended = false;
    DataHandler m_onData;
    EndHandler m_onEnd;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

class OutputStream : public QObject
{
    Q_OBJECT
public:
    // Everything written so far has gone out; writing failed (an OS error,
    // after which the stream takes nothing more).
    using DrainedHandler = std::function<void()>;
    using FailedHandler = std::function<void(int osError)>;

    OutputStream(int fd, DrainedHandler onDrained, FailedHandler onFailed, QObject* parent = nullptr);
    ~OutputStream() override;

    int Start();
    // Queues `bytes` and writes what the other side takes now.
    void Write(const QByteArray& bytes);
    // Bytes waiting to be taken.
    qsizetype Pending() const { return m_queue.size() - m_queueStart; }
    bool Failed() const { return m_failed; }

private:
    void WriteReady();
    void Pump();

    int m_fd;
    int m_ownFd = -1;
    bool m_socket = false;
    bool m_failed = false;
    QByteArray m_queue;
    qsizetype m_queueStart = 0;
    DrainedHandler m_onDrained;
    FailedHandler m_onFailed;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

// Whether two descriptors are the same file (a terminal that is both input
// and output, or a socket).
bool SameFile(int a, int b);
// Whether `fd` is a terminal.
bool IsTerminal(int fd);

} // namespace vh::cli
