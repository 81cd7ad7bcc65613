// QvPhone: the services of a business line beyond making and ending calls:
// hold, transfers, conferences, consultation calls and the hand switch of a
// call's data channel.
#include "telephony/QvPhone.h"

#include "common/ErrorCodes.h"
#include "telephony/service/Tapi.h"

#include <algorithm>

namespace qv {

using namespace tapi;

namespace {

// How the service's refusal of a call operation reads to the application.
int CallCode(LONG rc)
{
    switch (rc) {
    case LINEERR_INVALADDRESS:
        return 155;
    case LINEERR_INVALCALLHANDLE:
        return 115;
    case LINEERR_INVALMEDIAMODE:
        return 162;
    default:
        return 108;
    }
}

int HoldCode(LONG rc)
{
    if (rc == LINEERR_ALLOCATED || rc == LINEERR_RESOURCEUNAVAIL)
        return 106;
    return CallCode(rc);
}

int SetupCode(LONG rc)
{
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

} // namespace

// ------------------------------------------------------------- hold

int QvPhone::Hold()
{
    if (!IsActive())
        return 157;
    const CallHandle call = m_currentCall;
    if (!IsConnected())
        return 161;
    if (HasPending(call))
        return 160;
    const LONG rc = lineHold(call);
    if (rc < 0)
        return HoldCode(rc);
    AddPending(rc, call, req::Hold, 0);
    return 0;
}

int QvPhone::Unhold()
{
    if (!IsActive())
        return 157;
    const CallHandle call = m_currentCall;
    if (!IsConnected())
        return 161;
    if (HasPending(call))
        return 160;
    const LONG rc = lineUnhold(call);
    if (rc < 0)
        return HoldCode(rc);
    AddPending(rc, call, req::Hold, 0);
    return 0;
}

// ------------------------------------------------------------- transfers and conferences

int QvPhone::Transfer(const QByteArray& Number)
{
    if (!IsActive())
        return 157;
    const CallHandle call = m_currentCall;
    if (!IsConnected())
        return 161;
    if (HasPending(call))
        return 160;
    const LONG rc = lineBlindTransfer(call, Number.constData(), 0);
    if (rc < 0)
        return CallCode(rc);
    AddPending(rc, call, req::BlindTransfer, 0);
    // The call leaves us by our doing, not the remote's.
    if (TCallEntry* entry = m_calls.Find(call))
        entry->disconnectHandled = true;
    if (TConsultEntry* consult = ConsultOfCall(call))
        consult->completed = true;
    return 0;
}

int QvPhone::TransferAToB(int CallA, int CallB)
{
    if (!IsActive())
        return 157;
    const auto a = static_cast<CallHandle>(CallA);
    const auto b = static_cast<CallHandle>(CallB);
    if (!IsCallConnected(CallA) || !IsCallConnected(CallB))
        return 161;
    if (HasPending(a) || HasPending(b))
        return 160;
    const LONG rc = lineCompleteTransfer(a, b, nullptr, LINETRANSFERMODE_TRANSFER);
    if (rc < 0)
        return CallCode(rc);
    AddPending(rc, a, req::TransferAToB, static_cast<std::intptr_t>(b));
    for (CallHandle call : {a, b}) {
        if (TCallEntry* entry = m_calls.Find(call))
            entry->disconnectHandled = true;
        if (TConsultEntry* consult = ConsultOfCall(call))
            consult->completed = true;
    }
    return 0;
}

int QvPhone::CreateConferenceCall(int CallA, int CallB, int Tag)
{
    if (!IsActive())
        return 157;
    const auto a = static_cast<CallHandle>(CallA);
    const auto b = static_cast<CallHandle>(CallB);
    if (!IsCallConnected(CallA) || !IsCallConnected(CallB))
        return 161;
    if (HasPending(a) || HasPending(b))
        return 160;
    CallCell cell = std::make_unique<CallHandle>(0);
    const LONG rc = lineCompleteTransfer(a, b, cell.get(), LINETRANSFERMODE_CONFERENCE);
    if (rc < 0)
        return CallCode(rc);
    AddPending(rc, 0, req::ConferenceComplete, Tag, 0, std::move(cell));
    return 0;
}

// ------------------------------------------------------------- consultation calls

int QvPhone::ConsultCallDialNumber(bool Transfer, const QByteArray& Number)
{
    const CallHandle primary = m_currentCall;
    if (!IsConnected())
        return 161;
    if (HasPending(primary))
        return 160;

    TConsultEntry entry;
    entry.primary = primary;
    entry.number = Number;
    entry.transfer = Transfer;
    entry.consultCell = std::make_unique<CallHandle>(0);
    LONG rc;
    if (Transfer) {
        rc = lineSetupTransfer(primary, entry.consultCell.get(), nullptr);
    } else {
        entry.conferenceCell = std::make_unique<CallHandle>(0);
        rc = lineSetupConference(primary, m_line, entry.conferenceCell.get(), entry.consultCell.get(), 3,
                                 nullptr);
    }
    if (rc < 0)
        return SetupCode(rc); // the cells go with the entry
    // The reply finds the entry by its cell, which stays where it is while
    // the entry moves.
    const auto cellAddress = reinterpret_cast<std::intptr_t>(entry.consultCell.get());
    m_consults.push_back(std::move(entry));
    AddPending(rc, primary, req::ConsultSetup, cellAddress);
    return 0;
}

void QvPhone::DialConsultation(CallHandle consultCall)
{
    const TConsultEntry* entry = ConsultOfCall(consultCall);
    if (!entry)
        return;
    const CallHandle primary = entry->primary;
    QByteArray number = entry->number;
    if (m_waitForDialTone)
        number.prepend('W');
    const LONG rc = lineDial(consultCall, number.constData(), 0);
    if (rc < 0) {
        const int code = rc == LINEERR_INVALADDRESS ? 155 : rc == LINEERR_INVALMEDIAMODE ? 162 : 108;
        RaiseConsultCallState(ccsError, code, consultCall, primary);
        return;
    }
    AddPending(rc, consultCall, req::ConsultDial, 0);
}

void QvPhone::ConsultCallStateMessage(CallHandle call, std::uint32_t state, std::uint32_t detail)
{
    TConsultEntry* entry = ConsultOfCall(call);
    if (!entry)
        return;
    const CallHandle primary = entry->primary;
    TConsultCallState next;
    bool raise = true;
    switch (state) {
    case LINECALLSTATE_IDLE:
        next = ccsDisconnected;
        raise = !entry->conferenced;
        break;
    case LINECALLSTATE_DIALTONE:
        next = ccsDialTone;
        break;
    case LINECALLSTATE_DIALING:
        next = ccsDialing;
        break;
    case LINECALLSTATE_RINGBACK:
        next = ccsRingBack;
        break;
    case LINECALLSTATE_BUSY:
        next = ccsBusy;
        break;
    case LINECALLSTATE_CONNECTED:
        StartMonitoring(call);
        next = ccsConnected;
        break;
    case LINECALLSTATE_PROCEEDING:
        next = ccsProceeding;
        break;
    case LINECALLSTATE_CONFERENCED:
        // Joined: from here on the consultation call is part of the
        // conference and its own end is no news.
        entry->conferenced = true;
        entry->state = ccsDisconnected;
        RaiseConsultCallState(ccsDisconnected, 0, call, primary);
        return;
    case LINECALLSTATE_DISCONNECTED:
        if (detail == LINEDISCONNECTMODE_BUSY) {
            next = ccsBusy;
        } else if (detail == LINEDISCONNECTMODE_NODIALTONE) {
            next = ccsNoDialTone;
        } else {
            if (entry->completed || entry->conferenced)
                return;
            next = ccsRemotePartyDisconnected;
        }
        break;
    default:
        return;
    }

    entry->state = next;
    if (raise && !RaiseConsultCallState(next, 0, call, primary))
        return;
    // The handler may have changed the list: from here on by handle only.

    switch (next) {
    case ccsRemotePartyDisconnected:
    case ccsBusy:
    case ccsNoDialTone:
        if (m_autoDisconnect) {
            const CallHandle current = m_currentCall;
            m_currentCall = primary;
            const int rc = CancelConsultation(primary);
            m_currentCall = current;
            if (rc != 0)
                RaiseConsultCallState(ccsError, rc, call, primary);
        }
        break;
    case ccsDisconnected:
        lineDeallocateCall(call);
        for (TConsultEntry& consult : m_consults)
            if (consult.Consult() == call)
                *consult.consultCell = 0;
        m_calls.Remove(call);
        m_lineTraits.erase(call);
        RemoveSpentConsults();
        break;
    case ccsDialTone:
        DialConsultation(call);
        break;
    default:
        break;
    }
}

int QvPhone::ConsultCallComplete()
{
    if (!IsActive())
        return 157;
    TConsultEntry* entry = ConsultOfPrimary(m_currentCall);
    if (!entry || entry->Consult() == 0)
        return 170;
    const CallHandle consult = entry->Consult();
    if (HasPending(consult))
        return 160;
    LONG rc;
    if (entry->transfer) {
        rc = lineCompleteTransfer(entry->primary, consult, nullptr, LINETRANSFERMODE_TRANSFER);
    } else {
        if (entry->Conference() == 0)
            return err::Failed;
        rc = lineAddToConference(entry->Conference(), consult);
    }
    if (rc < 0)
        return CallCode(rc);
    AddPending(rc, consult, req::ConsultComplete, 0);
    entry->completed = true;
    if (entry->transfer) {
        if (TCallEntry* primary = m_calls.Find(entry->primary))
            primary->disconnectHandled = true;
    }
    return 0;
}

int QvPhone::ConsultCallCancel()
{
    return CancelConsultation(m_currentCall);
}

int QvPhone::CancelConsultation(CallHandle primary)
{
    // A consultation whose dialling failed or timed out still has its call,
    // waiting at the dial tone with the primary call on hold: that one can
    // still be cancelled. One that has ended, or joined a conference, cannot.
    TConsultEntry* entry = ConsultOfPrimary(primary);
    if (!entry || entry->Consult() == 0 || entry->state == ccsDisconnected)
        return 170;
    const CallHandle consult = entry->Consult();
    const LONG rc = lineDrop(consult, nullptr, 0);
    if (rc < 0)
        return err::Failed;
    AddPending(rc, consult, req::ConsultComplete, 0);
    // Our own drop: the disconnection that follows is not the remote's.
    entry->completed = true;
    return 0;
}

// ------------------------------------------------------------- data channel

int QvPhone::Passthrough(bool Enable)
{
    // The switch leaves a call that is pass-through by nature (a fax call)
    // as it is, and says 0.
    return SwitchDataChannel(Enable, false, 0);
}

} // namespace qv
