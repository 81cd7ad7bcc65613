// Variable-size structures: fixed parts by version, the growing-buffer
// protocol, self-consistent sizes and offsets, and the bounds checks on the
// structures the service accepts.
#include "ServiceFixture.h"

#include "telephony/service/ModemConfig.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace tapitest {
namespace {

// Every size/offset pair lies after the fixed part and inside dwUsedSize.
template <typename T>
void ExpectConsistent(const std::vector<unsigned char>& buffer, DWORD fixed,
                      std::initializer_list<std::pair<DWORD T::*, DWORD T::*>> pairs)
{
    const T* s = reinterpret_cast<const T*>(buffer.data());
    EXPECT_LE(s->dwUsedSize, s->dwTotalSize);
    EXPECT_GE(s->dwUsedSize, fixed);
    for (auto [size, offset] : pairs) {
        if (s->*size == 0)
            continue;
        EXPECT_GE(s->*offset, fixed);
        EXPECT_LE(static_cast<std::size_t>(s->*offset) + s->*size, s->dwUsedSize);
    }
}

template <typename T> std::vector<unsigned char> Buffer(DWORD total)
{
    std::vector<unsigned char> b(std::max<std::size_t>(total, sizeof(T)) + 16, 0xEE);
    reinterpret_cast<T*>(b.data())->dwTotalSize = total;
    return b;
}

QString WideAt(const std::vector<unsigned char>& b, DWORD offset, DWORD size)
{
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(b.data() + offset),
                              static_cast<qsizetype>(size / 2 - 1));
}

TEST_F(ServiceTest, DevCapsGrowFromTheFixedPartToEverything)
{
    const HLINEAPP app = Init();
    auto tiny = Buffer<LINEDEVCAPS>(267);
    EXPECT_EQ(lineGetDevCapsW(app, 0, TAPI_VERSION_2_2, 0, reinterpret_cast<LINEDEVCAPS*>(tiny.data())),
              LINEERR_STRUCTURETOOSMALL);
    // An older version has a smaller fixed part.
    auto older = Buffer<LINEDEVCAPS>(252);
    EXPECT_EQ(lineGetDevCapsW(app, 0, TAPI_VERSION_2_0, 0, reinterpret_cast<LINEDEVCAPS*>(older.data())), 0);

    auto fixedOnly = Buffer<LINEDEVCAPS>(sizeof(LINEDEVCAPS));
    auto* caps = reinterpret_cast<LINEDEVCAPS*>(fixedOnly.data());
    ASSERT_EQ(lineGetDevCapsW(app, 0, TAPI_VERSION_2_2, 0, caps), 0);
    EXPECT_EQ(caps->dwUsedSize, sizeof(LINEDEVCAPS));
    EXPECT_GT(caps->dwNeededSize, caps->dwUsedSize);
    EXPECT_EQ(caps->dwLineNameSize, 0u); // left out, not cut
    EXPECT_EQ(caps->dwLineNameOffset, 0u);
    EXPECT_EQ(fixedOnly[sizeof(LINEDEVCAPS)], 0xEE); // nothing written past dwTotalSize

    auto full = Buffer<LINEDEVCAPS>(caps->dwNeededSize);
    caps = reinterpret_cast<LINEDEVCAPS*>(full.data());
    ASSERT_EQ(lineGetDevCapsW(app, 0, TAPI_VERSION_2_2, 0, caps), 0);
    EXPECT_EQ(caps->dwUsedSize, caps->dwNeededSize);
    EXPECT_EQ(caps->dwStringFormat, STRINGFORMAT_UNICODE);
    EXPECT_EQ(WideAt(full, caps->dwLineNameOffset, caps->dwLineNameSize), QStringLiteral("Line A"));
    EXPECT_EQ(caps->dwMediaModes & LINEMEDIAMODE_DATAMODEM, LINEMEDIAMODE_DATAMODEM);
    EXPECT_EQ(caps->dwMonitorDigitModes, LINEDIGITMODE_PULSE | LINEDIGITMODE_DTMF);
    ExpectConsistent<LINEDEVCAPS>(full, sizeof(LINEDEVCAPS),
                                  {{&LINEDEVCAPS::dwProviderInfoSize, &LINEDEVCAPS::dwProviderInfoOffset},
                                   {&LINEDEVCAPS::dwSwitchInfoSize, &LINEDEVCAPS::dwSwitchInfoOffset},
                                   {&LINEDEVCAPS::dwLineNameSize, &LINEDEVCAPS::dwLineNameOffset},
                                   {&LINEDEVCAPS::dwDevSpecificSize, &LINEDEVCAPS::dwDevSpecificOffset},
                                   {&LINEDEVCAPS::dwDeviceClassesSize, &LINEDEVCAPS::dwDeviceClassesOffset}});
    // The device classes come as a list closed by an empty string.
    QStringList classes;
    const auto* p = reinterpret_cast<const char16_t*>(full.data() + caps->dwDeviceClassesOffset);
    while (*p != 0) {
        classes << QString::fromUtf16(p);
        p += classes.back().size() + 1;
    }
    EXPECT_TRUE(classes.contains(QStringLiteral("comm/datamodem")));
    EXPECT_TRUE(classes.contains(QStringLiteral("wave/in")));
}

TEST_F(ServiceTest, StringsInStructuresFollowTheDevicesFormat)
{
    m_sim->LineConfig(1).stringFormat = STRINGFORMAT_ASCII;
    m_sim->Info(1).stringFormat = STRINGFORMAT_ASCII;
    const HLINEAPP app = Init();
    auto b = Buffer<LINEDEVCAPS>(1024);
    auto* caps = reinterpret_cast<LINEDEVCAPS*>(b.data());
    ASSERT_EQ(lineGetDevCapsW(app, 1, TAPI_VERSION_2_2, 0, caps), 0);
    EXPECT_EQ(caps->dwStringFormat, STRINGFORMAT_ASCII);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(b.data() + caps->dwLineNameOffset)),
              QByteArray("Line B"));
    EXPECT_EQ(caps->dwLineNameSize, 7u);

    // The plain function reports the same format as the W one, so that a
    // component that learns the format from one decodes the other right.
    ASSERT_EQ(lineGetDevCaps(app, 0, TAPI_VERSION_2_2, 0, caps), 0);
    EXPECT_EQ(caps->dwStringFormat, STRINGFORMAT_UNICODE);
    EXPECT_EQ(WideAt(b, caps->dwLineNameOffset, caps->dwLineNameSize), QStringLiteral("Line A"));

    auto a = Buffer<LINEADDRESSCAPS>(1024);
    auto* addr = reinterpret_cast<LINEADDRESSCAPS*>(a.data());
    ASSERT_EQ(lineGetAddressCapsW(app, 1, 1, TAPI_VERSION_2_2, 0, addr), 0);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(a.data() + addr->dwAddressOffset)), QByteArray("201"));
    EXPECT_EQ(lineGetAddressCapsW(app, 1, 2, TAPI_VERSION_2_2, 0, addr), LINEERR_INVALADDRESSID);
    auto small = Buffer<LINEADDRESSCAPS>(227);
    EXPECT_EQ(
        lineGetAddressCapsW(app, 1, 0, TAPI_VERSION_2_2, 0, reinterpret_cast<LINEADDRESSCAPS*>(small.data())),
        LINEERR_STRUCTURETOOSMALL);
}

TEST_F(ServiceTest, CallInfoCarriesPartiesInsideItsUsedSize)
{
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0);
    sim::SimOffer offer;
    offer.caller = {LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME, QStringLiteral("5551234"),
                    QStringLiteral("Zahra")};
    m_sim->OfferCall(0, offer);
    Settle();
    const HCALL call = static_cast<HCALL>(Of(LINE_CALLSTATE).front().device);

    auto tiny = Buffer<LINECALLINFO>(323);
    EXPECT_EQ(lineGetCallInfoW(call, reinterpret_cast<LINECALLINFO*>(tiny.data())),
              LINEERR_STRUCTURETOOSMALL);
    auto b = Buffer<LINECALLINFO>(sizeof(LINECALLINFO));
    auto* info = reinterpret_cast<LINECALLINFO*>(b.data());
    ASSERT_EQ(lineGetCallInfoW(call, info), 0);
    EXPECT_EQ(info->dwCallerIDFlags, LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME);
    EXPECT_EQ(info->dwCallerIDSize, 0u);
    ASSERT_GT(info->dwNeededSize, info->dwUsedSize);

    b = Buffer<LINECALLINFO>(info->dwNeededSize);
    info = reinterpret_cast<LINECALLINFO*>(b.data());
    ASSERT_EQ(lineGetCallInfoW(call, info), 0);
    EXPECT_EQ(info->hLine, line);
    EXPECT_EQ(info->dwLineDeviceID, 0u);
    EXPECT_EQ(info->dwNumOwners, 1u);
    EXPECT_EQ(info->dwMediaMode, LINEMEDIAMODE_DATAMODEM);
    EXPECT_EQ(WideAt(b, info->dwCallerIDOffset, info->dwCallerIDSize), QStringLiteral("5551234"));
    EXPECT_EQ(WideAt(b, info->dwCallerIDNameOffset, info->dwCallerIDNameSize), QStringLiteral("Zahra"));
    ExpectConsistent<LINECALLINFO>(
        b, sizeof(LINECALLINFO),
        {{&LINECALLINFO::dwCallerIDSize, &LINECALLINFO::dwCallerIDOffset},
         {&LINECALLINFO::dwCallerIDNameSize, &LINECALLINFO::dwCallerIDNameOffset},
         {&LINECALLINFO::dwCalledIDSize, &LINECALLINFO::dwCalledIDOffset},
         {&LINECALLINFO::dwDisplaySize, &LINECALLINFO::dwDisplayOffset},
         {&LINECALLINFO::dwUserUserInfoSize, &LINECALLINFO::dwUserUserInfoOffset}});

    LINECALLSTATUS status{};
    status.dwTotalSize = 55;
    EXPECT_EQ(lineGetCallStatus(call, &status), LINEERR_STRUCTURETOOSMALL);
    status.dwTotalSize = sizeof status;
    ASSERT_EQ(lineGetCallStatus(call, &status), 0);
    EXPECT_EQ(status.dwCallState, LINECALLSTATE_OFFERING);
    EXPECT_EQ(status.dwCallPrivilege, LINECALLPRIVILEGE_OWNER);
    EXPECT_NE(status.dwCallFeatures & LINECALLFEATURE_ANSWER, 0u);
}

TEST_F(ServiceTest, PhoneCapsFixedPartDependsOnTheVersion)
{
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwOptions = PHONEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    DWORD version = TAPI_VERSION_2_2;
    DWORD phones = 0;
    HPHONEAPP app = 0;
    ASSERT_EQ(phoneInitializeExW(&app, nullptr, Callback, nullptr, &phones, &version, &params), 0);
    auto b = Buffer<PHONECAPS>(180);
    auto* caps = reinterpret_cast<PHONECAPS*>(b.data());
    EXPECT_EQ(phoneGetDevCapsW(app, 0, TAPI_VERSION_2_2, 0, caps), PHONEERR_STRUCTURETOOSMALL);
    ASSERT_EQ(phoneGetDevCapsW(app, 0, TAPI_VERSION_2_0, 0, caps), 0);
    EXPECT_EQ(caps->dwUsedSize, 180u);
    b = Buffer<PHONECAPS>(caps->dwNeededSize + 16);
    caps = reinterpret_cast<PHONECAPS*>(b.data());
    ASSERT_EQ(phoneGetDevCapsW(app, 0, TAPI_VERSION_2_2, 0, caps), 0);
    EXPECT_EQ(caps->dwNumButtonLamps, 2u);
    EXPECT_EQ(caps->dwDisplayNumRows, 2u);
    EXPECT_EQ(caps->dwHookSwitchDevs, PHONEHOOKSWITCHDEV_HANDSET | PHONEHOOKSWITCHDEV_SPEAKER);
    EXPECT_EQ(WideAt(b, caps->dwPhoneNameOffset, caps->dwPhoneNameSize), QStringLiteral("Simulated phone"));
    ExpectConsistent<PHONECAPS>(b, sizeof(PHONECAPS),
                                {{&PHONECAPS::dwPhoneNameSize, &PHONECAPS::dwPhoneNameOffset},
                                 {&PHONECAPS::dwProviderInfoSize, &PHONECAPS::dwProviderInfoOffset},
                                 {&PHONECAPS::dwLampModesSize, &PHONECAPS::dwLampModesOffset},
                                 {&PHONECAPS::dwDeviceClassesSize, &PHONECAPS::dwDeviceClassesOffset}});
    EXPECT_EQ(phoneGetDevCapsW(app, 1, TAPI_VERSION_2_2, 0, caps), PHONEERR_BADDEVICEID);
    phoneShutdown(app);
}

TEST_F(ServiceTest, DeviceConfigurationComesInAVarString)
{
    Init();
    VARSTRING header{};
    header.dwTotalSize = sizeof header;
    ASSERT_EQ(lineGetDevConfigW(0, &header, u"comm/datamodem"), 0);
    EXPECT_EQ(header.dwUsedSize, sizeof(VARSTRING));
    EXPECT_EQ(header.dwNeededSize, sizeof(VARSTRING) + modemcfg::kModemConfigSize);
    EXPECT_EQ(header.dwStringFormat, STRINGFORMAT_BINARY);

    auto b = Buffer<VARSTRING>(2048);
    auto* vs = reinterpret_cast<VARSTRING*>(b.data());
    ASSERT_EQ(lineGetDevConfigW(0, vs, u"comm/datamodem"), 0);
    QByteArray block(reinterpret_cast<const char*>(b.data() + vs->dwStringOffset), vs->dwStringSize);
    EXPECT_EQ(modemcfg::ReadDword(block, modemcfg::kProviderSubtypeOffset), modemcfg::kProviderSubtypeModem);

    modemcfg::WriteDword(block, modemcfg::kSpeakerVolumeOffset, 2);
    modemcfg::WriteWord(block, modemcfg::kOptionsOffset, modemcfg::kOptionShowIcon);
    ASSERT_EQ(lineSetDevConfigW(0, block.constData(), static_cast<DWORD>(block.size()), u"comm/datamodem"),
              0);
    EXPECT_EQ(m_sim->DevConfig(0), block);
    EXPECT_EQ(lineGetDevConfigW(0, vs, u"wave/in"), LINEERR_INVALDEVICECLASS);
    EXPECT_EQ(lineGetDevConfigW(7, vs, u"comm/datamodem"), LINEERR_BADDEVICEID);
    vs->dwTotalSize = 23;
    EXPECT_EQ(lineGetDevConfigW(0, vs, u"comm/datamodem"), LINEERR_STRUCTURETOOSMALL);

    // A VARSTRING one byte into a larger buffer, as a saved configuration
    // keeps it: the service reads and writes it byte-wise.
    std::vector<unsigned char> raw(1025, 0);
    const DWORD total = 1024;
    std::memcpy(raw.data() + 1, &total, sizeof total);
    ASSERT_EQ(lineGetDevConfigW(0, reinterpret_cast<VARSTRING*>(raw.data() + 1), u"comm/datamodem"), 0);
    VARSTRING got{};
    std::memcpy(&got, raw.data() + 1, sizeof got);
    EXPECT_EQ(got.dwStringOffset, sizeof(VARSTRING));
    EXPECT_EQ(
        QByteArray(reinterpret_cast<const char*>(raw.data() + 1 + got.dwStringOffset), got.dwStringSize),
        m_sim->DevConfig(0));
}

TEST_F(ServiceTest, StructuresTheServiceAcceptsAreBoundsChecked)
{
    const HLINEAPP app = Init();
    const HLINE line = Open(app, 0);

    // Call parameters: the fixed part, then every string inside dwTotalSize.
    std::vector<unsigned char> block(sizeof(LINECALLPARAMS) + 32, 0);
    auto* p = reinterpret_cast<LINECALLPARAMS*>(block.data());
    p->dwTotalSize = sizeof(LINECALLPARAMS) - 4;
    p->dwBearerMode = LINEBEARERMODE_VOICE;
    p->dwMediaMode = LINEMEDIAMODE_DATAMODEM;
    p->dwAddressMode = LINEADDRESSMODE_ADDRESSID;
    HCALL call = 0;
    EXPECT_EQ(lineMakeCallW(line, &call, u"1", 0, p), LINEERR_STRUCTURETOOSMALL);
    p->dwTotalSize = static_cast<DWORD>(block.size());
    p->dwCommentSize = 8;
    p->dwCommentOffset = p->dwTotalSize - 4; // runs past the end
    EXPECT_EQ(lineMakeCallW(line, &call, u"1", 0, p), LINEERR_INVALCALLPARAMS);
    p->dwCommentOffset = 8; // inside the fixed part
    EXPECT_EQ(lineMakeCallW(line, &call, u"1", 0, p), LINEERR_INVALCALLPARAMS);
    p->dwCommentOffset = 0xFFFFFFF0u; // would wrap around
    EXPECT_EQ(lineMakeCallW(line, &call, u"1", 0, p), LINEERR_INVALCALLPARAMS);
    p->dwCommentOffset = sizeof(LINECALLPARAMS);
    EXPECT_GT(lineMakeCallW(line, &call, u"1", 0, p), 0);
    EXPECT_EQ(m_sim->CountOf(QStringLiteral("lineMakeCall")),
              1); // the refused ones never reached the exchange
    p->dwAddressID = 5;
    EXPECT_EQ(lineMakeCallW(line, &call, u"1", 0, p), LINEERR_INVALADDRESSID);
    p->dwAddressID = 0;
    p->dwBearerMode = LINEBEARERMODE_VOICE | LINEBEARERMODE_DATA;
    EXPECT_EQ(lineMakeCallW(line, &call, u"1", 0, p), LINEERR_INVALBEARERMODE);

    LINEINITIALIZEEXPARAMS init{};
    init.dwTotalSize = sizeof init - 1;
    init.dwOptions = LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    DWORD version = TAPI_VERSION_2_2;
    DWORD devs = 0;
    HLINEAPP other = 0;
    EXPECT_EQ(lineInitializeExW(&other, nullptr, Callback, nullptr, &devs, &version, &init),
              LINEERR_STRUCTURETOOSMALL);
    init.dwTotalSize = sizeof init;
    init.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    EXPECT_EQ(lineInitializeExW(&other, nullptr, Callback, nullptr, &devs, &version, &init),
              LINEERR_OPERATIONUNAVAIL);

    EXPECT_EQ(lineSetDevConfigW(0, "x", 0, u"comm/datamodem"), LINEERR_INVALPARAM);
    EXPECT_EQ(lineSetDevConfigW(0, nullptr, 4, u"comm/datamodem"), LINEERR_INVALPOINTER);
    EXPECT_EQ(lineSetDevConfigW(0, "abcd", 4, nullptr), LINEERR_INVALPOINTER);

    VARSTRING vs{};
    vs.dwTotalSize = sizeof vs - 1;
    EXPECT_EQ(lineGetIDW(line, 0, 0, LINECALLSELECT_LINE, &vs, u"wave/in"), LINEERR_STRUCTURETOOSMALL);
    vs.dwTotalSize = sizeof vs;
    EXPECT_EQ(lineGetIDW(line, 0, 0, 0x40, &vs, u"wave/in"), LINEERR_INVALCALLSELECT);
    EXPECT_EQ(lineGetIDW(line, 3, 0, LINECALLSELECT_ADDRESS, &vs, u"wave/in"), LINEERR_INVALADDRESSID);
}

TEST_F(ServiceTest, VersionNegotiationAndOpeningRules)
{
    // The older initialisation still works, and needs its callback.
    HLINEAPP oldApp = 0;
    DWORD lines = 0;
    EXPECT_EQ(lineInitialize(&oldApp, nullptr, nullptr, "app", &lines), LINEERR_INVALPOINTER);
    ASSERT_EQ(lineInitialize(&oldApp, nullptr, Callback, "app", &lines), 0);
    EXPECT_EQ(lines, 2u);
    HPHONEAPP oldPhones = 0;
    DWORD phones = 0;
    ASSERT_EQ(phoneInitialize(&oldPhones, nullptr, Callback, "app", &phones), 0);
    EXPECT_EQ(phones, 1u);
    EXPECT_EQ(lineShutdown(oldPhones), LINEERR_INVALAPPHANDLE); // a phone handle is no line handle
    EXPECT_EQ(phoneShutdown(oldPhones), 0);
    EXPECT_EQ(lineShutdown(oldApp), 0);
    EXPECT_EQ(lineShutdown(oldApp), LINEERR_INVALAPPHANDLE);

    const HLINEAPP app = Init();
    DWORD version = 0;
    LINEEXTENSIONID ext{};
    EXPECT_EQ(lineNegotiateAPIVersion(app, 0, TAPI_VERSION_1_3, TAPI_VERSION_2_2, &version, &ext), 0);
    EXPECT_EQ(version, TAPI_VERSION_2_2);
    EXPECT_EQ(lineNegotiateAPIVersion(app, 0, TAPI_VERSION_1_3, TAPI_VERSION_2_0, &version, &ext), 0);
    EXPECT_EQ(version, TAPI_VERSION_2_0);
    EXPECT_EQ(lineNegotiateAPIVersion(app, 0, 0x00030000, 0x00030001, &version, &ext),
              LINEERR_INCOMPATIBLEAPIVERSION);
    EXPECT_EQ(lineNegotiateAPIVersion(app, 2, TAPI_VERSION_1_3, TAPI_VERSION_2_2, &version, &ext),
              LINEERR_BADDEVICEID);
    EXPECT_EQ(lineNegotiateAPIVersion(app + 1, 0, TAPI_VERSION_1_3, TAPI_VERSION_2_2, &version, &ext),
              LINEERR_INVALAPPHANDLE);

    HLINE line = 0;
    // An owner must name media modes the line has; a monitor needs none.
    EXPECT_EQ(lineOpenW(app, 0, &line, TAPI_VERSION_2_2, 0, 0, LINECALLPRIVILEGE_OWNER, 0, nullptr),
              LINEERR_INVALMEDIAMODE);
    EXPECT_EQ(lineOpenW(app, 0, &line, TAPI_VERSION_2_2, 0, 0, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_TELEX,
                        nullptr),
              LINEERR_INVALMEDIAMODE);
    EXPECT_EQ(lineOpenW(app, 0, &line, TAPI_VERSION_2_2, 0, 0, LINECALLPRIVILEGE_MONITOR, 0, nullptr), 0);
    EXPECT_TRUE(m_sim->IsLineOpen(0));
    EXPECT_EQ(lineSetStatusMessages(line, LINEDEVSTATE_RINGING, 0), 0);
    EXPECT_EQ(lineSetStatusMessages(line, LINEDEVSTATE_BATTERY, 0), LINEERR_INVALLINESTATE);
    EXPECT_EQ(lineClose(line), 0);
    EXPECT_FALSE(m_sim->IsLineOpen(0));
    EXPECT_EQ(lineClose(line), LINEERR_INVALLINEHANDLE);
}

} // namespace
} // namespace tapitest
