// The phone's line set-up on the simulated exchange: attaching to the service,
// capabilities and their cache, names, opening, closing and reopening.
#include "PhoneHarness.h"

#include "common/Component.h"
#include "common/ErrorCodes.h"
#include "telephony/service/providers/sim/SimExchange.h"

#include <gtest/gtest.h>

#include <fcntl.h>

using namespace qv;
using namespace qv::test;
using namespace tapi;

namespace {

using Events = std::vector<std::string>;

LineSetup Named(const char* name)
{
    LineSetup setup;
    setup.name = QString::fromUtf8(name);
    return setup;
}

TEST(PhoneLineTest, WithoutTelephonyNumberOfLinesReportsTheFailureAndReadsZero)
{
    PhoneHarness h;
    EXPECT_EQ(h.phone().NumberOfLines(), 0);
    EXPECT_EQ(h.Take(), Events({LineEv(lsError, 99)}));
    EXPECT_EQ(h.phone().LineActive(0, true), 99);
    EXPECT_FALSE(h.phone().IsActive());
    EXPECT_EQ(h.Take(), Events());
}

TEST(PhoneLineTest, ActivatingAnotherLineClosesTheOpenOneFirst)
{
    PhoneHarness h({Named("first"), Named("second")});
    QvPhone& phone = h.phone();
    EXPECT_EQ(phone.NumberOfLines(), 2);
    phone.SetMediaMode(mmData);

    EXPECT_EQ(phone.LineActive(0, true), 0);
    EXPECT_EQ(h.Take(), Events({LineEv(lsActivated, -1)}));
    EXPECT_EQ(phone.CurrentMediaMode(), mmData);
    // Owner and monitor privileges, data calls only, ring reports only.
    std::vector<DWORD> open = h.LastArgs("lineOpen");
    ASSERT_GE(open.size(), 2u);
    EXPECT_EQ(open[open.size() - 2], LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER);
    EXPECT_EQ(open.back(), LINEMEDIAMODE_DATAMODEM);
    EXPECT_EQ(h.LastArgs("lineSetStatusMessages"), std::vector<DWORD>({LINEDEVSTATE_RINGING, 0}));

    EXPECT_EQ(phone.LineActive(1, true), 0);
    EXPECT_EQ(h.Take(), Events({LineEv(lsDeactivated, 1), LineEv(lsActivated, -1)}));
    EXPECT_EQ(phone.LineID(), 1);
    EXPECT_TRUE(phone.IsActive());

    // Closing a line that is not the open one leaves the open one alone.
    EXPECT_EQ(phone.LineActive(0, false), 0);
    EXPECT_TRUE(phone.IsActive());
    EXPECT_EQ(phone.LineActive(1, true), 0);
    EXPECT_EQ(h.Take(), Events());

    EXPECT_EQ(phone.LineActive(1, false), 0);
    EXPECT_EQ(h.Take(), Events({LineEv(lsDeactivated, 1)}));
    EXPECT_FALSE(phone.IsActive());
}

TEST(PhoneLineTest, OpeningFailuresMapTheServiceErrorAndLeaveTheLineClosed)
{
    PhoneHarness h({Named("only")});
    QvPhone& phone = h.phone();
    // The capability probe opens the line too; refuse only the real opening.
    int caps = 0;
    ASSERT_EQ(phone.GetLineCaps(0, caps), 0);
    h.Refuse("lineOpen", LINEERR_ALLOCATED);
    EXPECT_EQ(phone.LineActive(0, true), 106);
    h.Refuse("lineOpen", LINEERR_INVALMEDIAMODE);
    EXPECT_EQ(phone.LineActive(0, true), 162);
    h.Refuse("lineOpen", LINEERR_OPERATIONFAILED);
    EXPECT_EQ(phone.LineActive(0, true), 105);
    EXPECT_FALSE(phone.IsActive());
    EXPECT_EQ(phone.LineActive(7, true), 102); // no such device
    EXPECT_EQ(h.Take(), Events());
}

TEST(PhoneLineTest, CapabilitiesAreProbedOnceAndDescribeTheLine)
{
    LineSetup data = Named("modem");
    data.digitModes = LINEDIGITMODE_DTMF | LINEDIGITMODE_PULSE;
    data.callerIdFlags = LINECALLPARTYID_ADDRESS;
    data.wave = true; // but no automated voice: the wave devices are not asked for
    LineSetup voice = Named("voice");
    voice.mediaModes = LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_INTERACTIVEVOICE;
    voice.dataModem = false;
    voice.wave = true;
    voice.phone = true;
    PhoneHarness h({data, voice});
    QvPhone& phone = h.phone();

    int caps = 0;
    ASSERT_EQ(phone.GetLineCaps(0, caps), 0);
    EXPECT_EQ(caps, caps::DataModem | caps::CallerID | caps::PulseDigits | caps::DtmfDigits);
    const int probes = h.Count("lineGetDevCaps");
    int again = 0;
    ASSERT_EQ(phone.GetLineCaps(0, again), 0);
    EXPECT_EQ(again, caps);
    EXPECT_EQ(h.Count("lineGetDevCaps"), probes);

    h.Open(0);
    EXPECT_EQ(h.Count("lineGetDevCaps"), probes); // the opening used the cache
    EXPECT_EQ(phone.WaveRecID(), -2);
    EXPECT_EQ(phone.WavePlayID(), -2);
    EXPECT_EQ(phone.ExtPhoneNumOfLamps(), 0);

    ASSERT_EQ(phone.GetLineCaps(1, caps), 0);
    EXPECT_TRUE(caps & caps::Wave);
    EXPECT_FALSE(caps & caps::DataModem);
    EXPECT_TRUE(caps & caps::HandsetDevice);
    EXPECT_TRUE(caps & caps::AuxDevice);
    EXPECT_EQ(phone.WaveRecID(), -2); // line 1 is not the active line

    // Activating the probed line takes its record without probing again.
    const int beforeSwitch = h.Count("lineGetDevCaps");
    phone.SetMediaMode(mmData);
    EXPECT_EQ(phone.LineActive(1, true), 162); // a voice line takes no data calls
    EXPECT_FALSE(phone.IsActive());
    phone.SetMediaMode(mmVoice);
    EXPECT_EQ(phone.LineActive(1, true), 0);
    EXPECT_EQ(h.LastArgs("lineOpen").back(), LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_INTERACTIVEVOICE);
    EXPECT_EQ(h.Count("lineGetDevCaps"), beforeSwitch);
    EXPECT_GE(phone.WaveRecID(), 0);
    EXPECT_GE(phone.WavePlayID(), 0);
    EXPECT_EQ(phone.ExtPhoneNumOfLamps(), 2);
    EXPECT_EQ(phone.ExtPhoneNumOfDisplayRows(), 2);
    EXPECT_EQ(phone.ExtPhoneNumOfDisplayCols(), 16);
    EXPECT_EQ(h.Count("phoneOpen"), 1);
    // Handset, then speaker: on hook, full volume and gain.
    EXPECT_EQ(h.LastArgs("phoneSetHookSwitch"),
              std::vector<DWORD>({PHONEHOOKSWITCHDEV_SPEAKER, PHONEHOOKSWITCHMODE_ONHOOK}));
    EXPECT_EQ(h.Count("phoneSetHookSwitch"), 2);
    EXPECT_EQ(h.LastArgs("phoneSetGain"), std::vector<DWORD>({PHONEHOOKSWITCHDEV_SPEAKER, 65535}));
    // A new volume goes out at once while the phone is open.
    phone.ExtDevAux().SetSpeakerVolume(3);
    EXPECT_EQ(h.LastArgs("phoneSetVolume"), std::vector<DWORD>({PHONEHOOKSWITCHDEV_SPEAKER, 19660}));
}

TEST(PhoneLineTest, NamesAreDecodedByTheLineStringFormat)
{
    LineSetup ascii = Named("Modem \xc3\xa9t\xc3\xa9");
    ascii.stringFormat = STRINGFORMAT_ASCII;
    LineSetup unicode = Named("Ligne \xc3\xa9");
    LineSetup nameless = Named("");
    PhoneHarness h({ascii, unicode, nameless});
    QvPhone& phone = h.phone();
    QString name;
    EXPECT_EQ(phone.GetLineName(0, name), 0);
    EXPECT_EQ(name, QString::fromUtf8("Modem \xc3\xa9t\xc3\xa9"));
    EXPECT_EQ(phone.GetLineName(1, name), 0);
    EXPECT_EQ(name, QString::fromUtf8("Ligne \xc3\xa9"));
    EXPECT_EQ(phone.GetLineName(2, name), 150);
    EXPECT_TRUE(name.isEmpty());
    EXPECT_EQ(phone.GetLineName(9, name), 102);

    int count = 0;
    EXPECT_EQ(phone.GetNumberOfAddresses(1, count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(phone.GetAddressName(1, 0, name), 0);
    EXPECT_FALSE(name.isEmpty());
    EXPECT_NE(phone.GetAddressName(1, 5, name), 0);
}

TEST(PhoneLineTest, ReactivateRefusesWhileCallsOrRequestsAreAlive)
{
    PhoneHarness h({Named("only")});
    QvPhone& phone = h.phone();
    h.Open(0);

    const int offered = h.Offer();
    EXPECT_EQ(phone.LineReactivate(true), 159);
    EXPECT_TRUE(phone.IsActive());
    h.Connect(offered);
    EXPECT_EQ(phone.LineReactivate(true), 158);
    EXPECT_TRUE(phone.IsActive());
    h.Take();

    h.State(offered, LINECALLSTATE_IDLE);
    h.Pump();
    h.HoldReplies("lineMakeCall");
    ASSERT_EQ(phone.DialNumber("123", 0), 0);
    EXPECT_EQ(phone.LineReactivate(true), 160);
    h.ReleaseReplies("lineMakeCall", LINEERR_CALLUNAVAIL);
    h.Pump();
    h.Take();

    // Quiet: nothing is raised when the line comes back.
    EXPECT_EQ(phone.LineReactivate(true), 0);
    EXPECT_EQ(h.Take(), Events());
    EXPECT_TRUE(phone.IsActive());
}

TEST(PhoneLineTest, AReactivationThatCannotReopenSaysSoOnce)
{
    PhoneHarness h({Named("only")});
    QvPhone& phone = h.phone();
    h.Open(0);
    phone.SetMediaMode(mmVoice);
    h.Refuse("lineOpen", LINEERR_RESOURCEUNAVAIL);
    EXPECT_EQ(phone.LineReactivate(true), 106);
    EXPECT_EQ(h.Take(), Events({LineEv(lsDeactivated, 0)}));
    EXPECT_FALSE(phone.IsActive());
}

TEST(PhoneLineTest, ALineThatFailsToCloseStaysOpenAndCanBeClosedAgain)
{
    PhoneHarness h({Named("only")});
    QvPhone& phone = h.phone();
    h.Open(0);
    h.Refuse("lineClose", LINEERR_OPERATIONFAILED);
    EXPECT_EQ(phone.LineActive(0, false), 112);
    EXPECT_EQ(h.Take(), Events()) << "a line still open is not deactivated";
    EXPECT_TRUE(phone.IsActive());
    EXPECT_TRUE(h.sim().IsLineOpen(0));
    EXPECT_EQ(phone.LineActive(0, false), 0);
    EXPECT_EQ(h.Take(), Events({LineEv(lsDeactivated, 1)}));
    EXPECT_FALSE(h.sim().IsLineOpen(0));
}

TEST(PhoneLineTest, PropertiesRefuseWhatIsOutOfRange)
{
    PhoneHarness h({Named("only")});
    QvPhone& phone = h.phone();
    phone.SetTimeOut(-5);
    EXPECT_EQ(phone.TimeOut(), 10000);
    phone.SetTimeOut(0);
    EXPECT_EQ(phone.TimeOut(), 0);

    QStringList shown;
    SetShowMessageHandler([&](const QString& text) { shown << text; });
    phone.ExtDevHandSet().SetMicGain(11);
    phone.ExtDevAux().SetSpeakerVolume(-1);
    SetShowMessageHandler(nullptr);
    EXPECT_EQ(phone.ExtDevHandSet().MicGain(), 10);
    EXPECT_EQ(phone.ExtDevAux().SpeakerVolume(), 10);
    EXPECT_EQ(shown, QStringList({"MicGain property must be set to a value ranging from 0 to 10",
                                  "SpeakerVolume property must be set to a value ranging from 0 to 10"}));
    EXPECT_EQ(TExtDev::Scaled(3), 19660u);
    EXPECT_EQ(TExtDev::Scaled(5), 32768u);
    EXPECT_EQ(TExtDev::Scaled(10), 65535u);
}

TEST(PhoneLineTest, OpeningWritesTheSpeakerAndIconIntoTheModemConfiguration)
{
    PhoneHarness h({Named("modem"), Named("other")});
    QvPhone& phone = h.phone();
    QByteArray modem(120, '\x55');
    auto put = [](QByteArray& block, int offset, std::uint32_t value) {
        std::memcpy(block.data() + offset, &value, 4);
    };
    put(modem, 48, 6); // a modem's provider subtype
    h.SetDevConfig(0, modem);
    QByteArray other = modem;
    put(other, 48, 5);
    h.SetDevConfig(1, other);

    phone.ModemSpeaker().SetVolume(svHigh);
    phone.ModemSpeaker().SetMode(smDefault);
    h.Open(0);
    QByteArray written = h.DevConfig(0);
    ASSERT_EQ(written.size(), modem.size());
    std::uint32_t volume = 0, mode = 0;
    std::uint16_t options = 0xFFFF;
    std::memcpy(&volume, written.constData() + 84, 4);
    std::memcpy(&mode, written.constData() + 88, 4);
    std::memcpy(&options, written.constData() + 8, 2);
    EXPECT_EQ(volume, 2u);
    EXPECT_EQ(mode, 0x55555555u);
    EXPECT_EQ(options, 0);

    phone.SetShowModemIcon(true);
    phone.ModemSpeaker().SetMode(smDial);
    EXPECT_EQ(phone.LineReactivate(true), 0);
    written = h.DevConfig(0);
    std::memcpy(&mode, written.constData() + 88, 4);
    std::memcpy(&options, written.constData() + 8, 2);
    EXPECT_EQ(mode, 1u);
    EXPECT_EQ(options, 8);

    // Not a modem: written back as it was.
    EXPECT_EQ(phone.LineActive(1, true), 0);
    EXPECT_EQ(h.DevConfig(1), other);
}

TEST(PhoneLineTest, ClosingTheLineForgetsItsCallsWhoeverClosesIt)
{
    for (bool byService : {false, true}) {
        SCOPED_TRACE(byService ? "closed by the service" : "closed by the component");
        PhoneHarness h({Named("only")});
        QvPhone& phone = h.phone();
        h.Open(0);
        const int call = h.Connect(h.Offer());
        int fd = -1;
        ASSERT_EQ(phone.GetCommHandle(fd), 0);
        h.Take();

        if (byService) {
            h.CloseLineFromService(0);
            EXPECT_EQ(h.Take(), Events({BeforeEv(call), LineEv(lsDeactivated, 0)}));
        } else {
            EXPECT_EQ(phone.LineActive(0, false), 0);
            EXPECT_EQ(h.Take(), Events({BeforeEv(call), LineEv(lsDeactivated, 1)}));
        }
        EXPECT_FALSE(phone.IsActive());
        EXPECT_EQ(phone.NumberOfActiveCalls(), 0);
        EXPECT_EQ(phone.PendingRequestCount(), 0);
        EXPECT_FALSE(phone.IsConnected());
        EXPECT_EQ(phone.CurrentCallHandle(), 0);
        EXPECT_EQ(fcntl(fd, F_GETFD), -1);
        EXPECT_EQ(phone.Hangup(), 161);
        // Nothing of the old line stands in the way of reopening it.
        EXPECT_EQ(phone.LineReactivate(true), 0);
        EXPECT_TRUE(phone.IsActive());
    }
}

TEST(PhoneLineTest, DestructionClosesEverythingWithoutEvents)
{
    PhoneHarness h({Named("only")});
    h.Open(0);
    h.Connect(h.Offer());
    h.Take();
    const int closesBefore = h.Count("lineClose");
    h.DestroyPhone();
    EXPECT_EQ(h.Events(), Events());
    EXPECT_EQ(h.Count("lineClose"), closesBefore + 1);
    EXPECT_FALSE(h.sim().IsLineOpen(0));
}

} // namespace
