// The signals that ask a program to end (SIGTERM, SIGINT and SIGHUP), turned
// into a call on the event loop. The signal handler only writes the signal's
// number into a pipe whose other end the event loop watches, so everything a
// program does about the signal (saving, hanging up, closing) runs as
// ordinary code between two events, never inside the handler.
#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace vh {

class SignalWatcher : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<void(int signalNumber)>;

    // Takes over the three signals until destroyed, which gives them back
    // their earlier handling. One watcher at a time in a process; a second
    // one stays inactive. `handler` runs once per signal delivered and may
    // destroy the watcher.
    explicit SignalWatcher(Handler handler, QObject* parent = nullptr);
    ~SignalWatcher() override;
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    bool Active() const { return m_readFd >= 0; }

    // "SIGTERM", "SIGINT", "SIGHUP"; "signal N" for any other.
    static QString Name(int signalNumber);

private:
    void Drain();

    Handler m_handler;
    int m_readFd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace vh
