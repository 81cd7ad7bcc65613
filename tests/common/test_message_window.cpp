#include "common/Clock.h"
#include "common/MessageWindow.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

#include <memory>
#include <vector>

namespace {

using namespace qv;

struct Recorder
{
    std::vector<TMessage> seen;
    MessageWindow window{[this](TMessage& m) {
        seen.push_back(m);
        m.Result = m.Msg == WM_USER + 1 ? 42 : DefWindowProc(window.Handle(), m.Msg, m.WParam, m.LParam);
    }};
};

TEST(MessageWindow, SendRunsTheHandlerAtOnceAndReturnsItsResult)
{
    Recorder r;
    EXPECT_EQ(SendMessage(r.window.Handle(), WM_USER + 1, 7, -3), 42);
    ASSERT_EQ(r.seen.size(), 1u);
    EXPECT_EQ(r.seen[0].WParam, 7u);
    EXPECT_EQ(r.seen[0].LParam, -3);
    // A message nobody knows gets the default result.
    EXPECT_EQ(SendMessage(r.window.Handle(), WM_USER + 99, 0, 0), 0);
}

TEST(MessageWindow, PostWaitsForTheEventLoopAndKeepsOrder)
{
    Recorder r;
    ASSERT_TRUE(PostMessage(r.window.Handle(), WM_USER + 5, 1, 0));
    ASSERT_TRUE(PostMessage(r.window.Handle(), WM_USER + 5, 2, 0));
    EXPECT_TRUE(r.seen.empty());
    ProcessMessages();
    ASSERT_EQ(r.seen.size(), 2u);
    EXPECT_EQ(r.seen[0].WParam, 1u);
    EXPECT_EQ(r.seen[1].WParam, 2u);
}

TEST(MessageWindow, StaleHandlesFindNothing)
{
    WindowHandle stale;
    {
        Recorder r;
        stale = r.window.Handle();
        // Posted but never delivered: the window goes first.
        ASSERT_TRUE(PostMessage(stale, WM_USER + 1, 0, 0));
    }
    ProcessMessages(); // must not touch the destroyed window
    EXPECT_FALSE(MessageWindow::IsWindow(stale));
    EXPECT_EQ(SendMessage(stale, WM_USER + 1, 0, 0), 0);
    EXPECT_FALSE(PostMessage(stale, WM_USER + 1, 0, 0));
    EXPECT_FALSE(PostMessage(0, WM_USER + 1, 0, 0));

    // Handles are not reused, so a new window never answers for the old one.
    Recorder fresh;
    EXPECT_NE(fresh.window.Handle(), stale);
}

TEST(MessageWindow, AHandlerMayDestroyItsWindowFromASentMessage)
{
    auto r = std::make_unique<Recorder>();
    auto* raw = r.get();
    MessageWindow killer([&](TMessage&) { r.reset(); });
    SendMessage(killer.Handle(), WM_USER, 0, 0);
    EXPECT_EQ(r, nullptr);
    (void)raw;
}

TEST(MessageWindow, OtherThreadsPostAndSendToTheMainThread)
{
    Recorder r;
    const WindowHandle h = r.window.Handle();
    LRESULT sent = -1;
    QThread* worker = QThread::create([&] {
        PostMessage(h, WM_USER + 2, 9, 0);
        sent = SendMessage(h, WM_USER + 1, 0, 0); // blocks until the main thread handles it
    });
    worker->start();
    for (int i = 0; i < 5000 && !worker->isFinished(); ++i) {
        ProcessMessages();
        worker->wait(1);
    }
    ASSERT_TRUE(worker->wait(5000));
    delete worker;
    ProcessMessages();
    EXPECT_EQ(sent, 42);
    ASSERT_GE(r.seen.size(), 2u);
    EXPECT_EQ(r.seen[0].Msg, WM_USER + 2u) << "the post was queued before the send";
}

TEST(WindowTimers, RunInVirtualTime)
{
    ScopedVirtualClock clock;
    Recorder r;
    r.window.SetTimer(1, 50);
    r.window.SetTimer(2, 6000);
    clock->Advance(49);
    EXPECT_TRUE(r.seen.empty());
    clock->Advance(1);
    ASSERT_EQ(r.seen.size(), 1u);
    EXPECT_EQ(r.seen[0].Msg, WM_TIMER);
    EXPECT_EQ(r.seen[0].WParam, 1u);

    clock->Advance(6000 - 50);
    int fast = 0, slow = 0;
    for (const auto& m : r.seen)
        (m.WParam == 1 ? fast : slow)++;
    EXPECT_EQ(fast, 120);
    EXPECT_EQ(slow, 1);
    EXPECT_EQ(clock->MonotonicMs(), 6000);
}

TEST(WindowTimers, RestartingReplacesAndKillingStops)
{
    ScopedVirtualClock clock;
    Recorder r;
    r.window.SetTimer(7, 100);
    clock->Advance(90);
    r.window.SetTimer(7, 100); // restart: the count begins again
    clock->Advance(90);
    EXPECT_TRUE(r.seen.empty());
    clock->Advance(10);
    EXPECT_EQ(r.seen.size(), 1u);
    EXPECT_TRUE(r.window.KillTimer(7));
    EXPECT_FALSE(r.window.KillTimer(7));
    EXPECT_FALSE(r.window.TimerRunning(7));
    clock->Advance(1000);
    EXPECT_EQ(r.seen.size(), 1u);
    EXPECT_EQ(clock->ActiveTimers(), 0);
}

TEST(WindowTimers, ATimerHandlerMayKillItselfOrDestroyTheWindow)
{
    ScopedVirtualClock clock;
    int ticks = 0;
    std::unique_ptr<MessageWindow> w;
    w = std::make_unique<MessageWindow>([&](TMessage& m) {
        if (m.Msg == WM_TIMER && ++ticks == 3)
            w.reset();
    });
    w->SetTimer(1, 10);
    clock->Advance(1000);
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(clock->ActiveTimers(), 0) << "a destroyed window leaves no timer behind";
}

TEST(VirtualClock, TimersFireInDueOrderAtTheirOwnInstant)
{
    VirtualClock clock;
    std::vector<std::pair<char, std::int64_t>> fired;
    clock.StartTimer(30, [&] { fired.push_back({'a', clock.MonotonicMs()}); });
    clock.StartTimer(20, [&] { fired.push_back({'b', clock.MonotonicMs()}); });
    const QDateTime before = clock.Now();
    clock.Advance(60);
    const std::vector<std::pair<char, std::int64_t>> expected = {
        {'b', 20}, {'a', 30}, {'b', 40}, {'a', 60}, {'b', 60}};
    EXPECT_EQ(fired, expected);
    EXPECT_EQ(before.msecsTo(clock.Now()), 60);
}

TEST(SystemClock, RealTimersFireThroughTheEventLoop)
{
    Recorder r;
    r.window.SetTimer(3, 5);
    const auto start = Clock::Instance().MonotonicMs();
    while (r.seen.empty() && Clock::Instance().MonotonicMs() - start < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    ASSERT_FALSE(r.seen.empty());
    EXPECT_EQ(r.seen[0].Msg, WM_TIMER);
    EXPECT_TRUE(r.window.KillTimer(3));
}

} // namespace
