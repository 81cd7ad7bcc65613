#include "telephony/service/providers/modem/ModemProvider.h"

#include "common/Clock.h"
#include "telephony/service/providers/modem/AtSequencer.h"
#include "telephony/service/providers/tty/CarrierWatch.h"

#include <QtGlobal>

#include <algorithm>
#include <optional>

namespace qv::modem {

using namespace tapi;
using tty::CarrierWatch;
using tty::TtyDevice;

// The steps of a line, from the open of its tty to the hang-up of a call.
// Everything after Idle is a step of the line's call.
enum class ModemProvider::LineStep
{
    Closed,       // no tty
    InitProbe,    // "AT" until the modem answers
    InitCommands, // the init sequence, one command at a time
    Idle,         // command phase, no call
    OffHook,      // picked up without a number ("ATH1")
    Dialling,     // "ATD" is out
    Offering,     // RINGs come, nobody has answered
    Answering,    // "ATA" is out
    Data,         // connected: the tty belongs to the call (or to a voice call's tones)
    Ended,        // the call ended on the modem's side; waiting for lineDrop
    // Hang-up, done when the carrier falls or "ATH0" is answered OK.
    HangupCommand,     // "ATH0" to a modem that should be in its command phase
    HangupDtrDown,     // DTR low
    HangupDtrUp,       // DTR back; the modem settles
    HangupDtrCheck,    // carrier gone? else "ATH0"
    HangupGuardBefore, // silence before "+++"
    HangupEscape,      // the guard time passes, then "+++"
    HangupEscapeWait,  // "+++" is out: its OK, or the guard time after it
    HangupAth,         // "ATH0" after the escape
    HangupFailed,      // nothing confirmed: the call stays until a drop works or the carrier goes
};

struct ModemProvider::Line
{
    int index = 0;
    ModemLineConfig config;
    QByteArray configBlock; // the block as last set, for the words we keep
    std::unique_ptr<TtyDevice> device;
    tty::TtySettings port; // what the tty was opened with
    std::unique_ptr<AtSequencer> at;
    CarrierWatch watch;
    bool open = false;       // the service has the line open
    bool closing = false;    // closed by the application while a hang-up runs
    bool deviceLost = false; // the tty went away, or the modem would not come up
    QString failure;         // why the last open, bringing up or hang-up failed

    LineStep step = LineStep::Closed;
    TimerId stepTimer = 0;
    TimerId ringTimer = 0;
    TimerId closeTimer = 0;
    TimerId settingsTimer = 0;

    // Bringing the modem up.
    std::vector<InitStep> initSteps;
    std::size_t initIndex = 0;
    std::size_t initAlternative = 0;
    int probes = 0;
    QStringList refused;        // optional commands the modem did not take
    ModemLineConfig initConfig; // what the modem was brought up with
    bool reinitWanted = false;  // reopened with other settings while it came up
    bool settingsWaiting = false; // reopened with other settings while a hang-up ran
    enum class CallerId
    {
        Unknown,
        On,
        Off
    } callerId = CallerId::Unknown;

    // The line's one call.
    CallId call = 0;
    bool silent = false; // the service has let go of the call: report nothing more
    bool outgoing = false;
    bool voice = false;
    bool passthrough = false; // the application talks to the modem itself
    bool pickUp = false;      // placed without a number: off hook, waiting for one
    bool queued = false;      // placed while the modem was coming up
    QString number;
    PartyInfo caller;
    bool callerKnown = false;
    DWORD rate = 0;
    int rings = 0;
    bool ignoreRings = false; // the rings of a caller we turned away
    RequestId dropRequest = 0;
    bool hangingUp = false;
    bool dtrTried = false;
    bool escapeTried = false;
    int athTries = 0;
    std::int64_t escapeAt = 0; // when "+++" went out
};

namespace {

// The time a "+++" needs beyond its guard time for the modem to say OK.
constexpr int EscapeReplyMarginMs = 250;
// How often "ATH0" is sent when a modem answers it with something other than
// OK (the tail of "+++" on its command line, a NO CARRIER of its own).
constexpr int AthTries = 3;

bool IsDataClass(const QString& deviceClass)
{
    return deviceClass == QLatin1String("comm/datamodem") || deviceClass == QLatin1String("comm");
}

// The settings the modem is told when it comes up.
bool SameInit(const ModemLineConfig& a, const ModemLineConfig& b)
{
    return a.init == b.init && a.initSequence == b.initSequence && a.volume == b.volume &&
           a.speaker == b.speaker;
}

// What a reply said, for a message: "ERROR", "no answer".
QString ReplyText(const AtReply& reply)
{
    switch (reply.outcome) {
    case AtOutcome::Final:
        return QString::fromLatin1(reply.final.text.trimmed());
    case AtOutcome::Timeout:
        return QStringLiteral("no answer");
    case AtOutcome::WriteFailed:
        return QStringLiteral("the tty did not take it");
    case AtOutcome::Cancelled:
        break;
    }
    return QStringLiteral("cancelled");
}

} // namespace

ModemProvider::ModemProvider(std::vector<ModemLineConfig> lines, DeviceFactory factory,
                             tapi::LineSettingsFile file)
    : m_factory(std::move(factory)), m_file(std::move(file))
{
    if (!m_factory)
        m_factory = [](int) { return tty::MakePosixTtyDevice(); };
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

LONG ModemProvider::SetLineConfig(int line, const ModemLineConfig& config)
{
    if (line < 0 || line >= LineCount())
        return LINEERR_BADDEVICEID;
    Line& l = *m_lines[std::size_t(line)];
    ModemLineConfig wanted = config;
    wanted.device = l.config.device;
    wanted.lockDir = l.config.lockDir;
    wanted.initSequence = l.config.initSequence;
    // What the operator accepted must still be there at the next start: it
    // is written first, and a line whose file cannot take it stays as it was.
    if (!m_file.Keep(line, QStringLiteral("modem"), ModemLineConfigKeys(wanted),
                     QStringLiteral("modem line %1").arg(line), l.failure))
        return LINEERR_OPERATIONFAILED;
    l.config = std::move(wanted);
    l.configBlock = EncodeConfigBlock(l.config, l.configBlock);
    l.failure.clear();
    return 0;
}

QString ModemProvider::LineFailure(int line) const
{
    if (line < 0 || line >= LineCount())
        return {};
    return m_lines[std::size_t(line)]->failure;
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
    const Line& l = *m_lines[std::size_t(line)];
    info = AddressInfo{};
    info.address = l.config.device;
    info.callInfoStates = LINECALLINFOSTATE_CALLERID;
    // Until the modem has been brought up, caller ID is what the init
    // sequence asks for; after that, what the modem agreed to.
    const std::vector<InitStep> steps = l.initSteps.empty() ? InitSequence(l.config) : l.initSteps;
    const bool asked = std::any_of(steps.begin(), steps.end(), [](const InitStep& s) { return s.callerId; });
    const bool callerId =
        l.callerId == Line::CallerId::On || (l.callerId == Line::CallerId::Unknown && asked);
    info.callerIDFlags = callerId ? LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME | LINECALLPARTYID_BLOCKED |
                                        LINECALLPARTYID_OUTOFAREA | LINECALLPARTYID_UNKNOWN
                                  : LINECALLPARTYID_UNAVAIL;
    info.callStates = LINECALLSTATE_IDLE | LINECALLSTATE_OFFERING | LINECALLSTATE_DIALTONE |
                      LINECALLSTATE_DIALING | LINECALLSTATE_PROCEEDING | LINECALLSTATE_CONNECTED |
                      LINECALLSTATE_DISCONNECTED;
    info.disconnectModes = LINEDISCONNECTMODE_NORMAL | LINEDISCONNECTMODE_BUSY | LINEDISCONNECTMODE_NOANSWER |
                           LINEDISCONNECTMODE_NODIALTONE | LINEDISCONNECTMODE_UNAVAIL |
                           LINEDISCONNECTMODE_INCOMPATIBLE;
    info.maxNumActiveCalls = 1;
    info.callFeatures =
        LINECALLFEATURE_ANSWER | LINECALLFEATURE_DIAL | LINECALLFEATURE_DROP | LINECALLFEATURE_SETCALLPARAMS;
    info.availableMediaModes = LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_INTERACTIVEVOICE;
    return 0;
}

// --- Opening ---------------------------------------------------------------

LONG ModemProvider::OpenLine(int index)
{
    if (index < 0 || index >= LineCount())
        return LINEERR_BADDEVICEID;
    Line& line = *m_lines[std::size_t(index)];
    if (line.open)
        return 0;
    if (line.closing) {
        // Closed and opened again while the last call was still being hung
        // up: the tty is still ours, and the hang-up finishes as it would,
        // on the tty as it is. Other settings are taken once it is done.
        line.closing = false;
        line.open = true;
        line.settingsWaiting =
            line.port != PortSettings(line.config) || !SameInit(line.initConfig, line.config);
        return 0;
    }
    if (line.closeTimer && !line.deviceLost && line.device && line.device->IsOpen() && line.at &&
        line.port == PortSettings(line.config)) {
        // Closed a moment ago (the phone component's probe does that just
        // before its real open): the tty and the modem are as they were.
        // A tty opened at another speed or flow control than the line now
        // has is opened afresh below, or the new settings would wait for a
        // later full open.
        Clock::Instance().StopTimer(line.closeTimer);
        line.closeTimer = 0;
        line.open = true;
        // Reopened with other settings for the modem (the phone component
        // writes the speaker words just before it opens): tell it again.
        if (!SameInit(line.initConfig, line.config)) {
            if (line.step == LineStep::Idle)
                BringUp(line, false);
            else if (line.step == LineStep::InitCommands)
                line.reinitWanted = true;
        }
        return 0;
    }
    const LONG result = OpenDevice(line);
    if (result != 0)
        qWarning("modem line %d: %s", index, qPrintable(line.failure));
    return result;
}

// Opens the tty afresh with the line's settings and brings the modem up; on
// failure `failure` says why.
LONG ModemProvider::OpenDevice(Line& line)
{
    CloseDevice(line);
    if (!line.device)
        line.device = m_factory(line.index);
    line.failure.clear();
    line.deviceLost = false;
    if (line.config.device.isEmpty()) {
        line.failure = QStringLiteral("No modem device is configured for the line.");
        return LINEERR_NODEVICE;
    }
    line.port = PortSettings(line.config);
    const tty::OpenResult opened = line.device->Open(line.port);
    if (!opened.ok()) {
        line.failure = tty::OpenErrorText(opened, line.config.device, QStringLiteral("modem device"));
        return tty::OpenLineError(opened);
    }
    line.device->DiscardInput();
    Line* l = &line;
    line.at = std::make_unique<AtSequencer>([l](const QByteArray& bytes) { return l->device->Write(bytes); },
                                            [this, l](const AtLine& at) { OnUnsolicited(*l, at); });
    line.device->SetReadyHandler([this, l] { OnReadable(*l); });
    line.device->SetReadyNotify(true);
    line.open = true;
    line.initSteps.clear();
    line.callerId = Line::CallerId::Unknown;
    BringUp(line, true);
    return 0;
}

void ModemProvider::CloseDevice(Line& line)
{
    StopTimer(line);
    line.watch.Stop();
    for (TimerId* t : {&line.ringTimer, &line.closeTimer, &line.settingsTimer}) {
        if (*t) {
            Clock::Instance().StopTimer(*t);
            *t = 0;
        }
    }
    line.at.reset();
    if (line.device) {
        line.device->SetReadyNotify(false);
        line.device->SetReadyHandler({});
        line.device->Close();
    }
    line.step = LineStep::Closed;
    line.ignoreRings = false;
    line.callerKnown = false;
    line.reinitWanted = false;
    line.settingsWaiting = false;
}

// Settings given while a hang-up ran: once the line is idle, a new speed or
// flow control opens the tty afresh, other settings for the modem are told it
// again. This runs a turn after the hang-up, whose end the tty's readiness
// handler may be reporting; a call placed in the meantime keeps them waiting
// for its own hang-up.
void ModemProvider::TakeWaitingSettings(Line& line)
{
    if (!line.settingsWaiting || line.settingsTimer)
        return;
    Line* l = &line;
    line.settingsTimer = Clock::Instance().StartTimer(0, [this, l] {
        Clock::Instance().StopTimer(l->settingsTimer);
        l->settingsTimer = 0;
        if (!l->settingsWaiting || !l->open || l->deviceLost || l->call != 0 || l->step != LineStep::Idle)
            return;
        l->settingsWaiting = false;
        if (l->port == PortSettings(l->config)) {
            BringUp(*l, false);
            return;
        }
        if (OpenDevice(*l) != 0)
            LineUnusable(*l, l->failure);
    });
}

// The tty's readiness handler may be what found the line finished; its
// notifier must not be destroyed under it, so the close waits a turn (or,
// for a line closed with nothing to hang up, the linger time).
void ModemProvider::CloseDeviceLater(Line& line, int afterMs)
{
    if (line.device && afterMs == 0)
        line.device->SetReadyNotify(false);
    if (line.closeTimer)
        return;
    Line* l = &line;
    line.closeTimer = Clock::Instance().StartTimer(afterMs, [this, l] {
        Clock::Instance().StopTimer(l->closeTimer);
        l->closeTimer = 0;
        // Opened again in the meantime: the tty is in use once more.
        if (!l->open && !l->closing && l->call == 0)
            CloseDevice(*l);
    });
}

void ModemProvider::CloseLine(int index)
{
    if (index < 0 || index >= LineCount())
        return;
    Line& line = *m_lines[std::size_t(index)];
    line.open = false;
    if (line.call == 0 || line.deviceLost || line.step == LineStep::Offering || line.queued) {
        ForgetCall(line);
        if (line.deviceLost)
            CloseDevice(line);
        else
            CloseDeviceLater(line, m_timings.lingerMs);
        return;
    }
    // The service has forgotten the call; the modem must still let go of it,
    // and the tty stays open until that is verified.
    line.silent = true;
    line.dropRequest = 0;
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
    const bool byteWise = line.step == LineStep::Dialling || line.step == LineStep::Answering;
    for (;;) {
        if (!line.at || (line.step == LineStep::Data && (!line.voice || line.passthrough)))
            return;
        QByteArray bytes;
        const auto status = line.device->Read(bytes, byteWise ? 1 : 4096);
        if (status == TtyDevice::ReadStatus::Closed) {
            LineUnusable(line, QStringLiteral("The modem device %1 went away.").arg(line.config.device));
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
    case AtKind::Ok:
        // The escape's OK comes only after its guard time; an OK before it
        // is something else, and anything sent now would void the escape.
        if (line.step == LineStep::HangupEscapeWait &&
            Clock::Instance().MonotonicMs() - line.escapeAt >= m_timings.guardMs)
            GoTo(line, LineStep::HangupAth);
        break;
    case AtKind::NoCarrier:
        // A modem whose hang-up went unconfirmed says, after all, that the
        // call is gone.
        if (line.step == LineStep::HangupFailed) {
            ReportState(line, LINECALLSTATE_IDLE);
            ForgetCall(line);
        }
        break;
    default:
        // An OK or a NO CARRIER with no command out is otherwise the tail of
        // something already dealt with (a dial given up on, an escape).
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
    if (line.step == LineStep::Idle && line.call == 0) {
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
        line.passthrough = false;
        line.pickUp = false;
        line.number.clear();
        line.rings = 0;
        line.rate = 0;
        line.step = LineStep::Offering;
        ReportState(line, LINECALLSTATE_OFFERING);
        if (line.callerKnown && m_events)
            m_events->CallInfoChanged(id, LINECALLINFOSTATE_CALLERID);
    }
    if (line.step != LineStep::Offering)
        return;
    ++line.rings;
    if (m_events)
        m_events->LineDevStateChanged(this, line.index, LINEDEVSTATE_RINGING, 0, DWORD(line.rings));
}

void ModemProvider::OnCallerId(Line& line, const AtLine& at)
{
    if (line.ignoreRings)
        return;
    bool changed = false;
    for (const CallerIdItem& item : at.items) {
        const QString value = QString::fromUtf8(item.value);
        switch (item.field) {
        case CallerIdField::Number:
            // "P" is a withheld number, "O" one from outside the area.
            if (value == QLatin1String("P")) {
                line.caller.flags = (line.caller.flags & LINECALLPARTYID_NAME) | LINECALLPARTYID_BLOCKED;
                line.caller.number.clear();
            } else if (value == QLatin1String("O")) {
                line.caller.flags = (line.caller.flags & LINECALLPARTYID_NAME) | LINECALLPARTYID_OUTOFAREA;
                line.caller.number.clear();
            } else if (!value.isEmpty()) {
                line.caller.flags = (line.caller.flags & LINECALLPARTYID_NAME) | LINECALLPARTYID_ADDRESS;
                line.caller.number = value;
            } else {
                continue;
            }
            break;
        case CallerIdField::Name:
            if (value.isEmpty())
                continue;
            line.caller.name = value;
            line.caller.flags = (line.caller.flags & ~(LINECALLPARTYID_UNKNOWN)) | LINECALLPARTYID_NAME;
            break;
        default:
            continue; // date, time and messages are not part of the caller party
        }
        changed = true;
    }
    if (!changed)
        return;
    line.callerKnown = true;
    // Whatever the init found, this modem does report callers.
    line.callerId = Line::CallerId::On;
    // An application quick to answer may already have: the caller is still
    // worth knowing.
    const bool offered = line.step == LineStep::Offering || line.step == LineStep::Answering;
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
    if (line.step == LineStep::Offering) {
        // The caller gave up before anyone answered.
        ReportState(line, LINECALLSTATE_IDLE);
        ForgetCall(line);
    }
}

void ModemProvider::LineUnusable(Line& line, const QString& reason)
{
    if (line.deviceLost)
        return;
    line.deviceLost = true;
    line.failure = reason;
    if (line.device)
        line.device->SetReadyNotify(false);
    qWarning("modem line %d: %s", line.index, qPrintable(reason));
    if (line.call != 0 && line.step == LineStep::Offering) {
        ReportState(line, LINECALLSTATE_IDLE);
        ForgetCall(line);
    }
    if (line.call != 0 && !line.hangingUp) {
        if (line.step != LineStep::Ended)
            EndCall(line, line.queued ? LINEDISCONNECTMODE_UNAVAIL : LINEDISCONNECTMODE_NORMAL);
        return; // the line goes when the call is dropped
    }
    if (line.hangingUp) {
        FinishHangup(line);
        return;
    }
    const bool wasOpen = line.open;
    line.open = false;
    line.closing = false;
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

namespace {

// A number as the modem would get it; nullopt for a character that could
// carry a command of its own (a CR) or is not ASCII.
std::optional<QByteArray> DialBytes(const QString& number)
{
    QByteArray dial;
    for (QChar c : number) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return std::nullopt;
        dial.append(char(c.unicode()));
    }
    return dial;
}

} // namespace

LONG ModemProvider::MakeCall(RequestId request, int index, CallId newCall, const QString& number, DWORD,
                             const CallParamsData& params)
{
    if (index < 0 || index >= LineCount())
        return LINEERR_BADDEVICEID;
    Line& line = *m_lines[std::size_t(index)];
    // Checked before anything reaches the modem.
    const std::optional<QByteArray> dial = DialBytes(number);
    if (!dial || (!dial->isEmpty() && !IsValidDialString(*dial)))
        return LINEERR_INVALADDRESS;
    if (!line.open || line.deviceLost || !line.at)
        return LINEERR_OPERATIONFAILED;
    const bool initialising = line.step == LineStep::InitProbe || line.step == LineStep::InitCommands;
    if (line.call != 0 || (line.step != LineStep::Idle && !initialising))
        return LINEERR_CALLUNAVAIL;

    line.call = newCall;
    line.silent = false;
    line.outgoing = true;
    line.passthrough = params.present && params.bearerMode == LINEBEARERMODE_PASSTHROUGH;
    // Without a number the modem goes off hook and waits for one (a
    // pick-up); a pass-through call leaves the dialling to the application.
    line.pickUp = !line.passthrough && dial->isEmpty();
    line.voice = params.present && (params.mediaMode & LINEMEDIAMODE_DATAMODEM) == 0;
    line.number = number;
    line.caller = PartyInfo{};
    line.callerKnown = false;
    line.rate = 0;
    if (m_events)
        m_events->CompleteRequest(request, 0);
    if (initialising) {
        line.queued = true;
        return 0;
    }
    StartCall(line);
    return 0;
}

LONG ModemProvider::Dial(RequestId request, CallId call, const QString& number, DWORD)
{
    Line* line = LineOf(call);
    if (!line)
        return LINEERR_INVALCALLHANDLE;
    // A modem dials once per call: in the dial command, or on a line that was
    // picked up without a number.
    if (!line->pickUp || line->hangingUp || (line->step != LineStep::OffHook && !line->queued))
        return LINEERR_OPERATIONUNAVAIL;
    const std::optional<QByteArray> dial = DialBytes(number);
    if (!dial || (!dial->isEmpty() && !IsValidDialString(*dial)))
        return LINEERR_INVALADDRESS;
    if (m_events)
        m_events->CompleteRequest(request, 0);
    if (dial->isEmpty())
        return 0; // nothing to dial yet: the line stays off hook
    line->pickUp = false;
    line->number = number;
    if (!line->queued)
        GoTo(*line, LineStep::Dialling);
    return 0;
}

LONG ModemProvider::Answer(RequestId request, CallId call, const QByteArray&)
{
    Line* line = LineOf(call);
    if (!line)
        return LINEERR_INVALCALLHANDLE;
    if (line->step != LineStep::Offering || line->deviceLost)
        return LINEERR_INVALCALLSTATE;
    if (line->ringTimer) {
        Clock::Instance().StopTimer(line->ringTimer);
        line->ringTimer = 0;
    }
    // Replied to now: the phone must not wait for the handshake, which can
    // take most of a minute, before it knows its request was taken.
    if (m_events)
        m_events->CompleteRequest(request, 0);
    GoTo(*line, LineStep::Answering);
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

LONG ModemProvider::SetCallParams(RequestId request, CallId call, DWORD bearerMode, DWORD, DWORD,
                                  const LINEDIALPARAMS*)
{
    Line* line = LineOf(call);
    if (!line)
        return LINEERR_INVALCALLHANDLE;
    if (line->step == LineStep::Offering && bearerMode == LINEBEARERMODE_PASSTHROUGH && !line->deviceLost) {
        // A fax session takes an offered call this way: the modem is the
        // application's, which answers it with its own commands.
        if (line->ringTimer) {
            Clock::Instance().StopTimer(line->ringTimer);
            line->ringTimer = 0;
        }
        if (m_events)
            m_events->CompleteRequest(request, 0);
        EnterPassthrough(*line);
        return 0;
    }
    // A connected modem call carries raw bytes whatever bearer mode the
    // application names, so a switch of the data channel has nothing to do.
    if (line->step != LineStep::Data)
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
    info.bearerMode = line->passthrough ? LINEBEARERMODE_PASSTHROUGH
                      : line->voice     ? LINEBEARERMODE_VOICE
                                        : LINEBEARERMODE_DATA;
    info.mediaMode = line->voice ? LINEMEDIAMODE_INTERACTIVEVOICE : LINEMEDIAMODE_DATAMODEM;
    info.rate = line->rate;
    info.callId = call;
    info.callStates = LINECALLSTATE_IDLE | LINECALLSTATE_OFFERING | LINECALLSTATE_DIALTONE |
                      LINECALLSTATE_DIALING | LINECALLSTATE_PROCEEDING | LINECALLSTATE_CONNECTED |
                      LINECALLSTATE_DISCONNECTED;
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
    if (line->step != LineStep::Data || !line->voice || !line->at)
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
    if (line->step == LineStep::Offering) {
        // The modem keeps ringing for this caller; those rings are not a
        // new call.
        line->ignoreRings = true;
        ForgetCall(*line);
        return;
    }
    if (line->queued) {
        ForgetCall(*line); // nothing was dialled
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

void ModemProvider::GoTo(Line& line, LineStep step, int afterMs)
{
    StopTimer(line);
    if (step != line.step)
        line.athTries = 0;
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

void ModemProvider::BringUp(Line& line, bool probe)
{
    line.reinitWanted = false;
    line.refused.clear();
    line.initIndex = 0;
    line.initAlternative = 0;
    if (probe) {
        line.probes = 0;
        GoTo(line, LineStep::InitProbe);
        return;
    }
    line.initConfig = line.config;
    line.initSteps = InitSequence(line.config);
    // A modem without speaker control says ERROR here; the line works anyway.
    line.initSteps.push_back({{"AT" + SpeakerCommands(line.config)}, true, false});
    GoTo(line, LineStep::InitCommands);
}

void ModemProvider::Step(Line& line)
{
    Line* l = &line;
    // A reply is taken only in the step that asked for it: one that comes
    // after the line has moved on (an ATH1 overtaken by the dial) is news of
    // nothing.
    auto done = [this, l, step = line.step](const AtReply& reply) {
        if (l->step == step)
            CommandDone(*l, reply);
    };
    switch (line.step) {
    case LineStep::InitProbe:
        line.at->Send("AT", m_timings.probeMs, done);
        return;
    case LineStep::InitCommands:
        if (line.initIndex >= line.initSteps.size()) {
            InitDone(line);
            return;
        }
        line.at->Send(line.initSteps[line.initIndex].alternatives[line.initAlternative], m_timings.initMs,
                      done);
        return;
    case LineStep::OffHook:
        line.at->Send("ATH1", m_timings.commandMs, done);
        return;
    case LineStep::Dialling: {
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
    case LineStep::Answering:
        line.at->Send("ATA", m_timings.answerMs, done);
        return;
    case LineStep::HangupDtrCheck:
        // A carrier that was there and is gone: the modem let go of the call.
        if (line.athTries == 0 && line.watch.CarrierGone()) {
            FinishHangup(line);
            return;
        }
        [[fallthrough]];
    case LineStep::HangupCommand:
    case LineStep::HangupAth:
        if (line.athTries == 0) {
            // Whatever the call left in the tty (and an escape's OK) is not
            // an answer to the ATH0.
            line.at->CancelAll();
            line.device->DiscardInput();
            line.device->SetReadyNotify(true);
        }
        line.at->Send("ATH0",
                      line.step == LineStep::HangupDtrCheck ? m_timings.hangupCheckMs : m_timings.commandMs,
                      done);
        return;
    case LineStep::HangupDtrDown:
        line.dtrTried = true;
        if (!line.watch.Running())
            WatchCarrier(line);
        line.watch.Sample();
        if (!line.device->SetDtr(false)) {
            NextHangupMethod(line);
            return;
        }
        GoTo(line, LineStep::HangupDtrUp, m_timings.dtrDropMs);
        return;
    case LineStep::HangupDtrUp:
        line.device->SetDtr(true);
        GoTo(line, LineStep::HangupDtrCheck, m_timings.dtrSettleMs);
        return;
    case LineStep::HangupGuardBefore:
        // Nothing may go out within the guard time, and what the call still
        // had queued would break it.
        line.escapeTried = true;
        line.escapeAt = 0;
        line.at->CancelAll();
        line.device->DiscardOutput();
        line.device->SetReadyNotify(true);
        GoTo(line, LineStep::HangupEscape, m_timings.guardMs);
        return;
    case LineStep::HangupEscape:
        if (!line.device->Write("+++")) {
            if (line.device->HungUp())
                LineUnusable(line, QStringLiteral("The modem device %1 went away.").arg(line.config.device));
            else
                NextHangupMethod(line);
            return;
        }
        line.escapeAt = Clock::Instance().MonotonicMs();
        GoTo(line, LineStep::HangupEscapeWait, m_timings.guardMs + EscapeReplyMarginMs);
        return;
    case LineStep::HangupEscapeWait:
        // No OK to the escape: ask anyway, the OK may have been lost.
        GoTo(line, LineStep::HangupAth);
        return;
    case LineStep::Closed:
    case LineStep::Idle:
    case LineStep::Offering:
    case LineStep::Data:
    case LineStep::Ended:
    case LineStep::HangupFailed:
        return;
    }
}

void ModemProvider::CommandDone(Line& line, const AtReply& reply)
{
    if (reply.outcome == AtOutcome::Cancelled)
        return;
    if (reply.outcome == AtOutcome::WriteFailed && line.device->HungUp()) {
        LineUnusable(line, QStringLiteral("The modem device %1 went away.").arg(line.config.device));
        return;
    }
    const bool final = reply.outcome == AtOutcome::Final;
    const AtKind kind = final ? reply.final.kind : AtKind::Info;
    switch (line.step) {
    case LineStep::InitProbe:
    case LineStep::InitCommands:
        InitCommandDone(line, reply);
        return;
    case LineStep::HangupCommand:
    case LineStep::HangupDtrCheck:
    case LineStep::HangupAth:
        HangupCommandDone(line, reply);
        return;
    case LineStep::OffHook:
        if (final && kind == AtKind::Ok)
            ReportState(line, LINECALLSTATE_DIALTONE);
        else
            EndCall(line, LINEDISCONNECTMODE_UNAVAIL);
        return;
    case LineStep::Dialling:
    case LineStep::Answering:
        if (line.hangingUp) {
            // The dial or the answer was broken off for a drop; where it left
            // the modem decides how it is hung up. A CONNECT that crossed the
            // break means a modem online in a call.
            if (final && kind != AtKind::Connect)
                GoTo(line, LineStep::HangupCommand);
            else
                NextHangupMethod(line);
            return;
        }
        if (kind == AtKind::Connect ||
            (kind == AtKind::Ok && line.voice && line.step == LineStep::Dialling)) {
            line.rate = reply.final.rate;
            EnterData(line);
            return;
        }
        if (!final) {
            // The modem let the time limit pass: any character ends the
            // attempt, and its late result is discarded.
            line.device->Write("\r");
            EndCall(line, reply.outcome == AtOutcome::WriteFailed ? LINEDISCONNECTMODE_UNAVAIL
                                                                  : LINEDISCONNECTMODE_NOANSWER);
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
    default:
        return;
    }
}

void ModemProvider::InitCommandDone(Line& line, const AtReply& reply)
{
    const bool ok = reply.outcome == AtOutcome::Final && reply.final.kind == AtKind::Ok;
    const QString device = line.config.device;
    if (reply.outcome == AtOutcome::WriteFailed) {
        LineUnusable(line,
                     QStringLiteral("The modem on %1 does not take commands: its output is held (is the "
                                    "modem switched on, and is the flow control right?).")
                         .arg(device));
        return;
    }
    if (line.step == LineStep::InitProbe) {
        if (ok) {
            BringUp(line, false);
            return;
        }
        // A late OK to an earlier try is skipped by the sequencer, so that
        // each try gets its own answer.
        if (++line.probes < m_timings.probeTries) {
            Step(line);
            return;
        }
        LineUnusable(line,
                     reply.outcome == AtOutcome::Final
                         ? QStringLiteral("The modem on %1 answers AT with %2.").arg(device, ReplyText(reply))
                         : QStringLiteral("The modem on %1 does not answer AT (is it switched on and "
                                          "connected, and is the speed right?).")
                               .arg(device));
        return;
    }
    const InitStep& step = line.initSteps[line.initIndex];
    const QByteArray command = step.alternatives[line.initAlternative];
    if (ok) {
        if (step.callerId)
            line.callerId = Line::CallerId::On;
        ++line.initIndex;
        line.initAlternative = 0;
        Step(line);
        return;
    }
    if (line.initAlternative + 1 < step.alternatives.size()) {
        ++line.initAlternative;
        Step(line);
        return;
    }
    if (!step.optional) {
        LineUnusable(line, QStringLiteral("The modem on %1 refused %2 (%3).")
                               .arg(device, QString::fromLatin1(command), ReplyText(reply)));
        return;
    }
    line.refused << QStringLiteral("%1 (%2)").arg(QString::fromLatin1(command), ReplyText(reply));
    if (step.callerId)
        line.callerId = Line::CallerId::Off;
    ++line.initIndex;
    line.initAlternative = 0;
    Step(line);
}

void ModemProvider::InitDone(Line& line)
{
    if (std::none_of(line.initSteps.begin(), line.initSteps.end(),
                     [](const InitStep& s) { return s.callerId; }))
        line.callerId = Line::CallerId::Off;
    if (!line.refused.isEmpty())
        qInfo("modem line %d: the modem did without %s", line.index, qPrintable(line.refused.join(", ")));
    if (line.callerId == Line::CallerId::Off)
        qInfo("modem line %d: the modem reports no caller ID", line.index);
    line.step = LineStep::Idle;
    if (line.reinitWanted) {
        BringUp(line, false);
        return;
    }
    if (line.call != 0 && line.queued) {
        line.queued = false;
        StartCall(line);
    }
}

void ModemProvider::StartCall(Line& line)
{
    if (line.passthrough)
        EnterPassthrough(line);
    else
        GoTo(line, line.pickUp ? LineStep::OffHook : LineStep::Dialling);
}

void ModemProvider::EnterData(Line& line)
{
    line.step = LineStep::Data;
    if (line.voice) {
        // A voice call keeps the modem in its command phase: nothing to hand
        // over and no carrier to watch.
        ReportState(line, LINECALLSTATE_CONNECTED);
        return;
    }
    line.at->CancelAll();
    line.device->SetReadyNotify(false);
    ReportState(line, LINECALLSTATE_CONNECTED);
    WatchCarrier(line);
}

void ModemProvider::EnterPassthrough(Line& line)
{
    line.step = LineStep::Data;
    line.passthrough = true;
    line.voice = false;
    line.at->CancelAll();
    line.device->SetReadyNotify(false);
    ReportState(line, LINECALLSTATE_CONNECTED);
    WatchCarrier(line);
}

void ModemProvider::WatchCarrier(Line& line)
{
    Line* l = &line;
    line.watch.SetInterval(m_timings.carrierPollMs);
    line.watch.Start(*line.device, [this, l](CarrierWatch::Loss loss) {
        if (loss == CarrierWatch::Loss::DeviceHungUp) {
            LineUnusable(*l, QStringLiteral("The modem device %1 went away.").arg(l->config.device));
            return;
        }
        if (l->step == LineStep::Data) {
            EndCall(*l, LINEDISCONNECTMODE_NORMAL);
        } else if (l->step == LineStep::HangupFailed) {
            // The hang-up could not be confirmed, but now the carrier is gone.
            ReportState(*l, LINECALLSTATE_IDLE);
            ForgetCall(*l);
        }
        // During a hang-up the fall is looked at when its step needs it.
    });
}

void ModemProvider::EndCall(Line& line, DWORD disconnectMode)
{
    StopTimer(line);
    line.step = LineStep::Ended;
    ReportState(line, LINECALLSTATE_DISCONNECTED, disconnectMode);
}

void ModemProvider::StartHangup(Line& line, RequestId request)
{
    line.dropRequest = request;
    line.hangingUp = true;
    line.dtrTried = false;
    line.escapeTried = false;
    line.athTries = 0;
    if (line.deviceLost || !line.at) {
        FinishHangup(line);
        return;
    }
    line.failure.clear();
    if (line.queued) {
        FinishHangup(line); // nothing was dialled yet
        return;
    }
    switch (line.step) {
    case LineStep::Offering:
        // Still ringing: the modem never went off hook.
        line.ignoreRings = true;
        FinishHangup(line);
        return;
    case LineStep::Dialling:
    case LineStep::Answering:
        // Any character breaks off a dial or an answer; the modem then ends
        // the command, and CommandDone goes on from where it left the modem.
        if (!line.at->Interrupt("\r", m_timings.commandMs))
            NextHangupMethod(line);
        return;
    case LineStep::Data:
        if (line.voice && !line.passthrough) {
            GoTo(line, LineStep::HangupCommand);
            return;
        }
        // The rest of the call's data, both ways, goes with it.
        line.device->DiscardInput();
        line.device->DiscardOutput();
        line.device->SetReadyNotify(true);
        NextHangupMethod(line);
        return;
    case LineStep::HangupFailed:
        line.device->SetReadyNotify(true);
        NextHangupMethod(line);
        return;
    default:
        // In its command phase (a call that ended, a line off hook): ATH0,
        // and the rest only if it does not answer.
        GoTo(line, LineStep::HangupCommand);
        return;
    }
}

void ModemProvider::NextHangupMethod(Line& line)
{
    if (line.watch.CarrierGone()) {
        FinishHangup(line);
        return;
    }
    if (line.device->HasModemLines() && !line.dtrTried) {
        GoTo(line, LineStep::HangupDtrDown);
        return;
    }
    if (!line.escapeTried) {
        GoTo(line, LineStep::HangupGuardBefore);
        return;
    }
    FailHangup(line);
}

void ModemProvider::HangupCommandDone(Line& line, const AtReply& reply)
{
    const bool final = reply.outcome == AtOutcome::Final;
    if (final && reply.final.kind == AtKind::Ok) {
        FinishHangup(line);
        return;
    }
    // Another result is a modem in its command phase that met the ATH0
    // mid-line (after the "+++") or had a NO CARRIER of its own to say first.
    if (final && ++line.athTries < AthTries) {
        Step(line);
        return;
    }
    NextHangupMethod(line);
}

void ModemProvider::FinishHangup(Line& line)
{
    StopTimer(line);
    line.watch.Stop();
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
    TakeWaitingSettings(line);
}

void ModemProvider::FailHangup(Line& line)
{
    StopTimer(line);
    QStringList tried;
    if (line.dtrTried)
        tried << QStringLiteral("DTR dropped");
    if (line.escapeTried)
        tried << QStringLiteral("the escape sequence sent");
    tried << QStringLiteral("ATH0 not answered");
    line.failure = QStringLiteral("The modem on %1 did not confirm the hang-up (%2): it may still be online.")
                       .arg(line.config.device, tried.join(QStringLiteral(", ")));
    qWarning("modem line %d: %s", line.index, qPrintable(line.failure));
    const RequestId request = line.dropRequest;
    line.dropRequest = 0;
    line.hangingUp = false;
    line.step = LineStep::HangupFailed;
    if (request != 0 && m_events)
        m_events->CompleteRequest(request, LINEERR_OPERATIONFAILED);
    if (line.closing || line.silent) {
        // Nobody is left to try again: the line lets go of the call, and a
        // closed line of its tty, whose close drops DTR once more.
        const bool closing = line.closing;
        line.closing = false;
        ForgetCall(line);
        if (closing)
            CloseDeviceLater(line);
        else
            TakeWaitingSettings(line);
        return;
    }
    // The call stays; a carrier that falls, or a NO CARRIER from the modem,
    // ends it after all. Nothing is outstanding, so that NO CARRIER is not
    // taken for the late answer of the last ATH0.
    line.at->CancelAll();
    line.device->SetReadyNotify(true);
    if (line.device->HasModemLines() && !line.watch.Running())
        WatchCarrier(line);
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
    line.watch.Stop();
    line.call = 0;
    line.silent = false;
    line.hangingUp = false;
    line.dropRequest = 0;
    line.rings = 0;
    line.number.clear();
    line.caller = PartyInfo{};
    line.callerKnown = false;
    line.passthrough = false;
    line.pickUp = false;
    line.queued = false;
    line.voice = false;
    // A call placed while the modem came up leaves the bringing up going.
    if (line.step > LineStep::Idle) {
        StopTimer(line);
        line.step = LineStep::Idle;
    }
}

std::unique_ptr<Provider> MakeModemProvider(std::vector<ModemLineConfig> lines, LineSettingsFile file)
{
    return std::make_unique<ModemProvider>(std::move(lines), ModemProvider::DeviceFactory{}, std::move(file));
}

} // namespace qv::modem
