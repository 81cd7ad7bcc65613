// The port's tick: a window timer (identifier 1) on a hidden window of its
// own that calls one callback per tick. The port sets the interval to 50 ms
// and the callback to its poll.
#pragma once

#include "common/MessageWindow.h"

#include <functional>

namespace qv {

class TInternalTimer
{
public:
    TInternalTimer();
    ~TInternalTimer();
    TInternalTimer(const TInternalTimer&) = delete;
    TInternalTimer& operator=(const TInternalTimer&) = delete;

    // 1000 ms at first. A change takes effect at the next Start.
    int Interval() const { return m_interval; }
    void SetInterval(int ms) { m_interval = ms; }

    void SetCallback(std::function<void()> callback) { m_callback = std::move(callback); }

    // Starts the ticks unless they run already. With interval 0 or no
    // callback nothing is started and the result is still 0. Returns -50
    // when the timer cannot be set.
    int Start();
    void Stop();
    bool Enabled() const { return m_enabled; }

    WindowHandle Handle() const { return m_window.Handle(); }

private:
    void OnMessage(TMessage& message);

    int m_interval = 1000;
    bool m_enabled = false;
    std::function<void()> m_callback;
    MessageWindow m_window;
};

} // namespace qv
