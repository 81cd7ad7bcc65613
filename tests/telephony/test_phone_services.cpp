// Hold, transfers, conferences and consultation calls of the phone against
// the simulated exchange, from set-up until every call is idle.
#include "PhoneHarness.h"

#include "telephony/service/Service.h"
#include "telephony/service/providers/sim/SimExchange.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qv::test {
namespace {

using namespace tapi;
using Events = std::vector<std::string>;

std::vector<LineSetup> OneLine()
{
    LineSetup setup;
    setup.digitModes = LINEDIGITMODE_DTMF;
    return {setup};
}

// Keeps the handle of the latest consultation call the phone reported, and
// still lets the harness record the event.
struct ConsultWatch
{
    explicit ConsultWatch(PhoneHarness& h)
    {
        TConsultCallStateEvent record = h.phone().OnConsultCallState();
        h.phone().SetOnConsultCallState(
            [this, record](QvPhone* sender, TConsultCallState state, int p1, int consult, int primary) {
                if (consult != 0)
                    handle = consult;
                record(sender, state, p1, consult, primary);
            });
    }
    int handle = 0;
};

// Every call of the line is idle and forgotten on both sides.
void ExpectAllIdle(PhoneHarness& h)
{
    EXPECT_EQ(h.phone().NumberOfActiveCalls(), 0);
    EXPECT_EQ(h.phone().PendingRequestCount(), 0);
    EXPECT_TRUE(h.sim().Calls(0).empty());
}

TEST(PhoneServicesTest, RefusalsBeforeAnythingIsAsked)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    EXPECT_EQ(phone.Hold(), 157);
    EXPECT_EQ(phone.Transfer("300"), 157);
    EXPECT_EQ(phone.ConsultCallComplete(), 157);

    h.Open(0);
    const int dialling = h.Dial("5550001");
    h.State(dialling, LINECALLSTATE_DIALING);
    h.Pump();
    EXPECT_EQ(phone.Hold(), 161);
    EXPECT_EQ(phone.Unhold(), 161);
    EXPECT_EQ(phone.Transfer("300"), 161);
    EXPECT_EQ(phone.ConsultCallDialNumber(true, "200"), 161);

    const int call = h.Connect(dialling);
    EXPECT_EQ(phone.ConsultCallComplete(), 170);
    EXPECT_EQ(phone.ConsultCallCancel(), 170);
    EXPECT_EQ(phone.TransferAToB(call, 0x7777), 161);
    EXPECT_EQ(phone.CreateConferenceCall(0x7777, call, 1), 161);
    h.HoldReplies("lineHold");
    ASSERT_EQ(phone.Hold(), 0);
    EXPECT_EQ(phone.Hold(), 160);
    EXPECT_EQ(phone.ConsultCallDialNumber(false, "200"), 160);
    EXPECT_EQ(h.Count("lineSetupConference"), 0);
    EXPECT_EQ(h.Count("lineCompleteTransfer"), 0);
}

TEST(PhoneServicesTest, HoldAndUnholdWithTheirFailures)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    h.Open(0);
    const int call = h.Connect(h.Offer());
    h.Take();

    ASSERT_EQ(phone.Hold(), 0);
    h.Pump();
    EXPECT_EQ(h.sim().State(h.SimCall(call)), LINECALLSTATE_ONHOLD);
    ASSERT_EQ(phone.Unhold(), 0);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({CallEv(csOnHold, 0, 0, call), CallEv(csUnhold, 0, 0, call)}));

    h.Refuse("lineHold", LINEERR_RESOURCEUNAVAIL);
    EXPECT_EQ(phone.Hold(), 106);
    h.Refuse("lineHold", LINEERR_INVALCALLHANDLE);
    EXPECT_EQ(phone.Hold(), 115);
    h.FailReplies("lineHold", LINEERR_OPERATIONFAILED);
    ASSERT_EQ(phone.Hold(), 0);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({CallEv(csError, 108, 0, call)}));

    // No answer at all: a time-out on the call, in virtual time.
    h.HoldReplies("lineHold");
    ASSERT_EQ(phone.Hold(), 0);
    h.Advance(phone.TimeOut() + 200);
    EXPECT_EQ(h.Take(), Events({CallEv(csError, 113, 0, call)}));
    EXPECT_TRUE(phone.IsCallConnected(call));
}

TEST(PhoneServicesTest, TransfersLeaveWithoutARemoteDisconnection)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    h.Open(0);
    const int first = h.Connect(h.Offer());
    h.Take();

    EXPECT_EQ(phone.Transfer(""), 155);
    ASSERT_EQ(phone.Transfer("300"), 0);
    h.Pump();
    EXPECT_EQ(h.LastText("lineBlindTransfer"), QStringLiteral("300"));
    // The exchange disconnects the call, then idles it: only the end is news,
    // and nothing is hung up by itself.
    EXPECT_EQ(h.Take(), Events({CallEv(csDisconnected, 0, 0, first)}));
    EXPECT_EQ(h.Count("lineDrop"), 0);
    ExpectAllIdle(h);

    // Two calls of ours put through to each other.
    const int a = h.Connect(h.Offer());
    const int b = h.Connect(h.Dial("5550002"));
    h.Take();
    ASSERT_EQ(phone.TransferAToB(a, b), 0);
    EXPECT_EQ(phone.TransferAToB(a, b), 160);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({CallEv(csDisconnected, 0, 0, b), CallEv(csDisconnected, 0, 0, a)}));
    EXPECT_EQ(h.Count("lineDrop"), 0);
    ExpectAllIdle(h);
}

TEST(PhoneServicesTest, AConferenceOfTwoCallsJoinsTheListWithItsTag)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    h.Open(0);
    const int a = h.Connect(h.Offer());
    const int b = h.Connect(h.Dial("5550002"));
    h.Take();

    h.Refuse("lineCompleteTransfer", LINEERR_INVALCALLHANDLE);
    EXPECT_EQ(phone.CreateConferenceCall(a, b, 42), 115);
    ASSERT_EQ(phone.CreateConferenceCall(a, b, 42), 0);
    h.Pump();
    ASSERT_EQ(phone.NumberOfActiveCalls(), 3);
    int conference = 0;
    ASSERT_EQ(phone.GetCallHandle(2, conference), 0);
    EXPECT_EQ(h.Take(), Events({CallEv(csConnected, 1, 42, conference), CallEv(csInConference, 0, 0, a),
                                CallEv(csInConference, 0, 0, b)}));
    EXPECT_EQ(h.LastArgs("lineCompleteTransfer").back(), LINETRANSFERMODE_CONFERENCE);

    h.FailReplies("lineCompleteTransfer", LINEERR_INVALADDRESS);
    const int c = h.Connect(h.Dial("5550003"));
    h.Take();
    ASSERT_EQ(phone.CreateConferenceCall(conference, c, 7), 0);
    h.Pump();
    // A failed conference is a line error: it belongs to no call yet.
    EXPECT_EQ(h.Take(), Events({LineEv(lsError, 155)}));
    EXPECT_EQ(phone.NumberOfActiveCalls(), 4);
}

TEST(PhoneServicesTest, ConsultationTransferFromSetUpToEveryCallIdle)
{
    PhoneHarness h(OneLine());
    h.sim().LineConfig(0).autoProgress = true;
    QvPhone& phone = h.phone();
    ConsultWatch watch(h);
    h.Open(0);
    const int primary = h.Connect(h.Offer());
    h.Take();

    ASSERT_EQ(phone.ConsultCallDialNumber(true, "200"), 0);
    h.Pump();
    const int consult = watch.handle;
    ASSERT_NE(consult, 0);
    // The consultation dials its number by itself at its dial tone.
    EXPECT_EQ(
        h.Take(),
        Events({ConsultEv(ccsStarted, 0, consult, primary), CallEv(csOnHold, 0, 0, primary),
                ConsultEv(ccsDialTone, 0, consult, primary), ConsultEv(ccsDialing, 0, consult, primary),
                ConsultEv(ccsProceeding, 0, consult, primary), ConsultEv(ccsRingBack, 0, consult, primary),
                ConsultEv(ccsConnected, 0, consult, primary)}));
    EXPECT_EQ(h.sim().DialledNumber(h.SimCall(consult)), QStringLiteral("200"));
    EXPECT_EQ(phone.CurrentCallHandle(), primary);
    EXPECT_NE(h.sim().MonitoredDigits(h.SimCall(consult)), 0u);

    ASSERT_EQ(phone.ConsultCallComplete(), 0);
    h.Pump();
    // Both calls disconnect and go idle; neither counts as the remote
    // hanging up.
    EXPECT_EQ(h.Take(), Events({ConsultEv(ccsDisconnected, 0, consult, primary),
                                CallEv(csDisconnected, 0, 0, primary)}));
    EXPECT_EQ(h.Count("lineDrop"), 0);
    EXPECT_EQ(phone.ConsultCallComplete(), 170);
    ExpectAllIdle(h);
}

TEST(PhoneServicesTest, ThreePartyConferenceFromSetUpToEveryCallIdle)
{
    PhoneHarness h(OneLine());
    h.sim().LineConfig(0).autoProgress = true;
    h.phone().SetWaitForDialTone(true);
    QvPhone& phone = h.phone();
    ConsultWatch watch(h);
    h.Open(0);
    const int primary = h.Connect(h.Offer());
    h.Take();

    ASSERT_EQ(phone.ConsultCallDialNumber(false, "300"), 0);
    h.Pump();
    const int consult = watch.handle;
    ASSERT_NE(consult, 0);
    EXPECT_EQ(
        h.Take(),
        Events({ConsultEv(ccsStarted, 0, consult, primary), CallEv(csInConference, 0, 0, primary),
                ConsultEv(ccsDialTone, 0, consult, primary), ConsultEv(ccsDialing, 0, consult, primary),
                ConsultEv(ccsProceeding, 0, consult, primary), ConsultEv(ccsRingBack, 0, consult, primary),
                ConsultEv(ccsConnected, 0, consult, primary)}));
    EXPECT_EQ(h.sim().DialledNumber(h.SimCall(consult)), QStringLiteral("W300"));
    const std::vector<CallId> live = h.sim().Calls(0);
    ASSERT_EQ(live.size(), 3u); // primary, conference, consultation
    const CallId conference = live[1];
    const CallId consultId = h.SimCall(consult);
    const CallId primaryId = h.SimCall(primary);

    ASSERT_EQ(phone.ConsultCallComplete(), 0);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({ConsultEv(ccsDisconnected, 0, consult, primary)}));
    EXPECT_EQ(h.sim().State(conference), LINECALLSTATE_CONNECTED);
    EXPECT_EQ(h.sim().State(h.SimCall(consult)), LINECALLSTATE_CONFERENCED);
    EXPECT_EQ(phone.ConsultCallCancel(), 170);

    // Hanging up the primary call ends the conference, then the joined
    // consultation (quietly), then the primary call itself.
    ASSERT_EQ(phone.Hangup(), 0);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({BeforeEv(primary), CallEv(csWaitingDisconnection, 0, 0, primary),
                                CallEv(csDisconnected, 0, 0, primary)}));
    EXPECT_EQ(h.DroppedCalls(), (std::vector<CallId>{conference, consultId, primaryId}));
    ExpectAllIdle(h);
}

TEST(PhoneServicesTest, AConsultationThatEndsBeforeItIsCompleted)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    ConsultWatch watch(h);
    h.Open(0);
    const int primary = h.Connect(h.Offer());
    ASSERT_EQ(phone.ConsultCallDialNumber(true, "201"), 0);
    h.Pump();
    const int consult = watch.handle;
    const CallId consultId = h.SimCall(consult);
    EXPECT_EQ(h.LastText("lineDial"), QStringLiteral("201"));
    h.Take();

    // Busy: with AutoDisconnect the consultation is cancelled by itself and
    // the exchange gives the held call back.
    h.State(consult, LINECALLSTATE_BUSY);
    h.Pump();
    EXPECT_EQ(h.Take(),
              Events({ConsultEv(ccsBusy, 0, consult, primary),
                      ConsultEv(ccsDisconnected, 0, consult, primary), CallEv(csUnhold, 0, 0, primary)}));
    EXPECT_EQ(h.DroppedCalls(), std::vector<CallId>{consultId});

    // Without it, the remote's hang-up is only reported; cancelling is ours.
    phone.SetAutoDisconnect(false);
    ASSERT_EQ(phone.ConsultCallDialNumber(true, "202"), 0);
    h.Pump();
    const int second = watch.handle;
    ASSERT_NE(second, consult);
    h.State(second, LINECALLSTATE_CONNECTED);
    h.Pump();
    h.Take();
    h.sim().RemoteHangup(h.SimCall(second));
    h.Pump();
    EXPECT_EQ(h.Take(), Events({ConsultEv(ccsRemotePartyDisconnected, 0, second, primary)}));
    EXPECT_EQ(h.DroppedCalls().size(), 1u);
    ASSERT_EQ(phone.ConsultCallCancel(), 0);
    h.Pump();
    EXPECT_EQ(h.Take(),
              Events({ConsultEv(ccsDisconnected, 0, second, primary), CallEv(csUnhold, 0, 0, primary)}));

    ASSERT_EQ(phone.Hangup(), 0);
    h.Pump();
    ExpectAllIdle(h);
}

TEST(PhoneServicesTest, AConferenceConsultationCancelledBeforeItJoins)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    ConsultWatch watch(h);
    h.Open(0);
    const int primary = h.Connect(h.Offer());
    ASSERT_EQ(phone.ConsultCallDialNumber(false, "301"), 0);
    h.Pump();
    const int consult = watch.handle;
    h.State(consult, LINECALLSTATE_CONNECTED);
    h.Pump();
    h.Take();

    // The conference never gets its third party: it falls apart and the
    // primary call is back on its own.
    ASSERT_EQ(phone.ConsultCallCancel(), 0);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({ConsultEv(ccsDisconnected, 0, consult, primary),
                                CallEv(csRemovedFromConference, 0, 0, primary)}));
    EXPECT_EQ(phone.ConsultCallComplete(), 170);
    EXPECT_EQ(phone.NumberOfActiveCalls(), 1);
    ASSERT_EQ(phone.Hangup(), 0);
    h.Pump();
    ExpectAllIdle(h);
}

TEST(PhoneServicesTest, PassthroughByHand)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    EXPECT_EQ(phone.Passthrough(true), 161);
    h.Open(0, mmFax);
    h.Connect(h.Offer());
    // A fax call is pass-through by nature and stays so, quietly.
    const int switches = h.Count("lineSetCallParams");
    EXPECT_EQ(phone.Passthrough(false), 0);
    EXPECT_EQ(phone.Passthrough(true), 0);
    EXPECT_EQ(h.Count("lineSetCallParams"), switches);
}

TEST(PhoneServicesTest, ConsultationFailuresAreReportedOnTheConsultation)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    ConsultWatch watch(h);
    h.Open(0);
    const int primary = h.Connect(h.Offer());
    h.Take();

    // Refused at once, or refused in the reply: no consultation is left.
    h.Refuse("lineSetupTransfer", LINEERR_CALLUNAVAIL);
    EXPECT_EQ(phone.ConsultCallDialNumber(true, "200"), 107);
    h.Refuse("lineSetupConference", LINEERR_INVALMEDIAMODE);
    EXPECT_EQ(phone.ConsultCallDialNumber(false, "200"), 162);
    h.FailReplies("lineSetupTransfer", LINEERR_OPERATIONUNAVAIL);
    ASSERT_EQ(phone.ConsultCallDialNumber(true, "200"), 0);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({ConsultEv(ccsError, 105, 0, primary)}));
    EXPECT_EQ(phone.ConsultCallComplete(), 170);
    h.sim().SetReply(QStringLiteral("lineSetupTransfer"), sim::Reply::Success());

    // The number is refused at the dial tone.
    h.Refuse("lineDial", LINEERR_INVALADDRESS);
    ASSERT_EQ(phone.ConsultCallDialNumber(true, "2x0"), 0);
    h.Pump();
    const int consult = watch.handle;
    EXPECT_EQ(h.Take(), Events({ConsultEv(ccsStarted, 0, consult, primary), CallEv(csOnHold, 0, 0, primary),
                                ConsultEv(ccsDialTone, 0, consult, primary),
                                ConsultEv(ccsError, 155, consult, primary)}));
    ASSERT_EQ(phone.ConsultCallCancel(), 0);
    h.Pump();
    h.Take();

    // The dial is never answered: a time-out of the consultation only.
    h.HoldReplies("lineDial");
    ASSERT_EQ(phone.ConsultCallDialNumber(true, "200"), 0);
    h.Pump();
    const int late = watch.handle;
    h.Take();
    h.Advance(phone.TimeOut() + 200);
    EXPECT_EQ(h.Take(), Events({ConsultEv(ccsError, 113, late, primary)}));

    // Completion refused by the exchange in its reply.
    h.ReleaseReplies("lineDial");
    h.State(late, LINECALLSTATE_CONNECTED);
    h.FailReplies("lineCompleteTransfer", LINEERR_OPERATIONFAILED);
    h.Pump();
    h.Take();
    ASSERT_EQ(phone.ConsultCallComplete(), 0);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({ConsultEv(ccsError, -1, late, primary)}));
    // The transfer did not happen: the primary call's end is the remote's.
    h.sim().RemoteHangup(h.SimCall(primary));
    h.Pump();
    const Events after = h.Take();
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.front(), CallEv(csRemotePartyDisconnected, 0, 0, primary));
}

TEST(PhoneServicesTest, LateAndFailedRepliesOfTransfers)
{
    PhoneHarness h(OneLine());
    QvPhone& phone = h.phone();
    ConsultWatch watch(h);
    h.Open(0);
    const int primary = h.Connect(h.Offer());
    h.Take();

    // The set-up is not answered in time: an error of the primary call. The
    // reply that comes after all still starts the consultation.
    h.HoldReplies("lineSetupTransfer");
    ASSERT_EQ(phone.ConsultCallDialNumber(true, "200"), 0);
    h.Advance(phone.TimeOut() + 200);
    EXPECT_EQ(h.Take(), Events({CallEv(csError, 113, 0, primary)}));
    h.ReleaseReplies("lineSetupTransfer");
    const int consult = watch.handle;
    ASSERT_NE(consult, 0);
    EXPECT_EQ(h.Take(), Events({ConsultEv(ccsStarted, 0, consult, primary), CallEv(csOnHold, 0, 0, primary),
                                ConsultEv(ccsDialTone, 0, consult, primary)}));

    // Completion that is never answered times out on the consultation.
    h.State(consult, LINECALLSTATE_CONNECTED);
    h.HoldReplies("lineCompleteTransfer");
    h.Pump();
    h.Take();
    ASSERT_EQ(phone.ConsultCallComplete(), 0);
    EXPECT_EQ(phone.ConsultCallComplete(), 160);
    h.Advance(phone.TimeOut() + 200);
    EXPECT_EQ(h.Take(), Events({ConsultEv(ccsError, 113, consult, primary)}));
    h.ReleaseReplies("lineCompleteTransfer");
    EXPECT_EQ(h.Take(), Events({ConsultEv(ccsDisconnected, 0, consult, primary),
                                CallEv(csDisconnected, 0, 0, primary)}));

    // Transfers refused in their replies are errors of the call.
    h.sim().SetReply(QStringLiteral("lineCompleteTransfer"), sim::Reply::Error(LINEERR_NOMEM));
    h.FailReplies("lineBlindTransfer", LINEERR_INVALADDRESS);
    const int a = h.Connect(h.Offer());
    const int b = h.Connect(h.Dial("5550002"));
    h.Take();
    ASSERT_EQ(phone.TransferAToB(a, b), 0);
    h.Pump();
    ASSERT_EQ(phone.Transfer("999"), 0);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({CallEv(csError, -50, 0, a), CallEv(csError, 155, 0, a)}));
    // Both calls are still ours: the remote going away is news.
    phone.SetAutoDisconnect(false);
    h.sim().RemoteHangup(h.SimCall(b));
    h.sim().RemoteHangup(h.SimCall(a));
    h.Pump();
    EXPECT_EQ(h.Take(), Events({CallEv(csRemotePartyDisconnected, 0, 0, b),
                                CallEv(csRemotePartyDisconnected, 0, 0, a)}));
}

} // namespace
} // namespace qv::test
