// The per-component message endpoint: a hidden "window" owned by the main
// thread, addressed by an opaque WindowHandle, to which numbered messages with
// two word-sized parameters are sent (synchronously) or posted (queued on the
// event loop), and on which numbered timers run.
#pragma once

#include "common/Clock.h"

#include <cstdint>
#include <functional>
#include <map>

namespace qv {

// Opaque identity of an endpoint. Handles are never reused within a process,
// so a stale handle finds nothing instead of a stranger. 0 is no window.
using WindowHandle = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

struct TMessage
{
    std::uint32_t Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

constexpr std::uint32_t WM_TIMER = 0x0113;
constexpr std::uint32_t EM_REPLACESEL = 0x00C2;
constexpr std::uint32_t WM_USER = 0x0400;

// The default handling of a message no handler knows: result 0.
LRESULT DefWindowProc(WindowHandle window, std::uint32_t msg, WPARAM wParam, LPARAM lParam);

// Runs the handler of `window` synchronously and returns its result; 0 when no
// such window exists. From a thread other than the main thread the call blocks
// until the main thread has handled the message.
LRESULT SendMessage(WindowHandle window, std::uint32_t msg, WPARAM wParam, LPARAM lParam);

// Queues the message for a later turn of the event loop; false when no such
// window exists. A message whose window is destroyed before delivery is
// dropped. Callable from any thread.
bool PostMessage(WindowHandle window, std::uint32_t msg, WPARAM wParam, LPARAM lParam);

// One turn of the event loop: delivers posted messages and pending events.
void ProcessMessages();

class MessageWindow
{
public:
    using Handler = std::function<void(TMessage&)>;

    // The handler runs for every message sent or posted to this window and for
    // WM_TIMER (WParam = timer id). It must outlive the window.
    explicit MessageWindow(Handler handler);
    ~MessageWindow();
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    WindowHandle Handle() const { return m_handle; }

    // Starts or restarts timer `id`; WM_TIMER arrives every `intervalMs`
    // through the Clock in force. Starting an id that runs replaces it.
    void SetTimer(WPARAM id, int intervalMs);
    // Stops timer `id`; false when it was not running.
    bool KillTimer(WPARAM id);
    bool TimerRunning(WPARAM id) const;

    // Whether a window with this handle exists now.
    static bool IsWindow(WindowHandle window);

private:
    friend LRESULT SendMessage(WindowHandle, std::uint32_t, WPARAM, LPARAM);
    friend bool PostMessage(WindowHandle, std::uint32_t, WPARAM, LPARAM);
    void Deliver(TMessage& message);

    Handler m_handler;
    WindowHandle m_handle;
    struct RunningTimer
    {
        Clock* clock; // the clock that started it stops it
        TimerId id;
    };
    std::map<WPARAM, RunningTimer> m_timers;
};

} // namespace qv
