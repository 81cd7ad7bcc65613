// The simulated exchange: a provider whose lines, phones and calls a test
// scripts. It answers every request the way the test asked (at once, with an
// error, late in virtual time, or never), drives calls through any state,
// raises any event, and records every API call that reached it with its
// arguments. A connected call has a real data channel: one end of a
// socketpair goes to the application through lineGetID("comm/datamodem"),
// the other end belongs to the test (PeerFd, WritePeer, ReadPeer) or to a
// scripted peer (SetPeerScript, SetPeerEcho).
//
// Typical use:
//     auto owned = std::make_unique<tapi::sim::SimExchange>();
//     tapi::sim::SimExchange& sim = *owned;
//     sim.AddLine({});                       // line device 0
//     tapi::Service::Install(std::move(owned));
//     ... the component opens line 0 ...
//     tapi::CallId call = sim.OfferCall(0, {.caller = {LINECALLPARTYID_ADDRESS, "5551234", {}}});
//     sim.Ring(0);
//     ... the component answers: lineAnswer is replied to, the call connects ...
//     sim.WritePeer(call, "hello");
//
// A test that holds an application's call handle finds the exchange's call
// with tapi::Service::CallOfHandle.
//
// Lines and phones are added before Install. The object belongs to the
// service after Install; it lives until Service::Uninstall.
#pragma once

#include "telephony/service/LineExtensions.h"
#include "telephony/service/Provider.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace tapi::sim {

struct SimLineConfig
{
    QString name = QStringLiteral("Simulated line");
    QString providerInfo = QStringLiteral("Simulated exchange");
    DWORD stringFormat = STRINGFORMAT_UNICODE;
    DWORD mediaModes = LINEMEDIAMODE_UNKNOWN | LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_AUTOMATEDVOICE |
                       LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_G3FAX;
    DWORD bearerModes = LINEBEARERMODE_VOICE | LINEBEARERMODE_DATA | LINEBEARERMODE_PASSTHROUGH;
    DWORD maxRate = 57600;
    DWORD monitorDigitModes = LINEDIGITMODE_PULSE | LINEDIGITMODE_DTMF;
    DWORD generateDigitModes = LINEDIGITMODE_PULSE | LINEDIGITMODE_DTMF;
    DWORD monitorToneMaxNumEntries = 4;
    DWORD monitorToneMaxNumFreq = 3;
    DWORD lineStates = LINEDEVSTATE_OTHER | LINEDEVSTATE_RINGING | LINEDEVSTATE_CONNECTED |
                       LINEDEVSTATE_DISCONNECTED | LINEDEVSTATE_OPEN | LINEDEVSTATE_CLOSE;
    QStringList addresses = {QStringLiteral("100")}; // one address per entry
    DWORD callerIDFlags = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME | LINECALLPARTYID_BLOCKED |
                          LINECALLPARTYID_OUTOFAREA | LINECALLPARTYID_UNKNOWN | LINECALLPARTYID_UNAVAIL;
    DWORD calledIDFlags = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME | LINECALLPARTYID_UNKNOWN;
    bool dataModem = true;                      // answers "comm/datamodem"
    DWORD modemId = 0;                          // its ID on the line
    QString modemName = QStringLiteral("SIM0"); // the name after the handle
    int waveIn = -1;                            // "wave/in" ID; negative: none
    int waveOut = -1;                           // "wave/out" ID; negative: none
    int phone = -1;                             // a phone of AddPhone; negative: none
    QByteArray devConfig;                       // empty: the default modem block
    // Outgoing calls run on their own to CONNECTED (dial tone, dialling,
    // proceeding, ring-back, connected) once lineMakeCall or lineDial is
    // replied to. Off: the test drives every state.
    bool autoProgress = false;
    // The natural states follow successful requests: answer -> connected,
    // drop -> idle, hold -> on hold, unhold -> connected, transfers and
    // conferences as an exchange would do them.
    bool autoStates = true;
    // What the line says of its last failure (Provider::LineFailure).
    QString failure;
};

struct SimPhoneConfig
{
    QString name = QStringLiteral("Simulated phone");
    DWORD stringFormat = STRINGFORMAT_UNICODE;
    DWORD phoneStates = 0x003FFFFF;
    DWORD hookSwitchDevs = PHONEHOOKSWITCHDEV_HANDSET | PHONEHOOKSWITCHDEV_SPEAKER;
    DWORD handsetHookSwitchModes = PHONEHOOKSWITCHMODE_ONHOOK | PHONEHOOKSWITCHMODE_MIC |
                                   PHONEHOOKSWITCHMODE_SPEAKER | PHONEHOOKSWITCHMODE_MICSPEAKER;
    DWORD speakerHookSwitchModes = PHONEHOOKSWITCHMODE_ONHOOK | PHONEHOOKSWITCHMODE_MIC |
                                   PHONEHOOKSWITCHMODE_SPEAKER | PHONEHOOKSWITCHMODE_MICSPEAKER;
    DWORD headsetHookSwitchModes = 0;
    DWORD volumeFlags = PHONEHOOKSWITCHDEV_HANDSET | PHONEHOOKSWITCHDEV_SPEAKER;
    DWORD gainFlags = PHONEHOOKSWITCHDEV_HANDSET | PHONEHOOKSWITCHDEV_SPEAKER;
    DWORD displayRows = 2;
    DWORD displayColumns = 16;
    DWORD numRingModes = 3;
    DWORD numLamps = 2;
};

// How the exchange answers an asynchronous request.
struct Reply
{
    enum Mode
    {
        Now,   // completed at once with `result`
        Late,  // completed after `delayMs` (Clock time) with `result`
        Never, // held until Complete()
    };
    Mode mode = Now;
    LONG result = 0;
    int delayMs = 0;

    static Reply Success() { return {}; }
    static Reply Error(LONG error) { return {Now, error, 0}; }
    static Reply After(int ms, LONG result = 0) { return {Late, result, ms}; }
    static Reply Held() { return {Never, 0, 0}; }
};

// One API call as the exchange saw it.
struct SimRequest
{
    QString function;        // "lineMakeCall", "phoneSetLamp", ...
    int line = -1;           // the exchange's line index, or -1
    int phone = -1;          // the exchange's phone index, or -1
    CallId call = 0;         // the call it was about, or 0
    RequestId request = 0;   // for asynchronous requests
    std::vector<DWORD> args; // numeric arguments in order
    QString text;            // number, device class, digits, display (hex)
};

struct SimOffer
{
    DWORD address = 0;
    DWORD mediaMode = LINEMEDIAMODE_DATAMODEM;
    DWORD bearerMode = LINEBEARERMODE_VOICE;
    PartyInfo caller;
    PartyInfo called;
    DWORD offeringMode = LINEOFFERINGMODE_ACTIVE;
};

class SimExchange final : public Provider
{
public:
    SimExchange();
    ~SimExchange() override;
    SimExchange(const SimExchange&) = delete;
    SimExchange& operator=(const SimExchange&) = delete;

    // --- Devices (before Install) ---------------------------------------------
    int AddLine(const SimLineConfig& config);
    int AddPhone(const SimPhoneConfig& config);
    SimLineConfig& LineConfig(int line); // may be changed at any time
    bool IsLineOpen(int line) const;

    // --- Replies ----------------------------------------------------------------
    // From now on every `function` ("lineAnswer", "phoneSetLamp", ...) is
    // answered this way; Reply::Success() restores the default.
    void SetReply(const QString& function, Reply reply);
    // Only the next `function` is answered this way.
    void SetNextReply(const QString& function, Reply reply);
    // The next API call of `function` (any, synchronous ones included) fails
    // at once with `error`; with `text` only a call whose text argument equals
    // it (lineGetID's device class, for instance).
    void FailNext(const QString& function, LONG error, const QString& text = {});
    // Every such call fails until cleared with error 0.
    void FailAlways(const QString& function, LONG error, const QString& text = {});
    // Requests held by Reply::Never, oldest first.
    std::vector<RequestId> HeldRequests() const;
    // Completes a held request now; what its success causes follows.
    bool Complete(RequestId request, LONG result = 0);

    // --- Calls --------------------------------------------------------------------
    // An incoming call in OFFERING; 0 when no application has the line open.
    CallId OfferCall(int line, const SimOffer& offer = {});
    // LINE_LINEDEVSTATE RINGING on the line (ring count counts up per call).
    void Ring(int line, DWORD ringMode = 1);
    // Any state with any detail (the LINECALLSTATE_ mode constants). A
    // CONNECTED call gets its data channel; IDLE closes it. The service still
    // keeps its order rules: a CONNECTED reported while the call's answer is
    // unreplied reaches the application after that reply.
    void SetCallState(CallId call, DWORD state, DWORD detail = 0, DWORD mediaMode = 0);
    // The remote side hangs up: the peer end closes (the application reads
    // end of file), then DISCONNECTED with `mode`.
    void RemoteHangup(CallId call, DWORD mode = LINEDISCONNECTMODE_NORMAL);
    // Changes what lineGetCallInfo reports and raises LINE_CALLINFO with
    // `states` (nothing when 0).
    void EditCallInfo(CallId call, const std::function<void(CallInfoData&)>& edit, DWORD states);
    void SetCallerId(CallId call, const PartyInfo& party);
    void SetCalledId(CallId call, const PartyInfo& party);
    void RaiseCallInfo(CallId call, DWORD states);
    // Detected events; reported only while the application monitors them
    // (false when it does not, and nothing is raised).
    bool DetectDigit(CallId call, char digit, DWORD mode = LINEDIGITMODE_DTMF);
    bool DetectMedia(CallId call, DWORD mediaMode);
    bool DetectTone(CallId call, DWORD appSpecific);
    // What a line knows of the far side of a call (the Trait bits of
    // LineExtensions.h): LINE_DEVSPECIFIC to the applications, as a line reports
    // a change.
    void SetLineTraits(CallId call, DWORD traits);
    // The terminal an application last described to the line with
    // lineDevSpecific (a block of LineExtensions.h); nothing before it did. The
    // request is answered like any other ("lineDevSpecific"); a block that
    // does not decode is refused with LINEERR_INVALPARAM.
    std::optional<devspecific::TerminalInfo> TerminalInfo(int line) const;
    // The device goes away: LINE_CLOSE to every open, its calls are gone.
    void ForceCloseLine(int line);
    LineDeviceInfo& Info(int line);

    std::vector<CallId> Calls(int line) const; // live calls, oldest first
    CallId LastCall() const;                   // the newest live call, or 0
    DWORD State(CallId call) const;            // 0 for an unknown call
    CallInfoData CallInfo(CallId call) const;
    QString DialledNumber(CallId call) const; // makeCall number + every lineDial
    DWORD MonitoredDigits(CallId call) const;
    DWORD MonitoredMedia(CallId call) const;
    std::vector<LINEMONITORTONE> MonitoredTones(CallId call) const;
    QString GeneratedDigits(CallId call) const;

    // --- Data channel ----------------------------------------------------------------
    bool HasDataChannel(CallId call) const;
    int PeerFd(CallId call) const; // the test's end, owned by the exchange; -1: none
    bool WritePeer(CallId call, const QByteArray& bytes);
    QByteArray ReadPeer(CallId call); // what has arrived so far, without waiting
    // A scripted peer: `onData` runs from the event loop with every chunk the
    // application writes; `send` writes back.
    using PeerScript =
        std::function<void(const QByteArray& received, const std::function<void(QByteArray)>& send)>;
    void SetPeerScript(CallId call, PeerScript script);
    void SetPeerEcho(CallId call);

    // --- Phones -------------------------------------------------------------------------
    PhoneStatusData& PhoneStatus(int phone);
    // Sets a hookswitch as the user would and reports it with PHONE_STATE.
    void SetHookSwitch(int phone, DWORD dev, DWORD mode);
    void RaisePhoneState(int phone, DWORD state, DWORD detail = 0);
    void ForceClosePhone(int phone); // PHONE_CLOSE to every open
    bool IsPhoneOpen(int phone) const;

    // --- Configuration ----------------------------------------------------------------------
    QByteArray DevConfig(int line) const;
    void SetDevConfig(int line, const QByteArray& config);
    // What lineConfigDialog does: returns `result`; `edit` may change the
    // configuration as the user would.
    void SetConfigDialog(LONG result, std::function<void(QByteArray& config)> edit = {});

    // --- The record ---------------------------------------------------------------------------
    const std::vector<SimRequest>& Requests() const;
    std::vector<SimRequest> RequestsOf(const QString& function) const;
    int CountOf(const QString& function) const;
    void ClearRequests();

    // --- Provider -----------------------------------------------------------------------------
    QString Name() const override;
    void Attach(ProviderEvents* events) override;
    void Detach() override;
    LONG Screen(const ApiRequest& request) override;
    int LineCount() const override;
    LineDeviceInfo LineInfo(int line) const override;
    LONG GetAddressInfo(int line, DWORD addressId, AddressInfo& info) const override;
    QString LineFailure(int line) const override;
    LONG OpenLine(int line) override;
    void CloseLine(int line) override;
    void SetStatusMessages(int line, DWORD lineStates, DWORD addressStates) override;
    LONG GetID(int line, DWORD addressId, CallId call, DWORD select, const QString& deviceClass,
               DeviceIdData& out) override;
    LONG GetDevConfig(int line, const QString& deviceClass, QByteArray& config) override;
    LONG SetDevConfig(int line, const QString& deviceClass, const QByteArray& config) override;
    LONG ConfigDialog(int line, HWND owner, const QString& deviceClass) override;
    LONG MakeCall(RequestId request, int line, CallId newCall, const QString& number, DWORD countryCode,
                  const CallParamsData& params) override;
    LONG Dial(RequestId request, CallId call, const QString& number, DWORD countryCode) override;
    LONG Answer(RequestId request, CallId call, const QByteArray& userUserInfo) override;
    LONG Drop(RequestId request, CallId call, const QByteArray& userUserInfo) override;
    LONG SetCallParams(RequestId request, CallId call, DWORD bearerMode, DWORD minRate, DWORD maxRate,
                       const LINEDIALPARAMS* dialParams) override;
    LONG Hold(RequestId request, CallId call) override;
    LONG Unhold(RequestId request, CallId call) override;
    LONG BlindTransfer(RequestId request, CallId call, const QString& number, DWORD countryCode) override;
    LONG SetupTransfer(RequestId request, CallId call, CallId consultCall,
                       const CallParamsData& params) override;
    LONG CompleteTransfer(RequestId request, CallId call, CallId consultCall, CallId confCall,
                          DWORD transferMode) override;
    LONG SetupConference(RequestId request, CallId call, int line, CallId confCall, CallId consultCall,
                         DWORD numParties, const CallParamsData& params) override;
    LONG AddToConference(RequestId request, CallId confCall, CallId consultCall) override;
    LONG DevSpecific(RequestId request, int line, DWORD addressId, CallId call,
                     const QByteArray& params) override;
    LONG GetCallInfo(CallId call, CallInfoData& info) override;
    LONG MonitorDigits(CallId call, DWORD digitModes) override;
    LONG MonitorMedia(CallId call, DWORD mediaModes) override;
    LONG MonitorTones(CallId call, const std::vector<LINEMONITORTONE>& tones) override;
    LONG GenerateDigits(CallId call, DWORD digitMode, const QString& digits, DWORD duration) override;
    void ReleaseCall(CallId call) override;
    int PhoneCount() const override;
    PhoneDeviceInfo PhoneInfo(int phone) const override;
    LONG OpenPhone(int phone) override;
    void ClosePhone(int phone) override;
    void SetPhoneStatusMessages(int phone, DWORD phoneStates) override;
    LONG GetPhoneStatus(int phone, PhoneStatusData& status) override;
    LONG SetHookSwitch(RequestId request, int phone, DWORD devs, DWORD mode) override;
    LONG SetRing(RequestId request, int phone, DWORD mode, DWORD volume) override;
    LONG SetLamp(RequestId request, int phone, DWORD lamp, DWORD mode) override;
    LONG SetDisplay(RequestId request, int phone, DWORD row, DWORD column, const QByteArray& text) override;
    LONG SetVolume(RequestId request, int phone, DWORD dev, DWORD volume) override;
    LONG SetGain(RequestId request, int phone, DWORD dev, DWORD gain) override;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

} // namespace tapi::sim
