// Scripting the simulated exchange: the record of requests, injected
// failures, offered and ringing calls, call information, detected events,
// closing devices, phones, supplementary services and the data channel.
#include "ServiceFixture.h"

#include "common/Clock.h"

#include <sys/socket.h>
#include <unistd.h>

namespace tapitest {
namespace {

using sim::Reply;

HCALL HandleOf(const std::vector<Msg>& states, std::size_t i = 0)
{
    return i < states.size() ? static_cast<HCALL>(states[i].device) : 0;
}

TEST_F(ServiceTest, TheExchangeRecordsEveryRequestWithItsArguments)
{
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 1);
    LINECALLPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwBearerMode = LINEBEARERMODE_PASSTHROUGH;
    params.dwMediaMode = LINEMEDIAMODE_DATAMODEM;
    params.dwAddressMode = LINEADDRESSMODE_ADDRESSID;
    params.dwAddressID = 1;
    params.DialParams.dwWaitForDialtone = 4;
    HCALL call = 0;
    const LONG id = lineMakeCallW(line, &call, u"W5551234", 0, &params);
    ASSERT_GT(id, 0);

    const auto made = m_sim->RequestsOf(QStringLiteral("lineMakeCall"));
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].line, 1);
    EXPECT_EQ(made[0].text, QStringLiteral("W5551234"));
    EXPECT_EQ(made[0].request, static_cast<RequestId>(id));
    ASSERT_GE(made[0].args.size(), 7u);
    EXPECT_EQ(made[0].args[1], LINEBEARERMODE_PASSTHROUGH);
    EXPECT_EQ(made[0].args[2], LINEMEDIAMODE_DATAMODEM);
    EXPECT_EQ(made[0].args[5], 1u); // address
    EXPECT_EQ(made[0].args[6], 4u); // wait for dial tone
    const auto opened = m_sim->RequestsOf(QStringLiteral("lineOpen"));
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].args[2], LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR);

    // A pass-through call is connected at once, with its data channel.
    Settle();
    EXPECT_EQ(m_sim->State(m_sim->LastCall()), LINECALLSTATE_CONNECTED);
    EXPECT_TRUE(m_sim->HasDataChannel(m_sim->LastCall()));
    EXPECT_EQ(m_sim->CallInfo(m_sim->LastCall()).addressId, 1u);
}

TEST_F(ServiceTest, FailuresCanBeInjectedIntoAnyCall)
{
    const HLINEAPP app = Init();
    DWORD version = 0;
    LINEEXTENSIONID ext{};
    m_sim->FailNext(QStringLiteral("lineNegotiateAPIVersion"), LINEERR_RESOURCEUNAVAIL);
    EXPECT_EQ(lineNegotiateAPIVersion(app, 0, TAPI_VERSION_1_3, TAPI_VERSION_2_2, &version, &ext),
              LINEERR_RESOURCEUNAVAIL);
    EXPECT_EQ(lineNegotiateAPIVersion(app, 0, TAPI_VERSION_1_3, TAPI_VERSION_2_2, &version, &ext), 0);

    const HLINE line = Open(app, 0);
    VARSTRING vs{};
    vs.dwTotalSize = sizeof vs + 8;
    alignas(4) unsigned char buffer[64] = {};
    auto* id = reinterpret_cast<VARSTRING*>(buffer);
    id->dwTotalSize = sizeof buffer;
    // Only the named device class fails.
    m_sim->FailAlways(QStringLiteral("lineGetID"), LINEERR_NOMEM, QStringLiteral("wave/in"));
    EXPECT_EQ(lineGetIDW(line, 0, 0, LINECALLSELECT_LINE, id, u"wave/in"), LINEERR_NOMEM);
    EXPECT_EQ(lineGetIDW(line, 0, 0, LINECALLSELECT_LINE, id, u"wave/in"), LINEERR_NOMEM);
    ASSERT_EQ(lineGetIDW(line, 0, 0, LINECALLSELECT_LINE, id, u"wave/out"), 0);
    EXPECT_EQ(*reinterpret_cast<DWORD*>(buffer + id->dwStringOffset), 4u);
    m_sim->FailAlways(QStringLiteral("lineGetID"), 0, QStringLiteral("wave/in"));
    ASSERT_EQ(lineGetIDW(line, 0, 0, LINECALLSELECT_LINE, id, u"wave/in"), 0);
    EXPECT_EQ(*reinterpret_cast<DWORD*>(buffer + id->dwStringOffset), 3u);
    // The line's phone is named by its device ID; a line without one refuses.
    ASSERT_EQ(lineGetIDW(line, 0, 0, LINECALLSELECT_LINE, id, u"tapi/phone"), 0);
    EXPECT_EQ(*reinterpret_cast<DWORD*>(buffer + id->dwStringOffset), 0u);
    const HLINE plain = Open(app, 1);
    EXPECT_EQ(lineGetIDW(plain, 0, 0, LINECALLSELECT_LINE, id, u"tapi/phone"), LINEERR_INVALDEVICECLASS);
    EXPECT_EQ(lineGetIDW(plain, 0, 0, LINECALLSELECT_LINE, id, u"wave/in"), LINEERR_INVALDEVICECLASS);

    // An asynchronous request refused at once never gets a reply.
    m_sim->FailNext(QStringLiteral("lineMakeCall"), LINEERR_CALLUNAVAIL);
    HCALL call = 0;
    EXPECT_EQ(lineMakeCallW(line, &call, u"1", 0, nullptr), LINEERR_CALLUNAVAIL);
    Settle();
    EXPECT_TRUE(Of(LINE_REPLY).empty());
    EXPECT_TRUE(m_sim->Calls(0).empty());
}

TEST_F(ServiceTest, OfferedCallsRingForThoseWhoAskedForRinging)
{
    const HLINEAPP app = Init();
    EXPECT_EQ(m_sim->OfferCall(0), 0u); // nobody has the line open: refused
    const HLINE line = Open(app, 0, 9);

    const CallId first = m_sim->OfferCall(0);
    m_sim->Ring(0);
    Settle();
    // No ringing messages before lineSetStatusMessages asks for them.
    EXPECT_TRUE(Of(LINE_LINEDEVSTATE).empty());
    ASSERT_EQ(Of(LINE_CALLSTATE).size(), 1u);
    EXPECT_EQ(Of(LINE_CALLSTATE)[0].p1, LINECALLSTATE_OFFERING);
    EXPECT_EQ(Of(LINE_CALLSTATE)[0].p3, LINECALLPRIVILEGE_OWNER);
    EXPECT_EQ(Of(LINE_CALLSTATE)[0].instance, 9u);

    ASSERT_EQ(lineSetStatusMessages(line, LINEDEVSTATE_RINGING, 0), 0);
    const CallId second = m_sim->OfferCall(0);
    EXPECT_NE(second, first);
    m_sim->Ring(0);
    m_sim->Ring(0);
    Settle();
    const auto rings = Of(LINE_LINEDEVSTATE);
    ASSERT_EQ(rings.size(), 2u);
    EXPECT_EQ(rings[0].device, line);
    EXPECT_EQ(rings[0].p1, LINEDEVSTATE_RINGING);
    EXPECT_EQ(rings[1].p3, rings[0].p3 + 1); // the ring count counts up
    EXPECT_EQ(m_sim->Calls(0), (std::vector<CallId>{first, second}));

    // The caller gives up: the call goes idle and can then be deallocated.
    const HCALL h = HandleOf(Of(LINE_CALLSTATE), 0);
    EXPECT_EQ(lineDeallocateCall(h), LINEERR_INVALCALLSTATE); // still offered, and ours alone
    m_sim->SetCallState(first, LINECALLSTATE_IDLE);
    Settle();
    EXPECT_EQ(Of(LINE_CALLSTATE).back().p1, LINECALLSTATE_IDLE);
    EXPECT_EQ(lineDeallocateCall(h), 0);
    EXPECT_EQ(m_sim->State(first), 0u);
    EXPECT_EQ(lineAnswer(h, nullptr, 0), LINEERR_INVALCALLHANDLE);
}

TEST_F(ServiceTest, MonitorsSeeCallsButMayNotAnswerThem)
{
    const HLINEAPP owner = Init();
    const HLINEAPP watcher = Init();
    Open(owner, 0, 1);
    Open(watcher, 0, 2, LINECALLPRIVILEGE_MONITOR, 0);
    m_sim->OfferCall(0);
    Settle();
    const auto states = Of(LINE_CALLSTATE);
    ASSERT_EQ(states.size(), 2u);
    const Msg& mine = states[0].instance == 1 ? states[0] : states[1];
    const Msg& theirs = states[0].instance == 2 ? states[0] : states[1];
    EXPECT_EQ(mine.p3, LINECALLPRIVILEGE_OWNER);
    EXPECT_EQ(theirs.p3, LINECALLPRIVILEGE_MONITOR);
    EXPECT_NE(mine.device, theirs.device); // each application has its own handle
    EXPECT_EQ(lineAnswer(static_cast<HCALL>(theirs.device), nullptr, 0), LINEERR_NOTOWNER);
    EXPECT_GT(lineAnswer(static_cast<HCALL>(mine.device), nullptr, 0), 0);
}

TEST_F(ServiceTest, CallInformationDigitsTonesAndMediaReachTheApplication)
{
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0);
    const HCALL call = ConnectedIncomingCall(line);
    const CallId id = Service::CallOfHandle(call);
    TheLog().messages.clear();

    m_sim->SetCallerId(id, {LINECALLPARTYID_BLOCKED, {}, {}});
    m_sim->EditCallInfo(
        id, [](CallInfoData& info) { info.display = QStringLiteral("Hello"); }, LINECALLINFOSTATE_DISPLAY);
    // Nothing is detected that the application does not monitor.
    EXPECT_FALSE(m_sim->DetectDigit(id, '5'));
    EXPECT_FALSE(m_sim->DetectTone(id, 42));
    ASSERT_EQ(lineMonitorDigits(call, LINEDIGITMODE_DTMF), 0);
    EXPECT_EQ(lineMonitorDigits(call, LINEDIGITMODE_DTMFEND), LINEERR_INVALDIGITMODE);
    ASSERT_EQ(lineMonitorMedia(call, LINEMEDIAMODE_G3FAX), 0);
    LINEMONITORTONE tone{42, 500, 1100, 0, 0};
    ASSERT_EQ(lineMonitorTones(call, &tone, 1), 0);
    std::vector<LINEMONITORTONE> many(5, tone);
    EXPECT_EQ(lineMonitorTones(call, many.data(), 5), LINEERR_INVALTONELIST);
    EXPECT_EQ(m_sim->MonitoredTones(id).size(), 1u);
    EXPECT_TRUE(m_sim->DetectDigit(id, '5'));
    EXPECT_FALSE(m_sim->DetectDigit(id, '6', LINEDIGITMODE_PULSE));
    EXPECT_TRUE(m_sim->DetectMedia(id, LINEMEDIAMODE_G3FAX));
    EXPECT_TRUE(m_sim->DetectTone(id, 42));
    ASSERT_EQ(lineGenerateDigitsW(call, LINEDIGITMODE_DTMF, u"12#", 0), 0);
    EXPECT_EQ(lineGenerateDigitsW(call, LINEDIGITMODE_DTMF, u"12X", 0), LINEERR_INVALDIGITS);
    EXPECT_EQ(m_sim->GeneratedDigits(id), QStringLiteral("12#"));
    Settle();

    ASSERT_EQ(Of(LINE_CALLINFO).size(), 2u);
    EXPECT_EQ(Of(LINE_CALLINFO)[0].p1, LINECALLINFOSTATE_CALLERID);
    EXPECT_EQ(Of(LINE_CALLINFO)[1].p1, LINECALLINFOSTATE_DISPLAY);
    ASSERT_EQ(Of(LINE_MONITORDIGITS).size(), 1u);
    EXPECT_EQ(Of(LINE_MONITORDIGITS)[0].p1, static_cast<DWORD_PTR>('5'));
    EXPECT_EQ(Of(LINE_MONITORDIGITS)[0].p2, LINEDIGITMODE_DTMF);
    ASSERT_EQ(Of(LINE_MONITORMEDIA).size(), 1u);
    EXPECT_EQ(Of(LINE_MONITORMEDIA)[0].p1, LINEMEDIAMODE_G3FAX);
    ASSERT_EQ(Of(LINE_MONITORTONE).size(), 1u);
    EXPECT_EQ(Of(LINE_MONITORTONE)[0].p1, 42u);
    EXPECT_EQ(Of(LINE_MONITORTONE)[0].device, call);

    alignas(4) unsigned char buffer[1024] = {};
    auto* info = reinterpret_cast<LINECALLINFO*>(buffer);
    info->dwTotalSize = sizeof buffer;
    ASSERT_EQ(lineGetCallInfoW(call, info), 0);
    EXPECT_EQ(info->dwCallerIDFlags, LINECALLPARTYID_BLOCKED);
    EXPECT_EQ(info->dwCallerIDSize, 0u);
    EXPECT_EQ(info->dwMonitorDigitModes, LINEDIGITMODE_DTMF);
    EXPECT_EQ(QString::fromUtf16(reinterpret_cast<const char16_t*>(buffer + info->dwDisplayOffset)),
              QStringLiteral("Hello"));
}

TEST_F(ServiceTest, AClosedLineTellsItsOpensAndForgetsItsCalls)
{
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0, 55);
    const HCALL call = ConnectedIncomingCall(line);
    TheLog().messages.clear();
    m_sim->ForceCloseLine(0);
    Settle();
    ASSERT_EQ(Of(LINE_CLOSE).size(), 1u);
    EXPECT_EQ(Of(LINE_CLOSE)[0].device, line);
    EXPECT_EQ(Of(LINE_CLOSE)[0].instance, 55u);
    EXPECT_EQ(lineClose(line), LINEERR_INVALLINEHANDLE);
    EXPECT_EQ(lineDrop(call, nullptr, 0), LINEERR_INVALCALLHANDLE);
    // The line can be opened again.
    Open(app, 0);
    EXPECT_TRUE(m_sim->IsLineOpen(0));
}

TEST_F(ServiceTest, PhonesReportTheirStatesAfterTheirReplies)
{
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwOptions = PHONEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    DWORD version = TAPI_VERSION_2_2;
    DWORD phones = 0;
    HPHONEAPP app = 0;
    ASSERT_EQ(phoneInitializeExW(&app, nullptr, Callback, nullptr, &phones, &version, &params), 0);
    HPHONE phone = 0;
    EXPECT_EQ(phoneOpen(app, 0, &phone, TAPI_VERSION_2_2, 0, 8, 3), PHONEERR_INVALPRIVILEGE);
    ASSERT_EQ(phoneOpen(app, 0, &phone, TAPI_VERSION_2_2, 0, 8, PHONEPRIVILEGE_OWNER), 0);
    ASSERT_EQ(
        phoneSetStatusMessages(phone, PHONESTATE_HANDSETHOOKSWITCH | PHONESTATE_SPEAKERHOOKSWITCH, 0, 0), 0);

    const LONG hook = phoneSetHookSwitch(phone, PHONEHOOKSWITCHDEV_HANDSET, PHONEHOOKSWITCHMODE_MICSPEAKER);
    ASSERT_GT(hook, 0);
    EXPECT_EQ(phoneSetHookSwitch(phone, PHONEHOOKSWITCHDEV_HEADSET, PHONEHOOKSWITCHMODE_MIC),
              PHONEERR_INVALHOOKSWITCHDEV);
    EXPECT_EQ(phoneSetHookSwitch(phone, PHONEHOOKSWITCHDEV_HANDSET,
                                 PHONEHOOKSWITCHMODE_MIC | PHONEHOOKSWITCHMODE_SPEAKER),
              PHONEERR_INVALHOOKSWITCHMODE);
    EXPECT_GT(phoneSetLamp(phone, 1, PHONELAMPMODE_FLASH), 0);
    EXPECT_EQ(phoneSetLamp(phone, 2, PHONELAMPMODE_FLASH), PHONEERR_INVALBUTTONLAMPID);
    EXPECT_GT(phoneSetRing(phone, 2, 0x8000), 0);
    EXPECT_EQ(phoneSetRing(phone, 4, 0x8000), PHONEERR_INVALRINGMODE);
    EXPECT_GT(phoneSetVolume(phone, PHONEHOOKSWITCHDEV_SPEAKER, 19660), 0);
    EXPECT_GT(phoneSetGain(phone, PHONEHOOKSWITCHDEV_HANDSET, 32768), 0);
    EXPECT_EQ(phoneSetGain(phone, PHONEHOOKSWITCHDEV_HANDSET, 0x10000), PHONEERR_INVALPARAM);
    EXPECT_GT(phoneSetDisplay(phone, 1, 0, reinterpret_cast<const char*>(u"Hi"), 4), 0);
    EXPECT_EQ(phoneSetDisplay(phone, 2, 0, "x", 1), PHONEERR_INVALPARAM);
    Settle();

    const auto& all = TheLog().messages;
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all[0].message, PHONE_REPLY);
    EXPECT_EQ(all[0].p1, static_cast<DWORD_PTR>(hook));
    // Only the hookswitch was asked for: no lamp, ring or display states.
    const auto states = Of(PHONE_STATE);
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0].p1, PHONESTATE_HANDSETHOOKSWITCH);
    EXPECT_EQ(states[0].device, phone);
    EXPECT_EQ(states[0].instance, 8u);

    PHONESTATUS status{};
    status.dwTotalSize = 103;
    EXPECT_EQ(phoneGetStatus(phone, &status), PHONEERR_STRUCTURETOOSMALL);
    alignas(4) unsigned char buffer[512] = {};
    auto* st = reinterpret_cast<PHONESTATUS*>(buffer);
    st->dwTotalSize = sizeof buffer;
    ASSERT_EQ(phoneGetStatus(phone, st), 0);
    EXPECT_EQ(st->dwHandsetHookSwitchMode, PHONEHOOKSWITCHMODE_MICSPEAKER);
    EXPECT_EQ(st->dwSpeakerVolume, 19660u);
    EXPECT_EQ(st->dwHandsetGain, 32768u);
    EXPECT_EQ(st->dwNumOwners, 1u);
    DWORD lamp = 0;
    ASSERT_EQ(phoneGetLamp(phone, 1, &lamp), 0);
    EXPECT_EQ(lamp, PHONELAMPMODE_FLASH);
    DWORD ringMode = 0;
    DWORD volume = 0;
    ASSERT_EQ(phoneGetRing(phone, &ringMode, &volume), 0);
    EXPECT_EQ(ringMode, 2u);
    EXPECT_EQ(volume, 0x8000u);
    DWORD offHook = 0;
    ASSERT_EQ(phoneGetHookSwitch(phone, &offHook), 0);
    EXPECT_EQ(offHook, PHONEHOOKSWITCHDEV_HANDSET);
    auto* display = reinterpret_cast<VARSTRING*>(buffer);
    display->dwTotalSize = sizeof buffer;
    ASSERT_EQ(phoneGetDisplay(phone, display), 0);
    const QString text = QString::fromUtf16(
        reinterpret_cast<const char16_t*>(buffer + display->dwStringOffset), display->dwStringSize / 2);
    EXPECT_EQ(text.mid(16, 2), QStringLiteral("Hi")); // row 1, column 0

    // The user lifts the speakerphone; PHONE_CLOSE when the device goes.
    TheLog().messages.clear();
    m_sim->SetHookSwitch(0, PHONEHOOKSWITCHDEV_SPEAKER, PHONEHOOKSWITCHMODE_SPEAKER);
    m_sim->ForceClosePhone(0);
    Settle();
    ASSERT_EQ(TheLog().messages.size(), 2u);
    EXPECT_EQ(TheLog().messages[0].message, PHONE_STATE);
    EXPECT_EQ(TheLog().messages[0].p1, PHONESTATE_SPEAKERHOOKSWITCH);
    EXPECT_EQ(TheLog().messages[1].message, PHONE_CLOSE);
    EXPECT_EQ(phoneClose(phone), PHONEERR_INVALPHONEHANDLE);
    phoneShutdown(app);
}

TEST_F(ServiceTest, TransferAndConferenceFollowTheExchangesStates)
{
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0);
    const HCALL primary = ConnectedIncomingCall(line);
    TheLog().messages.clear();

    HCALL consult = 0;
    HCALL conf = 0;
    ASSERT_GT(lineSetupConferenceW(primary, line, &conf, &consult, 3, nullptr), 0);
    Settle();
    ASSERT_NE(conf, 0u);
    ASSERT_NE(consult, 0u);
    EXPECT_NE(conf, consult);
    auto stateOf = [&](HCALL h) {
        DWORD_PTR last = 0;
        for (const Msg& m : Of(LINE_CALLSTATE))
            if (m.device == h)
                last = m.p1;
        return last;
    };
    EXPECT_EQ(stateOf(consult), LINECALLSTATE_DIALTONE);
    EXPECT_EQ(stateOf(conf), LINECALLSTATE_ONHOLDPENDCONF);
    EXPECT_EQ(stateOf(primary), LINECALLSTATE_CONFERENCED);

    ASSERT_GT(lineDialW(consult, u"200", 0), 0);
    EXPECT_EQ(m_sim->DialledNumber(Service::CallOfHandle(consult)), QStringLiteral("200"));
    m_sim->SetCallState(Service::CallOfHandle(consult), LINECALLSTATE_CONNECTED);
    ASSERT_GT(lineAddToConference(conf, consult), 0);
    Settle();
    EXPECT_EQ(stateOf(conf), LINECALLSTATE_CONNECTED);
    // A conferenced call names its conference in dwParam2, as a handle of ours.
    const auto states = Of(LINE_CALLSTATE);
    const auto joined = std::find_if(states.rbegin(), states.rend(), [&](const Msg& m) {
        return m.device == consult && m.p1 == LINECALLSTATE_CONFERENCED;
    });
    ASSERT_NE(joined, states.rend());
    EXPECT_EQ(joined->p2, conf);

    EXPECT_GT(lineHold(conf), 0);
    EXPECT_EQ(lineCompleteTransfer(primary, consult, nullptr, LINETRANSFERMODE_CONFERENCE),
              LINEERR_INVALPOINTER);
    EXPECT_EQ(lineCompleteTransfer(primary, 0xDEAD, nullptr, LINETRANSFERMODE_TRANSFER),
              LINEERR_INVALCONSULTCALLHANDLE);
    Settle();
    EXPECT_EQ(stateOf(conf), LINECALLSTATE_ONHOLD);
}

TEST_F(ServiceTest, ATransferLeavesBothCallsIdle)
{
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0);
    const HCALL primary = ConnectedIncomingCall(line);
    TheLog().messages.clear();
    HCALL consult = 0;
    ASSERT_GT(lineSetupTransferW(primary, &consult, nullptr), 0);
    Settle();
    ASSERT_NE(consult, 0u);
    ASSERT_EQ(Of(LINE_REPLY).size(), 1u);
    EXPECT_EQ(TheLog().messages.front().message, LINE_REPLY);
    const CallId consultId = Service::CallOfHandle(consult);
    EXPECT_EQ(m_sim->State(consultId), LINECALLSTATE_DIALTONE);
    EXPECT_EQ(m_sim->State(Service::CallOfHandle(primary)), LINECALLSTATE_ONHOLDPENDTRANSFER);
    m_sim->SetCallState(consultId, LINECALLSTATE_CONNECTED);
    ASSERT_GT(lineCompleteTransfer(primary, consult, nullptr, LINETRANSFERMODE_TRANSFER), 0);
    Settle();
    EXPECT_EQ(m_sim->State(consultId), LINECALLSTATE_IDLE);
    EXPECT_EQ(m_sim->State(Service::CallOfHandle(primary)), LINECALLSTATE_IDLE);
    EXPECT_EQ(lineDeallocateCall(consult), 0);
    EXPECT_EQ(lineDeallocateCall(primary), 0);
    EXPECT_TRUE(m_sim->Calls(0).empty());
}

TEST_F(ServiceTest, AnOfferedCallSwitchedToPassThroughIsTakenAsItIs)
{
    const HLINEAPP app = Init();
    Open(app, 0);
    const CallId id = m_sim->OfferCall(0);
    Settle();
    const HCALL call = static_cast<HCALL>(Of(LINE_CALLSTATE).back().device);
    EXPECT_EQ(lineSetCallParams(call, LINEBEARERMODE_PASSTHROUGH, 19200, 9600, nullptr), LINEERR_INVALRATE);
    ASSERT_GT(lineSetCallParams(call, LINEBEARERMODE_PASSTHROUGH, 19200, 19200, nullptr), 0);
    Settle();
    EXPECT_EQ(m_sim->State(id), LINECALLSTATE_CONNECTED);
    EXPECT_TRUE(m_sim->HasDataChannel(id));
    EXPECT_EQ(m_sim->CallInfo(id).bearerMode, LINEBEARERMODE_PASSTHROUGH);
    EXPECT_EQ(Of(LINE_CALLINFO).size(), 1u);
}

TEST_F(ServiceTest, ALateReplyOutstandingAtUninstallNeverFires)
{
    qv::ScopedVirtualClock clock;
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0);
    m_sim->SetReply(QStringLiteral("lineMakeCall"), Reply::After(1000));
    HCALL call = 0;
    ASSERT_GT(lineMakeCallW(line, &call, u"1", 0, nullptr), 0);
    EXPECT_EQ(clock->ActiveTimers(), 1);
    Service::Uninstall();
    EXPECT_EQ(clock->ActiveTimers(), 0);
    clock->Advance(5000);
    Settle();
    EXPECT_TRUE(TheLog().messages.empty());
    EXPECT_EQ(call, 0u);
}

TEST_F(ServiceTest, AScriptedPeerTalksThroughTheDataChannel)
{
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0);
    const HCALL call = ConnectedIncomingCall(line);
    const CallId id = Service::CallOfHandle(call);
    m_sim->SetPeerEcho(id);

    alignas(4) unsigned char buffer[64] = {};
    auto* vs = reinterpret_cast<VARSTRING*>(buffer);
    vs->dwTotalSize = sizeof buffer;
    ASSERT_EQ(lineGetIDW(0, 0, call, LINECALLSELECT_CALL, vs, u"comm/datamodem"), 0);
    const int fd = static_cast<int>(*reinterpret_cast<DWORD*>(buffer + vs->dwStringOffset));
    ASSERT_EQ(::send(fd, "ATI\r", 4, MSG_NOSIGNAL), 4);
    QByteArray echoed;
    EXPECT_TRUE(WaitFor([&] {
        char b[16];
        const ssize_t n = ::recv(fd, b, sizeof b, MSG_DONTWAIT);
        if (n > 0)
            echoed.append(b, n);
        return echoed.size() >= 4;
    }));
    EXPECT_EQ(echoed, QByteArray("ATI\r"));

    // Hanging up closes the exchange's side: the application reads end of file.
    ASSERT_GT(lineDrop(call, nullptr, 0), 0);
    Settle();
    EXPECT_FALSE(m_sim->HasDataChannel(id));
    char b[4];
    EXPECT_TRUE(WaitFor([&] { return ::recv(fd, b, sizeof b, MSG_DONTWAIT) == 0; }));
    ::close(fd);
}

TEST_F(ServiceTest, TheConfigurationDialogIsTheProvidersOrTheRegisteredOne)
{
    Init();
    m_sim->SetConfigDialog(0, [](QByteArray& config) { config[84] = 2; });
    EXPECT_EQ(lineConfigDialogW(0, nullptr, nullptr), 0);
    EXPECT_EQ(m_sim->DevConfig(0)[84], 2);
    m_sim->SetConfigDialog(LINEERR_OPERATIONFAILED);
    EXPECT_EQ(lineConfigDialogW(0, nullptr, u"comm/datamodem"), LINEERR_OPERATIONFAILED);
    EXPECT_EQ(lineConfigDialogW(9, nullptr, nullptr), LINEERR_BADDEVICEID);

    int ran = 0;
    Service::SetConfigDialogHandler(QStringLiteral("sim"),
                                    [&](Provider& provider, int line, HWND, const QString&) {
                                        ++ran;
                                        EXPECT_EQ(provider.Name(), QStringLiteral("sim"));
                                        EXPECT_EQ(line, 1);
                                        return LONG{0};
                                    });
    EXPECT_EQ(lineConfigDialogW(1, nullptr, nullptr), 0);
    EXPECT_EQ(ran, 1);
    Service::SetConfigDialogHandler(QStringLiteral("sim"), {});
}

} // namespace
} // namespace tapitest
