// Time for the whole suite: the wall clock, a monotonic millisecond count and
// one-shot/periodic timers. Product code reaches time only through here, so a
// test can install a VirtualClock and run a 6 s time-out in microseconds.
#pragma once

#include <QDateTime>

#include <cstdint>
#include <functional>

namespace qv {

using TimerId = std::uint64_t; // 0 is never a valid timer

class Clock
{
public:
    virtual ~Clock() = default;

    // Local date and time ("Now").
    virtual QDateTime Now() const = 0;
    // Milliseconds since an arbitrary fixed point; never goes backwards.
    virtual std::int64_t MonotonicMs() const = 0;

    // Calls `callback` every `intervalMs` (at least 1 ms) on the thread that
    // runs the event loop, until StopTimer. The callback may stop or start
    // any timer, its own included.
    virtual TimerId StartTimer(int intervalMs, std::function<void()> callback) = 0;
    // Stops a timer; unknown or already stopped ids are ignored.
    virtual void StopTimer(TimerId id) = 0;

    // The clock in force. Never null: the real clock unless a test installed
    // another one.
    static Clock& Instance();
    // Installs `clock` (nullptr restores the real clock). The caller keeps
    // ownership and must uninstall it before destroying it.
    static void Install(Clock* clock);
};

// The clock of the running program: QDateTime, QElapsedTimer and Qt timers.
class SystemClock final : public Clock
{
public:
    SystemClock();
    ~SystemClock() override;
    QDateTime Now() const override;
    std::int64_t MonotonicMs() const override;
    TimerId StartTimer(int intervalMs, std::function<void()> callback) override;
    void StopTimer(TimerId id) override;

private:
    struct Impl;
    Impl* m_impl;
};

// A clock that moves only when told to. Timers fire in due order inside
// Advance(), each at its own virtual instant, so that what a timer callback
// observes is what it would observe in real time.
class VirtualClock final : public Clock
{
public:
    explicit VirtualClock(QDateTime start = QDateTime(QDate(2024, 1, 1), QTime(12, 0)));
    ~VirtualClock() override;

    QDateTime Now() const override;
    std::int64_t MonotonicMs() const override;
    TimerId StartTimer(int intervalMs, std::function<void()> callback) override;
    void StopTimer(TimerId id) override;

    // Moves time forward by `ms`, firing every timer that falls due on the
    // way. Posted messages are not processed here; call ProcessMessages() for
    // those.
    void Advance(std::int64_t ms);
    // How many timers are running.
    int ActiveTimers() const;

private:
    struct Impl;
    Impl* m_impl;
};

// Installs a VirtualClock for the lifetime of the object (tests).
class ScopedVirtualClock
{
public:
    ScopedVirtualClock() { Clock::Install(&m_clock); }
    ~ScopedVirtualClock() { Clock::Install(nullptr); }
    ScopedVirtualClock(const ScopedVirtualClock&) = delete;
    ScopedVirtualClock& operator=(const ScopedVirtualClock&) = delete;
    VirtualClock& operator*() { return m_clock; }
    VirtualClock* operator->() { return &m_clock; }

private:
    VirtualClock m_clock;
};

} // namespace qv
