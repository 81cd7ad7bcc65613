// A telephony service with the simulated exchange installed, an application
// that records every callback, and helpers to wait for messages with a bound.
#pragma once

#include "common/MessageWindow.h"
#include "telephony/service/Service.h"
#include "telephony/service/Tapi.h"
#include "telephony/service/providers/sim/SimExchange.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <functional>
#include <vector>

namespace tapitest {

using namespace tapi;

struct Msg
{
    DWORD device;
    DWORD message;
    DWORD_PTR instance;
    DWORD_PTR p1;
    DWORD_PTR p2;
    DWORD_PTR p3;
};

// Every callback of every application in this process lands here.
struct Log
{
    std::vector<Msg> messages;
    bool insideApi = false;        // set by the test around API calls
    bool calledFromInside = false; // a callback ran while it was set
    std::function<void(const Msg&)> onMessage;
};

inline Log& TheLog()
{
    static Log log;
    return log;
}

inline void Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2,
                     DWORD_PTR p3)
{
    Log& log = TheLog();
    if (log.insideApi)
        log.calledFromInside = true;
    log.messages.push_back({device, message, instance, p1, p2, p3});
    if (log.onMessage)
        log.onMessage(log.messages.back());
}

// Runs the event loop until `done` holds, for at most five seconds of real time.
inline bool WaitFor(const std::function<bool()>& done)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > 5000)
            return false;
        qv::ProcessMessages();
    }
    return true;
}

// Runs the event loop until the service has nothing left to deliver.
inline void Settle()
{
    WaitFor([] { return Service::PendingMessages() == 0; });
    qv::ProcessMessages();
}

class ServiceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TheLog() = Log{};
        auto sim = std::make_unique<sim::SimExchange>();
        m_sim = sim.get();
        Configure(*m_sim);
        ASSERT_TRUE(Service::Install(std::move(sim)));
    }

    void TearDown() override
    {
        Service::Uninstall();
        TheLog() = Log{};
    }

    // Two lines by default: line 0 with a phone and wave devices, line 1 plain.
    virtual void Configure(sim::SimExchange& s)
    {
        sim::SimLineConfig first;
        first.name = QStringLiteral("Line A");
        first.waveIn = 3;
        first.waveOut = 4;
        first.phone = s.AddPhone({});
        s.AddLine(first);
        sim::SimLineConfig second;
        second.name = QStringLiteral("Line B");
        second.addresses = {QStringLiteral("200"), QStringLiteral("201")};
        s.AddLine(second);
    }

    HLINEAPP Init()
    {
        LINEINITIALIZEEXPARAMS params{};
        params.dwTotalSize = sizeof params;
        params.dwOptions = LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
        DWORD version = TAPI_VERSION_2_2;
        DWORD devs = 0;
        HLINEAPP app = 0;
        EXPECT_EQ(lineInitializeExW(&app, nullptr, Callback, nullptr, &devs, &version, &params), 0);
        return app;
    }

    HLINE Open(HLINEAPP app, DWORD device, DWORD_PTR instance = 77,
               DWORD privileges = LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR,
               DWORD media = LINEMEDIAMODE_DATAMODEM)
    {
        HLINE line = 0;
        EXPECT_EQ(lineOpenW(app, device, &line, TAPI_VERSION_2_2, 0, instance, privileges, media, nullptr),
                  0);
        return line;
    }

    std::vector<Msg> Of(DWORD message) const
    {
        std::vector<Msg> out;
        for (const Msg& m : TheLog().messages)
            if (m.message == message)
                out.push_back(m);
        return out;
    }

    // A connected incoming call: offered, answered and connected; returns the
    // application's handle.
    HCALL ConnectedIncomingCall(HLINE line)
    {
        (void)line;
        const CallId call = m_sim->OfferCall(0);
        EXPECT_NE(call, 0u);
        Settle();
        const auto states = Of(LINE_CALLSTATE);
        EXPECT_FALSE(states.empty());
        const HCALL h = states.empty() ? 0 : static_cast<HCALL>(states.back().device);
        EXPECT_GT(lineAnswer(h, nullptr, 0), 0);
        Settle();
        EXPECT_EQ(m_sim->State(call), LINECALLSTATE_CONNECTED);
        return h;
    }

    sim::SimExchange* m_sim = nullptr;
};

} // namespace tapitest
