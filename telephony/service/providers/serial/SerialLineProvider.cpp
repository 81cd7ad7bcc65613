#include "telephony/service/providers/serial/SerialLineProvider.h"

#include "common/Clock.h"
#include "telephony/service/providers/tty/CarrierWatch.h"

#include <QFileInfo>
#include <QtGlobal>

#include <optional>

namespace qv::serialline {

using namespace tapi;
using tty::CarrierWatch;
using tty::TtyDevice;

enum class SerialLineProvider::LineStep
{
    Closed,        // no tty
    Idle,          // open, no call
    Dialling,      // carrier = wait: waiting for the far end's DCD
    Offering,      // DCD came up; ringing until answered
    Connected,     // the tty belongs to the call
    Ended,         // the call ended on the far end's side; waiting for lineDrop
    HangupDtrDown, // DTR goes down and is held there
    HangupDtrUp,   // DTR back up for the next call; the hang-up is done
};

struct SerialLineProvider::Line
{
    int index = 0;
    SerialLineConfig config; // what the line runs with
    // Settings given while the tty was open; they take over when it closes.
    std::optional<SerialLineConfig> next;
    std::unique_ptr<TtyDevice> device;
    CarrierWatch watch;
    bool open = false;       // the service has the line open
    bool closing = false;    // closed by the application while a hang-up runs
    bool deviceLost = false; // the tty went away
    QString failure;         // why the last open or hang-up failed
    // carrier = wait: a DCD that comes up offers a call. Cleared once a DCD
    // has been taken (a call, a caller turned away), and set again only when
    // DCD has been seen down, so that a far end that keeps DCD up after a
    // call is not offered again and again.
    bool offerArmed = true;

    LineStep step = LineStep::Closed;
    TimerId stepTimer = 0;
    TimerId closeTimer = 0;
    TimerId settingsTimer = 0; // takes `next` once a hang-up the line was reopened in is done

    // The line's one call.
    CallId call = 0;
    bool silent = false; // the service has let go of the call: report nothing more
    bool outgoing = false;
    QString number;
    int rings = 0;
    bool hangingUp = false;
    RequestId dropRequest = 0;
    LineStep beforeHangup = LineStep::Idle; // where a failed hang-up leaves the call
};

namespace {

bool IsDataClass(const QString& deviceClass)
{
    return deviceClass.compare(QLatin1String("comm/datamodem"), Qt::CaseInsensitive) == 0 ||
           deviceClass.compare(QLatin1String("comm"), Qt::CaseInsensitive) == 0;
}

const QString kNoun = QStringLiteral("serial device");
const QString kNoDevice = QStringLiteral("No serial device is configured for the line.");

QString NoModemLinesText(const QString& path)
{
    return QStringLiteral("The serial device %1 has no modem-control lines, so the line cannot wait for "
                          "the far end's carrier: set carrier = ignore for it.")
        .arg(path);
}

// Two names of one device: /dev/serial/by-id/usb-... is a link to /dev/ttyUSB0.
bool SameDevice(const QString& a, const QString& b)
{
    if (a == b)
        return true;
    const QString real = QFileInfo(a).canonicalFilePath();
    return !real.isEmpty() && real == QFileInfo(b).canonicalFilePath();
}

} // namespace

SerialLineProvider::SerialLineProvider(std::vector<SerialLineConfig> lines, DeviceFactory factory,
                                       tapi::LineSettingsFile file)
    : m_factory(std::move(factory)), m_file(std::move(file))
{
    if (!m_factory)
        m_factory = [](int) { return tty::MakePosixTtyDevice(); };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto line = std::make_unique<Line>();
        line->index = int(i);
        line->config = std::move(lines[i]);
        m_lines.push_back(std::move(line));
    }
}

SerialLineProvider::~SerialLineProvider()
{
    Detach();
}

const SerialLineConfig& SerialLineProvider::LineConfig(int line) const
{
    const Line& l = *m_lines.at(std::size_t(line));
    return l.next ? *l.next : l.config;
}

LONG SerialLineProvider::SetLineConfig(int index, const SerialLineConfig& config)
{
    if (index < 0 || index >= LineCount())
        return LINEERR_BADDEVICEID;
    Line& line = *m_lines[std::size_t(index)];
    SerialLineConfig wanted = config;
    wanted.port.lockDir = line.config.port.lockDir;
    // What the operator accepted must still be there at the next start: it
    // is written first, and a line whose file cannot take it stays as it was.
    if (!m_file.Keep(index, QStringLiteral("serial"), SerialLineConfigKeys(wanted),
                     QStringLiteral("serial line %1").arg(index), line.failure))
        return LINEERR_OPERATIONFAILED;
    line.failure.clear();
    line.next.reset();
    // What the open does not depend on (the name, the dial time limit) is
    // taken at once; a tty that is open keeps its settings until it closes.
    const bool sameOpen = wanted.port == line.config.port && wanted.carrier == line.config.carrier;
    if (sameOpen || !line.device || !line.device->IsOpen())
        line.config = wanted;
    else
        line.next = wanted;
    return 0;
}

QString SerialLineProvider::CheckLineConfig(int index, const SerialLineConfig& config)
{
    if (index < 0 || index >= LineCount())
        return QStringLiteral("There is no serial line %1.").arg(index);
    Line& line = *m_lines[std::size_t(index)];
    const QString& path = config.port.device;
    if (path.isEmpty())
        return kNoDevice;
    const bool held = line.device && line.device->IsOpen();
    if (held && !line.deviceLost && SameDevice(line.config.port.device, path)) {
        // Opening it again would only find it taken, by this very line.
        if (config.carrier == CarrierMode::Wait && !line.device->HasModemLines())
            return NoModemLinesText(path);
        return {};
    }
    // The line's own device object is tried while it has no tty; beside a tty
    // the line holds, another one.
    std::unique_ptr<TtyDevice> other;
    if (held)
        other = m_factory(index);
    else if (!line.device)
        line.device = m_factory(index);
    TtyDevice* trial = held ? other.get() : line.device.get();
    if (!trial)
        return QStringLiteral("The serial device %1 could not be tried.").arg(path);
    tty::TtySettings port = config.port;
    port.lockDir = line.config.port.lockDir;
    const tty::OpenResult opened = trial->Open(port);
    const bool modemLines = opened.ok() && trial->HasModemLines();
    trial->Close();
    if (!opened.ok())
        return tty::OpenErrorText(opened, path, kNoun);
    if (config.carrier == CarrierMode::Wait && !modemLines)
        return NoModemLinesText(path);
    return {};
}

QString SerialLineProvider::LineFailure(int line) const
{
    if (line < 0 || line >= LineCount())
        return {};
    return m_lines[std::size_t(line)]->failure;
}

void SerialLineProvider::Attach(ProviderEvents* events)
{
    m_events = events;
}

void SerialLineProvider::Detach()
{
    m_events = nullptr;
    for (auto& line : m_lines) {
        // At once and without a word: DTR goes down and stays down with the
        // tty closed.
        if (line->device && line->device->IsOpen() && line->device->HasModemLines())
            line->device->SetDtr(false);
        ForgetCall(*line);
        line->open = false;
        line->closing = false;
        CloseDevice(*line);
    }
}

int SerialLineProvider::LineCount() const
{
    return int(m_lines.size());
}

LineDeviceInfo SerialLineProvider::LineInfo(int line) const
{
    const Line& l = *m_lines.at(std::size_t(line));
    LineDeviceInfo info;
    info.providerInfo = QStringLiteral("Direct serial line");
    info.switchInfo = l.config.port.device;
    info.lineName = l.config.name;
    info.permanentLineId = DWORD(0x53000000u | DWORD(line));
    info.maxRate = DWORD(l.config.port.speed);
    info.mediaModes = LINEMEDIAMODE_DATAMODEM;
    info.maxNumActiveCalls = 1;
    info.answerMode = LINEANSWERMODE_NONE;
    info.deviceClasses = {QStringLiteral("tapi/line"), QStringLiteral("comm"),
                          QStringLiteral("comm/datamodem")};
    return info;
}

LONG SerialLineProvider::GetAddressInfo(int line, DWORD addressId, AddressInfo& info) const
{
    if (line < 0 || line >= LineCount())
        return LINEERR_BADDEVICEID;
    if (addressId != 0)
        return LINEERR_INVALADDRESSID;
    const Line& l = *m_lines[std::size_t(line)];
    const bool waits = l.config.carrier == CarrierMode::Wait;
    info = AddressInfo{};
    info.address = l.config.port.device;
    info.callerIDFlags = LINECALLPARTYID_UNAVAIL;
    info.callStates = LINECALLSTATE_IDLE | LINECALLSTATE_CONNECTED | LINECALLSTATE_DISCONNECTED;
    if (waits)
        info.callStates |= LINECALLSTATE_OFFERING | LINECALLSTATE_DIALING | LINECALLSTATE_PROCEEDING;
    info.disconnectModes = LINEDISCONNECTMODE_NORMAL | (waits ? LINEDISCONNECTMODE_NOANSWER : 0);
    info.maxNumActiveCalls = 1;
    info.callFeatures = LINECALLFEATURE_DIAL | LINECALLFEATURE_DROP | LINECALLFEATURE_SETCALLPARAMS |
                        (waits ? LINECALLFEATURE_ANSWER : 0);
    info.availableMediaModes = LINEMEDIAMODE_DATAMODEM;
    return 0;
}

// --- Opening ---------------------------------------------------------------

LONG SerialLineProvider::OpenLine(int index)
{
    if (index < 0 || index >= LineCount())
        return LINEERR_BADDEVICEID;
    Line& line = *m_lines[std::size_t(index)];
    if (line.open)
        return 0;
    if (line.closing) {
        // Closed and opened again while the last call was still being hung
        // up: the tty is still ours, and the hang-up finishes as it would,
        // on the tty as it is. Settings given since are taken once it is done.
        line.closing = false;
        line.open = true;
        return 0;
    }
    if (line.closeTimer && !line.next && !line.deviceLost && line.device && line.device->IsOpen()) {
        // Closed a moment ago (the phone component's probe does that just
        // before its real open): the tty is as it was, DTR never dropped.
        // Settings given since then are not those the tty was opened with,
        // so they open it afresh below.
        Clock::Instance().StopTimer(line.closeTimer);
        line.closeTimer = 0;
        line.open = true;
        WatchIdle(line);
        return 0;
    }
    return OpenDevice(line);
}

// Opens the tty afresh with the line's settings (those given while it was
// open take over); on failure `failure` says why.
LONG SerialLineProvider::OpenDevice(Line& line)
{
    const int index = line.index;
    CloseDevice(line);
    if (!line.device)
        line.device = m_factory(index);
    line.failure.clear();
    line.deviceLost = false;
    const QString& path = line.config.port.device;
    if (path.isEmpty()) {
        line.failure = kNoDevice;
        return LINEERR_NODEVICE;
    }
    const tty::OpenResult opened = line.device->Open(line.config.port);
    if (!opened.ok()) {
        line.failure = tty::OpenErrorText(opened, path, kNoun);
        qWarning("serial line %d: %s", index, qPrintable(line.failure));
        return tty::OpenLineError(opened);
    }
    if (line.config.carrier == CarrierMode::Wait && !line.device->HasModemLines()) {
        line.device->Close();
        line.failure = NoModemLinesText(path);
        qWarning("serial line %d: %s", index, qPrintable(line.failure));
        return LINEERR_OPERATIONFAILED;
    }
    line.open = true;
    line.offerArmed = true;
    line.step = LineStep::Idle;
    WatchIdle(line);
    return 0;
}

void SerialLineProvider::CloseDevice(Line& line)
{
    StopStepTimer(line);
    line.watch.Stop();
    for (TimerId* t : {&line.closeTimer, &line.settingsTimer}) {
        if (*t) {
            Clock::Instance().StopTimer(*t);
            *t = 0;
        }
    }
    if (line.device)
        line.device->Close();
    line.step = LineStep::Closed;
    if (line.next) {
        line.config = std::move(*line.next);
        line.next.reset();
    }
}

// A close from inside a watch or a timer waits a turn, so that nothing is
// torn down under the handler that found the line finished; a line closed
// with nothing to hang up waits the linger time.
void SerialLineProvider::CloseDeviceLater(Line& line, int afterMs)
{
    line.watch.Stop();
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

void SerialLineProvider::CloseLine(int index)
{
    if (index < 0 || index >= LineCount())
        return;
    Line& line = *m_lines[std::size_t(index)];
    line.open = false;
    if (line.call == 0 || line.deviceLost || line.step == LineStep::Offering) {
        // Nobody decided on a call that was still ringing: a reopen offers it
        // again while DCD stays up.
        if (line.step == LineStep::Offering)
            line.offerArmed = true;
        ForgetCall(line);
        if (line.deviceLost)
            CloseDevice(line);
        else
            CloseDeviceLater(line, m_timings.lingerMs);
        return;
    }
    // The service has forgotten the call; the far end must still be told,
    // and the tty stays open until it has been.
    line.silent = true;
    line.dropRequest = 0;
    line.closing = true;
    if (!line.hangingUp)
        StartHangup(line, 0);
}

void SerialLineProvider::SetStatusMessages(int, DWORD, DWORD) {}

LONG SerialLineProvider::GetID(int index, DWORD, CallId call, DWORD select, const QString& deviceClass,
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
    if (line.step != LineStep::Connected && line.step != LineStep::Ended)
        return LINEERR_INVALCALLSTATE;
    out.fd = line.device->Fd();
    out.name = line.config.port.device;
    return 0;
}

LONG SerialLineProvider::GetDevConfig(int index, const QString&, QByteArray&)
{
    return index < 0 || index >= LineCount() ? LINEERR_BADDEVICEID : LINEERR_OPERATIONUNAVAIL;
}

LONG SerialLineProvider::SetDevConfig(int index, const QString&, const QByteArray&)
{
    return index < 0 || index >= LineCount() ? LINEERR_BADDEVICEID : LINEERR_OPERATIONUNAVAIL;
}

// --- Watching the line ----------------------------------------------------------

void SerialLineProvider::WatchIdle(Line& line)
{
    if (!line.open || line.call != 0 || line.deviceLost || !line.device || !line.device->IsOpen())
        return;
    Line* l = &line;
    auto lost = [this, l](CarrierWatch::Loss loss) {
        if (loss == CarrierWatch::Loss::DeviceHungUp) {
            DeviceGone(*l);
            return;
        }
        // The DCD of the last call or caller has fallen: the next rise is
        // a new caller.
        l->offerArmed = true;
        WatchIdle(*l);
    };
    if (line.config.carrier == CarrierMode::Ignore)
        line.watch.StartDeviceOnly(*line.device, lost);
    else if (line.offerArmed)
        line.watch.StartWaiting(
            *line.device, [this, l] { OfferCall(*l); }, lost);
    else
        line.watch.Start(*line.device, lost, true);
}

void SerialLineProvider::WatchCall(Line& line)
{
    if (line.deviceLost || !line.device || !line.device->IsOpen())
        return;
    Line* l = &line;
    auto lost = [this, l](CarrierWatch::Loss loss) {
        if (loss == CarrierWatch::Loss::DeviceHungUp)
            DeviceGone(*l);
        else if (l->step == LineStep::Connected)
            EndCall(*l, LINEDISCONNECTMODE_NORMAL);
    };
    // Once the call has ended, only the device itself is of interest.
    if (line.config.carrier == CarrierMode::Wait && line.step == LineStep::Connected)
        line.watch.Start(*line.device, lost, true);
    else
        line.watch.StartDeviceOnly(*line.device, lost);
}

void SerialLineProvider::OfferCall(Line& line)
{
    if (!line.open || line.call != 0 || line.step != LineStep::Idle)
        return;
    line.offerArmed = false;
    const CallId id = m_events ? m_events->NewIncomingCall(this, line.index, 0) : 0;
    if (id == 0) {
        // Nobody takes calls on the line: this caller is let go, and the line
        // waits for its DCD to fall.
        WatchIdle(line);
        return;
    }
    line.call = id;
    line.silent = false;
    line.outgoing = false;
    line.number.clear();
    line.rings = 0;
    GoTo(line, LineStep::Offering);
}

void SerialLineProvider::DeviceGone(Line& line)
{
    if (line.deviceLost)
        return;
    line.deviceLost = true;
    line.failure = QStringLiteral("The serial device %1 went away.").arg(line.config.port.device);
    line.watch.Stop();
    qWarning("serial line %d: %s", line.index, qPrintable(line.failure));
    if (line.call != 0 && line.step == LineStep::Offering) {
        ReportState(line, LINECALLSTATE_IDLE);
        ForgetCall(line);
    }
    if (line.call != 0 && !line.hangingUp) {
        if (line.step != LineStep::Ended)
            EndCall(line, LINEDISCONNECTMODE_NORMAL);
        return; // the line goes when the call is dropped
    }
    if (line.hangingUp) {
        FinishHangup(line); // nothing is left to drop
        return;
    }
    const bool wasOpen = line.open;
    line.open = false;
    line.closing = false;
    CloseDeviceLater(line, 0);
    if (wasOpen && m_events)
        m_events->LineClosed(this, line.index);
}

// --- Calls --------------------------------------------------------------------

SerialLineProvider::Line* SerialLineProvider::LineOf(CallId call) const
{
    if (call == 0)
        return nullptr;
    for (const auto& line : m_lines)
        if (line->call == call)
            return line.get();
    return nullptr;
}

LONG SerialLineProvider::MakeCall(RequestId request, int index, CallId newCall, const QString& number, DWORD,
                                  const CallParamsData&)
{
    if (index < 0 || index >= LineCount())
        return LINEERR_BADDEVICEID;
    Line& line = *m_lines[std::size_t(index)];
    if (!line.open || line.deviceLost)
        return LINEERR_OPERATIONFAILED;
    if (line.call != 0 || line.step != LineStep::Idle)
        return LINEERR_CALLUNAVAIL;
    line.call = newCall;
    line.silent = false;
    line.outgoing = true;
    line.number = number;
    line.rings = 0;
    if (m_events)
        m_events->CompleteRequest(request, 0);
    // The far end is there already: a line that ignores DCD, or a DCD that
    // is up now.
    const bool up = line.config.carrier == CarrierMode::Ignore || line.device->Carrier();
    GoTo(line, up ? LineStep::Connected : LineStep::Dialling);
    return 0;
}

LONG SerialLineProvider::Dial(RequestId request, CallId call, const QString&, DWORD)
{
    Line* line = LineOf(call);
    if (!line)
        return LINEERR_INVALCALLHANDLE;
    if (!line->outgoing || line->hangingUp ||
        (line->step != LineStep::Dialling && line->step != LineStep::Connected))
        return LINEERR_INVALCALLSTATE;
    if (m_events)
        m_events->CompleteRequest(request, 0);
    return 0;
}

LONG SerialLineProvider::Answer(RequestId request, CallId call, const QByteArray&)
{
    Line* line = LineOf(call);
    if (!line)
        return LINEERR_INVALCALLHANDLE;
    if (line->step != LineStep::Offering || line->deviceLost)
        return LINEERR_INVALCALLSTATE;
    if (m_events)
        m_events->CompleteRequest(request, 0);
    GoTo(*line, LineStep::Connected);
    return 0;
}

LONG SerialLineProvider::Drop(RequestId request, CallId call, const QByteArray&)
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

LONG SerialLineProvider::SetCallParams(RequestId request, CallId call, DWORD, DWORD, DWORD,
                                       const LINEDIALPARAMS*)
{
    Line* line = LineOf(call);
    if (!line)
        return LINEERR_INVALCALLHANDLE;
    // A connected call carries raw bytes whatever bearer mode the
    // application names, so a switch of the data channel has nothing to do.
    if (line->step != LineStep::Connected)
        return LINEERR_INVALCALLSTATE;
    if (m_events)
        m_events->CompleteRequest(request, 0);
    return 0;
}

LONG SerialLineProvider::GetCallInfo(CallId call, CallInfoData& info)
{
    const Line* line = LineOf(call);
    if (!line)
        return LINEERR_INVALCALLHANDLE;
    info = CallInfoData{};
    info.bearerMode = LINEBEARERMODE_DATA;
    info.mediaMode = LINEMEDIAMODE_DATAMODEM;
    info.rate = DWORD(line->config.port.speed);
    info.callId = call;
    info.callStates = LINECALLSTATE_IDLE | LINECALLSTATE_OFFERING | LINECALLSTATE_DIALING |
                      LINECALLSTATE_PROCEEDING | LINECALLSTATE_CONNECTED | LINECALLSTATE_DISCONNECTED;
    info.origin = line->outgoing ? LINECALLORIGIN_OUTBOUND : LINECALLORIGIN_INBOUND;
    info.reason = LINECALLREASON_DIRECT;
    info.caller.flags = LINECALLPARTYID_UNAVAIL;
    if (line->outgoing && !line->number.isEmpty()) {
        info.called.flags = LINECALLPARTYID_ADDRESS;
        info.called.number = line->number;
        info.displayableAddress = line->number;
    }
    return 0;
}

LONG SerialLineProvider::MonitorDigits(CallId call, DWORD digitModes)
{
    if (!LineOf(call))
        return LINEERR_INVALCALLHANDLE;
    // A direct line hears no digits; asking for none is fine.
    return digitModes == 0 ? 0 : LINEERR_INVALDIGITMODE;
}

LONG SerialLineProvider::MonitorMedia(CallId call, DWORD mediaModes)
{
    if (!LineOf(call))
        return LINEERR_INVALCALLHANDLE;
    return mediaModes == 0 ? 0 : LINEERR_INVALMEDIAMODE;
}

void SerialLineProvider::ReleaseCall(CallId call)
{
    Line* line = LineOf(call);
    if (!line)
        return;
    line->silent = true;
    if (!line->hangingUp)
        StartHangup(*line, 0);
}

// --- Steps ----------------------------------------------------------------------

void SerialLineProvider::StopStepTimer(Line& line)
{
    if (line.stepTimer) {
        Clock::Instance().StopTimer(line.stepTimer);
        line.stepTimer = 0;
    }
}

void SerialLineProvider::StartStepTimer(Line& line, int ms, std::function<void(Line&)> then)
{
    StopStepTimer(line);
    Line* l = &line;
    line.stepTimer = Clock::Instance().StartTimer(ms, [l, then = std::move(then)] { then(*l); });
}

void SerialLineProvider::GoTo(Line& line, LineStep step, int afterMs)
{
    StopStepTimer(line);
    line.step = step;
    if (afterMs < 0) {
        Step(line);
        return;
    }
    StartStepTimer(line, afterMs, [this](Line& l) {
        StopStepTimer(l);
        Step(l);
    });
}

void SerialLineProvider::Step(Line& line)
{
    Line* l = &line;
    auto deviceLost = [this, l](CarrierWatch::Loss loss) {
        if (loss == CarrierWatch::Loss::DeviceHungUp)
            DeviceGone(*l);
    };
    switch (line.step) {
    case LineStep::Dialling:
        ReportState(line, LINECALLSTATE_DIALING);
        ReportState(line, LINECALLSTATE_PROCEEDING);
        line.watch.StartWaiting(
            *line.device,
            [this, l] {
                if (l->step == LineStep::Dialling)
                    GoTo(*l, LineStep::Connected);
            },
            deviceLost);
        StartStepTimer(line, line.config.dialTimeoutSeconds * 1000, [this](Line& dialled) {
            // The far end never raised DCD.
            if (dialled.step == LineStep::Dialling)
                EndCall(dialled, LINEDISCONNECTMODE_NOANSWER);
        });
        return;
    case LineStep::Offering:
        ReportState(line, LINECALLSTATE_OFFERING, LINEOFFERINGMODE_ACTIVE);
        // The caller gives up by letting DCD fall.
        line.watch.Start(
            *line.device,
            [this, l](CarrierWatch::Loss loss) {
                if (loss == CarrierWatch::Loss::DeviceHungUp) {
                    DeviceGone(*l);
                    return;
                }
                if (l->step != LineStep::Offering)
                    return;
                ReportState(*l, LINECALLSTATE_IDLE);
                ForgetCall(*l);
                l->offerArmed = true;
                WatchIdle(*l);
            },
            true);
        Ring(line);
        StartStepTimer(line, m_timings.ringMs, [this](Line& ringing) { Ring(ringing); });
        return;
    case LineStep::Connected:
        ReportState(line, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
        WatchCall(line);
        return;
    case LineStep::HangupDtrDown:
        if (!line.device->SetDtr(false)) {
            FailHangup(line, QStringLiteral("The system would not drop DTR on the serial device %1, so the "
                                            "far end was not told of the hang-up.")
                                 .arg(line.config.port.device));
            return;
        }
        GoTo(line, LineStep::HangupDtrUp, m_timings.dtrDropMs);
        return;
    case LineStep::HangupDtrUp:
        if (line.config.carrier == CarrierMode::Wait && line.device->Carrier()) {
            // The far end did not let go; its DCD is not a new caller.
            qInfo("serial line %d: the far end keeps DCD up after the hang-up", line.index);
            line.offerArmed = false;
        }
        // A closing line leaves DTR down with the tty closed.
        if (!line.closing && !line.device->SetDtr(true))
            qWarning("serial line %d: DTR could not be raised again after the hang-up", line.index);
        FinishHangup(line);
        return;
    case LineStep::Closed:
    case LineStep::Idle:
    case LineStep::Ended:
        return;
    }
}

void SerialLineProvider::Ring(Line& line)
{
    if (line.step != LineStep::Offering || line.silent || !m_events)
        return;
    ++line.rings;
    m_events->LineDevStateChanged(this, line.index, LINEDEVSTATE_RINGING, 1, DWORD(line.rings));
}

void SerialLineProvider::EndCall(Line& line, DWORD disconnectMode)
{
    StopStepTimer(line);
    line.watch.Stop();
    line.step = LineStep::Ended;
    ReportState(line, LINECALLSTATE_DISCONNECTED, disconnectMode);
    WatchCall(line);
}

void SerialLineProvider::StartHangup(Line& line, RequestId request)
{
    line.dropRequest = request;
    line.hangingUp = true;
    line.beforeHangup = line.step;
    StopStepTimer(line);
    line.watch.Stop();
    // A caller turned away: its DCD, still up, is not a new one.
    if (line.step == LineStep::Offering)
        line.offerArmed = false;
    if (line.deviceLost || !line.device || !line.device->IsOpen()) {
        FinishHangup(line); // nothing is left to drop; the account of why stays
        return;
    }
    line.failure.clear();
    if (!line.device->HasModemLines()) {
        // A three-wire cable (or a pty): there is no DTR to tell the far end
        // with, and the call ends on this side alone.
        qInfo("serial line %d: %s has no DTR; the call ends on this side", line.index,
              qPrintable(line.config.port.device));
        FinishHangup(line);
        return;
    }
    GoTo(line, LineStep::HangupDtrDown);
}

void SerialLineProvider::FinishHangup(Line& line)
{
    StopStepTimer(line);
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
        CloseDeviceLater(line, 0);
        if (wasOpen && m_events)
            m_events->LineClosed(this, line.index);
        return;
    }
    if (line.closing) {
        line.closing = false;
        CloseDeviceLater(line, 0);
        return;
    }
    WatchIdle(line);
    TakeWaitingSettings(line);
}

// Settings given while a hang-up ran on a line that was reopened meanwhile:
// once it is idle the tty is opened afresh with them. This runs a turn after
// the hang-up, whose end a watch may be reporting; a call placed in the
// meantime keeps them waiting for its own hang-up.
void SerialLineProvider::TakeWaitingSettings(Line& line)
{
    if (!line.next || line.settingsTimer)
        return;
    Line* l = &line;
    line.settingsTimer = Clock::Instance().StartTimer(0, [this, l] {
        Clock::Instance().StopTimer(l->settingsTimer);
        l->settingsTimer = 0;
        if (!l->next || !l->open || l->deviceLost || l->call != 0 || l->step != LineStep::Idle)
            return;
        if (OpenDevice(*l) != 0) {
            l->open = false;
            if (m_events)
                m_events->LineClosed(this, l->index);
        }
    });
}

void SerialLineProvider::FailHangup(Line& line, const QString& reason)
{
    StopStepTimer(line);
    line.failure = reason;
    qWarning("serial line %d: %s", line.index, qPrintable(reason));
    const RequestId request = line.dropRequest;
    line.dropRequest = 0;
    line.hangingUp = false;
    if (request != 0 && m_events)
        m_events->CompleteRequest(request, LINEERR_OPERATIONFAILED);
    if (line.closing || line.silent) {
        // Nobody is left to try again: the line lets go of the call, and a
        // closed line of its tty.
        const bool closing = line.closing;
        line.closing = false;
        ForgetCall(line);
        if (closing) {
            CloseDeviceLater(line, 0);
        } else {
            WatchIdle(line);
            TakeWaitingSettings(line);
        }
        return;
    }
    // The call stays as it was, for a later drop to try again.
    const LineStep was = line.beforeHangup;
    line.step = was == LineStep::Offering || was == LineStep::Dialling ? LineStep::Ended : was;
    WatchCall(line);
}

void SerialLineProvider::ReportState(Line& line, DWORD state, DWORD detail)
{
    if (line.call == 0 || line.silent || !m_events)
        return;
    m_events->CallStateChanged(line.call, state, detail, LINEMEDIAMODE_DATAMODEM);
}

void SerialLineProvider::ForgetCall(Line& line)
{
    StopStepTimer(line);
    line.watch.Stop();
    line.call = 0;
    line.silent = false;
    line.outgoing = false;
    line.hangingUp = false;
    line.dropRequest = 0;
    line.rings = 0;
    line.number.clear();
    if (line.step != LineStep::Closed)
        line.step = LineStep::Idle;
}

} // namespace qv::serialline
