// The line functions of the API: argument checks, then the core and the
// provider of the device.
#include "telephony/service/Core.h"
#include "telephony/service/Tapi.h"

#include <fcntl.h>
#include <unistd.h>

namespace tapi {

using detail::Call;
using detail::CallHandle;
using detail::Charset;
using detail::Core;
using detail::Device;
using detail::LineOpen;
using detail::VarWriter;

namespace {

constexpr qsizetype kMaxAddressChars = 512;
constexpr DWORD kMaxUserUserInfo = 4096;
constexpr DWORD kMaxDevConfig = 0x10000;
constexpr DWORD kMaxDevSpecific = 0x1000;

bool VersionSupported(DWORD version)
{
    return version >= TAPI_VERSION_1_3 && version <= TAPI_VERSION_2_2;
}

QString Text(LPCWSTR wide)
{
    return detail::DecodeWide(wide);
}

QString Text(LPCSTR narrow)
{
    return detail::DecodeNarrow(narrow);
}

LONG Screen(const Device& dev, const char* function, CallId call, std::vector<DWORD> args,
            const QString& text = {})
{
    ApiRequest request;
    request.function = function;
    request.line = dev.local;
    request.call = call;
    request.args = std::move(args);
    request.text = text;
    return dev.provider->Screen(request);
}

// The pending entry of request `id`, made through `open`: its reply goes to
// that open's application.
detail::PendingRequest RequestThrough(RequestId id, const LineOpen& open)
{
    detail::PendingRequest pending;
    pending.id = id;
    pending.app = open.app;
    pending.open = open.handle;
    pending.instance = open.instance;
    return pending;
}

// What an API call on a call handle needs: the handle, its open, its call
// and the device; nullptr members mean the handle is not valid.
struct CallContext
{
    Core* core = nullptr;
    CallHandle* handle = nullptr;
    LineOpen* open = nullptr;
    Call* call = nullptr;
    const Device* device = nullptr;

    explicit CallContext(HCALL h)
    {
        core = Core::Get();
        if (core == nullptr)
            return;
        handle = core->FindHandle(h);
        if (handle == nullptr)
            return;
        open = core->FindOpen(handle->open);
        call = core->FindCall(handle->call);
        if (call != nullptr)
            device = core->Line(call->device);
        if (open == nullptr || call == nullptr || device == nullptr)
            handle = nullptr;
    }
    bool valid() const { return handle != nullptr; }
    bool owner() const { return handle->privilege == LINECALLPRIVILEGE_OWNER; }

    // The request may connect the call (answer, dial, pass-through, unhold):
    // a CONNECTED report waits for its reply.
    bool connects = false;
};

// The common shape of an asynchronous request on a call: the pending entry
// exists before the provider sees the request, since a provider may complete
// it from inside the call; a refusal removes it again.
template <typename Start>
LONG StartCallRequest(CallContext& ctx, Start&& start,
                      std::vector<detail::PendingRequest::NewCall> newCalls = {})
{
    Core* core = ctx.core;
    const RequestId id = core->NextRequestId();
    detail::PendingRequest pending = RequestThrough(id, *ctx.open);
    pending.newCalls = newCalls;
    if (ctx.connects)
        pending.connectsCall = ctx.call->id;
    core->AddPending(pending);
    const LONG result = start(id);
    if (result < 0) {
        core->CompleteRequestSilently(id);
        for (const auto& nc : newCalls)
            core->DropCallRecord(nc.call);
        return result;
    }
    return static_cast<LONG>(id);
}

LONG CheckUserUserInfo(LPCSTR info, DWORD size)
{
    if (size > 0 && info == nullptr)
        return LINEERR_INVALPOINTER;
    if (size > kMaxUserUserInfo)
        return LINEERR_USERUSERINFOTOOBIG;
    return 0;
}

QByteArray Bytes(LPCSTR data, DWORD size)
{
    return size > 0 ? QByteArray(data, static_cast<qsizetype>(size)) : QByteArray();
}

LONG CheckAddress(const QString& number)
{
    return number.size() > kMaxAddressChars ? LINEERR_INVALADDRESS : 0;
}

// A given address stays a non-null string even when it is empty, so that a
// provider can tell it from none at all.
QString GivenAddress(QString text)
{
    return text.isNull() ? QStringLiteral("") : text;
}

// --- Start and end ---------------------------------------------------------------

LONG InitializeLine(LPHLINEAPP lphLineApp, LINECALLBACK callback, LPDWORD lpdwNumDevs, DWORD apiVersion)
{
    Core* core = Core::Get();
    if (core == nullptr)
        return LINEERR_NODRIVER;
    if (lphLineApp == nullptr || lpdwNumDevs == nullptr || callback == nullptr)
        return LINEERR_INVALPOINTER;
    *lphLineApp = core->AddApp(false, callback, apiVersion);
    *lpdwNumDevs = core->LineCount();
    return 0;
}

// --- Capabilities ----------------------------------------------------------------

// What both capability queries check first, in this order: the application,
// the device, the versions, then the caller's structure.
LONG CheckCapsQuery(HLINEAPP app, DWORD deviceId, DWORD version, DWORD extVersion, const void* caps,
                    const Device*& dev)
{
    Core* core = Core::Get();
    if (core == nullptr || core->FindApp(app, false) == nullptr)
        return LINEERR_INVALAPPHANDLE;
    dev = core->Line(deviceId);
    if (dev == nullptr)
        return LINEERR_BADDEVICEID;
    if (!VersionSupported(version))
        return LINEERR_INCOMPATIBLEAPIVERSION;
    if (extVersion != 0)
        return LINEERR_INCOMPATIBLEEXTVERSION;
    if (caps == nullptr)
        return LINEERR_INVALPOINTER;
    return 0;
}

LONG GetDevCaps(HLINEAPP app, DWORD deviceId, DWORD version, DWORD extVersion, LPLINEDEVCAPS caps, Charset cs)
{
    const Device* dev = nullptr;
    if (LONG r = CheckCapsQuery(app, deviceId, version, extVersion, caps, dev); r != 0)
        return r;
    const DWORD fixed = detail::FixedLineDevCaps(version);
    if (detail::TotalSize(caps) < fixed)
        return LINEERR_STRUCTURETOOSMALL;
    if (LONG r = Screen(*dev, "lineGetDevCaps", 0, {deviceId, version, extVersion, detail::TotalSize(caps)});
        r < 0)
        return r;

    const LineDeviceInfo info = dev->provider->LineInfo(dev->local);
    const DWORD fmt = detail::StructureFormat(info.stringFormat, cs);
    VarWriter<LINEDEVCAPS> w(fixed);
    LINEDEVCAPS& f = w.Fixed();
    f.dwPermanentLineID = info.permanentLineId;
    f.dwStringFormat = fmt;
    f.dwAddressModes = info.addressModes;
    f.dwNumAddresses = info.numAddresses;
    f.dwBearerModes = info.bearerModes;
    f.dwMaxRate = info.maxRate;
    f.dwMediaModes = info.mediaModes;
    f.dwGenerateToneModes = info.generateToneModes;
    f.dwGenerateToneMaxNumFreq = info.generateToneMaxNumFreq;
    f.dwGenerateDigitModes = info.generateDigitModes;
    f.dwMonitorToneMaxNumFreq = info.monitorToneMaxNumFreq;
    f.dwMonitorToneMaxNumEntries = info.monitorToneMaxNumEntries;
    f.dwMonitorDigitModes = info.monitorDigitModes;
    f.dwDevCapFlags = info.devCapFlags;
    f.dwMaxNumActiveCalls = info.maxNumActiveCalls;
    f.dwAnswerMode = info.answerMode;
    f.dwRingModes = info.ringModes;
    f.dwLineStates = info.lineStates;
    f.dwUUIAcceptSize = kMaxUserUserInfo;
    f.dwUUIAnswerSize = kMaxUserUserInfo;
    f.dwUUIMakeCallSize = kMaxUserUserInfo;
    f.dwUUIDropSize = kMaxUserUserInfo;
    f.dwLineFeatures = info.lineFeatures;
    w.Add(&LINEDEVCAPS::dwProviderInfoSize, &LINEDEVCAPS::dwProviderInfoOffset,
          detail::EncodeString(info.providerInfo, fmt));
    w.Add(&LINEDEVCAPS::dwSwitchInfoSize, &LINEDEVCAPS::dwSwitchInfoOffset,
          detail::EncodeString(info.switchInfo, fmt));
    w.Add(&LINEDEVCAPS::dwLineNameSize, &LINEDEVCAPS::dwLineNameOffset,
          detail::EncodeString(info.lineName, fmt));
    w.Add(&LINEDEVCAPS::dwDevSpecificSize, &LINEDEVCAPS::dwDevSpecificOffset, info.devSpecific);
    w.Add(&LINEDEVCAPS::dwDeviceClassesSize, &LINEDEVCAPS::dwDeviceClassesOffset,
          detail::EncodeStringList(info.deviceClasses, fmt));
    w.Write(caps, detail::TotalSize(caps));
    return 0;
}

LONG GetAddressCaps(HLINEAPP app, DWORD deviceId, DWORD addressId, DWORD version, DWORD extVersion,
                    LPLINEADDRESSCAPS caps, Charset cs)
{
    const Device* dev = nullptr;
    if (LONG r = CheckCapsQuery(app, deviceId, version, extVersion, caps, dev); r != 0)
        return r;
    const DWORD fixed = detail::FixedAddressCaps(version);
    if (detail::TotalSize(caps) < fixed)
        return LINEERR_STRUCTURETOOSMALL;
    if (LONG r =
            Screen(*dev, "lineGetAddressCaps", 0, {deviceId, addressId, version, detail::TotalSize(caps)});
        r < 0)
        return r;
    AddressInfo info;
    if (LONG r = dev->provider->GetAddressInfo(dev->local, addressId, info); r < 0)
        return r;
    const LineDeviceInfo line = dev->provider->LineInfo(dev->local);
    const DWORD fmt = detail::StructureFormat(line.stringFormat, cs);
    VarWriter<LINEADDRESSCAPS> w(fixed);
    LINEADDRESSCAPS& f = w.Fixed();
    f.dwLineDeviceID = deviceId;
    f.dwAddressSharing = info.addressSharing;
    f.dwAddressStates = info.addressStates;
    f.dwCallInfoStates = info.callInfoStates;
    f.dwCallerIDFlags = info.callerIDFlags;
    f.dwCalledIDFlags = info.calledIDFlags;
    f.dwConnectedIDFlags = info.connectedIDFlags;
    f.dwCallStates = info.callStates;
    f.dwDialToneModes = info.dialToneModes;
    f.dwBusyModes = info.busyModes;
    f.dwSpecialInfo = info.specialInfo;
    f.dwDisconnectModes = info.disconnectModes;
    f.dwMaxNumActiveCalls = info.maxNumActiveCalls;
    f.dwMaxNumOnHoldCalls = info.maxNumOnHoldCalls;
    f.dwMaxNumOnHoldPendingCalls = info.maxNumOnHoldPendingCalls;
    f.dwMaxNumConference = info.maxNumConference;
    f.dwMaxNumTransConf = info.maxNumTransConf;
    f.dwAddrCapFlags = info.addrCapFlags;
    f.dwCallFeatures = info.callFeatures;
    f.dwTransferModes = info.transferModes;
    if (fixed >= 180)
        f.dwAddressFeatures = info.addressFeatures;
    if (fixed >= sizeof(LINEADDRESSCAPS))
        f.dwAvailableMediaModes = info.availableMediaModes;
    w.Add(&LINEADDRESSCAPS::dwAddressSize, &LINEADDRESSCAPS::dwAddressOffset,
          detail::EncodeString(info.address, fmt));
    w.Write(caps, detail::TotalSize(caps));
    return 0;
}

// --- Identifiers and configuration -------------------------------------------------

LONG GetID(HLINE hLine, DWORD addressId, HCALL hCall, DWORD select, LPVARSTRING out,
           const QString& deviceClass, bool classGiven, Charset cs)
{
    Core* core = Core::Get();
    if (core == nullptr)
        return LINEERR_UNINITIALIZED;
    LineOpen* open = nullptr;
    Call* call = nullptr;
    switch (select) {
    case LINECALLSELECT_LINE:
    case LINECALLSELECT_ADDRESS:
        open = core->FindOpen(hLine);
        if (open == nullptr)
            return LINEERR_INVALLINEHANDLE;
        break;
    case LINECALLSELECT_CALL: {
        CallContext ctx(hCall);
        if (!ctx.valid())
            return LINEERR_INVALCALLHANDLE;
        open = ctx.open;
        call = ctx.call;
        break;
    }
    default:
        return LINEERR_INVALCALLSELECT;
    }
    const DWORD deviceId = call != nullptr ? call->device : open->device;
    const Device* dev = core->Line(deviceId);
    if (select == LINECALLSELECT_ADDRESS && addressId >= dev->provider->LineInfo(dev->local).numAddresses)
        return LINEERR_INVALADDRESSID;
    if (!classGiven || out == nullptr)
        return LINEERR_INVALPOINTER;
    if (deviceClass.isEmpty())
        return LINEERR_INVALDEVICECLASS;
    if (detail::TotalSize(out) < sizeof(VARSTRING))
        return LINEERR_STRUCTURETOOSMALL;
    if (LONG r = Screen(*dev, "lineGetID", call ? call->id : 0, {addressId, select, detail::TotalSize(out)},
                        deviceClass);
        r < 0)
        return r;

    DeviceIdData data;
    if (deviceClass == QLatin1String("tapi/line")) {
        data.id = deviceId;
    } else {
        const LONG r =
            dev->provider->GetID(dev->local, addressId, call ? call->id : 0, select, deviceClass, data);
        if (r < 0)
            return r;
        if (deviceClass == QLatin1String("tapi/phone")) {
            const auto global = core->GlobalPhoneId(dev->provider, static_cast<int>(data.id));
            if (!global)
                return LINEERR_INVALDEVICECLASS;
            data.id = *global;
        }
    }

    const DWORD nameFormat = cs == Charset::Wide ? STRINGFORMAT_UNICODE : STRINGFORMAT_ASCII;
    QByteArray payload(sizeof(DWORD), '\0');
    if (data.fd >= 0) {
        QByteArray name = detail::EncodeString(data.name, nameFormat);
        if (name.isEmpty())
            name = cs == Charset::Wide ? QByteArray(2, '\0') : QByteArray(1, '\0');
        payload += name;
    }
    VarWriter<VARSTRING> w(sizeof(VARSTRING));
    w.Fixed().dwStringFormat = STRINGFORMAT_BINARY;
    const bool fits = sizeof(VARSTRING) + static_cast<DWORD>(payload.size()) <= detail::TotalSize(out);
    DWORD value = data.id;
    if (data.fd >= 0 && fits) {
        // The caller gets its own descriptor and closes it when it likes; the
        // provider's stays open for as long as the call lives. Nothing is
        // duplicated when the answer does not fit, so nothing can leak.
        const int copy = ::fcntl(data.fd, F_DUPFD_CLOEXEC, 0);
        if (copy < 0)
            return LINEERR_RESOURCEUNAVAIL;
        value = static_cast<DWORD>(copy);
    }
    std::memcpy(payload.data(), &value, sizeof(DWORD));
    w.Add(&VARSTRING::dwStringSize, &VARSTRING::dwStringOffset, payload);
    w.Write(out, detail::TotalSize(out));
    return 0;
}

LONG GetDevConfig(DWORD deviceId, LPVARSTRING out, const QString& deviceClass, bool classGiven)
{
    Core* core = Core::Get();
    if (core == nullptr)
        return LINEERR_NODRIVER;
    const Device* dev = core->Line(deviceId);
    if (dev == nullptr)
        return LINEERR_BADDEVICEID;
    if (out == nullptr || !classGiven)
        return LINEERR_INVALPOINTER;
    if (detail::TotalSize(out) < sizeof(VARSTRING))
        return LINEERR_STRUCTURETOOSMALL;
    if (deviceClass.isEmpty())
        return LINEERR_INVALDEVICECLASS;
    if (LONG r = Screen(*dev, "lineGetDevConfig", 0, {deviceId, detail::TotalSize(out)}, deviceClass); r < 0)
        return r;
    QByteArray config;
    if (LONG r = dev->provider->GetDevConfig(dev->local, deviceClass, config); r < 0)
        return r;
    VarWriter<VARSTRING> w(sizeof(VARSTRING));
    w.Fixed().dwStringFormat = STRINGFORMAT_BINARY;
    w.Add(&VARSTRING::dwStringSize, &VARSTRING::dwStringOffset, config);
    w.Write(out, detail::TotalSize(out));
    return 0;
}

LONG SetDevConfig(DWORD deviceId, const void* config, DWORD size, const QString& deviceClass, bool classGiven)
{
    Core* core = Core::Get();
    if (core == nullptr)
        return LINEERR_NODRIVER;
    const Device* dev = core->Line(deviceId);
    if (dev == nullptr)
        return LINEERR_BADDEVICEID;
    if (!classGiven || (config == nullptr && size > 0))
        return LINEERR_INVALPOINTER;
    if (deviceClass.isEmpty())
        return LINEERR_INVALDEVICECLASS;
    if (size == 0 || size > kMaxDevConfig)
        return LINEERR_INVALPARAM;
    if (LONG r = Screen(*dev, "lineSetDevConfig", 0, {deviceId, size}, deviceClass); r < 0)
        return r;
    return dev->provider->SetDevConfig(
        dev->local, deviceClass, QByteArray(static_cast<const char*>(config), static_cast<qsizetype>(size)));
}

LONG ConfigDialog(DWORD deviceId, HWND owner, const QString& deviceClass)
{
    Core* core = Core::Get();
    if (core == nullptr)
        return LINEERR_NODRIVER;
    const Device* dev = core->Line(deviceId);
    if (dev == nullptr)
        return LINEERR_BADDEVICEID;
    if (LONG r = Screen(*dev, "lineConfigDialog", 0, {deviceId}, deviceClass); r < 0)
        return r;
    Provider* provider = dev->provider;
    const int local = dev->local;
    if (auto handler = Core::ConfigDialogHandlerFor(provider->Name()))
        return handler(*provider, local, owner, deviceClass);
    return provider->ConfigDialog(local, owner, deviceClass);
}

// --- Open and close ------------------------------------------------------------------

LONG Open(HLINEAPP app, DWORD deviceId, LPHLINE lphLine, DWORD version, DWORD extVersion, DWORD_PTR instance,
          DWORD privileges, DWORD mediaModes, const LINECALLPARAMS* params, Charset cs)
{
    Core* core = Core::Get();
    if (core == nullptr || core->FindApp(app, false) == nullptr)
        return LINEERR_INVALAPPHANDLE;
    const Device* dev = core->Line(deviceId);
    if (dev == nullptr)
        return LINEERR_BADDEVICEID;
    if (lphLine == nullptr)
        return LINEERR_INVALPOINTER;
    if (!VersionSupported(version))
        return LINEERR_INCOMPATIBLEAPIVERSION;
    if (extVersion != 0)
        return LINEERR_INCOMPATIBLEEXTVERSION;
    const DWORD privilegeBits =
        privileges & (LINECALLPRIVILEGE_NONE | LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER);
    if (privilegeBits == 0 ||
        ((privileges & LINECALLPRIVILEGE_NONE) && (privileges & ~LINECALLPRIVILEGE_NONE & privilegeBits)))
        return LINEERR_INVALPRIVSELECT;
    const LineDeviceInfo info = dev->provider->LineInfo(dev->local);
    if (privileges & LINECALLPRIVILEGE_OWNER) {
        // An owner says which calls it takes; they must be calls the line has.
        if (mediaModes == 0 || (mediaModes & ~info.mediaModes) != 0)
            return LINEERR_INVALMEDIAMODE;
    }
    CallParamsData callParams;
    if (LONG r = detail::ReadCallParams(params, version, cs, callParams); r < 0)
        return r;
    if (LONG r = Screen(*dev, "lineOpen", 0, {deviceId, version, privileges, mediaModes}); r < 0)
        return r;
    HLINE handle = 0;
    if (LONG r = core->OpenLine(app, deviceId, version, instance, privileges, mediaModes, handle); r < 0)
        return r;
    *lphLine = handle;
    return 0;
}

// --- Calls ------------------------------------------------------------------------------

LONG MakeCall(HLINE hLine, LPHCALL lphCall, const QString& number, DWORD countryCode,
              const LINECALLPARAMS* params, Charset cs)
{
    Core* core = Core::Get();
    LineOpen* open = core ? core->FindOpen(hLine) : nullptr;
    if (open == nullptr)
        return LINEERR_INVALLINEHANDLE;
    if (lphCall == nullptr)
        return LINEERR_INVALPOINTER;
    const Device* dev = core->Line(open->device);
    CallParamsData callParams;
    if (LONG r = detail::ReadCallParams(params, open->apiVersion, cs, callParams); r < 0)
        return r;
    const LineDeviceInfo info = dev->provider->LineInfo(dev->local);
    const DWORD addressId =
        callParams.present && callParams.addressMode == LINEADDRESSMODE_ADDRESSID ? callParams.addressId : 0;
    if (addressId >= info.numAddresses)
        return LINEERR_INVALADDRESSID;
    if (callParams.present && (callParams.mediaMode == 0 || (callParams.mediaMode & ~info.mediaModes) != 0))
        return LINEERR_INVALMEDIAMODE;
    if (callParams.present && (callParams.bearerMode & info.bearerModes) == 0)
        return LINEERR_BEARERMODEUNAVAIL;
    if (LONG r = CheckAddress(number); r < 0)
        return r;
    if (LONG r = Screen(*dev, "lineMakeCall", 0,
                        {countryCode, callParams.bearerMode, callParams.mediaMode, callParams.minRate,
                         callParams.maxRate, callParams.addressId, callParams.dialParams.dwWaitForDialtone},
                        number);
        r < 0)
        return r;

    const RequestId id = core->NextRequestId();
    const CallId call = core->NewCallRecord(open->device, addressId, id);
    if (Call* c = core->FindCall(call))
        c->mediaMode = callParams.present ? callParams.mediaMode : LINEMEDIAMODE_INTERACTIVEVOICE;
    detail::PendingRequest pending = RequestThrough(id, *open);
    pending.newCalls.push_back({call, lphCall});
    core->AddPending(pending);
    const LONG r = dev->provider->MakeCall(id, dev->local, call, number, countryCode, callParams);
    if (r < 0) {
        core->CompleteRequestSilently(id);
        core->DropCallRecord(call);
        return r;
    }
    return static_cast<LONG>(id);
}

LONG Dial(HCALL hCall, const QString& number, bool given, DWORD countryCode)
{
    CallContext ctx(hCall);
    if (!ctx.valid())
        return LINEERR_INVALCALLHANDLE;
    if (!ctx.owner())
        return LINEERR_NOTOWNER;
    if (!given)
        return LINEERR_INVALPOINTER;
    if (LONG r = CheckAddress(number); r < 0)
        return r;
    if (LONG r = Screen(*ctx.device, "lineDial", ctx.call->id, {countryCode}, number); r < 0)
        return r;
    ctx.connects = true;
    return StartCallRequest(
        ctx, [&](RequestId id) { return ctx.device->provider->Dial(id, ctx.call->id, number, countryCode); });
}

DWORD CallFeaturesFor(DWORD state)
{
    switch (state) {
    case LINECALLSTATE_OFFERING:
        return LINECALLFEATURE_ACCEPT | LINECALLFEATURE_ANSWER | LINECALLFEATURE_DROP |
               LINECALLFEATURE_SETCALLPARAMS;
    case LINECALLSTATE_ACCEPTED:
        return LINECALLFEATURE_ANSWER | LINECALLFEATURE_DROP;
    case LINECALLSTATE_DIALTONE:
    case LINECALLSTATE_DIALING:
    case LINECALLSTATE_PROCEEDING:
    case LINECALLSTATE_RINGBACK:
        return LINECALLFEATURE_DIAL | LINECALLFEATURE_DROP;
    case LINECALLSTATE_CONNECTED:
        return LINECALLFEATURE_DROP | LINECALLFEATURE_HOLD | LINECALLFEATURE_SETCALLPARAMS |
               LINECALLFEATURE_MONITORDIGITS | LINECALLFEATURE_MONITORMEDIA | LINECALLFEATURE_MONITORTONES |
               LINECALLFEATURE_GENERATEDIGITS | LINECALLFEATURE_BLINDTRANSFER |
               LINECALLFEATURE_SETUPTRANSFER | LINECALLFEATURE_SETUPCONF | LINECALLFEATURE_COMPLETETRANSF;
    case LINECALLSTATE_ONHOLD:
    case LINECALLSTATE_ONHOLDPENDCONF:
    case LINECALLSTATE_ONHOLDPENDTRANSFER:
        return LINECALLFEATURE_UNHOLD | LINECALLFEATURE_DROP;
    case LINECALLSTATE_BUSY:
    case LINECALLSTATE_SPECIALINFO:
    case LINECALLSTATE_DISCONNECTED:
    case LINECALLSTATE_CONFERENCED:
        return LINECALLFEATURE_DROP;
    default:
        return 0;
    }
}

LONG GetCallInfo(HCALL hCall, LPLINECALLINFO out, Charset cs)
{
    CallContext ctx(hCall);
    if (!ctx.valid())
        return LINEERR_INVALCALLHANDLE;
    if (out == nullptr)
        return LINEERR_INVALPOINTER;
    const DWORD fixed = detail::FixedCallInfo(ctx.open->apiVersion);
    if (detail::TotalSize(out) < fixed)
        return LINEERR_STRUCTURETOOSMALL;
    if (LONG r = Screen(*ctx.device, "lineGetCallInfo", ctx.call->id, {detail::TotalSize(out)}); r < 0)
        return r;
    CallInfoData data;
    if (!ctx.call->released) {
        const CallId id = ctx.call->id;
        if (LONG r = ctx.device->provider->GetCallInfo(id, data); r < 0)
            return r;
        if (Call* call = ctx.core->FindCall(id))
            call->lastInfo = data;
    } else if (ctx.call->lastInfo) {
        data = *ctx.call->lastInfo;
    }
    const LineDeviceInfo line = ctx.device->provider->LineInfo(ctx.device->local);
    const DWORD fmt = detail::StructureFormat(line.stringFormat, cs);
    VarWriter<LINECALLINFO> w(fixed);
    LINECALLINFO& f = w.Fixed();
    f.hLine = ctx.open->handle;
    f.dwLineDeviceID = ctx.call->device;
    f.dwAddressID = ctx.call->addressId;
    f.dwBearerMode = data.bearerMode;
    f.dwRate = data.rate;
    f.dwMediaMode = data.mediaMode;
    f.dwAppSpecific = data.appSpecific;
    f.dwCallID = data.callId;
    f.dwRelatedCallID = data.relatedCallId;
    f.dwCallParamFlags = data.callParamFlags;
    f.dwCallStates = data.callStates;
    f.dwMonitorDigitModes = data.monitorDigitModes;
    f.dwMonitorMediaModes = data.monitorMediaModes;
    f.DialParams = data.dialParams;
    f.dwOrigin = data.origin;
    f.dwReason = data.reason;
    f.dwCompletionID = data.completionId;
    f.dwNumOwners = ctx.core->OwnerCount(*ctx.call);
    f.dwNumMonitors = ctx.core->MonitorCount(*ctx.call);
    f.dwCountryCode = data.countryCode;
    f.dwTrunk = data.trunk;
    f.dwCallerIDFlags = data.caller.flags;
    f.dwCalledIDFlags = data.called.flags;
    f.dwConnectedIDFlags = data.connected.flags;
    f.dwRedirectionIDFlags = data.redirection.flags;
    f.dwRedirectingIDFlags = data.redirecting.flags;
    if (fixed >= sizeof(LINECALLINFO))
        f.dwCallTreatment = data.callTreatment;
    auto str = [&](const QString& s) { return detail::EncodeString(s, fmt); };
    using I = LINECALLINFO;
    w.Add(&I::dwCallerIDSize, &I::dwCallerIDOffset, str(data.caller.number));
    w.Add(&I::dwCallerIDNameSize, &I::dwCallerIDNameOffset, str(data.caller.name));
    w.Add(&I::dwCalledIDSize, &I::dwCalledIDOffset, str(data.called.number));
    w.Add(&I::dwCalledIDNameSize, &I::dwCalledIDNameOffset, str(data.called.name));
    w.Add(&I::dwConnectedIDSize, &I::dwConnectedIDOffset, str(data.connected.number));
    w.Add(&I::dwConnectedIDNameSize, &I::dwConnectedIDNameOffset, str(data.connected.name));
    w.Add(&I::dwRedirectionIDSize, &I::dwRedirectionIDOffset, str(data.redirection.number));
    w.Add(&I::dwRedirectionIDNameSize, &I::dwRedirectionIDNameOffset, str(data.redirection.name));
    w.Add(&I::dwRedirectingIDSize, &I::dwRedirectingIDOffset, str(data.redirecting.number));
    w.Add(&I::dwRedirectingIDNameSize, &I::dwRedirectingIDNameOffset, str(data.redirecting.name));
    w.Add(&I::dwAppNameSize, &I::dwAppNameOffset, str(data.appName));
    w.Add(&I::dwDisplayableAddressSize, &I::dwDisplayableAddressOffset, str(data.displayableAddress));
    w.Add(&I::dwCalledPartySize, &I::dwCalledPartyOffset, str(data.calledParty));
    w.Add(&I::dwCommentSize, &I::dwCommentOffset, str(data.comment));
    w.Add(&I::dwDisplaySize, &I::dwDisplayOffset, str(data.display));
    w.Add(&I::dwUserUserInfoSize, &I::dwUserUserInfoOffset, data.userUserInfo);
    w.Add(&I::dwHighLevelCompSize, &I::dwHighLevelCompOffset, data.highLevelComp);
    w.Add(&I::dwLowLevelCompSize, &I::dwLowLevelCompOffset, data.lowLevelComp);
    w.Add(&I::dwChargingInfoSize, &I::dwChargingInfoOffset, data.chargingInfo);
    w.Add(&I::dwDevSpecificSize, &I::dwDevSpecificOffset, data.devSpecific);
    w.Add(&I::dwCallDataSize, &I::dwCallDataOffset, data.callData);
    w.Write(out, detail::TotalSize(out));
    return 0;
}

LONG Blind(HCALL hCall, const QString& number, bool given, DWORD countryCode)
{
    CallContext ctx(hCall);
    if (!ctx.valid())
        return LINEERR_INVALCALLHANDLE;
    if (!ctx.owner())
        return LINEERR_NOTOWNER;
    if (!given)
        return LINEERR_INVALPOINTER;
    if (LONG r = CheckAddress(number); r < 0)
        return r;
    if (LONG r = Screen(*ctx.device, "lineBlindTransfer", ctx.call->id, {countryCode}, number); r < 0)
        return r;
    return StartCallRequest(ctx, [&](RequestId id) {
        return ctx.device->provider->BlindTransfer(id, ctx.call->id, number, countryCode);
    });
}

LONG SetupTransfer(HCALL hCall, LPHCALL lphConsultCall, const LINECALLPARAMS* params, Charset cs)
{
    CallContext ctx(hCall);
    if (!ctx.valid())
        return LINEERR_INVALCALLHANDLE;
    if (!ctx.owner())
        return LINEERR_NOTOWNER;
    if (lphConsultCall == nullptr)
        return LINEERR_INVALPOINTER;
    CallParamsData callParams;
    if (LONG r = detail::ReadCallParams(params, ctx.open->apiVersion, cs, callParams); r < 0)
        return r;
    if (LONG r = Screen(*ctx.device, "lineSetupTransfer", ctx.call->id, {}); r < 0)
        return r;
    const CallId consult = ctx.core->NewCallRecord(ctx.call->device, ctx.call->addressId, 1);
    const CallId primary = ctx.call->id;
    const Device* dev = ctx.device;
    return StartCallRequest(
        ctx, [&](RequestId id) { return dev->provider->SetupTransfer(id, primary, consult, callParams); },
        {{consult, lphConsultCall}});
}

LONG SetupConference(HCALL hCall, HLINE hLine, LPHCALL lphConfCall, LPHCALL lphConsultCall, DWORD numParties,
                     const LINECALLPARAMS* params, Charset cs)
{
    Core* core = Core::Get();
    if (core == nullptr)
        return LINEERR_UNINITIALIZED;
    // With a call the conference grows from it; without one it starts on the line.
    LineOpen* open = nullptr;
    CallId primary = 0;
    DWORD addressId = 0;
    if (hCall != 0) {
        CallContext ctx(hCall);
        if (!ctx.valid())
            return LINEERR_INVALCALLHANDLE;
        if (!ctx.owner())
            return LINEERR_NOTOWNER;
        open = ctx.open;
        primary = ctx.call->id;
        addressId = ctx.call->addressId;
    } else {
        open = core->FindOpen(hLine);
        if (open == nullptr)
            return LINEERR_INVALLINEHANDLE;
    }
    if (lphConfCall == nullptr || lphConsultCall == nullptr)
        return LINEERR_INVALPOINTER;
    if (numParties < 2 || numParties > 32)
        return LINEERR_INVALPARAM;
    CallParamsData callParams;
    if (LONG r = detail::ReadCallParams(params, open->apiVersion, cs, callParams); r < 0)
        return r;
    const Device* dev = core->Line(open->device);
    if (LONG r = Screen(*dev, "lineSetupConference", primary, {numParties}); r < 0)
        return r;
    const CallId conf = core->NewCallRecord(open->device, addressId, 1);
    const CallId consult = core->NewCallRecord(open->device, addressId, 1);
    const RequestId id = core->NextRequestId();
    detail::PendingRequest pending = RequestThrough(id, *open);
    pending.newCalls = {{conf, lphConfCall}, {consult, lphConsultCall}};
    core->AddPending(pending);
    const LONG r =
        dev->provider->SetupConference(id, primary, dev->local, conf, consult, numParties, callParams);
    if (r < 0) {
        core->CompleteRequestSilently(id);
        core->DropCallRecord(conf);
        core->DropCallRecord(consult);
        return r;
    }
    return static_cast<LONG>(id);
}

} // namespace

// --- The API -----------------------------------------------------------------------------

LONG lineInitializeExW(LPHLINEAPP lphLineApp, HINSTANCE, LINECALLBACK lpfnCallback, LPCWSTR,
                       LPDWORD lpdwNumDevs, LPDWORD lpdwAPIVersion, LPLINEINITIALIZEEXPARAMS params)
{
    if (Core::Get() == nullptr)
        return LINEERR_NODRIVER;
    if (lpdwAPIVersion == nullptr || params == nullptr)
        return LINEERR_INVALPOINTER;
    if (detail::TotalSize(params) < sizeof(LINEINITIALIZEEXPARAMS))
        return LINEERR_STRUCTURETOOSMALL;
    LINEINITIALIZEEXPARAMS init{};
    std::memcpy(&init, params, sizeof init);
    if (*lpdwAPIVersion < TAPI_VERSION_2_0)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    if (init.dwOptions != LINEINITIALIZEEXOPTION_USEHIDDENWINDOW)
        return init.dwOptions == LINEINITIALIZEEXOPTION_USEEVENT ||
                       init.dwOptions == LINEINITIALIZEEXOPTION_USECOMPLETIONPORT
                   ? LINEERR_OPERATIONUNAVAIL
                   : LINEERR_INVALPARAM;
    const DWORD version = std::min(*lpdwAPIVersion, TAPI_CURRENT_VERSION);
    if (LONG r = InitializeLine(lphLineApp, lpfnCallback, lpdwNumDevs, version); r < 0)
        return r;
    init.dwNeededSize = sizeof(LINEINITIALIZEEXPARAMS);
    init.dwUsedSize = sizeof(LINEINITIALIZEEXPARAMS);
    std::memcpy(params, &init, sizeof init);
    *lpdwAPIVersion = TAPI_CURRENT_VERSION;
    return 0;
}

LONG lineInitialize(LPHLINEAPP lphLineApp, HINSTANCE, LINECALLBACK lpfnCallback, LPCSTR, LPDWORD lpdwNumDevs)
{
    return InitializeLine(lphLineApp, lpfnCallback, lpdwNumDevs, TAPI_VERSION_1_3);
}

LONG lineShutdown(HLINEAPP hLineApp)
{
    Core* core = Core::Get();
    if (core == nullptr || core->FindApp(hLineApp, false) == nullptr)
        return LINEERR_INVALAPPHANDLE;
    core->RemoveApp(hLineApp);
    return 0;
}

LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD low, DWORD high,
                             LPDWORD lpdwAPIVersion, LPLINEEXTENSIONID lpExtensionID)
{
    Core* core = Core::Get();
    if (core == nullptr || core->FindApp(hLineApp, false) == nullptr)
        return LINEERR_INVALAPPHANDLE;
    const Device* dev = core->Line(dwDeviceID);
    if (dev == nullptr)
        return LINEERR_BADDEVICEID;
    if (lpdwAPIVersion == nullptr || lpExtensionID == nullptr)
        return LINEERR_INVALPOINTER;
    if (LONG r = Screen(*dev, "lineNegotiateAPIVersion", 0, {dwDeviceID, low, high}); r < 0)
        return r;
    if (low > high || high < TAPI_VERSION_1_3 || low > TAPI_CURRENT_VERSION)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    *lpdwAPIVersion = std::min(high, TAPI_CURRENT_VERSION);
    *lpExtensionID = LINEEXTENSIONID{};
    return 0;
}

LONG lineGetDevCapsW(HLINEAPP app, DWORD dev, DWORD ver, DWORD ext, LPLINEDEVCAPS caps)
{
    return GetDevCaps(app, dev, ver, ext, caps, Charset::Wide);
}

LONG lineGetDevCaps(HLINEAPP app, DWORD dev, DWORD ver, DWORD ext, LPLINEDEVCAPS caps)
{
    return GetDevCaps(app, dev, ver, ext, caps, Charset::Narrow);
}

LONG lineGetAddressCapsW(HLINEAPP app, DWORD dev, DWORD addr, DWORD ver, DWORD ext, LPLINEADDRESSCAPS caps)
{
    return GetAddressCaps(app, dev, addr, ver, ext, caps, Charset::Wide);
}

LONG lineGetAddressCaps(HLINEAPP app, DWORD dev, DWORD addr, DWORD ver, DWORD ext, LPLINEADDRESSCAPS caps)
{
    return GetAddressCaps(app, dev, addr, ver, ext, caps, Charset::Narrow);
}

LONG lineGetIDW(HLINE hLine, DWORD addr, HCALL hCall, DWORD select, LPVARSTRING out, LPCWSTR cls)
{
    return GetID(hLine, addr, hCall, select, out, Text(cls), cls != nullptr, Charset::Wide);
}

LONG lineGetID(HLINE hLine, DWORD addr, HCALL hCall, DWORD select, LPVARSTRING out, LPCSTR cls)
{
    return GetID(hLine, addr, hCall, select, out, Text(cls), cls != nullptr, Charset::Narrow);
}

LONG lineGetDevConfigW(DWORD dev, LPVARSTRING out, LPCWSTR cls)
{
    return GetDevConfig(dev, out, Text(cls), cls != nullptr);
}

LONG lineGetDevConfig(DWORD dev, LPVARSTRING out, LPCSTR cls)
{
    return GetDevConfig(dev, out, Text(cls), cls != nullptr);
}

LONG lineSetDevConfigW(DWORD dev, const void* config, DWORD size, LPCWSTR cls)
{
    return SetDevConfig(dev, config, size, Text(cls), cls != nullptr);
}

LONG lineSetDevConfig(DWORD dev, const void* config, DWORD size, LPCSTR cls)
{
    return SetDevConfig(dev, config, size, Text(cls), cls != nullptr);
}

LONG lineConfigDialogW(DWORD dev, HWND owner, LPCWSTR cls)
{
    return ConfigDialog(dev, owner, Text(cls));
}

LONG lineConfigDialog(DWORD dev, HWND owner, LPCSTR cls)
{
    return ConfigDialog(dev, owner, Text(cls));
}

LONG lineOpenW(HLINEAPP app, DWORD dev, LPHLINE lphLine, DWORD ver, DWORD ext, DWORD_PTR instance,
               DWORD privileges, DWORD mediaModes, const LINECALLPARAMS* params)
{
    return Open(app, dev, lphLine, ver, ext, instance, privileges, mediaModes, params, Charset::Wide);
}

LONG lineOpen(HLINEAPP app, DWORD dev, LPHLINE lphLine, DWORD ver, DWORD ext, DWORD_PTR instance,
              DWORD privileges, DWORD mediaModes, const LINECALLPARAMS* params)
{
    return Open(app, dev, lphLine, ver, ext, instance, privileges, mediaModes, params, Charset::Narrow);
}

LONG lineClose(HLINE hLine)
{
    Core* core = Core::Get();
    LineOpen* open = core ? core->FindOpen(hLine) : nullptr;
    if (open == nullptr)
        return LINEERR_INVALLINEHANDLE;
    if (LONG r = Screen(*core->Line(open->device), "lineClose", 0, {}); r < 0)
        return r;
    core->CloseLineOpen(hLine);
    return 0;
}

LONG lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates)
{
    Core* core = Core::Get();
    LineOpen* open = core ? core->FindOpen(hLine) : nullptr;
    if (open == nullptr)
        return LINEERR_INVALLINEHANDLE;
    const Device* dev = core->Line(open->device);
    const LineDeviceInfo info = dev->provider->LineInfo(dev->local);
    if ((dwLineStates & ~info.lineStates) != 0)
        return LINEERR_INVALLINESTATE;
    if (LONG r = Screen(*dev, "lineSetStatusMessages", 0, {dwLineStates, dwAddressStates}); r < 0)
        return r;
    open = core->FindOpen(hLine);
    if (open == nullptr)
        return LINEERR_INVALLINEHANDLE;
    open->lineStates = dwLineStates;
    open->addressStates = dwAddressStates;
    core->UpdateStatusMessages(open->device);
    return 0;
}

LONG lineMakeCallW(HLINE hLine, LPHCALL lphCall, LPCWSTR dest, DWORD country, const LINECALLPARAMS* params)
{
    return MakeCall(hLine, lphCall, dest ? GivenAddress(Text(dest)) : QString(), country, params,
                    Charset::Wide);
}

LONG lineMakeCall(HLINE hLine, LPHCALL lphCall, LPCSTR dest, DWORD country, const LINECALLPARAMS* params)
{
    return MakeCall(hLine, lphCall, dest ? GivenAddress(Text(dest)) : QString(), country, params,
                    Charset::Narrow);
}

LONG lineDevSpecific(HLINE hLine, DWORD dwAddressID, HCALL hCall, const void* lpParams, DWORD dwSize)
{
    Core* core = Core::Get();
    LineOpen* open = core ? core->FindOpen(hLine) : nullptr;
    if (open == nullptr)
        return LINEERR_INVALLINEHANDLE;
    if (dwSize > 0 && lpParams == nullptr)
        return LINEERR_INVALPOINTER;
    if (dwSize > kMaxDevSpecific)
        return LINEERR_INVALPARAM;
    const Device* dev = core->Line(open->device);
    if (dwAddressID >= dev->provider->LineInfo(dev->local).numAddresses)
        return LINEERR_INVALADDRESSID;
    CallId call = 0;
    if (hCall != 0) {
        const CallHandle* handle = core->FindHandle(hCall);
        if (handle == nullptr || handle->open != hLine)
            return LINEERR_INVALCALLHANDLE;
        call = handle->call;
    }
    if (LONG r = Screen(*dev, "lineDevSpecific", call, {dwAddressID, dwSize}); r < 0)
        return r;
    const QByteArray params(static_cast<const char*>(lpParams), static_cast<qsizetype>(dwSize));
    const RequestId id = core->NextRequestId();
    detail::PendingRequest pending = RequestThrough(id, *open);
    core->AddPending(pending);
    const LONG r = dev->provider->DevSpecific(id, dev->local, dwAddressID, call, params);
    if (r < 0) {
        core->CompleteRequestSilently(id);
        return r;
    }
    return static_cast<LONG>(id);
}

LONG lineDialW(HCALL hCall, LPCWSTR dest, DWORD country)
{
    return Dial(hCall, Text(dest), dest != nullptr, country);
}

LONG lineDial(HCALL hCall, LPCSTR dest, DWORD country)
{
    return Dial(hCall, Text(dest), dest != nullptr, country);
}

LONG lineAnswer(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize)
{
    CallContext ctx(hCall);
    if (!ctx.valid())
        return LINEERR_INVALCALLHANDLE;
    if (!ctx.owner())
        return LINEERR_NOTOWNER;
    if (LONG r = CheckUserUserInfo(lpsUserUserInfo, dwSize); r < 0)
        return r;
    if (LONG r = Screen(*ctx.device, "lineAnswer", ctx.call->id, {dwSize}); r < 0)
        return r;
    const QByteArray uui = Bytes(lpsUserUserInfo, dwSize);
    ctx.connects = true;
    return StartCallRequest(
        ctx, [&](RequestId id) { return ctx.device->provider->Answer(id, ctx.call->id, uui); });
}

LONG lineDrop(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize)
{
    CallContext ctx(hCall);
    if (!ctx.valid())
        return LINEERR_INVALCALLHANDLE;
    if (!ctx.owner())
        return LINEERR_NOTOWNER;
    if (LONG r = CheckUserUserInfo(lpsUserUserInfo, dwSize); r < 0)
        return r;
    if (LONG r = Screen(*ctx.device, "lineDrop", ctx.call->id, {dwSize}); r < 0)
        return r;
    const QByteArray uui = Bytes(lpsUserUserInfo, dwSize);
    return StartCallRequest(ctx,
                            [&](RequestId id) { return ctx.device->provider->Drop(id, ctx.call->id, uui); });
}

LONG lineDeallocateCall(HCALL hCall)
{
    CallContext ctx(hCall);
    if (!ctx.valid())
        return LINEERR_INVALCALLHANDLE;
    if (LONG r = Screen(*ctx.device, "lineDeallocateCall", ctx.call->id, {}); r < 0)
        return r;
    return ctx.core->DeallocateHandle(hCall);
}

LONG lineSetCallParams(HCALL hCall, DWORD dwBearerMode, DWORD dwMinRate, DWORD dwMaxRate,
                       const LINEDIALPARAMS* lpDialParams)
{
    CallContext ctx(hCall);
    if (!ctx.valid())
        return LINEERR_INVALCALLHANDLE;
    if (!ctx.owner())
        return LINEERR_NOTOWNER;
    if (dwBearerMode == 0 || (dwBearerMode & (dwBearerMode - 1)) != 0 ||
        dwBearerMode > LINEBEARERMODE_RESTRICTEDDATA)
        return LINEERR_INVALBEARERMODE;
    if (dwMinRate > dwMaxRate)
        return LINEERR_INVALRATE;
    const LineDeviceInfo info = ctx.device->provider->LineInfo(ctx.device->local);
    if ((dwBearerMode & info.bearerModes) == 0)
        return LINEERR_BEARERMODEUNAVAIL;
    if (LONG r = Screen(*ctx.device, "lineSetCallParams", ctx.call->id, {dwBearerMode, dwMinRate, dwMaxRate});
        r < 0)
        return r;
    std::optional<LINEDIALPARAMS> dial;
    if (lpDialParams != nullptr)
        dial = *lpDialParams;
    ctx.connects = true;
    return StartCallRequest(ctx, [&](RequestId id) {
        return ctx.device->provider->SetCallParams(id, ctx.call->id, dwBearerMode, dwMinRate, dwMaxRate,
                                                   dial ? &*dial : nullptr);
    });
}

LONG lineGetCallInfoW(HCALL hCall, LPLINECALLINFO info)
{
    return GetCallInfo(hCall, info, Charset::Wide);
}

LONG lineGetCallInfo(HCALL hCall, LPLINECALLINFO info)
{
    return GetCallInfo(hCall, info, Charset::Narrow);
}

LONG lineGetCallStatus(HCALL hCall, LPLINECALLSTATUS status)
{
    CallContext ctx(hCall);
    if (!ctx.valid())
        return LINEERR_INVALCALLHANDLE;
    if (status == nullptr)
        return LINEERR_INVALPOINTER;
    const DWORD fixed = detail::FixedCallStatus(ctx.open->apiVersion);
    if (detail::TotalSize(status) < fixed)
        return LINEERR_STRUCTURETOOSMALL;
    const DWORD state = ctx.call->released ? LINECALLSTATE_IDLE : ctx.call->state;
    VarWriter<LINECALLSTATUS> w(fixed);
    LINECALLSTATUS& f = w.Fixed();
    f.dwCallState = state;
    f.dwCallStateMode = ctx.call->stateMode;
    f.dwCallPrivilege = ctx.handle->privilege;
    f.dwCallFeatures = ctx.owner() ? CallFeaturesFor(state) : 0;
    const QDateTime t = ctx.call->stateTime;
    const QDate d = t.date();
    const QTime tm = t.time();
    f.tStateEntryTime = SYSTEMTIME{static_cast<WORD>(d.year()),          static_cast<WORD>(d.month()),
                                   static_cast<WORD>(d.dayOfWeek() % 7), static_cast<WORD>(d.day()),
                                   static_cast<WORD>(tm.hour()),         static_cast<WORD>(tm.minute()),
                                   static_cast<WORD>(tm.second()),       static_cast<WORD>(tm.msec())};
    w.Write(status, detail::TotalSize(status));
    return 0;
}

LONG lineMonitorDigits(HCALL hCall, DWORD dwDigitModes)
{
    CallContext ctx(hCall);
    if (!ctx.valid())
        return LINEERR_INVALCALLHANDLE;
    const LineDeviceInfo info = ctx.device->provider->LineInfo(ctx.device->local);
    if ((dwDigitModes & ~info.monitorDigitModes) != 0)
        return LINEERR_INVALDIGITMODE;
    if (ctx.call->released || ctx.call->state == LINECALLSTATE_IDLE)
        return LINEERR_INVALCALLSTATE;
    if (LONG r = Screen(*ctx.device, "lineMonitorDigits", ctx.call->id, {dwDigitModes}); r < 0)
        return r;
    return ctx.device->provider->MonitorDigits(ctx.call->id, dwDigitModes);
}

LONG lineMonitorMedia(HCALL hCall, DWORD dwMediaModes)
{
    CallContext ctx(hCall);
    if (!ctx.valid())
        return LINEERR_INVALCALLHANDLE;
    const LineDeviceInfo info = ctx.device->provider->LineInfo(ctx.device->local);
    if ((dwMediaModes & ~info.mediaModes) != 0)
        return LINEERR_INVALMEDIAMODE;
    if (ctx.call->released || ctx.call->state == LINECALLSTATE_IDLE)
        return LINEERR_INVALCALLSTATE;
    if (LONG r = Screen(*ctx.device, "lineMonitorMedia", ctx.call->id, {dwMediaModes}); r < 0)
        return r;
    return ctx.device->provider->MonitorMedia(ctx.call->id, dwMediaModes);
}

LONG lineMonitorTones(HCALL hCall, const LINEMONITORTONE* lpToneList, DWORD dwNumEntries)
{
    CallContext ctx(hCall);
    if (!ctx.valid())
        return LINEERR_INVALCALLHANDLE;
    if (dwNumEntries > 0 && lpToneList == nullptr)
        return LINEERR_INVALPOINTER;
    const LineDeviceInfo info = ctx.device->provider->LineInfo(ctx.device->local);
    if (dwNumEntries > info.monitorToneMaxNumEntries)
        return LINEERR_INVALTONELIST;
    if (ctx.call->released || ctx.call->state == LINECALLSTATE_IDLE)
        return LINEERR_INVALCALLSTATE;
    std::vector<LINEMONITORTONE> tones(dwNumEntries);
    if (dwNumEntries > 0)
        std::memcpy(tones.data(), lpToneList, dwNumEntries * sizeof(LINEMONITORTONE));
    std::vector<DWORD> args{dwNumEntries};
    for (const LINEMONITORTONE& t : tones) {
        args.insert(args.end(),
                    {t.dwAppSpecific, t.dwDuration, t.dwFrequency1, t.dwFrequency2, t.dwFrequency3});
    }
    if (LONG r = Screen(*ctx.device, "lineMonitorTones", ctx.call->id, args); r < 0)
        return r;
    return ctx.device->provider->MonitorTones(ctx.call->id, tones);
}

namespace {

LONG GenerateDigits(HCALL hCall, DWORD mode, const QString& digits, DWORD duration)
{
    CallContext ctx(hCall);
    if (!ctx.valid())
        return LINEERR_INVALCALLHANDLE;
    if (!ctx.owner())
        return LINEERR_NOTOWNER;
    const LineDeviceInfo info = ctx.device->provider->LineInfo(ctx.device->local);
    if ((mode != LINEDIGITMODE_PULSE && mode != LINEDIGITMODE_DTMF) || (mode & info.generateDigitModes) == 0)
        return LINEERR_INVALDIGITMODE;
    const QString allowed =
        mode == LINEDIGITMODE_PULSE ? QStringLiteral("0123456789,") : QStringLiteral("0123456789*#ABCDabcd,");
    for (QChar c : digits)
        if (!allowed.contains(c))
            return LINEERR_INVALDIGITS;
    if (digits.size() > kMaxAddressChars)
        return LINEERR_INVALDIGITS;
    if (ctx.call->released || ctx.call->state != LINECALLSTATE_CONNECTED)
        return LINEERR_INVALCALLSTATE;
    if (LONG r = Screen(*ctx.device, "lineGenerateDigits", ctx.call->id, {mode, duration}, digits); r < 0)
        return r;
    return ctx.device->provider->GenerateDigits(ctx.call->id, mode, digits, duration);
}

LONG SimpleCallRequest(HCALL hCall, const char* function, LONG (Provider::*op)(RequestId, CallId))
{
    CallContext ctx(hCall);
    if (!ctx.valid())
        return LINEERR_INVALCALLHANDLE;
    if (!ctx.owner())
        return LINEERR_NOTOWNER;
    if (LONG r = Screen(*ctx.device, function, ctx.call->id, {}); r < 0)
        return r;
    ctx.connects = op == &Provider::Unhold;
    return StartCallRequest(ctx, [&](RequestId id) { return (ctx.device->provider->*op)(id, ctx.call->id); });
}

} // namespace

LONG lineGenerateDigitsW(HCALL hCall, DWORD mode, LPCWSTR digits, DWORD duration)
{
    return GenerateDigits(hCall, mode, Text(digits), duration);
}

LONG lineGenerateDigits(HCALL hCall, DWORD mode, LPCSTR digits, DWORD duration)
{
    return GenerateDigits(hCall, mode, Text(digits), duration);
}

LONG lineHold(HCALL hCall)
{
    return SimpleCallRequest(hCall, "lineHold", &Provider::Hold);
}

LONG lineUnhold(HCALL hCall)
{
    return SimpleCallRequest(hCall, "lineUnhold", &Provider::Unhold);
}

LONG lineBlindTransferW(HCALL hCall, LPCWSTR dest, DWORD country)
{
    return Blind(hCall, Text(dest), dest != nullptr, country);
}

LONG lineBlindTransfer(HCALL hCall, LPCSTR dest, DWORD country)
{
    return Blind(hCall, Text(dest), dest != nullptr, country);
}

LONG lineSetupTransferW(HCALL hCall, LPHCALL lphConsultCall, const LINECALLPARAMS* params)
{
    return SetupTransfer(hCall, lphConsultCall, params, Charset::Wide);
}

LONG lineSetupTransfer(HCALL hCall, LPHCALL lphConsultCall, const LINECALLPARAMS* params)
{
    return SetupTransfer(hCall, lphConsultCall, params, Charset::Narrow);
}

LONG lineCompleteTransfer(HCALL hCall, HCALL hConsultCall, LPHCALL lphConfCall, DWORD dwTransferMode)
{
    CallContext ctx(hCall);
    if (!ctx.valid())
        return LINEERR_INVALCALLHANDLE;
    CallContext consult(hConsultCall);
    if (!consult.valid())
        return LINEERR_INVALCONSULTCALLHANDLE;
    if (!ctx.owner() || !consult.owner())
        return LINEERR_NOTOWNER;
    if (dwTransferMode != LINETRANSFERMODE_TRANSFER && dwTransferMode != LINETRANSFERMODE_CONFERENCE)
        return LINEERR_INVALTRANSFERMODE;
    if (dwTransferMode == LINETRANSFERMODE_CONFERENCE && lphConfCall == nullptr)
        return LINEERR_INVALPOINTER;
    if (LONG r =
            Screen(*ctx.device, "lineCompleteTransfer", ctx.call->id, {consult.call->id, dwTransferMode});
        r < 0)
        return r;
    std::vector<detail::PendingRequest::NewCall> created;
    CallId conf = 0;
    if (dwTransferMode == LINETRANSFERMODE_CONFERENCE) {
        conf = ctx.core->NewCallRecord(ctx.call->device, ctx.call->addressId, 1);
        created.push_back({conf, lphConfCall});
    }
    const CallId primary = ctx.call->id;
    const CallId consultId = consult.call->id;
    const Device* dev = ctx.device;
    return StartCallRequest(
        ctx,
        [&](RequestId id) {
            return dev->provider->CompleteTransfer(id, primary, consultId, conf, dwTransferMode);
        },
        created);
}

LONG lineSetupConferenceW(HCALL hCall, HLINE hLine, LPHCALL lphConfCall, LPHCALL lphConsultCall,
                          DWORD numParties, const LINECALLPARAMS* params)
{
    return SetupConference(hCall, hLine, lphConfCall, lphConsultCall, numParties, params, Charset::Wide);
}

LONG lineSetupConference(HCALL hCall, HLINE hLine, LPHCALL lphConfCall, LPHCALL lphConsultCall,
                         DWORD numParties, const LINECALLPARAMS* params)
{
    return SetupConference(hCall, hLine, lphConfCall, lphConsultCall, numParties, params, Charset::Narrow);
}

LONG lineAddToConference(HCALL hConfCall, HCALL hConsultCall)
{
    CallContext conf(hConfCall);
    if (!conf.valid())
        return LINEERR_INVALCONFCALLHANDLE;
    CallContext consult(hConsultCall);
    if (!consult.valid())
        return LINEERR_INVALCALLHANDLE;
    if (!conf.owner() || !consult.owner())
        return LINEERR_NOTOWNER;
    if (LONG r = Screen(*conf.device, "lineAddToConference", conf.call->id, {consult.call->id}); r < 0)
        return r;
    const CallId confId = conf.call->id;
    const CallId consultId = consult.call->id;
    const Device* dev = conf.device;
    return StartCallRequest(
        conf, [&](RequestId id) { return dev->provider->AddToConference(id, confId, consultId); });
}

} // namespace tapi
