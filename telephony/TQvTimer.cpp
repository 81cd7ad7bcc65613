#include "telephony/TQvTimer.h"

#include <cstdio>
#include <exception>

namespace qv {

namespace {
constexpr WPARAM kTimerId = 1;
} // namespace

TQvTimer::TQvTimer(TComponent* owner, int intervalMs)
    : m_owner(owner), m_interval(intervalMs), m_window([this](TMessage& message) { WndProc(message); })
{}

TQvTimer::~TQvTimer()
{
    SetEnabled(false);
}

void TQvTimer::SetEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    Update();
}

void TQvTimer::Update()
{
    m_window.KillTimer(kTimerId);
    if (m_interval != 0 && m_enabled && m_onTimer)
        m_window.SetTimer(kTimerId, m_interval);
}

void TQvTimer::WndProc(TMessage& message)
{
    if (message.Msg != WM_TIMER || message.WParam != kTimerId) {
        message.Result = DefWindowProc(m_window.Handle(), message.Msg, message.WParam, message.LParam);
        return;
    }
    if (!m_onTimer)
        return;
    // A failing handler must not take the event loop down with it: report it
    // and keep ticking, as the application's exception handler would.
    try {
        TNotifyEvent handler = m_onTimer;
        handler(this);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "TQvTimer: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "TQvTimer: unknown exception\n");
    }
}

} // namespace qv
