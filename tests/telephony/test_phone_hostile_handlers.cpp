// Handlers that destroy the phone from inside its own events: every kind of
// event, raised on a path where the phone still has work to do after the
// handler returns. The sanitizer build turns any touch of the freed phone, or
// of the freed handler, into a failure.
#include "PhoneHarness.h"

#include "telephony/service/providers/sim/SimExchange.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qv::test {
namespace {

using namespace tapi;

struct HostileCase
{
    const char* event;
    LineSetup line;
    // Brings the phone to the point; returns the call concerned, if any.
    std::function<CallId(PhoneHarness&)> prepare;
    // Installs `destroy` as the handler of the event under test.
    std::function<void(QvPhone&, const std::function<void()>& destroy)> arm;
    // Makes the event happen.
    std::function<void(PhoneHarness&, CallId)> fire;
};

LineSetup Monitored()
{
    LineSetup setup;
    setup.mediaModes = LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_G3FAX;
    setup.digitModes = LINEDIGITMODE_DTMF;
    setup.callerIdFlags = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME;
    return setup;
}

LineSetup WithPhoneDevice()
{
    LineSetup setup;
    setup.phone = true;
    return setup;
}

CallId ConnectedCall(PhoneHarness& h)
{
    return h.SimCall(h.Connect(h.Offer()));
}

// Each handler is wrapped so that it also uses its own captures after the
// phone is gone: a phone that ran the stored handler instead of a copy frees
// them under it.
template <class Setter> auto Arm(Setter setter)
{
    return [setter](QvPhone& phone, const std::function<void()>& destroy) {
        auto witness = std::make_shared<std::function<void()>>(destroy);
        (phone.*setter)([witness](auto&&...) { (*witness)(); });
    };
}

CallId Nothing(PhoneHarness&)
{
    return 0;
}

std::vector<HostileCase> Cases()
{
    const PartyInfo party{LINECALLPARTYID_ADDRESS, "5551234", {}};
    return {
        {"OnLineState", LineSetup{}, Nothing, Arm(&QvPhone::SetOnLineState),
         [](PhoneHarness& h, CallId) {
             h.FailReplies("lineMakeCall", LINEERR_CALLUNAVAIL);
             h.phone().DialNumber("123", 0);
         }},
        {"OnCallState", LineSetup{}, ConnectedCall, Arm(&QvPhone::SetOnCallState),
         [](PhoneHarness& h, CallId call) { h.sim().RemoteHangup(call); }},
        {"OnCallState from the time-out watch", LineSetup{},
         [](PhoneHarness& h) {
             const CallId call = ConnectedCall(h);
             h.HoldReplies("lineDrop");
             h.phone().Hangup();
             return call;
         },
         Arm(&QvPhone::SetOnCallState),
         [](PhoneHarness& h, CallId) { h.Advance(h.phone().TimeOut() + 200); }},
        {"OnConsultCallState", LineSetup{},
         [](PhoneHarness& h) {
             const int primary = h.Connect(h.Offer());
             const int consult = h.Offer();
             h.AddConsultation(primary, consult, 0);
             return h.SimCall(consult);
         },
         Arm(&QvPhone::SetOnConsultCallState),
         [](PhoneHarness& h, CallId consult) { h.sim().SetCallState(consult, LINECALLSTATE_IDLE); }},
        {"OnBeforeDisconnect", LineSetup{}, ConnectedCall, Arm(&QvPhone::SetOnBeforeDisconnect),
         [](PhoneHarness& h, CallId) { h.phone().Hangup(); }},
        {"OnExtPhoneChanged", WithPhoneDevice(), Nothing, Arm(&QvPhone::SetOnExtPhoneChanged),
         [](PhoneHarness& h, CallId) {
             h.DeliverPhoneMessage(PHONE_STATE, PHONESTATE_DISPLAY | PHONESTATE_LAMP);
         }},
        {"OnExtDevAuxChanged", WithPhoneDevice(), Nothing, Arm(&QvPhone::SetOnExtDevAuxChanged),
         [](PhoneHarness& h, CallId) {
             h.sim().RaisePhoneState(0, PHONESTATE_SPEAKERHOOKSWITCH | PHONESTATE_HANDSETHOOKSWITCH);
         }},
        {"OnExtDevHandsetChanged", WithPhoneDevice(), Nothing, Arm(&QvPhone::SetOnExtDevHandsetChanged),
         [](PhoneHarness& h, CallId) { h.sim().RaisePhoneState(0, PHONESTATE_HANDSETHOOKSWITCH); }},
        {"OnHookState", WithPhoneDevice(), Nothing, Arm(&QvPhone::SetOnHookState),
         [](PhoneHarness& h, CallId) {
             h.sim().SetHookSwitch(0, PHONEHOOKSWITCHDEV_HANDSET, PHONEHOOKSWITCHMODE_MICSPEAKER);
         }},
        {"OnCallerID", Monitored(),
         [](PhoneHarness& h) {
             h.phone().SetOnCalledID([](QvPhone*, int, QString, QString, int) {});
             return ConnectedCall(h);
         },
         Arm(&QvPhone::SetOnCallerID),
         [party](PhoneHarness& h, CallId call) {
             h.sim().EditCallInfo(
                 call,
                 [&](CallInfoData& info) {
                     info.caller = party;
                     info.called = party;
                 },
                 LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_CALLEDID);
         }},
        {"OnCalledID", Monitored(),
         [](PhoneHarness& h) {
             h.phone().SetOnCallInfo([](QvPhone*, TTypeOfInfo, QString, int, int) {});
             return ConnectedCall(h);
         },
         Arm(&QvPhone::SetOnCalledID),
         [party](PhoneHarness& h, CallId call) {
             h.sim().EditCallInfo(
                 call, [&](CallInfoData& info) { info.called = party; },
                 LINECALLINFOSTATE_CALLEDID | LINECALLINFOSTATE_ORIGIN);
         }},
        {"OnCallInfo", Monitored(), ConnectedCall, Arm(&QvPhone::SetOnCallInfo),
         [](PhoneHarness& h, CallId call) {
             h.sim().RaiseCallInfo(call, LINECALLINFOSTATE_ORIGIN | LINECALLINFOSTATE_REASON);
         }},
        {"OnDigitDetected", Monitored(), ConnectedCall, Arm(&QvPhone::SetOnDigitDetected),
         [](PhoneHarness& h, CallId call) { h.sim().DetectDigit(call, '5'); }},
        {"OnToneDetected", Monitored(),
         [](PhoneHarness& h) {
             const CallId call = ConnectedCall(h);
             h.phone().MonitorTones(8, 250, 1100, 0, 0);
             return call;
         },
         Arm(&QvPhone::SetOnToneDetected), [](PhoneHarness& h, CallId call) { h.sim().DetectTone(call, 8); }},
        {"OnLineTraits", LineSetup{}, ConnectedCall, Arm(&QvPhone::SetOnLineTraits),
         [](PhoneHarness& h, CallId call) {
             h.sim().SetLineTraits(call, devspecific::TraitRemoteEcho | devspecific::TraitNewlineCr);
         }},
        {"OnFaxToneDetected", Monitored(), ConnectedCall, Arm(&QvPhone::SetOnFaxToneDetected),
         [](PhoneHarness& h, CallId call) { h.sim().DetectMedia(call, LINEMEDIAMODE_G3FAX); }},
    };
}

TEST(PhoneHostileHandlers, AHandlerThatDestroysThePhoneEndsItsWorkThere)
{
    for (const HostileCase& c : Cases()) {
        SCOPED_TRACE(c.event);
        PhoneHarness h({c.line});
        h.Open(0, mmData);
        const CallId call = c.prepare(h);
        h.Pump();
        int destroyed = 0;
        c.arm(h.phone(), [&] {
            h.DestroyPhone();
            ++destroyed;
        });
        c.fire(h, call);
        h.Pump();
        EXPECT_EQ(destroyed, 1);
    }
}

} // namespace
} // namespace qv::test
