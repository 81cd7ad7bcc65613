#include "common/Clock.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <map>
#include <memory>

namespace qv {

namespace {
Clock* g_installed = nullptr;
} // namespace

Clock& Clock::Instance()
{
    if (g_installed)
        return *g_installed;
    static SystemClock systemClock;
    return systemClock;
}

void Clock::Install(Clock* clock)
{
    g_installed = clock;
}

// ---------------------------------------------------------------- SystemClock

struct SystemClock::Impl
{
    QElapsedTimer elapsed;
    TimerId nextId = 1;
    std::map<TimerId, std::unique_ptr<QTimer>> timers;
};

SystemClock::SystemClock() : m_impl(new Impl)
{
    m_impl->elapsed.start();
}

SystemClock::~SystemClock()
{
    delete m_impl;
}

QDateTime SystemClock::Now() const
{
    return QDateTime::currentDateTime();
}

std::int64_t SystemClock::MonotonicMs() const
{
    return m_impl->elapsed.elapsed();
}

TimerId SystemClock::StartTimer(int intervalMs, std::function<void()> callback)
{
    const TimerId id = m_impl->nextId++;
    auto timer = std::make_unique<QTimer>();
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(intervalMs < 1 ? 1 : intervalMs);
    QObject::connect(timer.get(), &QTimer::timeout, [cb = std::move(callback)] { cb(); });
    timer->start();
    m_impl->timers.emplace(id, std::move(timer));
    return id;
}

void SystemClock::StopTimer(TimerId id)
{
    auto it = m_impl->timers.find(id);
    if (it == m_impl->timers.end())
        return;
    // The timer may be stopping itself from inside its own timeout signal:
    // let Qt delete it once that signal has returned.
    it->second->stop();
    it->second.release()->deleteLater();
    m_impl->timers.erase(it);
}

// --------------------------------------------------------------- VirtualClock

struct VirtualClock::Impl
{
    struct Timer
    {
        std::int64_t interval;
        std::int64_t due;
        std::shared_ptr<std::function<void()>> callback;
    };
    QDateTime start;
    std::int64_t now = 0;
    TimerId nextId = 1;
    std::map<TimerId, Timer> timers;
};

VirtualClock::VirtualClock(QDateTime start) : m_impl(new Impl)
{
    m_impl->start = std::move(start);
}

VirtualClock::~VirtualClock()
{
    delete m_impl;
}

QDateTime VirtualClock::Now() const
{
    return m_impl->start.addMSecs(m_impl->now);
}

std::int64_t VirtualClock::MonotonicMs() const
{
    return m_impl->now;
}

TimerId VirtualClock::StartTimer(int intervalMs, std::function<void()> callback)
{
    const TimerId id = m_impl->nextId++;
    const std::int64_t interval = intervalMs < 1 ? 1 : intervalMs;
    m_impl->timers.emplace(id, Impl::Timer{interval, m_impl->now + interval,
                                           std::make_shared<std::function<void()>>(std::move(callback))});
    return id;
}

void VirtualClock::StopTimer(TimerId id)
{
    m_impl->timers.erase(id);
}

void VirtualClock::Advance(std::int64_t ms)
{
    const std::int64_t target = m_impl->now + (ms < 0 ? 0 : ms);
    for (;;) {
        // Earliest due timer; ties go to the older timer, as they would in a
        // real event loop.
        auto next = m_impl->timers.end();
        for (auto it = m_impl->timers.begin(); it != m_impl->timers.end(); ++it) {
            if (it->second.due <= target &&
                (next == m_impl->timers.end() || it->second.due < next->second.due))
                next = it;
        }
        if (next == m_impl->timers.end())
            break;
        m_impl->now = next->second.due;
        next->second.due += next->second.interval;
        // Keep the callback alive even if it stops its own timer.
        auto callback = next->second.callback;
        (*callback)();
    }
    m_impl->now = target;
}

int VirtualClock::ActiveTimers() const
{
    return static_cast<int>(m_impl->timers.size());
}

} // namespace qv
