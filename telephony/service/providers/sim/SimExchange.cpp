#include "telephony/service/providers/sim/SimExchange.h"

#include "common/Clock.h"
#include "telephony/service/ModemConfig.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <utility>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tapi::sim {

namespace {

struct Failure
{
    QString function;
    LONG error = 0;
    QString text;
    bool once = true;
};

struct SimCall
{
    CallId id = 0;
    int line = 0;
    DWORD state = 0;
    CallInfoData info;
    QString dialled;
    QString generated;
    DWORD monitorDigits = 0;
    DWORD monitorMedia = 0;
    std::vector<LINEMONITORTONE> tones;
    // A consultation call: the call held pending its transfer, or the
    // conference it was set up for (0 once it has joined it).
    CallId transferOf = 0;
    CallId conferenceOf = 0;
    // A conference call set up from a call: that call.
    CallId conferencePrimary = 0;
    int providerFd = -1; // the application's side; it gets dup()s of it
    int peerFd = -1;     // the test's side
    std::unique_ptr<QSocketNotifier> peerNotifier;
    SimExchange::PeerScript script;
};

struct SimLine
{
    SimLineConfig config;
    LineDeviceInfo info;
    QByteArray devConfig;
    bool open = false;
    DWORD ringCount = 0;
    DWORD lineStates = 0;
    std::optional<devspecific::TerminalInfo> terminal;
};

struct SimPhone
{
    SimPhoneConfig config;
    PhoneStatusData status;
    bool open = false;
    DWORD phoneStates = 0;
};

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool IsWide(DWORD format)
{
    return format == STRINGFORMAT_UNICODE || format == STRINGFORMAT_DBCS;
}

} // namespace

struct SimExchange::Impl
{
    SimExchange* self = nullptr;
    ProviderEvents* events = nullptr;
    std::vector<SimLine> lines;
    std::vector<SimPhone> phones;
    std::map<CallId, std::unique_ptr<SimCall>> calls;
    std::vector<CallId> order; // calls in order of appearance
    std::map<QString, Reply> replies;
    std::map<QString, std::deque<Reply>> nextReplies;
    std::vector<Failure> failures;
    struct Held
    {
        RequestId id;
        std::function<void()> onSuccess;
    };
    std::vector<Held> held;
    // Late replies: the clock that runs each timer stops it, and only while
    // it is still the clock in force (a test's virtual clock takes its
    // timers with it when it goes).
    struct LateTimer
    {
        qv::Clock* clock;
        qv::TimerId id;
    };
    std::map<RequestId, LateTimer> timers;

    void StopTimer(const LateTimer& t)
    {
        if (&qv::Clock::Instance() == t.clock)
            t.clock->StopTimer(t.id);
    }
    std::vector<SimRequest> log;
    LONG dialogResult = 0;
    std::function<void(QByteArray&)> dialogEdit;

    SimCall* Find(CallId id)
    {
        auto it = calls.find(id);
        return it == calls.end() ? nullptr : it->second.get();
    }
    const SimCall* Find(CallId id) const
    {
        auto it = calls.find(id);
        return it == calls.end() ? nullptr : it->second.get();
    }

    SimCall& NewCall(CallId id, int line)
    {
        auto call = std::make_unique<SimCall>();
        call->id = id;
        call->line = line;
        call->info.callId = id;
        SimCall& ref = *call;
        calls[id] = std::move(call);
        order.push_back(id);
        return ref;
    }

    void Forget(CallId id)
    {
        auto it = calls.find(id);
        if (it == calls.end())
            return;
        CloseChannel(*it->second);
        calls.erase(it);
        order.erase(std::remove(order.begin(), order.end(), id), order.end());
    }

    void OpenChannel(SimCall& call)
    {
        if (call.providerFd >= 0)
            return;
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            return;
        call.providerFd = fds[0];
        call.peerFd = fds[1];
        ::fcntl(call.peerFd, F_SETFL, ::fcntl(call.peerFd, F_GETFL) | O_NONBLOCK);
        if (call.script)
            WatchPeer(call);
    }

    void CloseChannel(SimCall& call)
    {
        call.peerNotifier.reset();
        CloseFd(call.providerFd);
        CloseFd(call.peerFd);
    }

    void ClosePeer(SimCall& call)
    {
        call.peerNotifier.reset();
        CloseFd(call.peerFd);
    }

    void WatchPeer(SimCall& call)
    {
        if (call.peerFd < 0 || call.peerNotifier)
            return;
        call.peerNotifier = std::make_unique<QSocketNotifier>(call.peerFd, QSocketNotifier::Read);
        const CallId id = call.id;
        QObject::connect(call.peerNotifier.get(), &QSocketNotifier::activated, [this, id] {
            SimCall* c = Find(id);
            if (c == nullptr || c->peerFd < 0)
                return;
            const QByteArray data = self->ReadPeer(id);
            c = Find(id);
            if (c == nullptr)
                return;
            if (data.isEmpty()) {
                // End of file: the application closed its side for good.
                c->peerNotifier.reset();
                return;
            }
            if (c->script) {
                auto script = c->script;
                script(data, [this, id](QByteArray bytes) { self->WritePeer(id, bytes); });
            }
        });
    }

    // The natural states an exchange reports, in order.
    void Report(CallId id, DWORD state, DWORD detail = 0, DWORD media = 0)
    {
        self->SetCallState(id, state, detail, media);
    }

    // What the exchange does when a consultation call ends before it was
    // transferred or joined: the call held for it comes back, and a
    // conference that never got its third party falls apart.
    void ConsultationEnded(SimCall& consult)
    {
        const CallId held = std::exchange(consult.transferOf, 0);
        const CallId conf = std::exchange(consult.conferenceOf, 0);
        if (!lines[static_cast<std::size_t>(consult.line)].config.autoStates)
            return;
        if (const SimCall* primary = Find(held);
            primary && primary->state == LINECALLSTATE_ONHOLDPENDTRANSFER)
            Report(held, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
        if (const SimCall* c = Find(conf); c && c->state == LINECALLSTATE_ONHOLDPENDCONF) {
            const CallId primary = c->conferencePrimary;
            Report(conf, LINECALLSTATE_IDLE);
            if (const SimCall* p = Find(primary); p && p->state == LINECALLSTATE_CONFERENCED)
                Report(primary, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
        }
    }

    // A call handed on by the exchange leaves this line: it disconnects
    // normally, then goes idle.
    void HandOff(CallId id)
    {
        if (Find(id) == nullptr)
            return;
        Report(id, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
        Report(id, LINECALLSTATE_IDLE);
    }

    Reply TakeReply(const QString& function)
    {
        auto next = nextReplies.find(function);
        if (next != nextReplies.end() && !next->second.empty()) {
            Reply r = next->second.front();
            next->second.pop_front();
            return r;
        }
        auto it = replies.find(function);
        return it == replies.end() ? Reply::Success() : it->second;
    }

    void Finish(RequestId id, LONG result, const std::function<void()>& onSuccess)
    {
        if (events == nullptr)
            return;
        events->CompleteRequest(id, result);
        if (result == 0 && onSuccess)
            onSuccess();
    }

    // Accepts an asynchronous request and answers it as the test asked.
    LONG Issue(RequestId id, const QString& function, std::function<void()> onSuccess)
    {
        for (auto it = log.rbegin(); it != log.rend(); ++it) {
            if (it->function == function && it->request == 0) {
                it->request = id;
                break;
            }
        }
        const Reply reply = TakeReply(function);
        switch (reply.mode) {
        case Reply::Now:
            Finish(id, reply.result, onSuccess);
            break;
        case Reply::Late: {
            const qv::TimerId timer = qv::Clock::Instance().StartTimer(
                std::max(1, reply.delayMs), [this, id, result = reply.result, onSuccess] {
                    auto t = timers.find(id);
                    if (t != timers.end()) {
                        StopTimer(t->second);
                        timers.erase(t);
                    }
                    Finish(id, result, onSuccess);
                });
            timers[id] = LateTimer{&qv::Clock::Instance(), timer};
            break;
        }
        case Reply::Never:
            held.push_back({id, std::move(onSuccess)});
            break;
        }
        return 0;
    }

    void Progress(CallId id)
    {
        for (DWORD state : {LINECALLSTATE_DIALING, LINECALLSTATE_PROCEEDING, LINECALLSTATE_RINGBACK,
                            LINECALLSTATE_CONNECTED}) {
            if (Find(id) == nullptr)
                return;
            Report(id, state, state == LINECALLSTATE_CONNECTED ? LINECONNECTEDMODE_ACTIVE : 0);
        }
    }

    bool AutoStates(CallId id) const
    {
        const SimCall* c = Find(id);
        return c != nullptr && lines[static_cast<std::size_t>(c->line)].config.autoStates;
    }

    bool AutoProgress(CallId id) const
    {
        const SimCall* c = Find(id);
        return c != nullptr && lines[static_cast<std::size_t>(c->line)].config.autoProgress;
    }

    static LineDeviceInfo MakeInfo(const SimLineConfig& c, int index)
    {
        LineDeviceInfo info;
        info.providerInfo = c.providerInfo;
        info.lineName = c.name;
        info.permanentLineId = 0x51000000u + static_cast<DWORD>(index);
        info.stringFormat = c.stringFormat;
        info.numAddresses = static_cast<DWORD>(std::max<qsizetype>(1, c.addresses.size()));
        info.bearerModes = c.bearerModes;
        info.maxRate = c.maxRate;
        info.mediaModes = c.mediaModes;
        info.generateDigitModes = c.generateDigitModes;
        info.monitorDigitModes = c.monitorDigitModes;
        info.monitorToneMaxNumEntries = c.monitorToneMaxNumEntries;
        info.monitorToneMaxNumFreq = c.monitorToneMaxNumFreq;
        info.lineStates = c.lineStates;
        info.maxNumActiveCalls = 4;
        info.deviceClasses = {QStringLiteral("tapi/line")};
        if (c.dataModem)
            info.deviceClasses << QStringLiteral("comm/datamodem");
        if (c.waveIn >= 0)
            info.deviceClasses << QStringLiteral("wave/in");
        if (c.waveOut >= 0)
            info.deviceClasses << QStringLiteral("wave/out");
        if (c.phone >= 0)
            info.deviceClasses << QStringLiteral("tapi/phone");
        return info;
    }
};

SimExchange::SimExchange() : m(std::make_unique<Impl>())
{
    m->self = this;
}

SimExchange::~SimExchange()
{
    Detach();
}

// --- Devices ----------------------------------------------------------------------

int SimExchange::AddLine(const SimLineConfig& config)
{
    SimLine line;
    line.config = config;
    line.info = Impl::MakeInfo(config, static_cast<int>(m->lines.size()));
    line.devConfig = config.devConfig.isEmpty() ? modemcfg::DefaultBlock() : config.devConfig;
    m->lines.push_back(std::move(line));
    return static_cast<int>(m->lines.size()) - 1;
}

int SimExchange::AddPhone(const SimPhoneConfig& config)
{
    SimPhone phone;
    phone.config = config;
    phone.status.lampModes.assign(config.numLamps, PHONELAMPMODE_OFF);
    const int charBytes = IsWide(config.stringFormat) ? 2 : 1;
    QByteArray blank;
    for (DWORD i = 0; i < config.displayRows * config.displayColumns; ++i)
        blank += charBytes == 2 ? QByteArray(" \0", 2) : QByteArray(" ");
    phone.status.display = blank;
    m->phones.push_back(std::move(phone));
    return static_cast<int>(m->phones.size()) - 1;
}

SimLineConfig& SimExchange::LineConfig(int line)
{
    return m->lines.at(static_cast<std::size_t>(line)).config;
}

QString SimExchange::LineFailure(int line) const
{
    return line >= 0 && static_cast<std::size_t>(line) < m->lines.size()
               ? m->lines[static_cast<std::size_t>(line)].config.failure
               : QString();
}

LineDeviceInfo& SimExchange::Info(int line)
{
    return m->lines.at(static_cast<std::size_t>(line)).info;
}

bool SimExchange::IsLineOpen(int line) const
{
    return line >= 0 && static_cast<std::size_t>(line) < m->lines.size() &&
           m->lines[static_cast<std::size_t>(line)].open;
}

// --- Replies ------------------------------------------------------------------------

void SimExchange::SetReply(const QString& function, Reply reply)
{
    m->replies[function] = reply;
}

void SimExchange::SetNextReply(const QString& function, Reply reply)
{
    m->nextReplies[function].push_back(reply);
}

void SimExchange::FailNext(const QString& function, LONG error, const QString& text)
{
    m->failures.push_back({function, error, text, true});
}

void SimExchange::FailAlways(const QString& function, LONG error, const QString& text)
{
    auto& f = m->failures;
    f.erase(
        std::remove_if(f.begin(), f.end(),
                       [&](const Failure& x) { return !x.once && x.function == function && x.text == text; }),
        f.end());
    if (error != 0)
        f.push_back({function, error, text, false});
}

std::vector<RequestId> SimExchange::HeldRequests() const
{
    std::vector<RequestId> ids;
    for (const auto& h : m->held)
        ids.push_back(h.id);
    return ids;
}

bool SimExchange::Complete(RequestId request, LONG result)
{
    auto it =
        std::find_if(m->held.begin(), m->held.end(), [&](const Impl::Held& h) { return h.id == request; });
    if (it == m->held.end())
        return false;
    auto onSuccess = std::move(it->onSuccess);
    m->held.erase(it);
    m->Finish(request, result, onSuccess);
    return true;
}

// --- Calls ----------------------------------------------------------------------------

CallId SimExchange::OfferCall(int line, const SimOffer& offer)
{
    if (m->events == nullptr || !IsLineOpen(line))
        return 0;
    const CallId id = m->events->NewIncomingCall(this, line, offer.address);
    if (id == 0)
        return 0;
    SimCall& call = m->NewCall(id, line);
    call.info.addressId = offer.address;
    call.info.mediaMode = offer.mediaMode;
    call.info.bearerMode = offer.bearerMode;
    call.info.origin = LINECALLORIGIN_EXTERNAL;
    call.info.reason = LINECALLREASON_DIRECT;
    call.info.caller = offer.caller;
    call.info.called = offer.called;
    call.info.callStates = 0x0000FFFF;
    m->lines[static_cast<std::size_t>(line)].ringCount = 0;
    SetCallState(id, LINECALLSTATE_OFFERING, offer.offeringMode, offer.mediaMode);
    return id;
}

void SimExchange::Ring(int line, DWORD ringMode)
{
    if (m->events == nullptr || line < 0 || static_cast<std::size_t>(line) >= m->lines.size())
        return;
    SimLine& l = m->lines[static_cast<std::size_t>(line)];
    m->events->LineDevStateChanged(this, line, LINEDEVSTATE_RINGING, ringMode, l.ringCount++);
}

void SimExchange::SetCallState(CallId id, DWORD state, DWORD detail, DWORD mediaMode)
{
    SimCall* call = m->Find(id);
    if (call == nullptr)
        return;
    call->state = state;
    if (mediaMode != 0)
        call->info.mediaMode = mediaMode;
    if (state == LINECALLSTATE_CONNECTED)
        m->OpenChannel(*call);
    const bool consultationEnded =
        state == LINECALLSTATE_IDLE && (call->transferOf != 0 || call->conferenceOf != 0);
    if (state == LINECALLSTATE_IDLE) {
        // Monitoring ends with the call, and so does its data channel.
        m->CloseChannel(*call);
        call->monitorDigits = 0;
        call->monitorMedia = 0;
        call->tones.clear();
    }
    if (m->events != nullptr)
        m->events->CallStateChanged(id, state, detail, mediaMode);
    if (consultationEnded) {
        if (SimCall* ended = m->Find(id))
            m->ConsultationEnded(*ended);
    }
}

void SimExchange::RemoteHangup(CallId id, DWORD mode)
{
    SimCall* call = m->Find(id);
    if (call == nullptr)
        return;
    m->ClosePeer(*call);
    SetCallState(id, LINECALLSTATE_DISCONNECTED, mode);
}

void SimExchange::EditCallInfo(CallId id, const std::function<void(CallInfoData&)>& edit, DWORD states)
{
    SimCall* call = m->Find(id);
    if (call == nullptr)
        return;
    if (edit)
        edit(call->info);
    if (states != 0)
        RaiseCallInfo(id, states);
}

void SimExchange::SetCallerId(CallId id, const PartyInfo& party)
{
    EditCallInfo(
        id, [&](CallInfoData& info) { info.caller = party; }, LINECALLINFOSTATE_CALLERID);
}

void SimExchange::SetCalledId(CallId id, const PartyInfo& party)
{
    EditCallInfo(
        id, [&](CallInfoData& info) { info.called = party; }, LINECALLINFOSTATE_CALLEDID);
}

void SimExchange::SetLineTraits(CallId id, DWORD traits)
{
    if (m->events != nullptr && m->Find(id) != nullptr)
        m->events->CallDevSpecific(id, devspecific::LineTraitsCode, traits, 0);
}

std::optional<devspecific::TerminalInfo> SimExchange::TerminalInfo(int line) const
{
    if (line < 0 || line >= int(m->lines.size()))
        return std::nullopt;
    return m->lines[size_t(line)].terminal;
}

LONG SimExchange::DevSpecific(RequestId request, int line, DWORD, CallId, const QByteArray& params)
{
    auto info = devspecific::DecodeTerminalInfo(params);
    if (!info)
        return LINEERR_INVALPARAM;
    return m->Issue(request, QStringLiteral("lineDevSpecific"),
                    [this, line, info] { m->lines[size_t(line)].terminal = info; });
}

void SimExchange::RaiseCallInfo(CallId id, DWORD states)
{
    if (m->events != nullptr && m->Find(id) != nullptr)
        m->events->CallInfoChanged(id, states);
}

bool SimExchange::DetectDigit(CallId id, char digit, DWORD mode)
{
    SimCall* call = m->Find(id);
    if (call == nullptr || m->events == nullptr || (call->monitorDigits & mode) == 0)
        return false;
    m->events->DigitDetected(id, static_cast<unsigned char>(digit), mode);
    return true;
}

bool SimExchange::DetectMedia(CallId id, DWORD mediaMode)
{
    SimCall* call = m->Find(id);
    if (call == nullptr || m->events == nullptr || (call->monitorMedia & mediaMode) == 0)
        return false;
    m->events->MediaDetected(id, mediaMode);
    return true;
}

bool SimExchange::DetectTone(CallId id, DWORD appSpecific)
{
    SimCall* call = m->Find(id);
    if (call == nullptr || m->events == nullptr)
        return false;
    const bool watched = std::any_of(call->tones.begin(), call->tones.end(), [&](const LINEMONITORTONE& t) {
        return t.dwAppSpecific == appSpecific;
    });
    if (!watched)
        return false;
    m->events->ToneDetected(id, appSpecific);
    return true;
}

void SimExchange::ForceCloseLine(int line)
{
    if (!IsLineOpen(line))
        return;
    std::vector<CallId> gone;
    for (auto& [id, call] : m->calls)
        if (call->line == line)
            gone.push_back(id);
    for (CallId id : gone)
        m->Forget(id);
    m->lines[static_cast<std::size_t>(line)].open = false;
    if (m->events != nullptr)
        m->events->LineClosed(this, line);
}

std::vector<CallId> SimExchange::Calls(int line) const
{
    std::vector<CallId> out;
    for (CallId id : m->order)
        if (const SimCall* c = m->Find(id); c != nullptr && c->line == line)
            out.push_back(id);
    return out;
}

CallId SimExchange::LastCall() const
{
    return m->order.empty() ? 0 : m->order.back();
}

DWORD SimExchange::State(CallId id) const
{
    const SimCall* c = m->Find(id);
    return c ? c->state : 0;
}

CallInfoData SimExchange::CallInfo(CallId id) const
{
    const SimCall* c = m->Find(id);
    return c ? c->info : CallInfoData{};
}

QString SimExchange::DialledNumber(CallId id) const
{
    const SimCall* c = m->Find(id);
    return c ? c->dialled : QString();
}

DWORD SimExchange::MonitoredDigits(CallId id) const
{
    const SimCall* c = m->Find(id);
    return c ? c->monitorDigits : 0;
}

DWORD SimExchange::MonitoredMedia(CallId id) const
{
    const SimCall* c = m->Find(id);
    return c ? c->monitorMedia : 0;
}

std::vector<LINEMONITORTONE> SimExchange::MonitoredTones(CallId id) const
{
    const SimCall* c = m->Find(id);
    return c ? c->tones : std::vector<LINEMONITORTONE>{};
}

QString SimExchange::GeneratedDigits(CallId id) const
{
    const SimCall* c = m->Find(id);
    return c ? c->generated : QString();
}

// --- Data channel ------------------------------------------------------------------

bool SimExchange::HasDataChannel(CallId id) const
{
    const SimCall* c = m->Find(id);
    return c != nullptr && c->providerFd >= 0;
}

int SimExchange::PeerFd(CallId id) const
{
    const SimCall* c = m->Find(id);
    return c ? c->peerFd : -1;
}

bool SimExchange::WritePeer(CallId id, const QByteArray& bytes)
{
    SimCall* c = m->Find(id);
    if (c == nullptr || c->peerFd < 0)
        return false;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(c->peerFd, bytes.constData() + done,
                                 static_cast<size_t>(bytes.size() - done), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false; // a full socket buffer or a closed far end
        }
        done += n;
    }
    return true;
}

QByteArray SimExchange::ReadPeer(CallId id)
{
    SimCall* c = m->Find(id);
    if (c == nullptr || c->peerFd < 0)
        return {};
    QByteArray out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(c->peerFd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            out.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    return out;
}

void SimExchange::SetPeerScript(CallId id, PeerScript script)
{
    SimCall* c = m->Find(id);
    if (c == nullptr)
        return;
    c->script = std::move(script);
    c->peerNotifier.reset();
    if (c->script)
        m->WatchPeer(*c);
}

void SimExchange::SetPeerEcho(CallId id)
{
    SetPeerScript(id,
                  [](const QByteArray& data, const std::function<void(QByteArray)>& send) { send(data); });
}

// --- Phones -------------------------------------------------------------------------

PhoneStatusData& SimExchange::PhoneStatus(int phone)
{
    return m->phones.at(static_cast<std::size_t>(phone)).status;
}

static DWORD HookStateOf(DWORD dev)
{
    switch (dev) {
    case PHONEHOOKSWITCHDEV_HANDSET:
        return PHONESTATE_HANDSETHOOKSWITCH;
    case PHONEHOOKSWITCHDEV_SPEAKER:
        return PHONESTATE_SPEAKERHOOKSWITCH;
    case PHONEHOOKSWITCHDEV_HEADSET:
        return PHONESTATE_HEADSETHOOKSWITCH;
    default:
        return 0;
    }
}

void SimExchange::SetHookSwitch(int phone, DWORD devs, DWORD mode)
{
    PhoneStatusData& s = PhoneStatus(phone);
    DWORD states = 0;
    for (DWORD dev : {PHONEHOOKSWITCHDEV_HANDSET, PHONEHOOKSWITCHDEV_SPEAKER, PHONEHOOKSWITCHDEV_HEADSET}) {
        if ((devs & dev) == 0)
            continue;
        DWORD& field = dev == PHONEHOOKSWITCHDEV_HANDSET   ? s.handsetHookSwitchMode
                       : dev == PHONEHOOKSWITCHDEV_SPEAKER ? s.speakerHookSwitchMode
                                                           : s.headsetHookSwitchMode;
        field = mode;
        states |= HookStateOf(dev);
    }
    RaisePhoneState(phone, states, mode);
}

void SimExchange::RaisePhoneState(int phone, DWORD state, DWORD detail)
{
    if (m->events != nullptr && state != 0)
        m->events->PhoneStateChanged(this, phone, state, detail);
}

void SimExchange::ForceClosePhone(int phone)
{
    if (!IsPhoneOpen(phone))
        return;
    m->phones[static_cast<std::size_t>(phone)].open = false;
    if (m->events != nullptr)
        m->events->PhoneClosed(this, phone);
}

bool SimExchange::IsPhoneOpen(int phone) const
{
    return phone >= 0 && static_cast<std::size_t>(phone) < m->phones.size() &&
           m->phones[static_cast<std::size_t>(phone)].open;
}

// --- Configuration -----------------------------------------------------------------------

QByteArray SimExchange::DevConfig(int line) const
{
    return m->lines.at(static_cast<std::size_t>(line)).devConfig;
}

void SimExchange::SetDevConfig(int line, const QByteArray& config)
{
    m->lines.at(static_cast<std::size_t>(line)).devConfig = config;
}

void SimExchange::SetConfigDialog(LONG result, std::function<void(QByteArray&)> edit)
{
    m->dialogResult = result;
    m->dialogEdit = std::move(edit);
}

// --- The record -----------------------------------------------------------------------------

const std::vector<SimRequest>& SimExchange::Requests() const
{
    return m->log;
}

std::vector<SimRequest> SimExchange::RequestsOf(const QString& function) const
{
    std::vector<SimRequest> out;
    for (const SimRequest& r : m->log)
        if (r.function == function)
            out.push_back(r);
    return out;
}

int SimExchange::CountOf(const QString& function) const
{
    return static_cast<int>(RequestsOf(function).size());
}

void SimExchange::ClearRequests()
{
    m->log.clear();
}

// --- Provider ---------------------------------------------------------------------------------

QString SimExchange::Name() const
{
    return QStringLiteral("sim");
}

void SimExchange::Attach(ProviderEvents* events)
{
    m->events = events;
}

void SimExchange::Detach()
{
    for (auto& [id, timer] : m->timers)
        m->StopTimer(timer);
    m->timers.clear();
    m->held.clear();
    for (auto& [id, call] : m->calls)
        m->CloseChannel(*call);
    m->calls.clear();
    m->order.clear();
    for (SimLine& l : m->lines)
        l.open = false;
    for (SimPhone& p : m->phones)
        p.open = false;
    m->events = nullptr;
}

LONG SimExchange::Screen(const ApiRequest& request)
{
    SimRequest record;
    record.function = QString::fromLatin1(request.function);
    record.line = request.line;
    record.phone = request.phone;
    record.call = request.call;
    record.args = request.args;
    record.text = request.text;
    m->log.push_back(record);
    for (auto it = m->failures.begin(); it != m->failures.end(); ++it) {
        if (it->function != record.function || (!it->text.isEmpty() && it->text != record.text))
            continue;
        const LONG error = it->error;
        if (it->once)
            m->failures.erase(it);
        return error;
    }
    return 0;
}

int SimExchange::LineCount() const
{
    return static_cast<int>(m->lines.size());
}

LineDeviceInfo SimExchange::LineInfo(int line) const
{
    return m->lines.at(static_cast<std::size_t>(line)).info;
}

LONG SimExchange::GetAddressInfo(int line, DWORD addressId, AddressInfo& info) const
{
    const SimLine& l = m->lines.at(static_cast<std::size_t>(line));
    if (addressId >= l.info.numAddresses)
        return LINEERR_INVALADDRESSID;
    info = AddressInfo{};
    info.address = addressId < static_cast<DWORD>(l.config.addresses.size())
                       ? l.config.addresses[static_cast<qsizetype>(addressId)]
                       : QString();
    info.callerIDFlags = l.config.callerIDFlags;
    info.calledIDFlags = l.config.calledIDFlags;
    info.callInfoStates = 0x0FFFFFFF;
    info.callStates = 0x0000FFFF;
    info.disconnectModes = 0x000FFFFF;
    info.maxNumActiveCalls = 4;
    info.maxNumOnHoldCalls = 2;
    info.maxNumOnHoldPendingCalls = 1;
    info.maxNumConference = 3;
    info.maxNumTransConf = 3;
    info.transferModes = LINETRANSFERMODE_TRANSFER | LINETRANSFERMODE_CONFERENCE;
    info.callFeatures = 0x0FFFFFFF;
    info.availableMediaModes = l.config.mediaModes;
    return 0;
}

LONG SimExchange::OpenLine(int line)
{
    m->lines.at(static_cast<std::size_t>(line)).open = true;
    return 0;
}

void SimExchange::CloseLine(int line)
{
    std::vector<CallId> gone;
    for (auto& [id, call] : m->calls)
        if (call->line == line)
            gone.push_back(id);
    for (CallId id : gone)
        m->Forget(id);
    m->lines.at(static_cast<std::size_t>(line)).open = false;
}

void SimExchange::SetStatusMessages(int line, DWORD lineStates, DWORD)
{
    m->lines.at(static_cast<std::size_t>(line)).lineStates = lineStates;
}

LONG SimExchange::GetID(int line, DWORD, CallId callId, DWORD select, const QString& deviceClass,
                        DeviceIdData& out)
{
    const SimLineConfig& c = m->lines.at(static_cast<std::size_t>(line)).config;
    if (deviceClass == QLatin1String("comm/datamodem") && c.dataModem) {
        if (select == LINECALLSELECT_CALL) {
            const SimCall* call = m->Find(callId);
            if (call == nullptr || call->providerFd < 0)
                return LINEERR_INVALCALLSTATE; // no data channel before the call connects
            out.fd = call->providerFd;
            out.name = c.modemName;
            return 0;
        }
        out.id = c.modemId;
        return 0;
    }
    if (deviceClass == QLatin1String("wave/in") && c.waveIn >= 0) {
        out.id = static_cast<DWORD>(c.waveIn);
        return 0;
    }
    if (deviceClass == QLatin1String("wave/out") && c.waveOut >= 0) {
        out.id = static_cast<DWORD>(c.waveOut);
        return 0;
    }
    if (deviceClass == QLatin1String("tapi/phone") && c.phone >= 0 &&
        static_cast<std::size_t>(c.phone) < m->phones.size()) {
        out.id = static_cast<DWORD>(c.phone);
        return 0;
    }
    return LINEERR_INVALDEVICECLASS;
}

LONG SimExchange::GetDevConfig(int line, const QString& deviceClass, QByteArray& config)
{
    if (deviceClass != QLatin1String("comm/datamodem") ||
        !m->lines.at(static_cast<std::size_t>(line)).config.dataModem)
        return LINEERR_INVALDEVICECLASS;
    config = m->lines[static_cast<std::size_t>(line)].devConfig;
    return 0;
}

LONG SimExchange::SetDevConfig(int line, const QString& deviceClass, const QByteArray& config)
{
    if (deviceClass != QLatin1String("comm/datamodem") ||
        !m->lines.at(static_cast<std::size_t>(line)).config.dataModem)
        return LINEERR_INVALDEVICECLASS;
    m->lines[static_cast<std::size_t>(line)].devConfig = config;
    return 0;
}

LONG SimExchange::ConfigDialog(int line, HWND, const QString&)
{
    if (m->dialogResult == 0 && m->dialogEdit)
        m->dialogEdit(m->lines.at(static_cast<std::size_t>(line)).devConfig);
    return m->dialogResult;
}

LONG SimExchange::MakeCall(RequestId request, int line, CallId newCall, const QString& number,
                           DWORD countryCode, const CallParamsData& params)
{
    (void)countryCode;
    SimCall& call = m->NewCall(newCall, line);
    call.dialled = number;
    call.info.addressId = params.present ? params.addressId : 0;
    call.info.bearerMode = params.present ? params.bearerMode : LINEBEARERMODE_VOICE;
    call.info.mediaMode = params.present ? params.mediaMode : LINEMEDIAMODE_INTERACTIVEVOICE;
    call.info.rate = params.present ? params.maxRate : 0;
    call.info.dialParams = params.dialParams;
    call.info.callParamFlags = params.callParamFlags;
    call.info.origin = LINECALLORIGIN_OUTBOUND;
    call.info.reason = LINECALLREASON_DIRECT;
    call.info.callStates = 0x0000FFFF;
    call.info.called.flags = number.isEmpty() ? LINECALLPARTYID_UNKNOWN : LINECALLPARTYID_ADDRESS;
    call.info.called.number = number;
    const bool passthrough = params.present && params.bearerMode == LINEBEARERMODE_PASSTHROUGH;
    return m->Issue(request, QStringLiteral("lineMakeCall"), [this, newCall, number, passthrough] {
        if (m->Find(newCall) == nullptr)
            return;
        // A pass-through call is the modem itself: connected at once.
        if (passthrough && m->AutoStates(newCall)) {
            m->Report(newCall, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
            return;
        }
        if (!m->AutoProgress(newCall))
            return;
        m->Report(newCall, LINECALLSTATE_DIALTONE, LINEDIALTONEMODE_NORMAL);
        if (!number.isEmpty())
            m->Progress(newCall);
    });
}

LONG SimExchange::Dial(RequestId request, CallId callId, const QString& number, DWORD)
{
    SimCall* call = m->Find(callId);
    if (call == nullptr)
        return LINEERR_INVALCALLHANDLE;
    call->dialled += number;
    return m->Issue(request, QStringLiteral("lineDial"), [this, callId, number] {
        if (!number.isEmpty() && m->AutoProgress(callId))
            m->Progress(callId);
    });
}

LONG SimExchange::Answer(RequestId request, CallId callId, const QByteArray&)
{
    SimCall* call = m->Find(callId);
    if (call == nullptr)
        return LINEERR_INVALCALLHANDLE;
    if (call->state != LINECALLSTATE_OFFERING && call->state != LINECALLSTATE_ACCEPTED)
        return LINEERR_INVALCALLSTATE;
    return m->Issue(request, QStringLiteral("lineAnswer"), [this, callId] {
        if (m->AutoStates(callId))
            m->Report(callId, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
    });
}

LONG SimExchange::Drop(RequestId request, CallId callId, const QByteArray&)
{
    SimCall* call = m->Find(callId);
    if (call == nullptr)
        return LINEERR_INVALCALLHANDLE;
    if (call->state == LINECALLSTATE_IDLE)
        return LINEERR_INVALCALLSTATE;
    return m->Issue(request, QStringLiteral("lineDrop"), [this, callId] {
        if (m->AutoStates(callId))
            m->Report(callId, LINECALLSTATE_IDLE);
    });
}

LONG SimExchange::SetCallParams(RequestId request, CallId callId, DWORD bearerMode, DWORD minRate,
                                DWORD maxRate, const LINEDIALPARAMS* dialParams)
{
    SimCall* call = m->Find(callId);
    if (call == nullptr)
        return LINEERR_INVALCALLHANDLE;
    if (call->state == LINECALLSTATE_IDLE)
        return LINEERR_INVALCALLSTATE;
    const std::optional<LINEDIALPARAMS> dial =
        dialParams ? std::optional<LINEDIALPARAMS>(*dialParams) : std::nullopt;
    return m->Issue(
        request, QStringLiteral("lineSetCallParams"), [this, callId, bearerMode, minRate, maxRate, dial] {
            SimCall* c = m->Find(callId);
            if (c == nullptr)
                return;
            const bool answering = c->state == LINECALLSTATE_OFFERING || c->state == LINECALLSTATE_ACCEPTED;
            c->info.bearerMode = bearerMode;
            c->info.rate = maxRate != 0 ? maxRate : minRate;
            if (dial)
                c->info.dialParams = *dial;
            RaiseCallInfo(callId, LINECALLINFOSTATE_BEARERMODE | LINECALLINFOSTATE_RATE);
            // Switching an offered call to pass-through takes it: the modem is the
            // application's now, connected.
            if (answering && bearerMode == LINEBEARERMODE_PASSTHROUGH && m->AutoStates(callId))
                m->Report(callId, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
        });
}

LONG SimExchange::Hold(RequestId request, CallId callId)
{
    const SimCall* call = m->Find(callId);
    if (call == nullptr)
        return LINEERR_INVALCALLHANDLE;
    if (call->state != LINECALLSTATE_CONNECTED)
        return LINEERR_INVALCALLSTATE;
    return m->Issue(request, QStringLiteral("lineHold"), [this, callId] {
        if (m->AutoStates(callId))
            m->Report(callId, LINECALLSTATE_ONHOLD);
    });
}

LONG SimExchange::Unhold(RequestId request, CallId callId)
{
    const SimCall* call = m->Find(callId);
    if (call == nullptr)
        return LINEERR_INVALCALLHANDLE;
    if (call->state != LINECALLSTATE_ONHOLD)
        return LINEERR_INVALCALLSTATE;
    return m->Issue(request, QStringLiteral("lineUnhold"), [this, callId] {
        if (m->AutoStates(callId))
            m->Report(callId, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
    });
}

LONG SimExchange::BlindTransfer(RequestId request, CallId callId, const QString& number, DWORD)
{
    SimCall* call = m->Find(callId);
    if (call == nullptr)
        return LINEERR_INVALCALLHANDLE;
    if (number.isEmpty())
        return LINEERR_INVALADDRESS;
    if (call->state != LINECALLSTATE_CONNECTED && call->state != LINECALLSTATE_ONHOLD)
        return LINEERR_INVALCALLSTATE;
    return m->Issue(request, QStringLiteral("lineBlindTransfer"), [this, callId] {
        if (m->AutoStates(callId))
            m->HandOff(callId);
    });
}

LONG SimExchange::SetupTransfer(RequestId request, CallId callId, CallId consultCall, const CallParamsData&)
{
    SimCall* call = m->Find(callId);
    if (call == nullptr)
        return LINEERR_INVALCALLHANDLE;
    if (call->state != LINECALLSTATE_CONNECTED)
        return LINEERR_INVALCALLSTATE;
    SimCall& consult = m->NewCall(consultCall, call->line);
    consult.info.addressId = call->info.addressId;
    consult.info.origin = LINECALLORIGIN_OUTBOUND;
    consult.info.relatedCallId = callId;
    consult.transferOf = callId;
    return m->Issue(request, QStringLiteral("lineSetupTransfer"), [this, callId, consultCall] {
        if (!m->AutoStates(callId))
            return;
        m->Report(callId, LINECALLSTATE_ONHOLDPENDTRANSFER);
        m->Report(consultCall, LINECALLSTATE_DIALTONE, LINEDIALTONEMODE_NORMAL);
    });
}

LONG SimExchange::CompleteTransfer(RequestId request, CallId callId, CallId consultCall, CallId confCall,
                                   DWORD transferMode)
{
    SimCall* call = m->Find(callId);
    SimCall* consult = m->Find(consultCall);
    if (call == nullptr || consult == nullptr)
        return LINEERR_INVALCALLHANDLE;
    if (confCall != 0) {
        SimCall& conf = m->NewCall(confCall, call->line);
        conf.info.origin = LINECALLORIGIN_CONFERENCE;
    }
    return m->Issue(request, QStringLiteral("lineCompleteTransfer"),
                    [this, callId, consultCall, confCall, transferMode] {
                        if (!m->AutoStates(callId))
                            return;
                        if (SimCall* consult = m->Find(consultCall)) {
                            consult->transferOf = 0;
                            consult->conferenceOf = 0;
                        }
                        if (transferMode == LINETRANSFERMODE_TRANSFER) {
                            // The two parties now talk to each other, without us.
                            m->HandOff(consultCall);
                            m->HandOff(callId);
                            return;
                        }
                        m->Report(confCall, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
                        m->Report(callId, LINECALLSTATE_CONFERENCED, confCall);
                        m->Report(consultCall, LINECALLSTATE_CONFERENCED, confCall);
                    });
}

LONG SimExchange::SetupConference(RequestId request, CallId callId, int line, CallId confCall,
                                  CallId consultCall, DWORD, const CallParamsData&)
{
    if (callId != 0) {
        const SimCall* call = m->Find(callId);
        if (call == nullptr)
            return LINEERR_INVALCALLHANDLE;
        if (call->state != LINECALLSTATE_CONNECTED)
            return LINEERR_INVALCALLSTATE;
    }
    SimCall& conf = m->NewCall(confCall, line);
    conf.info.origin = LINECALLORIGIN_CONFERENCE;
    conf.conferencePrimary = callId;
    SimCall& consult = m->NewCall(consultCall, line);
    consult.info.origin = LINECALLORIGIN_OUTBOUND;
    consult.info.relatedCallId = confCall;
    consult.conferenceOf = confCall;
    return m->Issue(request, QStringLiteral("lineSetupConference"), [this, callId, confCall, consultCall] {
        if (!m->AutoStates(confCall))
            return;
        m->Report(confCall, LINECALLSTATE_ONHOLDPENDCONF);
        if (callId != 0)
            m->Report(callId, LINECALLSTATE_CONFERENCED, confCall);
        m->Report(consultCall, LINECALLSTATE_DIALTONE, LINEDIALTONEMODE_NORMAL);
    });
}

LONG SimExchange::AddToConference(RequestId request, CallId confCall, CallId consultCall)
{
    if (m->Find(confCall) == nullptr || m->Find(consultCall) == nullptr)
        return LINEERR_INVALCALLHANDLE;
    return m->Issue(request, QStringLiteral("lineAddToConference"), [this, confCall, consultCall] {
        if (SimCall* consult = m->Find(consultCall))
            consult->conferenceOf = 0;
        if (!m->AutoStates(confCall))
            return;
        m->Report(consultCall, LINECALLSTATE_CONFERENCED, confCall);
        m->Report(confCall, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
    });
}

LONG SimExchange::GetCallInfo(CallId callId, CallInfoData& info)
{
    const SimCall* call = m->Find(callId);
    if (call == nullptr)
        return LINEERR_INVALCALLHANDLE;
    info = call->info;
    info.monitorDigitModes = call->monitorDigits;
    info.monitorMediaModes = call->monitorMedia;
    return 0;
}

LONG SimExchange::MonitorDigits(CallId callId, DWORD digitModes)
{
    SimCall* call = m->Find(callId);
    if (call == nullptr)
        return LINEERR_INVALCALLHANDLE;
    call->monitorDigits = digitModes;
    return 0;
}

LONG SimExchange::MonitorMedia(CallId callId, DWORD mediaModes)
{
    SimCall* call = m->Find(callId);
    if (call == nullptr)
        return LINEERR_INVALCALLHANDLE;
    call->monitorMedia = mediaModes;
    return 0;
}

LONG SimExchange::MonitorTones(CallId callId, const std::vector<LINEMONITORTONE>& tones)
{
    SimCall* call = m->Find(callId);
    if (call == nullptr)
        return LINEERR_INVALCALLHANDLE;
    call->tones = tones;
    return 0;
}

LONG SimExchange::GenerateDigits(CallId callId, DWORD, const QString& digits, DWORD)
{
    SimCall* call = m->Find(callId);
    if (call == nullptr)
        return LINEERR_INVALCALLHANDLE;
    call->generated += digits;
    return 0;
}

void SimExchange::ReleaseCall(CallId callId)
{
    m->Forget(callId);
}

int SimExchange::PhoneCount() const
{
    return static_cast<int>(m->phones.size());
}

PhoneDeviceInfo SimExchange::PhoneInfo(int phone) const
{
    const SimPhoneConfig& c = m->phones.at(static_cast<std::size_t>(phone)).config;
    PhoneDeviceInfo info;
    info.providerInfo = QStringLiteral("Simulated exchange");
    info.phoneName = c.name;
    info.permanentPhoneId = 0x52000000u + static_cast<DWORD>(phone);
    info.stringFormat = c.stringFormat;
    info.phoneStates = c.phoneStates;
    info.hookSwitchDevs = c.hookSwitchDevs;
    info.handsetHookSwitchModes = c.handsetHookSwitchModes;
    info.speakerHookSwitchModes = c.speakerHookSwitchModes;
    info.headsetHookSwitchModes = c.headsetHookSwitchModes;
    info.volumeFlags = c.volumeFlags;
    info.gainFlags = c.gainFlags;
    info.displayNumRows = c.displayRows;
    info.displayNumColumns = c.displayColumns;
    info.numRingModes = c.numRingModes;
    info.numButtonLamps = c.numLamps;
    info.deviceClasses = {QStringLiteral("tapi/phone")};
    return info;
}

LONG SimExchange::OpenPhone(int phone)
{
    m->phones.at(static_cast<std::size_t>(phone)).open = true;
    return 0;
}

void SimExchange::ClosePhone(int phone)
{
    m->phones.at(static_cast<std::size_t>(phone)).open = false;
}

void SimExchange::SetPhoneStatusMessages(int phone, DWORD phoneStates)
{
    m->phones.at(static_cast<std::size_t>(phone)).phoneStates = phoneStates;
}

LONG SimExchange::GetPhoneStatus(int phone, PhoneStatusData& status)
{
    status = m->phones.at(static_cast<std::size_t>(phone)).status;
    return 0;
}

LONG SimExchange::SetHookSwitch(RequestId request, int phone, DWORD devs, DWORD mode)
{
    return m->Issue(request, QStringLiteral("phoneSetHookSwitch"),
                    [this, phone, devs, mode] { SetHookSwitch(phone, devs, mode); });
}

LONG SimExchange::SetRing(RequestId request, int phone, DWORD mode, DWORD volume)
{
    return m->Issue(request, QStringLiteral("phoneSetRing"), [this, phone, mode, volume] {
        PhoneStatusData& s = PhoneStatus(phone);
        s.ringMode = mode;
        s.ringVolume = volume;
        RaisePhoneState(phone, PHONESTATE_RINGMODE | PHONESTATE_RINGVOLUME);
    });
}

LONG SimExchange::SetLamp(RequestId request, int phone, DWORD lamp, DWORD mode)
{
    return m->Issue(request, QStringLiteral("phoneSetLamp"), [this, phone, lamp, mode] {
        PhoneStatusData& s = PhoneStatus(phone);
        if (lamp < s.lampModes.size())
            s.lampModes[lamp] = mode;
        RaisePhoneState(phone, PHONESTATE_LAMP, lamp);
    });
}

LONG SimExchange::SetDisplay(RequestId request, int phone, DWORD row, DWORD column, const QByteArray& text)
{
    return m->Issue(request, QStringLiteral("phoneSetDisplay"), [this, phone, row, column, text] {
        const SimPhoneConfig& c = m->phones.at(static_cast<std::size_t>(phone)).config;
        PhoneStatusData& s = PhoneStatus(phone);
        const qsizetype charBytes = IsWide(c.stringFormat) ? 2 : 1;
        const qsizetype at = static_cast<qsizetype>(row * c.displayColumns + column) * charBytes;
        // Text that runs past the last cell is cut off, as on the device.
        for (qsizetype i = 0; i < text.size() && at + i < s.display.size(); ++i)
            s.display[at + i] = text[i];
        RaisePhoneState(phone, PHONESTATE_DISPLAY);
    });
}

LONG SimExchange::SetVolume(RequestId request, int phone, DWORD dev, DWORD volume)
{
    return m->Issue(request, QStringLiteral("phoneSetVolume"), [this, phone, dev, volume] {
        PhoneStatusData& s = PhoneStatus(phone);
        DWORD state = 0;
        if (dev == PHONEHOOKSWITCHDEV_HANDSET) {
            s.handsetVolume = volume;
            state = PHONESTATE_HANDSETVOLUME;
        } else if (dev == PHONEHOOKSWITCHDEV_SPEAKER) {
            s.speakerVolume = volume;
            state = PHONESTATE_SPEAKERVOLUME;
        } else {
            s.headsetVolume = volume;
            state = PHONESTATE_HEADSETVOLUME;
        }
        RaisePhoneState(phone, state);
    });
}

LONG SimExchange::SetGain(RequestId request, int phone, DWORD dev, DWORD gain)
{
    return m->Issue(request, QStringLiteral("phoneSetGain"), [this, phone, dev, gain] {
        PhoneStatusData& s = PhoneStatus(phone);
        DWORD state = 0;
        if (dev == PHONEHOOKSWITCHDEV_HANDSET) {
            s.handsetGain = gain;
            state = PHONESTATE_HANDSETGAIN;
        } else if (dev == PHONEHOOKSWITCHDEV_SPEAKER) {
            s.speakerGain = gain;
            state = PHONESTATE_SPEAKERGAIN;
        } else {
            s.headsetGain = gain;
            state = PHONESTATE_HEADSETGAIN;
        }
        RaisePhoneState(phone, state);
    });
}

} // namespace tapi::sim
