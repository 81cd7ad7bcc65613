// QvPhone: making and ending calls, the replies and call states the service
// sends back, the time-out watch over outstanding requests and the call's
// data channel.
#include "telephony/QvPhone.h"

#include "common/Clock.h"
#include "common/ErrorCodes.h"
#include "telephony/TapiBuffer.h"
#include "telephony/service/Tapi.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>

namespace qv {

using namespace tapi;

namespace {

// How long a request whose time-out has been reported still waits for a late
// reply before it is forgotten.
constexpr std::int64_t kLateReplyGraceMs = 60000;

// wParam of MSG_LINE_EVENT for what a driver of the call learnt by itself.
constexpr std::uint32_t kBusy = 1;
constexpr std::uint32_t kNoDialTone = 2;
constexpr std::uint32_t kConnected = 3;

bool IsConnectedState(TCallState state)
{
    return state == csConnected || state == csOnHold || state == csUnhold || state == csInConference ||
           state == csRemovedFromConference;
}

bool IsOffered(TCallState state)
{
    return state == csOffering || state == csRing;
}

int DialCode(LONG rc)
{
    switch (rc) {
    case LINEERR_CALLUNAVAIL:
        return 107;
    case LINEERR_INVALADDRESS:
        return 155;
    default:
        return 108;
    }
}

// Why a call did not go through, for the disconnect modes that say so: a busy
// report with the cause, not the remote side hanging up on a call it never
// took. 0 for the others.
int NotCompletedCode(DWORD disconnectMode)
{
    switch (disconnectMode) {
    case LINEDISCONNECTMODE_REJECT:
        return 165;
    case LINEDISCONNECTMODE_UNREACHABLE:
        return 166;
    case LINEDISCONNECTMODE_NOANSWER:
        return 167;
    default:
        return 0;
    }
}

int RequestFailureCode(LONG rc)
{
    switch (rc) {
    case LINEERR_NOMEM:
        return err::OutOfMemory;
    case LINEERR_NOTOWNER:
        return 116;
    default:
        return err::Failed;
    }
}

std::u16string Wide(const QByteArray& text)
{
    return QString::fromLocal8Bit(text).toStdU16String();
}

} // namespace

// ------------------------------------------------------------- window

void QvPhone::WndProc(TMessage& message)
{
    TCallDataSource::WndProc(message);
    try {
        switch (message.Msg) {
        case MSG_LINE_EVENT:
            message.Result = 0;
            if (message.WParam == 0) {
                // A copy: a nested callback may overwrite the record while
                // this one is being handled.
                const TCallbackRecord record = m_lineRecord;
                HandleLineMessage(record);
            } else if (message.WParam == kBusy) {
                CallStateMessage(m_currentCall, LINECALLSTATE_BUSY, 0);
            } else if (message.WParam == kNoDialTone) {
                CallStateMessage(m_currentCall, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NODIALTONE);
            } else if (message.WParam == kConnected) {
                const TCallEntry* entry = m_calls.Find(m_currentCall);
                RaiseCallState(csConnected, 2, entry ? entry->tag : 0, m_currentCall);
            }
            break;
        case MSG_PHONE_EVENT: {
            message.Result = 0;
            const TCallbackRecord record = m_phoneRecord;
            HandlePhoneMessage(record);
            break;
        }
        case MSG_HANGUP_CALL:
            m_currentCall = static_cast<CallHandle>(message.LParam);
            message.Result = Hangup();
            break;
        case MSG_CALL_DATA_READY:
            message.Result =
                SwitchDataChannel(true, message.WParam != 0, static_cast<WindowHandle>(message.LParam));
            break;
        default:
            break;
        }
    } catch (const std::exception& e) {
        // What the application's exception handler would do: say so and go on.
        std::fprintf(stderr, "QvPhone: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "QvPhone: unknown exception\n");
    }
}

void QvPhone::HandleLineMessage(const TCallbackRecord& record)
{
    const auto p1 = static_cast<DWORD>(record.param1);
    const auto p2 = static_cast<DWORD>(record.param2);
    switch (record.message) {
    case LINE_CALLSTATE:
        CallStateMessage(static_cast<CallHandle>(record.device), p1, p2);
        break;
    case LINE_CLOSE:
        if (static_cast<HLINE>(record.device) == m_line)
            LineClosedByService();
        break;
    case LINE_LINEDEVSTATE:
        if (p1 == LINEDEVSTATE_RINGING)
            Ringing();
        break;
    case LINE_REPLY:
        ReplyMessage(p1, static_cast<LONG>(p2));
        break;
    case LINE_CALLINFO:
        CallInfoMessage(static_cast<CallHandle>(record.device), p1);
        break;
    case LINE_MONITORDIGITS:
        DigitMessage(static_cast<CallHandle>(record.device), p1);
        break;
    case LINE_MONITORMEDIA:
        MediaMessage(static_cast<CallHandle>(record.device), p1);
        break;
    case LINE_MONITORTONE:
        ToneMessage(static_cast<CallHandle>(record.device), p1);
        break;
    case LINE_DEVSPECIFIC:
        DevSpecificMessage(static_cast<CallHandle>(record.device), p1, p2);
        break;
    default:
        break;
    }
}

void QvPhone::HandlePhoneMessage(const TCallbackRecord& record)
{
    switch (record.message) {
    case PHONE_CLOSE:
        if (m_phone != 0 && static_cast<HPHONE>(record.device) == m_phone)
            m_phone = 0;
        break;
    case PHONE_REPLY: {
        const auto requestId = static_cast<DWORD>(record.param1);
        const auto result = static_cast<LONG>(static_cast<DWORD>(record.param2));
        const std::shared_ptr<bool> alive = m_alive;
        while (std::optional<TPendingRequest> entry = m_pending.Take(requestId)) {
            if (result >= 0)
                continue;
            PhoneRequestFailed(*entry);
            if (!*alive)
                return;
        }
        StopTimerIfIdle();
        break;
    }
    case PHONE_STATE:
        PhoneStateMessage(static_cast<DWORD>(record.param1));
        break;
    default:
        break;
    }
}

// ------------------------------------------------------------- call states

TConsultEntry* QvPhone::ConsultOfCall(CallHandle consultCall)
{
    if (consultCall == 0)
        return nullptr;
    for (TConsultEntry& entry : m_consults)
        if (entry.Consult() == consultCall)
            return &entry;
    return nullptr;
}

TConsultEntry* QvPhone::ConsultOfConference(CallHandle conferenceCall)
{
    if (conferenceCall == 0)
        return nullptr;
    for (TConsultEntry& entry : m_consults)
        if (entry.Conference() == conferenceCall)
            return &entry;
    return nullptr;
}

TConsultEntry* QvPhone::ConsultOfPrimary(CallHandle primary)
{
    for (TConsultEntry& entry : m_consults)
        if (entry.primary == primary)
            return &entry;
    return nullptr;
}

void QvPhone::CallStateMessage(CallHandle call, DWORD state, DWORD detail)
{
    if (call == 0)
        return;
    if (ConsultOfCall(call)) {
        ConsultCallStateMessage(call, state, detail);
        return;
    }
    const TConsultEntry* conference = ConsultOfConference(call);
    const bool isConference = conference != nullptr;
    // A conference call reports its states on its primary call.
    const CallHandle target = isConference ? conference->primary : call;
    const TCallEntry* known = m_calls.Find(target);
    const TCallState previous = known ? known->state : csDisconnected;
    const bool pickedUp = std::find(m_pickedUp.begin(), m_pickedUp.end(), call) != m_pickedUp.end();

    TCallState next;
    int param1 = 0;
    switch (state) {
    case LINECALLSTATE_IDLE:
        if (isConference) {
            lineDeallocateCall(call);
            for (TConsultEntry& entry : m_consults)
                if (entry.Conference() == call)
                    *entry.conferenceCell = 0;
            RemoveSpentConsults();
            m_calls.Remove(call);
            m_lineTraits.erase(call);
            return;
        }
        next = IsOffered(previous) ? csOfferedCallDropped : csDisconnected;
        CloseCommHandle(call);
        m_callerIdMemory.clear();
        m_calledIdMemory.clear();
        break;
    case LINECALLSTATE_OFFERING:
        next = csOffering;
        break;
    case LINECALLSTATE_DIALTONE:
        next = csDialTone;
        break;
    case LINECALLSTATE_DIALING:
        next = csDialing;
        break;
    case LINECALLSTATE_RINGBACK:
        next = csRingBack;
        break;
    case LINECALLSTATE_BUSY:
        next = csBusy;
        break;
    case LINECALLSTATE_PROCEEDING:
        next = csProceeding;
        break;
    case LINECALLSTATE_CONNECTED:
        if (isConference)
            return;
        if (previous == csOnHold) {
            next = csUnhold;
        } else if (previous == csInConference) {
            next = csRemovedFromConference;
        } else {
            StartMonitoring(call);
            next = csConnected;
        }
        break;
    case LINECALLSTATE_ONHOLD:
    case LINECALLSTATE_ONHOLDPENDTRANSFER:
        next = csOnHold;
        break;
    case LINECALLSTATE_ONHOLDPENDCONF:
        if (isConference)
            return;
        next = csOnHold;
        break;
    case LINECALLSTATE_CONFERENCED:
        next = csInConference;
        break;
    case LINECALLSTATE_DISCONNECTED:
        if (!isConference) {
            m_callerIdMemory.clear();
            m_calledIdMemory.clear();
        }
        if (detail == LINEDISCONNECTMODE_BUSY) {
            next = csBusy;
        } else if (detail == LINEDISCONNECTMODE_NODIALTONE) {
            next = csNoDialTone;
        } else if (const int cause = NotCompletedCode(detail)) {
            if (!known || known->disconnectHandled)
                return;
            next = csBusy;
            param1 = cause;
        } else {
            // Our own hang-up is not the remote side going away.
            if (!known || known->disconnectHandled)
                return;
            next = csRemotePartyDisconnected;
        }
        break;
    default:
        return;
    }

    m_currentCall = target;
    TCallEntry& entry = m_calls.Ensure(target, m_initialRingNumber);
    entry.state = next;
    const int tag = entry.tag;

    bool alive = true;
    if (next == csConnected) {
        switch (m_currentMediaMode) {
        case mmVoice:
            alive = RaiseCallState(csConnected, 0, tag, target);
            break;
        case mmData:
            alive = RaiseCallState(csConnected, 1, tag, target);
            break;
        case mmFax:
            alive = RaiseCallState(csWaitingForFaxCommand, 0, 0, target);
            break;
        }
    } else if (!(next == csDialing && pickedUp)) {
        alive = RaiseCallState(next, param1, 0, target);
    }
    if (!alive)
        return;

    if (next == csDisconnected || next == csOfferedCallDropped) {
        lineDeallocateCall(target);
        m_calls.Remove(target);
        m_lineTraits.erase(target);
        m_pickedUp.erase(std::remove(m_pickedUp.begin(), m_pickedUp.end(), target), m_pickedUp.end());
        if (m_currentCall == target)
            m_dataChannel = false;
    } else if (next == csRemotePartyDisconnected || next == csBusy || next == csNoDialTone) {
        if (m_autoDisconnect) {
            m_currentCall = target;
            Hangup();
        }
    }
}

void QvPhone::RemoveSpentConsults()
{
    for (auto it = m_consults.begin(); it != m_consults.end();) {
        if (it->Consult() == 0 && it->Conference() == 0) {
            RetireCell(std::move(it->consultCell));
            RetireCell(std::move(it->conferenceCell));
            it = m_consults.erase(it);
        } else {
            ++it;
        }
    }
}

// ------------------------------------------------------------- ringing

void QvPhone::Ringing()
{
    std::vector<CallHandle> ringing;
    for (int i = 0; i < m_calls.Count(); ++i)
        if (IsOffered(m_calls.At(i).state))
            ringing.push_back(m_calls.At(i).handle);
    // A service that rings without offering first: the one call there is
    // rings, unless it is a call already in progress.
    if (ringing.empty() && m_calls.Count() == 1) {
        const TCallState only = m_calls.At(0).state;
        if (!IsConnectedState(only) && only != csWaitingDisconnection)
            ringing.push_back(m_calls.At(0).handle);
    }
    for (CallHandle call : ringing) {
        TCallEntry* entry = m_calls.Find(call);
        if (!entry)
            continue; // a handler dropped it meanwhile
        entry->state = csRing;
        const int count = entry->ringCount++;
        m_currentCall = call;
        if (!RaiseCallState(csRing, count, 0, call))
            return;
    }
}

// ------------------------------------------------------------- requests

void QvPhone::AddPending(LONG requestId, CallHandle call, int kind, std::intptr_t value, int extraMs,
                         CallCell cell, WindowHandle window)
{
    TPendingRequest entry;
    entry.requestId = static_cast<DWORD>(requestId);
    entry.deadlineMs = Clock::Instance().MonotonicMs() + m_timeOut + extraMs;
    entry.call = call;
    entry.kind = kind;
    entry.value = value;
    entry.cell = std::move(cell);
    entry.window = window;
    m_pending.Add(std::move(entry));
    m_timer.SetEnabled(true);
}

void QvPhone::StopTimerIfIdle()
{
    if (m_pending.Empty())
        m_timer.SetEnabled(false);
}

bool QvPhone::ReportRequestFailure(CallHandle call, int code)
{
    if (call == 0)
        return RaiseLineState(lsError, code);
    m_currentCall = call;
    return RaiseCallState(csError, code, 0, call);
}

bool QvPhone::DataSwitchFailed(CallHandle call, WindowHandle window, int code)
{
    // A port waiting to open on the call learns it and reports it; the call
    // itself reports it only when nobody waits.
    if (window == 0 || !MessageWindow::IsWindow(window))
        return ReportRequestFailure(call, code);
    const std::shared_ptr<bool> alive = m_alive;
    SendMessage(window, MSG_CALL_DATA_READY, kCallDataRefused, code);
    return *alive;
}

void QvPhone::HangupFailed(CallHandle call)
{
    // The call is still there: it leaves the waiting state, so that hanging
    // up again sends another drop and the line can be closed once it ends.
    if (TConsultEntry* consult = ConsultOfCall(call)) {
        if (consult->state == ccsWaitingDisconnection) {
            consult->state = consult->stateBeforeHangup;
            consult->completed = consult->completedBeforeHangup;
        }
        return;
    }
    if (TCallEntry* entry = m_calls.Find(call); entry && entry->state == csWaitingDisconnection) {
        entry->state = entry->stateBeforeHangup;
        entry->disconnectHandled = entry->handledBeforeHangup;
    }
}

void QvPhone::ReplyMessage(DWORD requestId, LONG result)
{
    std::optional<TPendingRequest> entry = m_pending.Take(requestId);
    if (!entry)
        return;
    const std::shared_ptr<bool> alive = m_alive;
    ProcessReply(*entry, result);
    if (!*alive)
        return;
    StopTimerIfIdle();
}

void QvPhone::ProcessReply(TPendingRequest& entry, LONG result)
{
    const bool ok = result >= 0;
    const std::shared_ptr<bool> alive = m_alive;
    const CallHandle call = entry.call;
    switch (entry.kind) {
    case req::MakeCall:
        if (!ok) {
            RaiseLineState(lsError, DialCode(result));
        } else if (const CallHandle made = entry.cell ? *entry.cell : 0) {
            m_calls.Ensure(made, m_initialRingNumber).tag = static_cast<int>(entry.value);
        }
        break;
    case req::PickUpCall: {
        const CallHandle made = entry.cell ? *entry.cell : 0;
        if (!ok || made == 0) {
            RaiseLineState(lsError, 113);
            break;
        }
        m_calls.Ensure(made, m_initialRingNumber).tag = static_cast<int>(entry.value);
        const LONG rc = lineDialW(made, u"", 0);
        if (rc < 0) {
            RaiseLineState(lsError, 113);
        } else {
            AddPending(rc, made, req::PickUpDial, 0);
            m_pickedUp.push_back(made);
        }
        break;
    }
    case req::ConsultDial:
        if (!ok) {
            const TConsultEntry* consult = ConsultOfCall(call);
            RaiseConsultCallState(ccsError, DialCode(result), call, consult ? consult->primary : 0);
        }
        break;
    case req::BlindTransfer:
    case req::Hold:
        if (!ok) {
            if (entry.kind == req::BlindTransfer)
                TransferRefused(call);
            ReportRequestFailure(call, DialCode(result));
        }
        break;
    case req::TransferAToB:
        if (!ok) {
            TransferRefused(call);
            TransferRefused(static_cast<CallHandle>(entry.value));
            ReportRequestFailure(call, RequestFailureCode(result));
        }
        break;
    case req::ConsultComplete:
        if (!ok) {
            TConsultEntry* consult = ConsultOfCall(call);
            // Neither completed nor dropped: the consultation and its primary
            // call are as they were, and their ends are news again.
            if (consult && consult->state != ccsWaitingDisconnection) {
                consult->completed = false;
                if (consult->transfer)
                    TransferRefused(consult->primary);
            }
            RaiseConsultCallState(ccsError, result == LINEERR_OPERATIONUNAVAIL ? 105 : err::Failed, call,
                                  consult ? consult->primary : 0);
        }
        break;
    case req::ConsultSetup: {
        auto it = std::find_if(m_consults.begin(), m_consults.end(), [&](const TConsultEntry& consult) {
            return reinterpret_cast<std::intptr_t>(consult.consultCell.get()) == entry.value;
        });
        if (it == m_consults.end())
            break;
        const CallHandle consultCall = it->Consult();
        const CallHandle primary = it->primary;
        if (ok) {
            it->state = ccsStarted;
            RaiseConsultCallState(ccsStarted, 0, consultCall, primary);
        } else {
            RetireCell(std::move(it->consultCell));
            RetireCell(std::move(it->conferenceCell));
            m_consults.erase(it);
            RaiseConsultCallState(ccsError, result == LINEERR_OPERATIONUNAVAIL ? 105 : err::Failed,
                                  consultCall, primary);
        }
        break;
    }
    case req::Drop:
        if (!ok) {
            // The last drop of the chain failed: the call is still up.
            if (entry.value == 0)
                HangupFailed(call);
            if (!ReportRequestFailure(call, 111))
                return;
        }
        ContinueDropChain(call, entry.value);
        break;
    case req::DataSwitch:
        if (!ok) {
            DataSwitchFailed(call, entry.window, result == LINEERR_NOMEM ? err::OutOfMemory : err::Failed);
            break;
        }
        if (entry.value == 1) {
            StopMonitoring(call);
            m_dataChannel = true;
        } else {
            StartMonitoring(call);
            m_dataChannel = false;
        }
        if (entry.window)
            SendMessage(entry.window, MSG_CALL_DATA_READY, 0, 0);
        break;
    case req::ConferenceComplete:
        if (!ok) {
            ReportRequestFailure(call, DialCode(result));
        } else if (const CallHandle conference = entry.cell ? *entry.cell : 0) {
            m_calls.Ensure(conference, m_initialRingNumber).tag = static_cast<int>(entry.value);
        }
        break;
    default: // pick-up dial, answer, hookswitch, phone settings
        if (!ok)
            ReportRequestFailure(call, RequestFailureCode(result));
        break;
    }
    if (!*alive)
        return;
    RetireCell(std::move(entry.cell));
}

void QvPhone::TransferRefused(CallHandle call)
{
    TCallEntry* entry = m_calls.Find(call);
    if (entry && entry->state != csWaitingDisconnection)
        entry->disconnectHandled = false;
}

void QvPhone::TimeoutPass()
{
    // The handlers below may let messages run, and with them another tick.
    if (m_inTimeoutPass)
        return;
    m_inTimeoutPass = true;
    const std::shared_ptr<bool> alive = m_alive;
    const std::int64_t now = Clock::Instance().MonotonicMs();
    for (DWORD id : m_pending.RequestIds()) {
        TPendingRequest* entry = m_pending.Find(id);
        if (!entry)
            continue; // answered or dropped by a handler of this pass
        if (entry->timeoutReported) {
            // Reported once already; a reply that never comes is not awaited
            // for ever.
            if (now > entry->forgetAtMs)
                RetireCell(std::move(m_pending.Take(id)->cell));
            continue;
        }
        if (now <= entry->deadlineMs)
            continue;
        const CallHandle call = entry->call;
        const int kind = entry->kind;
        const std::intptr_t value = entry->value;
        const WindowHandle window = entry->window;
        if (kind == req::PickUpCall || kind == req::Drop) {
            RetireCell(std::move(m_pending.Take(id)->cell));
        } else {
            entry->timeoutReported = true;
            entry->forgetAtMs = now + kLateReplyGraceMs;
        }
        switch (kind) {
        case req::ConsultDial:
        case req::ConsultComplete: {
            const TConsultEntry* consult = ConsultOfCall(call);
            if (!RaiseConsultCallState(ccsError, 113, call, consult ? consult->primary : 0))
                return;
            continue; // reported through the consultation only
        }
        case req::DataSwitch:
            if (!DataSwitchFailed(call, window, 113))
                return;
            continue; // reported by the port that waited, if one did
        case req::PickUpDial:
            m_pickedUp.erase(std::remove(m_pickedUp.begin(), m_pickedUp.end(), call), m_pickedUp.end());
            m_currentCall = call;
            Hangup();
            break;
        case req::Answer:
            m_currentCall = call;
            Hangup();
            break;
        case req::Drop:
            if (value == 0)
                HangupFailed(call);
            ContinueDropChain(call, value);
            break;
        default:
            break;
        }
        if (!*alive || !ReportRequestFailure(call, 113))
            return;
    }
    m_inTimeoutPass = false;
    StopTimerIfIdle();
}

// ------------------------------------------------------------- dialling

int QvPhone::DialNumber(const QByteArray& number, int tag)
{
    return DialOrPickUp(number, tag, false);
}

int QvPhone::DialOrPickUp(const QByteArray& number, int tag, bool pickUp)
{
    if (!IsActive())
        return 157;
    if (m_addressId < 0)
        return 114;
    LINECALLPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwBearerMode = LINEBEARERMODE_VOICE;
    params.dwMinRate = 28800;
    params.dwMaxRate = 57600;
    params.dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
    params.dwAddressMode = LINEADDRESSMODE_ADDRESSID;
    params.dwAddressID = static_cast<DWORD>(m_addressId);
    if (m_waitForDialTone)
        params.DialParams.dwWaitForDialtone = 4;
    switch (m_currentMediaMode) {
    case mmVoice:
        params.dwMediaMode =
            (m_active.mediaModes & LINEMEDIAMODE_UNKNOWN) |
            ((m_active.mediaModes & LINEMEDIAMODE_AUTOMATEDVOICE) ? LINEMEDIAMODE_AUTOMATEDVOICE
                                                                  : LINEMEDIAMODE_INTERACTIVEVOICE);
        m_bearerMode = LINEBEARERMODE_VOICE;
        m_dataChannel = false;
        break;
    case mmData:
        params.dwMediaMode = LINEMEDIAMODE_DATAMODEM;
        m_bearerMode = LINEBEARERMODE_DATA;
        m_dataChannel = false;
        break;
    case mmFax:
        params.dwMediaMode = LINEMEDIAMODE_DATAMODEM;
        params.dwBearerMode = LINEBEARERMODE_PASSTHROUGH;
        m_bearerMode = LINEBEARERMODE_PASSTHROUGH;
        m_dataChannel = true;
        break;
    }
    QByteArray dial = number;
    if (m_waitForDialTone && !pickUp)
        dial.prepend('W');
    // A pick-up and a fax call go off hook without a number: they give the
    // service none at all, which a line tells from an empty number typed.
    bool offHook = pickUp;
    if (m_currentMediaMode == mmFax) {
        // The number waits in the dial command for whoever drives the fax
        // session.
        m_faxDialCommand = "ATD" + dial + "\r";
        dial.clear();
        offHook = true;
    }
    CallCell cell = std::make_unique<CallHandle>(0);
    const std::u16string wide = Wide(dial);
    const LONG rc = lineMakeCallW(m_line, cell.get(), offHook ? nullptr : wide.c_str(), 0, &params);
    if (rc < 0) {
        switch (rc) {
        case LINEERR_ALLOCATED:
        case LINEERR_RESOURCEUNAVAIL:
            return 106;
        case LINEERR_CALLUNAVAIL:
            return 107;
        case LINEERR_INVALADDRESS:
            return 155;
        case LINEERR_INVALADDRESSID:
            return 114;
        case LINEERR_INVALMEDIAMODE:
            return 162;
        default:
            return 108;
        }
    }
    AddPending(rc, 0, pickUp ? req::PickUpCall : req::MakeCall, tag, 0, std::move(cell));
    return 0;
}

int QvPhone::PickUp(int tag)
{
    if (!IsActive())
        return 157;
    if (IsConnected())
        return 158;
    if (m_currentCall != 0 && HasPending(m_currentCall))
        return 160;
    const TCallEntry* entry = m_calls.Find(m_currentCall);
    if (entry && IsOffered(entry->state))
        return Answer(tag);
    if (const int rc = DialOrPickUp(QByteArray(), tag, true))
        return rc;
    ProcessMessages();
    return 0;
}

int QvPhone::Answer(int tag)
{
    if (!IsActive())
        return 157;
    const CallHandle call = m_currentCall;
    const TCallEntry* entry = m_calls.Find(call);
    if (!entry || !IsOffered(entry->state))
        return 110;
    if (HasPending(call))
        return 160;
    TapiBuffer info;
    if (!info.Allocate(sizeof(LINECALLINFO)) || lineGetCallInfo(call, info.As<LINECALLINFO>()) < 0)
        return err::Failed;
    m_bearerMode = info.As<LINECALLINFO>()->dwBearerMode;
    LONG rc;
    if (m_currentMediaMode == mmFax) {
        m_dataChannel = true;
        m_bearerMode = LINEBEARERMODE_PASSTHROUGH;
        rc = lineSetCallParams(call, LINEBEARERMODE_PASSTHROUGH, 19200, 19200, nullptr);
    } else {
        m_dataChannel = false;
        rc = lineAnswer(call, nullptr, 0);
    }
    if (rc < 0) {
        switch (rc) {
        case LINEERR_CALLUNAVAIL:
            return 107;
        case LINEERR_INVALCALLHANDLE:
            return 115;
        case LINEERR_NOTOWNER:
            return 116;
        default:
            return 109;
        }
    }
    m_calls.Ensure(call, m_initialRingNumber).tag = tag;
    // A modem needs its training time on top of the ordinary allowance.
    AddPending(rc, call, req::Answer, 0, m_currentMediaMode == mmData ? 40000 : 0);
    return 0;
}

// ------------------------------------------------------------- hanging up

int QvPhone::Hangup()
{
    m_faxDialCommand.clear();
    const CallHandle current = m_currentCall;
    const TCallEntry* entry = m_calls.Find(current);
    const TCallState state = entry ? entry->state : csError;
    if (entry && (state == csDisconnected || state == csWaitingDisconnection))
        return 0;
    TConsultEntry* asConsult = ConsultOfCall(current);
    if (asConsult && (asConsult->state == ccsWaitingDisconnection || asConsult->state == ccsDisconnected))
        return 0;
    if ((!asConsult || asConsult->state == ccsError) && state == csError)
        return 161;

    CallHandle toDrop = current;
    int nextLevel = 0;
    bool consultWaits = false;
    if (const TConsultEntry* primary = ConsultOfPrimary(current); primary && primary->Conference() != 0) {
        toDrop = primary->Conference();
        nextLevel = 2;
    } else if (primary && primary->Consult() != 0) {
        toDrop = primary->Consult();
        nextLevel = 1;
    } else if (asConsult) {
        consultWaits = true;
    }

    // A handler that destroys the phone ends the call with the line.
    if (!RaiseBeforeDisconnect(current))
        return 0;

    // Marks the call as being hung up by us, so that the service's
    // DISCONNECTED that follows is not taken for the remote going away.
    auto waitingState = [&](LONG requestId) {
        if (consultWaits) {
            if (TConsultEntry* consult = ConsultOfCall(current)) {
                consult->stateBeforeHangup = consult->state;
                consult->completedBeforeHangup = consult->completed;
                consult->state = ccsWaitingDisconnection;
                consult->completed = true;
                RaiseConsultCallState(ccsWaitingDisconnection, requestId, current, consult->primary);
            }
            return;
        }
        TCallEntry& waiting = m_calls.Ensure(current, m_initialRingNumber);
        waiting.stateBeforeHangup = waiting.state;
        waiting.handledBeforeHangup = waiting.disconnectHandled;
        waiting.state = csWaitingDisconnection;
        waiting.disconnectHandled = true;
        m_currentCall = current;
        RaiseCallState(csWaitingDisconnection, 0, 0, current);
    };

    int result = 0;
    if (nextLevel == 0 && m_dataChannel && !IsDestroying()) {
        const LONG rc = lineSetCallParams(current, m_bearerMode, 0, 111000, nullptr);
        if (rc >= 0) {
            AddPending(rc, current, req::Drop, 1);
            waitingState(rc);
            return 0;
        }
        // Leaving data mode failed; dropping the call still ends it, but the
        // caller learns that the call did not leave data mode first.
        result = err::Failed;
    }

    const LONG rc = lineDrop(toDrop, nullptr, 0);
    if (rc < 0) {
        switch (rc) {
        case LINEERR_ALLOCATED:
        case LINEERR_INUSE:
        case LINEERR_RESOURCEUNAVAIL:
            return 106;
        case LINEERR_INVALCALLHANDLE:
            return 115;
        case LINEERR_NODEVICE:
            return 101;
        case LINEERR_NOMEM:
            return err::OutOfMemory;
        case LINEERR_NOTOWNER:
            return 116;
        default:
            return 111;
        }
    }
    AddPending(rc, current, req::Drop, nextLevel);
    waitingState(rc);
    ProcessMessages();
    return result;
}

void QvPhone::ContinueDropChain(CallHandle call, std::intptr_t level)
{
    for (std::intptr_t l = level; l >= 1; --l) {
        CallHandle handle = 0;
        if (l == 2) {
            if (const TConsultEntry* consult = ConsultOfPrimary(call))
                handle = consult->Consult();
        } else {
            const TCallEntry* entry = m_calls.Find(call);
            if (entry && entry->state != csError)
                handle = call;
        }
        if (handle == 0)
            continue;
        const LONG rc = lineDrop(handle, nullptr, 0);
        if (rc >= 0) {
            AddPending(rc, call, req::Drop, l - 1);
        } else {
            // Nothing more will be dropped: the call stays up.
            HangupFailed(call);
            m_currentCall = call;
            RaiseCallState(csError, 111, 0, call);
        }
        return;
    }
}

// ------------------------------------------------------------- queries

bool QvPhone::IsCallConnected(int callHandle) const
{
    const TCallEntry* entry = m_calls.Find(static_cast<CallHandle>(callHandle));
    return entry && IsConnectedState(entry->state);
}

bool QvPhone::IsConnected() const
{
    return IsCallConnected(static_cast<int>(m_currentCall));
}

int QvPhone::GetCallState(int index, TCallState& state) const
{
    if (index < 0 || index >= m_calls.Count())
        return err::InvalidArgument;
    state = m_calls.At(index).state;
    return 0;
}

int QvPhone::GetCallHandle(int index, int& callHandle) const
{
    if (index < 0 || index >= m_calls.Count())
        return err::InvalidArgument;
    callHandle = static_cast<int>(m_calls.At(index).handle);
    return 0;
}

int QvPhone::GetAddressID(int callHandle, int& addressId)
{
    TapiBuffer buffer;
    const ReadResult r = ReadGrowing(
        sizeof(LINECALLINFO), LINEERR_STRUCTURETOOSMALL,
        [&](void* data) {
            return lineGetCallInfo(static_cast<HCALL>(callHandle), static_cast<LINECALLINFO*>(data));
        },
        buffer);
    if (r.status == ReadStatus::NoMemory)
        return err::OutOfMemory;
    if (r.status == ReadStatus::TooManyRetries)
        return err::Failed;
    if (r.status == ReadStatus::ServiceError) {
        switch (r.error) {
        case LINEERR_ALLOCATED:
        case LINEERR_RESOURCEUNAVAIL:
            return 106;
        case LINEERR_CALLUNAVAIL:
            return 107;
        case LINEERR_INVALCALLHANDLE:
            return 115;
        case LINEERR_NOMEM:
            return err::OutOfMemory;
        default:
            return err::Failed;
        }
    }
    addressId = static_cast<int>(buffer.As<LINECALLINFO>()->dwAddressID);
    return 0;
}

// ------------------------------------------------------------- data channel

int QvPhone::GetCommHandle(int& handle)
{
    // Descriptor 0 is a valid one, so a failure reads -1.
    handle = -1;
    if (!IsConnected())
        return 161;
    if (auto it = m_commHandles.find(m_currentCall); it != m_commHandles.end()) {
        handle = it->second;
        return 0;
    }
    TapiBuffer buffer;
    const CallHandle call = m_currentCall;
    const ReadResult r = ReadGrowing(
        sizeof(VARSTRING), LINEERR_STRUCTURETOOSMALL,
        [&](void* data) {
            return lineGetIDW(0, 0, call, LINECALLSELECT_CALL, static_cast<VARSTRING*>(data),
                              u"comm/datamodem");
        },
        buffer);
    if (r.status == ReadStatus::NoMemory)
        return err::OutOfMemory;
    if (!r.ok())
        return err::Failed;
    const VARSTRING* vs = buffer.As<VARSTRING>();
    QByteArray bytes;
    if (!buffer.Bytes(vs->dwStringSize, vs->dwStringOffset, bytes) || bytes.size() < 4)
        return err::Failed;
    std::int32_t fd = -1;
    std::memcpy(&fd, bytes.constData(), sizeof fd);
    if (fd < 0)
        return err::Failed;
    m_commHandles[call] = fd;
    handle = fd;
    return 0;
}

void QvPhone::CloseCommHandle(CallHandle call)
{
    auto it = m_commHandles.find(call);
    if (it == m_commHandles.end())
        return;
    ::close(it->second);
    m_commHandles.erase(it);
}

void QvPhone::StartMonitoring(CallHandle call)
{
    lineMonitorDigits(call, m_active.digitModes);
    lineMonitorMedia(call, m_active.faxMediaModes);
}

void QvPhone::StopMonitoring(CallHandle call)
{
    lineMonitorDigits(call, 0);
    lineMonitorMedia(call, 0);
}

int QvPhone::SwitchDataChannel(bool on, bool fixedRate, WindowHandle notify)
{
    const CallHandle call = m_currentCall;
    if (!IsConnected())
        return 161;
    if (HasPending(call))
        return 160;
    if (m_dataChannel == on || m_bearerMode == LINEBEARERMODE_PASSTHROUGH) {
        if (notify)
            PostMessage(notify, MSG_CALL_DATA_READY, 0, 0);
        return 0;
    }
    LONG rc;
    if (on)
        rc = fixedRate ? lineSetCallParams(call, LINEBEARERMODE_PASSTHROUGH, 19200, 19200, nullptr)
                       : lineSetCallParams(call, LINEBEARERMODE_PASSTHROUGH, 28800, 57600, nullptr);
    else
        rc = lineSetCallParams(call, m_bearerMode, 28800, 57600, nullptr);
    if (rc < 0) {
        switch (rc) {
        case LINEERR_CALLUNAVAIL:
            return 107;
        case LINEERR_INVALCALLHANDLE:
            return 115;
        case LINEERR_INVALMEDIAMODE:
            return 162;
        default:
            return err::Failed;
        }
    }
    AddPending(rc, call, req::DataSwitch, on ? 1 : 2, 0, nullptr, notify);
    return 0;
}

} // namespace qv
