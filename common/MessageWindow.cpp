#include "common/MessageWindow.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <atomic>
#include <unordered_map>

namespace qv {

namespace {

// Windows by handle. Only the main thread reads or changes the registry; other
// threads reach it through queued calls.
std::unordered_map<WindowHandle, MessageWindow*>& Registry()
{
    static std::unordered_map<WindowHandle, MessageWindow*> registry;
    return registry;
}

std::atomic<WindowHandle> g_nextHandle{1};

MessageWindow* Find(WindowHandle window)
{
    auto& registry = Registry();
    auto it = registry.find(window);
    return it == registry.end() ? nullptr : it->second;
}

bool OnMainThread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

} // namespace

LRESULT DefWindowProc(WindowHandle, std::uint32_t, WPARAM, LPARAM)
{
    return 0;
}

LRESULT SendMessage(WindowHandle window, std::uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    if (!OnMainThread()) {
        LRESULT result = 0;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&] { result = SendMessage(window, msg, wParam, lParam); },
            Qt::BlockingQueuedConnection);
        return result;
    }
    MessageWindow* target = Find(window);
    if (!target)
        return 0;
    TMessage message{msg, wParam, lParam, 0};
    target->Deliver(message);
    return message.Result;
}

bool PostMessage(WindowHandle window, std::uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    if (OnMainThread() && !Find(window))
        return false;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return false;
    QMetaObject::invokeMethod(
        app,
        [=] {
            // Looked up at delivery: a window destroyed meanwhile gets nothing.
            if (MessageWindow* target = Find(window)) {
                TMessage message{msg, wParam, lParam, 0};
                target->Deliver(message);
            }
        },
        Qt::QueuedConnection);
    return true;
}

void ProcessMessages()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

MessageWindow::MessageWindow(Handler handler) : m_handler(std::move(handler)), m_handle(g_nextHandle++)
{
    Registry().emplace(m_handle, this);
}

MessageWindow::~MessageWindow()
{
    for (auto& [id, timer] : m_timers)
        timer.clock->StopTimer(timer.id);
    Registry().erase(m_handle);
}

void MessageWindow::SetTimer(WPARAM id, int intervalMs)
{
    KillTimer(id);
    const WindowHandle self = m_handle;
    Clock& clock = Clock::Instance();
    m_timers[id] = RunningTimer{&clock, 0};
    m_timers[id].id = clock.StartTimer(intervalMs, [self, id] {
        if (MessageWindow* target = Find(self)) {
            TMessage message{WM_TIMER, id, 0, 0};
            target->Deliver(message);
        }
    });
}

bool MessageWindow::KillTimer(WPARAM id)
{
    auto it = m_timers.find(id);
    if (it == m_timers.end())
        return false;
    it->second.clock->StopTimer(it->second.id);
    m_timers.erase(it);
    return true;
}

bool MessageWindow::TimerRunning(WPARAM id) const
{
    return m_timers.count(id) != 0;
}

bool MessageWindow::IsWindow(WindowHandle window)
{
    return Find(window) != nullptr;
}

void MessageWindow::Deliver(TMessage& message)
{
    if (m_handler)
        m_handler(message);
}

} // namespace qv
