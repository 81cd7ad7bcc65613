#include "telephony/service/providers/tcp/TcpProvider.h"

#include "common/Clock.h"
#include "telephony/service/LineExtensions.h"
#include "telephony/service/providers/tcp/TcpNumber.h"
#include "telephony/service/providers/tcp/TcpSocket.h"
#include "telephony/service/config/TelephonyConfig.h"
#include "telephony/service/providers/tcp/TelnetRelay.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QtDebug>

namespace qv::tcp {

using namespace tapi;
using net::NetError;

namespace {

constexpr int ListenBacklog = 8;
constexpr int DrainPollMs = 50;
// After running out of descriptors the listener rests, rather than spin on a
// connection it cannot take.
constexpr int AcceptRetryMs = 1000;
constexpr DWORD ConnectedRate = 115200;
constexpr DWORD CallStates = LINECALLSTATE_IDLE | LINECALLSTATE_OFFERING | LINECALLSTATE_DIALTONE |
                             LINECALLSTATE_DIALING | LINECALLSTATE_PROCEEDING | LINECALLSTATE_RINGBACK |
                             LINECALLSTATE_CONNECTED | LINECALLSTATE_DISCONNECTED;
constexpr DWORD DisconnectModes = LINEDISCONNECTMODE_NORMAL | LINEDISCONNECTMODE_BUSY |
                                  LINEDISCONNECTMODE_NOANSWER | LINEDISCONNECTMODE_UNREACHABLE |
                                  LINEDISCONNECTMODE_REJECT;

enum class CallStep
{
    DialTone,     // taken off hook without a number; lineDial gives one
    Resolve,      // looking the host name up
    Connect,      // connecting to addresses[nextAddress]
    Settle,       // connected; a peer that hangs up at once is busy
    RingBack,     // connected to another copy of this program, which rings
    Offering,     // incoming, ringing
    Connected,    // carrying data
    Disconnected, // ended, waiting for lineDrop
    Idle
};

const char* ErrorText(NetError e)
{
    switch (e) {
    case NetError::AddressInUse:
        return "the address is already in use";
    case NetError::AddressNotLocal:
        return "the address is not one of this host's";
    case NetError::PermissionDenied:
        return "permission denied";
    case NetError::NoResources:
        return "out of descriptors or memory";
    default:
        return "socket failure";
    }
}

DWORD DisconnectModeOf(NetError e)
{
    switch (e) {
    case NetError::TimedOut:
        return LINEDISCONNECTMODE_NOANSWER;
    case NetError::Refused:
        return LINEDISCONNECTMODE_REJECT;
    default:
        return LINEDISCONNECTMODE_UNREACHABLE;
    }
}

void StopTimer(TimerId& id)
{
    if (id) {
        Clock::Instance().StopTimer(id);
        id = 0;
    }
}

QString EndpointText(const QHostAddress& address, std::uint16_t port)
{
    if (address.protocol() == QAbstractSocket::IPv6Protocol)
        return QStringLiteral("[%1]:%2").arg(address.toString()).arg(port);
    return QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

} // namespace

struct TcpProvider::Line
{
    TcpLineConfig config;
    // What the application last told of its terminal, for telnet's TTYPE
    // and NAWS; nothing while it has told nothing.
    std::optional<devspecific::TerminalInfo> terminal;
    QByteArray block; // the last configuration block set, for the fields we keep
    QString failure;  // why the last open or change of settings failed
    bool open = false;
    int listenFd = -1;
    std::unique_ptr<QSocketNotifier> listenNotifier;
    TimerId acceptRetry = 0;
};

struct TcpProvider::Call
{
    CallId id = 0;
    int line = 0;
    bool outbound = false;
    CallStep step = CallStep::Idle;

    // Outgoing
    QString number;
    TcpTarget target;
    QList<QHostAddress> addresses;
    int nextAddress = 0;
    DWORD failMode = LINEDISCONNECTMODE_UNREACHABLE;
    std::int64_t deadlineMs = 0; // the time limit of setting the call up
    bool proceedingReported = false;
    bool fromDialTone = false;    // lineDial on a call taken off hook
    RequestId pendingRequest = 0; // answered once the host name is known
    int noAnswerSeconds = 0;
    std::unique_ptr<QObject> lookupContext;
    int lookupId = -1;
    std::unique_ptr<QSocketNotifier> connectNotifier;

    // The connection
    int fd = -1;
    QString peer; // the peer's address: caller ID, or what we connected to
    std::unique_ptr<net::PeerWatcher> watcher;
    std::unique_ptr<TelnetRelay> relay;
    bool peerEnded = false;
    std::int64_t drainDeadline = 0;

    TimerId limitTimer = 0;
    TimerId attemptTimer = 0; // one address's share of the time limit
    TimerId settleTimer = 0;
    TimerId ringTimer = 0;
    TimerId drainTimer = 0;
    DWORD rings = 0;

    DWORD bearerMode = LINEBEARERMODE_VOICE;
    DWORD mediaMode = LINEMEDIAMODE_DATAMODEM;
    DWORD reportedTraits = 0; // as the applications last heard them
};

TcpProvider::TcpProvider(std::vector<TcpLineConfig> lines, QMap<QString, QString> phonebook, ConfigFile file)
    : m_phonebook(std::move(phonebook)), m_file(std::move(file))
{
    for (auto& config : lines) {
        auto line = std::make_unique<Line>();
        line->config = std::move(config);
        m_lines.push_back(std::move(line));
    }
}

TcpProvider::~TcpProvider()
{
    Detach();
}

std::uint16_t TcpProvider::ListeningPort(int line) const
{
    if (line < 0 || line >= LineCount() || m_lines[size_t(line)]->listenFd < 0)
        return 0;
    return net::LocalPort(m_lines[size_t(line)]->listenFd);
}

const TcpLineConfig& TcpProvider::LineConfig(int line) const
{
    return m_lines.at(size_t(line))->config;
}

const TelnetCodec* TcpProvider::TelnetOf(CallId id) const
{
    const Call* call = FindCall(id);
    return call && call->relay ? &call->relay->Codec() : nullptr;
}

void TcpProvider::Attach(ProviderEvents* events)
{
    m_events = events;
}

void TcpProvider::Detach()
{
    for (int i = 0; i < LineCount(); ++i)
        CloseLine(i);
    for (auto& [id, call] : m_calls)
        Teardown(*call);
    m_calls.clear();
    m_events = nullptr;
}

// --- Lines -------------------------------------------------------------------

int TcpProvider::LineCount() const
{
    return int(m_lines.size());
}

LineDeviceInfo TcpProvider::LineInfo(int line) const
{
    LineDeviceInfo info;
    const TcpLineConfig& c = m_lines.at(size_t(line))->config;
    info.providerInfo = QStringLiteral("VH internet line");
    info.switchInfo = c.mode == TcpMode::Telnet ? QStringLiteral("telnet") : QStringLiteral("raw");
    info.lineName = c.name;
    info.permanentLineId = 0x7C500000u + DWORD(line);
    info.bearerModes = LINEBEARERMODE_VOICE | LINEBEARERMODE_DATA | LINEBEARERMODE_PASSTHROUGH;
    info.maxRate = ConnectedRate;
    info.mediaModes = LINEMEDIAMODE_DATAMODEM;
    info.maxNumActiveCalls = 1;
    info.deviceClasses = {QStringLiteral("comm/datamodem")};
    return info;
}

LONG TcpProvider::GetAddressInfo(int line, DWORD addressId, AddressInfo& info) const
{
    if (addressId != 0)
        return LINEERR_INVALADDRESSID;
    const Line& l = *m_lines.at(size_t(line));
    if (l.config.listen)
        info.address = EndpointText(QHostAddress(l.config.listenAddress), l.config.listenPort);
    info.callInfoStates = LINECALLINFOSTATE_CALLERID;
    info.callerIDFlags = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_UNKNOWN;
    info.calledIDFlags = LINECALLPARTYID_ADDRESS;
    info.connectedIDFlags = LINECALLPARTYID_ADDRESS;
    info.callStates = CallStates;
    info.dialToneModes = LINEDIALTONEMODE_NORMAL;
    info.disconnectModes = DisconnectModes;
    info.maxNumActiveCalls = 1;
    info.callFeatures =
        LINECALLFEATURE_ANSWER | LINECALLFEATURE_DIAL | LINECALLFEATURE_DROP | LINECALLFEATURE_SETCALLPARAMS;
    info.availableMediaModes = LINEMEDIAMODE_DATAMODEM;
    return 0;
}

LONG TcpProvider::OpenLine(int line)
{
    Line& l = *m_lines.at(size_t(line));
    if (l.open)
        return 0;
    if (l.config.listen) {
        NetError error;
        const QHostAddress address(l.config.listenAddress);
        const int fd = net::Listen({address, l.config.listenPort}, ListenBacklog, error);
        if (fd < 0) {
            l.failure =
                QStringLiteral("The internet line cannot take calls on %1: %2. Choose another "
                               "listening address or port in its settings.")
                    .arg(EndpointText(address, l.config.listenPort), QString::fromLatin1(ErrorText(error)));
            qWarning().noquote() << QStringLiteral("tcp line \"%1\": cannot listen on %2: %3")
                                        .arg(l.config.name, EndpointText(address, l.config.listenPort),
                                             QString::fromLatin1(ErrorText(error)));
            const bool busy = error == NetError::AddressInUse || error == NetError::PermissionDenied ||
                              error == NetError::NoResources;
            return busy ? LINEERR_RESOURCEUNAVAIL : LINEERR_OPERATIONFAILED;
        }
        l.listenFd = fd;
        l.listenNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(l.listenNotifier.get(), &QSocketNotifier::activated, l.listenNotifier.get(),
                         [this, line] { AcceptPending(line); });
    }
    l.open = true;
    l.failure.clear();
    return 0;
}

QString TcpProvider::LineFailure(int line) const
{
    return line >= 0 && line < LineCount() ? m_lines[size_t(line)]->failure : QString();
}

void TcpProvider::CloseLine(int line)
{
    Line& l = *m_lines.at(size_t(line));
    StopTimer(l.acceptRetry);
    l.listenNotifier.reset();
    if (l.listenFd >= 0) {
        net::Close(l.listenFd);
        l.listenFd = -1;
    }
    l.open = false;
    for (auto it = m_calls.begin(); it != m_calls.end();) {
        if (it->second->line == line) {
            Teardown(*it->second);
            it = m_calls.erase(it);
        } else {
            ++it;
        }
    }
}

void TcpProvider::SetStatusMessages(int, DWORD, DWORD)
{
    // The service passes on only what the applications asked for.
}

LONG TcpProvider::GetID(int line, DWORD addressId, CallId callId, DWORD select, const QString& deviceClass,
                        DeviceIdData& out)
{
    if (deviceClass.compare(QLatin1String("comm/datamodem"), Qt::CaseInsensitive) != 0)
        return LINEERR_INVALDEVICECLASS;
    if (select != LINECALLSELECT_CALL) {
        if (select == LINECALLSELECT_ADDRESS && addressId != 0)
            return LINEERR_INVALADDRESSID;
        out.id = DWORD(line);
        out.name = m_lines.at(size_t(line))->config.name;
        return 0;
    }
    Call* call = FindCall(callId);
    if (!call)
        return LINEERR_INVALCALLHANDLE;
    const int fd = call->relay ? call->relay->PhoneFd() : call->fd;
    if ((call->step != CallStep::Connected && call->step != CallStep::Disconnected) || fd < 0)
        return LINEERR_INVALCALLSTATE;
    out.fd = fd;
    out.name = QStringLiteral("tcp %1").arg(call->peer);
    return 0;
}

LONG TcpProvider::GetDevConfig(int line, const QString& deviceClass, QByteArray& config)
{
    if (!deviceClass.isEmpty() &&
        deviceClass.compare(QLatin1String("comm/datamodem"), Qt::CaseInsensitive) != 0)
        return LINEERR_INVALDEVICECLASS;
    const Line& l = *m_lines.at(size_t(line));
    config = EncodeConfigBlock(l.config, l.block);
    return 0;
}

LONG TcpProvider::SetDevConfig(int line, const QString& deviceClass, const QByteArray& config)
{
    if (!deviceClass.isEmpty() &&
        deviceClass.compare(QLatin1String("comm/datamodem"), Qt::CaseInsensitive) != 0)
        return LINEERR_INVALDEVICECLASS;
    Line& l = *m_lines.at(size_t(line));
    // A new listening address or port takes effect at the line's next open;
    // the mode and time limit at its next call.
    TcpLineConfig decoded = l.config;
    if (!DecodeConfigBlock(config, decoded))
        return LINEERR_INVALPARAM;
    // What the operator set must still be there at the next start: it is
    // written first, and a line whose file cannot take it stays unchanged.
    if (!m_file.Keep(line, QStringLiteral("tcp"), TcpLineConfigKeys(decoded),
                     QStringLiteral("tcp line \"%1\"").arg(l.config.name), l.failure))
        return LINEERR_OPERATIONFAILED;
    l.config = decoded;
    l.block = config.left(ConfigBlockSize);
    l.failure.clear();
    return 0;
}

// --- Incoming calls ----------------------------------------------------------

void TcpProvider::AcceptPending(int line)
{
    Line& l = *m_lines.at(size_t(line));
    while (l.listenFd >= 0) {
        net::Endpoint peer;
        NetError error;
        const int fd = net::Accept(l.listenFd, peer, error);
        if (fd < 0) {
            if (error == NetError::NoResources && !l.acceptRetry) {
                l.listenNotifier->setEnabled(false);
                l.acceptRetry = Clock::Instance().StartTimer(AcceptRetryMs, [this, line] {
                    Line& again = *m_lines.at(size_t(line));
                    StopTimer(again.acceptRetry);
                    if (again.listenNotifier)
                        again.listenNotifier->setEnabled(true);
                });
            }
            return;
        }
        if (LineBusy(line) || !m_events) {
            // One call per line: the caller sees the connection close at once,
            // which its side reads as busy.
            net::Close(fd);
            continue;
        }
        OfferCall(line, fd, peer.address.toString());
    }
}

void TcpProvider::OfferCall(int line, int fd, const QString& peerAddress)
{
    net::SetNoDelay(fd);
    net::SetKeepAlive(fd);
    net::SetUrgentInline(fd);
    // A telnet call speaks from the first ring on: our offer tells another
    // copy of this program that it rings, and what the caller negotiates
    // meanwhile is settled by the time the operator answers. Its data waits
    // for the phone on the relay's local connection, as it would in the socket.
    std::unique_ptr<TelnetRelay> relay;
    if (m_lines[size_t(line)]->config.mode == TcpMode::Telnet) {
        relay = std::make_unique<TelnetRelay>(fd, TelnetCodec::Role::Answering);
        if (!relay->Start()) {
            qWarning().noquote() << QStringLiteral(
                                        "tcp line \"%1\": a call from %2 turned away: out of descriptors")
                                        .arg(m_lines[size_t(line)]->config.name, peerAddress);
            net::Close(fd);
            return;
        }
    }
    const CallId id = m_events->NewIncomingCall(this, line, 0);
    if (id == 0) {
        relay.reset();
        net::Close(fd);
        return;
    }
    auto call = std::make_unique<Call>();
    call->id = id;
    call->line = line;
    call->step = CallStep::Offering;
    call->fd = fd;
    call->peer = peerAddress;
    Call& c = *call;
    m_calls[id] = std::move(call);

    if (relay) {
        c.relay = std::move(relay);
        c.relay->SetHandlers(
            {[this, id](bool failed) { RelayEnded(id, failed); }, [this, id] { RelayChanged(id); }});
        if (const auto& terminal = m_lines[size_t(line)]->terminal)
            c.relay->SetTerminal(terminal->types, terminal->columns, terminal->rows);
    } else {
        // Until it is answered, the caller's bytes stay unread in the socket;
        // only the caller leaving is of interest.
        c.watcher =
            std::make_unique<net::PeerWatcher>(fd, false, [this, id](const net::PeerWatcher::Events& ev) {
                Call* call = FindCall(id);
                if (!call || !ev.hangup)
                    return;
                if (call->step == CallStep::Offering)
                    ReportIdle(*call); // the caller gave up before the answer
                else if (call->step == CallStep::Connected)
                    PeerClosed(id, ev.error);
            });
    }
    m_events->CallStateChanged(id, LINECALLSTATE_OFFERING, LINEOFFERINGMODE_ACTIVE, LINEMEDIAMODE_DATAMODEM);
    m_events->CallInfoChanged(id, LINECALLINFOSTATE_CALLERID);
    Ring(c);
    c.ringTimer = Clock::Instance().StartTimer(RingIntervalMs, [this, id] {
        if (Call* call = FindCall(id))
            Ring(*call);
    });
    // Nobody answers: the call is let go at the line's limit, so that a
    // caller who waits for ever does not ring for ever.
    c.limitTimer =
        Clock::Instance().StartTimer(m_lines[size_t(line)]->config.connectTimeoutSeconds * 1000, [this, id] {
            Call* call = FindCall(id);
            if (call && call->step == CallStep::Offering)
                ReportIdle(*call);
        });
}

void TcpProvider::Ring(Call& call)
{
    if (call.step != CallStep::Offering || !m_events)
        return;
    // Ring mode 1 (the only one), and the count of rings so far from 0.
    m_events->LineDevStateChanged(this, call.line, LINEDEVSTATE_RINGING, 1, call.rings++);
}

LONG TcpProvider::Answer(RequestId request, CallId id, const QByteArray&)
{
    Call* call = FindCall(id);
    if (!call)
        return LINEERR_INVALCALLHANDLE;
    if (call->step != CallStep::Offering)
        return LINEERR_INVALCALLSTATE;
    StopTimer(call->ringTimer);
    StopTimer(call->limitTimer);
    call->step = CallStep::Connected;
    if (call->relay)
        call->relay->Answer();
    m_events->CompleteRequest(request, 0);
    ReportConnected(*call);
    return 0;
}

// --- Outgoing calls ----------------------------------------------------------

namespace {

// The number as the line reads it: without the "W" that a caller's
// wait-for-dial-tone puts before it, since a tcp line has its dial tone at
// once, and a host name may begin with a "W" of its own.
QString DialledPart(const QString& number, const CallParamsData& params)
{
    QString text = number.trimmed();
    if (params.present && params.dialParams.dwWaitForDialtone != 0 && text.startsWith(u'W'))
        text = text.mid(1).trimmed();
    return text;
}

} // namespace

LONG TcpProvider::MakeCall(RequestId request, int line, CallId newCall, const QString& number, DWORD,
                           const CallParamsData& params)
{
    if (line < 0 || line >= LineCount() || !m_lines[size_t(line)]->open)
        return LINEERR_INVALLINEHANDLE;
    if (LineBusy(line))
        return LINEERR_CALLUNAVAIL;
    // No address at all takes the line off hook; an address with nothing in
    // it is a mistake, refused before the line leaves its hook.
    const bool offHook = number.isNull();
    const QString dialled = offHook ? QString() : DialledPart(number, params);
    std::optional<TcpTarget> target;
    if (!offHook) {
        target = ResolveTcpNumber(dialled, m_phonebook);
        if (!target)
            return LINEERR_INVALADDRESS;
    }
    auto call = std::make_unique<Call>();
    call->id = newCall;
    call->line = line;
    call->outbound = true;
    call->number = dialled;
    if (params.present) {
        call->bearerMode = params.bearerMode;
        if (params.mediaMode)
            call->mediaMode = params.mediaMode;
    }
    Call& c = *call;
    m_calls[newCall] = std::move(call);
    const int noAnswer = params.present ? int(std::min<DWORD>(params.noAnswerTimeout, 3600)) : 0;
    if (target) {
        c.target = *target;
        StartDialling(c, DWORD(noAnswer), request);
    } else {
        c.noAnswerSeconds = noAnswer;
        c.step = CallStep::DialTone;
        m_events->CompleteRequest(request, 0);
        m_events->CallStateChanged(newCall, LINECALLSTATE_DIALTONE, LINEDIALTONEMODE_NORMAL);
    }
    return 0;
}

LONG TcpProvider::Dial(RequestId request, CallId id, const QString& number, DWORD)
{
    Call* call = FindCall(id);
    if (!call)
        return LINEERR_INVALCALLHANDLE;
    if (call->step != CallStep::DialTone)
        return LINEERR_INVALCALLSTATE;
    const QString trimmed = number.trimmed();
    if (trimmed.isEmpty()) {
        // Nothing to dial yet: the line stays off hook.
        m_events->CompleteRequest(request, 0);
        return 0;
    }
    const auto target = ResolveTcpNumber(trimmed, m_phonebook);
    if (!target)
        return LINEERR_INVALADDRESS;
    call->number = trimmed;
    call->target = *target;
    call->fromDialTone = true;
    StartDialling(*call, DWORD(call->noAnswerSeconds), request);
    return 0;
}

void TcpProvider::StartDialling(Call& call, DWORD noAnswerSeconds, RequestId request)
{
    const int seconds =
        noAnswerSeconds ? int(noAnswerSeconds) : m_lines[size_t(call.line)]->config.connectTimeoutSeconds;
    const CallId id = call.id;
    call.deadlineMs = Clock::Instance().MonotonicMs() + std::int64_t(seconds) * 1000;
    call.limitTimer = Clock::Instance().StartTimer(seconds * 1000, [this, id] { LimitReached(id); });
    call.step = CallStep::Resolve;
    const QHostAddress literal(call.target.host);
    if (!literal.isNull()) {
        call.addresses = {literal};
        call.step = CallStep::Connect;
        m_events->CompleteRequest(request, 0);
        m_events->CallStateChanged(id, LINECALLSTATE_DIALING, 0);
        Step(call);
        return;
    }
    // A name is looked up before the request is answered, so that a name
    // that does not exist fails the request as an invalid number rather
    // than dialling nowhere.
    call.pendingRequest = request;
    Step(call);
}

void TcpProvider::LimitReached(CallId id)
{
    Call* call = FindCall(id);
    if (!call)
        return;
    StopTimer(call->limitTimer);
    if (call->pendingRequest) {
        LookupFailed(*call, LINEERR_OPERATIONFAILED); // the name service never answered
    } else if (call->step == CallStep::Connect || call->step == CallStep::RingBack) {
        // Nobody accepted, or the far copy of ours rang unanswered: the
        // connection closes, and there its offered call goes.
        Fail(*call, LINEDISCONNECTMODE_NOANSWER);
    }
}

void TcpProvider::AttemptTimedOut(CallId id)
{
    Call* call = FindCall(id);
    if (!call || call->step != CallStep::Connect)
        return;
    StopTimer(call->attemptTimer);
    // This address had its share; the next one gets the time left.
    call->connectNotifier.reset();
    net::Close(call->fd);
    call->fd = -1;
    call->failMode = LINEDISCONNECTMODE_NOANSWER;
    Step(*call);
}

void TcpProvider::LookupFailed(Call& call, LONG error)
{
    const RequestId request = call.pendingRequest;
    call.pendingRequest = 0;
    Teardown(call);
    call.step = call.fromDialTone ? CallStep::DialTone : CallStep::Idle;
    // The service forgets a call whose creating request failed, and may
    // release it from inside this report: nothing of the call is touched
    // after it.
    m_events->CompleteRequest(request, error);
}

// The reserved top-level domain "invalid" (RFC 6761): a name under it must
// fail at once, without a query leaving the machine.
static bool IsReservedInvalidName(const QString& host)
{
    const QString name = host.toLower();
    return name == QLatin1String("invalid") || name.endsWith(QLatin1String(".invalid")) ||
           name.endsWith(QLatin1String(".invalid."));
}

void TcpProvider::Step(Call& call)
{
    const CallId id = call.id;
    switch (call.step) {
    case CallStep::Resolve: {
        call.lookupContext = std::make_unique<QObject>();
        if (IsReservedInvalidName(call.target.host) || m_hostLookup) {
            // Names under "invalid" never resolve, and a name service given
            // by a test knows its answer at once: either reaches the call
            // without asking the network, on a later turn like a real lookup.
            const QList<QHostAddress> found = IsReservedInvalidName(call.target.host)
                                                  ? QList<QHostAddress>()
                                                  : m_hostLookup(call.target.host);
            QMetaObject::invokeMethod(
                call.lookupContext.get(), [this, id, found] { LookupDone(id, found, found.isEmpty()); },
                Qt::QueuedConnection);
            return;
        }
        call.lookupId = QHostInfo::lookupHost(
            call.target.host, call.lookupContext.get(), [this, id](const QHostInfo& info) {
                LookupDone(id, info.addresses(), info.error() == QHostInfo::HostNotFound);
            });
        return;
    }
    case CallStep::Connect: {
        if (!call.proceedingReported) {
            call.proceedingReported = true;
            m_events->CallStateChanged(id, LINECALLSTATE_PROCEEDING, 0);
        }
        StopTimer(call.attemptTimer);
        while (call.nextAddress < call.addresses.size()) {
            const QHostAddress address = call.addresses[call.nextAddress++];
            NetError error;
            const int fd = net::StartConnect({address, call.target.port}, error);
            if (fd < 0) {
                call.failMode = DisconnectModeOf(error);
                continue;
            }
            call.fd = fd;
            call.peer = EndpointText(address, call.target.port);
            if (error == NetError::None) {
                call.step = CallStep::Settle;
                Step(call);
                return;
            }
            call.connectNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
            QObject::connect(call.connectNotifier.get(), &QSocketNotifier::activated,
                             call.connectNotifier.get(), [this, id] { ConnectDone(id); });
            // Every address left gets an equal share of the time left, so
            // that one that never answers cannot use it all up.
            const qsizetype left = call.addresses.size() - call.nextAddress + 1;
            const std::int64_t share = (call.deadlineMs - Clock::Instance().MonotonicMs()) / left;
            if (left > 1)
                call.attemptTimer = Clock::Instance().StartTimer(int(std::max<std::int64_t>(share, 1)),
                                                                 [this, id] { AttemptTimedOut(id); });
            return;
        }
        Fail(call, call.failMode);
        return;
    }
    case CallStep::Settle: {
        StopTimer(call.attemptTimer);
        net::SetKeepAlive(call.fd);
        net::SetUrgentInline(call.fd);
        if (m_lines[size_t(call.line)]->config.mode == TcpMode::Telnet) {
            // The far side's first word tells a copy of this program, which
            // offers our option at once, from every other host.
            if (!StartRelay(call, TelnetCodec::Role::Calling)) {
                Fail(call, LINEDISCONNECTMODE_UNAVAIL);
                return;
            }
        } else {
            call.watcher = std::make_unique<net::PeerWatcher>(
                call.fd, true, [this, id](const net::PeerWatcher::Events& ev) {
                    Call* c = FindCall(id);
                    if (!c)
                        return;
                    if (c->step == CallStep::Settle)
                        SettleEvent(id, ev.hangup && !ev.data);
                    else if (c->step == CallStep::Connected && ev.hangup)
                        PeerClosed(id, ev.error);
                });
        }
        call.settleTimer = Clock::Instance().StartTimer(BusyWindowMs, [this, id] { SettleEvent(id, false); });
        return;
    }
    case CallStep::Connected:
        ReportConnected(call);
        return;
    case CallStep::DialTone:
    case CallStep::RingBack:
    case CallStep::Offering:
    case CallStep::Disconnected:
    case CallStep::Idle:
        return;
    }
}

void TcpProvider::LookupDone(CallId id, const QList<QHostAddress>& addresses, bool notFound)
{
    Call* call = FindCall(id);
    if (!call || call->step != CallStep::Resolve)
        return;
    call->lookupId = -1;
    // The context goes once the lookup's callback has returned.
    QObject* context = call->lookupContext.release();
    context->deleteLater();
    if (notFound || addresses.isEmpty()) {
        LookupFailed(*call, notFound ? LINEERR_INVALADDRESS : LINEERR_OPERATIONFAILED);
        return;
    }
    call->addresses = addresses;
    call->step = CallStep::Connect;
    const RequestId request = call->pendingRequest;
    call->pendingRequest = 0;
    m_events->CompleteRequest(request, 0);
    m_events->CallStateChanged(id, LINECALLSTATE_DIALING, 0);
    Step(*call);
}

void TcpProvider::ConnectDone(CallId id)
{
    Call* call = FindCall(id);
    if (!call || call->step != CallStep::Connect)
        return;
    call->connectNotifier.reset();
    const NetError error = net::ConnectResult(call->fd);
    if (error == NetError::None) {
        call->step = CallStep::Settle;
    } else {
        call->failMode = DisconnectModeOf(error);
        ::qv::tcp::net::Close(call->fd);
        call->fd = -1;
    }
    Step(*call);
}

void TcpProvider::SettleEvent(CallId id, bool hungUp)
{
    Call* call = FindCall(id);
    if (!call || call->step != CallStep::Settle)
        return;
    StopTimer(call->settleTimer);
    if (hungUp) {
        Fail(*call, LINEDISCONNECTMODE_BUSY);
        return;
    }
    if (call->watcher)
        call->watcher->SetWatchData(false);
    call->step = CallStep::Connected;
    Step(*call);
}

TelnetRelay* TcpProvider::StartRelay(Call& call, TelnetCodec::Role role)
{
    const CallId id = call.id;
    auto relay = std::make_unique<TelnetRelay>(call.fd, role);
    if (!relay->Start())
        return nullptr;
    relay->SetHandlers(
        {[this, id](bool failed) { RelayEnded(id, failed); }, [this, id] { RelayChanged(id); }});
    if (const auto& terminal = m_lines[size_t(call.line)]->terminal)
        relay->SetTerminal(terminal->types, terminal->columns, terminal->rows);
    call.watcher.reset();
    call.relay = std::move(relay);
    return call.relay.get();
}

void TcpProvider::RelayChanged(CallId id)
{
    Call* call = FindCall(id);
    if (!call || !call->relay)
        return;
    const TelnetCodec& codec = call->relay->Codec();
    switch (call->step) {
    case CallStep::Settle:
        if (codec.PeerOpening() == TelnetCodec::Opening::Other) {
            SettleEvent(id, false);
        } else if (codec.PeerOpening() == TelnetCodec::Opening::VhOffer) {
            StopTimer(call->settleTimer);
            call->step = CallStep::RingBack;
            m_events->CallStateChanged(id, LINECALLSTATE_RINGBACK, 0);
            // Answered at once (an answer on the first ring) is possible.
            if ((call = FindCall(id)) != nullptr && codec.FarAnswered())
                RelayChanged(id);
        }
        return;
    case CallStep::RingBack:
        if (codec.FarAnswered()) {
            StopTimer(call->limitTimer);
            call->step = CallStep::Connected;
            ReportConnected(*call);
        }
        return;
    case CallStep::Connected:
        ReportTraits(*call);
        return;
    default:
        return;
    }
}

void TcpProvider::RelayEnded(CallId id, bool failed)
{
    Call* call = FindCall(id);
    if (!call)
        return;
    switch (call->step) {
    case CallStep::Offering:
        ReportIdle(*call); // the caller gave up before the answer
        return;
    case CallStep::Settle:
        // Closed at once without a word: turned away as busy. A host that
        // spoke first and then closed was answered, and what it said is
        // still for the phone.
        if (call->relay->Codec().PeerOpening() == TelnetCodec::Opening::Nothing) {
            StopTimer(call->settleTimer);
            Fail(*call, LINEDISCONNECTMODE_BUSY);
            return;
        }
        SettleEvent(id, false);
        PeerClosed(id, failed);
        return;
    case CallStep::RingBack:
        // The far copy let the call go before its operator answered.
        Fail(*call, LINEDISCONNECTMODE_NOANSWER);
        return;
    case CallStep::Connected:
        PeerClosed(id, failed);
        return;
    default:
        return;
    }
}

void TcpProvider::ReportConnected(Call& call)
{
    const CallId id = call.id;
    StopTimer(call.limitTimer);
    // What is known of the far side reaches the applications before the
    // connection itself, so that the terminal starts out right.
    ReportTraits(call);
    m_events->CallStateChanged(id, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
}

void TcpProvider::ReportTraits(Call& call)
{
    if (!call.relay || call.step != CallStep::Connected)
        return;
    const TelnetCodec& codec = call.relay->Codec();
    DWORD traits = 0;
    if (codec.RemoteEcho())
        traits |= devspecific::TraitRemoteEcho;
    if (codec.PeerIsVh())
        traits |= devspecific::TraitPeerIsVhTerminal;
    // Another copy of this program takes the window's own CR LF; a server
    // whose input is binary takes a bare CR, as a terminal's Enter key gives
    // it; under the NVT rules one line ends with CR LF.
    else if (codec.BinaryToPeer())
        traits |= devspecific::TraitNewlineCr;
    if (traits == call.reportedTraits)
        return;
    call.reportedTraits = traits;
    m_events->CallDevSpecific(call.id, devspecific::LineTraitsCode, traits, 0);
}

LONG TcpProvider::DevSpecific(RequestId request, int line, DWORD, CallId, const QByteArray& params)
{
    if (line < 0 || line >= LineCount())
        return LINEERR_BADDEVICEID;
    const auto info = devspecific::DecodeTerminalInfo(params);
    if (!info)
        return LINEERR_INVALPARAM;
    m_lines[size_t(line)]->terminal = *info;
    // The call in progress hears of a new size at once (NAWS).
    for (auto& [id, call] : m_calls)
        if (call->line == line && call->relay)
            call->relay->SetTerminal(info->types, info->columns, info->rows);
    m_events->CompleteRequest(request, 0);
    return 0;
}

void TcpProvider::Fail(Call& call, DWORD disconnectMode)
{
    Teardown(call);
    call.step = CallStep::Disconnected;
    m_events->CallStateChanged(call.id, LINECALLSTATE_DISCONNECTED, disconnectMode);
}

// --- The end of a call -------------------------------------------------------

void TcpProvider::PeerClosed(CallId id, bool failed)
{
    Call* call = FindCall(id);
    if (!call || call->step != CallStep::Connected || call->peerEnded)
        return;
    call->peerEnded = true;
    if (call->watcher)
        call->watcher->SetEnabled(false);
    // A reset took the unread bytes with it; an orderly close leaves them for
    // the phone, which gets DrainGraceMs to read them.
    if (failed) {
        call->step = CallStep::Disconnected;
        m_events->CallStateChanged(id, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
        return;
    }
    call->drainDeadline = Clock::Instance().MonotonicMs() + DrainGraceMs;
    CheckDrained(id);
}

void TcpProvider::CheckDrained(CallId id)
{
    Call* call = FindCall(id);
    if (!call || call->step != CallStep::Connected)
        return;
    const int pending = call->relay ? call->relay->PendingForPhone() : net::QueuedInput(call->fd);
    if (pending > 0 && Clock::Instance().MonotonicMs() < call->drainDeadline) {
        if (!call->drainTimer)
            call->drainTimer = Clock::Instance().StartTimer(DrainPollMs, [this, id] { CheckDrained(id); });
        return;
    }
    StopTimer(call->drainTimer);
    call->step = CallStep::Disconnected;
    m_events->CallStateChanged(id, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
}

void TcpProvider::ReportIdle(Call& call)
{
    Teardown(call);
    call.step = CallStep::Idle;
    m_events->CallStateChanged(call.id, LINECALLSTATE_IDLE, 0);
}

LONG TcpProvider::Drop(RequestId request, CallId id, const QByteArray&)
{
    Call* call = FindCall(id);
    if (!call)
        return LINEERR_INVALCALLHANDLE;
    if (call->step == CallStep::Idle)
        return LINEERR_INVALCALLSTATE;
    if (call->relay)
        call->relay->FlushBeforeClose();
    Teardown(*call);
    call->step = CallStep::Idle;
    m_events->CompleteRequest(request, 0);
    m_events->CallStateChanged(id, LINECALLSTATE_IDLE, 0);
    return 0;
}

void TcpProvider::ReleaseCall(CallId id)
{
    auto it = m_calls.find(id);
    if (it == m_calls.end())
        return;
    Teardown(*it->second);
    m_calls.erase(it);
}

void TcpProvider::Teardown(Call& call)
{
    StopTimer(call.limitTimer);
    StopTimer(call.attemptTimer);
    StopTimer(call.settleTimer);
    StopTimer(call.ringTimer);
    StopTimer(call.drainTimer);
    if (call.lookupId >= 0) {
        QHostInfo::abortHostLookup(call.lookupId);
        call.lookupId = -1;
    }
    call.lookupContext.reset();
    call.connectNotifier.reset();
    call.watcher.reset();
    call.relay.reset();
    if (call.fd >= 0) {
        net::Close(call.fd);
        call.fd = -1;
    }
}

// --- Call parameters and information -----------------------------------------

LONG TcpProvider::SetCallParams(RequestId request, CallId id, DWORD bearerMode, DWORD, DWORD,
                                const LINEDIALPARAMS*)
{
    Call* call = FindCall(id);
    if (!call)
        return LINEERR_INVALCALLHANDLE;
    if (call->step == CallStep::Idle)
        return LINEERR_INVALCALLSTATE;
    constexpr DWORD supported = LINEBEARERMODE_VOICE | LINEBEARERMODE_DATA | LINEBEARERMODE_PASSTHROUGH;
    if (bearerMode == 0 || (bearerMode & ~supported) != 0 || (bearerMode & (bearerMode - 1)) != 0)
        return LINEERR_INVALBEARERMODE;
    // The connection is a byte stream whatever the bearer mode says; the
    // phone switches to pass-through before it takes the data channel.
    call->bearerMode = bearerMode;
    m_events->CompleteRequest(request, 0);
    return 0;
}

LONG TcpProvider::GetCallInfo(CallId id, CallInfoData& info)
{
    Call* call = FindCall(id);
    if (!call)
        return LINEERR_INVALCALLHANDLE;
    info.addressId = 0;
    info.bearerMode = call->bearerMode;
    info.mediaMode = call->mediaMode;
    info.rate = call->step == CallStep::Connected ? ConnectedRate : 0;
    info.callStates = CallStates;
    info.origin = call->outbound ? LINECALLORIGIN_OUTBOUND : LINECALLORIGIN_EXTERNAL;
    if (call->outbound) {
        info.called.flags = LINECALLPARTYID_ADDRESS;
        info.called.number = call->number;
        info.displayableAddress = call->number;
        if (!call->peer.isEmpty()) {
            info.connected.flags = LINECALLPARTYID_ADDRESS;
            info.connected.number = call->peer;
        }
    } else {
        info.caller.flags = call->peer.isEmpty() ? LINECALLPARTYID_UNKNOWN : LINECALLPARTYID_ADDRESS;
        info.caller.number = call->peer;
    }
    return 0;
}

LONG TcpProvider::MonitorDigits(CallId id, DWORD digitModes)
{
    if (!FindCall(id))
        return LINEERR_INVALCALLHANDLE;
    // A byte stream carries no tones; only "monitor nothing" is possible.
    return digitModes == 0 ? 0 : LINEERR_INVALDIGITMODE;
}

LONG TcpProvider::MonitorMedia(CallId id, DWORD mediaModes)
{
    if (!FindCall(id))
        return LINEERR_INVALCALLHANDLE;
    return mediaModes == 0 ? 0 : LINEERR_INVALMEDIAMODE;
}

TcpProvider::Call* TcpProvider::FindCall(CallId id) const
{
    auto it = m_calls.find(id);
    return it == m_calls.end() ? nullptr : it->second.get();
}

bool TcpProvider::LineBusy(int line) const
{
    for (const auto& [id, call] : m_calls) {
        if (call->line == line && call->step != CallStep::Idle)
            return true;
    }
    return false;
}

} // namespace qv::tcp
