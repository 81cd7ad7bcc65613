// The modem line against a scripted device, in virtual time: bringing the
// modem up and its failures, the dial alphabet, dial results, rings and caller
// ID, the data phase, and the hang-up with what confirms it (DCD, ATH0 after
// DTR or the escape sequence) and what it does when nothing does.
#include "tests/telephony/providers/ConfFileSupport.h"
#include "tests/telephony/providers/FakeModemDevice.h"
#include "tests/telephony/providers/RecordingEvents.h"

#include "telephony/service/providers/modem/ModemFactory.h"
#include "telephony/service/providers/modem/ModemProvider.h"

#include <gtest/gtest.h>

#include <QtEndian>

namespace {

using namespace tapi;
using namespace qv::modem;
using qv::test::FakeDeviceFactory;
using qv::test::FakeModemDevice;
using qv::test::RecordingEvents;
using qv::test::SaysNotKept;
using qv::test::StartFrom;
using qv::test::UnwritableConf;
using qv::test::WriteConf;
using qv::tty::OpenError;

class ModemLine : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ModemLineConfig config;
        config.device = "/dev/ttyFAKE0";
        config.lockDir.clear();
        Make(config);
    }

    void Make(ModemLineConfig config)
    {
        provider.reset();
        provider =
            std::make_unique<ModemProvider>(std::vector<ModemLineConfig>{config}, FakeDeviceFactory(fake));
        provider->SetTimings(timings);
        provider->Attach(&events);
    }

    void Run(int ms)
    {
        for (int i = 0; i < ms; i += 10)
            clock->Advance(10);
    }

    // Opens the line and lets the modem come up.
    void Ready()
    {
        ASSERT_EQ(provider->OpenLine(0), 0);
        Run(100);
        ASSERT_TRUE(fake->CommandSent("ATL2M1")) << "the modem came up";
        fake->commands.clear();
    }

    DWORD CallerIdFlags()
    {
        AddressInfo info;
        EXPECT_EQ(provider->GetAddressInfo(0, 0, info), 0);
        return info.callerIDFlags;
    }

    // Opens the line and sets up a connected outgoing call.
    CallId Connected(CallId call = 7)
    {
        if (!fake->open)
            Ready();
        EXPECT_EQ(provider->MakeCall(1, 0, call, "5551234", 0, {}), 0);
        Run(20);
        fake->Inject("\r\nCONNECT 33600\r\n");
        fake->dcd = true;
        Run(400);
        EXPECT_TRUE(events.Has("state " + std::to_string(call) + " CONNECTED"));
        events.log.clear();
        return call;
    }

    qv::ScopedVirtualClock clock;
    ModemTimings timings;
    RecordingEvents events;
    FakeModemDevice* fake = nullptr;
    std::unique_ptr<ModemProvider> provider;
};

TEST_F(ModemLine, TheModemIsBroughtUpInStepsAfterTheOpenReturned)
{
    ASSERT_EQ(provider->OpenLine(0), 0);
    EXPECT_TRUE(fake->commands.empty()) << "nothing waits inside lineOpen";
    Run(100);
    const std::vector<QByteArray> expected = {"AT",    "ATZ",   "ATE0V1Q0S0=0", "ATX4",
                                              "AT&C1", "AT&D2", "AT+VCID=1",    "ATL2M1"};
    EXPECT_EQ(fake->commands, expected);
    EXPECT_TRUE(CallerIdFlags() & LINECALLPARTYID_ADDRESS);

    // The phone component edits the speaker words of the stored block in
    // place and writes it back; the next open sends them as L and M. Closed
    // and opened again at once (as the phone's probe does), the tty stays and
    // only what changed is said again.
    QByteArray block;
    ASSERT_EQ(provider->GetDevConfig(0, "comm/datamodem", block), 0);
    ASSERT_EQ(qFromLittleEndian<quint32>(block.constData() + OffSubtype), 6u);
    qToLittleEndian<quint32>(2, block.data() + OffSpeakerVolume);
    qToLittleEndian<quint32>(0, block.data() + OffSpeakerMode);
    qToLittleEndian<quint16>(8, block.data() + OffOptions);
    provider->CloseLine(0);
    Run(timings.lingerMs / 2);
    ASSERT_EQ(provider->SetDevConfig(0, "comm/datamodem", block), 0);
    fake->commands.clear();
    ASSERT_EQ(provider->OpenLine(0), 0);
    Run(timings.lingerMs);
    EXPECT_EQ(fake->opens, 1) << "no second open of the tty, so no DTR drop";
    EXPECT_TRUE(fake->dtrChanges.empty());
    EXPECT_EQ(fake->commands.front(), QByteArray("ATZ"));
    EXPECT_EQ(fake->commands.back(), QByteArray("ATL3M0"));
    QByteArray again;
    ASSERT_EQ(provider->GetDevConfig(0, "comm/datamodem", again), 0);
    EXPECT_EQ(qFromLittleEndian<quint16>(again.constData() + OffOptions), 8u) << "options word kept";

    // A close that is not followed by an open lets the tty go.
    provider->CloseLine(0);
    Run(timings.lingerMs + 10);
    EXPECT_FALSE(fake->open);

    // A block the line cannot use is refused and changes nothing.
    qToLittleEndian<quint32>(9, block.data() + OffSpeakerMode);
    EXPECT_EQ(provider->SetDevConfig(0, "comm/datamodem", block), LINEERR_INVALPARAM);
    EXPECT_EQ(provider->SetDevConfig(0, "wave/in", again), LINEERR_INVALDEVICECLASS);
    EXPECT_EQ(provider->LineConfig(0).speaker, SpeakerMode::Off);
}

// The settings panel's button gives the line new settings and reopens it
// within the linger time: a new speed or flow control opens the tty afresh
// and brings the modem up from "AT"; settings the tty does not depend on keep
// the tty as it is.
TEST_F(ModemLine, AReopenAfterANewSpeedOpensTheTtyAtIt)
{
    Ready();
    ModemLineConfig wanted = provider->LineConfig(0);
    wanted.init = "AT&F";
    ASSERT_EQ(provider->SetLineConfig(0, wanted), 0);
    provider->CloseLine(0);
    ASSERT_EQ(provider->OpenLine(0), 0);
    Run(100);
    EXPECT_EQ(fake->opens, 1);
    ASSERT_FALSE(fake->commands.empty());
    EXPECT_EQ(fake->commands.front(), QByteArray("AT&F")) << "only told the modem again";

    wanted.speed = 9600;
    wanted.flow = FlowControl::XonXoff;
    ASSERT_EQ(provider->SetLineConfig(0, wanted), 0);
    provider->CloseLine(0);
    Run(timings.lingerMs / 2);
    fake->commands.clear();
    ASSERT_EQ(provider->OpenLine(0), 0);
    EXPECT_EQ(fake->opens, 2);
    EXPECT_TRUE(fake->open);
    EXPECT_EQ(fake->settings, PortSettings(wanted));
    Run(100);
    ASSERT_FALSE(fake->commands.empty());
    EXPECT_EQ(fake->commands.front(), QByteArray("AT"));
    EXPECT_TRUE(fake->CommandSent("ATL2M1")) << "the modem came up again";
}

// The same button while the last call is still being hung up: the hang-up
// ends on the tty as it was, and the new settings are taken after it.
TEST_F(ModemLine, SettingsGivenWhileAHangUpRunsAreTakenWhenItIsDone)
{
    Connected();
    ModemLineConfig wanted = provider->LineConfig(0);
    wanted.init = "AT&F";
    ASSERT_EQ(provider->SetLineConfig(0, wanted), 0);
    provider->CloseLine(0);
    ASSERT_EQ(provider->OpenLine(0), 0);
    fake->commands.clear();
    Run(timings.dtrDropMs + timings.dtrSettleMs + 200);
    EXPECT_EQ(fake->opens, 1);
    ASSERT_FALSE(fake->commands.empty());
    EXPECT_EQ(fake->commands.front(), QByteArray("AT&F")) << "told the modem again once on hook";

    Connected(8);
    wanted.speed = 9600;
    ASSERT_EQ(provider->SetLineConfig(0, wanted), 0);
    provider->CloseLine(0);
    ASSERT_EQ(provider->OpenLine(0), 0);
    EXPECT_EQ(fake->opens, 1) << "the hang-up keeps the tty it runs on";
    fake->commands.clear();
    Run(timings.dtrDropMs + timings.dtrSettleMs + 200);
    EXPECT_EQ(fake->opens, 2);
    EXPECT_TRUE(fake->open);
    EXPECT_EQ(fake->settings, PortSettings(wanted));
    ASSERT_FALSE(fake->commands.empty());
    EXPECT_EQ(fake->commands.front(), QByteArray("AT"));
    EXPECT_TRUE(fake->CommandSent("ATL2M1")) << "the modem came up again";
    EXPECT_FALSE(events.Has("closed 0"));
}

TEST_F(ModemLine, AModemThatDoesNotComeUpClosesTheLineWithItsReason)
{
    fake->responder = [](const QByteArray&) { return QByteArray(); };
    ASSERT_EQ(provider->OpenLine(0), 0);
    Run(timings.probeMs * timings.probeTries - 50);
    EXPECT_FALSE(events.Has("closed 0"));
    Run(100);
    EXPECT_EQ(events.log, std::vector<std::string>{"closed 0"});
    EXPECT_TRUE(provider->LineFailure(0).contains("does not answer AT"))
        << provider->LineFailure(0).toStdString();
    EXPECT_FALSE(fake->open);
    EXPECT_EQ(fake->commands, (std::vector<QByteArray>{"AT", "AT", "AT"}));

    // A required command refused.
    events.log.clear();
    fake->responder = [](const QByteArray& c) {
        return c == "ATZ" ? QByteArray("\r\nERROR\r\n") : QByteArray("\r\nOK\r\n");
    };
    ASSERT_EQ(provider->OpenLine(0), 0);
    Run(100);
    EXPECT_EQ(events.log, std::vector<std::string>{"closed 0"});
    EXPECT_EQ(provider->LineFailure(0), "The modem on /dev/ttyFAKE0 refused ATZ (ERROR).");
    EXPECT_FALSE(fake->open);

    // A call placed while the modem came up ends with the line.
    events.log.clear();
    ASSERT_EQ(provider->OpenLine(0), 0);
    ASSERT_EQ(provider->MakeCall(1, 0, 7, "5551234", 0, {}), 0);
    Run(100);
    EXPECT_EQ(events.log, (std::vector<std::string>{"reply 1 0", "state 7 DISCONNECTED 2048"}));
    ASSERT_EQ(provider->Drop(2, 7, {}), 0);
    Run(20);
    EXPECT_EQ(events.log.back(), "closed 0");
}

TEST_F(ModemLine, OptionalCommandsAndCallerIdDialectsAreTriedAndTolerated)
{
    // Each modem knows one caller-ID dialect; the line finds it.
    for (const char* dialect : {"AT+VCID=1", "AT#CID=1", "AT%CCID=1", "AT+CLIP=1", ""}) {
        SCOPED_TRACE(dialect);
        Make(provider->LineConfig(0));
        fake->responder = [dialect](const QByteArray& c) {
            const bool callerId = c.contains("CID") || c.contains("CLIP");
            const bool refused = c == "ATX4" || c.startsWith("ATL") || (callerId && c != dialect);
            return QByteArray(refused ? "\r\nERROR\r\n" : "\r\nOK\r\n");
        };
        ASSERT_EQ(provider->OpenLine(0), 0);
        Run(100);
        EXPECT_TRUE(events.log.empty()) << "the line stays open";
        EXPECT_TRUE(provider->LineFailure(0).isEmpty());
        EXPECT_TRUE(fake->CommandSent("AT&D2")) << "a refused ATX4 stops nothing";
        const std::vector<QByteArray> tried = {"AT+VCID=1", "AT#CID=1", "AT%CCID=1", "AT+CLIP=1"};
        const auto last = std::find(tried.begin(), tried.end(), QByteArray(dialect));
        for (auto it = tried.begin(); it != tried.end(); ++it)
            EXPECT_EQ(fake->CommandSent(*it), it <= last) << it->constData();
        EXPECT_EQ(CallerIdFlags() == LINECALLPARTYID_UNAVAIL, *dialect == '\0');
    }

    // telephony.conf's own sequence replaces all of it; "?" marks what may
    // fail, and without a caller-ID command there is no caller ID.
    ModemLineConfig config = provider->LineConfig(0);
    config.initSequence = "AT&F | ?ATX4 | ATE0V1S0=0";
    Make(config);
    fake->responder = [](const QByteArray& c) {
        return QByteArray(c == "ATX4" ? "\r\nERROR\r\n" : "\r\nOK\r\n");
    };
    ASSERT_EQ(provider->OpenLine(0), 0);
    Run(100);
    EXPECT_EQ(fake->commands, (std::vector<QByteArray>{"AT", "AT&F", "ATX4", "ATE0V1S0=0", "ATL2M1"}));
    EXPECT_EQ(CallerIdFlags(), LINECALLPARTYID_UNAVAIL);
}

TEST_F(ModemLine, ALateReplyAtOpenAnswersOnlyItsOwnCommand)
{
    // The first AT is answered after its time limit, when the second is out.
    int ats = 0;
    fake->responder = [&ats](const QByteArray& c) {
        if (c == "AT" && ++ats == 1)
            return QByteArray();
        return QByteArray(c == "ATZ" ? "\r\nERROR\r\n" : "\r\nOK\r\n");
    };
    ASSERT_EQ(provider->OpenLine(0), 0);
    Run(timings.probeMs + 5);
    ASSERT_EQ(fake->commands.size(), 2u);
    fake->Inject("\r\nOK\r\n"); // the first AT's, late
    Run(50);
    // Had the late OK answered the second AT, the second AT's OK would have
    // been taken for ATZ's answer and hidden its ERROR.
    EXPECT_EQ(events.log, std::vector<std::string>{"closed 0"});
    EXPECT_TRUE(provider->LineFailure(0).contains("refused ATZ")) << provider->LineFailure(0).toStdString();
}

TEST_F(ModemLine, DeviceOpenFailuresHaveTheirOwnCodesAndTexts)
{
    struct Row
    {
        OpenError error;
        LONG code;
    };
    const Row rows[] = {{OpenError::NotFound, LINEERR_NODEVICE},
                        {OpenError::PermissionDenied, LINEERR_OPERATIONFAILED},
                        {OpenError::Locked, LINEERR_ALLOCATED},
                        {OpenError::Exclusive, LINEERR_ALLOCATED},
                        {OpenError::LockFile, LINEERR_ALLOCATED}};
    QStringList texts;
    for (const Row& r : rows) {
        fake->openResult.error = r.error;
        fake->openResult.holderPid = 4321;
        fake->openResult.holderName = "minicom";
        EXPECT_EQ(provider->OpenLine(0), r.code) << int(r.error);
        Run(50);
        texts << provider->LineFailure(0);
        EXPECT_TRUE(fake->commands.empty()) << "nothing is sent to a device that did not open";
    }
    texts.removeDuplicates();
    EXPECT_EQ(texts.size(), 5);
    EXPECT_TRUE(texts[1].contains("join the dialout group"));
    for (int held : {2, 3, 4})
        EXPECT_TRUE(texts[held].contains("process 4321 (minicom)")) << texts[held].toStdString();
}

TEST_F(ModemLine, DialStringsOutsideTheDialAlphabetNeverReachTheModem)
{
    Ready();
    const QByteArray before = fake->written;
    for (const char* bad : {"123\rATH", "123\n", "12;ATZ", "W", "555-1234", "+31 20", "1\x7f"})
        EXPECT_EQ(provider->MakeCall(1, 0, 7, QString::fromLatin1(bad), 0, {}), LINEERR_INVALADDRESS) << bad;
    EXPECT_EQ(provider->MakeCall(1, 0, 7, QString::fromUtf8("۱۲۳"), 0, {}), LINEERR_INVALADDRESS);
    Run(50);
    EXPECT_EQ(fake->written, before);
    EXPECT_TRUE(events.log.empty());

    ASSERT_EQ(provider->MakeCall(2, 0, 7, "W*70,5551234#", 0, {}), 0);
    Run(20);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATDTW*70,5551234#"));
    EXPECT_EQ(provider->MakeCall(3, 0, 8, "1", 0, {}), LINEERR_CALLUNAVAIL) << "one call per line";
}

TEST_F(ModemLine, ACallPlacedWhileTheModemComesUpIsDialledWhenItIsReady)
{
    ASSERT_EQ(provider->OpenLine(0), 0);
    ASSERT_EQ(provider->MakeCall(1, 0, 7, "5551234", 0, {}), 0);
    Run(100);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATDT5551234"));
    EXPECT_EQ(fake->commands[fake->commands.size() - 2], QByteArray("ATL2M1"));
    EXPECT_EQ(events.log, (std::vector<std::string>{"reply 1 0", "state 7 DIALING", "state 7 PROCEEDING"}));
}

TEST_F(ModemLine, DialResultsEndTheCallWithTheMatchingMode)
{
    struct Row
    {
        const char* result;
        DWORD mode;
    };
    const Row rows[] = {{"BUSY", LINEDISCONNECTMODE_BUSY},
                        {"NO DIALTONE", LINEDISCONNECTMODE_NODIALTONE},
                        {"NO ANSWER", LINEDISCONNECTMODE_NOANSWER},
                        {"NO CARRIER", LINEDISCONNECTMODE_NOANSWER},
                        {"7", LINEDISCONNECTMODE_BUSY},
                        {"ERROR", LINEDISCONNECTMODE_UNAVAIL}};
    Ready();
    CallId call = 10;
    for (const Row& r : rows) {
        events.log.clear();
        ASSERT_EQ(provider->MakeCall(RequestId(call), 0, call, "5551234", 0, {}), 0) << r.result;
        Run(20);
        fake->Inject(QByteArray("\r\n") + r.result + "\r\n");
        Run(20);
        const std::string id = std::to_string(call);
        const std::vector<std::string> expected = {"reply " + id + " 0", "state " + id + " DIALING",
                                                   "state " + id + " PROCEEDING",
                                                   "state " + id + " DISCONNECTED " + std::to_string(r.mode)};
        EXPECT_EQ(events.log, expected) << r.result;
        // The application drops the ended call: the modem in its command
        // phase confirms with its OK to ATH0, and the line is free again.
        ASSERT_EQ(provider->Drop(RequestId(call + 100), call, {}), 0);
        Run(20);
        EXPECT_EQ(fake->commands.back(), QByteArray("ATH0"));
        EXPECT_TRUE(events.Has("state " + id + " IDLE")) << r.result;
        ++call;
    }
}

TEST_F(ModemLine, ADialThatTakesTooLongIsBrokenOffInVirtualTime)
{
    ModemLineConfig config = provider->LineConfig(0);
    config.dialTimeoutSeconds = 30;
    config.dialMode = DialMode::Pulse;
    Make(config);
    Ready();
    ASSERT_EQ(provider->MakeCall(1, 0, 7, "123", 0, {}), 0);
    Run(20);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATDP123"));
    Run(30000);
    EXPECT_FALSE(events.Has("state 7 DISCONNECTED 64"));
    Run(timings.dialMarginMs + 100);
    EXPECT_TRUE(events.Has("state 7 DISCONNECTED 64"));
    EXPECT_TRUE(fake->written.endsWith("\r")) << "a character breaks off the dial";
    // The modem's late verdict does not answer the hang-up's ATH0.
    fake->responder = [](const QByteArray& c) { return QByteArray(c == "ATH0" ? "" : "\r\nOK\r\n"); };
    fake->Inject("\r\nNO CARRIER\r\n");
    ASSERT_EQ(provider->Drop(2, 7, {}), 0);
    Run(50);
    EXPECT_FALSE(events.Has("reply 2 0"));
    fake->Inject("\r\nOK\r\n");
    Run(50);
    EXPECT_TRUE(events.Has("reply 2 0"));
    EXPECT_TRUE(events.Has("state 7 IDLE"));
}

TEST_F(ModemLine, RingsOfferACallWithCallerIdAndAnswerRepliesBeforeConnected)
{
    Ready();
    fake->Inject("\r\nRING\r\n\r\nDATE = 1208\r\nTIME = 0105\r\nNMBR = 5550100\r\nNAME = ALI REZAEI\r\n");
    Run(20);
    ASSERT_TRUE(events.Has("state 100 OFFERING"));
    EXPECT_TRUE(events.Has("linedev 0 2 1"));
    EXPECT_TRUE(events.Has("info 100 32768"));
    CallInfoData info;
    ASSERT_EQ(provider->GetCallInfo(100, info), 0);
    EXPECT_EQ(info.caller.number, "5550100");
    EXPECT_EQ(info.caller.name, "ALI REZAEI");
    EXPECT_TRUE(info.caller.flags & LINECALLPARTYID_ADDRESS);
    EXPECT_TRUE(info.caller.flags & LINECALLPARTYID_NAME);
    EXPECT_EQ(info.origin, LINECALLORIGIN_INBOUND);

    // Other spellings of a ring are rings of the same call.
    fake->Inject("\r\nRING 2\r\n\r\n+CRING: DATA\r\n");
    Run(20);
    EXPECT_TRUE(events.Has("linedev 0 2 3"));
    EXPECT_EQ(std::count(events.log.begin(), events.log.end(), "incoming 0"), 1) << "one call for all rings";

    events.log.clear();
    ASSERT_EQ(provider->Answer(5, 100, {}), 0);
    Run(20);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATA"));
    EXPECT_EQ(events.log, std::vector<std::string>{"reply 5 0"});
    fake->Inject("\r\nCONNECT 33600/ARQ\r\n");
    Run(20);
    EXPECT_EQ(events.log, (std::vector<std::string>{"reply 5 0", "state 100 CONNECTED"}));
    ASSERT_EQ(provider->GetCallInfo(100, info), 0);
    EXPECT_EQ(info.rate, 33600u);

    DeviceIdData id;
    ASSERT_EQ(provider->GetID(0, 0, 100, LINECALLSELECT_CALL, "comm/datamodem", id), 0);
    EXPECT_EQ(id.fd, fake->Fd());
    EXPECT_EQ(id.name, "/dev/ttyFAKE0");
}

TEST_F(ModemLine, ACallerWhoGivesUpLeavesTheOfferedCallIdle)
{
    Ready();
    fake->Inject("\r\nRING\r\n");
    Run(timings.ringGapMs - 100);
    fake->Inject("\r\nRING\r\n");
    Run(timings.ringGapMs - 100);
    EXPECT_FALSE(events.Has("state 100 IDLE"));
    Run(200);
    EXPECT_TRUE(events.Has("state 100 IDLE"));
    EXPECT_EQ(provider->Answer(1, 100, {}), LINEERR_INVALCALLHANDLE);

    // A refused call: the same caller's further rings offer nothing new.
    events.log.clear();
    fake->Inject("\r\nRING\r\n");
    Run(20);
    ASSERT_TRUE(events.Has("state 101 OFFERING"));
    ASSERT_EQ(provider->Drop(2, 101, {}), 0);
    Run(20);
    EXPECT_EQ(events.IndexOf("reply 2 0") + 1, events.IndexOf("state 101 IDLE"));
    fake->Inject("\r\nRING\r\n");
    Run(20);
    EXPECT_FALSE(events.Has("state 102 OFFERING"));
    Run(timings.ringGapMs + 100);
    fake->Inject("\r\nRING\r\n");
    Run(20);
    EXPECT_TRUE(events.Has("state 102 OFFERING")) << "the next caller rings again";
}

TEST_F(ModemLine, DataRightAfterConnectIsLeftForTheApplication)
{
    Ready();
    ASSERT_EQ(provider->MakeCall(1, 0, 7, "5551234", 0, {}), 0);
    Run(20);
    fake->Inject("\r\nCONNECT 9600\r\nWelcome\r\nNO CARRIER\r\n");
    Run(50);
    EXPECT_TRUE(events.Has("state 7 CONNECTED"));
    EXPECT_FALSE(events.Has("state 7 DISCONNECTED 1")) << "result codes of the data phase are not parsed";
    EXPECT_EQ(fake->input, QByteArray("\nWelcome\r\nNO CARRIER\r\n"));
}

TEST_F(ModemLine, LostCarrierIsSeenOnDcdAndTheEndedCallNeedsOnlyAth0)
{
    const CallId call = Connected();
    Run(1000);
    EXPECT_TRUE(events.log.empty());
    fake->dcd = false;
    Run(timings.carrierPollMs + 10);
    EXPECT_EQ(events.log, std::vector<std::string>{"state 7 DISCONNECTED 1"});

    events.log.clear();
    ASSERT_EQ(provider->Drop(2, call, {}), 0);
    Run(100);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATH0"));
    EXPECT_EQ(fake->written.count("+++"), 0);
    EXPECT_TRUE(fake->dtrChanges.empty());
    EXPECT_EQ(events.log, (std::vector<std::string>{"reply 2 0", "state 7 IDLE"}));

    // Ready for the next call.
    ASSERT_EQ(provider->MakeCall(3, 0, 8, "1", 0, {}), 0);
    Run(20);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATDT1"));
}

TEST_F(ModemLine, DtrIsDroppedForItsTimeAndTheFallingCarrierConfirms)
{
    const CallId call = Connected();
    ASSERT_EQ(provider->Drop(2, call, {}), 0);
    Run(10);
    ASSERT_EQ(fake->dtrChanges, std::vector<bool>{false});
    EXPECT_EQ(fake->outputDiscards, 1) << "the call's unsent data does not hold the hang-up up";
    Run(timings.dtrDropMs - 20);
    EXPECT_EQ(fake->dtrChanges, std::vector<bool>{false}) << "DTR stays down for its whole time";
    Run(20);
    EXPECT_EQ(fake->dtrChanges, (std::vector<bool>{false, true}));
    EXPECT_TRUE(events.log.empty()) << "no reply until the modem is on hook";
    Run(timings.dtrSettleMs + 100);
    EXPECT_EQ(fake->written.count("+++"), 0);
    EXPECT_FALSE(fake->CommandSent("ATH0")) << "the carrier's fall is proof enough";
    EXPECT_EQ(events.log, (std::vector<std::string>{"reply 2 0", "state 7 IDLE"}));
}

// A modem in its data phase answers no command; "+++" after its guard time
// brings it back.
struct OnlineModem
{
    FakeModemDevice* fake;
    bool online = true;
    bool escapeWorks = true;

    void Wire()
    {
        fake->responder = [this](const QByteArray& c) {
            if (online || c.isEmpty())
                return QByteArray();
            if (c.startsWith("ATH"))
                fake->dcd = false;
            return QByteArray("\r\nOK\r\n");
        };
        fake->escape = [this] {
            if (!escapeWorks)
                return;
            online = false;
            fake->input += "\r\nOK\r\n"; // said once the guard time has passed
        };
    }
};

TEST_F(ModemLine, AModemThatIgnoresDtrIsAskedThenEscapedAndThenHungUp)
{
    fake->dtrHangsUp = false;
    const CallId call = Connected();
    OnlineModem modem{fake};
    modem.Wire();
    ASSERT_EQ(provider->Drop(2, call, {}), 0);
    Run(timings.dtrDropMs + timings.dtrSettleMs + 20);
    EXPECT_EQ(fake->dtrChanges, (std::vector<bool>{false, true}));
    EXPECT_EQ(fake->commands.back(), QByteArray("ATH0")) << "asked, in case DTR put it in its command phase";
    Run(timings.hangupCheckMs);
    EXPECT_EQ(fake->written.count("+++"), 0) << "the escape waits for its guard time";
    Run(timings.guardMs);
    EXPECT_EQ(fake->written.count("+++"), 1);
    const size_t afterEscape = fake->commands.size();
    Run(timings.guardMs - 100);
    EXPECT_EQ(fake->commands.size(), afterEscape) << "nothing within the guard time after +++";
    Run(400);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATH0"));
    EXPECT_EQ(events.log, (std::vector<std::string>{"reply 2 0", "state 7 IDLE"}));
}

TEST_F(ModemLine, AHangUpThatNothingConfirmsFailsAndTheCallStays)
{
    fake->dtrHangsUp = false;
    const auto plain = fake->responder;
    const CallId call = Connected();
    OnlineModem modem{fake};
    modem.escapeWorks = false;
    modem.Wire();
    ASSERT_EQ(provider->Drop(2, call, {}), 0);
    Run(timings.dtrDropMs + timings.dtrSettleMs + timings.hangupCheckMs + 2 * timings.guardMs + 300 +
        timings.commandMs + 100);
    EXPECT_EQ(events.log, std::vector<std::string>{"reply 2 " + std::to_string(LINEERR_OPERATIONFAILED)});
    EXPECT_TRUE(provider->LineFailure(0).contains("did not confirm the hang-up"))
        << provider->LineFailure(0).toStdString();
    EXPECT_TRUE(provider->LineFailure(0).contains("may still be online"));
    CallInfoData info;
    EXPECT_EQ(provider->GetCallInfo(call, info), 0) << "the call is still there";

    // A second drop tries again, and works once the modem does.
    modem.escapeWorks = true;
    events.log.clear();
    fake->dtrChanges.clear();
    ASSERT_EQ(provider->Drop(3, call, {}), 0);
    Run(timings.dtrDropMs + timings.dtrSettleMs + timings.hangupCheckMs + 2 * timings.guardMs + 500);
    EXPECT_EQ(fake->dtrChanges, (std::vector<bool>{false, true}));
    EXPECT_EQ(events.log, (std::vector<std::string>{"reply 3 0", "state 7 IDLE"}));

    // Or the carrier falls after all: that ends the call too.
    fake->responder = plain;
    Connected(8);
    modem.online = true;
    modem.escapeWorks = false;
    modem.Wire();
    events.log.clear();
    ASSERT_EQ(provider->Drop(4, 8, {}), 0);
    Run(timings.dtrDropMs + timings.dtrSettleMs + timings.hangupCheckMs + 2 * timings.guardMs + 300 +
        timings.commandMs + 100);
    ASSERT_EQ(events.log.size(), 1u);
    fake->dcd = false;
    Run(timings.carrierPollMs + 10);
    EXPECT_EQ(events.log.back(), "state 8 IDLE");
}

TEST_F(ModemLine, WithoutModemLinesTheEscapeHangsUpAndEndOfFileEndsTheCall)
{
    fake->modemLines = false;
    CallId call = Connected();
    OnlineModem modem{fake};
    modem.Wire();
    ASSERT_EQ(provider->Drop(2, call, {}), 0);
    Run(timings.guardMs - 50);
    EXPECT_EQ(fake->written.count("+++"), 0);
    Run(100);
    EXPECT_EQ(fake->written.count("+++"), 1);
    Run(timings.guardMs + 300);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATH0"));
    EXPECT_EQ(events.log, (std::vector<std::string>{"reply 2 0", "state 7 IDLE"}));
    EXPECT_TRUE(fake->dtrChanges.empty());

    // The device goes away in the middle of a call.
    fake->responder = [](const QByteArray& c) {
        return c.startsWith("ATD") ? QByteArray() : QByteArray("\r\nOK\r\n");
    };
    events.log.clear();
    call = 9;
    ASSERT_EQ(provider->MakeCall(3, 0, call, "5551234", 0, {}), 0);
    Run(20);
    fake->Inject("\r\nCONNECT\r\n");
    Run(20);
    fake->hungUp = true;
    Run(timings.carrierPollMs + 10);
    EXPECT_TRUE(events.Has("state 9 DISCONNECTED 1"));
    ASSERT_EQ(provider->Drop(4, call, {}), 0);
    Run(20);
    EXPECT_EQ(events.log.back(), "closed 0");
    EXPECT_TRUE(events.Has("state 9 IDLE"));
    EXPECT_FALSE(fake->open);
}

TEST_F(ModemLine, DropWhileDiallingBreaksOffTheDialAndACrossingConnectIsHungUpOnline)
{
    Ready();
    fake->responder = [](const QByteArray& c) {
        if (c.startsWith("ATD"))
            return QByteArray();
        if (c.isEmpty()) // the character that breaks off the dial
            return QByteArray("\r\nNO CARRIER\r\n");
        return QByteArray("\r\nOK\r\n");
    };
    ASSERT_EQ(provider->MakeCall(1, 0, 7, "5551234", 0, {}), 0);
    Run(20);
    ASSERT_EQ(provider->Drop(2, 7, {}), 0);
    Run(50);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATH0"));
    EXPECT_TRUE(fake->dtrChanges.empty()) << "the modem was in its command phase";
    EXPECT_EQ(events.log, (std::vector<std::string>{"reply 1 0", "state 7 DIALING", "state 7 PROCEEDING",
                                                    "reply 2 0", "state 7 IDLE"}));

    // The far modem answered just as the drop came: the CONNECT crosses
    // the break, and the modem is online. ATH0 sent now would go to the far
    // side; the hang-up drops DTR instead.
    events.log.clear();
    fake->responder = [this](const QByteArray& c) {
        if (c.startsWith("ATD"))
            return QByteArray();
        if (c.isEmpty()) {
            fake->dcd = true;
            return QByteArray("\r\nCONNECT 33600\r\n");
        }
        return QByteArray("\r\nOK\r\n");
    };
    ASSERT_EQ(provider->MakeCall(3, 0, 8, "5551234", 0, {}), 0);
    Run(20);
    ASSERT_EQ(provider->Drop(4, 8, {}), 0);
    Run(50);
    EXPECT_EQ(fake->dtrChanges, std::vector<bool>{false});
    EXPECT_FALSE(events.Has("state 8 CONNECTED"));
    Run(timings.dtrDropMs + timings.dtrSettleMs + 50);
    EXPECT_EQ(events.log.back(), "state 8 IDLE");
}

TEST_F(ModemLine, VoiceCallsStayInTheCommandPhaseAndTakeCheckedTones)
{
    Ready();
    CallParamsData voice;
    voice.present = true;
    voice.mediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
    ASSERT_EQ(provider->MakeCall(1, 0, 7, "5551234", 0, voice), 0);
    Run(20);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATDT5551234;"));
    fake->Inject("\r\nOK\r\n");
    Run(20);
    EXPECT_TRUE(events.Has("state 7 CONNECTED"));

    const size_t sent = fake->commands.size();
    for (const char* bad : {"1\rATH", "12-3", "", "W"})
        EXPECT_EQ(provider->GenerateDigits(7, LINEDIGITMODE_DTMF, QString::fromLatin1(bad), 0),
                  LINEERR_INVALDIGITS)
            << bad;
    EXPECT_EQ(provider->GenerateDigits(7, LINEDIGITMODE_PULSE, "1", 0), LINEERR_INVALDIGITMODE);
    Run(20);
    EXPECT_EQ(fake->commands.size(), sent);
    ASSERT_EQ(provider->GenerateDigits(7, LINEDIGITMODE_DTMF, "12#*", 0), 0);
    Run(20);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATDT12#*;"));

    // A call in the command phase is hung up with ATH0 alone.
    events.log.clear();
    ASSERT_EQ(provider->Drop(2, 7, {}), 0);
    Run(50);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATH0"));
    EXPECT_TRUE(fake->dtrChanges.empty()) << "no DTR drop for a call in the command phase";
    EXPECT_EQ(events.log, (std::vector<std::string>{"reply 2 0", "state 7 IDLE"}));

    // Tones on a data call would land in the application's stream.
    Connected(8);
    EXPECT_EQ(provider->GenerateDigits(8, LINEDIGITMODE_DTMF, "1", 0), LINEERR_INVALCALLSTATE);
}

TEST_F(ModemLine, APickUpGoesOffHookAndAFaxSessionGetsTheModemItself)
{
    Ready();
    ASSERT_EQ(provider->MakeCall(1, 0, 7, "", 0, {}), 0);
    Run(20);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATH1"));
    EXPECT_EQ(events.log, (std::vector<std::string>{"reply 1 0", "state 7 DIALTONE"}));
    // The phone's empty dial after a pick-up; then a number dialled on it.
    ASSERT_EQ(provider->Dial(2, 7, "", 0), 0);
    EXPECT_EQ(provider->Dial(3, 7, "12\r", 0), LINEERR_INVALADDRESS);
    ASSERT_EQ(provider->Dial(4, 7, "5551234", 0), 0);
    Run(20);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATDT5551234"));
    EXPECT_EQ(provider->Dial(5, 7, "1", 0), LINEERR_OPERATIONUNAVAIL) << "one dial per call";
    ASSERT_EQ(provider->Drop(6, 7, {}), 0);
    fake->Inject("\r\nNO CARRIER\r\n"); // the dial broken off
    Run(50);
    EXPECT_TRUE(events.Has("state 7 IDLE"));

    // A pass-through call: connected at once, the modem the application's.
    events.log.clear();
    fake->commands.clear();
    CallParamsData fax;
    fax.present = true;
    fax.bearerMode = LINEBEARERMODE_PASSTHROUGH;
    fax.mediaMode = LINEMEDIAMODE_DATAMODEM;
    ASSERT_EQ(provider->MakeCall(7, 0, 8, "", 0, fax), 0);
    Run(20);
    EXPECT_TRUE(fake->commands.empty()) << "the application does its own dialling";
    EXPECT_EQ(events.log, (std::vector<std::string>{"reply 7 0", "state 8 CONNECTED"}));
    CallInfoData info;
    ASSERT_EQ(provider->GetCallInfo(8, info), 0);
    EXPECT_EQ(info.bearerMode, LINEBEARERMODE_PASSTHROUGH);
    fake->Inject("\r\nOK\r\n");
    Run(20);
    EXPECT_EQ(fake->input, "\r\nOK\r\n") << "what the modem says is the application's";
    ASSERT_EQ(provider->Drop(8, 8, {}), 0);
    Run(timings.dtrDropMs + timings.dtrSettleMs + 100);
    EXPECT_TRUE(events.Has("state 8 IDLE"));

    // An offered call taken as a fax session.
    events.log.clear();
    fake->Inject("\r\nRING\r\n");
    Run(20);
    ASSERT_TRUE(events.Has("state 100 OFFERING"));
    ASSERT_EQ(provider->SetCallParams(9, 100, LINEBEARERMODE_PASSTHROUGH, 19200, 19200, nullptr), 0);
    Run(20);
    EXPECT_EQ(events.log.back(), "state 100 CONNECTED");
    EXPECT_FALSE(fake->CommandSent("ATA"));
}

TEST_F(ModemLine, ClosingTheLineHangsTheCallUpSilentlyBeforeTheTtyGoes)
{
    Connected();
    provider->CloseLine(0);
    EXPECT_EQ(fake->dtrChanges, std::vector<bool>{false});
    EXPECT_TRUE(fake->open) << "until the hang-up is done";
    Run(timings.dtrDropMs + timings.dtrSettleMs + 100);
    EXPECT_FALSE(fake->open);
    EXPECT_TRUE(events.log.empty());

    // Without modem lines the escape runs after the close, then the tty goes.
    fake->modemLines = false;
    Connected(8);
    OnlineModem modem{fake};
    modem.Wire();
    provider->CloseLine(0);
    EXPECT_TRUE(fake->open);
    Run(2 * timings.guardMs + 500);
    EXPECT_EQ(fake->written.count("+++"), 1);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATH0"));
    EXPECT_FALSE(fake->open);
    EXPECT_TRUE(events.log.empty());
}

TEST(ModemConfig, KeysOfTheLineSection)
{
    QStringList problems;
    QVariantMap values{{"device", "/dev/ttyUSB1"}, {"speed", "57600"}, {"flow", "xonxoff"},
                       {"init", "AT&F E1"},        {"dial", "pulse"},  {"volume", "high"},
                       {"speaker", "off"},         {"timeout", "45"},  {"name", "Office modem"}};
    ModemLineConfig c = ReadModemLineConfig(values, problems);
    EXPECT_TRUE(problems.isEmpty()) << problems.join("; ").toStdString();
    EXPECT_EQ(c.device, "/dev/ttyUSB1");
    EXPECT_EQ(c.speed, 57600);
    EXPECT_EQ(c.flow, FlowControl::XonXoff);
    EXPECT_EQ(c.init, QByteArray("AT&F E1"));
    EXPECT_EQ(c.dialMode, DialMode::Pulse);
    EXPECT_EQ(c.volume, SpeakerVolume::High);
    EXPECT_EQ(c.speaker, SpeakerMode::Off);
    EXPECT_EQ(c.dialTimeoutSeconds, 45);
    EXPECT_EQ(SpeakerCommands(c), QByteArray("L3M0"));

    ModemLineConfig back;
    back.device = c.device;
    ASSERT_TRUE(DecodeConfigBlock(EncodeConfigBlock(c), back));
    EXPECT_EQ(back, c);

    problems.clear();
    const ModemLineConfig bad = ReadModemLineConfig(
        {{"speed", "14400"}, {"flow", "maybe"}, {"init", "ATZ\rATD123"}, {"timeout", "0"}, {"volume", "11"}},
        problems);
    EXPECT_EQ(problems.size(), 6) << problems.join("; ").toStdString(); // and the missing device
    EXPECT_EQ(bad.speed, 115200);
    EXPECT_EQ(bad.init, QByteArray("ATZ"));
    EXPECT_FALSE(IsValidInitString("ATZ\r"));
    EXPECT_FALSE(IsValidInitString("ZZZ"));
    EXPECT_FALSE(DecodeConfigBlock(QByteArray(100, '\0'), back));

    // A whole init sequence of one's own.
    problems.clear();
    c = ReadModemLineConfig({{"device", "/dev/ttyS0"}, {"init_sequence", "ATZ | ?AT#CID=2|ATE0V1"}},
                            problems);
    EXPECT_TRUE(problems.isEmpty()) << problems.join("; ").toStdString();
    const std::vector<InitStep> steps = InitSequence(c);
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[1], (InitStep{{"AT#CID=2"}, true, true}));
    EXPECT_EQ(steps[2], (InitStep{{"ATE0V1"}, false, false}));
    for (const char* bad : {"ATZ||ATE0", "ATZ | AT\rD", "ATZ | E0"}) {
        problems.clear();
        c = ReadModemLineConfig({{"device", "/dev/ttyS0"}, {"init_sequence", bad}}, problems);
        EXPECT_EQ(problems.size(), 1) << bad;
        EXPECT_TRUE(c.initSequence.isEmpty()) << bad;
    }
}

// What the configuration dialog gives a line is kept in its section of
// telephony.conf, and a line built from the file again has it; the lock
// folder and the init sequence stay as the file has them. A file that cannot
// take the settings leaves the line as it was, and the line says why.
TEST(ModemConfig, GivenSettingsAreKeptInTelephonyConf)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(WriteConf(dir.path(), "[line3]\ntype = modem\ndevice = /dev/ttyUSB0\nlockdir = /run/lock\n"
                                      "init_sequence = ATZ | ?AT#CID=1\n"));
    const tapi::LineTypeFactories modem{{"modem", &CreateModemProvider}};
    QStringList problems;
    auto providers = StartFrom(dir.path(), modem, problems);
    ASSERT_EQ(providers.size(), 1u);
    auto& line = dynamic_cast<ModemProvider&>(*providers[0]);
    ModemLineConfig wanted = line.LineConfig(0);
    wanted.speed = 57600;
    wanted.flow = FlowControl::XonXoff;
    wanted.init = "AT&F; E1 S7=\"60\"";
    wanted.dialMode = DialMode::Pulse;
    wanted.volume = SpeakerVolume::High;
    wanted.speaker = SpeakerMode::CallSetup;
    wanted.dialTimeoutSeconds = 90;
    ModemLineConfig given = wanted;
    given.lockDir = "/elsewhere";
    given.initSequence.clear();
    ASSERT_EQ(line.SetLineConfig(0, given), 0);
    EXPECT_EQ(line.LineConfig(0), wanted);

    auto reread = StartFrom(dir.path(), modem, problems);
    EXPECT_TRUE(problems.isEmpty()) << problems.join('\n').toStdString();
    ASSERT_EQ(reread.size(), 1u);
    EXPECT_EQ(dynamic_cast<ModemProvider&>(*reread[0]).LineConfig(0), wanted);

    const tapi::TelephonyConfig blocked = UnwritableConf(dir, "modem", "/dev/ttyUSB0");
    auto stuck = CreateModemProvider(blocked, blocked.lines, problems);
    ASSERT_TRUE(stuck);
    auto& stuckLine = dynamic_cast<ModemProvider&>(*stuck);
    const ModemLineConfig before = stuckLine.LineConfig(0);
    EXPECT_EQ(stuckLine.SetLineConfig(0, given), LINEERR_OPERATIONFAILED);
    EXPECT_EQ(stuckLine.LineConfig(0), before);
    EXPECT_TRUE(SaysNotKept(stuckLine.LineFailure(0))) << stuckLine.LineFailure(0).toStdString();
}

} // namespace

namespace {

TEST(ModemConfig, TheFactoryMakesOneLinePerUsableSection)
{
    tapi::TelephonyConfig config;
    config.lines = {{0, "modem", {{"device", "/dev/ttyUSB0"}, {"name", "First"}}},
                    {2, "modem", {{"speed", "9600"}}},
                    {3, "modem", {{"device", "/dev/ttyS1"}, {"dial", "rotary"}}}};
    QStringList problems;
    std::unique_ptr<tapi::Provider> provider = qv::modem::CreateModemProvider(config, config.lines, problems);
    ASSERT_TRUE(provider);
    EXPECT_EQ(provider->Name(), "modem");
    ASSERT_EQ(provider->LineCount(), 2);
    EXPECT_EQ(provider->LineInfo(0).lineName, "First");
    EXPECT_EQ(provider->LineInfo(1).switchInfo, "/dev/ttyS1");
    EXPECT_EQ(problems.filter("[line2]").size(), 2) << problems.join("; ").toStdString();
    EXPECT_EQ(problems.filter("[line3]").size(), 1) << problems.join("; ").toStdString();

    problems.clear();
    EXPECT_FALSE(qv::modem::CreateModemProvider(config, {config.lines[1]}, problems));
}

} // namespace
