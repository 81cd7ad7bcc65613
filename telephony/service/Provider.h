// The seam between the telephony service and the providers of its devices.
//
// A provider offers line devices (and optionally phone devices), numbered from
// 0 within the provider; the service numbers them globally in installation
// order. The service does all API bookkeeping (applications, opens, handles,
// request IDs, message queues, variable-size structures); a provider only
// works its devices and reports what happens through ProviderEvents.
//
// Rules for providers:
// - Everything runs on the service's thread; no method may block.
// - An asynchronous operation returns 0 when accepted and completes later with
//   ProviderEvents::CompleteRequest (possibly from inside the same method: the
//   service still delivers the reply later). A negative result refuses it at
//   once and the request is never completed.
// - Complete a request before reporting the call states its completion causes
//   (a call answered is replied to before it is reported connected). The
//   service holds back a CONNECTED that comes while an answer, dial,
//   pass-through switch or unhold of the call is unreplied, until that reply
//   or the call's next state, but a provider should not rely on it.
// - Calls are named by service-wide CallIds: the service assigns them for calls
//   it asks for (MakeCall, SetupTransfer, ...), NewIncomingCall assigns them
//   for calls the provider brings in. After ReleaseCall the id is dead.
// - A "comm/datamodem" descriptor handed out by GetID stays owned by the
//   provider; the service gives the application its own dup().
#pragma once

#include "telephony/service/Tapi.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace tapi {

using CallId = DWORD;    // 0 is no call
using RequestId = DWORD; // positive

struct LineDeviceInfo
{
    QString providerInfo;
    QString switchInfo;
    QString lineName;
    DWORD permanentLineId = 0;
    DWORD stringFormat = STRINGFORMAT_UNICODE;
    DWORD addressModes = LINEADDRESSMODE_ADDRESSID;
    DWORD numAddresses = 1;
    // The phone component switches data calls between DATA and PASSTHROUGH.
    DWORD bearerModes = LINEBEARERMODE_VOICE | LINEBEARERMODE_DATA | LINEBEARERMODE_PASSTHROUGH;
    DWORD maxRate = 57600;
    DWORD mediaModes = LINEMEDIAMODE_DATAMODEM;
    DWORD generateToneModes = 0;
    DWORD generateToneMaxNumFreq = 0;
    DWORD generateDigitModes = 0;
    DWORD monitorToneMaxNumFreq = 0;
    DWORD monitorToneMaxNumEntries = 0;
    DWORD monitorDigitModes = 0;
    DWORD devCapFlags = 0;
    DWORD maxNumActiveCalls = 1;
    DWORD answerMode = LINEANSWERMODE_NONE;
    DWORD ringModes = 1;
    DWORD lineStates = LINEDEVSTATE_RINGING | LINEDEVSTATE_CONNECTED | LINEDEVSTATE_DISCONNECTED |
                       LINEDEVSTATE_OPEN | LINEDEVSTATE_CLOSE;
    DWORD lineFeatures = 0;
    // Device classes the line answers in lineGetID, e.g. "comm/datamodem".
    QStringList deviceClasses;
    QByteArray devSpecific;
};

struct AddressInfo
{
    QString address;
    DWORD addressSharing = LINEADDRESSSHARING_PRIVATE;
    DWORD addressStates = 0;
    DWORD callInfoStates = 0;
    DWORD callerIDFlags = 0;
    DWORD calledIDFlags = 0;
    DWORD connectedIDFlags = 0;
    DWORD callStates = 0;
    DWORD dialToneModes = 0;
    DWORD busyModes = 0;
    DWORD specialInfo = 0;
    DWORD disconnectModes = 0;
    DWORD maxNumActiveCalls = 1;
    DWORD maxNumOnHoldCalls = 0;
    DWORD maxNumOnHoldPendingCalls = 0;
    DWORD maxNumConference = 0;
    DWORD maxNumTransConf = 0;
    DWORD addrCapFlags = 0;
    DWORD callFeatures = 0;
    DWORD transferModes = 0;
    DWORD addressFeatures = 0;
    DWORD availableMediaModes = 0;
};

struct PhoneDeviceInfo
{
    QString providerInfo;
    QString phoneInfo;
    QString phoneName;
    DWORD permanentPhoneId = 0;
    DWORD stringFormat = STRINGFORMAT_UNICODE;
    DWORD phoneStates = 0;
    DWORD hookSwitchDevs = 0;
    DWORD handsetHookSwitchModes = 0;
    DWORD speakerHookSwitchModes = 0;
    DWORD headsetHookSwitchModes = 0;
    DWORD volumeFlags = 0;
    DWORD gainFlags = 0;
    DWORD displayNumRows = 0;
    DWORD displayNumColumns = 0;
    DWORD numRingModes = 0;
    DWORD numButtonLamps = 0;
    QStringList deviceClasses;
};

struct PartyInfo
{
    DWORD flags = LINECALLPARTYID_UNKNOWN;
    QString number;
    QString name;
};

// What lineGetCallInfo reports beyond what the service knows itself (line,
// device ID, handle).
struct CallInfoData
{
    DWORD addressId = 0;
    DWORD bearerMode = LINEBEARERMODE_VOICE;
    DWORD rate = 0;
    DWORD mediaMode = LINEMEDIAMODE_DATAMODEM;
    DWORD appSpecific = 0;
    DWORD callId = 0;
    DWORD relatedCallId = 0;
    DWORD callParamFlags = 0;
    DWORD callStates = 0;
    DWORD monitorDigitModes = 0;
    DWORD monitorMediaModes = 0;
    LINEDIALPARAMS dialParams{};
    DWORD origin = LINECALLORIGIN_UNKNOWN;
    DWORD reason = LINECALLREASON_UNKNOWN;
    DWORD completionId = 0;
    DWORD countryCode = 0;
    DWORD trunk = 0xFFFFFFFF;
    PartyInfo caller;
    PartyInfo called;
    PartyInfo connected;
    PartyInfo redirection;
    PartyInfo redirecting;
    QString appName;
    QString displayableAddress;
    QString calledParty;
    QString comment;
    QString display;
    QByteArray userUserInfo;
    QByteArray highLevelComp;
    QByteArray lowLevelComp;
    QByteArray chargingInfo;
    QByteArray devSpecific;
    DWORD callTreatment = 0;
    QByteArray callData;
};

// A LINECALLPARAMS block after the service checked its bounds.
struct CallParamsData
{
    bool present = false; // false: the caller passed none (defaults apply)
    DWORD bearerMode = LINEBEARERMODE_VOICE;
    DWORD minRate = 0;
    DWORD maxRate = 0;
    DWORD mediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
    DWORD callParamFlags = 0;
    DWORD addressMode = LINEADDRESSMODE_ADDRESSID;
    DWORD addressId = 0;
    LINEDIALPARAMS dialParams{};
    QString origAddress;
    QString displayableAddress;
    QString calledParty;
    QString comment;
    QString targetAddress;
    QString deviceClass;
    QByteArray userUserInfo;
    QByteArray devSpecific;
    QByteArray deviceConfig;
    QByteArray callData;
    DWORD noAnswerTimeout = 0;
};

struct PhoneStatusData
{
    DWORD statusFlags = PHONESTATUSFLAGS_CONNECTED;
    DWORD ringMode = 0;
    DWORD ringVolume = 0;
    DWORD handsetHookSwitchMode = PHONEHOOKSWITCHMODE_ONHOOK;
    DWORD handsetVolume = 0;
    DWORD handsetGain = 0;
    DWORD speakerHookSwitchMode = PHONEHOOKSWITCHMODE_ONHOOK;
    DWORD speakerVolume = 0;
    DWORD speakerGain = 0;
    DWORD headsetHookSwitchMode = PHONEHOOKSWITCHMODE_ONHOOK;
    DWORD headsetVolume = 0;
    DWORD headsetGain = 0;
    QByteArray display; // as the phone keeps it (its string format)
    std::vector<DWORD> lampModes;
};

// The answer of lineGetID: a DWORD identifier, or (for "comm/datamodem" on a
// call) a descriptor owned by the provider plus the device's name.
struct DeviceIdData
{
    DWORD id = 0;
    int fd = -1;
    QString name;
};

// One API call as it reaches a provider, for screening and for logs.
struct ApiRequest
{
    const char* function = "";
    int line = -1;  // provider-local line index, or -1
    int phone = -1; // provider-local phone index, or -1
    CallId call = 0;
    std::vector<DWORD> args; // the call's numeric arguments in order
    QString text;            // its string argument (number, device class, digits)
};

class Provider;

// Implemented by the service; valid from Provider::Attach until Detach.
class ProviderEvents
{
public:
    virtual ~ProviderEvents() = default;
    virtual void CompleteRequest(RequestId request, LONG result) = 0;
    // A call the provider brings in (offered); report its OFFERING next.
    // Returns 0 when no application has the line open (refuse the call).
    virtual CallId NewIncomingCall(Provider* provider, int line, DWORD addressId) = 0;
    // dwMediaMode 0 keeps the call's media mode.
    virtual void CallStateChanged(CallId call, DWORD state, DWORD detail, DWORD mediaMode = 0) = 0;
    virtual void CallInfoChanged(CallId call, DWORD infoStates) = 0;
    virtual void LineDevStateChanged(Provider* provider, int line, DWORD state, DWORD param2 = 0,
                                     DWORD param3 = 0) = 0;
    // The device went away: every open gets LINE_CLOSE, its calls are forgotten.
    virtual void LineClosed(Provider* provider, int line) = 0;
    // LINE_DEVSPECIFIC to every application holding the call (the codes are
    // the provider's own, see LineExtensions.h). Recorders that have no use for
    // it need not override it.
    virtual void CallDevSpecific(CallId /*call*/, DWORD /*param1*/, DWORD /*param2*/, DWORD /*param3*/) {}
    virtual void DigitDetected(CallId call, DWORD digit, DWORD digitMode) = 0;
    virtual void MediaDetected(CallId call, DWORD mediaMode) = 0;
    virtual void ToneDetected(CallId call, DWORD appSpecific) = 0;
    virtual void PhoneStateChanged(Provider* provider, int phone, DWORD state, DWORD detail = 0) = 0;
    virtual void PhoneClosed(Provider* provider, int phone) = 0;
};

class Provider
{
public:
    virtual ~Provider() = default;

    virtual QString Name() const = 0;
    virtual void Attach(ProviderEvents* events) = 0;
    // Drop everything at once and report nothing more.
    virtual void Detach() = 0;

    // Called before the service acts on any API call that reaches this provider;
    // a negative result fails the call with it. The sim records calls here.
    virtual LONG Screen(const ApiRequest&) { return 0; }

    // --- Lines --------------------------------------------------------------
    virtual int LineCount() const = 0;
    virtual LineDeviceInfo LineInfo(int line) const = 0;
    // LINEERR_INVALADDRESSID for an address the line lacks.
    virtual LONG GetAddressInfo(int line, DWORD addressId, AddressInfo& info) const = 0;
    // The first open of a line by any application, and the last close. After
    // CloseLine no call of the line is left (ReleaseCall is not sent for them).
    virtual LONG OpenLine(int line) = 0;
    virtual void CloseLine(int line) = 0;
    // The union of what the line's opens asked for.
    virtual void SetStatusMessages(int line, DWORD lineStates, DWORD addressStates) = 0;
    // select is LINECALLSELECT_LINE, _ADDRESS or _CALL (then call is set).
    // "tapi/phone" answers a provider-local phone index.
    virtual LONG GetID(int line, DWORD addressId, CallId call, DWORD select, const QString& deviceClass,
                       DeviceIdData& out) = 0;
    virtual LONG GetDevConfig(int line, const QString& deviceClass, QByteArray& config) = 0;
    virtual LONG SetDevConfig(int line, const QString& deviceClass, const QByteArray& config) = 0;
    // Why the line's last open, set-up or hang-up failed, in English and
    // naming what the user can do ("No permission to open /dev/ttyUSB0: join
    // the dialout group ..."); empty when the last one went well or the
    // provider has nothing to add. The LINEERR_ result stays the verdict;
    // this is its detail, for the log and the error box.
    virtual QString LineFailure(int /*line*/) const { return {}; }
    // The provider's own configuration dialog, if it has one without a GUI
    // library; the service prefers a handler registered by the GUI.
    virtual LONG ConfigDialog(int /*line*/, HWND /*owner*/, const QString& /*deviceClass*/)
    {
        return LINEERR_OPERATIONUNAVAIL;
    }

    // --- Calls: asynchronous --------------------------------------------------
    // `number` is a null QString when the application gave no address at all
    // (off hook, to dial later with lineDial), and empty but not null when it
    // gave an empty one.
    virtual LONG MakeCall(RequestId request, int line, CallId newCall, const QString& number,
                          DWORD countryCode, const CallParamsData& params) = 0;
    virtual LONG Dial(RequestId request, CallId call, const QString& number, DWORD countryCode) = 0;
    virtual LONG Answer(RequestId request, CallId call, const QByteArray& userUserInfo) = 0;
    virtual LONG Drop(RequestId request, CallId call, const QByteArray& userUserInfo) = 0;
    virtual LONG SetCallParams(RequestId request, CallId call, DWORD bearerMode, DWORD minRate, DWORD maxRate,
                               const LINEDIALPARAMS* dialParams) = 0;
    virtual LONG Hold(RequestId, CallId) { return LINEERR_OPERATIONUNAVAIL; }
    virtual LONG Unhold(RequestId, CallId) { return LINEERR_OPERATIONUNAVAIL; }
    virtual LONG BlindTransfer(RequestId, CallId, const QString& /*number*/, DWORD /*countryCode*/)
    {
        return LINEERR_OPERATIONUNAVAIL;
    }
    virtual LONG SetupTransfer(RequestId, CallId /*call*/, CallId /*consultCall*/, const CallParamsData&)
    {
        return LINEERR_OPERATIONUNAVAIL;
    }
    // confCall is 0 for LINETRANSFERMODE_TRANSFER.
    virtual LONG CompleteTransfer(RequestId, CallId /*call*/, CallId /*consultCall*/, CallId /*confCall*/,
                                  DWORD /*transferMode*/)
    {
        return LINEERR_OPERATIONUNAVAIL;
    }
    virtual LONG SetupConference(RequestId, CallId /*call*/, int /*line*/, CallId /*confCall*/,
                                 CallId /*consultCall*/, DWORD /*numParties*/, const CallParamsData&)
    {
        return LINEERR_OPERATIONUNAVAIL;
    }
    virtual LONG AddToConference(RequestId, CallId /*confCall*/, CallId /*consultCall*/)
    {
        return LINEERR_OPERATIONUNAVAIL;
    }
    // lineDevSpecific on the line (call 0) or one of its calls.
    virtual LONG DevSpecific(RequestId, int /*line*/, DWORD /*addressId*/, CallId /*call*/,
                             const QByteArray& /*params*/)
    {
        return LINEERR_OPERATIONUNAVAIL;
    }

    // --- Calls: synchronous ---------------------------------------------------
    virtual LONG GetCallInfo(CallId call, CallInfoData& info) = 0;
    virtual LONG MonitorDigits(CallId, DWORD /*digitModes*/) { return LINEERR_OPERATIONUNAVAIL; }
    virtual LONG MonitorMedia(CallId, DWORD /*mediaModes*/) { return LINEERR_OPERATIONUNAVAIL; }
    // An empty list stops tone monitoring.
    virtual LONG MonitorTones(CallId, const std::vector<LINEMONITORTONE>&)
    {
        return LINEERR_OPERATIONUNAVAIL;
    }
    virtual LONG GenerateDigits(CallId, DWORD /*digitMode*/, const QString& /*digits*/, DWORD /*duration*/)
    {
        return LINEERR_OPERATIONUNAVAIL;
    }
    // The service is done with the call (idle and deallocated, or its line was
    // closed): drop it if it still exists and free it; report nothing more.
    virtual void ReleaseCall(CallId call) = 0;

    // --- Phones -----------------------------------------------------------------
    virtual int PhoneCount() const { return 0; }
    virtual PhoneDeviceInfo PhoneInfo(int) const { return {}; }
    virtual LONG OpenPhone(int) { return PHONEERR_OPERATIONUNAVAIL; }
    virtual void ClosePhone(int) {}
    virtual void SetPhoneStatusMessages(int /*phone*/, DWORD /*phoneStates*/) {}
    virtual LONG GetPhoneStatus(int, PhoneStatusData&) { return PHONEERR_OPERATIONUNAVAIL; }
    virtual LONG SetHookSwitch(RequestId, int, DWORD /*devs*/, DWORD /*mode*/)
    {
        return PHONEERR_OPERATIONUNAVAIL;
    }
    virtual LONG SetRing(RequestId, int, DWORD /*mode*/, DWORD /*volume*/)
    {
        return PHONEERR_OPERATIONUNAVAIL;
    }
    virtual LONG SetLamp(RequestId, int, DWORD /*lamp*/, DWORD /*mode*/) { return PHONEERR_OPERATIONUNAVAIL; }
    // `text` is raw: UTF-16 or 8-bit as the application sent it.
    virtual LONG SetDisplay(RequestId, int, DWORD /*row*/, DWORD /*column*/, const QByteArray& /*text*/)
    {
        return PHONEERR_OPERATIONUNAVAIL;
    }
    virtual LONG SetVolume(RequestId, int, DWORD /*dev*/, DWORD /*volume*/)
    {
        return PHONEERR_OPERATIONUNAVAIL;
    }
    virtual LONG SetGain(RequestId, int, DWORD /*dev*/, DWORD /*gain*/) { return PHONEERR_OPERATIONUNAVAIL; }
};

} // namespace tapi
