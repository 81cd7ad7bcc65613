#include "serial/InternalTimer.h"

#include "common/ErrorCodes.h"

namespace qv {

namespace {
constexpr WPARAM kTimerId = 1;
}

TInternalTimer::TInternalTimer() : m_window([this](TMessage& message) { OnMessage(message); }) {}

TInternalTimer::~TInternalTimer()
{
    Stop();
}

int TInternalTimer::Start()
{
    if (m_enabled)
        return 0;
    m_window.KillTimer(kTimerId);
    if (m_interval != 0 && m_callback) {
        if (m_interval < 0)
            return err::OutOfMemory; // the system would refuse such a timer
        m_window.SetTimer(kTimerId, m_interval);
        m_enabled = true;
    }
    return 0;
}

void TInternalTimer::Stop()
{
    m_window.KillTimer(kTimerId);
    m_enabled = false;
}

void TInternalTimer::OnMessage(TMessage& message)
{
    if (message.Msg == WM_TIMER && message.WParam == kTimerId) {
        if (m_callback)
            m_callback();
        return;
    }
    message.Result = DefWindowProc(m_window.Handle(), message.Msg, message.WParam, message.LParam);
}

} // namespace qv
