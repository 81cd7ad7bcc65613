// QvPhone: one line device of the telephony service, its calls and the
// devices around it.
//
// Everything runs on the thread that owns the component's hidden window. The
// service's callbacks become MSG_LINE_EVENT / MSG_PHONE_EVENT on that window;
// methods return 0 or a code of the suite (GetErrorMessage gives its text);
// asynchronous failures arrive as lsError / csError events. Events may be
// raised while LineActive, PickUp or Hangup is still on the stack, because
// those let pending messages run before they return.
//
// Ownership: the comm handle of a call (GetCommHandle) belongs to the phone,
// which closes it when the call goes idle or the line closes; the caller never
// closes it. Closing the line, whoever closes it, forgets every call of that
// line after OnBeforeDisconnect has been raised for each live one.
#pragma once

#include "common/CallDataSource.h"
#include "telephony/PhoneLists.h"
#include "telephony/PhoneTypes.h"
#include "telephony/TExtDev.h"
#include "telephony/TModemSpeaker.h"
#include "telephony/TQvTimer.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace qv {

class QvPhone : public TCallDataSource
{
public:
    explicit QvPhone(TComponent* owner = nullptr);
    ~QvPhone() override;

    // ---- Line set-up
    // Opens (raising lsActivated, -1) or closes (lsDeactivated, 1) line
    // `lineId`; activating another line closes the open one first. Closing a
    // line that is not the open one does nothing.
    int LineActive(int lineId, bool activate);
    // Closes and reopens the line so that MediaMode, LinePrivilege, the modem
    // speaker and icon take effect: 159 while a call is offered, 158 while
    // one is in progress, 160 while a request is pending. Quiet: no
    // lsDeactivated/lsActivated, but a line left closed says so once with
    // (lsDeactivated, 0).
    int LineReactivate(bool quiet);
    // Why line `lineId`'s last open, set-up or hang-up failed, in the words of
    // the line's provider and naming what the user can do ("No permission to
    // open the modem device /dev/ttyUSB0: join the dialout group ..."); empty
    // when it went well or the line has nothing to add. It is the detail of
    // the code that LineActive returned, of an lsDeactivated(0) that closed
    // the line, or of a csError(111) of a failed hang-up; the code stays the
    // verdict.
    QString LineFailureText(int lineId) const;
    int GetLineName(int lineId, QString& name);
    int GetLineCaps(int lineId, int& caps);
    int GetNumberOfAddresses(int lineId, int& count);
    int GetAddressName(int lineId, int addressId, QString& name);

    // ---- Calls
    // The current call is the one the last call state, ring or reply report
    // named; Answer, PickUp, Hangup and GetCommHandle act on it. OnCallState
    // always names the call it reports, which is then current.
    //
    // Places a call; the states follow as csDialTone .. csConnected, whose
    // Param1 is 0 for voice, 1 for data, and Param2 the tag. In mmFax the
    // number waits in FaxDialCommand and csWaitingForFaxCommand replaces
    // csConnected.
    int DialNumber(const QByteArray& number, int tag);
    // Off hook without a number, or Answer when the current call is offered.
    int PickUp(int tag);
    // Answers the offered or ringing current call. An offered call reports
    // csOffering, then csRing at every ring with its own count in Param1
    // (InitialRingNumber for the first ring, then one more each time).
    int Answer(int tag);
    // Raises OnBeforeDisconnect and csWaitingDisconnection, then csDisconnected
    // when the service has dropped the call. 161 without a call to hang up.
    // A remote hang-up reports csRemotePartyDisconnected (and, with
    // AutoDisconnect, hangs up by itself); a call abandoned while offered ends
    // with csOfferedCallDropped.
    int Hangup();
    int GetCallState(int index, TCallState& state) const;
    int GetCallHandle(int index, int& callHandle) const;
    int GetAddressID(int callHandle, int& addressId);

    // ---- Call monitoring
    // What the service learns of a call arrives as OnCallerID / OnCalledID
    // (each party once per call), OnCallInfo, OnDigitDetected,
    // OnToneDetected and OnFaxToneDetected (at most one every 3 s). Digits
    // and fax tones are watched while a call is connected and its data
    // channel is off. The three methods below need a connected current call
    // (161); 106 when the device is busy, 115 for a bad call, 101 without a
    // device, -50 without memory, -1 otherwise.
    //
    // Watches for one tone; a new request replaces the tone watched.
    int MonitorTones(int RefNum, int Duration, int Frequency1, int Frequency2, int Frequency3);
    int MonitorTonesCancel();
    // Sends DTMF digits; the end of sending is not reported.
    int GenerateDTMFDigits(const QByteArray& Digits);

    // ---- Supplementary services
    // All need an open line (157), a connected call (161) and no request
    // pending on it (160); failures of the service's replies arrive as
    // csError on the call, or as ccsError on a consultation.
    int Hold();
    int Unhold();
    // Blind transfer of the current call; its later disconnection is ours,
    // not the remote's.
    int Transfer(const QByteArray& Number);
    int TransferAToB(int CallA, int CallB);
    // The conference call joins the call list with Tag once the service
    // has made it.
    int CreateConferenceCall(int CallA, int CallB, int Tag);
    // A consultation call from the current call, for a transfer or for a
    // conference: ccsStarted, and at its dial tone Number is dialled.
    int ConsultCallDialNumber(bool Transfer, const QByteArray& Number);
    // Transfers the current (primary) call to its consultation, or adds the
    // consultation to the conference; 170 without a consultation call.
    int ConsultCallComplete();
    // Drops the consultation call of the current (primary) call; 170
    // without one, or when it has already ended.
    int ConsultCallCancel();
    // Switches the current call's data channel by hand. Switching off a call
    // that is pass-through by nature (a fax call) does nothing.
    int Passthrough(bool Enable);

    // TCallDataSource
    bool IsConnected() const override;
    bool IsCallConnected(int callHandle) const override;
    int CurrentCallHandle() const override { return static_cast<int>(m_currentCall); }
    // The descriptor is cached per call; -1 with the code on failure.
    int GetCommHandle(int& handle) override;

    // ---- Devices around the line (QvPhoneDevices.cpp)
    // The line provider's own configuration dialog, modal; `parent` is the
    // owning widget or null. 159 while a call is offered, 158 while one is in
    // progress; 102 bad line, 101 no device, -10 refused, -50, -1 otherwise.
    int LineConfigDialog(void* parent, int lineId);
    // The dialog, then the line's "comm/datamodem" configuration stored as
    // value `valueName` of `key` under `rootKey` (LineConfigStore.h). -10
    // without a root key, key and value name; -1 when the store cannot be
    // written or the configuration is larger than the value holds.
    int LineConfigDialogSave(void* parent, std::uint32_t rootKey, const QString& key,
                             const QString& valueName, int lineId);
    // Gives line `lineId` the configuration stored by LineConfigDialogSave;
    // used from its next opening. 163 no such value, 105 a value of another
    // line, -1 a value that is damaged or the device's refusal.
    int LineConfigLoad(std::uint32_t rootKey, const QString& key, const QString& valueName, int lineId);
    // The wave device of an address (fromAddress) or a call handle; WaveRecID
    // and WavePlayID are left as they are. -2 in `waveId` for a device class
    // the service refuses without a mapped error.
    int GetWaveRecIDFrom(bool fromAddress, int value, int& waveId);
    int GetWavePlayIDFrom(bool fromAddress, int value, int& waveId);
    // The line's phone device. The setters are asynchronous: 0 once the phone
    // took the request, a refusal later raises OnLineState(lsError, 164).
    // 164 without the feature, -10 for a ring mode, lamp or cell it lacks
    // (rows and columns count from 0).
    int ExtPhoneSetRing(int ringMode, int volume);
    int ExtPhoneGetRing(int& ringMode, int& volume);
    int ExtPhoneSetLamp(int lampId, int lampMode);
    int ExtPhoneGetLamp(int lampId, int& lampMode);
    int ExtPhoneSetDisplay(int row, int column, const QString& text);
    int ExtPhoneGetDisplay(QString& text);

    // ---- What the line knows of its far side
    // The traits of the current call, the defaults without one; OnLineTraits
    // is raised whenever a call's traits change.
    TLineTraits LineTraits() const;
    // Tells the line what the terminal emulates, in order of preference, and
    // its size in characters (a telnet line answers TTYPE and NAWS with
    // them, and sends a new size at once during a call). Kept for every
    // later call of any line and given to each line as it opens; -10 for an
    // empty list, more than 16 types, a type that is not 1..40 printable
    // ASCII characters, or a size outside 1..999; otherwise 0, also when the
    // line has no use for it.
    int SetTerminalInfo(const QList<QByteArray>& terminalTypes, int columns, int rows);

    // ---- Properties
    bool IsActive() const { return m_serviceState == ServiceState::Open; }
    bool AutoDisconnect() const { return m_autoDisconnect; }
    void SetAutoDisconnect(bool value) { m_autoDisconnect = value; }
    // Attaches to the service; a failure raises OnLineState(lsError, code)
    // and reads 0.
    int NumberOfLines();
    int NumberOfActiveCalls() const { return m_calls.Count(); }
    int LineID() const { return static_cast<int>(m_lineId); }
    TMediaMode CurrentMediaMode() const { return m_currentMediaMode; }
    TLinePrivilege CurrentLinePrivilege() const { return m_currentPrivilege; }
    TMediaMode MediaMode() const { return m_mediaMode; }
    void SetMediaMode(TMediaMode value) { m_mediaMode = value; }
    TLinePrivilege LinePrivilege() const { return m_privilege; }
    void SetLinePrivilege(TLinePrivilege value) { m_privilege = value; }
    int WaveRecID() const { return m_active.waveIn; }
    int WavePlayID() const { return m_active.waveOut; }
    TExtDev& ExtDevHandSet() { return m_handset; }
    TExtDev& ExtDevAux() { return m_aux; }
    int ExtPhoneNumOfRings() const { return m_active.valid ? m_active.rings : 0; }
    int ExtPhoneNumOfLamps() const { return m_active.valid ? m_active.lamps : 0; }
    int ExtPhoneNumOfDisplayRows() const { return m_active.valid ? m_active.displayRows : 0; }
    int ExtPhoneNumOfDisplayCols() const { return m_active.valid ? m_active.displayCols : 0; }
    TModemSpeaker& ModemSpeaker() { return m_modemSpeaker; }
    bool ShowModemIcon() const { return m_showModemIcon; }
    void SetShowModemIcon(bool value) { m_showModemIcon = value; }
    bool WaitForDialTone() const { return m_waitForDialTone; }
    void SetWaitForDialTone(bool value) { m_waitForDialTone = value; }
    int TimeOut() const { return m_timeOut; }
    void SetTimeOut(int value); // negative values are ignored
    int InitialRingNumber() const { return m_initialRingNumber; }
    void SetInitialRingNumber(int value) { m_initialRingNumber = value; }
    int AddressID() const { return m_addressId; }
    void SetAddressID(int value) { m_addressId = value; }

    // "ATD" + number + CR of the last fax call; cleared by Hangup.
    QByteArray FaxDialCommand() const { return m_faxDialCommand; }
    // Requests still waiting for their reply (diagnostics and tests).
    int PendingRequestCount() const { return m_pending.Count(); }
    const TQvTimer& Timer() const { return m_timer; }

    // ---- Events
    const TLineStateEvent& OnLineState() const { return m_onLineState; }
    void SetOnLineState(TLineStateEvent h) { m_onLineState = std::move(h); }
    const TCallStateEvent& OnCallState() const { return m_onCallState; }
    void SetOnCallState(TCallStateEvent h) { m_onCallState = std::move(h); }
    const TConsultCallStateEvent& OnConsultCallState() const { return m_onConsultCallState; }
    void SetOnConsultCallState(TConsultCallStateEvent h) { m_onConsultCallState = std::move(h); }
    const TCallEvent& OnBeforeDisconnect() const { return m_onBeforeDisconnect; }
    void SetOnBeforeDisconnect(TCallEvent h) { m_onBeforeDisconnect = std::move(h); }
    const THookStateEvent& OnHookState() const { return m_onHookState; }
    void SetOnHookState(THookStateEvent h) { m_onHookState = std::move(h); }
    const TPhoneNotifyEvent& OnExtDevAuxChanged() const { return m_onExtDevAuxChanged; }
    void SetOnExtDevAuxChanged(TPhoneNotifyEvent h) { m_onExtDevAuxChanged = std::move(h); }
    const TPhoneNotifyEvent& OnExtDevHandsetChanged() const { return m_onExtDevHandsetChanged; }
    void SetOnExtDevHandsetChanged(TPhoneNotifyEvent h) { m_onExtDevHandsetChanged = std::move(h); }
    const TExtPhoneEvent& OnExtPhoneChanged() const { return m_onExtPhoneChanged; }
    void SetOnExtPhoneChanged(TExtPhoneEvent h) { m_onExtPhoneChanged = std::move(h); }
    const TCallerIDEvent& OnCallerID() const { return m_onCallerID; }
    void SetOnCallerID(TCallerIDEvent h) { m_onCallerID = std::move(h); }
    const TCallerIDEvent& OnCalledID() const { return m_onCalledID; }
    void SetOnCalledID(TCallerIDEvent h) { m_onCalledID = std::move(h); }
    const TCallInfoEvent& OnCallInfo() const { return m_onCallInfo; }
    void SetOnCallInfo(TCallInfoEvent h) { m_onCallInfo = std::move(h); }
    const TDigitDetectedEvent& OnDigitDetected() const { return m_onDigitDetected; }
    void SetOnDigitDetected(TDigitDetectedEvent h) { m_onDigitDetected = std::move(h); }
    const TOnToneDetectedEvent& OnToneDetected() const { return m_onToneDetected; }
    void SetOnToneDetected(TOnToneDetectedEvent h) { m_onToneDetected = std::move(h); }
    const TCallEvent& OnFaxToneDetected() const { return m_onFaxToneDetected; }
    void SetOnFaxToneDetected(TCallEvent h) { m_onFaxToneDetected = std::move(h); }

    const TLineTraitsEvent& OnLineTraits() const { return m_onLineTraits; }
    void SetOnLineTraits(TLineTraitsEvent h) { m_onLineTraits = std::move(h); }

    // Called by TExtDev when a gain or volume changed.
    void ExtDevValueChanged(const TExtDev& device, bool gain);

protected:
    void WndProc(TMessage& message) override;

private:
    // Tests reach the consultation list through it until the supplementary
    // services can build consultations themselves.
    friend class QvPhoneTestPeer;

    enum class ServiceState
    {
        Uninitialised,
        Initialised,
        Open
    };

    // Set-up (QvPhone.cpp)
    int Initialise();
    int ProbeCaps(std::uint32_t lineId, int& caps);
    int ProbeDeviceClasses(TDeviceRecord& record, std::uint32_t probeLine);
    int OpenLine();
    int CloseLine();
    void ApplyModemSettings();
    void ApplyExtDevSettings();
    // False when a handler of OnBeforeDisconnect destroyed the phone.
    bool ForgetCalls(bool raiseBeforeDisconnect);
    void LineClosedByService();
    void RetireCell(CallCell cell);

    // Calls (QvPhoneCalls.cpp)
    void HandleLineMessage(const TCallbackRecord& record);
    void HandlePhoneMessage(const TCallbackRecord& record);
    void CallStateMessage(CallHandle call, std::uint32_t state, std::uint32_t detail);
    void ConsultCallStateMessage(CallHandle call, std::uint32_t state, std::uint32_t detail);
    void RemoveSpentConsults();
    void Ringing();
    void RingCall(CallHandle call);
    void ReplyMessage(std::uint32_t requestId, std::int32_t result);
    void ProcessReply(TPendingRequest& entry, std::int32_t result);
    void TimeoutPass();
    void ContinueDropChain(CallHandle call, std::intptr_t level);
    void AddPending(std::int32_t requestId, CallHandle call, int kind, std::intptr_t value, int extraMs = 0,
                    CallCell cell = nullptr, WindowHandle window = 0);
    void StopTimerIfIdle();
    int DialOrPickUp(const QByteArray& number, int tag, bool pickUp);
    int SwitchDataChannel(bool on, bool fixedRate, WindowHandle notify);
    void StartMonitoring(CallHandle call);
    void StopMonitoring(CallHandle call);
    void CloseCommHandle(CallHandle call);
    bool ReportRequestFailure(CallHandle call, int code);
    bool DataSwitchFailed(CallHandle call, WindowHandle window, int code);
    void HangupFailed(CallHandle call);
    void SetCallState(CallHandle call, TCallState state);
    TConsultEntry* ConsultOfCall(CallHandle consultCall);
    TConsultEntry* ConsultOfConference(CallHandle conferenceCall);
    TConsultEntry* ConsultOfPrimary(CallHandle primary);
    bool HasPending(CallHandle call) const { return m_pending.HasCall(call); }

    // Devices around the line (QvPhoneDevices.cpp)
    friend class TExtDev;
    int CallsBlockConfiguration() const;
    int GetMicSpeakerState(const TExtDev& device, std::uint8_t& state);
    int SetMicSpeakerState(TExtDev& device, std::uint8_t state);
    int GetWaveIdFrom(const char16_t* deviceClass, bool fromAddress, int value, int& waveId);
    int PhoneRequestIssued(long result);
    void PhoneStateMessage(std::uint32_t states);
    void PhoneRequestFailed(const TPendingRequest& entry);

    // Monitoring (QvPhoneMonitor.cpp)
    void CallInfoMessage(CallHandle call, std::uint32_t states);
    // False when a handler destroyed the phone.
    bool PartyIdMessage(CallHandle call, bool caller);
    void DigitMessage(CallHandle call, std::uint32_t digit);
    void MediaMessage(CallHandle call, std::uint32_t mediaMode);
    void ToneMessage(CallHandle call, std::uint32_t appSpecific);
    void DevSpecificMessage(CallHandle call, std::uint32_t code, std::uint32_t value);
    void SendTerminalInfo();
    int SetMonitoredTones(const void* tones, std::uint32_t count);

    // Supplementary services (QvPhoneServices.cpp)
    void DialConsultation(CallHandle consultCall);
    int CancelConsultation(CallHandle primary);
    // A transfer the service refused leaves the call ours again.
    void TransferRefused(CallHandle call);

    // Raises an event: runs a copy of `handler` (a handler that replaces or
    // clears itself must not free the function that runs), unless it is
    // empty or the phone is being destroyed. False when the handler destroyed
    // the phone: the caller returns at once and touches no member. Whatever
    // raises events through another operation holds m_alive across the call
    // and tests it afterwards in the same way.
    template <class Handler, class... Args> bool FireEvent(const Handler& handler, Args&&... args);
    bool RaiseLineState(TLineState state, int param1);
    bool RaiseCallState(TCallState state, int param1, int param2, CallHandle call);
    bool RaiseConsultCallState(TConsultCallState state, int param1, CallHandle consult, CallHandle primary);
    bool RaiseBeforeDisconnect(CallHandle call);
    bool RaiseLineTraits(const TLineTraits& traits, CallHandle call);

    // False from the start of destruction on; shared with the operations on
    // the stack, so that they find out when a handler destroyed the phone.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);

    // Service attachment
    ServiceState m_serviceState = ServiceState::Uninitialised;
    std::uint32_t m_lineApp = 0, m_phoneApp = 0, m_line = 0, m_phone = 0;
    std::uint32_t m_numLines = 0;
    TCallbackRecord m_lineRecord, m_phoneRecord;
    std::uintptr_t m_lineInstance = 0, m_phoneInstance = 0;
    TDeviceRecord m_active, m_probe;
    bool m_quiet = false;

    // Properties
    bool m_autoDisconnect = true;
    std::uint32_t m_lineId = 0;
    TMediaMode m_currentMediaMode = mmVoice, m_mediaMode = mmVoice;
    TLinePrivilege m_currentPrivilege = lpOwner, m_privilege = lpOwner;
    TExtDev m_handset, m_aux;
    TModemSpeaker m_modemSpeaker;
    bool m_showModemIcon = false;
    bool m_waitForDialTone = false;
    int m_timeOut = 10000;
    int m_initialRingNumber = 1;
    int m_addressId = 0;

    // Calls
    CallHandle m_currentCall = 0;
    TCallList m_calls;
    TPendingTable m_pending;
    std::vector<TConsultEntry> m_consults;
    std::vector<CallHandle> m_pickedUp;
    std::uint32_t m_bearerMode = 0;
    bool m_dataChannel = false;
    QByteArray m_faxDialCommand;
    QString m_callerIdMemory, m_calledIdMemory;
    std::map<CallHandle, int> m_commHandles;
    std::vector<CallCell> m_retiredCells;
    bool m_inTimeoutPass = false;
    TQvTimer m_timer;

    TLineStateEvent m_onLineState;
    TCallStateEvent m_onCallState;
    TConsultCallStateEvent m_onConsultCallState;
    TCallEvent m_onBeforeDisconnect;
    THookStateEvent m_onHookState;
    TPhoneNotifyEvent m_onExtDevAuxChanged, m_onExtDevHandsetChanged;
    TExtPhoneEvent m_onExtPhoneChanged;
    enum class HookReport
    {
        None,
        OnHook,
        OffHook
    };
    HookReport m_lastHookReport = HookReport::None;
    TCallerIDEvent m_onCallerID, m_onCalledID;
    TCallInfoEvent m_onCallInfo;
    TDigitDetectedEvent m_onDigitDetected;
    TOnToneDetectedEvent m_onToneDetected;
    TCallEvent m_onFaxToneDetected;
    TLineTraitsEvent m_onLineTraits;
    std::map<CallHandle, TLineTraits> m_lineTraits;
    QList<QByteArray> m_terminalTypes{QByteArrayLiteral("ANSI")};
    int m_terminalColumns = 80, m_terminalRows = 24;
    // Monotonic time of the last fax tone reported, if any.
    bool m_faxToneSeen = false;
    std::int64_t m_lastFaxToneMs = 0;
};

template <class Handler, class... Args> bool QvPhone::FireEvent(const Handler& handler, Args&&... args)
{
    if (!handler || IsDestroying())
        return true;
    const std::shared_ptr<bool> alive = m_alive;
    const Handler copy = handler;
    copy(std::forward<Args>(args)...);
    return *alive;
}

} // namespace qv
