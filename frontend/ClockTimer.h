// A form timer that runs on the suite's clock, so that tests can run its
// intervals in virtual time.
#pragma once

#include "common/Clock.h"

#include <QObject>

namespace vh {

class ClockTimer : public QObject
{
    Q_OBJECT
public:
    explicit ClockTimer(QObject* parent = nullptr) : QObject(parent) {}
    ~ClockTimer() override { Stop(); }

    int Interval() const { return m_intervalMs; }
    void SetInterval(int intervalMs)
    {
        m_intervalMs = intervalMs;
        if (Enabled())
            Start();
    }
    bool Enabled() const { return m_id != 0; }
    // Starts (or restarts) the timer on the clock in force now.
    void Start()
    {
        Stop();
        m_clock = &qv::Clock::Instance();
        m_id = m_clock->StartTimer(m_intervalMs, [this] { emit Timeout(); });
    }
    void Stop()
    {
        if (m_id != 0)
            m_clock->StopTimer(m_id);
        m_id = 0;
    }

signals:
    void Timeout();

private:
    int m_intervalMs = 1000;
    qv::Clock* m_clock = nullptr;
    qv::TimerId m_id = 0;
};

} // namespace vh
