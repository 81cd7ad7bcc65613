// What the phone reports about a live call (party IDs, call information,
// digits, fax and other tones) and the digits it sends, against the
// simulated exchange.
#include "PhoneHarness.h"

#include "telephony/service/LineExtensions.h"
#include "telephony/service/Service.h"
#include "telephony/service/providers/sim/SimExchange.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qv::test {
namespace {

using namespace tapi;
using Events = std::vector<std::string>;

std::vector<LineSetup> MonitoredLine()
{
    LineSetup setup;
    setup.mediaModes = LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_G3FAX;
    setup.digitModes = LINEDIGITMODE_DTMF;
    setup.callerIdFlags = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME | LINECALLPARTYID_BLOCKED;
    return {setup};
}

std::string PartyEv(const char* who, int error, const QString& number, const QString& name, int call)
{
    return std::string(who) + " " + std::to_string(error) + " '" + number.toStdString() + "' '" +
           name.toStdString() + "' #" + std::to_string(call);
}

// The harness's recorder plus every monitoring event, in one list.
void RecordMonitoring(PhoneHarness& h, Events& events)
{
    QvPhone& phone = h.phone();
    phone.SetOnCallerID([&events](QvPhone*, int error, QString number, QString name, int call) {
        events.push_back(PartyEv("caller", error, number, name, call));
    });
    phone.SetOnCalledID([&events](QvPhone*, int error, QString number, QString name, int call) {
        events.push_back(PartyEv("called", error, number, name, call));
    });
    phone.SetOnCallInfo([&events](QvPhone*, TTypeOfInfo type, QString text, int number, int call) {
        events.push_back("info " + std::to_string(type) + " '" + text.toStdString() + "' " +
                         std::to_string(number) + " #" + std::to_string(call));
    });
    phone.SetOnDigitDetected([&events](QvPhone*, char digit, int call) {
        events.push_back(std::string("digit ") + digit + " #" + std::to_string(call));
    });
    phone.SetOnToneDetected([&events](QvPhone*, int ref, int call) {
        events.push_back("tone " + std::to_string(ref) + " #" + std::to_string(call));
    });
    phone.SetOnFaxToneDetected(
        [&events](QvPhone*, int call) { events.push_back("fax #" + std::to_string(call)); });
    phone.SetOnCallState([&events](QvPhone*, TCallState state, int p1, int p2, int call) {
        events.push_back(CallEv(state, p1, p2, call));
    });
}

TEST(PhoneMonitorTest, WhatTheLineKnowsOfTheFarSideIsKeptPerCallAndTheTerminalReachesEachLine)
{
    PhoneHarness h(std::vector<LineSetup>(2));
    Events events;
    RecordMonitoring(h, events);
    h.phone().SetOnLineTraits([&events](QvPhone*, TLineTraits t, int call) {
        events.push_back("traits echo=" + std::to_string(t.RemoteEcho) +
                         " nl=" + t.Newline.toHex().toStdString() +
                         " vh=" + std::to_string(t.PeerIsVhTerminal) + " #" + std::to_string(call));
    });
    // The line hears of the terminal as it opens, and of every change.
    h.Open(0);
    using Info = devspecific::TerminalInfo;
    EXPECT_EQ(h.sim().TerminalInfo(0), Info({{"ANSI"}, 80, 24}));
    ASSERT_EQ(h.phone().SetTerminalInfo({"ANSI", "VT100"}, 132, 43), 0);
    h.Pump();
    const Info grown{{"ANSI", "VT100"}, 132, 43};
    EXPECT_EQ(h.sim().TerminalInfo(0), grown);
    for (const auto& bad :
         std::vector<Info>{{{}, 80, 24}, {{"VT 100"}, 80, 24}, {{"ANSI"}, 0, 24}, {{"ANSI"}, 80, 1000}})
        EXPECT_EQ(h.phone().SetTerminalInfo(bad.types, bad.columns, bad.rows), -10);
    h.Pump();
    EXPECT_EQ(h.sim().TerminalInfo(0), grown);

    const int call = h.Connect(h.Offer());
    events.clear();
    h.sim().SetLineTraits(h.SimCall(call), devspecific::TraitRemoteEcho | devspecific::TraitNewlineCr);
    h.sim().SetLineTraits(h.SimCall(call), devspecific::TraitRemoteEcho | devspecific::TraitNewlineCr);
    h.Pump();
    EXPECT_EQ(events, Events({"traits echo=1 nl=0d vh=0 #" + std::to_string(call)})) << "once per change";
    EXPECT_TRUE(h.phone().LineTraits().RemoteEcho);
    EXPECT_EQ(h.phone().LineTraits().Newline, "\r");

    // Gone with the call: the next call starts from the defaults.
    h.sim().RemoteHangup(h.SimCall(call));
    h.Pump();
    EXPECT_EQ(h.phone().LineTraits(), TLineTraits{});
    const int next = h.Connect(h.Offer());
    EXPECT_EQ(h.phone().LineTraits(), TLineTraits{});
    events.clear();
    h.sim().SetLineTraits(h.SimCall(next), devspecific::TraitPeerIsVhTerminal);
    h.Pump();
    EXPECT_EQ(events, Events({"traits echo=0 nl=0d0a vh=1 #" + std::to_string(next)}));

    // Another line opened later has the terminal as it was last given.
    h.sim().RemoteHangup(h.SimCall(next));
    h.Pump();
    ASSERT_EQ(h.phone().LineActive(1, true), 0);
    h.Pump();
    EXPECT_EQ(h.sim().TerminalInfo(1), grown);
}

TEST(PhoneMonitorTest, CallerIdIsReportedOncePerPartyAndCall)
{
    PhoneHarness h(MonitoredLine());
    Events events;
    RecordMonitoring(h, events);
    h.Open(0);
    const int first = h.Offer();
    const CallId id = h.SimCall(first);
    events.clear();

    h.sim().SetCallerId(id, {LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME, "5551234", "Rahim"});
    h.sim().SetCallerId(id, {LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME, "5551234", "Rahim"});
    h.Pump();
    EXPECT_EQ(events, Events({PartyEv("caller", 0, "5551234", "Rahim", first)}));
    events.clear();
    // Another party on the same call is news.
    h.sim().SetCallerId(id, {LINECALLPARTYID_ADDRESS, "5559876", {}});
    h.Pump();
    EXPECT_EQ(events, Events({PartyEv("caller", 0, "5559876", "", first)}));

    // The call ends; the memory with it. The same party calling again, even
    // on a call the service numbers alike, is reported again.
    h.sim().RemoteHangup(id);
    h.Pump();
    events.clear();
    const int second = h.Offer();
    events.clear();
    h.sim().SetCallerId(h.SimCall(second), {LINECALLPARTYID_ADDRESS, "5559876", {}});
    h.Pump();
    EXPECT_EQ(events, Events({PartyEv("caller", 0, "5559876", "", second)}));
}

TEST(PhoneMonitorTest, UnavailablePartiesAndFailedQueries)
{
    PhoneHarness h(MonitoredLine());
    Events events;
    RecordMonitoring(h, events);
    h.Open(0);
    const int call = h.Offer();
    const CallId id = h.SimCall(call);
    events.clear();

    // Each read when its message arrives, so one message at a time.
    auto caller = [&](const PartyInfo& party) {
        h.sim().SetCallerId(id, party);
        h.Pump();
    };
    caller({LINECALLPARTYID_BLOCKED, "5551234", "Hidden"});
    caller({LINECALLPARTYID_OUTOFAREA, {}, {}});
    caller({LINECALLPARTYID_UNAVAIL, {}, {}});
    // An ID with neither number nor name is unavailable, and said so once.
    caller({LINECALLPARTYID_ADDRESS, {}, {}});
    caller({LINECALLPARTYID_ADDRESS, {}, {}});
    EXPECT_EQ(events, Events({PartyEv("caller", 153, "", "", call), PartyEv("caller", 153, "", "", call),
                              PartyEv("caller", 154, "", "", call), PartyEv("caller", 153, "", "", call)}));
    events.clear();

    // The called party is read from its own fields and reported on its own.
    h.sim().SetCalledId(id, {LINECALLPARTYID_ADDRESS, "100", "Desk"});
    h.Pump();
    EXPECT_EQ(events, Events({PartyEv("called", 0, "100", "Desk", call)}));
    events.clear();

    h.sim().FailNext(QStringLiteral("lineGetCallInfo"), LINEERR_OPERATIONFAILED);
    h.sim().SetCallerId(id, {LINECALLPARTYID_ADDRESS, "5550000", {}});
    h.Pump();
    h.sim().FailNext(QStringLiteral("lineGetCallInfo"), LINEERR_NOMEM);
    h.sim().SetCalledId(id, {LINECALLPARTYID_ADDRESS, "101", {}});
    h.Pump();
    EXPECT_EQ(events, Events({PartyEv("caller", -1, "", "", call), PartyEv("called", -50, "", "", call)}));
}

TEST(PhoneMonitorTest, CallInformationInItsOrderAndOnlyWhenAsked)
{
    PhoneHarness h(MonitoredLine());
    Events events;
    h.Open(0);
    const int call = h.Offer();
    const CallId id = h.SimCall(call);
    h.Pump();

    // Nobody listens: the service is not even asked.
    const int queries = h.Count("lineGetCallInfo");
    h.sim().SetCallerId(id, {LINECALLPARTYID_ADDRESS, "5551234", {}});
    h.sim().RaiseCallInfo(id, LINECALLINFOSTATE_DISPLAY | LINECALLINFOSTATE_ORIGIN);
    h.Pump();
    EXPECT_EQ(h.Count("lineGetCallInfo"), queries);

    RecordMonitoring(h, events);
    const QString uui = QStringLiteral("Hi");
    h.sim().EditCallInfo(
        id,
        [&](CallInfoData& info) {
            info.display = QStringLiteral("Line 2: reception");
            info.userUserInfo = QByteArray(reinterpret_cast<const char*>(uui.utf16()), 6); // with its NUL
            info.origin = LINECALLORIGIN_EXTERNAL;
            info.reason = LINECALLREASON_UNAVAIL;
        },
        LINECALLINFOSTATE_REASON | LINECALLINFOSTATE_ORIGIN | LINECALLINFOSTATE_USERUSERINFO |
            LINECALLINFOSTATE_DISPLAY);
    h.Pump();
    EXPECT_EQ(events,
              Events({"info 0 'Line 2: reception' 0 #" + std::to_string(call),
                      "info 1 'Hi' 0 #" + std::to_string(call),
                      "info 2 '' " + std::to_string(LINECALLORIGIN_EXTERNAL) + " #" + std::to_string(call),
                      "info 3 '' " + std::to_string(LINECALLREASON_UNAVAIL) + " #" + std::to_string(call)}));
    events.clear();

    // An empty display says nothing; a failed query is a call error that
    // leaves the current call where it is.
    h.sim().EditCallInfo(
        id, [](CallInfoData& info) { info.display.clear(); }, LINECALLINFOSTATE_DISPLAY);
    h.Pump();
    EXPECT_TRUE(events.empty());
    const int other = h.Offer();
    ASSERT_NE(other, call);
    h.sim().FailNext(QStringLiteral("lineGetCallInfo"), LINEERR_OPERATIONFAILED);
    h.sim().RaiseCallInfo(id, LINECALLINFOSTATE_ORIGIN);
    h.Pump();
    EXPECT_EQ(events, Events({CallEv(csOffering, 0, 0, other), CallEv(csError, -1, 0, call)}));
    EXPECT_EQ(h.phone().CurrentCallHandle(), other);
}

TEST(PhoneMonitorTest, DigitsAndFaxTonesWhileTheChannelIsOff)
{
    PhoneHarness h(MonitoredLine());
    Events events;
    RecordMonitoring(h, events);
    h.Open(0);
    const int call = h.Connect(h.Offer());
    const CallId id = h.SimCall(call);
    events.clear();

    ASSERT_TRUE(h.sim().DetectDigit(id, '5'));
    h.Pump();
    EXPECT_EQ(events, Events({"digit 5 #" + std::to_string(call)}));
    events.clear();

    // At most one fax tone in 3 s, counted from the last one reported; the
    // first counts even at the very start of the clock.
    const std::string fax = "fax #" + std::to_string(call);
    ASSERT_TRUE(h.sim().DetectMedia(id, LINEMEDIAMODE_G3FAX));
    h.Advance(2000);
    ASSERT_TRUE(h.sim().DetectMedia(id, LINEMEDIAMODE_G3FAX));
    h.Pump();
    EXPECT_EQ(events, Events({fax}));
    h.Advance(2000);
    ASSERT_TRUE(h.sim().DetectMedia(id, LINEMEDIAMODE_G3FAX));
    h.Pump();
    EXPECT_EQ(events, Events({fax, fax}));
    events.clear();

    // The data channel silences the line's own signals until it is off again.
    ASSERT_EQ(h.phone().Passthrough(true), 0);
    h.Pump();
    EXPECT_FALSE(h.sim().DetectDigit(id, '7'));
    EXPECT_EQ(h.sim().MonitoredMedia(id), 0u);
    ASSERT_EQ(h.phone().Passthrough(false), 0);
    h.Pump();
    EXPECT_TRUE(h.sim().DetectDigit(id, '#'));
    h.Pump();
    EXPECT_EQ(events, Events({"digit # #" + std::to_string(call)}));
}

TEST(PhoneMonitorTest, TonesAndDtmfOnTheConnectedCallOnly)
{
    PhoneHarness h(MonitoredLine());
    Events events;
    RecordMonitoring(h, events);
    h.Open(0);
    const int dialling = h.Dial("5550001");
    h.State(dialling, LINECALLSTATE_DIALING);
    h.Pump();
    EXPECT_EQ(h.phone().GenerateDTMFDigits("123"), 161);
    EXPECT_EQ(h.phone().MonitorTones(1, 100, 440, 0, 0), 161);
    EXPECT_EQ(h.phone().MonitorTonesCancel(), 161);
    EXPECT_EQ(h.Count("lineGenerateDigits"), 0);

    const int call = h.Connect(dialling);
    const CallId id = h.SimCall(call);
    ASSERT_EQ(h.phone().GenerateDTMFDigits("12#*"), 0);
    EXPECT_EQ(h.sim().GeneratedDigits(id), QStringLiteral("12#*"));
    EXPECT_EQ(h.LastArgs("lineGenerateDigits"), (std::vector<DWORD>{LINEDIGITMODE_DTMF, 0}));

    ASSERT_EQ(h.phone().MonitorTones(7, 500, 440, 350, 0), 0);
    ASSERT_EQ(h.phone().MonitorTones(8, 250, 1100, 0, 0), 0); // replaces the first
    const std::vector<LINEMONITORTONE> tones = h.sim().MonitoredTones(id);
    ASSERT_EQ(tones.size(), 1u);
    EXPECT_EQ(tones[0].dwAppSpecific, 8u);
    EXPECT_EQ(tones[0].dwDuration, 250u);
    EXPECT_EQ(tones[0].dwFrequency1, 1100u);
    EXPECT_FALSE(h.sim().DetectTone(id, 7));
    ASSERT_TRUE(h.sim().DetectTone(id, 8));
    h.Pump();
    EXPECT_EQ(events.back(), "tone 8 #" + std::to_string(call));
    ASSERT_EQ(h.phone().MonitorTonesCancel(), 0);
    EXPECT_TRUE(h.sim().MonitoredTones(id).empty());

    // What the service's refusals read as.
    const std::pair<LONG, int> mapping[] = {{LINEERR_INUSE, 106},           {LINEERR_RESOURCEUNAVAIL, 106},
                                            {LINEERR_INVALCALLHANDLE, 115}, {LINEERR_NODEVICE, 101},
                                            {LINEERR_NOMEM, -50},           {LINEERR_OPERATIONFAILED, -1}};
    for (const auto& [error, code] : mapping) {
        h.sim().FailNext(QStringLiteral("lineGenerateDigits"), error);
        EXPECT_EQ(h.phone().GenerateDTMFDigits("1"), code) << error;
        h.sim().FailNext(QStringLiteral("lineMonitorTones"), error);
        EXPECT_EQ(h.phone().MonitorTonesCancel(), code) << error;
    }
}

} // namespace
} // namespace qv::test
