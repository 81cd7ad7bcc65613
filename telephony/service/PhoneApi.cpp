// The phone functions of the API.
#include "telephony/service/Core.h"
#include "telephony/service/Tapi.h"

namespace tapi {

using detail::Charset;
using detail::Core;
using detail::Device;
using detail::PhoneOpen;
using detail::VarWriter;

namespace {

bool VersionSupported(DWORD version)
{
    return version >= TAPI_VERSION_1_3 && version <= TAPI_VERSION_2_2;
}

bool SingleBit(DWORD value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

LONG Screen(const Device& dev, const char* function, std::vector<DWORD> args, const QString& text = {})
{
    ApiRequest request;
    request.function = function;
    request.phone = dev.local;
    request.args = std::move(args);
    request.text = text;
    return dev.provider->Screen(request);
}

struct PhoneContext
{
    Core* core = nullptr;
    PhoneOpen* open = nullptr;
    const Device* device = nullptr;

    explicit PhoneContext(HPHONE h)
    {
        core = Core::Get();
        if (core == nullptr)
            return;
        open = core->FindPhoneOpen(h);
        if (open != nullptr)
            device = core->Phone(open->device);
        if (device == nullptr)
            open = nullptr;
    }
    bool valid() const { return open != nullptr; }
    bool owner() const { return open->privilege == PHONEPRIVILEGE_OWNER; }
    PhoneDeviceInfo Info() const { return device->provider->PhoneInfo(device->local); }
};

template <typename Start> LONG StartPhoneRequest(PhoneContext& ctx, Start&& start)
{
    const RequestId id = ctx.core->NextRequestId();
    detail::PendingRequest pending;
    pending.id = id;
    pending.phone = true;
    pending.app = ctx.open->app;
    pending.open = ctx.open->handle;
    pending.instance = ctx.open->instance;
    ctx.core->AddPending(pending);
    const LONG result = start(id);
    if (result < 0) {
        ctx.core->CompleteRequestSilently(id);
        return result;
    }
    return static_cast<LONG>(id);
}

LONG InitializePhone(LPHPHONEAPP app, PHONECALLBACK callback, LPDWORD numDevs, DWORD version)
{
    Core* core = Core::Get();
    if (core == nullptr)
        return PHONEERR_NODRIVER;
    if (app == nullptr || numDevs == nullptr || callback == nullptr)
        return PHONEERR_INVALPOINTER;
    *app = core->AddApp(true, callback, version);
    *numDevs = core->PhoneCount();
    return 0;
}

LONG GetDevCaps(HPHONEAPP app, DWORD deviceId, DWORD version, DWORD extVersion, LPPHONECAPS caps, Charset cs)
{
    Core* core = Core::Get();
    if (core == nullptr || core->FindApp(app, true) == nullptr)
        return PHONEERR_INVALAPPHANDLE;
    const Device* dev = core->Phone(deviceId);
    if (dev == nullptr)
        return PHONEERR_BADDEVICEID;
    if (!VersionSupported(version))
        return PHONEERR_INCOMPATIBLEAPIVERSION;
    if (extVersion != 0)
        return PHONEERR_INCOMPATIBLEEXTVERSION;
    if (caps == nullptr)
        return PHONEERR_INVALPOINTER;
    const DWORD fixed = detail::FixedPhoneCaps(version);
    if (detail::TotalSize(caps) < fixed)
        return PHONEERR_STRUCTURETOOSMALL;
    if (LONG r = Screen(*dev, "phoneGetDevCaps", {deviceId, version, detail::TotalSize(caps)}); r < 0)
        return r;
    const PhoneDeviceInfo info = dev->provider->PhoneInfo(dev->local);
    const DWORD fmt = detail::StructureFormat(info.stringFormat, cs);
    VarWriter<PHONECAPS> w(fixed);
    PHONECAPS& f = w.Fixed();
    f.dwPermanentPhoneID = info.permanentPhoneId;
    f.dwStringFormat = fmt;
    f.dwPhoneStates = info.phoneStates;
    f.dwHookSwitchDevs = info.hookSwitchDevs;
    f.dwHandsetHookSwitchModes = info.handsetHookSwitchModes;
    f.dwSpeakerHookSwitchModes = info.speakerHookSwitchModes;
    f.dwHeadsetHookSwitchModes = info.headsetHookSwitchModes;
    f.dwVolumeFlags = info.volumeFlags;
    f.dwGainFlags = info.gainFlags;
    f.dwDisplayNumRows = info.displayNumRows;
    f.dwDisplayNumColumns = info.displayNumColumns;
    f.dwNumRingModes = info.numRingModes;
    f.dwNumButtonLamps = info.numButtonLamps;
    if (fixed >= 180) {
        f.dwSettableHandsetHookSwitchModes = info.handsetHookSwitchModes;
        f.dwSettableSpeakerHookSwitchModes = info.speakerHookSwitchModes;
        f.dwSettableHeadsetHookSwitchModes = info.headsetHookSwitchModes;
        f.dwMonitoredHandsetHookSwitchModes = info.handsetHookSwitchModes;
        f.dwMonitoredSpeakerHookSwitchModes = info.speakerHookSwitchModes;
        f.dwMonitoredHeadsetHookSwitchModes = info.headsetHookSwitchModes;
    }
    w.Add(&PHONECAPS::dwProviderInfoSize, &PHONECAPS::dwProviderInfoOffset,
          detail::EncodeString(info.providerInfo, fmt));
    w.Add(&PHONECAPS::dwPhoneInfoSize, &PHONECAPS::dwPhoneInfoOffset,
          detail::EncodeString(info.phoneInfo, fmt));
    w.Add(&PHONECAPS::dwPhoneNameSize, &PHONECAPS::dwPhoneNameOffset,
          detail::EncodeString(info.phoneName, fmt));
    QByteArray lampModes;
    for (DWORD i = 0; i < info.numButtonLamps; ++i) {
        const DWORD all = PHONELAMPMODE_OFF | PHONELAMPMODE_STEADY | PHONELAMPMODE_WINK | PHONELAMPMODE_FLASH;
        lampModes.append(reinterpret_cast<const char*>(&all), sizeof(DWORD));
    }
    w.Add(&PHONECAPS::dwLampModesSize, &PHONECAPS::dwLampModesOffset, lampModes);
    w.Add(&PHONECAPS::dwDeviceClassesSize, &PHONECAPS::dwDeviceClassesOffset,
          detail::EncodeStringList(info.deviceClasses, fmt));
    w.Write(caps, detail::TotalSize(caps));
    return 0;
}

LONG GetStatus(HPHONE hPhone, LPPHONESTATUS out)
{
    PhoneContext ctx(hPhone);
    if (!ctx.valid())
        return PHONEERR_INVALPHONEHANDLE;
    if (out == nullptr)
        return PHONEERR_INVALPOINTER;
    const DWORD fixed = detail::FixedPhoneStatus(ctx.open->apiVersion);
    if (detail::TotalSize(out) < fixed)
        return PHONEERR_STRUCTURETOOSMALL;
    if (LONG r = Screen(*ctx.device, "phoneGetStatus", {detail::TotalSize(out)}); r < 0)
        return r;
    PhoneStatusData data;
    if (LONG r = ctx.device->provider->GetPhoneStatus(ctx.device->local, data); r < 0)
        return r;
    DWORD owners = 0;
    DWORD monitors = 0;
    ctx.core->PhoneOpenCounts(ctx.open->device, owners, monitors);
    VarWriter<PHONESTATUS> w(fixed);
    PHONESTATUS& f = w.Fixed();
    f.dwStatusFlags = data.statusFlags;
    f.dwNumOwners = owners;
    f.dwNumMonitors = monitors;
    f.dwRingMode = data.ringMode;
    f.dwRingVolume = data.ringVolume;
    f.dwHandsetHookSwitchMode = data.handsetHookSwitchMode;
    f.dwHandsetVolume = data.handsetVolume;
    f.dwHandsetGain = data.handsetGain;
    f.dwSpeakerHookSwitchMode = data.speakerHookSwitchMode;
    f.dwSpeakerVolume = data.speakerVolume;
    f.dwSpeakerGain = data.speakerGain;
    f.dwHeadsetHookSwitchMode = data.headsetHookSwitchMode;
    f.dwHeadsetVolume = data.headsetVolume;
    f.dwHeadsetGain = data.headsetGain;
    w.Add(&PHONESTATUS::dwDisplaySize, &PHONESTATUS::dwDisplayOffset, data.display);
    QByteArray lamps;
    for (DWORD mode : data.lampModes)
        lamps.append(reinterpret_cast<const char*>(&mode), sizeof(DWORD));
    w.Add(&PHONESTATUS::dwLampModesSize, &PHONESTATUS::dwLampModesOffset, lamps);
    w.Write(out, detail::TotalSize(out));
    return 0;
}

LONG ReadStatus(PhoneContext& ctx, PhoneStatusData& data)
{
    return ctx.device->provider->GetPhoneStatus(ctx.device->local, data);
}

DWORD* VolumeField(PhoneStatusData& d, DWORD dev, bool gain)
{
    switch (dev) {
    case PHONEHOOKSWITCHDEV_HANDSET:
        return gain ? &d.handsetGain : &d.handsetVolume;
    case PHONEHOOKSWITCHDEV_SPEAKER:
        return gain ? &d.speakerGain : &d.speakerVolume;
    case PHONEHOOKSWITCHDEV_HEADSET:
        return gain ? &d.headsetGain : &d.headsetVolume;
    default:
        return nullptr;
    }
}

LONG GetLevel(HPHONE hPhone, DWORD dev, LPDWORD value, bool gain)
{
    PhoneContext ctx(hPhone);
    if (!ctx.valid())
        return PHONEERR_INVALPHONEHANDLE;
    if (value == nullptr)
        return PHONEERR_INVALPOINTER;
    const PhoneDeviceInfo info = ctx.Info();
    if (!SingleBit(dev) || (dev & info.hookSwitchDevs) == 0)
        return PHONEERR_INVALHOOKSWITCHDEV;
    if (LONG r = Screen(*ctx.device, gain ? "phoneGetGain" : "phoneGetVolume", {dev}); r < 0)
        return r;
    PhoneStatusData data;
    if (LONG r = ReadStatus(ctx, data); r < 0)
        return r;
    DWORD* field = VolumeField(data, dev, gain);
    if (field == nullptr)
        return PHONEERR_INVALHOOKSWITCHDEV;
    *value = *field;
    return 0;
}

LONG SetLevel(HPHONE hPhone, DWORD dev, DWORD value, bool gain)
{
    PhoneContext ctx(hPhone);
    if (!ctx.valid())
        return PHONEERR_INVALPHONEHANDLE;
    if (!ctx.owner())
        return PHONEERR_NOTOWNER;
    const PhoneDeviceInfo info = ctx.Info();
    if (!SingleBit(dev) || (dev & info.hookSwitchDevs) == 0)
        return PHONEERR_INVALHOOKSWITCHDEV;
    if ((dev & (gain ? info.gainFlags : info.volumeFlags)) == 0)
        return PHONEERR_OPERATIONUNAVAIL;
    if (value > 0xFFFF)
        return PHONEERR_INVALPARAM;
    if (LONG r = Screen(*ctx.device, gain ? "phoneSetGain" : "phoneSetVolume", {dev, value}); r < 0)
        return r;
    return StartPhoneRequest(ctx, [&](RequestId id) {
        return gain ? ctx.device->provider->SetGain(id, ctx.device->local, dev, value)
                    : ctx.device->provider->SetVolume(id, ctx.device->local, dev, value);
    });
}

} // namespace

LONG phoneInitializeExW(LPHPHONEAPP lphPhoneApp, HINSTANCE, PHONECALLBACK lpfnCallback, LPCWSTR,
                        LPDWORD lpdwNumDevs, LPDWORD lpdwAPIVersion, LPPHONEINITIALIZEEXPARAMS params)
{
    if (Core::Get() == nullptr)
        return PHONEERR_NODRIVER;
    if (lpdwAPIVersion == nullptr || params == nullptr)
        return PHONEERR_INVALPOINTER;
    if (detail::TotalSize(params) < sizeof(PHONEINITIALIZEEXPARAMS))
        return PHONEERR_STRUCTURETOOSMALL;
    PHONEINITIALIZEEXPARAMS init{};
    std::memcpy(&init, params, sizeof init);
    if (*lpdwAPIVersion < TAPI_VERSION_2_0)
        return PHONEERR_INCOMPATIBLEAPIVERSION;
    if (init.dwOptions != PHONEINITIALIZEEXOPTION_USEHIDDENWINDOW)
        return init.dwOptions == PHONEINITIALIZEEXOPTION_USEEVENT ||
                       init.dwOptions == PHONEINITIALIZEEXOPTION_USECOMPLETIONPORT
                   ? PHONEERR_OPERATIONUNAVAIL
                   : PHONEERR_INVALPARAM;
    const DWORD version = std::min(*lpdwAPIVersion, TAPI_CURRENT_VERSION);
    if (LONG r = InitializePhone(lphPhoneApp, lpfnCallback, lpdwNumDevs, version); r < 0)
        return r;
    init.dwNeededSize = sizeof(PHONEINITIALIZEEXPARAMS);
    init.dwUsedSize = sizeof(PHONEINITIALIZEEXPARAMS);
    std::memcpy(params, &init, sizeof init);
    *lpdwAPIVersion = TAPI_CURRENT_VERSION;
    return 0;
}

LONG phoneInitialize(LPHPHONEAPP lphPhoneApp, HINSTANCE, PHONECALLBACK lpfnCallback, LPCSTR,
                     LPDWORD lpdwNumDevs)
{
    return InitializePhone(lphPhoneApp, lpfnCallback, lpdwNumDevs, TAPI_VERSION_1_3);
}

LONG phoneShutdown(HPHONEAPP hPhoneApp)
{
    Core* core = Core::Get();
    if (core == nullptr || core->FindApp(hPhoneApp, true) == nullptr)
        return PHONEERR_INVALAPPHANDLE;
    core->RemoveApp(hPhoneApp);
    return 0;
}

LONG phoneNegotiateAPIVersion(HPHONEAPP hPhoneApp, DWORD dwDeviceID, DWORD low, DWORD high,
                              LPDWORD lpdwAPIVersion, LPPHONEEXTENSIONID lpExtensionID)
{
    Core* core = Core::Get();
    if (core == nullptr || core->FindApp(hPhoneApp, true) == nullptr)
        return PHONEERR_INVALAPPHANDLE;
    const Device* dev = core->Phone(dwDeviceID);
    if (dev == nullptr)
        return PHONEERR_BADDEVICEID;
    if (lpdwAPIVersion == nullptr || lpExtensionID == nullptr)
        return PHONEERR_INVALPOINTER;
    if (LONG r = Screen(*dev, "phoneNegotiateAPIVersion", {dwDeviceID, low, high}); r < 0)
        return r;
    if (low > high || high < TAPI_VERSION_1_3 || low > TAPI_CURRENT_VERSION)
        return PHONEERR_INCOMPATIBLEAPIVERSION;
    *lpdwAPIVersion = std::min(high, TAPI_CURRENT_VERSION);
    *lpExtensionID = PHONEEXTENSIONID{};
    return 0;
}

LONG phoneGetDevCapsW(HPHONEAPP app, DWORD dev, DWORD ver, DWORD ext, LPPHONECAPS caps)
{
    return GetDevCaps(app, dev, ver, ext, caps, Charset::Wide);
}

LONG phoneGetDevCaps(HPHONEAPP app, DWORD dev, DWORD ver, DWORD ext, LPPHONECAPS caps)
{
    return GetDevCaps(app, dev, ver, ext, caps, Charset::Narrow);
}

LONG phoneOpen(HPHONEAPP hPhoneApp, DWORD dwDeviceID, LPHPHONE lphPhone, DWORD dwAPIVersion,
               DWORD dwExtVersion, DWORD_PTR dwCallbackInstance, DWORD dwPrivilege)
{
    Core* core = Core::Get();
    if (core == nullptr || core->FindApp(hPhoneApp, true) == nullptr)
        return PHONEERR_INVALAPPHANDLE;
    const Device* dev = core->Phone(dwDeviceID);
    if (dev == nullptr)
        return PHONEERR_BADDEVICEID;
    if (lphPhone == nullptr)
        return PHONEERR_INVALPOINTER;
    if (!VersionSupported(dwAPIVersion))
        return PHONEERR_INCOMPATIBLEAPIVERSION;
    if (dwExtVersion != 0)
        return PHONEERR_INCOMPATIBLEEXTVERSION;
    if (dwPrivilege != PHONEPRIVILEGE_MONITOR && dwPrivilege != PHONEPRIVILEGE_OWNER)
        return PHONEERR_INVALPRIVILEGE;
    if (LONG r = Screen(*dev, "phoneOpen", {dwDeviceID, dwAPIVersion, dwPrivilege}); r < 0)
        return r;
    HPHONE handle = 0;
    if (LONG r =
            core->OpenPhone(hPhoneApp, dwDeviceID, dwAPIVersion, dwCallbackInstance, dwPrivilege, handle);
        r < 0)
        return r;
    *lphPhone = handle;
    return 0;
}

LONG phoneClose(HPHONE hPhone)
{
    PhoneContext ctx(hPhone);
    if (!ctx.valid())
        return PHONEERR_INVALPHONEHANDLE;
    if (LONG r = Screen(*ctx.device, "phoneClose", {}); r < 0)
        return r;
    ctx.core->ClosePhoneOpen(hPhone);
    return 0;
}

LONG phoneSetStatusMessages(HPHONE hPhone, DWORD dwPhoneStates, DWORD dwButtonModes, DWORD dwButtonStates)
{
    PhoneContext ctx(hPhone);
    if (!ctx.valid())
        return PHONEERR_INVALPHONEHANDLE;
    if ((dwPhoneStates & ~ctx.Info().phoneStates) != 0)
        return PHONEERR_INVALPHONESTATE;
    if (LONG r =
            Screen(*ctx.device, "phoneSetStatusMessages", {dwPhoneStates, dwButtonModes, dwButtonStates});
        r < 0)
        return r;
    PhoneOpen* open = ctx.core->FindPhoneOpen(hPhone);
    if (open == nullptr)
        return PHONEERR_INVALPHONEHANDLE;
    open->phoneStates = dwPhoneStates;
    ctx.core->UpdatePhoneStatusMessages(open->device);
    return 0;
}

LONG phoneGetStatusW(HPHONE hPhone, LPPHONESTATUS status)
{
    return GetStatus(hPhone, status);
}

LONG phoneGetStatus(HPHONE hPhone, LPPHONESTATUS status)
{
    return GetStatus(hPhone, status);
}

LONG phoneGetDisplay(HPHONE hPhone, LPVARSTRING display)
{
    PhoneContext ctx(hPhone);
    if (!ctx.valid())
        return PHONEERR_INVALPHONEHANDLE;
    if (display == nullptr)
        return PHONEERR_INVALPOINTER;
    if (detail::TotalSize(display) < sizeof(VARSTRING))
        return PHONEERR_STRUCTURETOOSMALL;
    const PhoneDeviceInfo info = ctx.Info();
    if (info.displayNumRows == 0 && info.displayNumColumns == 0)
        return PHONEERR_OPERATIONUNAVAIL;
    if (LONG r = Screen(*ctx.device, "phoneGetDisplay", {detail::TotalSize(display)}); r < 0)
        return r;
    PhoneStatusData data;
    if (LONG r = ReadStatus(ctx, data); r < 0)
        return r;
    VarWriter<VARSTRING> w(sizeof(VARSTRING));
    w.Fixed().dwStringFormat = info.stringFormat;
    w.Add(&VARSTRING::dwStringSize, &VARSTRING::dwStringOffset, data.display);
    w.Write(display, detail::TotalSize(display));
    return 0;
}

LONG phoneSetDisplay(HPHONE hPhone, DWORD dwRow, DWORD dwColumn, LPCSTR lpsDisplay, DWORD dwSize)
{
    PhoneContext ctx(hPhone);
    if (!ctx.valid())
        return PHONEERR_INVALPHONEHANDLE;
    if (!ctx.owner())
        return PHONEERR_NOTOWNER;
    const PhoneDeviceInfo info = ctx.Info();
    if (dwRow >= std::max<DWORD>(info.displayNumRows, 1) ||
        dwColumn >= std::max<DWORD>(info.displayNumColumns, 1) ||
        (info.displayNumRows == 0 && info.displayNumColumns == 0))
        return PHONEERR_INVALPARAM;
    if (dwSize > 0 && lpsDisplay == nullptr)
        return PHONEERR_INVALPOINTER;
    // A display holds rows x columns characters of at most two bytes each.
    if (dwSize > 2 * std::max<DWORD>(info.displayNumRows, 1) * std::max<DWORD>(info.displayNumColumns, 1))
        return PHONEERR_INVALPARAM;
    const QByteArray text =
        dwSize > 0 ? QByteArray(lpsDisplay, static_cast<qsizetype>(dwSize)) : QByteArray();
    if (LONG r = Screen(*ctx.device, "phoneSetDisplay", {dwRow, dwColumn, dwSize},
                        QString::fromLatin1(text.toHex()));
        r < 0)
        return r;
    return StartPhoneRequest(ctx, [&](RequestId id) {
        return ctx.device->provider->SetDisplay(id, ctx.device->local, dwRow, dwColumn, text);
    });
}

LONG phoneGetHookSwitch(HPHONE hPhone, LPDWORD lpdwHookSwitchDevs)
{
    PhoneContext ctx(hPhone);
    if (!ctx.valid())
        return PHONEERR_INVALPHONEHANDLE;
    if (lpdwHookSwitchDevs == nullptr)
        return PHONEERR_INVALPOINTER;
    if (LONG r = Screen(*ctx.device, "phoneGetHookSwitch", {}); r < 0)
        return r;
    PhoneStatusData data;
    if (LONG r = ReadStatus(ctx, data); r < 0)
        return r;
    DWORD offHook = 0;
    if (data.handsetHookSwitchMode != PHONEHOOKSWITCHMODE_ONHOOK)
        offHook |= PHONEHOOKSWITCHDEV_HANDSET;
    if (data.speakerHookSwitchMode != PHONEHOOKSWITCHMODE_ONHOOK)
        offHook |= PHONEHOOKSWITCHDEV_SPEAKER;
    if (data.headsetHookSwitchMode != PHONEHOOKSWITCHMODE_ONHOOK)
        offHook |= PHONEHOOKSWITCHDEV_HEADSET;
    *lpdwHookSwitchDevs = offHook & ctx.Info().hookSwitchDevs;
    return 0;
}

LONG phoneSetHookSwitch(HPHONE hPhone, DWORD dwHookSwitchDevs, DWORD dwHookSwitchMode)
{
    PhoneContext ctx(hPhone);
    if (!ctx.valid())
        return PHONEERR_INVALPHONEHANDLE;
    if (!ctx.owner())
        return PHONEERR_NOTOWNER;
    const PhoneDeviceInfo info = ctx.Info();
    if (dwHookSwitchDevs == 0 || (dwHookSwitchDevs & ~info.hookSwitchDevs) != 0)
        return PHONEERR_INVALHOOKSWITCHDEV;
    const DWORD known = PHONEHOOKSWITCHMODE_ONHOOK | PHONEHOOKSWITCHMODE_MIC | PHONEHOOKSWITCHMODE_SPEAKER |
                        PHONEHOOKSWITCHMODE_MICSPEAKER;
    if (!SingleBit(dwHookSwitchMode) || (dwHookSwitchMode & known) == 0)
        return PHONEERR_INVALHOOKSWITCHMODE;
    if (LONG r = Screen(*ctx.device, "phoneSetHookSwitch", {dwHookSwitchDevs, dwHookSwitchMode}); r < 0)
        return r;
    return StartPhoneRequest(ctx, [&](RequestId id) {
        return ctx.device->provider->SetHookSwitch(id, ctx.device->local, dwHookSwitchDevs, dwHookSwitchMode);
    });
}

LONG phoneGetRing(HPHONE hPhone, LPDWORD lpdwRingMode, LPDWORD lpdwVolume)
{
    PhoneContext ctx(hPhone);
    if (!ctx.valid())
        return PHONEERR_INVALPHONEHANDLE;
    if (lpdwRingMode == nullptr || lpdwVolume == nullptr)
        return PHONEERR_INVALPOINTER;
    if (LONG r = Screen(*ctx.device, "phoneGetRing", {}); r < 0)
        return r;
    PhoneStatusData data;
    if (LONG r = ReadStatus(ctx, data); r < 0)
        return r;
    *lpdwRingMode = data.ringMode;
    *lpdwVolume = data.ringVolume;
    return 0;
}

LONG phoneSetRing(HPHONE hPhone, DWORD dwRingMode, DWORD dwVolume)
{
    PhoneContext ctx(hPhone);
    if (!ctx.valid())
        return PHONEERR_INVALPHONEHANDLE;
    if (!ctx.owner())
        return PHONEERR_NOTOWNER;
    if (dwRingMode > ctx.Info().numRingModes)
        return PHONEERR_INVALRINGMODE;
    if (dwVolume > 0xFFFF)
        return PHONEERR_INVALPARAM;
    if (LONG r = Screen(*ctx.device, "phoneSetRing", {dwRingMode, dwVolume}); r < 0)
        return r;
    return StartPhoneRequest(ctx, [&](RequestId id) {
        return ctx.device->provider->SetRing(id, ctx.device->local, dwRingMode, dwVolume);
    });
}

LONG phoneGetLamp(HPHONE hPhone, DWORD dwButtonLampID, LPDWORD lpdwLampMode)
{
    PhoneContext ctx(hPhone);
    if (!ctx.valid())
        return PHONEERR_INVALPHONEHANDLE;
    if (lpdwLampMode == nullptr)
        return PHONEERR_INVALPOINTER;
    if (dwButtonLampID >= ctx.Info().numButtonLamps)
        return PHONEERR_INVALBUTTONLAMPID;
    if (LONG r = Screen(*ctx.device, "phoneGetLamp", {dwButtonLampID}); r < 0)
        return r;
    PhoneStatusData data;
    if (LONG r = ReadStatus(ctx, data); r < 0)
        return r;
    *lpdwLampMode =
        dwButtonLampID < data.lampModes.size() ? data.lampModes[dwButtonLampID] : PHONELAMPMODE_UNKNOWN;
    return 0;
}

LONG phoneSetLamp(HPHONE hPhone, DWORD dwButtonLampID, DWORD dwLampMode)
{
    PhoneContext ctx(hPhone);
    if (!ctx.valid())
        return PHONEERR_INVALPHONEHANDLE;
    if (!ctx.owner())
        return PHONEERR_NOTOWNER;
    if (dwButtonLampID >= ctx.Info().numButtonLamps)
        return PHONEERR_INVALBUTTONLAMPID;
    if (!SingleBit(dwLampMode) || dwLampMode > PHONELAMPMODE_UNKNOWN)
        return PHONEERR_INVALLAMPMODE;
    if (LONG r = Screen(*ctx.device, "phoneSetLamp", {dwButtonLampID, dwLampMode}); r < 0)
        return r;
    return StartPhoneRequest(ctx, [&](RequestId id) {
        return ctx.device->provider->SetLamp(id, ctx.device->local, dwButtonLampID, dwLampMode);
    });
}

LONG phoneGetVolume(HPHONE hPhone, DWORD dev, LPDWORD volume)
{
    return GetLevel(hPhone, dev, volume, false);
}

LONG phoneSetVolume(HPHONE hPhone, DWORD dev, DWORD volume)
{
    return SetLevel(hPhone, dev, volume, false);
}

LONG phoneGetGain(HPHONE hPhone, DWORD dev, LPDWORD gain)
{
    return GetLevel(hPhone, dev, gain, true);
}

LONG phoneSetGain(HPHONE hPhone, DWORD dev, DWORD gain)
{
    return SetLevel(hPhone, dev, gain, true);
}

} // namespace tapi
