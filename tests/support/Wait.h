// Waiting on events in tests: run the event loop until a condition holds or a
// generous bound passes. Never a fixed sleep, and never a spin: between turns
// the thread sleeps in the event loop until something happens (a socket, a
// timer, a posted message). A slow recheck wakes it for conditions that no
// event of this thread announces (a file a child process makes, a count
// another thread keeps), and the bound itself ends a wait on time.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace qv::test {

constexpr int kWaitRecheckMs = 5;
constexpr int kWaitDrainMs = 20;

template <class Predicate> bool WaitUntil(Predicate done, int boundMs = 10000)
{
    if (done())
        return true;
    QDeadlineTimer deadline(boundMs);
    QTimer recheck;
    recheck.setInterval(kWaitRecheckMs);
    recheck.start();
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        // Sleep until something happens, then let everything that is pending
        // run before looking again. (The overload with a time limit never
        // sleeps: alone, it made every wait a busy loop.)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        QCoreApplication::processEvents(QEventLoop::AllEvents, kWaitDrainMs);
    }
    return true;
}

} // namespace qv::test
