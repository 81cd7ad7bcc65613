// Calls on the simulated exchange: dialling, answering, ringing, hanging up,
// replies and their time-outs, the comm handle and the data-channel switch.
#include "PhoneHarness.h"

#include "common/CallDataSource.h"
#include "common/ErrorCodes.h"
#include "telephony/service/Service.h"

#include <gtest/gtest.h>

#include <fcntl.h>

using namespace qv;
using namespace qv::test;
using namespace tapi;

namespace {

using Events = std::vector<std::string>;

std::vector<LineSetup> OneLine()
{
    return {LineSetup{}};
}

TEST(PhoneCallTest, RefusalsBeforeAnythingIsSent)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    EXPECT_EQ(phone.DialNumber("1", 0), 157);
    EXPECT_EQ(phone.Answer(0), 157);
    EXPECT_EQ(phone.PickUp(0), 157);
    h.Open(0);
    EXPECT_EQ(phone.Hangup(), 161); // no call at all
    phone.SetAddressID(-1);
    EXPECT_EQ(phone.DialNumber("1", 0), 114);
    phone.SetAddressID(0);
    TCallState state;
    int handle = 0;
    EXPECT_EQ(phone.GetCallState(0, state), err::InvalidArgument);
    EXPECT_EQ(phone.GetCallHandle(-1, handle), err::InvalidArgument);

    const int call = h.Dial();
    h.State(call, LINECALLSTATE_DIALING);
    h.Pump();
    EXPECT_EQ(phone.Answer(0), 110); // dialling, not offered
    EXPECT_EQ(phone.GetCallState(0, state), 0);
    EXPECT_EQ(state, csDialing);
    EXPECT_EQ(phone.GetCallHandle(0, handle), 0);
    EXPECT_EQ(handle, call);
    EXPECT_EQ(h.Count("lineAnswer"), 0);
    int address = -1;
    EXPECT_EQ(phone.GetAddressID(call, address), 0);
    EXPECT_EQ(address, 0);
    EXPECT_EQ(phone.GetAddressID(call + 1000, address), 115);

    // Picking up while a call is offered answers it.
    const int offered = h.Offer();
    ASSERT_EQ(phone.PickUp(5), 0);
    h.Pump();
    EXPECT_EQ(h.Count("lineAnswer"), 1);
    EXPECT_EQ(h.Take().back(), CallEv(csConnected, 1, 5, offered));
    EXPECT_EQ(phone.PickUp(0), 158);
}

TEST(PhoneCallTest, DialledNumbersFollowWaitForDialToneAndTheMediaMode)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    h.Open(0, mmData);
    phone.SetWaitForDialTone(true);
    ASSERT_EQ(phone.DialNumber("123", 0), 0);
    EXPECT_EQ(h.LastText("lineMakeCall"), "W123");
    EXPECT_EQ(h.LastArgs("lineMakeCall").back(), 4u); // waits for the dial tone itself too
    h.Pump();
    int call = 0;
    ASSERT_EQ(phone.GetCallHandle(0, call), 0);
    h.State(call, LINECALLSTATE_DIALTONE);
    h.Pump();
    ASSERT_EQ(phone.Hangup(), 0);
    h.Pump();

    // A pick-up takes the line off hook without a number, and without the W.
    ASSERT_EQ(phone.PickUp(0), 0);
    EXPECT_EQ(h.LastText("lineMakeCall"), "");
    h.Pump();
    EXPECT_EQ(h.Count("lineDial"), 1);
    EXPECT_EQ(h.LastText("lineDial"), "");
    ASSERT_EQ(phone.GetCallHandle(0, call), 0);
    h.State(call, LINECALLSTATE_DIALTONE);
    h.Pump();
    ASSERT_EQ(phone.Hangup(), 0);
    h.Pump();

    phone.SetWaitForDialTone(false);
    phone.SetMediaMode(mmFax);
    ASSERT_EQ(phone.LineReactivate(true), 0);
    ASSERT_EQ(phone.DialNumber("123", 0), 0);
    EXPECT_EQ(h.LastText("lineMakeCall"), "");
    EXPECT_EQ(phone.FaxDialCommand(), QByteArray("ATD123\r"));
    EXPECT_EQ(h.LastArgs("lineMakeCall")[1], LINEBEARERMODE_PASSTHROUGH);
    h.Pump();
    // The pass-through call is the modem itself, connected at once.
    ASSERT_TRUE(phone.IsConnected());
    EXPECT_EQ(h.Take().back(), CallEv(csWaitingForFaxCommand, 0, 0, phone.CurrentCallHandle()));
    EXPECT_EQ(phone.Hangup(), 0);
    EXPECT_TRUE(phone.FaxDialCommand().isEmpty());
}

TEST(PhoneCallTest, FailedAndUnknownRepliesAndRefusedRequests)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    h.Open(0);

    h.Refuse("lineMakeCall", LINEERR_INVALADDRESS);
    EXPECT_EQ(phone.DialNumber("x", 0), 155);
    EXPECT_EQ(phone.PendingRequestCount(), 0);

    h.FailReplies("lineMakeCall", LINEERR_CALLUNAVAIL);
    ASSERT_EQ(phone.DialNumber("1", 0), 0);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({LineEv(lsError, 107)}));
    EXPECT_EQ(phone.NumberOfActiveCalls(), 0);
    EXPECT_FALSE(phone.Timer().Enabled());

    // A pick-up whose call never comes is given up at the time-out; its late
    // reply then finds no request and changes nothing.
    h.HoldReplies("lineMakeCall");
    ASSERT_EQ(phone.PickUp(0), 0);
    h.Advance(10000);
    EXPECT_EQ(h.Take(), Events());
    h.Advance(200);
    EXPECT_EQ(h.Take(), Events({LineEv(lsError, 113)}));
    EXPECT_EQ(phone.PendingRequestCount(), 0);
    EXPECT_FALSE(phone.Timer().Enabled());
    const int dials = h.Count("lineDial");
    h.ReleaseReplies("lineMakeCall");
    EXPECT_EQ(h.Count("lineDial"), dials);
    EXPECT_EQ(phone.PendingRequestCount(), 0);
}

TEST(PhoneCallTest, AnswerDeadlineAllowsAModemItsTraining)
{
    for (TMediaMode mode : {mmData, mmVoice}) {
        SCOPED_TRACE(mode == mmData ? "data" : "voice");
        const int allowance = mode == mmData ? 50000 : 10000;
        PhoneHarness h(OneLine());
        QvPhone& phone = h.phone();
        h.Open(0, mode);
        const int call = h.Offer();
        h.HoldReplies("lineAnswer");
        ASSERT_EQ(phone.Answer(0), 0);
        EXPECT_EQ(phone.Answer(0), 160); // already being answered
        h.Take();
        h.Advance(allowance - 1);
        EXPECT_EQ(h.Take(), Events());
        EXPECT_EQ(h.Count("lineDrop"), 0);
        h.Advance(200);
        // The call is hung up, then the time-out is reported on it.
        const Events events = h.Take();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.front(), BeforeEv(call));
        EXPECT_EQ(events.back(), CallEv(csError, 113, 0, call));
        EXPECT_EQ(h.Count("lineDrop"), 1);
    }
}

TEST(PhoneCallTest, AReplyThatNeverComesIsReportedOnceAndForgotten)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    h.Open(0);
    const int call = h.Connect(h.Offer());
    h.HoldReplies("lineSetCallParams");
    const WindowHandle nobody = 0;
    ASSERT_EQ(SendMessage(phone.Handle(), MSG_CALL_DATA_READY, 0, static_cast<LPARAM>(nobody)), 0);
    h.Take();
    h.Advance(10300);
    EXPECT_EQ(h.Take(), Events({CallEv(csError, 113, 0, call)}));
    // Still awaited for a while (a late reply is processed normally), then
    // given up; no second report.
    EXPECT_EQ(phone.PendingRequestCount(), 1);
    h.Advance(30000);
    EXPECT_EQ(phone.PendingRequestCount(), 1);
    h.Advance(31000);
    EXPECT_EQ(phone.PendingRequestCount(), 0);
    EXPECT_FALSE(phone.Timer().Enabled());
    EXPECT_EQ(h.Take(), Events());
}

TEST(PhoneCallTest, RingingCountsEachOfferedCallOnItsOwn)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    phone.SetInitialRingNumber(1);
    h.Open(0);
    const int first = h.Offer();
    h.Ring();
    const int second = h.Offer();
    h.Take();
    h.Ring();
    EXPECT_EQ(h.Take(), Events({CallEv(csRing, 2, 0, first), CallEv(csRing, 1, 0, second)}));
    EXPECT_EQ(phone.CurrentCallHandle(), second);

    // The caller of the first gives up.
    h.State(first, LINECALLSTATE_IDLE);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({CallEv(csOfferedCallDropped, 0, 0, first)}));
    EXPECT_EQ(phone.NumberOfActiveCalls(), 1);
}

TEST(PhoneCallTest, RingingNeverTurnsACallInProgressIntoARingingOne)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    h.Open(0);
    // A call the service reported without offering it first rings anyway.
    const int dialled = h.Dial();
    h.State(dialled, LINECALLSTATE_PROCEEDING);
    h.Pump();
    h.Take();
    h.Ring();
    EXPECT_EQ(h.Take(), Events({CallEv(csRing, 1, 0, dialled)}));
    h.Connect(dialled);
    h.Take();
    h.Ring();
    EXPECT_EQ(h.Take(), Events());
    EXPECT_TRUE(phone.IsConnected());
}

TEST(PhoneCallTest, RemoteHangUpWithAndWithoutAutoDisconnect)
{
    for (bool automatic : {true, false}) {
        SCOPED_TRACE(automatic ? "AutoDisconnect" : "by hand");
        PhoneHarness h(OneLine());
        QvPhone& phone = h.phone();
        phone.SetAutoDisconnect(automatic);
        h.Open(0);
        const int call = h.Connect(h.Offer());
        h.Take();
        h.State(call, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
        h.Pump();
        if (automatic) {
            EXPECT_EQ(h.Take(), Events({CallEv(csRemotePartyDisconnected, 0, 0, call), BeforeEv(call),
                                        CallEv(csWaitingDisconnection, 0, 0, call),
                                        CallEv(csDisconnected, 0, 0, call)}));
            EXPECT_EQ(phone.NumberOfActiveCalls(), 0);
        } else {
            EXPECT_EQ(h.Take(), Events({CallEv(csRemotePartyDisconnected, 0, 0, call)}));
            EXPECT_EQ(h.Count("lineDrop"), 0);
            EXPECT_EQ(phone.Hangup(), 0);
            h.Pump();
            EXPECT_EQ(h.Take(), Events({BeforeEv(call), CallEv(csWaitingDisconnection, 0, 0, call),
                                        CallEv(csDisconnected, 0, 0, call)}));
        }
        EXPECT_EQ(h.Count("lineDeallocateCall"), 1);
    }
}

TEST(PhoneCallTest, OurOwnHangUpIsNotTakenForTheRemoteGoingAway)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    h.Open(0);
    const int call = h.Connect(h.Offer());
    h.HoldReplies("lineDrop");
    EXPECT_EQ(phone.Hangup(), 0);
    EXPECT_EQ(phone.Hangup(), 0); // already waiting: nothing more is sent
    EXPECT_EQ(h.Count("lineDrop"), 1);
    h.Take();
    h.State(call, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
    h.State(call, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
    h.Pump();
    EXPECT_EQ(h.Take(), Events());
    h.ReleaseReplies("lineDrop");
    h.State(call, LINECALLSTATE_IDLE);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({CallEv(csDisconnected, 0, 0, call)}));
}

TEST(PhoneCallTest, HangupLeavesDataModeFirstAndReportsTheDrop)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    h.Open(0, mmData);
    const int call = h.Connect(h.Offer());
    ASSERT_EQ(SendMessage(phone.Handle(), MSG_CALL_DATA_READY, 0, 0), 0);
    h.Pump();
    EXPECT_TRUE(phone.IsCallConnected(call));
    const int switches = h.Count("lineSetCallParams");

    // Leaving data mode is refused, the drop itself goes through: the call
    // ends, and the caller learns that leaving data mode failed.
    h.Refuse("lineSetCallParams", LINEERR_OPERATIONFAILED);
    EXPECT_EQ(phone.Hangup(), -1);
    EXPECT_EQ(h.Count("lineSetCallParams"), switches + 1);
    EXPECT_EQ(h.Count("lineDrop"), 1);
    h.Pump();
    EXPECT_EQ(phone.NumberOfActiveCalls(), 0);

    // When leaving data mode works, the drop follows its reply.
    const int second = h.Connect(h.Offer());
    ASSERT_EQ(SendMessage(phone.Handle(), MSG_CALL_DATA_READY, 0, 0), 0);
    h.Pump();
    h.HoldReplies("lineSetCallParams");
    EXPECT_EQ(phone.Hangup(), 0);
    const std::vector<DWORD> leave = h.LastArgs("lineSetCallParams");
    ASSERT_GE(leave.size(), 3u);
    EXPECT_EQ(leave[leave.size() - 2], 0u);
    EXPECT_EQ(leave.back(), 111000u);
    EXPECT_EQ(h.Count("lineDrop"), 1);
    h.ReleaseReplies("lineSetCallParams");
    h.Pump();
    EXPECT_EQ(h.Count("lineDrop"), 2);
    EXPECT_FALSE(phone.IsCallConnected(second));
}

TEST(PhoneCallTest, TheCommHandleIsCachedPerCallAndClosedWhenItGoesIdle)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    h.Open(0);
    const int offered = h.Offer();
    int fd = 0;
    EXPECT_EQ(phone.GetCommHandle(fd), 161); // not connected yet
    EXPECT_EQ(fd, -1);
    const int call = h.Connect(offered);
    ASSERT_EQ(phone.GetCommHandle(fd), 0);
    const int queries = h.Count("lineGetID");
    int again = -1;
    ASSERT_EQ(phone.GetCommHandle(again), 0);
    EXPECT_EQ(again, fd);
    EXPECT_EQ(h.Count("lineGetID"), queries);
    EXPECT_NE(fcntl(fd, F_GETFD), -1);

    h.State(call, LINECALLSTATE_IDLE);
    h.Pump();
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(phone.GetCommHandle(again), 161);
}

TEST(PhoneCallTest, TheDataChannelIsSwitchedOnceAndTheRequesterTold)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    h.Open(0, mmData);
    int told = 0;
    MessageWindow port([&](TMessage& m) {
        if (m.Msg == MSG_CALL_DATA_READY)
            ++told;
    });
    EXPECT_EQ(SendMessage(phone.Handle(), MSG_CALL_DATA_READY, 0, static_cast<LPARAM>(port.Handle())), 161);
    h.Connect(h.Offer());
    h.HoldReplies("lineSetCallParams");
    EXPECT_EQ(SendMessage(phone.Handle(), MSG_CALL_DATA_READY, 0, static_cast<LPARAM>(port.Handle())), 0);
    const std::vector<DWORD> on = h.LastArgs("lineSetCallParams");
    ASSERT_GE(on.size(), 3u);
    EXPECT_EQ(on[on.size() - 3], LINEBEARERMODE_PASSTHROUGH);
    EXPECT_EQ(on[on.size() - 2], 28800u);
    EXPECT_EQ(SendMessage(phone.Handle(), MSG_CALL_DATA_READY, 0, static_cast<LPARAM>(port.Handle())), 160);
    h.Pump();
    EXPECT_EQ(told, 0);
    h.ReleaseReplies("lineSetCallParams");
    h.Pump();
    EXPECT_EQ(told, 1);

    // Already switched: told again at once, nothing sent.
    const int sent = h.Count("lineSetCallParams");
    EXPECT_EQ(SendMessage(phone.Handle(), MSG_CALL_DATA_READY, 1, static_cast<LPARAM>(port.Handle())), 0);
    h.Pump();
    EXPECT_EQ(told, 2);
    EXPECT_EQ(h.Count("lineSetCallParams"), sent);
}

TEST(PhoneCallTest, WindowMessagesDriveTheCurrentCall)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    h.Open(0);
    const int call = h.Connect(h.Offer());
    h.Take();
    SendMessage(phone.Handle(), MSG_LINE_EVENT, 3, 0);
    EXPECT_EQ(h.Take(), Events({CallEv(csConnected, 2, 0, call)}));
    EXPECT_EQ(SendMessage(phone.Handle(), MSG_HANGUP_CALL, 0, call), 0);
    EXPECT_EQ(h.Count("lineDrop"), 1);
    h.Pump();
    EXPECT_EQ(phone.NumberOfActiveCalls(), 0);

    const int busy = h.Dial();
    h.State(busy, LINECALLSTATE_DIALTONE);
    h.Pump();
    h.Take();
    phone.SetAutoDisconnect(false);
    SendMessage(phone.Handle(), MSG_LINE_EVENT, 1, 0);
    SendMessage(phone.Handle(), MSG_LINE_EVENT, 2, 0);
    EXPECT_EQ(h.Take(), Events({CallEv(csBusy, 0, 0, busy), CallEv(csNoDialTone, 0, 0, busy)}));
}

TEST(PhoneCallTest, HandlersMayCallBackIntoThePhoneWhileItWalksItsTables)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    h.Open(0, mmVoice);
    const int first = h.Offer();
    const int second = h.Offer();
    h.HoldReplies("lineAnswer");
    h.State(first, LINECALLSTATE_OFFERING);
    h.Pump();
    ASSERT_EQ(phone.Answer(1), 0);
    h.State(second, LINECALLSTATE_OFFERING);
    h.Pump();
    ASSERT_EQ(phone.Answer(2), 0);
    ASSERT_EQ(phone.PendingRequestCount(), 2);

    // Both answers time out in the same pass. Each report's handler hangs up
    // again (adding requests to the table being walked), lets messages run
    // (the service's replies and states arrive nested) and tries to answer.
    int reports = 0;
    phone.SetOnCallState([&](QvPhone* sender, TCallState state, int param1, int, int) {
        if (state == csError && param1 == 113) {
            ++reports;
            sender->Hangup();
            ProcessMessages();
            tapi::Service::DeliverPending();
            sender->Answer(0);
        }
    });
    h.Advance(10300);
    EXPECT_EQ(reports, 2);
    EXPECT_EQ(h.Count("lineDrop"), 2);
    // The answers never come; the drops went through and the calls are gone.
    EXPECT_EQ(phone.NumberOfActiveCalls(), 0);
    h.Advance(61000);
    EXPECT_EQ(phone.PendingRequestCount(), 0);
    EXPECT_FALSE(phone.Timer().Enabled());
    EXPECT_EQ(reports, 2);
}

TEST(PhoneCallTest, HangingUpAPrimaryCallDropsItsConferenceThenConsultationThenItself)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    h.Open(0);
    const int primary = h.Connect(h.Offer());
    const int consult = h.Offer();
    const int conference = h.Offer();
    const std::vector<CallId> ids = {h.SimCall(conference), h.SimCall(consult), h.SimCall(primary)};
    h.AddConsultation(primary, consult, conference);
    h.HoldReplies("lineDrop");
    h.Take();
    ASSERT_EQ(SendMessage(phone.Handle(), MSG_HANGUP_CALL, 0, primary), 0);
    EXPECT_EQ(h.Take(), Events({BeforeEv(primary), CallEv(csWaitingDisconnection, 0, 0, primary)}));
    EXPECT_EQ(h.DroppedCalls(), std::vector<CallId>(ids.begin(), ids.begin() + 1));
    h.ReleaseReplies("lineDrop");
    EXPECT_EQ(h.DroppedCalls(), std::vector<CallId>(ids.begin(), ids.begin() + 2));
    h.ReleaseReplies("lineDrop");
    EXPECT_EQ(h.DroppedCalls(), ids);
    h.ReleaseReplies("lineDrop");
    EXPECT_EQ(phone.PendingRequestCount(), 0);
    EXPECT_EQ(phone.NumberOfActiveCalls(), 0);
    // The consultation call's own end is reported on the consultation.
    EXPECT_EQ(h.Take(), Events({ConsultEv(ccsDisconnected, 0, consult, primary),
                                CallEv(csDisconnected, 0, 0, primary)}));
}

TEST(PhoneCallTest, AFailingDropInTheChainIsReportedAndEndsIt)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    h.Open(0);
    const int primary = h.Connect(h.Offer());
    const int consult = h.Offer();
    const int conference = h.Offer();
    h.AddConsultation(primary, consult, conference);
    h.HoldReplies("lineDrop");
    ASSERT_EQ(SendMessage(phone.Handle(), MSG_HANGUP_CALL, 0, primary), 0);
    h.Take();
    h.Refuse("lineDrop", LINEERR_OPERATIONFAILED);
    h.ReleaseReplies("lineDrop");
    EXPECT_EQ(h.Take(), Events({CallEv(csError, 111, 0, primary)}));
    EXPECT_EQ(phone.PendingRequestCount(), 0);
    EXPECT_EQ(h.Count("lineDrop"), 2);
    // The primary call was never dropped: it can be hung up again.
    EXPECT_EQ(phone.Hangup(), 0);
    EXPECT_EQ(h.Count("lineDrop"), 3);
}

TEST(PhoneCallTest, AFailedOrUnansweredDropLeavesACallThatCanBeHungUpAgain)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    h.Open(0);
    const int call = h.Connect(h.Offer());
    h.Take();

    // The exchange takes the drop and then fails it: reported once, and the
    // call is up as it was.
    h.FailReplies("lineDrop", LINEERR_OPERATIONFAILED);
    EXPECT_EQ(phone.Hangup(), 0);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({BeforeEv(call), CallEv(csWaitingDisconnection, 0, 0, call),
                                CallEv(csError, 111, 0, call)}));
    EXPECT_TRUE(phone.IsCallConnected(call));
    EXPECT_EQ(phone.LineReactivate(true), 158);

    // A drop that is never answered: reported when its time is up.
    h.HoldReplies("lineDrop");
    EXPECT_EQ(phone.Hangup(), 0);
    h.Advance(phone.TimeOut() + 200);
    EXPECT_EQ(h.Take(), Events({BeforeEv(call), CallEv(csWaitingDisconnection, 0, 0, call),
                                CallEv(csError, 113, 0, call)}));
    EXPECT_TRUE(phone.IsCallConnected(call));

    // The third time the exchange drops it, and the line can be reopened.
    h.sim().SetReply(QStringLiteral("lineDrop"), tapi::sim::Reply::Success());
    EXPECT_EQ(phone.Hangup(), 0);
    h.Pump();
    EXPECT_EQ(h.Count("lineDrop"), 3);
    EXPECT_EQ(phone.NumberOfActiveCalls(), 0);
    EXPECT_EQ(phone.LineReactivate(true), 0);
}

TEST(PhoneCallTest, ASwitchThatFailsIsToldToThePortThatWaits)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    h.Open(0, mmData);
    std::vector<std::pair<WPARAM, LPARAM>> told;
    MessageWindow port([&](TMessage& m) {
        if (m.Msg == MSG_CALL_DATA_READY)
            told.push_back({m.WParam, m.LParam});
    });
    const int call = h.Connect(h.Offer());
    h.Take();

    h.FailReplies("lineSetCallParams", LINEERR_NOMEM);
    EXPECT_EQ(SendMessage(phone.Handle(), MSG_CALL_DATA_READY, 0, static_cast<LPARAM>(port.Handle())), 0);
    h.Pump();
    EXPECT_EQ(told, (std::vector<std::pair<WPARAM, LPARAM>>{{kCallDataRefused, -50}}));
    EXPECT_EQ(h.Take(), Events()) << "the port reports it, not the call as well";

    // Unanswered: the port hears of the time-out.
    told.clear();
    h.HoldReplies("lineSetCallParams");
    EXPECT_EQ(SendMessage(phone.Handle(), MSG_CALL_DATA_READY, 0, static_cast<LPARAM>(port.Handle())), 0);
    h.Advance(phone.TimeOut() + 200);
    EXPECT_EQ(told, (std::vector<std::pair<WPARAM, LPARAM>>{{kCallDataRefused, 113}}));

    // Switched by hand, without a port, the call reports it.
    h.ReleaseReplies("lineSetCallParams", LINEERR_OPERATIONFAILED);
    h.Take();
    h.FailReplies("lineSetCallParams", LINEERR_OPERATIONFAILED);
    EXPECT_EQ(phone.Passthrough(true), 0);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({CallEv(csError, -1, 0, call)}));
}

} // namespace
