// Helpers for the tcp line's tests: a recorder of what the provider reports,
// and a wait that runs the event loop while moving virtual time on, so that
// real loopback sockets and the line's timers both make progress.
#pragma once

#include "common/Clock.h"
#include "telephony/service/Provider.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QString>

#include <cerrno>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace qv::test {

// Runs the event loop, advancing `clock` (if any) by `stepMs` per pass, until
// `done` holds or `boundMs` of real time pass.
template <class Predicate>
bool PumpUntil(Predicate done, VirtualClock* clock = nullptr, int stepMs = 10, int boundMs = 10000)
{
    QDeadlineTimer deadline(boundMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (clock)
            clock->Advance(stepMs);
    }
    return true;
}

// Runs the event loop for a while (to show that something does NOT happen).
inline void PumpFor(int passes, VirtualClock* clock = nullptr, int stepMs = 10)
{
    for (int i = 0; i < passes; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        if (clock)
            clock->Advance(stepMs);
    }
}

struct ProviderEvent
{
    enum Kind
    {
        Reply,
        NewCall,
        State,
        Info,
        DevState,
        Closed,
        DevSpecific
    } kind;
    tapi::DWORD call = 0; // call, or request for Reply, or line for DevState
    tapi::DWORD a = 0;    // result, state
    tapi::DWORD b = 0;    // detail, ring count
};

class RecordingEvents : public tapi::ProviderEvents
{
public:
    std::vector<ProviderEvent> events;
    tapi::CallId nextCall = 1000;
    bool refuseIncoming = false;

    void CompleteRequest(tapi::RequestId request, tapi::LONG result) override
    {
        events.push_back({ProviderEvent::Reply, request, tapi::DWORD(result), 0});
    }
    tapi::CallId NewIncomingCall(tapi::Provider*, int line, tapi::DWORD) override
    {
        if (refuseIncoming)
            return 0;
        events.push_back({ProviderEvent::NewCall, nextCall, tapi::DWORD(line), 0});
        return nextCall++;
    }
    void CallStateChanged(tapi::CallId call, tapi::DWORD state, tapi::DWORD detail, tapi::DWORD) override
    {
        events.push_back({ProviderEvent::State, call, state, detail});
    }
    void CallInfoChanged(tapi::CallId call, tapi::DWORD infoStates) override
    {
        events.push_back({ProviderEvent::Info, call, infoStates, 0});
    }
    void LineDevStateChanged(tapi::Provider*, int line, tapi::DWORD state, tapi::DWORD,
                             tapi::DWORD p3) override
    {
        events.push_back({ProviderEvent::DevState, tapi::DWORD(line), state, p3});
    }
    void LineClosed(tapi::Provider*, int line) override
    {
        events.push_back({ProviderEvent::Closed, tapi::DWORD(line), 0, 0});
    }
    void CallDevSpecific(tapi::CallId call, tapi::DWORD code, tapi::DWORD value, tapi::DWORD) override
    {
        events.push_back({ProviderEvent::DevSpecific, call, code, value});
    }
    void DigitDetected(tapi::CallId, tapi::DWORD, tapi::DWORD) override {}
    void MediaDetected(tapi::CallId, tapi::DWORD) override {}
    void ToneDetected(tapi::CallId, tapi::DWORD) override {}
    void PhoneStateChanged(tapi::Provider*, int, tapi::DWORD, tapi::DWORD) override {}
    void PhoneClosed(tapi::Provider*, int) override {}

    // The call states reported for `call`, in order.
    std::vector<tapi::DWORD> States(tapi::CallId call) const
    {
        std::vector<tapi::DWORD> out;
        for (const auto& e : events)
            if (e.kind == ProviderEvent::State && e.call == call)
                out.push_back(e.a);
        return out;
    }
    bool HasState(tapi::CallId call, tapi::DWORD state) const
    {
        for (const auto& e : events)
            if (e.kind == ProviderEvent::State && e.call == call && e.a == state)
                return true;
        return false;
    }
    tapi::DWORD DetailOf(tapi::CallId call, tapi::DWORD state) const
    {
        for (const auto& e : events)
            if (e.kind == ProviderEvent::State && e.call == call && e.a == state)
                return e.b;
        return 0xFFFFFFFF;
    }
    int Rings(int line) const
    {
        int n = 0;
        for (const auto& e : events)
            if (e.kind == ProviderEvent::DevState && e.call == tapi::DWORD(line) &&
                e.a == tapi::LINEDEVSTATE_RINGING)
                ++n;
        return n;
    }
    // Index of the first matching event, or -1.
    int IndexOf(ProviderEvent::Kind kind, tapi::DWORD call, tapi::DWORD a) const
    {
        for (size_t i = 0; i < events.size(); ++i)
            if (events[i].kind == kind && events[i].call == call && events[i].a == a)
                return int(i);
        return -1;
    }
};

// Reads what is there on a non-blocking descriptor, without waiting.
inline QByteArray ReadAvailable(int fd)
{
    QByteArray out;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, int(n));
    }
    return out;
}

// Whether the descriptor's peer has ended the stream (all data read).
inline bool AtEndOfStream(int fd)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0)
        return false;
    char c;
    const ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN);
}

} // namespace qv::test
