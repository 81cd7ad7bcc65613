// The direct serial line against a fake tty with DTR and DCD, in virtual
// time: its section of telephony.conf, calls with the carrier ignored and
// waited for, calls offered by a rising DCD, the hang-up by DTR and what
// confirms it, each failed open with its own account, and a device that goes
// away; settings given from the configuration dialog, and the devices it
// lists.
#include "tests/telephony/providers/ConfFileSupport.h"
#include "tests/telephony/providers/FakeModemDevice.h"
#include "tests/telephony/providers/RecordingEvents.h"

#include "telephony/service/providers/serial/SerialLineFactory.h"
#include "telephony/service/providers/serial/SerialLineProvider.h"
#include "telephony/service/providers/tty/SerialDevices.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using namespace tapi;
using namespace qv::serialline;
using qv::test::FakeDeviceFactory;
using qv::test::FakeModemDevice;
using qv::test::RecordingEvents;
using qv::test::SaysNotKept;
using qv::test::StartFrom;
using qv::test::UnwritableConf;
using qv::test::WriteConf;
using qv::tty::OpenError;
using Log = std::vector<std::string>;

const std::string kRinging = "linedev 0 " + std::to_string(LINEDEVSTATE_RINGING) + " ";
const std::string kNormal = std::to_string(LINEDISCONNECTMODE_NORMAL);
const std::string kNoAnswer = std::to_string(LINEDISCONNECTMODE_NOANSWER);

class SerialLine : public ::testing::Test
{
protected:
    void SetUp() override { Make(CarrierMode::Ignore); }

    void Make(CarrierMode carrier)
    {
        provider.reset();
        SerialLineConfig config;
        config.port.device = "/dev/ttyFAKE0";
        config.port.lockDir.clear();
        config.carrier = carrier;
        config.dialTimeoutSeconds = 20;
        provider = std::make_unique<SerialLineProvider>(std::vector<SerialLineConfig>{config},
                                                        FakeDeviceFactory(fake));
        provider->SetTimings(timings);
        provider->Attach(&events);
    }

    void Run(int ms)
    {
        for (int i = 0; i < ms; i += 10)
            clock->Advance(10);
    }

    // What the line reported since the last look.
    Log Take()
    {
        Log log = std::move(events.log);
        events.log.clear();
        return log;
    }

    void Open()
    {
        ASSERT_EQ(provider->OpenLine(0), 0);
        Run(50);
        Take();
        fake->dtrChanges.clear();
    }

    qv::ScopedVirtualClock clock;
    SerialTimings timings;
    RecordingEvents events;
    FakeModemDevice* fake = nullptr;
    std::unique_ptr<SerialLineProvider> provider;
};

TEST(SerialLineConfigTest, ReadsItsSectionsAndReportsWhatItCannotUse)
{
    tapi::TelephonyConfig config;
    config.lines = {
        {1,
         "serial",
         {{"device", "/dev/ttyUSB1"},
          {"name", "Board console"},
          {"speed", "9600"},
          {"flow", "RTSCTS"},
          {"carrier", "wait"},
          {"timeout", "30"},
          {"lockdir", ""}}},
        {2, "serial", {{"speed", "115200"}}},
        {3, "serial", {{"device", "/dev/ttyS0"}, {"speed", "12345"}, {"carrier", "dcd"}, {"timeout", "1"}}},
    };
    QStringList problems;
    auto provider = CreateSerialLineProvider(config, config.lines, problems);
    ASSERT_TRUE(provider);
    ASSERT_EQ(provider->LineCount(), 2);
    const auto& serial = static_cast<SerialLineProvider&>(*provider);
    const SerialLineConfig& first = serial.LineConfig(0);
    EXPECT_EQ(first.name, "Board console");
    EXPECT_EQ(first.port, (qv::tty::TtySettings{"/dev/ttyUSB1", 9600, qv::tty::FlowControl::RtsCts, ""}));
    EXPECT_EQ(first.carrier, CarrierMode::Wait);
    EXPECT_EQ(first.dialTimeoutSeconds, 30);
    // A line with bad values keeps its defaults for them: a console's.
    const SerialLineConfig defaults;
    EXPECT_EQ(serial.LineConfig(1).port.speed, 115200);
    EXPECT_EQ(serial.LineConfig(1).port.flow, qv::tty::FlowControl::None);
    EXPECT_EQ(serial.LineConfig(1).carrier, CarrierMode::Ignore);
    EXPECT_EQ(serial.LineConfig(1).dialTimeoutSeconds, defaults.dialTimeoutSeconds);
    EXPECT_EQ(provider->LineInfo(0).lineName, "Board console");
    EXPECT_EQ(provider->LineInfo(1).lineName, "Serial line");
    EXPECT_EQ(problems, (QStringList{
                            "telephony.conf [line2]: device: missing; the line has no serial device to open",
                            "telephony.conf [line2]: serial line left out",
                            "telephony.conf [line3]: speed = 12345: not a speed the port supports",
                            "telephony.conf [line3]: carrier = dcd: expected one of ignore, wait",
                            "telephony.conf [line3]: timeout = 1: seconds from 5 to 300 expected",
                        }));
}

// With the carrier ignored the far end is simply there: a dial, with any
// number or none, connects at once, a DCD never offers a call, and a hang-up
// holds DTR down before it is reported.
TEST_F(SerialLine, IgnoringTheCarrierADialConnectsAtOnceAndNothingComesIn)
{
    Open();
    EXPECT_TRUE(fake->dtr) << "DTR is up while the line is open";
    fake->dcd = true;
    Run(1000);
    EXPECT_TRUE(Take().empty()) << "no incoming call";

    ASSERT_EQ(provider->MakeCall(1, 0, 7, "", 0, {}), 0);
    EXPECT_EQ(Take(), (Log{"reply 1 0", "state 7 CONNECTED 1"}));
    DeviceIdData id;
    ASSERT_EQ(provider->GetID(0, 0, 7, LINECALLSELECT_CALL, "comm/datamodem", id), 0);
    EXPECT_EQ(id.fd, 42);
    EXPECT_EQ(provider->Dial(2, 7, "5551234", 0), 0) << "a pick-up's number changes nothing";
    ASSERT_EQ(provider->SetCallParams(3, 7, LINEBEARERMODE_PASSTHROUGH, 0, 0, nullptr), 0);
    fake->dcd = false;
    Run(1000);
    EXPECT_EQ(Take(), (Log{"reply 2 0", "reply 3 0"})) << "a falling DCD ends nothing";
    EXPECT_TRUE(fake->commands.empty()) << "a direct line sends no commands";

    ASSERT_EQ(provider->Drop(4, 7, {}), 0);
    EXPECT_EQ(fake->dtrChanges, std::vector<bool>{false});
    Run(timings.dtrDropMs - 20);
    EXPECT_TRUE(Take().empty()) << "not done while DTR is held down";
    Run(40);
    EXPECT_EQ(Take(), (Log{"reply 4 0", "state 7 IDLE"}));
    EXPECT_EQ(fake->dtrChanges, (std::vector<bool>{false, true})) << "up again for the next call";

    ASSERT_EQ(provider->MakeCall(5, 0, 8, "anything at all", 0, {}), 0);
    EXPECT_EQ(Take(), (Log{"reply 5 0", "state 8 CONNECTED 1"}));
    EXPECT_EQ(provider->MakeCall(6, 0, 9, "", 0, {}), LINEERR_CALLUNAVAIL) << "one call per line";

    // A cable without DTR: nothing to tell the far end with, the call ends
    // here at once.
    fake->modemLines = false;
    ASSERT_EQ(provider->Drop(7, 8, {}), 0);
    EXPECT_EQ(Take(), (Log{"reply 7 0", "state 8 IDLE"}));
}

TEST_F(SerialLine, ADialThatWaitsForTheCarrierConnectsWhenDcdRises)
{
    Make(CarrierMode::Wait);
    Open();
    ASSERT_EQ(provider->MakeCall(1, 0, 7, "", 0, {}), 0);
    EXPECT_EQ(Take(), (Log{"reply 1 0", "state 7 DIALING", "state 7 PROCEEDING"}));
    Run(5000);
    EXPECT_TRUE(Take().empty());
    fake->dcd = true;
    Run(timings.carrierPollMs + 10);
    EXPECT_EQ(Take(), Log{"state 7 CONNECTED 1"});

    // The far end lets go of DCD: the call ends from its side.
    fake->dcd = false;
    Run(timings.carrierPollMs + 10);
    EXPECT_EQ(Take(), Log{"state 7 DISCONNECTED " + kNormal});
    ASSERT_EQ(provider->Drop(2, 7, {}), 0);
    Run(timings.dtrDropMs + 10);
    EXPECT_EQ(Take(), (Log{"reply 2 0", "state 7 IDLE"}));

    // A far end that is up already connects at once; one that never comes
    // up runs out of the line's time.
    fake->dcd = true;
    ASSERT_EQ(provider->MakeCall(3, 0, 8, "", 0, {}), 0);
    EXPECT_EQ(Take(), (Log{"reply 3 0", "state 8 CONNECTED 1"}));
    fake->dtrHangsUp = false;
    ASSERT_EQ(provider->Drop(4, 8, {}), 0);
    Run(timings.dtrDropMs + 10);
    EXPECT_EQ(Take(), (Log{"reply 4 0", "state 8 IDLE"}));
    fake->dcd = false;
    Run(500);
    ASSERT_EQ(provider->MakeCall(5, 0, 9, "", 0, {}), 0);
    Run(20 * 1000 + 10);
    EXPECT_EQ(Take(), (Log{"reply 5 0", "state 9 DIALING", "state 9 PROCEEDING",
                           "state 9 DISCONNECTED " + kNoAnswer}));
}

// With the carrier waited for, a DCD that rises offers a call that rings
// until it is answered or DCD falls; only a DCD that has fallen since the
// last call offers the next one.
TEST_F(SerialLine, ARisingCarrierOffersACallThatRingsUntilItIsAnswered)
{
    Make(CarrierMode::Wait);
    Open();
    fake->dcd = true;
    Run(timings.carrierPollMs + 10);
    EXPECT_EQ(Take(), (Log{"incoming 0", "state 100 OFFERING 1", kRinging + "1"}));
    Run(timings.ringMs);
    EXPECT_EQ(Take(), Log{kRinging + "2"});
    ASSERT_EQ(provider->Answer(1, 100, {}), 0);
    EXPECT_EQ(Take(), (Log{"reply 1 0", "state 100 CONNECTED 1"}));
    Run(timings.ringMs);
    EXPECT_TRUE(Take().empty()) << "no more rings";

    // Hung up here while the far end keeps DCD up: that is no new caller.
    fake->dtrHangsUp = false;
    ASSERT_EQ(provider->Drop(2, 100, {}), 0);
    Run(timings.dtrDropMs + 2000);
    EXPECT_EQ(Take(), (Log{"reply 2 0", "state 100 IDLE"}));

    // It lets go and comes back: a caller, who gives up before the answer.
    fake->dcd = false;
    Run(timings.carrierPollMs + 10);
    fake->dcd = true;
    Run(timings.carrierPollMs + 10);
    EXPECT_EQ(Take(), (Log{"incoming 0", "state 101 OFFERING 1", kRinging + "1"}));
    fake->dcd = false;
    Run(timings.carrierPollMs + 10);
    EXPECT_EQ(Take(), Log{"state 101 IDLE"});

    // A caller turned away does not ring again while its DCD stays up.
    fake->dcd = true;
    Run(timings.carrierPollMs + 10);
    Take();
    ASSERT_EQ(provider->Drop(3, 102, {}), 0);
    Run(timings.dtrDropMs + 2 * timings.ringMs);
    EXPECT_EQ(Take(), (Log{"reply 3 0", "state 102 IDLE"}));

    // Nobody takes calls: the caller is let go the same way.
    events.acceptCalls = false;
    fake->dcd = false;
    Run(timings.carrierPollMs + 10);
    fake->dcd = true;
    Run(timings.carrierPollMs + 10 + timings.ringMs);
    EXPECT_EQ(Take(), Log{"incoming 0"});
}

TEST_F(SerialLine, EachFailedOpenTellsItsCause)
{
    struct Row
    {
        OpenError error;
        LONG code;
        const char* text;
    };
    const Row rows[] = {{OpenError::NotFound, LINEERR_NODEVICE, "does not exist"},
                        {OpenError::PermissionDenied, LINEERR_OPERATIONFAILED, "join the dialout group"},
                        {OpenError::Locked, LINEERR_ALLOCATED, "has locked the device"},
                        {OpenError::Exclusive, LINEERR_ALLOCATED, "exclusive mode"},
                        {OpenError::LockFile, LINEERR_ALLOCATED, "UUCP lock file"},
                        {OpenError::BadSettings, LINEERR_OPERATIONFAILED, "refuses the configured speed"}};
    for (const Row& r : rows) {
        fake->openResult.error = r.error;
        fake->openResult.holderPid = 4321;
        fake->openResult.holderName = "minicom";
        EXPECT_EQ(provider->OpenLine(0), r.code) << int(r.error);
        const QString text = provider->LineFailure(0);
        EXPECT_TRUE(text.startsWith("The serial device /dev/ttyFAKE0") ||
                    text.startsWith("No permission to open the serial device /dev/ttyFAKE0"))
            << text.toStdString();
        EXPECT_TRUE(text.contains(r.text)) << text.toStdString();
        if (r.code == LINEERR_ALLOCATED) {
            EXPECT_TRUE(text.contains("process 4321 (minicom)")) << text.toStdString();
        }
    }
    // A device without modem-control lines can never show the far end's
    // carrier: a line that waits for it is refused with why.
    Make(CarrierMode::Wait);
    fake->modemLines = false;
    EXPECT_EQ(provider->OpenLine(0), LINEERR_OPERATIONFAILED);
    EXPECT_TRUE(provider->LineFailure(0).contains("set carrier = ignore"))
        << provider->LineFailure(0).toStdString();
    EXPECT_FALSE(fake->open);
    fake->modemLines = true;
    EXPECT_EQ(provider->OpenLine(0), 0);
    EXPECT_TRUE(provider->LineFailure(0).isEmpty()) << "an open that works clears the account";
}

// A hang-up is reported only when DTR was dropped: one the system refuses
// fails with its reason, and the call stays for a later drop.
TEST_F(SerialLine, AHangUpThatCannotDropDtrFailsAndKeepsTheCall)
{
    Open();
    ASSERT_EQ(provider->MakeCall(1, 0, 7, "", 0, {}), 0);
    Take();
    fake->dtrFails = true;
    ASSERT_EQ(provider->Drop(2, 7, {}), 0);
    Run(timings.dtrDropMs + 10);
    EXPECT_EQ(Take(), Log{"reply 2 " + std::to_string(LINEERR_OPERATIONFAILED)});
    EXPECT_TRUE(provider->LineFailure(0).contains("would not drop DTR"))
        << provider->LineFailure(0).toStdString();
    DeviceIdData id;
    EXPECT_EQ(provider->GetID(0, 0, 7, LINECALLSELECT_CALL, "comm/datamodem", id), 0) << "the call stays";
    fake->dtrFails = false;
    ASSERT_EQ(provider->Drop(3, 7, {}), 0);
    Run(timings.dtrDropMs + 10);
    EXPECT_EQ(Take(), (Log{"reply 3 0", "state 7 IDLE"}));
}

// Settings from the configuration dialog: the open line goes on with the tty
// as it was opened, and its next opening, within the linger time too, opens
// the tty afresh with them. A check of the device the line holds does not
// open it again (it would find it taken, by this very line).
TEST_F(SerialLine, GivenSettingsOpenTheTtyAfreshAtTheNextOpening)
{
    Open();
    SerialLineConfig wanted = provider->LineConfig(0);
    wanted.port = {"/dev/ttyFAKE1", 9600, qv::tty::FlowControl::RtsCts, "/elsewhere"};
    wanted.carrier = CarrierMode::Wait;
    provider->SetLineConfig(0, wanted);
    wanted.port.lockDir.clear(); // the lock folder stays as telephony.conf has it
    EXPECT_EQ(provider->LineConfig(0), wanted);
    EXPECT_EQ(provider->LineInfo(0).switchInfo, "/dev/ttyFAKE0");
    fake->dcd = true;
    Run(timings.carrierPollMs + 10);
    EXPECT_TRUE(Take().empty()) << "the line still ignores the carrier";

    provider->CloseLine(0);
    ASSERT_EQ(provider->OpenLine(0), 0);
    EXPECT_EQ(fake->opens, 2);
    EXPECT_EQ(fake->settings, wanted.port);
    EXPECT_EQ(provider->LineInfo(0).switchInfo, "/dev/ttyFAKE1");
    Run(timings.carrierPollMs + 10);
    EXPECT_EQ(Take(), (Log{"incoming 0", "state 100 OFFERING 1", kRinging + "1"})) << "it waits for DCD now";

    EXPECT_EQ(provider->CheckLineConfig(0, wanted), "");
    fake->modemLines = false;
    EXPECT_TRUE(provider->CheckLineConfig(0, wanted).contains("set carrier = ignore"));
    EXPECT_EQ(fake->opens, 2);
}

// What the configuration dialog gives a line is kept in its section of
// telephony.conf, and a line built from the file again has it; the lock
// folder stays as the file has it. A file that cannot take the settings
// leaves the line as it was, and the line says why.
TEST(SerialLineConfigTest, GivenSettingsAreKeptInTelephonyConf)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(
        WriteConf(dir.path(), "; the board\n[line1]\ntype = serial\ndevice = /dev/ttyS0\nlockdir =\n"));
    const tapi::LineTypeFactories serial{{"serial", &CreateSerialLineProvider}};
    QStringList problems;
    auto providers = StartFrom(dir.path(), serial, problems);
    ASSERT_EQ(providers.size(), 1u);
    auto& line = dynamic_cast<SerialLineProvider&>(*providers[0]);
    SerialLineConfig wanted = line.LineConfig(0);
    wanted.port.device = "/dev/serial/by-id/usb-FTDI_A1B2, port 0";
    wanted.port.speed = 9600;
    wanted.port.flow = qv::tty::FlowControl::RtsCts;
    wanted.carrier = CarrierMode::Wait;
    wanted.dialTimeoutSeconds = 45;
    SerialLineConfig given = wanted;
    given.port.lockDir = "/elsewhere";
    ASSERT_EQ(line.SetLineConfig(0, given), 0);
    EXPECT_EQ(line.LineConfig(0), wanted);

    auto reread = StartFrom(dir.path(), serial, problems);
    EXPECT_TRUE(problems.isEmpty()) << problems.join('\n').toStdString();
    ASSERT_EQ(reread.size(), 1u);
    EXPECT_EQ(dynamic_cast<SerialLineProvider&>(*reread[0]).LineConfig(0), wanted);

    const tapi::TelephonyConfig blocked = UnwritableConf(dir, "serial", "/dev/ttyS0");
    auto stuck = CreateSerialLineProvider(blocked, blocked.lines, problems);
    ASSERT_TRUE(stuck);
    auto& stuckLine = dynamic_cast<SerialLineProvider&>(*stuck);
    const SerialLineConfig before = stuckLine.LineConfig(0);
    EXPECT_EQ(stuckLine.SetLineConfig(0, given), LINEERR_OPERATIONFAILED);
    EXPECT_EQ(stuckLine.LineConfig(0), before);
    EXPECT_TRUE(SaysNotKept(stuckLine.LineFailure(0))) << stuckLine.LineFailure(0).toStdString();
}

// The devices a serial line may be given, from a made-up /dev and its
// /sys/class/tty: serial ports by name in the order of their numbers, with
// the PC's UART entries that have no UART behind them left out, then the
// stable names of USB adapters.
TEST(SerialDevicesTest, ListsTheSerialPortsOfADeviceFolder)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString dev = dir.filePath("dev");
    const QString sys = dir.filePath("sys");
    ASSERT_TRUE(QDir().mkpath(dev + "/serial/by-id") && QDir().mkpath(sys + "/ttyS0") &&
                QDir().mkpath(sys + "/ttyS1"));
    for (const char* name : {"ttyS0", "ttyS1", "ttyS2", "ttyS10", "ttyUSB0", "ttyACM0", "ttyAMA0", "tty0",
                             "tty12", "console", "ptmx", "ttyprintk", "sda", "ttyUSB"})
        ASSERT_TRUE(QFile(dev + "/" + name).open(QIODevice::WriteOnly)) << name;
    auto put = [](const QString& path, const QByteArray& text) {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
    };
    ASSERT_TRUE(put(sys + "/ttyS0/type", "4\n") && put(sys + "/ttyS1/type", "0\n"));
    ASSERT_TRUE(QFile::link("../../ttyUSB0", dev + "/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0"));

    EXPECT_EQ(
        qv::tty::ListSerialDevices(dev, sys),
        (QStringList{dev + "/ttyACM0", dev + "/ttyAMA0", dev + "/ttyS0", dev + "/ttyS2", dev + "/ttyS10",
                     dev + "/ttyUSB0", dev + "/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0"}));
    EXPECT_TRUE(qv::tty::ListSerialDevices(dir.filePath("none"), sys).isEmpty());
}

// The phone's capability probe closes the line just before it opens it for
// good: the tty stays, and DTR never drops in between. A close with a call
// hangs it up first and leaves DTR down.
TEST_F(SerialLine, AReopenWithinTheLingerKeepsTheTtyAndACloseHangsUp)
{
    Open();
    provider->CloseLine(0);
    Run(timings.lingerMs / 2);
    ASSERT_EQ(provider->OpenLine(0), 0);
    Run(timings.lingerMs);
    EXPECT_EQ(fake->opens, 1);
    EXPECT_TRUE(fake->open);
    EXPECT_TRUE(fake->dtrChanges.empty());

    ASSERT_EQ(provider->MakeCall(1, 0, 7, "", 0, {}), 0);
    Take();
    provider->CloseLine(0);
    EXPECT_TRUE(fake->open) << "the far end is told first";
    Run(timings.dtrDropMs + 10);
    EXPECT_FALSE(fake->open);
    EXPECT_EQ(fake->dtrChanges, std::vector<bool>{false}) << "DTR stays down with the tty closed";
    EXPECT_TRUE(Take().empty()) << "the service forgot the call; nothing is reported";
}

// Settings given while the last call is still being hung up, with the line
// closed and opened again (the dialog's button): the hang-up ends on the tty
// as it was, and the tty is opened afresh with them once it is done.
TEST_F(SerialLine, SettingsGivenWhileAHangUpRunsAreTakenWhenItIsDone)
{
    Open();
    ASSERT_EQ(provider->MakeCall(1, 0, 7, "", 0, {}), 0);
    Take();
    SerialLineConfig wanted = provider->LineConfig(0);
    wanted.port.speed = 9600;
    ASSERT_EQ(provider->SetLineConfig(0, wanted), 0);
    provider->CloseLine(0);
    ASSERT_EQ(provider->OpenLine(0), 0);
    EXPECT_EQ(fake->opens, 1) << "the hang-up keeps the tty it runs on";
    Run(timings.dtrDropMs + 20);
    EXPECT_EQ(fake->opens, 2);
    EXPECT_TRUE(fake->open);
    EXPECT_EQ(fake->settings, wanted.port);
    EXPECT_TRUE(Take().empty());
    ASSERT_EQ(provider->MakeCall(2, 0, 8, "", 0, {}), 0);
    EXPECT_EQ(Take(), (Log{"reply 2 0", "state 8 CONNECTED 1"}));
}

TEST_F(SerialLine, ADeviceThatGoesAwayEndsTheCallAndClosesTheLine)
{
    Open();
    ASSERT_EQ(provider->MakeCall(1, 0, 7, "", 0, {}), 0);
    Take();
    fake->hungUp = true;
    Run(timings.carrierPollMs + 10);
    EXPECT_EQ(Take(), Log{"state 7 DISCONNECTED " + kNormal});
    ASSERT_EQ(provider->Drop(2, 7, {}), 0);
    Run(10);
    EXPECT_EQ(Take(), (Log{"reply 2 0", "state 7 IDLE", "closed 0"}));
    EXPECT_TRUE(provider->LineFailure(0).contains("/dev/ttyFAKE0 went away"));

    // Idle, the same is seen within a look.
    fake->hungUp = false;
    Open();
    fake->hungUp = true;
    Run(timings.carrierPollMs + 10);
    EXPECT_EQ(Take(), Log{"closed 0"});
    EXPECT_EQ(provider->MakeCall(3, 0, 8, "", 0, {}), LINEERR_OPERATIONFAILED);
}

} // namespace
