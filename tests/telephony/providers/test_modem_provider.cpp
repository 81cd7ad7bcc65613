// The modem line against a scripted device, in virtual time: the open-time
// conversation and its failures, the dial alphabet, dial results, rings and
// caller ID, the data phase, and both hang-up roads (DTR, escape sequence).
#include "tests/telephony/providers/FakeModemDevice.h"

#include "telephony/service/providers/modem/ModemFactory.h"
#include "telephony/service/providers/modem/ModemProvider.h"

#include <gtest/gtest.h>

#include <QtEndian>

namespace {

using namespace tapi;
using namespace qv::modem;
using qv::test::FakeModemDevice;

// What the line told the service, one line of text per event.
class RecordingEvents final : public ProviderEvents
{
public:
    std::vector<std::string> log;
    CallId nextCall = 100;
    bool acceptCalls = true;

    void CompleteRequest(RequestId request, LONG result) override
    {
        log.push_back("reply " + std::to_string(request) + " " + std::to_string(result));
    }
    CallId NewIncomingCall(Provider*, int line, DWORD) override
    {
        log.push_back("incoming " + std::to_string(line));
        return acceptCalls ? nextCall++ : 0;
    }
    void CallStateChanged(CallId call, DWORD state, DWORD detail, DWORD) override
    {
        log.push_back("state " + std::to_string(call) + " " + Name(state) +
                      (detail ? " " + std::to_string(detail) : std::string()));
    }
    void CallInfoChanged(CallId call, DWORD states) override
    {
        log.push_back("info " + std::to_string(call) + " " + std::to_string(states));
    }
    void LineDevStateChanged(Provider*, int line, DWORD state, DWORD, DWORD p3) override
    {
        log.push_back("linedev " + std::to_string(line) + " " + std::to_string(state) + " " +
                      std::to_string(p3));
    }
    void LineClosed(Provider*, int line) override { log.push_back("closed " + std::to_string(line)); }
    void DigitDetected(CallId, DWORD, DWORD) override {}
    void MediaDetected(CallId, DWORD) override {}
    void ToneDetected(CallId, DWORD) override {}
    void PhoneStateChanged(Provider*, int, DWORD, DWORD) override {}
    void PhoneClosed(Provider*, int) override {}

    static std::string Name(DWORD state)
    {
        switch (state) {
        case LINECALLSTATE_IDLE:
            return "IDLE";
        case LINECALLSTATE_OFFERING:
            return "OFFERING";
        case LINECALLSTATE_DIALING:
            return "DIALING";
        case LINECALLSTATE_PROCEEDING:
            return "PROCEEDING";
        case LINECALLSTATE_CONNECTED:
            return "CONNECTED";
        case LINECALLSTATE_DISCONNECTED:
            return "DISCONNECTED";
        default:
            return std::to_string(state);
        }
    }
    bool Has(const std::string& entry) const { return std::find(log.begin(), log.end(), entry) != log.end(); }
    int IndexOf(const std::string& entry) const
    {
        auto it = std::find(log.begin(), log.end(), entry);
        return it == log.end() ? -1 : int(it - log.begin());
    }
};

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

    void Make(const ModemLineConfig& config)
    {
        provider.reset();
        auto device = std::make_unique<FakeModemDevice>();
        fake = device.get();
        auto holder = std::make_shared<std::unique_ptr<FakeModemDevice>>(std::move(device));
        provider = std::make_unique<ModemProvider>(std::vector<ModemLineConfig>{config},
                                                   [holder](int) { return std::move(*holder); });
        provider->SetTimings(timings);
        provider->Attach(&events);
    }

    void Run(int ms)
    {
        for (int i = 0; i < ms; i += 10)
            clock->Advance(10);
    }

    // Opens the line and sets up a connected outgoing call.
    CallId Connected(CallId call = 7)
    {
        EXPECT_EQ(provider->OpenLine(0), 0);
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

TEST_F(ModemLine, OpenTalksToTheModemAndAppliesTheSpeakerWordsOfTheBlock)
{
    ASSERT_EQ(provider->OpenLine(0), 0);
    const std::vector<QByteArray> expected = {"AT", "ATZ", "ATE0V1Q0S0=0", "ATL2M1"};
    EXPECT_EQ(fake->commands, expected);

    // The phone component edits the speaker words of the stored block in
    // place and writes it back; the next open sends them as L and M.
    QByteArray block;
    ASSERT_EQ(provider->GetDevConfig(0, "comm/datamodem", block), 0);
    ASSERT_EQ(qFromLittleEndian<quint32>(block.constData() + OffSubtype), 6u);
    qToLittleEndian<quint32>(2, block.data() + OffSpeakerVolume);
    qToLittleEndian<quint32>(0, block.data() + OffSpeakerMode);
    qToLittleEndian<quint16>(8, block.data() + OffOptions);
    ASSERT_EQ(provider->SetDevConfig(0, "comm/datamodem", block), 0);
    provider->CloseLine(0);
    fake->commands.clear();
    ASSERT_EQ(provider->OpenLine(0), 0);
    EXPECT_TRUE(fake->CommandSent("ATL3M0"));
    QByteArray again;
    ASSERT_EQ(provider->GetDevConfig(0, "comm/datamodem", again), 0);
    EXPECT_EQ(qFromLittleEndian<quint16>(again.constData() + OffOptions), 8u) << "options word kept";

    // A block the line cannot use is refused and changes nothing.
    qToLittleEndian<quint32>(9, block.data() + OffSpeakerMode);
    EXPECT_EQ(provider->SetDevConfig(0, "comm/datamodem", block), LINEERR_INVALPARAM);
    EXPECT_EQ(provider->SetDevConfig(0, "wave/in", again), LINEERR_INVALDEVICECLASS);
    EXPECT_EQ(provider->LineConfig(0).speaker, SpeakerMode::Off);
}

TEST_F(ModemLine, OpenFailsClearlyWhenTheModemIsSilentOrRefusesTheInitString)
{
    fake->responder = [](const QByteArray&) { return QByteArray(); };
    EXPECT_EQ(provider->OpenLine(0), LINEERR_NODEVICE);
    EXPECT_TRUE(provider->LastError(0).contains("does not answer")) << provider->LastError(0).toStdString();
    EXPECT_FALSE(fake->open);
    EXPECT_EQ(fake->commands.size(), 2u) << "two tries of AT, nothing more";

    fake->responder = [](const QByteArray& c) {
        return c == "ATZ" ? QByteArray("\r\nERROR\r\n") : QByteArray("\r\nOK\r\n");
    };
    EXPECT_EQ(provider->OpenLine(0), LINEERR_OPERATIONFAILED);
    EXPECT_TRUE(provider->LastError(0).contains("init string")) << provider->LastError(0).toStdString();
    EXPECT_FALSE(fake->open);

    // A modem without speaker control still gives a working line.
    fake->responder = [](const QByteArray& c) {
        return c.startsWith("ATL") ? QByteArray("\r\nERROR\r\n") : QByteArray("\r\nOK\r\n");
    };
    EXPECT_EQ(provider->OpenLine(0), 0);
    EXPECT_TRUE(provider->LastError(0).isEmpty());
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
        fake->openResult.lockPid = 4321;
        EXPECT_EQ(provider->OpenLine(0), r.code) << int(r.error);
        texts << provider->LastError(0);
        EXPECT_TRUE(fake->commands.empty()) << "nothing is sent to a device that did not open";
    }
    texts.removeDuplicates();
    EXPECT_EQ(texts.size(), 5);
    EXPECT_TRUE(texts[1].contains("dialout"));
    EXPECT_TRUE(texts[4].contains("4321"));
}

TEST_F(ModemLine, DialStringsOutsideTheDialAlphabetNeverReachTheModem)
{
    ASSERT_EQ(provider->OpenLine(0), 0);
    const QByteArray before = fake->written;
    for (const char* bad : {"123\rATH", "123\n", "12;ATZ", "", "555-1234", "+31 20", "1\x7f"})
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
    ASSERT_EQ(provider->OpenLine(0), 0);
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
        // The application drops the ended call; the line is free again.
        ASSERT_EQ(provider->Drop(RequestId(call + 100), call, {}), 0);
        Run(20);
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
    ASSERT_EQ(provider->OpenLine(0), 0);
    ASSERT_EQ(provider->MakeCall(1, 0, 7, "123", 0, {}), 0);
    Run(20);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATDP123"));
    Run(30000);
    EXPECT_FALSE(events.Has("state 7 DISCONNECTED 64"));
    Run(timings.dialMarginMs + 100);
    EXPECT_TRUE(events.Has("state 7 DISCONNECTED 64"));
    EXPECT_TRUE(fake->written.endsWith("\r")) << "a character breaks off the dial";
    // The modem's late verdict does not answer the hang-up's ATH.
    fake->Inject("\r\nNO CARRIER\r\n");
    ASSERT_EQ(provider->Drop(2, 7, {}), 0);
    Run(50);
    EXPECT_TRUE(events.Has("reply 2 0"));
    EXPECT_TRUE(events.Has("state 7 IDLE"));
}

TEST_F(ModemLine, RingsOfferACallWithCallerIdAndAnswerRepliesBeforeConnected)
{
    ASSERT_EQ(provider->OpenLine(0), 0);
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

    fake->Inject("\r\nRING\r\n");
    Run(20);
    EXPECT_TRUE(events.Has("linedev 0 2 2"));
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
    ASSERT_EQ(provider->OpenLine(0), 0);
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
    ASSERT_EQ(provider->OpenLine(0), 0);
    ASSERT_EQ(provider->MakeCall(1, 0, 7, "5551234", 0, {}), 0);
    Run(20);
    fake->Inject("\r\nCONNECT 9600\r\nWelcome\r\nNO CARRIER\r\n");
    Run(50);
    EXPECT_TRUE(events.Has("state 7 CONNECTED"));
    EXPECT_FALSE(events.Has("state 7 DISCONNECTED 1")) << "result codes of the data phase are not parsed";
    EXPECT_EQ(fake->input, QByteArray("\nWelcome\r\nNO CARRIER\r\n"));
}

TEST_F(ModemLine, LostCarrierIsSeenOnDcdAndDtrHangsUp)
{
    const CallId call = Connected();
    Run(1000);
    EXPECT_TRUE(events.log.empty());
    fake->dcd = false;
    Run(timings.carrierPollMs + 10);
    EXPECT_EQ(events.log, std::vector<std::string>{"state 7 DISCONNECTED 1"});

    // Hanging up an ended call needs only the ATH, not the escape.
    events.log.clear();
    ASSERT_EQ(provider->Drop(2, call, {}), 0);
    Run(100);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATH"));
    EXPECT_EQ(fake->written.count("+++"), 0);
    EXPECT_EQ(events.log, (std::vector<std::string>{"reply 2 0", "state 7 IDLE"}));

    // Ready for the next call.
    events.log.clear();
    ASSERT_EQ(provider->MakeCall(3, 0, 8, "1", 0, {}), 0);
    Run(20);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATDT1"));
}

TEST_F(ModemLine, DropLowersDtrAndTheModemHangsUp)
{
    const CallId call = Connected();
    ASSERT_EQ(provider->Drop(2, call, {}), 0);
    Run(10);
    ASSERT_EQ(fake->dtrChanges, std::vector<bool>{false});
    Run(timings.dtrDropMs);
    EXPECT_EQ(fake->dtrChanges, (std::vector<bool>{false, true}));
    EXPECT_TRUE(events.log.empty()) << "no reply until the modem is on hook";
    Run(timings.dtrSettleMs + 100);
    EXPECT_EQ(fake->written.count("+++"), 0);
    EXPECT_EQ(events.log, (std::vector<std::string>{"reply 2 0", "state 7 IDLE"}));
}

TEST_F(ModemLine, AModemThatIgnoresDtrIsHungUpWithTheEscapeSequence)
{
    fake->dtrHangsUp = false;
    const CallId call = Connected();
    ASSERT_EQ(provider->Drop(2, call, {}), 0);
    Run(timings.dtrDropMs + timings.dtrSettleMs + 20);
    EXPECT_EQ(fake->dtrChanges, (std::vector<bool>{false, true}));
    EXPECT_EQ(fake->written.count("+++"), 0) << "the escape waits for its guard time";
    Run(timings.guardMs);
    EXPECT_EQ(fake->written.count("+++"), 1);
    const int afterEscape = int(fake->commands.size());
    Run(timings.guardMs - 100);
    EXPECT_EQ(int(fake->commands.size()), afterEscape) << "nothing within the guard time after +++";
    fake->dcd = false;
    Run(500);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATH"));
    EXPECT_EQ(events.log, (std::vector<std::string>{"reply 2 0", "state 7 IDLE"}));
}

TEST_F(ModemLine, WithoutModemLinesTheEscapeHangsUpAndEndOfFileEndsTheCall)
{
    fake->modemLines = false;
    CallId call = Connected();
    ASSERT_EQ(provider->Drop(2, call, {}), 0);
    Run(timings.guardMs - 50);
    EXPECT_EQ(fake->written.count("+++"), 0);
    Run(100);
    EXPECT_EQ(fake->written.count("+++"), 1);
    // The modem's OK to the escape is not taken for the ATH's answer.
    fake->Inject("\r\nOK\r\n");
    Run(timings.guardMs + 300);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATH"));
    EXPECT_EQ(events.log, (std::vector<std::string>{"reply 2 0", "state 7 IDLE"}));
    EXPECT_TRUE(fake->dtrChanges.empty());

    // The device goes away in the middle of a call.
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

TEST_F(ModemLine, DropWhileDiallingBreaksOffTheDial)
{
    ASSERT_EQ(provider->OpenLine(0), 0);
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
    EXPECT_EQ(fake->commands.back(), QByteArray("ATH"));
    EXPECT_TRUE(events.Has("reply 2 0"));
    EXPECT_TRUE(events.Has("state 7 IDLE"));
    EXPECT_FALSE(events.Has("state 7 DISCONNECTED 64"));
}

TEST_F(ModemLine, VoiceCallsStayInTheCommandPhaseAndTakeCheckedTones)
{
    ASSERT_EQ(provider->OpenLine(0), 0);
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

    // A call in the command phase is hung up with ATH alone.
    events.log.clear();
    ASSERT_EQ(provider->Drop(2, 7, {}), 0);
    Run(50);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATH"));
    EXPECT_TRUE(fake->dtrChanges.empty()) << "no DTR drop for a call in the command phase";
    EXPECT_EQ(events.log, (std::vector<std::string>{"reply 2 0", "state 7 IDLE"}));

    // Tones on a data call would land in the application's stream.
    Connected(8);
    EXPECT_EQ(provider->GenerateDigits(8, LINEDIGITMODE_DTMF, "1", 0), LINEERR_INVALCALLSTATE);
}

TEST_F(ModemLine, ClosingTheLineDropsTheCallWithoutReportingIt)
{
    Connected();
    provider->CloseLine(0);
    EXPECT_FALSE(fake->dtr);
    EXPECT_FALSE(fake->open);
    Run(3000);
    EXPECT_TRUE(events.log.empty());

    // Without modem lines the escape runs after the close, then the tty goes.
    fake->modemLines = false;
    Connected(8);
    provider->CloseLine(0);
    EXPECT_TRUE(fake->open);
    Run(2 * timings.guardMs + 500);
    EXPECT_EQ(fake->written.count("+++"), 1);
    EXPECT_EQ(fake->commands.back(), QByteArray("ATH"));
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
