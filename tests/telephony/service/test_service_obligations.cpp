// What the service owes its client: delivery from the event loop only, replies
// before the states they cause, unique request IDs, calls really dropped on
// close, the comm handle as the caller's own dup, end of file on a remote
// hang-up.
#include "ServiceFixture.h"

#include "common/Clock.h"

#include <QByteArray>

#include <algorithm>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tapitest {
namespace {

using sim::Reply;

LINECALLPARAMS DataCallParams()
{
    LINECALLPARAMS p{};
    p.dwTotalSize = sizeof p;
    p.dwBearerMode = LINEBEARERMODE_VOICE;
    p.dwMinRate = 28800;
    p.dwMaxRate = 57600;
    p.dwMediaMode = LINEMEDIAMODE_DATAMODEM;
    p.dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
    p.dwAddressMode = LINEADDRESSMODE_ADDRESSID;
    return p;
}

// The descriptor a "comm/datamodem" query on the call hands out.
int CommHandle(HCALL call)
{
    alignas(4) unsigned char buffer[256] = {};
    auto* vs = reinterpret_cast<VARSTRING*>(buffer);
    vs->dwTotalSize = sizeof buffer;
    if (lineGetIDW(0, 0, call, LINECALLSELECT_CALL, vs, u"comm/datamodem") != 0)
        return -1;
    DWORD fd = 0;
    std::memcpy(&fd, buffer + vs->dwStringOffset, sizeof fd);
    return static_cast<int>(fd);
}

QByteArray ReadWithin(int fd, qsizetype want)
{
    QByteArray got;
    WaitFor([&] {
        char b[256];
        const ssize_t n = ::recv(fd, b, sizeof b, MSG_DONTWAIT);
        if (n > 0)
            got.append(b, n);
        return got.size() >= want;
    });
    return got;
}

bool SeesEndOfFile(int fd)
{
    return WaitFor([&] {
        char b[16];
        return ::recv(fd, b, sizeof b, MSG_DONTWAIT) == 0;
    });
}

TEST_F(ServiceTest, CallbacksComeFromTheEventLoopNeverFromInsideTheCall)
{
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0);
    m_sim->LineConfig(0).autoProgress = true;
    LINECALLPARAMS params = DataCallParams();
    HCALL call = 0;

    TheLog().insideApi = true;
    const LONG id = lineMakeCallW(line, &call, u"5551234", 0, &params);
    TheLog().insideApi = false;

    // The exchange completed and connected the call inside lineMakeCall, yet
    // nothing has been delivered and the cell is still untouched.
    ASSERT_GT(id, 0);
    EXPECT_TRUE(TheLog().messages.empty());
    EXPECT_EQ(call, 0u);
    EXPECT_GT(Service::PendingMessages(), 0);

    // A callback that calls back into the service gets its answers later too.
    TheLog().onMessage = [&](const Msg& m) {
        if (m.message == LINE_CALLSTATE && m.p1 == LINECALLSTATE_CONNECTED) {
            TheLog().insideApi = true;
            EXPECT_GT(lineDrop(static_cast<HCALL>(m.device), nullptr, 0), 0);
            TheLog().insideApi = false;
        }
    };
    Settle();
    EXPECT_FALSE(TheLog().calledFromInside);
    EXPECT_EQ(Of(LINE_REPLY).size(), 2u); // make call, then drop
    EXPECT_EQ(Of(LINE_CALLSTATE).back().p1, LINECALLSTATE_IDLE);
}

TEST_F(ServiceTest, ReplyComesBeforeTheStatesItCausesAndTheCellIsFilledByThen)
{
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0, 1234);
    m_sim->LineConfig(0).autoProgress = true;
    LINECALLPARAMS params = DataCallParams();
    HCALL call = 0;
    HCALL cellAtReply = 1;
    TheLog().onMessage = [&](const Msg& m) {
        if (m.message == LINE_REPLY)
            cellAtReply = call;
    };
    const LONG id = lineMakeCallW(line, &call, u"5551234", 0, &params);
    Settle();

    const auto& all = TheLog().messages;
    ASSERT_GE(all.size(), 6u);
    EXPECT_EQ(all[0].message, LINE_REPLY);
    EXPECT_EQ(all[0].p1, static_cast<DWORD_PTR>(id));
    EXPECT_EQ(all[0].p2, 0u);
    EXPECT_EQ(all[0].instance, 1234u);
    EXPECT_NE(cellAtReply, 0u);
    EXPECT_EQ(cellAtReply, call);
    std::vector<DWORD_PTR> states;
    for (std::size_t i = 1; i < all.size(); ++i) {
        EXPECT_EQ(all[i].message, LINE_CALLSTATE);
        EXPECT_EQ(all[i].device, call);
        states.push_back(all[i].p1);
    }
    EXPECT_EQ(states,
              (std::vector<DWORD_PTR>{LINECALLSTATE_DIALTONE, LINECALLSTATE_DIALING, LINECALLSTATE_PROCEEDING,
                                      LINECALLSTATE_RINGBACK, LINECALLSTATE_CONNECTED}));
    // The first state tells the application its privilege on the call.
    EXPECT_EQ(all[1].p3, LINECALLPRIVILEGE_OWNER);
    EXPECT_EQ(all[2].p3, 0u);
}

TEST_F(ServiceTest, StatesOfACallWhoseCreationIsUnrepliedWaitForTheReply)
{
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0);
    m_sim->SetNextReply(QStringLiteral("lineMakeCall"), Reply::Held());
    HCALL call = 0;
    ASSERT_GT(lineMakeCallW(line, &call, u"1", 0, nullptr), 0);
    const CallId id = m_sim->LastCall();
    m_sim->SetCallState(id, LINECALLSTATE_DIALTONE);
    Settle();
    EXPECT_TRUE(TheLog().messages.empty());

    ASSERT_EQ(m_sim->HeldRequests().size(), 1u);
    m_sim->Complete(m_sim->HeldRequests().front());
    Settle();
    ASSERT_EQ(TheLog().messages.size(), 2u);
    EXPECT_EQ(TheLog().messages[0].message, LINE_REPLY);
    EXPECT_EQ(TheLog().messages[1].message, LINE_CALLSTATE);
    EXPECT_EQ(TheLog().messages[1].p1, LINECALLSTATE_DIALTONE);
    EXPECT_EQ(TheLog().messages[1].device, call);
}

TEST_F(ServiceTest, AnswerIsRepliedBeforeTheCallConnects)
{
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0);
    const HCALL call = ConnectedIncomingCall(line);
    const auto& all = TheLog().messages;
    const auto reply =
        std::find_if(all.begin(), all.end(), [](const Msg& m) { return m.message == LINE_REPLY; });
    const auto connected = std::find_if(all.begin(), all.end(), [](const Msg& m) {
        return m.message == LINE_CALLSTATE && m.p1 == LINECALLSTATE_CONNECTED;
    });
    ASSERT_NE(reply, all.end());
    ASSERT_NE(connected, all.end());
    EXPECT_LT(reply - all.begin(), connected - all.begin());
    EXPECT_EQ(connected->device, call);
}

TEST_F(ServiceTest, AConnectionReportedBeforeItsAnswerIsRepliedWaitsForTheReply)
{
    m_sim->LineConfig(0).autoStates = false; // the test reports every state itself
    const HLINEAPP app = Init();
    Open(app, 0);
    const CallId first = m_sim->OfferCall(0);
    Settle();
    const HCALL call = static_cast<HCALL>(Of(LINE_CALLSTATE).back().device);
    m_sim->SetNextReply(QStringLiteral("lineAnswer"), Reply::Held());
    const LONG answer = lineAnswer(call, nullptr, 0);
    ASSERT_GT(answer, 0);
    // A provider that reports the connection before it completes the answer.
    m_sim->SetCallState(first, LINECALLSTATE_CONNECTED);
    TheLog().messages.clear();
    Settle();
    EXPECT_TRUE(TheLog().messages.empty());
    ASSERT_TRUE(m_sim->Complete(static_cast<RequestId>(answer)));
    Settle();
    ASSERT_EQ(TheLog().messages.size(), 2u);
    EXPECT_EQ(TheLog().messages[0].message, LINE_REPLY);
    EXPECT_EQ(TheLog().messages[1].message, LINE_CALLSTATE);
    EXPECT_EQ(TheLog().messages[1].p1, LINECALLSTATE_CONNECTED);

    // The wait ends at the next state too, so nothing is lost or reordered
    // when the reply never comes.
    const CallId second = m_sim->OfferCall(0);
    Settle();
    const HCALL other = static_cast<HCALL>(Of(LINE_CALLSTATE).back().device);
    m_sim->SetNextReply(QStringLiteral("lineAnswer"), Reply::Held());
    ASSERT_GT(lineAnswer(other, nullptr, 0), 0);
    m_sim->SetCallState(second, LINECALLSTATE_CONNECTED);
    m_sim->RemoteHangup(second);
    TheLog().messages.clear();
    Settle();
    ASSERT_EQ(Of(LINE_CALLSTATE).size(), 2u);
    EXPECT_EQ(Of(LINE_CALLSTATE)[0].p1, LINECALLSTATE_CONNECTED);
    EXPECT_EQ(Of(LINE_CALLSTATE)[1].p1, LINECALLSTATE_DISCONNECTED);
    EXPECT_TRUE(Of(LINE_REPLY).empty());
}

TEST_F(ServiceTest, RequestIdsAreUniqueAcrossLineAndPhoneRequests)
{
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0);
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwOptions = PHONEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    DWORD version = TAPI_VERSION_2_2;
    DWORD phones = 0;
    HPHONEAPP phoneApp = 0;
    ASSERT_EQ(phoneInitializeExW(&phoneApp, nullptr, Callback, nullptr, &phones, &version, &params), 0);
    ASSERT_EQ(phones, 1u);
    HPHONE phone = 0;
    ASSERT_EQ(phoneOpen(phoneApp, 0, &phone, TAPI_VERSION_2_2, 0, 5, PHONEPRIVILEGE_OWNER), 0);

    std::vector<LONG> ids;
    HCALL calls[3] = {}; // the cells live until the replies have come
    for (int i = 0; i < 3; ++i) {
        ids.push_back(lineMakeCallW(line, &calls[i], u"", 0, nullptr));
        ids.push_back(phoneSetLamp(phone, 0, PHONELAMPMODE_STEADY));
        ids.push_back(phoneSetHookSwitch(phone, PHONEHOOKSWITCHDEV_HANDSET, PHONEHOOKSWITCHMODE_MIC));
    }
    for (LONG id : ids)
        EXPECT_GT(id, 0);
    std::vector<LONG> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());

    Settle();
    // Each reply goes to its own kind of callback message with its own ID.
    EXPECT_EQ(Of(LINE_REPLY).size(), 3u);
    EXPECT_EQ(Of(PHONE_REPLY).size(), 6u);
    for (const Msg& m : Of(PHONE_REPLY))
        EXPECT_EQ(m.instance, 5u);
}

TEST_F(ServiceTest, LineCloseAndShutdownReallyDropTheCalls)
{
    for (bool shutdown : {false, true}) {
        SCOPED_TRACE(shutdown ? "lineShutdown" : "lineClose");
        const HLINEAPP app = Init();
        const HLINE line = Open(app, 0);
        const HCALL call = ConnectedIncomingCall(line);
        const CallId id = Service::CallOfHandle(call);
        const int fd = CommHandle(call);
        ASSERT_GE(fd, 0);

        ASSERT_EQ(shutdown ? lineShutdown(app) : lineClose(line), 0);
        // The exchange no longer has the call; its data channel is shut, so the
        // application's copy of the handle reads end of file.
        EXPECT_TRUE(m_sim->Calls(0).empty());
        EXPECT_EQ(m_sim->State(id), 0u);
        EXPECT_FALSE(m_sim->IsLineOpen(0));
        EXPECT_TRUE(SeesEndOfFile(fd));
        ::close(fd);
        EXPECT_EQ(lineDrop(call, nullptr, 0), LINEERR_INVALCALLHANDLE);
        if (!shutdown)
            lineShutdown(app);
        TheLog() = Log{};
    }
}

TEST_F(ServiceTest, CommHandleIsTheCallersOwnDuplicate)
{
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0);
    const HCALL call = ConnectedIncomingCall(line);
    const CallId id = Service::CallOfHandle(call);

    alignas(4) unsigned char buffer[64] = {};
    auto* vs = reinterpret_cast<VARSTRING*>(buffer);
    vs->dwTotalSize = sizeof buffer;
    ASSERT_EQ(lineGetIDW(0, 0, call, LINECALLSELECT_CALL, vs, u"comm/datamodem"), 0);
    EXPECT_EQ(vs->dwStringFormat, STRINGFORMAT_BINARY);
    ASSERT_GE(vs->dwStringSize, 4u + 2u);
    DWORD first = 0;
    std::memcpy(&first, buffer + vs->dwStringOffset, 4);
    // The handle is followed by the device name.
    EXPECT_EQ(QString::fromUtf16(reinterpret_cast<const char16_t*>(buffer + vs->dwStringOffset + 4)),
              QStringLiteral("SIM0"));

    // Closing the application's copy leaves the call's channel working.
    ::close(static_cast<int>(first));
    const int second = CommHandle(call);
    ASSERT_GE(second, 0);
    ASSERT_TRUE(m_sim->WritePeer(id, "ping"));
    EXPECT_EQ(ReadWithin(second, 4), QByteArray("ping"));
    ASSERT_EQ(::send(second, "pong", 4, MSG_NOSIGNAL), 4);
    EXPECT_TRUE(WaitFor([&] { return m_sim->ReadPeer(id) == "pong"; }));
    ::close(second);

    // An answer that does not fit hands out no descriptor at all.
    VARSTRING small{};
    small.dwTotalSize = sizeof small;
    const int before = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
    ::close(before);
    ASSERT_EQ(lineGetIDW(0, 0, call, LINECALLSELECT_CALL, &small, u"comm/datamodem"), 0);
    EXPECT_GT(small.dwNeededSize, small.dwUsedSize);
    EXPECT_EQ(small.dwStringSize, 0u);
    const int after = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
    EXPECT_EQ(after, before); // the lowest free descriptor is still free
    ::close(after);
}

TEST_F(ServiceTest, RemoteHangUpIsEndOfFileOnTheChannelThenDisconnected)
{
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0);
    const HCALL call = ConnectedIncomingCall(line);
    const CallId id = Service::CallOfHandle(call);
    const int fd = CommHandle(call);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(m_sim->WritePeer(id, "last words"));
    TheLog().messages.clear();

    m_sim->RemoteHangup(id);
    Settle();
    // Bytes sent before the hang-up are still there, then end of file.
    EXPECT_EQ(ReadWithin(fd, 10), QByteArray("last words"));
    EXPECT_TRUE(SeesEndOfFile(fd));
    ASSERT_EQ(Of(LINE_CALLSTATE).size(), 1u);
    EXPECT_EQ(Of(LINE_CALLSTATE)[0].p1, LINECALLSTATE_DISCONNECTED);
    EXPECT_EQ(Of(LINE_CALLSTATE)[0].p2, LINEDISCONNECTMODE_NORMAL);
    ::close(fd);
}

TEST_F(ServiceTest, RepliesMayBeErrorsLateOrHeld)
{
    qv::ScopedVirtualClock clock;
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0);

    // An error reply: the cell stays as it was and no call appears.
    m_sim->SetNextReply(QStringLiteral("lineMakeCall"), Reply::Error(LINEERR_CALLUNAVAIL));
    HCALL call = 0;
    const LONG failed = lineMakeCallW(line, &call, u"1", 0, nullptr);
    Settle();
    ASSERT_EQ(Of(LINE_REPLY).size(), 1u);
    EXPECT_EQ(Of(LINE_REPLY)[0].p1, static_cast<DWORD_PTR>(failed));
    EXPECT_EQ(static_cast<LONG>(Of(LINE_REPLY)[0].p2), LINEERR_CALLUNAVAIL);
    EXPECT_EQ(call, 0u);
    EXPECT_TRUE(m_sim->Calls(0).empty());

    // A late answer arrives when its time has come, and not before.
    const CallId offered = m_sim->OfferCall(0);
    Settle();
    const HCALL h = static_cast<HCALL>(Of(LINE_CALLSTATE).back().device);
    m_sim->SetReply(QStringLiteral("lineAnswer"), Reply::After(40000));
    TheLog().messages.clear();
    ASSERT_GT(lineAnswer(h, nullptr, 0), 0);
    clock->Advance(39999);
    Settle();
    EXPECT_TRUE(TheLog().messages.empty());
    clock->Advance(1);
    Settle();
    ASSERT_EQ(Of(LINE_REPLY).size(), 1u);
    EXPECT_EQ(m_sim->State(offered), LINECALLSTATE_CONNECTED);

    // A held request is answered only when the test says so.
    m_sim->SetNextReply(QStringLiteral("lineDrop"), Reply::Held());
    TheLog().messages.clear();
    const LONG drop = lineDrop(h, nullptr, 0);
    clock->Advance(600000);
    Settle();
    EXPECT_TRUE(TheLog().messages.empty());
    ASSERT_TRUE(m_sim->Complete(static_cast<RequestId>(drop), LINEERR_OPERATIONFAILED));
    Settle();
    ASSERT_EQ(Of(LINE_REPLY).size(), 1u);
    EXPECT_EQ(static_cast<LONG>(Of(LINE_REPLY)[0].p2), LINEERR_OPERATIONFAILED);
    EXPECT_EQ(m_sim->State(offered), LINECALLSTATE_CONNECTED); // a failed drop changes nothing
}

TEST_F(ServiceTest, NothingIsDeliveredAfterShutdownOrUninstall)
{
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0);
    m_sim->OfferCall(0);
    ASSERT_GT(Service::PendingMessages(), 0);
    ASSERT_EQ(lineShutdown(app), 0);
    Settle();
    EXPECT_TRUE(TheLog().messages.empty());
    EXPECT_EQ(lineClose(line), LINEERR_INVALLINEHANDLE);

    const HLINEAPP again = Init();
    Open(again, 0);
    m_sim->OfferCall(0);
    Service::Uninstall();
    Settle();
    EXPECT_TRUE(TheLog().messages.empty());
    // Without a service there is no telephony at all.
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwOptions = LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    DWORD version = TAPI_VERSION_2_2;
    DWORD devs = 0;
    HLINEAPP none = 0;
    EXPECT_EQ(lineInitializeExW(&none, nullptr, Callback, nullptr, &devs, &version, &params),
              LINEERR_NODRIVER);
}

TEST_F(ServiceTest, ACallbackThatRunsTheEventLoopGetsTheRestInOrderOnce)
{
    const HLINEAPP app = Init();
    Open(app, 0);
    const HLINE second = Open(app, 1);
    ASSERT_EQ(lineSetStatusMessages(second, LINEDEVSTATE_RINGING, 0), 0);
    m_sim->OfferCall(1);
    for (int i = 0; i < 5; ++i)
        m_sim->Ring(1);
    int depth = 0;
    int deepest = 0;
    TheLog().onMessage = [&](const Msg&) {
        ++depth;
        deepest = std::max(deepest, depth);
        qv::ProcessMessages(); // as the phone does while it hangs up
        --depth;
    };
    Settle();
    const auto rings = Of(LINE_LINEDEVSTATE);
    ASSERT_EQ(rings.size(), 5u);
    for (std::size_t i = 0; i < rings.size(); ++i)
        EXPECT_EQ(rings[i].p3, i);
    EXPECT_EQ(TheLog().messages.front().message, LINE_CALLSTATE);
    EXPECT_GE(deepest, 1);
}

TEST_F(ServiceTest, ACellIsNotWrittenAfterItsLineWasClosed)
{
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0);
    m_sim->SetNextReply(QStringLiteral("lineMakeCall"), Reply::Held());
    HCALL call = 0;
    const LONG id = lineMakeCallW(line, &call, u"1", 0, nullptr);
    ASSERT_GT(id, 0);
    ASSERT_EQ(lineClose(line), 0);
    // The application may have freed the cell by now; a late success must not
    // write into it, and no reply goes to an open that is gone.
    m_sim->Complete(static_cast<RequestId>(id));
    Settle();
    EXPECT_EQ(call, 0u);
    EXPECT_TRUE(TheLog().messages.empty());
}

TEST_F(ServiceTest, ACallbackThatThrowsDoesNotStopTheDelivery)
{
    const HLINEAPP app = Init();
    Open(app, 0);
    m_sim->OfferCall(0);
    m_sim->OfferCall(0);
    TheLog().onMessage = [](const Msg& m) {
        if (TheLog().messages.size() == 1)
            throw std::runtime_error("handler failed on " + std::to_string(m.message));
    };
    Settle();
    EXPECT_EQ(Of(LINE_CALLSTATE).size(), 2u);
    // Later messages still come.
    m_sim->OfferCall(0);
    Settle();
    EXPECT_EQ(Of(LINE_CALLSTATE).size(), 3u);
}

TEST_F(ServiceTest, UninstallFromInsideACallbackIsSafe)
{
    const HLINEAPP app = Init();
    Open(app, 0);
    m_sim->OfferCall(0);
    m_sim->OfferCall(0);
    TheLog().onMessage = [](const Msg&) { Service::Uninstall(); };
    Settle();
    EXPECT_EQ(TheLog().messages.size(), 1u); // the second message went with the service
    EXPECT_FALSE(Service::IsInstalled());
    auto again = std::make_unique<sim::SimExchange>();
    again->AddLine({});
    EXPECT_TRUE(Service::Install(std::move(again)));
}

} // namespace
} // namespace tapitest
