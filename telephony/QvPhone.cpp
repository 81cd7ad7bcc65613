// QvPhone: attaching to the service, learning what a line device can do, and
// opening and closing the active line. Calls are in QvPhoneCalls.cpp.
#include "telephony/QvPhone.h"

#include "common/ErrorCodes.h"
#include "telephony/TapiBuffer.h"
#include "telephony/service/Service.h"
#include "telephony/service/Tapi.h"

#include <unistd.h>

#include <cmath>
#include <cstring>

namespace qv {

using namespace tapi;

// ------------------------------------------------------------- callbacks

namespace {

// The instance value given to the service names a callback record through
// this registry rather than by address, so that a message delivered after the
// component has gone finds nothing instead of freed memory.
struct RecordRegistry
{
    std::map<std::uintptr_t, void*> records;
    std::uintptr_t next = 0x5100;
};

RecordRegistry& Records()
{
    static RecordRegistry registry;
    return registry;
}

template <class Record>
void Deliver(std::uint32_t msg, DWORD hDevice, DWORD dwMessage, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
             DWORD_PTR dwParam2, DWORD_PTR dwParam3)
{
    auto it = Records().records.find(dwInstance);
    if (it == Records().records.end())
        return;
    auto* record = static_cast<Record*>(it->second);
    record->device = hDevice;
    record->message = dwMessage;
    record->param1 = dwParam1;
    record->param2 = dwParam2;
    record->param3 = dwParam3;
    SendMessage(record->window, msg, 0, 0);
}

} // namespace

// Both callbacks only copy the message into the record and hand it to the
// component's window; all handling runs in WndProc.
void QvPhoneLineCallback(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                         DWORD_PTR dwParam2, DWORD_PTR dwParam3)
{
    Deliver<TCallbackRecord>(MSG_LINE_EVENT, hDevice, dwMessage, dwInstance, dwParam1, dwParam2, dwParam3);
}

void QvPhonePhoneCallback(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                          DWORD_PTR dwParam2, DWORD_PTR dwParam3)
{
    Deliver<TCallbackRecord>(MSG_PHONE_EVENT, hDevice, dwMessage, dwInstance, dwParam1, dwParam2, dwParam3);
}

// ------------------------------------------------------------- life cycle

QvPhone::QvPhone(TComponent* owner)
    : TCallDataSource(owner), m_handset(this, PHONEHOOKSWITCHDEV_HANDSET),
      m_aux(this, PHONEHOOKSWITCHDEV_SPEAKER), m_modemSpeaker(this), m_timer(this)
{
    m_lineRecord.window = Handle();
    m_phoneRecord.window = Handle();
    m_lineInstance = Records().next++;
    m_phoneInstance = Records().next++;
    Records().records[m_lineInstance] = &m_lineRecord;
    Records().records[m_phoneInstance] = &m_phoneRecord;
    m_timer.SetOnTimer([this](TQvTimer*) { TimeoutPass(); });
}

QvPhone::~QvPhone()
{
    Destroying();
    *m_alive = false;
    if (m_serviceState != ServiceState::Uninitialised) {
        CloseLine();
        lineShutdown(m_lineApp);
        phoneShutdown(m_phoneApp);
        m_serviceState = ServiceState::Uninitialised;
    }
    Records().records.erase(m_lineInstance);
    Records().records.erase(m_phoneInstance);
    ForgetCalls(false);
    m_timer.SetEnabled(false);
}

void QvPhone::SetTimeOut(int value)
{
    if (value >= 0)
        m_timeOut = value;
}

// ------------------------------------------------------------- events

bool QvPhone::RaiseLineState(TLineState state, int param1)
{
    return FireEvent(m_onLineState, this, state, param1);
}

bool QvPhone::RaiseCallState(TCallState state, int param1, int param2, CallHandle call)
{
    return FireEvent(m_onCallState, this, state, param1, param2, static_cast<int>(call));
}

bool QvPhone::RaiseConsultCallState(TConsultCallState state, int param1, CallHandle consult,
                                    CallHandle primary)
{
    return FireEvent(m_onConsultCallState, this, state, param1, static_cast<int>(consult),
                     static_cast<int>(primary));
}

bool QvPhone::RaiseBeforeDisconnect(CallHandle call)
{
    return FireEvent(m_onBeforeDisconnect, this, static_cast<int>(call));
}

bool QvPhone::RaiseLineTraits(const TLineTraits& traits, CallHandle call)
{
    return FireEvent(m_onLineTraits, this, traits, static_cast<int>(call));
}

// ------------------------------------------------------------- initialisation

int QvPhone::Initialise()
{
    if (m_serviceState != ServiceState::Uninitialised)
        return 0;
    m_numLines = 0;

    DWORD numDevs = 0;
    DWORD apiVersion = 0x00020002;
    LINEINITIALIZEEXPARAMS lineParams{};
    lineParams.dwTotalSize = sizeof lineParams;
    lineParams.dwUsedSize = sizeof lineParams;
    lineParams.dwOptions = LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    HLINEAPP lineApp = 0;
    LONG rc = lineInitializeExW(&lineApp, nullptr, QvPhoneLineCallback, nullptr, &numDevs, &apiVersion,
                                &lineParams);
    if (rc < 0) {
        numDevs = 0;
        rc = lineInitialize(&lineApp, nullptr, QvPhoneLineCallback, nullptr, &numDevs);
        if (rc < 0)
            return rc == LINEERR_NOMEM ? err::OutOfMemory : 99;
    }
    m_lineApp = lineApp;
    m_numLines = numDevs;

    DWORD phoneDevs = 0;
    apiVersion = 0x00020002;
    PHONEINITIALIZEEXPARAMS phoneParams{};
    phoneParams.dwTotalSize = sizeof phoneParams;
    phoneParams.dwUsedSize = sizeof phoneParams;
    phoneParams.dwOptions = PHONEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    HPHONEAPP phoneApp = 0;
    rc = phoneInitializeExW(&phoneApp, nullptr, QvPhonePhoneCallback, nullptr, &phoneDevs, &apiVersion,
                            &phoneParams);
    if (rc < 0) {
        rc = phoneInitialize(&phoneApp, nullptr, QvPhonePhoneCallback, nullptr, &phoneDevs);
        if (rc < 0) {
            lineShutdown(m_lineApp);
            m_lineApp = 0;
            m_numLines = 0;
            return rc == PHONEERR_NOMEM ? err::OutOfMemory : 99;
        }
    }
    m_phoneApp = phoneApp;
    m_serviceState = ServiceState::Initialised;
    return 0;
}

int QvPhone::NumberOfLines()
{
    const int rc = Initialise();
    if (rc != 0) {
        RaiseLineState(lsError, rc);
        return 0;
    }
    return static_cast<int>(m_numLines);
}

namespace {

int MapLineVersionError(LONG rc)
{
    switch (rc) {
    case LINEERR_BADDEVICEID:
        return 102;
    case LINEERR_NOMEM:
        return err::OutOfMemory;
    case LINEERR_RESOURCEUNAVAIL:
        return 106;
    default:
        return 103;
    }
}

int MapCapsReadError(const ReadResult& r)
{
    if (r.status == ReadStatus::NoMemory)
        return err::OutOfMemory;
    if (r.status == ReadStatus::TooManyRetries)
        return err::Failed;
    switch (r.error) {
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

// Whether the line's address reports the caller and the called party, as the
// capability bits say it.
int ReadPartyIdCaps(HLINEAPP app, DWORD lineId, DWORD version, int& bits)
{
    TapiBuffer addrCaps;
    const ReadResult r = ReadGrowing(
        228, LINEERR_STRUCTURETOOSMALL,
        [&](void* data) {
            return lineGetAddressCaps(app, lineId, 0, version, 0, static_cast<LINEADDRESSCAPS*>(data));
        },
        addrCaps);
    if (!r.ok())
        return r.status == ReadStatus::NoMemory ? err::OutOfMemory : err::Failed;
    const LINEADDRESSCAPS* ac = addrCaps.As<LINEADDRESSCAPS>();
    const DWORD partyBits = LINECALLPARTYID_NAME | LINECALLPARTYID_ADDRESS;
    bits = 0;
    if (ac->dwCallerIDFlags & partyBits)
        bits |= caps::CallerID;
    if (ac->dwCalledIDFlags & partyBits)
        bits |= caps::CalledID;
    return 0;
}

// The errors of lineGetID that stop the device-class probe; any other refusal
// only means that the line has no device of that class.
int MapGetIdError(LONG rc)
{
    switch (rc) {
    case LINEERR_ALLOCATED:
    case LINEERR_RESOURCEUNAVAIL:
        return 106;
    case LINEERR_CALLUNAVAIL:
        return 107;
    case LINEERR_INVALADDRESSID:
        return 114;
    case LINEERR_INVALCALLHANDLE:
        return 115;
    case LINEERR_INVALADDRESS:
        return 155;
    case LINEERR_INVALMEDIAMODE:
        return 162;
    default:
        return 0;
    }
}

} // namespace

// Negotiates the line API version of `lineId`.
static int NegotiateLine(HLINEAPP app, DWORD lineId, DWORD& version)
{
    LINEEXTENSIONID ext{};
    const LONG rc = lineNegotiateAPIVersion(app, lineId, 0x00010003, 0x00020002, &version, &ext);
    return rc < 0 ? MapLineVersionError(rc) : 0;
}

// The first word of a lineGetID answer, -2 for a class the line lacks, or a
// code that ends the probe.
static int DeviceIdOf(HLINE line, const char16_t* deviceClass, int& id)
{
    id = -2;
    TapiBuffer buffer;
    const ReadResult r = ReadGrowing(
        24, LINEERR_STRUCTURETOOSMALL,
        [&](void* data) {
            return lineGetIDW(line, 0, 0, LINECALLSELECT_LINE, static_cast<VARSTRING*>(data), deviceClass);
        },
        buffer);
    if (r.status == ReadStatus::NoMemory)
        return err::OutOfMemory;
    if (r.status == ReadStatus::TooManyRetries)
        return err::Failed;
    if (r.status == ReadStatus::ServiceError)
        return MapGetIdError(r.error);
    const VARSTRING* vs = buffer.As<VARSTRING>();
    QByteArray bytes;
    if (buffer.Bytes(vs->dwStringSize, vs->dwStringOffset, bytes) && bytes.size() >= 4) {
        std::uint32_t word = 0;
        std::memcpy(&word, bytes.constData(), sizeof word);
        id = static_cast<int>(word);
    }
    return 0;
}

// ------------------------------------------------------------- capabilities

int QvPhone::GetLineCaps(int lineId, int& caps)
{
    return ProbeCaps(static_cast<std::uint32_t>(lineId), caps);
}

int QvPhone::ProbeCaps(std::uint32_t lineId, int& caps)
{
    if (const int rc = Initialise())
        return rc;
    const bool isActive = lineId == m_lineId;
    if (isActive && m_active.valid && m_active.lineId == lineId) {
        // Whether callers are reported is the one capability an open line may
        // change: a modem learns it from its init sequence, after the probe.
        // The rest of the record stays as probed.
        int party = 0;
        if (ReadPartyIdCaps(m_lineApp, lineId, m_active.lineApiVersion, party) == 0)
            m_active.caps = (m_active.caps & ~(caps::CallerID | caps::CalledID)) | party;
        caps = m_active.caps;
        return 0;
    }
    if (isActive) {
        m_active.valid = false;
        m_active.waveIn = m_active.waveOut = m_active.phoneId = -2;
    }
    if (m_probe.valid && m_probe.lineId == lineId) {
        if (isActive)
            m_active = m_probe;
        caps = m_probe.caps;
        return 0;
    }

    TDeviceRecord record;
    record.lineId = lineId;
    m_probe = record;
    caps = 0;
    // The active record follows the probe as far as it gets, so that a failed
    // opening leaves what was learnt.
    auto mirror = [&] {
        if (isActive) {
            m_active = record;
            m_active.valid = false;
        }
    };

    if (const int rc = NegotiateLine(m_lineApp, lineId, record.lineApiVersion))
        return rc;
    mirror();

    TapiBuffer devCaps;
    ReadResult r = ReadGrowing(
        268, LINEERR_STRUCTURETOOSMALL,
        [&](void* data) {
            return lineGetDevCaps(m_lineApp, lineId, record.lineApiVersion, 0,
                                  static_cast<LINEDEVCAPS*>(data));
        },
        devCaps);
    if (!r.ok())
        return MapCapsReadError(r);
    const LINEDEVCAPS* dc = devCaps.As<LINEDEVCAPS>();
    record.wideStrings =
        dc->dwStringFormat == STRINGFORMAT_DBCS || dc->dwStringFormat == STRINGFORMAT_UNICODE;
    int bits = 0;
    DWORD pulse = 0, dtmf = 0;
    if (dc->dwMonitorDigitModes & LINEDIGITMODE_PULSE) {
        bits |= caps::PulseDigits;
        pulse = LINEDIGITMODE_PULSE;
    }
    if (dc->dwMonitorDigitModes & LINEDIGITMODE_DTMF) {
        bits |= caps::DtmfDigits;
        dtmf = LINEDIGITMODE_DTMF;
    } else if (dc->dwMonitorDigitModes & LINEDIGITMODE_DTMFEND) {
        bits |= caps::DtmfDigits;
        dtmf = LINEDIGITMODE_DTMFEND;
    }
    record.digitModes = pulse | dtmf;
    record.mediaModes = dc->dwMediaModes & (LINEMEDIAMODE_G3FAX | LINEMEDIAMODE_G4FAX |
                                            LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_AUTOMATEDVOICE |
                                            LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_UNKNOWN);
    record.faxMediaModes = record.mediaModes & (LINEMEDIAMODE_G3FAX | LINEMEDIAMODE_G4FAX);
    record.caps = bits;
    mirror();

    int party = 0;
    if (const int rc = ReadPartyIdCaps(m_lineApp, lineId, record.lineApiVersion, party))
        return rc;
    bits |= party;
    record.caps = bits;
    mirror();

    HLINE probeLine = 0;
    const LONG rc = lineOpenW(m_lineApp, lineId, &probeLine, record.lineApiVersion, 0, 0,
                              LINECALLPRIVILEGE_MONITOR, 0, nullptr);
    if (rc < 0)
        return rc == LINEERR_ALLOCATED ? 106 : rc == LINEERR_NOMEM ? err::OutOfMemory : 100;
    const int classes = ProbeDeviceClasses(record, probeLine);
    lineClose(probeLine);
    ProcessMessages();
    mirror();
    if (classes != 0)
        return classes;

    record.valid = true;
    m_probe = record;
    if (isActive)
        m_active = record;
    caps = record.caps;
    return 0;
}

int QvPhone::ProbeDeviceClasses(TDeviceRecord& record, std::uint32_t probeLine)
{
    int id = -2;
    if (record.mediaModes & LINEMEDIAMODE_AUTOMATEDVOICE) {
        int waveIn = -2, waveOut = -2;
        if (const int rc = DeviceIdOf(probeLine, u"wave/in", waveIn))
            return rc;
        if (const int rc = DeviceIdOf(probeLine, u"wave/out", waveOut))
            return rc;
        if (waveIn >= 0 || waveOut >= 0) {
            record.caps |= caps::Wave;
            record.waveIn = waveIn;
            record.waveOut = waveOut;
        }
    }
    if (const int rc = DeviceIdOf(probeLine, u"comm/datamodem", id))
        return rc;
    if (id >= 0) {
        record.caps |= caps::DataModem;
        record.commId = id;
    }

    if (const int rc = DeviceIdOf(probeLine, u"tapi/phone", id))
        return rc;
    if (id < 0)
        return 0;
    const DWORD phoneId = static_cast<DWORD>(id);
    PHONEEXTENSIONID ext{};
    DWORD version = 0;
    LONG prc = phoneNegotiateAPIVersion(m_phoneApp, phoneId, 0x00010003, 0x00020002, &version, &ext);
    if (prc == PHONEERR_NODEVICE)
        return 0;
    if (prc < 0)
        return 105;
    TapiBuffer phoneCaps;
    const ReadResult r = ReadGrowing(
        180, PHONEERR_STRUCTURETOOSMALL,
        [&](void* data) {
            return phoneGetDevCaps(m_phoneApp, phoneId, version, 0, static_cast<PHONECAPS*>(data));
        },
        phoneCaps);
    if (r.status == ReadStatus::ServiceError && r.error == PHONEERR_NODEVICE)
        return 0;
    if (r.status == ReadStatus::NoMemory)
        return err::OutOfMemory;
    if (!r.ok())
        return 105;
    const PHONECAPS* pc = phoneCaps.As<PHONECAPS>();
    record.phoneId = id;
    record.phoneApiVersion = version;
    record.rings = static_cast<int>(pc->dwNumRingModes);
    record.lamps = static_cast<int>(pc->dwNumButtonLamps);
    record.displayRows = static_cast<int>(pc->dwDisplayNumRows);
    record.displayCols = static_cast<int>(pc->dwDisplayNumColumns);
    int bits = 0;
    if (pc->dwHookSwitchDevs & PHONEHOOKSWITCHDEV_SPEAKER)
        bits |= caps::AuxDevice;
    if (pc->dwSpeakerHookSwitchModes & PHONEHOOKSWITCHMODE_ONHOOK)
        bits |= caps::AuxOnHook;
    if (pc->dwSpeakerHookSwitchModes & PHONEHOOKSWITCHMODE_MIC)
        bits |= caps::AuxMic;
    if (pc->dwSpeakerHookSwitchModes & PHONEHOOKSWITCHMODE_SPEAKER)
        bits |= caps::AuxSpeaker;
    if (pc->dwSpeakerHookSwitchModes & PHONEHOOKSWITCHMODE_MICSPEAKER)
        bits |= caps::AuxMicSpeaker;
    if (pc->dwGainFlags & PHONEHOOKSWITCHDEV_SPEAKER)
        bits |= caps::AuxGain;
    if (pc->dwVolumeFlags & PHONEHOOKSWITCHDEV_SPEAKER)
        bits |= caps::AuxVolume;
    if (pc->dwHookSwitchDevs & PHONEHOOKSWITCHDEV_HANDSET)
        bits |= caps::HandsetDevice;
    if (pc->dwHandsetHookSwitchModes & PHONEHOOKSWITCHMODE_ONHOOK)
        bits |= caps::HandsetOnHook;
    if (pc->dwHandsetHookSwitchModes & PHONEHOOKSWITCHMODE_MIC)
        bits |= caps::HandsetMic;
    if (pc->dwHandsetHookSwitchModes & PHONEHOOKSWITCHMODE_SPEAKER)
        bits |= caps::HandsetSpeaker;
    if (pc->dwHandsetHookSwitchModes & PHONEHOOKSWITCHMODE_MICSPEAKER)
        bits |= caps::HandsetMicSpeaker;
    if (pc->dwGainFlags & PHONEHOOKSWITCHDEV_HANDSET)
        bits |= caps::HandsetGain;
    if (pc->dwVolumeFlags & PHONEHOOKSWITCHDEV_HANDSET)
        bits |= caps::HandsetVolume;
    record.caps |= bits;
    return 0;
}

// ------------------------------------------------------------- names

int QvPhone::GetLineName(int lineId, QString& name)
{
    name.clear();
    if (const int rc = Initialise())
        return rc;
    DWORD version = 0;
    if (const int rc = NegotiateLine(m_lineApp, static_cast<DWORD>(lineId), version))
        return rc;
    TapiBuffer buffer;
    const ReadResult r = ReadGrowing(
        268, LINEERR_STRUCTURETOOSMALL,
        [&](void* data) {
            return lineGetDevCaps(m_lineApp, static_cast<DWORD>(lineId), version, 0,
                                  static_cast<LINEDEVCAPS*>(data));
        },
        buffer);
    if (!r.ok())
        return MapCapsReadError(r);
    const LINEDEVCAPS* dc = buffer.As<LINEDEVCAPS>();
    const bool wide = dc->dwStringFormat == STRINGFORMAT_DBCS || dc->dwStringFormat == STRINGFORMAT_UNICODE;
    if (!buffer.String(dc->dwLineNameSize, dc->dwLineNameOffset, wide, name))
        return 150;
    return 0;
}

int QvPhone::GetNumberOfAddresses(int lineId, int& count)
{
    count = 0;
    if (const int rc = Initialise())
        return rc;
    DWORD version = 0;
    if (const int rc = NegotiateLine(m_lineApp, static_cast<DWORD>(lineId), version))
        return rc;
    TapiBuffer buffer;
    const ReadResult r = ReadGrowing(
        268, LINEERR_STRUCTURETOOSMALL,
        [&](void* data) {
            return lineGetDevCaps(m_lineApp, static_cast<DWORD>(lineId), version, 0,
                                  static_cast<LINEDEVCAPS*>(data));
        },
        buffer);
    if (!r.ok())
        return MapCapsReadError(r);
    count = static_cast<int>(buffer.As<LINEDEVCAPS>()->dwNumAddresses);
    return 0;
}

int QvPhone::GetAddressName(int lineId, int addressId, QString& name)
{
    name.clear();
    if (const int rc = Initialise())
        return rc;
    DWORD version = 0;
    if (const int rc = NegotiateLine(m_lineApp, static_cast<DWORD>(lineId), version))
        return rc;
    // The wide-strings flag is the line's: read it from its capabilities.
    TapiBuffer devCaps;
    ReadResult r = ReadGrowing(
        268, LINEERR_STRUCTURETOOSMALL,
        [&](void* data) {
            return lineGetDevCaps(m_lineApp, static_cast<DWORD>(lineId), version, 0,
                                  static_cast<LINEDEVCAPS*>(data));
        },
        devCaps);
    if (!r.ok())
        return MapCapsReadError(r);
    const DWORD format = devCaps.As<LINEDEVCAPS>()->dwStringFormat;
    const bool wide = format == STRINGFORMAT_DBCS || format == STRINGFORMAT_UNICODE;
    TapiBuffer buffer;
    r = ReadGrowing(
        228, LINEERR_STRUCTURETOOSMALL,
        [&](void* data) {
            return lineGetAddressCapsW(m_lineApp, static_cast<DWORD>(lineId), static_cast<DWORD>(addressId),
                                       version, 0, static_cast<LINEADDRESSCAPS*>(data));
        },
        buffer);
    if (!r.ok())
        return MapCapsReadError(r);
    const LINEADDRESSCAPS* ac = buffer.As<LINEADDRESSCAPS>();
    if (!buffer.String(ac->dwAddressSize, ac->dwAddressOffset, wide, name))
        return 150;
    return 0;
}

// ------------------------------------------------------------- opening

int QvPhone::OpenLine()
{
    if (m_serviceState == ServiceState::Open)
        return 0;
    if (const int rc = Initialise())
        return rc;
    if (m_numLines == 0)
        return 101;
    int caps = 0;
    if (const int rc = ProbeCaps(m_lineId, caps))
        return rc;

    ApplyModemSettings();

    DWORD mediaModes = 0;
    if (m_mediaMode == mmVoice) {
        mediaModes = m_active.mediaModes;
    } else {
        mediaModes = LINEMEDIAMODE_DATAMODEM;
        if (m_active.mediaModes & LINEMEDIAMODE_UNKNOWN)
            mediaModes |= LINEMEDIAMODE_UNKNOWN;
    }
    const DWORD privileges = m_privilege == lpMonitor ? LINECALLPRIVILEGE_MONITOR
                                                      : LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER;
    HLINE line = 0;
    const LONG rc = lineOpenW(m_lineApp, m_lineId, &line, m_active.lineApiVersion, 0, m_lineInstance,
                              privileges, mediaModes, nullptr);
    if (rc < 0) {
        switch (rc) {
        case LINEERR_ALLOCATED:
        case LINEERR_INUSE:
        case LINEERR_RESOURCEUNAVAIL:
            return 106;
        case LINEERR_BADDEVICEID:
            return 102;
        case LINEERR_INVALMEDIAMODE:
            return 162;
        case LINEERR_NOMEM:
            return err::OutOfMemory;
        default:
            return 105;
        }
    }
    if (line == 0) {
        // Nothing to close: the service gave no line.
        return 101;
    }
    m_line = line;
    m_currentMediaMode = m_mediaMode;
    m_currentPrivilege = m_privilege;
    m_serviceState = ServiceState::Open;

    auto failOpen = [this](int code) {
        if (m_phone) {
            phoneClose(m_phone);
            m_phone = 0;
        }
        lineClose(m_line);
        m_line = 0;
        m_serviceState = ServiceState::Initialised;
        return code;
    };
    if (lineSetStatusMessages(m_line, LINEDEVSTATE_RINGING, 0) < 0)
        return failOpen(105);

    if (m_active.phoneId >= 0) {
        HPHONE phone = 0;
        const DWORD privilege = m_privilege == lpMonitor ? PHONEPRIVILEGE_MONITOR : PHONEPRIVILEGE_OWNER;
        const LONG prc = phoneOpen(m_phoneApp, static_cast<DWORD>(m_active.phoneId), &phone,
                                   m_active.phoneApiVersion, 0, m_phoneInstance, privilege);
        if (prc < 0)
            return failOpen(prc == PHONEERR_INVALPRIVILEGE ? 106 : 105);
        m_phone = phone;
        if (phoneSetStatusMessages(m_phone, PHONESTATE_HANDSETHOOKSWITCH | PHONESTATE_SPEAKERHOOKSWITCH, 0,
                                   0) < 0)
            return failOpen(105);
        ApplyExtDevSettings();
    }

    SendTerminalInfo();
    if (!m_quiet)
        RaiseLineState(lsActivated, -1);
    return 0;
}

void QvPhone::ApplyModemSettings()
{
    TapiBuffer buffer;
    if (!buffer.Allocate(2048))
        return;
    VARSTRING* vs = buffer.As<VARSTRING>();
    vs->dwStringFormat = STRINGFORMAT_BINARY;
    if (lineGetDevConfigW(m_lineId, vs, u"comm/datamodem") < 0)
        return;
    QByteArray block;
    if (!buffer.Bytes(vs->dwStringSize, vs->dwStringOffset, block))
        return;
    auto word = [&](int offset) -> std::uint32_t {
        std::uint32_t value = 0;
        if (offset + 4 <= block.size())
            std::memcpy(&value, block.constData() + offset, 4);
        return value;
    };
    auto setWord = [&](int offset, std::uint32_t value) {
        if (offset + 4 <= block.size())
            std::memcpy(block.data() + offset, &value, 4);
    };
    constexpr std::uint32_t kProviderSubtypeModem = 6;
    if (word(48) == kProviderSubtypeModem) {
        if (m_modemSpeaker.Mode() != smDefault)
            setWord(88, static_cast<std::uint32_t>(m_modemSpeaker.Mode()) & 0x7F);
        if (m_modemSpeaker.Volume() != svDefault)
            setWord(84, static_cast<std::uint32_t>(m_modemSpeaker.Volume()) & 0x7F);
        if (block.size() >= 10) {
            const std::uint16_t options = m_showModemIcon ? 8 : 0;
            std::memcpy(block.data() + 8, &options, 2);
        }
    }
    // Written back whatever the block is; a refusal cannot fail the opening.
    lineSetDevConfigW(m_lineId, block.constData(), static_cast<DWORD>(block.size()), u"comm/datamodem");
}

void QvPhone::ApplyExtDevSettings()
{
    for (TExtDev* device : {&m_handset, &m_aux}) {
        phoneSetHookSwitch(m_phone, device->HookSwitchDev(), device->StoredHookSwitchMode());
        phoneSetVolume(m_phone, device->HookSwitchDev(), TExtDev::Scaled(device->SpeakerVolume()));
        phoneSetGain(m_phone, device->HookSwitchDev(), TExtDev::Scaled(device->MicGain()));
    }
}

void QvPhone::ExtDevValueChanged(const TExtDev& device, bool gain)
{
    if (!m_phone)
        return;
    if (gain)
        phoneSetGain(m_phone, device.HookSwitchDev(), TExtDev::Scaled(device.MicGain()));
    else
        phoneSetVolume(m_phone, device.HookSwitchDev(), TExtDev::Scaled(device.SpeakerVolume()));
}

// ------------------------------------------------------------- closing

bool QvPhone::ForgetCalls(bool raiseBeforeDisconnect)
{
    if (raiseBeforeDisconnect) {
        for (CallHandle call : m_calls.Handles()) {
            const TCallEntry* entry = m_calls.Find(call);
            if (!entry || entry->state == csDisconnected || entry->state == csWaitingDisconnection)
                continue;
            m_currentCall = call;
            if (!RaiseBeforeDisconnect(call))
                return false;
            CloseCommHandle(call);
        }
    }
    for (auto& [call, fd] : m_commHandles)
        ::close(fd);
    m_commHandles.clear();
    for (TPendingRequest& entry : m_pending.TakeAll())
        RetireCell(std::move(entry.cell));
    m_timer.SetEnabled(false);
    for (TConsultEntry& entry : m_consults) {
        RetireCell(std::move(entry.consultCell));
        RetireCell(std::move(entry.conferenceCell));
    }
    m_consults.clear();
    m_pickedUp.clear();
    m_calls.Clear();
    m_lineTraits.clear();
    m_currentCall = 0;
    m_dataChannel = false;
    m_faxDialCommand.clear();
    return true;
}

void QvPhone::RetireCell(CallCell cell)
{
    // The service may still write into the cell of a request it has not
    // answered yet, but never once the line is closed: such a cell is kept
    // until then.
    if (cell)
        m_retiredCells.push_back(std::move(cell));
}

int QvPhone::CloseLine()
{
    if (m_serviceState != ServiceState::Open)
        return 0;
    for (CallHandle call : m_calls.Handles()) {
        const TCallEntry* entry = m_calls.Find(call);
        if (!entry || entry->state == csDisconnected || entry->state == csWaitingDisconnection)
            continue;
        m_currentCall = call;
        if (!RaiseBeforeDisconnect(call))
            return 0; // the phone is gone, and its line with it
        CloseCommHandle(call);
    }
    if (m_phone) {
        phoneClose(m_phone);
        m_phone = 0;
    }
    if (lineClose(m_line) < 0) {
        // The line is still open: it is not reported as deactivated, and
        // closing it again tries again.
        return 112;
    }
    m_line = 0;
    m_serviceState = ServiceState::Initialised;
    // Whatever belonged to the line is gone with it.
    ForgetCalls(false);
    m_retiredCells.clear();
    if (!m_quiet)
        RaiseLineState(lsDeactivated, 1);
    return 0;
}

void QvPhone::LineClosedByService()
{
    if (m_serviceState != ServiceState::Open)
        return;
    if (!ForgetCalls(true))
        return;
    if (m_phone) {
        phoneClose(m_phone);
        m_phone = 0;
    }
    m_line = 0;
    m_retiredCells.clear();
    m_serviceState = ServiceState::Initialised;
    RaiseLineState(lsDeactivated, 0);
}

QString QvPhone::LineFailureText(int lineId) const
{
    // Our own service's word on it; it has no place in the documented API.
    return lineId < 0 ? QString() : tapi::Service::LineFailure(static_cast<tapi::DWORD>(lineId));
}

int QvPhone::LineActive(int lineId, bool activate)
{
    const std::uint32_t id = static_cast<std::uint32_t>(lineId);
    if (activate == IsActive() && id == m_lineId)
        return 0;
    const std::shared_ptr<bool> alive = m_alive;
    if (activate && IsActive()) {
        if (const int rc = LineActive(static_cast<int>(m_lineId), false))
            return rc;
        if (!*alive)
            return 0;
    }
    if (!activate && id != m_lineId)
        return 0;
    m_lineId = id;
    if (!activate)
        return CloseLine();
    if (const int rc = CloseLine())
        return rc;
    if (!*alive)
        return 0;
    return OpenLine();
}

int QvPhone::LineReactivate(bool quiet)
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
    if (!m_pending.Empty())
        return 160;
    const std::shared_ptr<bool> alive = m_alive;
    m_quiet = quiet;
    int rc = LineActive(static_cast<int>(m_lineId), false);
    if (!*alive)
        return rc;
    if (rc == 0)
        rc = LineActive(static_cast<int>(m_lineId), true);
    if (!*alive)
        return rc;
    m_quiet = false;
    if (!IsActive())
        RaiseLineState(lsDeactivated, 0);
    return rc;
}

// ------------------------------------------------------------- TExtDev

void TExtDev::SetMicGain(int value)
{
    if (value == m_micGain)
        return;
    if (value < 0 || value > 10) {
        ShowMessage(QStringLiteral("MicGain property must be set to a value ranging from 0 to 10"));
        return;
    }
    m_micGain = value;
    m_owner->ExtDevValueChanged(*this, true);
}

void TExtDev::SetSpeakerVolume(int value)
{
    if (value == m_speakerVolume)
        return;
    if (value < 0 || value > 10) {
        ShowMessage(QStringLiteral("SpeakerVolume property must be set to a value ranging from 0 to 10"));
        return;
    }
    m_speakerVolume = value;
    m_owner->ExtDevValueChanged(*this, false);
}

std::uint32_t TExtDev::StoredHookSwitchMode() const
{
    switch (m_state) {
    case 1:
        return PHONEHOOKSWITCHMODE_MIC;
    case 2:
        return PHONEHOOKSWITCHMODE_SPEAKER;
    case 3:
        return PHONEHOOKSWITCHMODE_MICSPEAKER;
    default:
        return PHONEHOOKSWITCHMODE_ONHOOK;
    }
}

std::uint32_t TExtDev::Scaled(int value)
{
    // value x 6553.5 is exact in binary, so the default rounding (to nearest,
    // ties to even) gives the documented results.
    return static_cast<std::uint32_t>(std::nearbyint(value * 6553.5));
}

} // namespace qv
