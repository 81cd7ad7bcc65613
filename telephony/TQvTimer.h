// The phone's internal timer: a periodic tick on its own hidden window, run
// through the suite's Clock so that tests drive it in virtual time. QvPhone
// points OnTimer at its pending-request check and enables the timer only while
// requests are outstanding.
#pragma once

#include "common/MessageWindow.h"

#include <functional>

namespace qv {

class TComponent;

class TQvTimer
{
public:
    using TNotifyEvent = std::function<void(TQvTimer* Sender)>;

    explicit TQvTimer(TComponent* owner, int intervalMs = 150);
    ~TQvTimer();
    TQvTimer(const TQvTimer&) = delete;
    TQvTimer& operator=(const TQvTimer&) = delete;

    TComponent* Owner() const { return m_owner; }
    int Interval() const { return m_interval; }
    bool Enabled() const { return m_enabled; }
    // Setting the value it already has does nothing; otherwise the window
    // timer is stopped and, when enabled with a non-zero interval and a
    // handler, started again.
    void SetEnabled(bool enabled);

    const TNotifyEvent& OnTimer() const { return m_onTimer; }
    void SetOnTimer(TNotifyEvent handler) { m_onTimer = std::move(handler); }

    WindowHandle Handle() const { return m_window.Handle(); }

private:
    void WndProc(TMessage& message);
    void Update();

    TComponent* m_owner;
    int m_interval;
    bool m_enabled = false;
    TNotifyEvent m_onTimer;
    MessageWindow m_window;
};

} // namespace qv
