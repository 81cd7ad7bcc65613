// QvPhone: what the service learns about a call while it exists (party IDs,
// display and user-to-user text, origin and reason, digits, fax and other
// tones) and the DTMF digits the application sends on it; what the line knows
// of the far side, and what the terminal tells the line.
#include "telephony/QvPhone.h"

#include "common/Clock.h"
#include "common/ErrorCodes.h"
#include "telephony/TapiBuffer.h"
#include "telephony/service/LineExtensions.h"
#include "telephony/service/Tapi.h"

namespace qv {

using namespace tapi;

namespace {

// Fax tones closer together than this are one tone.
constexpr std::int64_t kFaxToneGapMs = 3000;
// What a string of a call's information that cannot be read reports.
constexpr int kBadString = 150;

// Reads the call's LINECALLINFO into `buffer`; 0, -1 or -50.
int ReadCallInfo(CallHandle call, TapiBuffer& buffer)
{
    const ReadResult r = ReadGrowing(
        sizeof(LINECALLINFO), LINEERR_STRUCTURETOOSMALL,
        [&](void* data) { return lineGetCallInfo(call, static_cast<LINECALLINFO*>(data)); }, buffer);
    if (r.status == ReadStatus::NoMemory ||
        (r.status == ReadStatus::ServiceError && r.error == LINEERR_NOMEM))
        return err::OutOfMemory;
    return r.ok() ? 0 : err::Failed;
}

int MonitorCode(LONG rc)
{
    if (rc >= 0)
        return 0;
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
    default:
        return err::Failed;
    }
}

} // namespace

// ------------------------------------------------------------- call information

void QvPhone::CallInfoMessage(CallHandle call, std::uint32_t states)
{
    if (call == 0)
        return;
    if ((states & LINECALLINFOSTATE_CALLERID) && m_onCallerID && !PartyIdMessage(call, true))
        return;
    if ((states & LINECALLINFOSTATE_CALLEDID) && m_onCalledID && !PartyIdMessage(call, false))
        return;

    struct Item
    {
        DWORD flag;
        TTypeOfInfo type;
    };
    static constexpr Item kItems[] = {{LINECALLINFOSTATE_DISPLAY, tiDisplayInfo},
                                      {LINECALLINFOSTATE_USERUSERINFO, tiUserInfo},
                                      {LINECALLINFOSTATE_ORIGIN, tiOrigin},
                                      {LINECALLINFOSTATE_REASON, tiReason}};
    for (const Item& item : kItems) {
        // A handler may remove itself, or drop the call, on the way.
        if (!(states & item.flag) || !m_onCallInfo)
            continue;
        TapiBuffer buffer;
        if (const int rc = ReadCallInfo(call, buffer)) {
            if (!RaiseCallState(csError, rc, 0, call))
                return;
            continue;
        }
        const LINECALLINFO* info = buffer.As<LINECALLINFO>();
        QString text;
        int number = 0;
        if (item.type == tiDisplayInfo || item.type == tiUserInfo) {
            const DWORD size = item.type == tiDisplayInfo ? info->dwDisplaySize : info->dwUserUserInfoSize;
            const DWORD offset =
                item.type == tiDisplayInfo ? info->dwDisplayOffset : info->dwUserUserInfoOffset;
            if (size == 0 || offset == 0)
                continue;
            if (!buffer.String(size, offset, m_active.wideStrings, text)) {
                if (!RaiseCallState(csError, kBadString, 0, call))
                    return;
                continue;
            }
        } else {
            number = static_cast<int>(item.type == tiOrigin ? info->dwOrigin : info->dwReason);
        }
        if (!FireEvent(m_onCallInfo, this, item.type, text, number, static_cast<int>(call)))
            return;
    }
}

bool QvPhone::PartyIdMessage(CallHandle call, bool caller)
{
    const TCallerIDEvent& handler = caller ? m_onCallerID : m_onCalledID;
    auto raise = [&](int error, const QString& number, const QString& name) {
        return FireEvent(handler, this, error, number, name, static_cast<int>(call));
    };

    TapiBuffer buffer;
    if (const int rc = ReadCallInfo(call, buffer))
        return raise(rc, {}, {});
    const LINECALLINFO* info = buffer.As<LINECALLINFO>();
    const DWORD flags = caller ? info->dwCallerIDFlags : info->dwCalledIDFlags;
    if (flags == LINECALLPARTYID_BLOCKED || flags == LINECALLPARTYID_OUTOFAREA ||
        flags == LINECALLPARTYID_UNKNOWN)
        return raise(153, {}, {});
    if (flags == LINECALLPARTYID_UNAVAIL)
        return raise(154, {}, {});
    const DWORD numberSize = caller ? info->dwCallerIDSize : info->dwCalledIDSize;
    const DWORD numberOffset = caller ? info->dwCallerIDOffset : info->dwCalledIDOffset;
    const DWORD nameSize = caller ? info->dwCallerIDNameSize : info->dwCalledIDNameSize;
    const DWORD nameOffset = caller ? info->dwCallerIDNameOffset : info->dwCalledIDNameOffset;
    QString number, name;
    if (numberSize != 0 && numberOffset != 0 &&
        !buffer.String(numberSize, numberOffset, m_active.wideStrings, number))
        return raise(kBadString, {}, {});
    if (nameSize != 0 && nameOffset != 0 && !buffer.String(nameSize, nameOffset, m_active.wideStrings, name))
        return raise(kBadString, {}, {});

    // The same party is reported once per call.
    QString& memory = caller ? m_callerIdMemory : m_calledIdMemory;
    const QString key = name + number + QString::number(call);
    if (key == memory)
        return true;
    memory = key;
    if (!number.isEmpty() || !name.isEmpty())
        return raise(0, number, name);
    return raise(153, {}, {});
}

// ------------------------------------------------------------- digits and tones

void QvPhone::DigitMessage(CallHandle call, std::uint32_t digit)
{
    FireEvent(m_onDigitDetected, this, static_cast<char>(digit & 0xFF), static_cast<int>(call));
}

void QvPhone::MediaMessage(CallHandle call, std::uint32_t mediaMode)
{
    if (mediaMode != LINEMEDIAMODE_G3FAX && mediaMode != LINEMEDIAMODE_G4FAX)
        return;
    if (!m_onFaxToneDetected || IsDestroying())
        return;
    const std::int64_t now = Clock::Instance().MonotonicMs();
    if (m_faxToneSeen && now - m_lastFaxToneMs <= kFaxToneGapMs)
        return;
    m_faxToneSeen = true;
    m_lastFaxToneMs = now;
    FireEvent(m_onFaxToneDetected, this, static_cast<int>(call));
}

void QvPhone::ToneMessage(CallHandle call, std::uint32_t appSpecific)
{
    FireEvent(m_onToneDetected, this, static_cast<int>(appSpecific), static_cast<int>(call));
}

// ------------------------------------------------------------- requests

int QvPhone::SetMonitoredTones(const void* tones, std::uint32_t count)
{
    if (!IsConnected())
        return 161;
    return MonitorCode(lineMonitorTones(m_currentCall, static_cast<const LINEMONITORTONE*>(tones), count));
}

int QvPhone::MonitorTones(int RefNum, int Duration, int Frequency1, int Frequency2, int Frequency3)
{
    LINEMONITORTONE tone{};
    tone.dwAppSpecific = static_cast<DWORD>(RefNum);
    tone.dwDuration = static_cast<DWORD>(Duration);
    tone.dwFrequency1 = static_cast<DWORD>(Frequency1);
    tone.dwFrequency2 = static_cast<DWORD>(Frequency2);
    tone.dwFrequency3 = static_cast<DWORD>(Frequency3);
    return SetMonitoredTones(&tone, 1);
}

int QvPhone::MonitorTonesCancel()
{
    return SetMonitoredTones(nullptr, 0);
}

int QvPhone::GenerateDTMFDigits(const QByteArray& Digits)
{
    if (!IsConnected())
        return 161;
    return MonitorCode(lineGenerateDigits(m_currentCall, LINEDIGITMODE_DTMF, Digits.constData(), 0));
}

TLineTraits QvPhone::LineTraits() const
{
    auto it = m_lineTraits.find(m_currentCall);
    return it == m_lineTraits.end() ? TLineTraits{} : it->second;
}

int QvPhone::SetTerminalInfo(const QList<QByteArray>& terminalTypes, int columns, int rows)
{
    if (!devspecific::IsValid({terminalTypes, columns, rows}))
        return err::InvalidArgument;
    m_terminalTypes = terminalTypes;
    m_terminalColumns = columns;
    m_terminalRows = rows;
    SendTerminalInfo();
    return 0;
}

void QvPhone::SendTerminalInfo()
{
    if (!IsActive())
        return;
    const QByteArray block =
        devspecific::EncodeTerminalInfo({m_terminalTypes, m_terminalColumns, m_terminalRows});
    // The reply is not waited for: a line without a use for the terminal
    // refuses it at once, and one that takes it has nothing to report.
    lineDevSpecific(m_line, 0, 0, block.constData(), static_cast<DWORD>(block.size()));
}

void QvPhone::DevSpecificMessage(CallHandle call, std::uint32_t code, std::uint32_t value)
{
    if (code != devspecific::LineTraitsCode || !m_calls.Find(call))
        return;
    TLineTraits traits;
    traits.RemoteEcho = (value & devspecific::TraitRemoteEcho) != 0;
    traits.PeerIsVhTerminal = (value & devspecific::TraitPeerIsVhTerminal) != 0;
    if (value & devspecific::TraitNewlineCr)
        traits.Newline = QByteArrayLiteral("\r");
    auto it = m_lineTraits.find(call);
    const TLineTraits before = it == m_lineTraits.end() ? TLineTraits{} : it->second;
    if (traits == before)
        return;
    m_lineTraits[call] = traits;
    RaiseLineTraits(traits, call);
}

} // namespace qv
