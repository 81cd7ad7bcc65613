// Waiting on events in tests: run the event loop until a condition holds or a
// generous bound passes. Never a fixed sleep.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

namespace qv::test {

template <class Predicate> bool WaitUntil(Predicate done, int boundMs = 10000)
{
    QDeadlineTimer deadline(boundMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

} // namespace qv::test
