#include "telephony/service/providers/modem/ModemProvider.h"

#include "common/Clock.h"
#include "telephony/service/providers/modem/AtSequencer.h"

#include <QtGlobal>

#include <chrono>

namespace qv::modem {

using namespace tapi;

enum class ModemProvider::CallStep
{
    Idle,      // command phase, no call
    Dialling,  // "ATD" is out
    Offering,  // RINGs come, nobody has answered
    Answering, // "ATA" is out
    Data,      // connected: the tty belongs to the call
    Ended,     // the call ended on the modem's side; waiting for lineDrop
    // Hang-up, by DTR where the device has it, else by the escape sequence.
    HangupDtrDown,
    HangupDtrUp,
    HangupCheckCarrier,
    HangupGuardBefore,
    HangupEscape,
    HangupAth,
};

struct ModemProvider::Line
{
    int index = 0;
    ModemLineConfig config;
    QByteArray configBlock; // the block as last set, for the words we keep
    std::unique_ptr<ModemDevice> device;
    std::unique_ptr<AtSequencer> at;
    bool open = false;
    bool closing = false;    // closed by the application while a hang-up runs
    bool deviceLost = false; // the tty went away
    QString lastError;

    CallStep step = CallStep::Idle;
    TimerId stepTimer = 0;
    TimerId watchTimer = 0;
    TimerId ringTimer = 0;
    TimerId closeTimer = 0;

    // The line's one call.
    CallId call = 0;
    bool silent = false; // the service has let go of the call: report nothing more
    bool outgoing = false;
    bool voice = false;
    QString number;
    PartyInfo caller;
    bool callerKnown = false;
    DWORD rate = 0;
    int rings = 0;
    bool ignoreRings = false; // the rings of a caller we turned away
    bool carrierSeen = false;
    RequestId dropRequest = 0;
    bool hangingUp = false;
    int athTries = 0;
};

namespace {

// The time a "+++" needs beyond its guard time for the modem to say OK.
constexpr int EscapeReplyMarginMs = 250;

bool IsDataClass(const QString& deviceClass)
{
    return deviceClass == QLatin1String("comm/datamodem") || deviceClass == QLatin1String("comm");
}

} // namespace

ModemProvider::ModemProvider(std::vector<ModemLineConfig> lines, DeviceFactory factory)
    : m_factory(std::move(factory))
{
    if (!m_factory)
        m_factory = [](int) { return MakePosixModemDevice(); };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto line = std::make_unique<Line>();
        line->index = int(i);
        line->config = std::move(lines[i]);
        line->configBlock = EncodeConfigBlock(line->config);
        m_lines.push_back(std::move(line));
    }
}

ModemProvider::~ModemProvider()
{
    Detach();
}

const ModemLineConfig& ModemProvider::LineConfig(int line) const
{
    return m_lines.at(std::size_t(line))->config;
}

void ModemProvider::SetLineConfig(int line, const ModemLineConfig& config)
{
    if (line < 0 || line >= LineCount())
        return;
    Line& l = *m_lines[std::size_t(line)];
    const QString device = l.config.device;
    const QString lockDir = l.config.lockDir;
    l.config = config;
    l.config.device = device;
    l.config.lockDir = lockDir;
    l.configBlock = EncodeConfigBlock(l.config, l.configBlock);
}

QString ModemProvider::LastError(int line) const
{
    if (line < 0 || line >= LineCount())
        return {};
    return m_lines[std::size_t(line)]->lastError;
}

void ModemProvider::Attach(ProviderEvents* events)
{
    m_events = events;
}

void ModemProvider::Detach()
{
    m_events = nullptr;
    for (auto& line : m_lines) {
        // At once and without a word: DTR goes down with the close.
        if (line->device && line->device->IsOpen() && line->device->HasModemLines())
            line->device->SetDtr(false);
        ForgetCall(*line);
        line->open = false;
        line->closing = false;
        CloseDevice(*line);
    }
}

int ModemProvider::LineCount() const
{
    return int(m_lines.size());
}

LineDeviceInfo ModemProvider::LineInfo(int line) const
{
    const Line& l = *m_lines.at(std::size_t(line));
    LineDeviceInfo info;
    info.providerInfo = QStringLiteral("Hayes AT modem");
    info.switchInfo = l.config.device;
    info.lineName = l.config.name;
    info.permanentLineId = DWORD(0x4D000000u | DWORD(line));
    info.bearerModes = LINEBEARERMODE_VOICE | LINEBEARERMODE_DATA | LINEBEARERMODE_PASSTHROUGH;
    info.maxRate = DWORD(l.config.speed);
    info.mediaModes = LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_INTERACTIVEVOICE;
    info.maxNumActiveCalls = 1;
    info.answerMode = LINEANSWERMODE_NONE;
    info.deviceClasses = {QStringLiteral("tapi/line"), QStringLiteral("comm"),
                          QStringLiteral("comm/datamodem")};
    return info;
}

LONG ModemProvider::GetAddressInfo(int line, DWORD addressId, AddressInfo& info) const
{
    if (line < 0 || line >= LineCount())
        return LINEERR_BADDEVICEID;
    if (addressId != 0)
        return LINEERR_INVALADDRESSID;
    info = AddressInfo{};
    info.address = m_lines[std::size_t(line)]->config.device;
    info.callInfoStates = LINECALLINFOSTATE_CALLERID;
    info.callerIDFlags = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME | LINECALLPARTYID_BLOCKED |
                         LINECALLPARTYID_OUTOFAREA | LINECALLPARTYID_UNKNOWN;
    info.callStates = LINECALLSTATE_IDLE | LINECALLSTATE_OFFERING | LINECALLSTATE_DIALING |
                      LINECALLSTATE_PROCEEDING | LINECALLSTATE_CONNECTED | LINECALLSTATE_DISCONNECTED;
    info.disconnectModes = LINEDISCONNECTMODE_NORMAL | LINEDISCONNECTMODE_BUSY | LINEDISCONNECTMODE_NOANSWER |
                           LINEDISCONNECTMODE_NODIALTONE | LINEDISCONNECTMODE_UNAVAIL |
                           LINEDISCONNECTMODE_INCOMPATIBLE;
    info.maxNumActiveCalls = 1;
    info.callFeatures = LINECALLFEATURE_ANSWER | LINECALLFEATURE_DROP | LINECALLFEATURE_SETCALLPARAMS;
    info.availableMediaModes = LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_INTERACTIVEVOICE;
    return 0;
}

// --- Opening ---------------------------------------------------------------

// One command and its final result, waited for on the device itself. Only
// the open does this, so that a modem that does not answer fails lineOpen.
bool ModemProvider::Exchange(Line& line, const QByteArray& command, int timeoutMs, QString& failure)
{
    using namespace std::chrono;
    failure.clear();
    if (!line.device->Write(command + '\r')) {
        failure = QStringLiteral("the modem could not be written to");
        return false;
    }
    AtLineSplitter splitter;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    for (;;) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0 || !line.device->WaitReadable(int(left))) {
            failure = QStringLiteral("no answer");
            return false;
        }
        QByteArray bytes;
        if (line.device->Read(bytes, 4096) == ModemDevice::ReadStatus::Closed) {
            failure = QStringLiteral("the modem device went away");
            return false;
        }
        std::vector<QByteArray> lines;
        splitter.Feed(bytes, lines);
        for (const QByteArray& raw : lines) {
            const AtLine at = ClassifyAtLine(raw, command);
            if (at.kind == AtKind::Ok)
                return true;
            if (IsFinalResult(at.kind)) {
                failure = QString::fromLatin1(at.text.trimmed());
                return false;
            }
        }
    }
}

LONG ModemProvider::OpenLine(int index)
{
    if (index < 0 || index >= LineCount())
        return LINEERR_BADDEVICEID;
    Line& line = *m_lines[std::size_t(index)];
    if (line.open)
        return 0;
    if (line.closing) {
        // Closed and opened again while the last call was still being hung
        // up: the tty is still ours, and the hang-up finishes as it would.
        line.closing = false;
        line.open = true;
        return 0;
    }
    if (!line.device)
        line.device = m_factory(index);
    line.lastError.clear();
    line.deviceLost = false;
    if (line.config.device.isEmpty()) {
        line.lastError = QStringLiteral("No modem device is configured for the line.");
        return LINEERR_NODEVICE;
    }
    const OpenResult opened = line.device->Open(line.config);
    if (!opened.ok()) {
        line.lastError = OpenErrorText(opened, line.config.device);
        qWarning("modem line %d: %s", index, qPrintable(line.lastError));
        switch (opened.error) {
        case OpenError::Locked:
        case OpenError::Exclusive:
        case OpenError::LockFile:
            return LINEERR_ALLOCATED;
        case OpenError::NotFound:
            return LINEERR_NODEVICE;
        default:
            return LINEERR_OPERATIONFAILED;
        }
    }
    line.device->DiscardInput();

    // The first "AT" may meet a modem that still has half a line from
    // whoever used it before; the second one finds it clean.
    QString failure;
    auto fail = [&](const QString& text, LONG code) {
        line.lastError = text;
        qWarning("modem line %d: %s", index, qPrintable(text));
        CloseDevice(line);
        return code;
    };
    if (!Exchange(line, "AT", m_timings.probeMs, failure) &&
        !Exchange(line, "AT", m_timings.probeMs, failure))
        return fail(QStringLiteral("The modem on %1 does not answer (%2).").arg(line.config.device, failure),
                    LINEERR_NODEVICE);
    if (!line.config.init.isEmpty() && !Exchange(line, line.config.init, m_timings.initMs, failure))
        return fail(QStringLiteral("The modem on %1 refused the init string %2 (%3).")
                        .arg(line.config.device, QString::fromLatin1(line.config.init), failure),
                    LINEERR_OPERATIONFAILED);
    // Results in words, no echo, and no answering on its own: the line
    // counts the rings and the application decides when to answer.
    if (!Exchange(line, "ATE0V1Q0S0=0", m_timings.commandMs, failure))
        return fail(
            QStringLiteral("The modem on %1 refused ATE0V1Q0S0=0 (%2).").arg(line.config.device, failure),
            LINEERR_OPERATIONFAILED);
    // A modem without speaker control says ERROR here; the line works anyway.
    Exchange(line, "AT" + SpeakerCommands(line.config), m_timings.commandMs, failure);

    Line* l = &line;
    line.at = std::make_unique<AtSequencer>([l](const QByteArray& bytes) { return l->device->Write(bytes); },
                                            [this, l](const AtLine& at) { OnUnsolicited(*l, at); });
    line.device->SetReadyHandler([this, l] { OnReadable(*l); });
    line.device->SetReadyNotify(true);
    line.step = CallStep::Idle;
    line.open = true;
    return 0;
}

void ModemProvider::CloseDevice(Line& line)
{
    StopTimer(line);
    if (line.watchTimer) {
        Clock::Instance().StopTimer(line.watchTimer);
        line.watchTimer = 0;
    }
    if (line.ringTimer) {
        Clock::Instance().StopTimer(line.ringTimer);
        line.ringTimer = 0;
    }
    if (line.closeTimer) {
        Clock::Instance().StopTimer(line.closeTimer);
        line.closeTimer = 0;
    }
    line.at.reset();
    if (line.device) {
        line.device->SetReadyNotify(false);
        line.device->SetReadyHandler({});
        line.device->Close();
    }
    line.step = CallStep::Idle;
    line.ignoreRings = false;
    line.callerKnown = false;
}

// The tty's readiness handler may be what found the line finished; its
// notifier must not be destroyed under it, so the close waits a turn.
void ModemProvider::CloseDeviceLater(Line& line)
{
    if (line.device)
        line.device->SetReadyNotify(false);
    if (line.closeTimer)
        return;
    Line* l = &line;
    line.closeTimer = Clock::Instance().StartTimer(0, [this, l] {
        Clock::Instance().StopTimer(l->closeTimer);
        l->closeTimer = 0;
        // Opened again in the meantime: the tty is in use once more.
        if (!l->open)
            CloseDevice(*l);
    });
}

void ModemProvider::CloseLine(int index)
{
    if (index < 0 || index >= LineCount())
        return;
    Line& line = *m_lines[std::size_t(index)];
    line.open = false;
    if (line.call == 0 || line.deviceLost || line.step == CallStep::Offering) {
        ForgetCall(line);
        CloseDevice(line);
        return;
    }
    // The service has forgotten the call; the modem must still let go of it.
    line.silent = true;
    line.dropRequest = 0;
    if (line.device->HasModemLines()) {
        line.device->SetDtr(false);
        ForgetCall(line);
        CloseDevice(line);
        return;
    }
    // Without DTR the escape sequence needs its guard times: the tty stays
    // open until the modem is on hook.
    line.closing = true;
    if (!line.hangingUp)
        StartHangup(line, 0);
}

void ModemProvider::SetStatusMessages(int, DWORD, DWORD) {}

LONG ModemProvider::GetID(int index, DWORD, CallId call, DWORD select, const QString& deviceClass,
                          DeviceIdData& out)
{
    if (index < 0 || index >= LineCount())
        return LINEERR_BADDEVICEID;
    if (!IsDataClass(deviceClass))
        return LINEERR_INVALDEVICECLASS;
    Line& line = *m_lines[std::size_t(index)];
    out.id = DWORD(index);
    if (select != LINECALLSELECT_CALL)
        return 0;
    if (LineOf(call) != &line || !line.device || !line.device->IsOpen())
        return LINEERR_INVALCALLHANDLE;
    out.fd = line.device->Fd();
    out.name = line.config.device;
    return 0;
}

LONG ModemProvider::GetDevConfig(int index, const QString& deviceClass, QByteArray& config)
{
    if (index < 0 || index >= LineCount())
        return LINEERR_BADDEVICEID;
    if (!IsDataClass(deviceClass))
        return LINEERR_INVALDEVICECLASS;
    const Line& line = *m_lines[std::size_t(index)];
    config = EncodeConfigBlock(line.config, line.configBlock);
    return 0;
}

LONG ModemProvider::SetDevConfig(int index, const QString& deviceClass, const QByteArray& config)
{
    if (index < 0 || index >= LineCount())
        return LINEERR_BADDEVICEID;
    if (!IsDataClass(deviceClass))
        return LINEERR_INVALDEVICECLASS;
    Line& line = *m_lines[std::size_t(index)];
    ModemLineConfig decoded = line.config;
    if (!DecodeConfigBlock(config, decoded))
        return LINEERR_INVALPARAM;
    line.config = decoded;
    line.configBlock = config.left(ConfigBlockSize);
    return 0;
}

// --- Reading the command phase ------------------------------------------------

void ModemProvider::OnReadable(Line& line)
{
    if (!line.at || !line.device)
        return;
    // While a CONNECT may come, a byte at a time: what follows the CONNECT
    // line is the call's data and stays in the tty for the application.
    const bool byteWise = line.step == CallStep::Dialling || line.step == CallStep::Answering;
    for (;;) {
        if ((line.step == CallStep::Data && !line.voice) || !line.at)
            return;
        QByteArray bytes;
        const auto status = line.device->Read(bytes, byteWise ? 1 : 4096);
        if (status == ModemDevice::ReadStatus::Closed) {
            DeviceLost(line);
            return;
        }
        if (bytes.isEmpty())
            return;
        line.at->Feed(bytes);
        if (!byteWise)
            return;
    }
}

void ModemProvider::OnUnsolicited(Line& line, const AtLine& at)
{
    switch (at.kind) {
    case AtKind::Ring:
        OnRing(line);
        break;
    case AtKind::CallerId:
        OnCallerId(line, at);
        break;
    default:
        // A NO CARRIER or an OK with no command out is the tail of something
        // already dealt with (a dial given up on, an escape).
        break;
    }
}

void ModemProvider::OnRing(Line& line)
{
    if (line.ringTimer)
        Clock::Instance().StopTimer(line.ringTimer);
    Line* l = &line;
    line.ringTimer = Clock::Instance().StartTimer(m_timings.ringGapMs, [this, l] { RingGapPassed(*l); });
    if (line.ignoreRings || !line.open)
        return;
    if (line.step == CallStep::Idle && line.call == 0) {
        const CallId id = m_events ? m_events->NewIncomingCall(this, line.index, 0) : 0;
        if (id == 0) {
            // Nobody takes calls on the line: this caller's rings are let go.
            line.ignoreRings = true;
            return;
        }
        line.call = id;
        line.silent = false;
        line.outgoing = false;
        line.voice = false;
        line.number.clear();
        line.rings = 0;
        line.rate = 0;
        line.step = CallStep::Offering;
        ReportState(line, LINECALLSTATE_OFFERING);
        if (line.callerKnown && m_events)
            m_events->CallInfoChanged(id, LINECALLINFOSTATE_CALLERID);
    }
    if (line.step != CallStep::Offering)
        return;
    ++line.rings;
    if (m_events)
        m_events->LineDevStateChanged(this, line.index, LINEDEVSTATE_RINGING, 0, DWORD(line.rings));
}

void ModemProvider::OnCallerId(Line& line, const AtLine& at)
{
    if (line.ignoreRings)
        return;
    const QString value = QString::fromUtf8(at.value);
    switch (at.field) {
    case CallerIdField::Number:
        // "P" is a withheld number, "O" one from outside the area.
        if (value == QLatin1String("P")) {
            line.caller.flags = LINECALLPARTYID_BLOCKED;
            line.caller.number.clear();
        } else if (value == QLatin1String("O")) {
            line.caller.flags = LINECALLPARTYID_OUTOFAREA;
            line.caller.number.clear();
        } else {
            line.caller.flags = (line.caller.flags & LINECALLPARTYID_NAME) | LINECALLPARTYID_ADDRESS;
            line.caller.number = value;
        }
        break;
    case CallerIdField::Name:
        line.caller.name = value;
        line.caller.flags = (line.caller.flags & ~(LINECALLPARTYID_UNKNOWN)) | LINECALLPARTYID_NAME;
        break;
    default:
        return; // date, time and messages are not part of the caller party
    }
    line.callerKnown = true;
    // An application quick to answer may already have: the caller is still
    // worth knowing.
    const bool offered = line.step == CallStep::Offering || line.step == CallStep::Answering;
    if (offered && line.call != 0 && !line.silent && m_events)
        m_events->CallInfoChanged(line.call, LINECALLINFOSTATE_CALLERID);
}

void ModemProvider::RingGapPassed(Line& line)
{
    Clock::Instance().StopTimer(line.ringTimer);
    line.ringTimer = 0;
    line.ignoreRings = false;
    line.callerKnown = false;
    line.caller = PartyInfo{};
    if (line.step == CallStep::Offering) {
        // The caller gave up before anyone answered.
        ReportState(line, LINECALLSTATE_IDLE);
        ForgetCall(line);
    }
}

void ModemProvider::DeviceLost(Line& line)
{
    if (line.deviceLost)
        return;
    line.deviceLost = true;
    if (line.device)
        line.device->SetReadyNotify(false);
    qWarning("modem line %d: the modem device %s went away", line.index, qPrintable(line.config.device));
    if (line.call != 0 && line.step == CallStep::Offering) {
        ReportState(line, LINECALLSTATE_IDLE);
        ForgetCall(line);
    }
    if (line.call != 0 && !line.hangingUp) {
        if (line.step != CallStep::Ended)
            EndCall(line, LINEDISCONNECTMODE_NORMAL);
        return; // the line goes when the call is dropped
    }
    if (line.hangingUp) {
        FinishHangup(line);
        return;
    }
    const bool wasOpen = line.open;
    line.open = false;
    CloseDeviceLater(line);
    if (wasOpen && m_events)
        m_events->LineClosed(this, line.index);
}

// --- Calls --------------------------------------------------------------------

ModemProvider::Line* ModemProvider::LineOf(CallId call) const
{
    if (call == 0)
        return nullptr;
    for (const auto& line : m_lines)
        if (line->call == call)
            return line.get();
    return nullptr;
}

LONG ModemProvider::MakeCall(RequestId request, int index, CallId newCall, const QString& number, DWORD,
                             const CallParamsData& params)
{
    if (index < 0 || index >= LineCount())
        return LINEERR_BADDEVICEID;
    Line& line = *m_lines[std::size_t(index)];
    // Checked before anything reaches the modem: a CR or any other character
    // outside the dial alphabet could carry a command of its own.
    QByteArray dial;
    for (QChar c : number) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return LINEERR_INVALADDRESS;
        dial.append(char(c.unicode()));
    }
    if (!IsValidDialString(dial))
        return LINEERR_INVALADDRESS;
    if (!line.open || line.deviceLost || !line.at)
        return LINEERR_OPERATIONFAILED;
    if (line.call != 0 || line.step != CallStep::Idle)
        return LINEERR_CALLUNAVAIL;

    line.call = newCall;
    line.silent = false;
    line.outgoing = true;
    line.voice = params.present && (params.mediaMode & LINEMEDIAMODE_DATAMODEM) == 0;
    line.number = number;
    line.caller = PartyInfo{};
    line.callerKnown = false;
    line.rate = 0;
    line.carrierSeen = false;
    if (m_events)
        m_events->CompleteRequest(request, 0);
    GoTo(line, CallStep::Dialling);
    return 0;
}

LONG ModemProvider::Dial(RequestId, CallId call, const QString&, DWORD)
{
    // A modem dials once per call, in the dial command itself.
    return LineOf(call) ? LINEERR_OPERATIONUNAVAIL : LINEERR_INVALCALLHANDLE;
}

LONG ModemProvider::Answer(RequestId request, CallId call, const QByteArray&)
{
    Line* line = LineOf(call);
    if (!line)
        return LINEERR_INVALCALLHANDLE;
    if (line->step != CallStep::Offering || line->deviceLost)
        return LINEERR_INVALCALLSTATE;
    if (line->ringTimer) {
        Clock::Instance().StopTimer(line->ringTimer);
        line->ringTimer = 0;
    }
    line->carrierSeen = false;
    // Replied to now: the phone must not wait for the handshake, which can
    // take most of a minute, before it knows its request was taken.
    if (m_events)
        m_events->CompleteRequest(request, 0);
    GoTo(*line, CallStep::Answering);
    return 0;
}

LONG ModemProvider::Drop(RequestId request, CallId call, const QByteArray&)
{
    Line* line = LineOf(call);
    if (!line)
        return LINEERR_INVALCALLHANDLE;
    if (line->hangingUp) {
        // Already on its way down (a close, or an earlier drop that the
        // service let go of): this request is answered when it is done.
        if (line->dropRequest == 0) {
            line->dropRequest = request;
            return 0;
        }
        return LINEERR_INVALCALLSTATE;
    }
    StartHangup(*line, request);
    return 0;
}

LONG ModemProvider::SetCallParams(RequestId request, CallId call, DWORD, DWORD, DWORD, const LINEDIALPARAMS*)
{
    Line* line = LineOf(call);
    if (!line)
        return LINEERR_INVALCALLHANDLE;
    // A connected modem call carries raw bytes whatever bearer mode the
    // application names, so a switch of the data channel has nothing to do.
    if (line->step != CallStep::Data)
        return LINEERR_INVALCALLSTATE;
    if (m_events)
        m_events->CompleteRequest(request, 0);
    return 0;
}

LONG ModemProvider::GetCallInfo(CallId call, CallInfoData& info)
{
    const Line* line = LineOf(call);
    if (!line)
        return LINEERR_INVALCALLHANDLE;
    info = CallInfoData{};
    info.bearerMode = line->voice ? LINEBEARERMODE_VOICE : LINEBEARERMODE_DATA;
    info.mediaMode = line->voice ? LINEMEDIAMODE_INTERACTIVEVOICE : LINEMEDIAMODE_DATAMODEM;
    info.rate = line->rate;
    info.callId = call;
    info.callStates = LINECALLSTATE_IDLE | LINECALLSTATE_OFFERING | LINECALLSTATE_DIALING |
                      LINECALLSTATE_PROCEEDING | LINECALLSTATE_CONNECTED | LINECALLSTATE_DISCONNECTED;
    info.origin = line->outgoing ? LINECALLORIGIN_OUTBOUND : LINECALLORIGIN_INBOUND;
    info.reason = LINECALLREASON_DIRECT;
    if (line->outgoing) {
        info.called.flags = LINECALLPARTYID_ADDRESS;
        info.called.number = line->number;
        info.displayableAddress = line->number;
        info.caller.flags = LINECALLPARTYID_UNAVAIL;
    } else if (line->callerKnown) {
        info.caller = line->caller;
    } else {
        info.caller.flags = LINECALLPARTYID_UNKNOWN;
    }
    return 0;
}

LONG ModemProvider::GenerateDigits(CallId call, DWORD digitMode, const QString& digits, DWORD)
{
    Line* line = LineOf(call);
    if (!line)
        return LINEERR_INVALCALLHANDLE;
    if (digitMode != LINEDIGITMODE_DTMF)
        return LINEERR_INVALDIGITMODE;
    // Checked before anything reaches the modem, like a dialled number.
    QByteArray tones;
    for (QChar c : digits) {
        if (c.unicode() > 0x7e)
            return LINEERR_INVALDIGITS;
        tones.append(char(c.unicode()));
    }
    if (!IsValidDtmf(tones))
        return LINEERR_INVALDIGITS;
    // A data call's tty belongs to the application; only a voice call leaves
    // the modem listening for commands.
    if (line->step != CallStep::Data || !line->voice || !line->at)
        return LINEERR_INVALCALLSTATE;
    line->at->Send("ATDT" + tones + ";", m_timings.commandMs, [](const AtReply&) {});
    return 0;
}

LONG ModemProvider::MonitorDigits(CallId call, DWORD digitModes)
{
    if (!LineOf(call))
        return LINEERR_INVALCALLHANDLE;
    // A data modem hears no digits; asking for none is fine.
    return digitModes == 0 ? 0 : LINEERR_INVALDIGITMODE;
}

LONG ModemProvider::MonitorMedia(CallId call, DWORD mediaModes)
{
    if (!LineOf(call))
        return LINEERR_INVALCALLHANDLE;
    return mediaModes == 0 ? 0 : LINEERR_INVALMEDIAMODE;
}

void ModemProvider::ReleaseCall(CallId call)
{
    Line* line = LineOf(call);
    if (!line)
        return;
    line->silent = true;
    if (line->step == CallStep::Offering) {
        // The modem keeps ringing for this caller; those rings are not a
        // new call.
        line->ignoreRings = true;
        ForgetCall(*line);
        return;
    }
    if (!line->hangingUp)
        StartHangup(*line, 0);
}

// --- Steps ----------------------------------------------------------------------

void ModemProvider::StopTimer(Line& line)
{
    if (line.stepTimer) {
        Clock::Instance().StopTimer(line.stepTimer);
        line.stepTimer = 0;
    }
}

void ModemProvider::GoTo(Line& line, CallStep step, int afterMs)
{
    StopTimer(line);
    line.step = step;
    if (afterMs < 0) {
        Step(line);
        return;
    }
    Line* l = &line;
    line.stepTimer = Clock::Instance().StartTimer(afterMs, [this, l] {
        StopTimer(*l);
        Step(*l);
    });
}

void ModemProvider::Step(Line& line)
{
    Line* l = &line;
    auto done = [this, l](const AtReply& reply) { CommandDone(*l, reply); };
    switch (line.step) {
    case CallStep::Dialling: {
        QByteArray dial = line.number.toLatin1();
        if (line.voice && !dial.endsWith(';'))
            dial.append(';');
        const char first = dial.isEmpty() ? '\0' : char(dial[0] & ~0x20);
        if (first != 'T' && first != 'P')
            dial.prepend(line.config.dialMode == DialMode::Pulse ? 'P' : 'T');
        line.at->Send("ATD" + dial, line.config.dialTimeoutSeconds * 1000 + m_timings.dialMarginMs, done);
        ReportState(line, LINECALLSTATE_DIALING);
        ReportState(line, LINECALLSTATE_PROCEEDING);
        return;
    }
    case CallStep::Answering:
        line.at->Send("ATA", m_timings.answerMs, done);
        return;
    case CallStep::HangupDtrDown:
        if (!line.device->SetDtr(false)) {
            GoTo(line, CallStep::HangupGuardBefore);
            return;
        }
        GoTo(line, CallStep::HangupDtrUp, m_timings.dtrDropMs);
        return;
    case CallStep::HangupDtrUp:
        line.device->SetDtr(true);
        GoTo(line, CallStep::HangupCheckCarrier, m_timings.dtrSettleMs);
        return;
    case CallStep::HangupCheckCarrier:
        // A modem set to ignore DTR still has its carrier: fall back on the
        // escape sequence.
        GoTo(line, line.device->Carrier() ? CallStep::HangupGuardBefore : CallStep::HangupAth);
        return;
    case CallStep::HangupGuardBefore:
        // The modem takes "+++" only after a quiet guard time.
        GoTo(line, CallStep::HangupEscape, m_timings.guardMs);
        return;
    case CallStep::HangupEscape:
        if (!line.device->Write("+++")) {
            DeviceLost(line);
            return;
        }
        GoTo(line, CallStep::HangupAth, m_timings.guardMs + EscapeReplyMarginMs);
        return;
    case CallStep::HangupAth:
        // Back in the command phase: what the call left in the tty (and the
        // escape's OK) is not an answer to the ATH.
        line.device->DiscardInput();
        line.at->CancelAll();
        line.device->SetReadyNotify(true);
        line.athTries = 0;
        line.at->Send("ATH", m_timings.commandMs, done);
        return;
    case CallStep::Idle:
    case CallStep::Offering:
    case CallStep::Data:
    case CallStep::Ended:
        return;
    }
}

void ModemProvider::CommandDone(Line& line, const AtReply& reply)
{
    if (reply.outcome == AtOutcome::Cancelled)
        return;
    if (reply.outcome == AtOutcome::WriteFailed) {
        DeviceLost(line);
        return;
    }
    const bool final = reply.outcome == AtOutcome::Final;
    const AtKind kind = final ? reply.final.kind : AtKind::Info;
    switch (line.step) {
    case CallStep::Dialling:
    case CallStep::Answering:
        if (line.hangingUp) {
            // The dial or answer was broken off for a drop.
            GoTo(line, CallStep::HangupAth);
            return;
        }
        if (kind == AtKind::Connect ||
            (kind == AtKind::Ok && line.voice && line.step == CallStep::Dialling)) {
            line.rate = reply.final.rate;
            EnterData(line);
            return;
        }
        if (!final) {
            // The modem let the time limit pass: any character ends the
            // attempt, and its late result is discarded.
            line.device->Write("\r");
            EndCall(line, LINEDISCONNECTMODE_NOANSWER);
            return;
        }
        switch (kind) {
        case AtKind::Busy:
            EndCall(line, LINEDISCONNECTMODE_BUSY);
            return;
        case AtKind::NoDialtone:
            EndCall(line, LINEDISCONNECTMODE_NODIALTONE);
            return;
        case AtKind::NoAnswer:
        case AtKind::NoCarrier:
            EndCall(line, LINEDISCONNECTMODE_NOANSWER);
            return;
        case AtKind::Voice:
            EndCall(line, LINEDISCONNECTMODE_INCOMPATIBLE);
            return;
        default:
            EndCall(line, LINEDISCONNECTMODE_UNAVAIL);
            return;
        }
    case CallStep::HangupAth:
        if (final && kind == AtKind::Error && ++line.athTries < 2) {
            // The line may have started with what was left of "+++".
            Line* l = &line;
            line.at->Send("ATH", m_timings.commandMs, [this, l](const AtReply& r) { CommandDone(*l, r); });
            return;
        }
        FinishHangup(line);
        return;
    default:
        return;
    }
}

void ModemProvider::EnterData(Line& line)
{
    line.step = CallStep::Data;
    line.carrierSeen = false;
    if (line.voice) {
        // A voice call keeps the modem in its command phase: nothing to hand
        // over and no carrier to watch.
        ReportState(line, LINECALLSTATE_CONNECTED);
        return;
    }
    line.at->CancelAll();
    line.device->SetReadyNotify(false);
    ReportState(line, LINECALLSTATE_CONNECTED);
    Line* l = &line;
    if (line.watchTimer)
        Clock::Instance().StopTimer(line.watchTimer);
    line.watchTimer = Clock::Instance().StartTimer(m_timings.carrierPollMs, [this, l] { WatchCarrier(*l); });
}

void ModemProvider::WatchCarrier(Line& line)
{
    if (line.step != CallStep::Data) {
        Clock::Instance().StopTimer(line.watchTimer);
        line.watchTimer = 0;
        return;
    }
    bool lost = false;
    if (line.device->HungUp()) {
        lost = true;
        line.deviceLost = true;
    } else if (line.device->HasModemLines()) {
        // A cable without DCD never shows a carrier: only a carrier that was
        // there can be lost.
        const bool carrier = line.device->Carrier();
        line.carrierSeen = line.carrierSeen || carrier;
        lost = line.carrierSeen && !carrier;
    }
    if (!lost)
        return;
    Clock::Instance().StopTimer(line.watchTimer);
    line.watchTimer = 0;
    EndCall(line, LINEDISCONNECTMODE_NORMAL);
}

void ModemProvider::EndCall(Line& line, DWORD disconnectMode)
{
    StopTimer(line);
    line.step = CallStep::Ended;
    ReportState(line, LINECALLSTATE_DISCONNECTED, disconnectMode);
}

void ModemProvider::StartHangup(Line& line, RequestId request)
{
    line.dropRequest = request;
    line.hangingUp = true;
    if (line.watchTimer) {
        Clock::Instance().StopTimer(line.watchTimer);
        line.watchTimer = 0;
    }
    if (line.deviceLost || !line.at) {
        FinishHangup(line);
        return;
    }
    switch (line.step) {
    case CallStep::Offering:
        line.ignoreRings = true;
        FinishHangup(line);
        return;
    case CallStep::Dialling:
    case CallStep::Answering:
        // Any character breaks off a dial or an answer; the modem then ends
        // the command, and CommandDone goes on to the ATH.
        if (!line.at->Interrupt("\r", m_timings.commandMs))
            GoTo(line, CallStep::HangupAth);
        return;
    case CallStep::Data:
        if (line.voice) {
            GoTo(line, CallStep::HangupAth);
            return;
        }
        GoTo(line, line.device->HasModemLines() ? CallStep::HangupDtrDown : CallStep::HangupGuardBefore);
        return;
    default:
        GoTo(line, CallStep::HangupAth);
        return;
    }
}

void ModemProvider::FinishHangup(Line& line)
{
    StopTimer(line);
    const RequestId request = line.dropRequest;
    line.dropRequest = 0;
    line.hangingUp = false;
    if (request != 0 && m_events)
        m_events->CompleteRequest(request, 0);
    ReportState(line, LINECALLSTATE_IDLE);
    ForgetCall(line);
    if (line.deviceLost) {
        const bool wasOpen = line.open;
        line.open = false;
        line.closing = false;
        CloseDeviceLater(line);
        if (wasOpen && m_events)
            m_events->LineClosed(this, line.index);
        return;
    }
    if (line.closing) {
        line.closing = false;
        CloseDeviceLater(line);
        return;
    }
    if (line.device && line.device->IsOpen())
        line.device->SetReadyNotify(true);
}

void ModemProvider::ReportState(Line& line, DWORD state, DWORD detail)
{
    if (line.call == 0 || line.silent || !m_events)
        return;
    m_events->CallStateChanged(line.call, state, detail,
                               line.voice ? LINEMEDIAMODE_INTERACTIVEVOICE : LINEMEDIAMODE_DATAMODEM);
}

void ModemProvider::ForgetCall(Line& line)
{
    StopTimer(line);
    if (line.watchTimer) {
        Clock::Instance().StopTimer(line.watchTimer);
        line.watchTimer = 0;
    }
    line.call = 0;
    line.silent = false;
    line.hangingUp = false;
    line.dropRequest = 0;
    line.rings = 0;
    line.number.clear();
    line.caller = PartyInfo{};
    line.callerKnown = false;
    line.step = CallStep::Idle;
}

std::unique_ptr<Provider> MakeModemProvider(std::vector<ModemLineConfig> lines)
{
    return std::make_unique<ModemProvider>(std::move(lines));
}

} // namespace qv::modem
