// QvPhone: the devices around the line. The handset and speaker of the
// line's phone device, its ringer, lamps and display, the wave devices of an
// address or a call, and the line's stored configuration: the provider's
// dialog over it, and saving it to and loading it from the line store.
#include "telephony/QvPhone.h"

#include "common/ErrorCodes.h"
#include "telephony/LineConfigStore.h"
#include "telephony/TapiBuffer.h"
#include "telephony/service/Tapi.h"

#include <algorithm>
#include <cstring>

namespace qv {

using namespace tapi;

namespace {

constexpr int kNotOpen = 157;
constexpr int kPending = 160;
constexpr int kNoHandset = 152;
constexpr int kNoAuxDevice = 151;
constexpr int kHookSwitchFailed = 156;
constexpr int kExtPhoneUnavailable = 164;
constexpr int kValueNotFound = 163;

// The saved value: one byte of line ID, then the VARSTRING as the service
// filled it, its device configuration included.
constexpr std::uint32_t kVarStringBytes = linestore::SavedVarStringBytes;
constexpr std::uint32_t kVarStringHeader = sizeof(VARSTRING);

std::uint32_t WordAt(const QByteArray& bytes, qsizetype offset)
{
    std::uint32_t value = 0;
    if (offset >= 0 && offset + 4 <= bytes.size())
        std::memcpy(&value, bytes.constData() + offset, sizeof value);
    return value;
}

int DevConfigError(LONG rc)
{
    switch (rc) {
    case LINEERR_BADDEVICEID:
        return 102;
    case LINEERR_NODEVICE:
        return 101;
    case LINEERR_NOMEM:
        return err::OutOfMemory;
    default:
        return err::Failed;
    }
}

} // namespace

// ------------------------------------------------------------- TExtDev

int TExtDev::GetMicSpeakerState(std::uint8_t& state)
{
    return m_owner->GetMicSpeakerState(*this, state);
}

int TExtDev::SetMicSpeakerState(std::uint8_t state)
{
    return m_owner->SetMicSpeakerState(*this, state);
}

std::uint32_t TExtDev::HookSwitchModeOf(std::uint8_t state)
{
    switch (state) {
    case 0:
        return PHONEHOOKSWITCHMODE_ONHOOK;
    case 1:
        return PHONEHOOKSWITCHMODE_MIC;
    case 2:
        return PHONEHOOKSWITCHMODE_SPEAKER;
    case 3:
        return PHONEHOOKSWITCHMODE_MICSPEAKER;
    default:
        return 0;
    }
}

// ------------------------------------------------------------- handset and speaker

int QvPhone::GetMicSpeakerState(const TExtDev& device, std::uint8_t& state)
{
    if (!IsActive())
        return kNotOpen;
    int lineCaps = 0;
    if (const int rc = GetLineCaps(static_cast<int>(m_lineId), lineCaps))
        return rc;
    const bool handset = device.HookSwitchDev() == PHONEHOOKSWITCHDEV_HANDSET;
    if (handset && !(lineCaps & caps::HandsetDevice))
        return kNoHandset;
    if (!handset && !(lineCaps & caps::AuxDevice))
        return kNoAuxDevice;
    if (m_phone == 0)
        return err::Failed;

    TapiBuffer buffer;
    if (!buffer.Allocate(sizeof(PHONESTATUS)))
        return err::OutOfMemory;
    if (phoneGetStatusW(m_phone, buffer.As<PHONESTATUS>()) < 0)
        return kHookSwitchFailed;
    const PHONESTATUS* status = buffer.As<PHONESTATUS>();
    const DWORD mode = handset ? status->dwHandsetHookSwitchMode : status->dwSpeakerHookSwitchMode;
    // A phone may report several modes at once; the fullest one wins.
    if (mode & PHONEHOOKSWITCHMODE_ONHOOK)
        state = 0;
    if (mode & PHONEHOOKSWITCHMODE_MIC)
        state = 1;
    if (mode & PHONEHOOKSWITCHMODE_SPEAKER)
        state = 2;
    if (mode & PHONEHOOKSWITCHMODE_MICSPEAKER)
        state = 3;
    return 0;
}

int QvPhone::SetMicSpeakerState(TExtDev& device, std::uint8_t state)
{
    if (!IsActive())
        return kNotOpen;
    if (state > 3)
        return err::InvalidArgument;
    if (HasPending(m_currentCall))
        return kPending;
    // Anything outside the table: a phone that reports no mode never equals
    // the state asked for.
    std::uint8_t present = 0xFF;
    if (const int rc = GetMicSpeakerState(device, present))
        return rc;
    if (present == state)
        return 0;
    const LONG rc = phoneSetHookSwitch(m_phone, device.HookSwitchDev(), TExtDev::HookSwitchModeOf(state));
    if (rc < 0)
        return kHookSwitchFailed;
    // Remembered once the phone took it; a refusal in its reply restores the
    // state before.
    const std::intptr_t undo = (static_cast<std::intptr_t>(device.HookSwitchDev()) << 8) | device.m_state;
    device.m_state = state;
    AddPending(rc, m_currentCall, req::HookSwitch, undo);
    return 0;
}

void QvPhone::PhoneRequestFailed(const TPendingRequest& entry)
{
    if (entry.kind != req::HookSwitch) {
        RaiseLineState(lsError, kExtPhoneUnavailable);
        return;
    }
    const auto hookSwitchDev = static_cast<std::uint32_t>(entry.value >> 8);
    const auto previous = static_cast<std::uint8_t>(entry.value & 0xFF);
    TExtDev& device = hookSwitchDev == PHONEHOOKSWITCHDEV_HANDSET ? m_handset : m_aux;
    device.m_state = previous;
    RaiseLineState(lsError, kHookSwitchFailed);
}

void QvPhone::PhoneStateMessage(std::uint32_t states)
{
    // Each event may be the last thing this phone does: a handler may
    // destroy it, so every step after one checks first.
    static constexpr std::pair<std::uint32_t, TExtPhoneState> kPhoneStates[] = {
        {PHONESTATE_DISPLAY, tpsDisplay},
        {PHONESTATE_LAMP, tpsLamp},
        {PHONESTATE_RINGMODE, tpsRingMode},
        {PHONESTATE_RINGVOLUME, tpsRingVolume}};
    for (const auto& [flag, state] : kPhoneStates) {
        if ((states & flag) && !FireEvent(m_onExtPhoneChanged, this, state))
            return;
    }
    if ((states & PHONESTATE_SPEAKERHOOKSWITCH) && !FireEvent(m_onExtDevAuxChanged, this))
        return;
    if (!(states & PHONESTATE_HANDSETHOOKSWITCH))
        return;
    if (!FireEvent(m_onExtDevHandsetChanged, this) || !m_onHookState)
        return;
    std::uint8_t state = 0xFF;
    if (const int rc = GetMicSpeakerState(m_handset, state)) {
        RaiseLineState(lsError, rc);
        return;
    }
    if (state == 0xFF)
        return; // the phone named no mode: nothing to report
    if (state == 0 && m_lastHookReport != HookReport::OnHook) {
        m_lastHookReport = HookReport::OnHook;
        FireEvent(m_onHookState, this, true);
    } else if (state != 0 && m_lastHookReport != HookReport::OffHook) {
        m_lastHookReport = HookReport::OffHook;
        FireEvent(m_onHookState, this, false);
    }
}

// ------------------------------------------------------------- external phone

int QvPhone::PhoneRequestIssued(long result)
{
    if (result < 0)
        return kExtPhoneUnavailable;
    AddPending(static_cast<LONG>(result), m_currentCall, req::PhoneSetting, 0);
    return 0;
}

int QvPhone::ExtPhoneSetRing(int ringMode, int volume)
{
    if (!IsActive())
        return kNotOpen;
    const int rings = ExtPhoneNumOfRings();
    if (rings <= 0 || m_phone == 0)
        return kExtPhoneUnavailable;
    // Ring mode 0 is silence; 1 .. rings are the phone's own.
    if (ringMode < 0 || ringMode > rings || volume < 0 || volume > 0xFFFF)
        return err::InvalidArgument;
    return PhoneRequestIssued(
        phoneSetRing(m_phone, static_cast<DWORD>(ringMode), static_cast<DWORD>(volume)));
}

int QvPhone::ExtPhoneGetRing(int& ringMode, int& volume)
{
    if (!IsActive())
        return kNotOpen;
    if (m_phone == 0)
        return kExtPhoneUnavailable;
    DWORD mode = 0, vol = 0;
    const LONG rc = phoneGetRing(m_phone, &mode, &vol);
    if (rc < 0)
        return kExtPhoneUnavailable;
    ringMode = static_cast<int>(mode);
    volume = static_cast<int>(vol);
    return static_cast<int>(rc);
}

int QvPhone::ExtPhoneSetLamp(int lampId, int lampMode)
{
    if (!IsActive())
        return kNotOpen;
    const int lamps = ExtPhoneNumOfLamps();
    if (lamps <= 0 || m_phone == 0)
        return kExtPhoneUnavailable;
    if (lampId < 0 || lampId >= lamps)
        return err::InvalidArgument;
    return PhoneRequestIssued(
        phoneSetLamp(m_phone, static_cast<DWORD>(lampId), static_cast<DWORD>(lampMode)));
}

int QvPhone::ExtPhoneGetLamp(int lampId, int& lampMode)
{
    if (!IsActive())
        return kNotOpen;
    if (m_phone == 0)
        return kExtPhoneUnavailable;
    DWORD mode = 0;
    const LONG rc = phoneGetLamp(m_phone, static_cast<DWORD>(lampId), &mode);
    if (rc < 0)
        return kExtPhoneUnavailable;
    lampMode = static_cast<int>(mode);
    return static_cast<int>(rc);
}

int QvPhone::ExtPhoneSetDisplay(int row, int column, const QString& text)
{
    if (!IsActive())
        return kNotOpen;
    const int rows = ExtPhoneNumOfDisplayRows();
    const int cols = ExtPhoneNumOfDisplayCols();
    if ((rows <= 0 && cols <= 0) || m_phone == 0)
        return kExtPhoneUnavailable;
    // Rows and columns count from 0; a display that gives only one of its
    // sizes has one row (or one column).
    if (row < 0 || row >= std::max(rows, 1) || column < 0 || column >= std::max(cols, 1))
        return err::InvalidArgument;
    QByteArray bytes;
    if (m_active.wideStrings)
        bytes = QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    else
        bytes = text.toLocal8Bit();
    return PhoneRequestIssued(phoneSetDisplay(m_phone, static_cast<DWORD>(row), static_cast<DWORD>(column),
                                              bytes.constData(), static_cast<DWORD>(bytes.size())));
}

int QvPhone::ExtPhoneGetDisplay(QString& text)
{
    if (!IsActive())
        return kNotOpen;
    const int rows = ExtPhoneNumOfDisplayRows();
    const int cols = ExtPhoneNumOfDisplayCols();
    if ((rows <= 0 && cols <= 0) || m_phone == 0)
        return kExtPhoneUnavailable;
    const std::size_t cells = rows > 0 && cols > 0
                                  ? static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols)
                                  : static_cast<std::size_t>(std::max(rows, cols));
    TapiBuffer buffer;
    const ReadResult r = ReadGrowing(
        sizeof(VARSTRING) + cells, PHONEERR_STRUCTURETOOSMALL,
        [&](void* data) { return phoneGetDisplay(m_phone, static_cast<VARSTRING*>(data)); }, buffer);
    if (r.status == ReadStatus::NoMemory)
        return err::OutOfMemory;
    if (r.status == ReadStatus::TooManyRetries)
        return err::Failed;
    if (!r.ok())
        return kExtPhoneUnavailable;
    const VARSTRING* vs = buffer.As<VARSTRING>();
    QString shown;
    if (buffer.String(vs->dwStringSize, vs->dwStringOffset, m_active.wideStrings, shown))
        text = shown;
    else
        text.clear();
    return 0;
}

// ------------------------------------------------------------- wave devices

int QvPhone::GetWaveRecIDFrom(bool fromAddress, int value, int& waveId)
{
    return GetWaveIdFrom(u"wave/in", fromAddress, value, waveId);
}

int QvPhone::GetWavePlayIDFrom(bool fromAddress, int value, int& waveId)
{
    return GetWaveIdFrom(u"wave/out", fromAddress, value, waveId);
}

int QvPhone::GetWaveIdFrom(const char16_t* deviceClass, bool fromAddress, int value, int& waveId)
{
    if (!IsActive())
        return kNotOpen;
    if (fromAddress && value < 0)
        return 114;
    const DWORD addressId = fromAddress ? static_cast<DWORD>(value) : 0;
    const HCALL call = fromAddress ? 0 : static_cast<HCALL>(value);
    const DWORD select = fromAddress ? LINECALLSELECT_ADDRESS : LINECALLSELECT_CALL;
    TapiBuffer buffer;
    const ReadResult r = ReadGrowing(
        sizeof(VARSTRING) + 4, LINEERR_STRUCTURETOOSMALL,
        [&](void* data) {
            return lineGetIDW(m_line, addressId, call, select, static_cast<VARSTRING*>(data), deviceClass);
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
        case LINEERR_INVALADDRESS:
            return 155;
        case LINEERR_INVALADDRESSID:
            return 114;
        case LINEERR_INVALCALLHANDLE:
            return 115;
        case LINEERR_INVALMEDIAMODE:
            return 162;
        default:
            waveId = -2; // the device class is not there
            return 0;
        }
    }
    const VARSTRING* vs = buffer.As<VARSTRING>();
    QByteArray bytes;
    if (buffer.Bytes(vs->dwStringSize, vs->dwStringOffset, bytes) && bytes.size() >= 4)
        waveId = static_cast<int>(WordAt(bytes, 0));
    else
        waveId = -2; // an answer without an ID names no device
    return 0;
}

// ------------------------------------------------------------- line configuration

int QvPhone::CallsBlockConfiguration() const
{
    bool offering = false, inProgress = false;
    for (int i = 0; i < m_calls.Count(); ++i) {
        const TCallState state = m_calls.At(i).state;
        offering = offering || state == csOffering || state == csRing;
        inProgress = inProgress || state != csDisconnected;
    }
    if (offering)
        return 159;
    if (inProgress)
        return 158;
    return 0;
}

int QvPhone::LineConfigDialog(void* parent, int lineId)
{
    if (const int rc = CallsBlockConfiguration())
        return rc;
    if (const int rc = Initialise())
        return rc;
    const LONG rc = lineConfigDialogW(static_cast<DWORD>(lineId), parent, nullptr);
    if (rc >= 0)
        return 0;
    switch (rc) {
    case LINEERR_BADDEVICEID:
        return 102;
    case LINEERR_INVALPARAM:
        return err::InvalidArgument;
    case LINEERR_NODEVICE:
        return 101;
    case LINEERR_NOMEM:
        return err::OutOfMemory;
    default:
        return err::Failed;
    }
}

int QvPhone::LineConfigDialogSave(void* parent, std::uint32_t rootKey, const QString& key,
                                  const QString& valueName, int lineId)
{
    if (const int rc = LineConfigDialog(parent, lineId))
        return rc;
    if (rootKey == 0 && key.isEmpty() && valueName.isEmpty())
        return err::InvalidArgument;
    // The value names its line in one byte; a line it cannot name would be
    // loaded for another one.
    if (lineId < 0 || lineId > 0xFF)
        return err::InvalidArgument;

    TapiBuffer buffer;
    if (!buffer.Allocate(kVarStringBytes))
        return err::OutOfMemory;
    VARSTRING* vs = buffer.As<VARSTRING>();
    vs->dwStringFormat = STRINGFORMAT_BINARY;
    if (const LONG rc = lineGetDevConfigW(static_cast<DWORD>(lineId), vs, u"comm/datamodem"); rc < 0)
        return DevConfigError(rc);
    // A configuration the value cannot hold whole is not saved cut short.
    const std::uint32_t needed = vs->dwNeededSize;
    if (needed < kVarStringHeader || needed > kVarStringBytes || vs->dwUsedSize < needed)
        return err::Failed;

    QByteArray value(1 + static_cast<qsizetype>(needed), '\0');
    value[0] = static_cast<char>(lineId);
    std::memcpy(value.data() + 1, buffer.Data(), needed);
    if (!linestore::Write(rootKey, key, valueName, value))
        return err::Failed;
    return 0;
}

int QvPhone::LineConfigLoad(std::uint32_t rootKey, const QString& key, const QString& valueName, int lineId)
{
    if (const int rc = CallsBlockConfiguration())
        return rc;
    if (!m_pending.Empty())
        return kPending;
    if (const int rc = Initialise())
        return rc;

    QByteArray value;
    if (!linestore::Read(rootKey, key, valueName, value))
        return kValueNotFound;
    QByteArray config;
    if (const int rc = linestore::ConfigFromValue(value, lineId, config))
        return rc;
    if (lineSetDevConfigW(static_cast<DWORD>(lineId), config.constData(), static_cast<DWORD>(config.size()),
                          u"comm/datamodem") < 0)
        return err::Failed;
    return 0;
}

} // namespace qv
