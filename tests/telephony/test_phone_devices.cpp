// The devices around the line on the simulated exchange: the handset and
// speaker of the line's phone, its ringer, lamps and display and what it
// reports, the wave devices of an address or a call, and the line's stored
// configuration saved to and loaded from the line store.
#include "PhoneHarness.h"

#include "common/ErrorCodes.h"
#include "telephony/LineConfigStore.h"
#include "telephony/service/providers/sim/SimExchange.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>

using namespace qv;
using namespace qv::test;
using namespace tapi;

namespace {

using Events = std::vector<std::string>;

LineSetup WithPhone(tapi::sim::SimPhoneConfig config = {})
{
    LineSetup setup;
    setup.phone = true;
    setup.phoneConfig = config;
    return setup;
}

std::uint32_t WordOf(const QByteArray& bytes, int offset)
{
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.constData() + offset, 4);
    return value;
}

void PutWord(QByteArray& bytes, int offset, std::uint32_t value)
{
    std::memcpy(bytes.data() + offset, &value, 4);
}

// ------------------------------------------------------------- handset and speaker

TEST(PhoneDevicesTest, MicSpeakerStateFollowsThePhoneAndIsKeptOnlyWhenTheDeviceTakesIt)
{
    PhoneHarness h({WithPhone()});
    QvPhone& phone = h.phone();
    std::uint8_t state = 9;
    EXPECT_EQ(phone.ExtDevHandSet().GetMicSpeakerState(state), 157);
    EXPECT_EQ(phone.ExtDevHandSet().SetMicSpeakerState(1), 157);
    h.Open();

    EXPECT_EQ(phone.ExtDevHandSet().GetMicSpeakerState(state), 0);
    EXPECT_EQ(state, 0);

    // Microphone and speaker: the hookswitch request names the handset and
    // the mode, and once it is done the phone reports the new state.
    EXPECT_EQ(phone.ExtDevHandSet().SetMicSpeakerState(3), 0);
    EXPECT_EQ(h.LastArgs("phoneSetHookSwitch"),
              (std::vector<DWORD>{PHONEHOOKSWITCHDEV_HANDSET, PHONEHOOKSWITCHMODE_MICSPEAKER}));
    EXPECT_EQ(phone.PendingRequestCount(), 1);
    h.Pump();
    EXPECT_EQ(phone.PendingRequestCount(), 0);
    EXPECT_EQ(phone.ExtDevHandSet().StoredState(), 3);
    EXPECT_EQ(phone.ExtDevHandSet().GetMicSpeakerState(state), 0);
    EXPECT_EQ(state, 3);
    EXPECT_EQ(h.sim().PhoneStatus(0).speakerHookSwitchMode, DWORD(PHONEHOOKSWITCHMODE_ONHOOK));

    // The state it already has: nothing is sent.
    const int sent = h.Count("phoneSetHookSwitch");
    EXPECT_EQ(phone.ExtDevHandSet().SetMicSpeakerState(3), 0);
    EXPECT_EQ(h.Count("phoneSetHookSwitch"), sent);
    // Outside the table.
    EXPECT_EQ(phone.ExtDevHandSet().SetMicSpeakerState(4), err::InvalidArgument);
    EXPECT_EQ(h.Count("phoneSetHookSwitch"), sent);

    // Refused at once: 156, and the state asked for is not remembered.
    h.Refuse("phoneSetHookSwitch", PHONEERR_INVALHOOKSWITCHMODE);
    EXPECT_EQ(phone.ExtDevAux().SetMicSpeakerState(2), 156);
    EXPECT_EQ(phone.ExtDevAux().StoredState(), 0);

    // Refused in the reply: lsError 156 and the state before comes back, so
    // the next opening does not set a state the phone would not take.
    h.FailReplies("phoneSetHookSwitch", PHONEERR_OPERATIONFAILED);
    EXPECT_EQ(phone.ExtDevAux().SetMicSpeakerState(1), 0);
    EXPECT_EQ(phone.ExtDevAux().StoredState(), 1);
    h.Take();
    h.Pump();
    EXPECT_EQ(h.Take(), Events({LineEv(lsError, 156)}));
    EXPECT_EQ(phone.ExtDevAux().StoredState(), 0);
    EXPECT_EQ(phone.PendingRequestCount(), 0);

    // A request still waiting keeps another one out.
    h.sim().SetReply(QStringLiteral("phoneSetHookSwitch"), tapi::sim::Reply::Success());
    h.HoldReplies("phoneSetHookSwitch");
    EXPECT_EQ(phone.ExtDevAux().SetMicSpeakerState(2), 0);
    EXPECT_EQ(phone.ExtDevHandSet().SetMicSpeakerState(0), 160);
    h.ReleaseReplies("phoneSetHookSwitch");
    EXPECT_EQ(phone.ExtDevAux().StoredState(), 2);
    EXPECT_EQ(phone.ExtDevHandSet().SetMicSpeakerState(0), 0);
}

TEST(PhoneDevicesTest, MicSpeakerStateNeedsTheDeviceOnTheLine)
{
    tapi::sim::SimPhoneConfig handsetOnly;
    handsetOnly.hookSwitchDevs = PHONEHOOKSWITCHDEV_HANDSET;
    handsetOnly.speakerHookSwitchModes = 0;
    PhoneHarness h({LineSetup{}, WithPhone(handsetOnly)});
    QvPhone& phone = h.phone();
    std::uint8_t state = 7;

    h.Open(0); // no phone at all
    EXPECT_EQ(phone.ExtDevHandSet().GetMicSpeakerState(state), 152);
    EXPECT_EQ(phone.ExtDevAux().GetMicSpeakerState(state), 151);
    EXPECT_EQ(phone.ExtDevAux().SetMicSpeakerState(1), 151);

    h.Open(1);
    EXPECT_EQ(phone.ExtDevAux().GetMicSpeakerState(state), 151);
    EXPECT_EQ(phone.ExtDevHandSet().GetMicSpeakerState(state), 0);
    EXPECT_EQ(state, 0);
    // The phone cannot be read.
    h.Refuse("phoneGetStatus", PHONEERR_OPERATIONFAILED);
    EXPECT_EQ(phone.ExtDevHandSet().GetMicSpeakerState(state), 156);
    // The phone went away while the line stayed.
    h.sim().ForceClosePhone(0);
    h.Pump();
    EXPECT_EQ(phone.ExtDevHandSet().GetMicSpeakerState(state), err::Failed);
    EXPECT_EQ(phone.ExtDevHandSet().SetMicSpeakerState(1), err::Failed);
}

TEST(PhoneDevicesTest, GainAndVolumeGoToTheOpenPhoneScaled)
{
    PhoneHarness h({WithPhone()});
    QvPhone& phone = h.phone();
    phone.ExtDevHandSet().SetMicGain(5); // no phone open: only stored
    EXPECT_EQ(h.Count("phoneSetGain"), 0);
    h.Open();
    // At opening: handset, then speaker, each with its stored values.
    EXPECT_EQ(h.Count("phoneSetGain"), 2);
    EXPECT_EQ(h.sim().RequestsOf(QStringLiteral("phoneSetGain")).front().args,
              (std::vector<DWORD>{PHONEHOOKSWITCHDEV_HANDSET, 32768}));
    phone.ExtDevAux().SetSpeakerVolume(3);
    EXPECT_EQ(h.LastArgs("phoneSetVolume"), (std::vector<DWORD>{PHONEHOOKSWITCHDEV_SPEAKER, 19660}));
}

// ------------------------------------------------------------- what the phone reports

TEST(PhoneDevicesTest, PhoneStateReportsTheChangesAndTheHookOnlyWhenItChanges)
{
    PhoneHarness h({WithPhone()});
    QvPhone& phone = h.phone();
    Events seen;
    phone.SetOnExtPhoneChanged(
        [&](QvPhone*, TExtPhoneState s) { seen.push_back("ext " + std::to_string(s)); });
    phone.SetOnExtDevAuxChanged([&](QvPhone*) { seen.push_back("aux"); });
    phone.SetOnExtDevHandsetChanged([&](QvPhone*) { seen.push_back("handset"); });
    phone.SetOnHookState([&](QvPhone*, bool onHook) { seen.push_back(onHook ? "on hook" : "off hook"); });
    h.Open();
    h.Pump();
    seen.clear();

    // The phone asks the service only for its hookswitches ...
    h.sim().RaisePhoneState(0, PHONESTATE_LAMP | PHONESTATE_SPEAKERHOOKSWITCH);
    h.Pump();
    EXPECT_EQ(seen, Events({"aux"}));
    seen.clear();
    // ... but handles the rest when it comes anyway, in a fixed order.
    h.DeliverPhoneMessage(PHONE_STATE, PHONESTATE_RINGVOLUME | PHONESTATE_LAMP | PHONESTATE_DISPLAY |
                                           PHONESTATE_RINGMODE | PHONESTATE_SPEAKERHOOKSWITCH);
    EXPECT_EQ(seen, Events({"ext 0", "ext 1", "ext 2", "ext 3", "aux"}));
    seen.clear();

    // The handset is lifted, moved between modes, and put down again.
    h.sim().SetHookSwitch(0, PHONEHOOKSWITCHDEV_HANDSET, PHONEHOOKSWITCHMODE_MICSPEAKER);
    h.Pump();
    h.sim().SetHookSwitch(0, PHONEHOOKSWITCHDEV_HANDSET, PHONEHOOKSWITCHMODE_MIC);
    h.Pump();
    h.sim().SetHookSwitch(0, PHONEHOOKSWITCHDEV_HANDSET, PHONEHOOKSWITCHMODE_ONHOOK);
    h.Pump();
    EXPECT_EQ(seen, Events({"handset", "off hook", "handset", "handset", "on hook"}));

    // The hook cannot be read: the failure is reported instead.
    seen.clear();
    h.Take();
    h.Refuse("phoneGetStatus", PHONEERR_OPERATIONFAILED);
    h.sim().RaisePhoneState(0, PHONESTATE_HANDSETHOOKSWITCH);
    h.Pump();
    EXPECT_EQ(seen, Events({"handset"}));
    EXPECT_EQ(h.Take(), Events({LineEv(lsError, 156)}));
}

// ------------------------------------------------------------- ringer, lamps, display

TEST(PhoneDevicesTest, RingerAndLampsAreCheckedAgainstThePhone)
{
    tapi::sim::SimPhoneConfig bare;
    bare.numLamps = 0;
    bare.numRingModes = 0;
    bare.displayRows = 0;
    bare.displayColumns = 0;
    PhoneHarness h({WithPhone(), WithPhone(bare)});
    QvPhone& phone = h.phone();
    EXPECT_EQ(phone.ExtPhoneSetLamp(0, PHONELAMPMODE_STEADY), 157);
    h.Open(0);

    EXPECT_EQ(phone.ExtPhoneSetLamp(2, PHONELAMPMODE_STEADY), err::InvalidArgument);
    EXPECT_EQ(phone.ExtPhoneSetLamp(-1, PHONELAMPMODE_STEADY), err::InvalidArgument);
    EXPECT_EQ(phone.ExtPhoneSetLamp(1, PHONELAMPMODE_FLASH), 0);
    h.Pump();
    int mode = 0;
    EXPECT_EQ(phone.ExtPhoneGetLamp(1, mode), 0);
    EXPECT_EQ(mode, int(PHONELAMPMODE_FLASH));

    // Ring mode 0 is silence and the last mode is the phone's own count.
    EXPECT_EQ(phone.ExtPhoneSetRing(4, 100), err::InvalidArgument);
    EXPECT_EQ(phone.ExtPhoneSetRing(3, 0x10000), err::InvalidArgument);
    EXPECT_EQ(phone.ExtPhoneSetRing(3, -1), err::InvalidArgument);
    EXPECT_EQ(phone.ExtPhoneSetRing(3, 0xFFFF), 0);
    h.Pump();
    int ring = 0, volume = 0;
    EXPECT_EQ(phone.ExtPhoneGetRing(ring, volume), 0);
    EXPECT_EQ(ring, 3);
    EXPECT_EQ(volume, 0xFFFF);

    // Refused at once, or in the reply.
    h.Refuse("phoneSetRing", PHONEERR_OPERATIONFAILED);
    EXPECT_EQ(phone.ExtPhoneSetRing(1, 5), 164);
    h.FailReplies("phoneSetLamp", PHONEERR_OPERATIONFAILED);
    h.Take();
    EXPECT_EQ(phone.ExtPhoneSetLamp(0, PHONELAMPMODE_STEADY), 0);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({LineEv(lsError, 164)}));
    EXPECT_EQ(phone.PendingRequestCount(), 0);
    h.Refuse("phoneGetLamp", PHONEERR_INVALBUTTONLAMPID);
    EXPECT_EQ(phone.ExtPhoneGetLamp(0, mode), 164);

    h.Open(1);
    EXPECT_EQ(phone.ExtPhoneSetLamp(0, PHONELAMPMODE_STEADY), 164);
    EXPECT_EQ(phone.ExtPhoneSetRing(0, 0), 164);
    EXPECT_EQ(phone.ExtPhoneSetDisplay(0, 0, QStringLiteral("x")), 164);
    QString text;
    EXPECT_EQ(phone.ExtPhoneGetDisplay(text), 164);
}

TEST(PhoneDevicesTest, DisplayCellsCountFromZeroInBothStringFormats)
{
    for (const DWORD format : {STRINGFORMAT_UNICODE, STRINGFORMAT_ASCII}) {
        SCOPED_TRACE(format);
        tapi::sim::SimPhoneConfig config;
        config.stringFormat = format;
        LineSetup setup = WithPhone(config);
        setup.stringFormat = format;
        PhoneHarness h({setup});
        QvPhone& phone = h.phone();
        h.Open();
        ASSERT_EQ(phone.ExtPhoneNumOfDisplayRows(), 2);
        ASSERT_EQ(phone.ExtPhoneNumOfDisplayCols(), 16);

        EXPECT_EQ(phone.ExtPhoneSetDisplay(2, 0, QStringLiteral("x")), err::InvalidArgument);
        EXPECT_EQ(phone.ExtPhoneSetDisplay(0, 16, QStringLiteral("x")), err::InvalidArgument);
        EXPECT_EQ(phone.ExtPhoneSetDisplay(-1, 0, QStringLiteral("x")), err::InvalidArgument);
        EXPECT_EQ(h.Count("phoneSetDisplay"), 0);

        EXPECT_EQ(phone.ExtPhoneSetDisplay(1, 2, QStringLiteral("hello")), 0);
        EXPECT_EQ(phone.ExtPhoneSetDisplay(0, 15, QStringLiteral("Z")), 0);
        h.Pump();
        QString text;
        EXPECT_EQ(phone.ExtPhoneGetDisplay(text), 0);
        EXPECT_EQ(text, QStringLiteral("               Z  hello         "));
    }
}

// ------------------------------------------------------------- wave devices

TEST(PhoneDevicesTest, WaveDevicesOfAnAddressOrACall)
{
    LineSetup voice;
    voice.wave = true;
    voice.mediaModes = LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_DATAMODEM;
    PhoneHarness h({voice, LineSetup{}});
    QvPhone& phone = h.phone();
    int wave = 77;
    EXPECT_EQ(phone.GetWaveRecIDFrom(true, 0, wave), 157);
    h.Open(0);
    EXPECT_EQ(phone.GetWaveRecIDFrom(true, -1, wave), 114);
    EXPECT_EQ(wave, 77);
    EXPECT_EQ(phone.GetWaveRecIDFrom(true, 0, wave), 0);
    EXPECT_EQ(wave, 0);
    EXPECT_EQ(phone.GetWavePlayIDFrom(true, 0, wave), 0);
    EXPECT_EQ(wave, 1);
    EXPECT_EQ(h.LastArgs("lineGetID").at(1), DWORD(LINECALLSELECT_ADDRESS));
    EXPECT_EQ(phone.GetWaveRecIDFrom(true, 5, wave), 114);

    const int call = h.Connect(h.Offer());
    EXPECT_EQ(phone.GetWavePlayIDFrom(false, call, wave), 0);
    EXPECT_EQ(wave, 1);
    EXPECT_EQ(phone.GetWavePlayIDFrom(false, call + 1000, wave), 115);
    // The probe's own IDs are left alone.
    EXPECT_EQ(phone.WaveRecID(), 0);
    EXPECT_EQ(phone.WavePlayID(), 1);

    // A line without wave devices: the service refuses the class.
    h.State(call, LINECALLSTATE_IDLE);
    h.Pump();
    h.Open(1);
    EXPECT_EQ(phone.GetWaveRecIDFrom(true, 0, wave), 0);
    EXPECT_EQ(wave, -2);
}

// ------------------------------------------------------------- saved line configuration

class LineConfigStoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path());
    }
    void TearDown() override
    {
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, QDir::homePath() + "/.config");
    }

    QByteArray Stored(const QString& name)
    {
        QByteArray value;
        linestore::Read(HKEY_CURRENT_USER, m_key, name, value);
        return value;
    }

    QTemporaryDir m_dir;
    const QString m_key = QStringLiteral("Software\\VH Terminal\\Lines");
};

QByteArray Pattern(int size, char seed)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(seed + i * 7);
    return bytes;
}

TEST_F(LineConfigStoreTest, SavedConfigurationHasItsLayoutAndLoadsBack)
{
    PhoneHarness h({LineSetup{}, LineSetup{}});
    QvPhone& phone = h.phone();
    h.SetDevConfig(0, Pattern(120, 'a'));
    // The operator changes something in the dialog before it is saved.
    h.sim().SetConfigDialog(0, [](QByteArray& config) { config[3] = 'X'; });

    ASSERT_EQ(phone.LineConfigDialogSave(nullptr, HKEY_CURRENT_USER, m_key, QStringLiteral("Line0"), 0), 0);
    EXPECT_EQ(h.Count("lineConfigDialog"), 1);
    EXPECT_TRUE(linestore::FilePath(HKEY_CURRENT_USER).startsWith(m_dir.path()));
    QByteArray expectedConfig = Pattern(120, 'a');
    expectedConfig[3] = 'X';

    const QByteArray value = Stored(QStringLiteral("Line0"));
    ASSERT_EQ(value.size(), 1 + 24 + 120);
    EXPECT_EQ(value[0], 0);
    EXPECT_EQ(WordOf(value, 1), 1024u);
    EXPECT_EQ(WordOf(value, 5), 24u + 120u);
    EXPECT_EQ(WordOf(value, 9), 24u + 120u);
    EXPECT_EQ(WordOf(value, 13), DWORD(STRINGFORMAT_BINARY));
    EXPECT_EQ(WordOf(value, 17), 120u);
    EXPECT_EQ(WordOf(value, 21), 24u);
    EXPECT_EQ(value.mid(25), expectedConfig);

    // The line's configuration changes; loading gives the saved one back.
    h.SetDevConfig(0, Pattern(60, 'q'));
    EXPECT_EQ(phone.LineConfigLoad(HKEY_CURRENT_USER, m_key, QStringLiteral("Line0"), 0), 0);
    EXPECT_EQ(h.DevConfig(0), expectedConfig);

    // The same key in the other spelling of its separators.
    EXPECT_EQ(phone.LineConfigLoad(HKEY_CURRENT_USER, QStringLiteral("Software/VH Terminal/Lines"),
                                   QStringLiteral("Line0"), 0),
              0);

    // Another line, a name that is not there, a root key with no store.
    const int loads = h.Count("lineSetDevConfig");
    EXPECT_EQ(phone.LineConfigLoad(HKEY_CURRENT_USER, m_key, QStringLiteral("Line0"), 1), 105);
    EXPECT_EQ(phone.LineConfigLoad(HKEY_CURRENT_USER, m_key, QStringLiteral("Line0"), 256), 105);
    EXPECT_EQ(phone.LineConfigLoad(HKEY_CURRENT_USER, m_key, QStringLiteral("Nothing"), 0), 163);
    EXPECT_EQ(phone.LineConfigLoad(0, m_key, QStringLiteral("Line0"), 0), 163);
    EXPECT_EQ(h.Count("lineSetDevConfig"), loads);

    // The device refuses the configuration.
    h.Refuse("lineSetDevConfig", LINEERR_INVALPARAM);
    EXPECT_EQ(phone.LineConfigLoad(HKEY_CURRENT_USER, m_key, QStringLiteral("Line0"), 0), err::Failed);
}

TEST_F(LineConfigStoreTest, SaveRunsTheDialogFirstAndStoresNothingItCannotHoldWhole)
{
    PhoneHarness h({LineSetup{}});
    QvPhone& phone = h.phone();
    h.SetDevConfig(0, Pattern(40, 'b'));

    EXPECT_EQ(phone.LineConfigDialogSave(nullptr, 0, QString(), QString(), 0), err::InvalidArgument);
    EXPECT_EQ(h.Count("lineConfigDialog"), 1);
    EXPECT_EQ(h.Count("lineGetDevConfig"), 0);
    // A root key that names no store cannot be written.
    EXPECT_EQ(phone.LineConfigDialogSave(nullptr, 0, m_key, QStringLiteral("Line0"), 0), err::Failed);

    // The dialog's own failures come first.
    h.sim().SetConfigDialog(LINEERR_NODEVICE);
    EXPECT_EQ(phone.LineConfigDialogSave(nullptr, HKEY_CURRENT_USER, m_key, QStringLiteral("Line0"), 0), 101);
    h.sim().SetConfigDialog(LINEERR_INVALPARAM);
    EXPECT_EQ(phone.LineConfigDialog(nullptr, 0), err::InvalidArgument);
    h.sim().SetConfigDialog(0);
    EXPECT_EQ(phone.LineConfigDialog(nullptr, 9), 102);
    EXPECT_TRUE(Stored(QStringLiteral("Line0")).isEmpty());

    // The device configuration cannot be read.
    h.Refuse("lineGetDevConfig", LINEERR_NOMEM);
    EXPECT_EQ(phone.LineConfigDialogSave(nullptr, HKEY_CURRENT_USER, m_key, QStringLiteral("Line0"), 0),
              err::OutOfMemory);

    // 1000 bytes fit the value; 1001 do not, and nothing is written cut short.
    h.SetDevConfig(0, Pattern(1000, 'c'));
    EXPECT_EQ(phone.LineConfigDialogSave(nullptr, HKEY_CURRENT_USER, m_key, QStringLiteral("Big"), 0), 0);
    EXPECT_EQ(Stored(QStringLiteral("Big")).size(), 1025);
    h.SetDevConfig(0, Pattern(1001, 'c'));
    EXPECT_EQ(phone.LineConfigDialogSave(nullptr, HKEY_CURRENT_USER, m_key, QStringLiteral("Bigger"), 0),
              err::Failed);
    EXPECT_TRUE(Stored(QStringLiteral("Bigger")).isEmpty());

    // A store whose folder cannot be made.
    QFile blocker(m_dir.filePath("blocker"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.filePath("blocker/config"));
    h.SetDevConfig(0, Pattern(40, 'b'));
    EXPECT_EQ(phone.LineConfigDialogSave(nullptr, HKEY_CURRENT_USER, m_key, QStringLiteral("Line0"), 0),
              err::Failed);
}

TEST_F(LineConfigStoreTest, DamagedValuesAreRefusedBeforeTheyReachTheDevice)
{
    PhoneHarness h({LineSetup{}});
    QvPhone& phone = h.phone();
    h.SetDevConfig(0, Pattern(64, 'd'));
    ASSERT_EQ(phone.LineConfigDialogSave(nullptr, HKEY_CURRENT_USER, m_key, QStringLiteral("Good"), 0), 0);
    const QByteArray good = Stored(QStringLiteral("Good"));
    ASSERT_EQ(good.size(), 1 + 24 + 64);

    struct Damage
    {
        const char* what;
        std::function<void(QByteArray&)> apply;
    };
    const std::vector<Damage> damages = {
        {"total size above 1024", [](QByteArray& v) { PutWord(v, 1, 1025); }},
        {"total size below the header", [](QByteArray& v) { PutWord(v, 1, 8); }},
        {"string past the value", [](QByteArray& v) { PutWord(v, 17, 65); }},
        {"string size wrapping round", [](QByteArray& v) { PutWord(v, 17, 0xFFFFFFF0u); }},
        {"string offset into the header", [](QByteArray& v) { PutWord(v, 21, 4); }},
        {"string offset past the value", [](QByteArray& v) { PutWord(v, 21, 0x7FFFFFFFu); }},
        {"cut inside the header", [](QByteArray& v) { v.truncate(20); }},
        {"longer than the format", [](QByteArray& v) { v.append(QByteArray(1100, 'z')); }},
    };
    const int loads = h.Count("lineSetDevConfig");
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        QByteArray value = good;
        damage.apply(value);
        ASSERT_TRUE(linestore::Write(HKEY_CURRENT_USER, m_key, QStringLiteral("Bad"), value));
        EXPECT_EQ(phone.LineConfigLoad(HKEY_CURRENT_USER, m_key, QStringLiteral("Bad"), 0), err::Failed);
    }
    EXPECT_EQ(h.Count("lineSetDevConfig"), loads);

    // A value that is not bytes at all.
    QSettings(QSettings::IniFormat, QSettings::UserScope, "vh-terminal", "saved-lines-current-user")
        .setValue("Software/VH Terminal/Lines/Text", QStringLiteral("hello"));
    EXPECT_EQ(phone.LineConfigLoad(HKEY_CURRENT_USER, m_key, QStringLiteral("Text"), 0), 163);
}

TEST_F(LineConfigStoreTest, CallsAndRequestsKeepTheConfigurationAlone)
{
    PhoneHarness h({WithPhone()});
    QvPhone& phone = h.phone();
    h.SetDevConfig(0, Pattern(32, 'e'));
    ASSERT_EQ(phone.LineConfigDialogSave(nullptr, HKEY_CURRENT_USER, m_key, QStringLiteral("Line0"), 0), 0);
    h.Open();

    const int call = h.Offer();
    EXPECT_EQ(phone.LineConfigDialog(nullptr, 0), 159);
    EXPECT_EQ(phone.LineConfigLoad(HKEY_CURRENT_USER, m_key, QStringLiteral("Line0"), 0), 159);
    h.Connect(call);
    EXPECT_EQ(phone.LineConfigDialogSave(nullptr, HKEY_CURRENT_USER, m_key, QStringLiteral("Line0"), 0), 158);
    EXPECT_EQ(phone.LineConfigLoad(HKEY_CURRENT_USER, m_key, QStringLiteral("Line0"), 0), 158);
    h.State(call, LINECALLSTATE_IDLE);
    h.Pump();
    ASSERT_EQ(phone.NumberOfActiveCalls(), 0);

    h.HoldReplies("phoneSetLamp");
    ASSERT_EQ(phone.ExtPhoneSetLamp(0, PHONELAMPMODE_STEADY), 0);
    EXPECT_EQ(phone.LineConfigLoad(HKEY_CURRENT_USER, m_key, QStringLiteral("Line0"), 0), 160);
    h.ReleaseReplies("phoneSetLamp");
    EXPECT_EQ(phone.LineConfigLoad(HKEY_CURRENT_USER, m_key, QStringLiteral("Line0"), 0), 0);
    EXPECT_EQ(h.Count("lineConfigDialog"), 1);
}

} // namespace
