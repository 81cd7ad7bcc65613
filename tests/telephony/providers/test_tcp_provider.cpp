// The tcp line on loopback, driven through the provider interface with a
// recorder in place of the service.
#include "telephony/service/LineExtensions.h"
#include "telephony/service/providers/tcp/TcpProvider.h"
#include "telephony/service/providers/tcp/TcpSocket.h"
#include "tests/telephony/providers/TcpTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace qv::tcp;
using namespace tapi;
using qv::test::AtEndOfStream;
using qv::test::ProviderEvent;
using qv::test::ReadAvailable;

QByteArray AllByteValues()
{
    QByteArray b;
    for (int i = 0; i < 256; ++i)
        b.append(char(i));
    return b;
}

// A number as an application gives it: never the null string, which means
// no number at all.
QString Given(const char* text)
{
    const QString s = QString::fromLatin1(text);
    return s.isNull() ? QStringLiteral("") : s;
}

bool NoDelay(int fd)
{
    int value = 0;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length) == 0 && value != 0;
}

// Whether keep-alive gives a silent peer up within the line's limit.
bool KeepsAlive(int fd)
{
    int on = 0, idle = 0, interval = 0, count = 0;
    socklen_t length = sizeof on;
    ::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &length);
    ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &length);
    ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &length);
    ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, &length);
    return on != 0 && idle + interval * count <= net::KeepAliveLimitSeconds;
}

class TcpLine : public ::testing::Test
{
protected:
    ~TcpLine() override
    {
        provider.reset();
        for (int fd : fds)
            ::close(fd);
    }

    static TcpLineConfig Config(TcpMode mode = TcpMode::Raw)
    {
        TcpLineConfig c;
        c.listenPort = 0; // the system picks one
        c.mode = mode;
        c.connectTimeoutSeconds = 5;
        return c;
    }

    void Make(std::vector<TcpLineConfig> lines, QMap<QString, QString> book = {})
    {
        provider = std::make_unique<TcpProvider>(std::move(lines), std::move(book));
        provider->Attach(&rec);
    }

    template <class P> bool Wait(P done, int boundMs = 10000)
    {
        return qv::test::PumpUntil(done, &*clock, 10, boundMs);
    }

    int Track(int fd)
    {
        if (fd >= 0)
            fds.push_back(fd);
        return fd;
    }

    // A plain client connected to 127.0.0.1:port.
    int Connect(std::uint16_t port)
    {
        net::NetError error;
        const int fd = Track(net::StartConnect({QHostAddress::LocalHost, port}, error));
        EXPECT_GE(fd, 0);
        pollfd p{fd, POLLOUT, 0};
        EXPECT_TRUE(Wait([&] { return ::poll(&p, 1, 0) > 0; }));
        EXPECT_EQ(net::ConnectResult(fd), net::NetError::None);
        return fd;
    }

    // A plain listener on 127.0.0.1 with a system-chosen port.
    int Listener(std::uint16_t& port, int backlog = 8)
    {
        net::NetError error;
        const int fd = Track(net::Listen({QHostAddress::LocalHost, 0}, backlog, error));
        EXPECT_GE(fd, 0);
        port = net::LocalPort(fd);
        return fd;
    }

    int AcceptOne(int listenFd)
    {
        int fd = -1;
        net::Endpoint peer;
        net::NetError error;
        EXPECT_TRUE(Wait([&] { return (fd = net::Accept(listenFd, peer, error)) >= 0; }));
        return Track(fd);
    }

    // The last traits the line reported for `call`, or ~0 without any.
    DWORD LastTraits(CallId call) const
    {
        DWORD traits = ~0u;
        for (const auto& e : rec.events)
            if (e.kind == ProviderEvent::DevSpecific && e.call == call && e.a == devspecific::LineTraitsCode)
                traits = e.b;
        return traits;
    }

    int DataChannel(CallId call)
    {
        DeviceIdData out;
        EXPECT_EQ(provider->GetID(0, 0, call, LINECALLSELECT_CALL, "comm/datamodem", out), 0);
        return out.fd;
    }

    // Sends `data` from `from` and collects it at `to`, both non-blocking,
    // taking turns so that neither side's buffers need to hold it all.
    // `sent` bytes of it went out earlier and are still to be collected.
    QByteArray Pass(int from, int to, const QByteArray& data, qsizetype sent = 0)
    {
        QByteArray got;
        Wait(
            [&] {
                if (sent < data.size()) {
                    const ssize_t n = ::send(from, data.constData() + sent, size_t(data.size() - sent),
                                             MSG_DONTWAIT | MSG_NOSIGNAL);
                    if (n > 0)
                        sent += n;
                }
                got += ReadAvailable(to);
                return got.size() >= data.size();
            },
            20000);
        return got;
    }

    qv::ScopedVirtualClock clock;
    qv::test::RecordingEvents rec;
    std::unique_ptr<TcpProvider> provider;
    std::vector<int> fds;
};

TEST_F(TcpLine, IncomingCallIsOfferedWithTheCallerAddressAndRingsUntilAnswered)
{
    Make({Config()});
    ASSERT_EQ(provider->OpenLine(0), 0);
    const std::uint16_t port = provider->ListeningPort(0);
    ASSERT_NE(port, 0);

    const int peer = Connect(port);
    ASSERT_TRUE(Wait([&] { return rec.Rings(0) == 1; }));
    const CallId call = 1000;
    const int offering = rec.IndexOf(ProviderEvent::State, call, LINECALLSTATE_OFFERING);
    const int callerId = rec.IndexOf(ProviderEvent::Info, call, LINECALLINFOSTATE_CALLERID);
    const int ring = rec.IndexOf(ProviderEvent::DevState, 0, LINEDEVSTATE_RINGING);
    ASSERT_GE(offering, 0);
    EXPECT_LT(offering, callerId);
    EXPECT_LT(callerId, ring);

    CallInfoData info;
    ASSERT_EQ(provider->GetCallInfo(call, info), 0);
    EXPECT_EQ(info.caller.number, "127.0.0.1");
    EXPECT_EQ(info.caller.flags, DWORD(LINECALLPARTYID_ADDRESS));

    // Rings keep coming, counted from 0, until the answer.
    clock->Advance(TcpProvider::RingIntervalMs);
    ASSERT_EQ(rec.Rings(0), 2);
    EXPECT_EQ(rec.events.back().b, 1u);
    DeviceIdData none;
    EXPECT_EQ(provider->GetID(0, 0, call, LINECALLSELECT_CALL, "comm/datamodem", none),
              LINEERR_INVALCALLSTATE);

    ASSERT_EQ(provider->Answer(7, call, {}), 0);
    const int reply = rec.IndexOf(ProviderEvent::Reply, 7, 0);
    const int connected = rec.IndexOf(ProviderEvent::State, call, LINECALLSTATE_CONNECTED);
    ASSERT_GE(reply, 0);
    EXPECT_LT(reply, connected) << "the answer is replied to before the call is reported connected";
    clock->Advance(3 * TcpProvider::RingIntervalMs);
    EXPECT_EQ(rec.Rings(0), 2) << "an answered call no longer rings";

    const int channel = DataChannel(call);
    ASSERT_GE(channel, 0);
    EXPECT_TRUE(NoDelay(channel));
    EXPECT_TRUE(KeepsAlive(channel));
    EXPECT_EQ(Pass(peer, channel, AllByteValues()), AllByteValues());
    EXPECT_EQ(Pass(channel, peer, AllByteValues()), AllByteValues());

    // The peer's last words stay readable: the end is reported once the
    // phone has read them.
    ASSERT_EQ(::send(peer, "bye", 3, 0), 3);
    ::shutdown(peer, SHUT_WR);
    qv::test::PumpFor(30);
    EXPECT_FALSE(rec.HasState(call, LINECALLSTATE_DISCONNECTED));
    QByteArray tail;
    ASSERT_TRUE(Wait([&] {
        tail += ReadAvailable(channel);
        return tail.size() >= 3;
    }));
    EXPECT_EQ(tail, "bye");
    ASSERT_TRUE(Wait([&] { return rec.HasState(call, LINECALLSTATE_DISCONNECTED); }));
    EXPECT_EQ(rec.DetailOf(call, LINECALLSTATE_DISCONNECTED), DWORD(LINEDISCONNECTMODE_NORMAL));

    ASSERT_EQ(provider->Drop(8, call, {}), 0);
    EXPECT_EQ(rec.States(call).back(), DWORD(LINECALLSTATE_IDLE));
    EXPECT_TRUE(Wait([&] { return AtEndOfStream(peer); }));
    EXPECT_EQ(provider->Drop(9, call, {}), LINEERR_INVALCALLSTATE);
}

TEST_F(TcpLine, UnreadTailDoesNotHoldTheEndBackForever)
{
    Make({Config()});
    ASSERT_EQ(provider->OpenLine(0), 0);
    const int peer = Connect(provider->ListeningPort(0));
    ASSERT_TRUE(Wait([&] { return rec.HasState(1000, LINECALLSTATE_OFFERING); }));
    ASSERT_EQ(provider->Answer(1, 1000, {}), 0);
    ASSERT_EQ(::send(peer, "unread", 6, 0), 6);
    ::shutdown(peer, SHUT_WR);
    qv::test::PumpFor(20);
    EXPECT_FALSE(rec.HasState(1000, LINECALLSTATE_DISCONNECTED));
    clock->Advance(TcpProvider::DrainGraceMs);
    EXPECT_TRUE(Wait([&] { return rec.HasState(1000, LINECALLSTATE_DISCONNECTED); }));
}

TEST_F(TcpLine, CallerWhoGivesUpBeforeTheAnswerLeavesTheCallIdleAndTheLineFree)
{
    Make({Config()});
    ASSERT_EQ(provider->OpenLine(0), 0);
    const std::uint16_t port = provider->ListeningPort(0);
    int peer = Connect(port);
    ASSERT_TRUE(Wait([&] { return rec.HasState(1000, LINECALLSTATE_OFFERING); }));
    // Bytes the caller sent do not count as staying.
    ASSERT_EQ(::send(peer, "x", 1, 0), 1);
    ::close(peer);
    fds.erase(std::find(fds.begin(), fds.end(), peer));
    ASSERT_TRUE(Wait([&] { return rec.HasState(1000, LINECALLSTATE_IDLE); }));
    EXPECT_EQ(rec.States(1000), (std::vector<DWORD>{LINECALLSTATE_OFFERING, LINECALLSTATE_IDLE}));
    const int rings = rec.Rings(0);
    clock->Advance(3 * TcpProvider::RingIntervalMs);
    EXPECT_EQ(rec.Rings(0), rings);

    // The idle call no longer occupies the line.
    Connect(port);
    EXPECT_TRUE(Wait([&] { return rec.HasState(1001, LINECALLSTATE_OFFERING); }));
    provider->ReleaseCall(1000);
}

TEST_F(TcpLine, SecondIncomingConnectionIsTurnedAwayWhileTheLineHasACall)
{
    Make({Config()});
    ASSERT_EQ(provider->OpenLine(0), 0);
    const std::uint16_t port = provider->ListeningPort(0);
    const int first = Connect(port);
    ASSERT_TRUE(Wait([&] { return rec.HasState(1000, LINECALLSTATE_OFFERING); }));

    const int second = Connect(port);
    EXPECT_TRUE(Wait([&] { return AtEndOfStream(second); })) << "offered call present";
    ASSERT_EQ(provider->Answer(1, 1000, {}), 0);
    const int third = Connect(port);
    EXPECT_TRUE(Wait([&] { return AtEndOfStream(third); })) << "connected call present";
    EXPECT_EQ(rec.IndexOf(ProviderEvent::NewCall, 1001, 0), -1);
    EXPECT_FALSE(AtEndOfStream(first)) << "the call itself is untouched";

    // Nobody to take calls: the connection is closed too.
    ASSERT_EQ(provider->Drop(2, 1000, {}), 0);
    provider->ReleaseCall(1000);
    rec.refuseIncoming = true;
    const int fourth = Connect(port);
    EXPECT_TRUE(Wait([&] { return AtEndOfStream(fourth); }));
}

TEST_F(TcpLine, OutgoingCallDialsProceedsAndConnectsWithBytesUntouchedInRawMode)
{
    std::uint16_t port = 0;
    const int listener = Listener(port);
    Make({Config()});
    ASSERT_EQ(provider->OpenLine(0), 0);

    // Twelve digits and port digits, as the window dials.
    const QString number = QStringLiteral("127000000001%1").arg(port);
    ASSERT_EQ(provider->MakeCall(5, 0, 77, number, 0, {}), 0);
    EXPECT_EQ(rec.events.front().kind, ProviderEvent::Reply);
    const int remote = AcceptOne(listener);
    ASSERT_TRUE(Wait([&] { return rec.HasState(77, LINECALLSTATE_CONNECTED); }));
    EXPECT_EQ(rec.States(77),
              (std::vector<DWORD>{LINECALLSTATE_DIALING, LINECALLSTATE_PROCEEDING, LINECALLSTATE_CONNECTED}));

    CallInfoData info;
    ASSERT_EQ(provider->GetCallInfo(77, info), 0);
    EXPECT_EQ(info.called.number, number);
    EXPECT_EQ(info.connected.number, QStringLiteral("127.0.0.1:%1").arg(port));
    EXPECT_EQ(info.origin, DWORD(LINECALLORIGIN_OUTBOUND));

    const int channel = DataChannel(77);
    // Without TCP_NODELAY a batch of small files crawls at one per delayed
    // acknowledgement.
    EXPECT_TRUE(NoDelay(channel));
    EXPECT_TRUE(KeepsAlive(channel));
    QByteArray big;
    for (int i = 0; i < 4096; ++i)
        big += AllByteValues();
    EXPECT_EQ(Pass(channel, remote, big), big);
    EXPECT_EQ(Pass(remote, channel, big), big);

    ::close(remote);
    fds.erase(std::find(fds.begin(), fds.end(), remote));
    ASSERT_TRUE(Wait([&] { return rec.HasState(77, LINECALLSTATE_DISCONNECTED); }));
    EXPECT_EQ(rec.DetailOf(77, LINECALLSTATE_DISCONNECTED), DWORD(LINEDISCONNECTMODE_NORMAL));
}

TEST_F(TcpLine, DialledNumbersThatCannotWorkAreRefusedAtOnce)
{
    Make({Config(), Config()}, {{"7001", "bad host"}});
    EXPECT_EQ(provider->MakeCall(1, 0, 50, "127000000001", 0, {}), LINEERR_INVALLINEHANDLE)
        << "line not open";
    ASSERT_EQ(provider->OpenLine(0), 0);
    // An empty number is a mistake, not a request to go off hook (that is
    // no number at all).
    for (const char* bad : {"", "  ", "12345", "7001", "host:0", "a b:23"})
        EXPECT_EQ(provider->MakeCall(2, 0, 50, Given(bad), 0, {}), LINEERR_INVALADDRESS) << bad;
    EXPECT_TRUE(rec.events.empty());

    // One call per line: a second call on a busy line is refused.
    std::uint16_t port = 0;
    Listener(port);
    ASSERT_EQ(provider->MakeCall(3, 0, 51, QStringLiteral("127.0.0.1:%1").arg(port), 0, {}), 0);
    EXPECT_EQ(provider->MakeCall(4, 0, 52, QStringLiteral("127.0.0.1:%1").arg(port), 0, {}),
              LINEERR_CALLUNAVAIL);

    // The "W" a wait for dial tone puts first is no part of the number; a
    // host of that name keeps its own.
    CallParamsData waits;
    waits.present = true;
    waits.dialParams.dwWaitForDialtone = 4;
    ASSERT_EQ(provider->OpenLine(1), 0);
    EXPECT_EQ(provider->MakeCall(6, 1, 54, "W", 0, waits), LINEERR_INVALADDRESS);
    ASSERT_EQ(provider->MakeCall(5, 1, 53, QStringLiteral("W127000000001%1").arg(port), 0, waits), 0);
    CallInfoData info;
    ASSERT_EQ(provider->GetCallInfo(53, info), 0);
    EXPECT_EQ(info.called.number, QStringLiteral("127000000001%1").arg(port));
}

TEST_F(TcpLine, LineTakenOffHookDialsLater)
{
    std::uint16_t port = 0;
    const int listener = Listener(port);
    TcpLineConfig patient = Config();
    patient.connectTimeoutSeconds = 600; // the lookup below runs in real time
    Make({patient});
    ASSERT_EQ(provider->OpenLine(0), 0);
    ASSERT_EQ(provider->MakeCall(1, 0, 40, QString(), 0, {}), 0);
    EXPECT_EQ(rec.States(40), (std::vector<DWORD>{LINECALLSTATE_DIALTONE}));
    ASSERT_EQ(provider->Dial(2, 40, "", 0), 0) << "an empty dial keeps the line off hook";
    EXPECT_EQ(provider->Dial(3, 40, "not a number", 0), LINEERR_INVALADDRESS);

    // A name that does not exist fails the dial and leaves the dial tone.
    ASSERT_EQ(provider->Dial(4, 40, "nosuchhost.invalid", 0), 0);
    ASSERT_TRUE(Wait([&] { return rec.IndexOf(ProviderEvent::Reply, 4, DWORD(LINEERR_INVALADDRESS)) >= 0; }));
    EXPECT_EQ(rec.States(40), (std::vector<DWORD>{LINECALLSTATE_DIALTONE}));

    ASSERT_EQ(provider->Dial(5, 40, QStringLiteral("localhost:%1").arg(port), 0), 0);
    AcceptOne(listener);
    ASSERT_TRUE(Wait([&] { return rec.HasState(40, LINECALLSTATE_CONNECTED); }));
    EXPECT_LT(rec.IndexOf(ProviderEvent::Reply, 5, 0),
              rec.IndexOf(ProviderEvent::State, 40, LINECALLSTATE_DIALING));
    EXPECT_EQ(provider->Dial(6, 40, "127000000001", 0), LINEERR_INVALCALLSTATE);
}

TEST_F(TcpLine, FailedCallsEndWithTheirOwnDisconnectMode)
{
    // Nobody listens on a port that was just given back.
    std::uint16_t freePort = 0;
    {
        net::NetError error;
        const int fd = net::Listen({QHostAddress::LocalHost, 0}, 1, error);
        freePort = net::LocalPort(fd);
        net::Close(fd);
    }
    // The name lookup runs in real time while the test moves virtual time on
    // quickly: give it a time limit that cannot run out first.
    TcpLineConfig patient = Config();
    patient.connectTimeoutSeconds = 600;
    Make({Config(), patient, Config()});
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(provider->OpenLine(i), 0);

    ASSERT_EQ(provider->MakeCall(1, 0, 60, QStringLiteral("127.0.0.1:%1").arg(freePort), 0, {}), 0);
    ASSERT_EQ(provider->MakeCall(2, 1, 61, "nosuchhost.invalid:2323", 0, {}), 0);

    // A line of ours that already has a call turns the next caller away.
    const int first = Connect(provider->ListeningPort(2));
    (void)first;
    ASSERT_TRUE(Wait([&] { return rec.HasState(1000, LINECALLSTATE_OFFERING); }));
    TcpProvider caller({Config()}, {});
    qv::test::RecordingEvents callerEvents;
    caller.Attach(&callerEvents);
    ASSERT_EQ(caller.OpenLine(0), 0);
    ASSERT_EQ(
        caller.MakeCall(3, 0, 62, QStringLiteral("127.0.0.1:%1").arg(provider->ListeningPort(2)), 0, {}), 0);

    ASSERT_TRUE(Wait(
        [&] {
            return rec.HasState(60, LINECALLSTATE_DISCONNECTED) &&
                   rec.IndexOf(ProviderEvent::Reply, 2, DWORD(LINEERR_INVALADDRESS)) >= 0 &&
                   callerEvents.HasState(62, LINECALLSTATE_DISCONNECTED);
        },
        30000));
    EXPECT_EQ(rec.DetailOf(60, LINECALLSTATE_DISCONNECTED), DWORD(LINEDISCONNECTMODE_REJECT))
        << "refused, which is not the remote hanging up";
    // A name that does not exist fails the request itself: no call states.
    EXPECT_TRUE(rec.States(61).empty());
    EXPECT_EQ(callerEvents.DetailOf(62, LINECALLSTATE_DISCONNECTED), DWORD(LINEDISCONNECTMODE_BUSY));
    EXPECT_FALSE(callerEvents.HasState(62, LINECALLSTATE_CONNECTED));
    EXPECT_EQ(rec.States(60), (std::vector<DWORD>{LINECALLSTATE_DIALING, LINECALLSTATE_PROCEEDING,
                                                  LINECALLSTATE_DISCONNECTED}));
    // The line of the failed lookup is free again.
    ASSERT_EQ(provider->MakeCall(5, 1, 63, QStringLiteral("127.0.0.1:%1").arg(freePort), 0, {}), 0);

    // After the failure the application drops the call; it goes idle.
    ASSERT_EQ(provider->Drop(4, 60, {}), 0);
    EXPECT_EQ(rec.States(60).back(), DWORD(LINECALLSTATE_IDLE));
}

TEST_F(TcpLine, HostThatNeverAcceptsEndsNotAnsweredAtTheTimeLimit)
{
    // A listener whose queue is full drops further handshakes: the dialled
    // host stays silent.
    std::uint16_t port = 0;
    Listener(port, 0);
    Connect(port);
    Make({Config()});
    ASSERT_EQ(provider->OpenLine(0), 0);
    ASSERT_EQ(provider->MakeCall(1, 0, 70, QStringLiteral("127.0.0.1:%1").arg(port), 0, {}), 0);
    ASSERT_TRUE(Wait([&] { return rec.HasState(70, LINECALLSTATE_PROCEEDING); }, 2000));
    qv::test::PumpFor(20);
    clock->Advance(4000);
    qv::test::PumpFor(5);
    EXPECT_FALSE(rec.HasState(70, LINECALLSTATE_DISCONNECTED)) << "before the 5 s limit";
    clock->Advance(1000);
    ASSERT_TRUE(rec.HasState(70, LINECALLSTATE_DISCONNECTED));
    EXPECT_EQ(rec.DetailOf(70, LINECALLSTATE_DISCONNECTED), DWORD(LINEDISCONNECTMODE_NOANSWER));

    // The call's own no-answer time wins over the line's.
    ASSERT_EQ(provider->Drop(2, 70, {}), 0);
    provider->ReleaseCall(70);
    CallParamsData params;
    params.present = true;
    params.noAnswerTimeout = 1;
    ASSERT_EQ(provider->MakeCall(3, 0, 71, QStringLiteral("127.0.0.1:%1").arg(port), 0, params), 0);
    qv::test::PumpFor(5);
    clock->Advance(1000);
    EXPECT_EQ(rec.DetailOf(71, LINECALLSTATE_DISCONNECTED), DWORD(LINEDISCONNECTMODE_NOANSWER));
}

TEST_F(TcpLine, ListeningPortInUseFailsTheOpenCleanly)
{
    std::uint16_t port = 0;
    Listener(port);
    TcpLineConfig c = Config();
    c.listenPort = port;
    TcpLineConfig outgoingOnly = c;
    outgoingOnly.listen = false;
    Make({c, outgoingOnly});
    EXPECT_EQ(provider->OpenLine(0), LINEERR_RESOURCEUNAVAIL);
    EXPECT_EQ(provider->ListeningPort(0), 0);
    EXPECT_TRUE(provider->LineFailure(0).contains(
        QStringLiteral("127.0.0.1:%1: the address is already in use").arg(port)))
        << provider->LineFailure(0).toStdString();
    EXPECT_EQ(provider->OpenLine(1), 0) << "a line that does not listen opens anyway";
    EXPECT_EQ(provider->ListeningPort(1), 0);

    // An address that is not this host's (a documentation address: binding
    // to it sends nothing anywhere).
    TcpLineConfig foreign = Config();
    foreign.listenAddress = "192.0.2.1";
    TcpProvider other({foreign}, {});
    other.Attach(&rec);
    EXPECT_EQ(other.OpenLine(0), LINEERR_OPERATIONFAILED);
}

TEST_F(TcpLine, ClosingTheLineEndsTheCallEvenWhileACopyOfTheChannelIsHeld)
{
    Make({Config()});
    ASSERT_EQ(provider->OpenLine(0), 0);
    const std::uint16_t port = provider->ListeningPort(0);
    const int peer = Connect(port);
    ASSERT_TRUE(Wait([&] { return rec.HasState(1000, LINECALLSTATE_OFFERING); }));
    ASSERT_EQ(provider->Answer(1, 1000, {}), 0);
    const int copy = Track(::dup(DataChannel(1000)));
    const size_t before = rec.events.size();

    provider->CloseLine(0);
    EXPECT_TRUE(Wait([&] { return AtEndOfStream(peer); }));
    EXPECT_TRUE(AtEndOfStream(copy));
    EXPECT_EQ(rec.events.size(), before) << "a closed line reports nothing more";

    net::NetError error;
    const int late = Track(net::StartConnect({QHostAddress::LocalHost, port}, error));
    pollfd p{late, POLLOUT, 0};
    ASSERT_TRUE(Wait([&] { return ::poll(&p, 1, 0) > 0; }));
    EXPECT_EQ(net::ConnectResult(late), net::NetError::Refused) << "no longer listening";
}

TEST_F(TcpLine, TelnetLinesCallEachOtherEightBitCleanWithBackPressure)
{
    Make({Config(TcpMode::Telnet), Config(TcpMode::Telnet)});
    ASSERT_EQ(provider->OpenLine(0), 0);
    ASSERT_EQ(provider->OpenLine(1), 0);
    ASSERT_EQ(
        provider->MakeCall(1, 1, 90, QStringLiteral("127.0.0.1:%1").arg(provider->ListeningPort(0)), 0, {}),
        0);
    // The far copy rings, and the caller hears it ring until the answer.
    ASSERT_TRUE(Wait([&] { return rec.HasState(90, LINECALLSTATE_RINGBACK); }));
    ASSERT_TRUE(rec.HasState(1000, LINECALLSTATE_OFFERING));
    clock->Advance(TcpProvider::RingIntervalMs);
    qv::test::PumpFor(20, &*clock);
    EXPECT_FALSE(rec.HasState(90, LINECALLSTATE_CONNECTED));
    ASSERT_EQ(provider->Answer(2, 1000, {}), 0);
    ASSERT_TRUE(Wait([&] { return rec.HasState(90, LINECALLSTATE_CONNECTED); }));
    EXPECT_EQ(rec.States(90), (std::vector<DWORD>{LINECALLSTATE_DIALING, LINECALLSTATE_PROCEEDING,
                                                  LINECALLSTATE_RINGBACK, LINECALLSTATE_CONNECTED}));
    // Each side knows the other for a copy of this program; the caller knew
    // it before the connection was reported.
    EXPECT_LT(rec.IndexOf(ProviderEvent::DevSpecific, 90, devspecific::LineTraitsCode),
              rec.IndexOf(ProviderEvent::State, 90, LINECALLSTATE_CONNECTED));
    ASSERT_TRUE(Wait([&] { return LastTraits(1000) == devspecific::TraitPeerIsVhTerminal; }));
    EXPECT_EQ(LastTraits(90), devspecific::TraitPeerIsVhTerminal);

    const int a = DataChannel(90);
    const int b = DataChannel(1000);
    EXPECT_EQ(Pass(a, b, AllByteValues()), AllByteValues());
    EXPECT_EQ(Pass(b, a, AllByteValues()), AllByteValues());

    // Far more than the relay and the kernel's loopback buffers hold (a few
    // megabytes at most), written before the other side reads anything:
    // nothing may be lost or reordered.
    QByteArray big;
    for (int i = 0; i < 65536; ++i)
        big += AllByteValues().mid(i % 256) + AllByteValues().left(i % 256);
    qsizetype sent = 0;
    Wait([&] {
        const ssize_t n =
            ::send(a, big.constData() + sent, size_t(big.size() - sent), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            sent += n;
        return sent == big.size() || (n < 0 && errno == EAGAIN);
    });
    qv::test::PumpFor(50);
    EXPECT_LT(sent, big.size()) << "the writer is held back while nobody reads";
    const QByteArray got = Pass(a, b, big, sent);
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big);

    // Hanging up on one side ends the other, after what was sent before.
    ASSERT_EQ(::send(a, "last", 4, 0), 4);
    ASSERT_EQ(provider->Drop(3, 90, {}), 0);
    QByteArray tail;
    ASSERT_TRUE(Wait([&] {
        tail += ReadAvailable(b);
        return rec.HasState(1000, LINECALLSTATE_DISCONNECTED);
    }));
    tail += ReadAvailable(b);
    EXPECT_EQ(tail, "last");
    EXPECT_TRUE(Wait([&] { return AtEndOfStream(b); })) << "the phone reads the end of the stream";
}

TEST_F(TcpLine, AnUnansweredCallEndsAtTheLimitOnBothSides)
{
    TcpLineConfig callee = Config(TcpMode::Telnet), caller = Config(TcpMode::Telnet);
    Make({callee, caller});
    ASSERT_EQ(provider->OpenLine(0), 0);
    ASSERT_EQ(provider->OpenLine(1), 0);
    const QString number = QStringLiteral("127.0.0.1:%1").arg(provider->ListeningPort(0));
    ASSERT_EQ(provider->MakeCall(1, 1, 90, number, 0, {}), 0);
    ASSERT_TRUE(Wait([&] { return rec.HasState(90, LINECALLSTATE_RINGBACK); }));
    // The caller gives up at its limit; the offered call goes with it.
    clock->Advance(5000);
    ASSERT_TRUE(Wait([&] { return rec.HasState(1000, LINECALLSTATE_IDLE); }));
    EXPECT_EQ(rec.DetailOf(90, LINECALLSTATE_DISCONNECTED), DWORD(LINEDISCONNECTMODE_NOANSWER));
    EXPECT_FALSE(rec.HasState(90, LINECALLSTATE_CONNECTED));
    provider->ReleaseCall(90);
    provider->ReleaseCall(1000);

    // A callee that rings for a shorter time lets the call go first; its
    // caller hears that as no answer too.
    callee.connectTimeoutSeconds = 2;
    rec.events.clear();
    Make({callee, caller});
    ASSERT_EQ(provider->OpenLine(0), 0);
    ASSERT_EQ(provider->OpenLine(1), 0);
    ASSERT_EQ(
        provider->MakeCall(1, 1, 91, QStringLiteral("127.0.0.1:%1").arg(provider->ListeningPort(0)), 0, {}),
        0);
    ASSERT_TRUE(Wait([&] { return rec.HasState(91, LINECALLSTATE_RINGBACK); }));
    const CallId offered = rec.events[size_t(rec.IndexOf(ProviderEvent::NewCall, rec.nextCall - 1, 0))].call;
    clock->Advance(2000);
    ASSERT_TRUE(Wait([&] { return rec.HasState(91, LINECALLSTATE_DISCONNECTED); }));
    EXPECT_TRUE(rec.HasState(offered, LINECALLSTATE_IDLE));
    EXPECT_EQ(rec.DetailOf(91, LINECALLSTATE_DISCONNECTED), DWORD(LINEDISCONNECTMODE_NOANSWER));
}

TEST_F(TcpLine, EveryAddressOfANameHasItsShareOfTheTimeIpv6Included)
{
    // A v6 literal from the phonebook.
    net::NetError error;
    const int v6 = Track(net::Listen({QHostAddress::LocalHostIPv6, 0}, 8, error));
    if (v6 < 0)
        GTEST_SKIP() << "no IPv6 loopback here";
    TcpLineConfig patient = Config();
    patient.connectTimeoutSeconds = 20;
    Make({patient}, {{"7002", QStringLiteral("[::1]:%1").arg(net::LocalPort(v6))}});
    ASSERT_EQ(provider->OpenLine(0), 0);
    ASSERT_EQ(provider->MakeCall(1, 0, 95, "7002", 0, {}), 0);
    AcceptOne(v6);
    ASSERT_TRUE(Wait([&] { return rec.HasState(95, LINECALLSTATE_CONNECTED); }));
    CallInfoData info;
    ASSERT_EQ(provider->GetCallInfo(95, info), 0);
    EXPECT_EQ(info.connected.number, QStringLiteral("[::1]:%1").arg(net::LocalPort(v6)));
    ASSERT_EQ(provider->Drop(2, 95, {}), 0);
    provider->ReleaseCall(95);

    // A name of both loopbacks on one port: the v6 one never accepts (its
    // queue is full), the v4 one does.
    std::uint16_t port = 0;
    const int v4 = Listener(port);
    const int silent = Track(net::Listen({QHostAddress::LocalHostIPv6, port}, 0, error));
    ASSERT_GE(silent, 0);
    Track(net::StartConnect({QHostAddress::LocalHostIPv6, port}, error));
    provider->SetHostLookup([](const QString& host) {
        return host == "both.example"
                   ? QList<QHostAddress>{QHostAddress::LocalHostIPv6, QHostAddress::LocalHost}
                   : QList<QHostAddress>{};
    });
    ASSERT_EQ(provider->MakeCall(3, 0, 96, QStringLiteral("both.example:%1").arg(port), 0, {}), 0);
    ASSERT_TRUE(Wait([&] { return rec.HasState(96, LINECALLSTATE_PROCEEDING); }));
    const std::int64_t start = clock->MonotonicMs();
    ASSERT_TRUE(qv::test::PumpUntil([&] { return rec.HasState(96, LINECALLSTATE_CONNECTED); }, &*clock, 100));
    const std::int64_t took = clock->MonotonicMs() - start;
    EXPECT_GE(took, 10000) << "the silent address had half of the 20 s";
    EXPECT_LT(took, 12000);
    AcceptOne(v4);
}

TEST_F(TcpLine, APlainTelnetClientRefusesOurOptionAndGetsNvtLineEnds)
{
    Make({Config(TcpMode::Telnet)});
    ASSERT_EQ(provider->OpenLine(0), 0);
    const int peer = Connect(provider->ListeningPort(0));
    ASSERT_TRUE(Wait([&] { return rec.HasState(1000, LINECALLSTATE_OFFERING); }));
    // While it rings: our offer, then our opening.
    const QByteArray opening("\xff\xfb\x56\xff\xfb\x00\xff\xfd\x00\xff\xfb\x03\xff\xfd\x03", 15);
    QByteArray wire;
    ASSERT_TRUE(Wait([&] {
        wire += ReadAvailable(peer);
        return wire.size() >= opening.size();
    }));
    EXPECT_EQ(wire, opening);
    // The client refuses our option and BINARY, agrees SGA, and asks us to
    // echo, which we do not.
    const QByteArray reply("\xff\xfe\x56\xff\xfe\x00\xff\xfc\x00\xff\xfd\x03\xff\xfb\x03\xff\xfd\x01", 18);
    ASSERT_EQ(::send(peer, reply.constData(), size_t(reply.size()), 0), reply.size());
    ASSERT_TRUE(Wait([&] {
        wire += ReadAvailable(peer);
        return wire.size() >= opening.size() + 3;
    }));
    EXPECT_EQ(wire.mid(opening.size()), QByteArray("\xff\xfc\x01", 3));
    ASSERT_EQ(provider->Answer(1, 1000, {}), 0);
    const int channel = DataChannel(1000);

    // Not binary either way: line ends follow the NVT rules, and the answer
    // goes unannounced to a client that is no copy of ours.
    ASSERT_EQ(::write(channel, "ls\r\nx\ry\r", 8), 8);
    QByteArray out;
    ASSERT_TRUE(Wait([&] {
        out += ReadAvailable(peer);
        return out.size() >= 10;
    }));
    EXPECT_EQ(out, QByteArray("ls\r\nx\r\0y\r\0", 10));
    const QByteArray in("p\r\0q\r\n\xff\xff", 8);
    ASSERT_EQ(::send(peer, in.constData(), size_t(in.size()), 0), in.size());
    QByteArray got;
    ASSERT_TRUE(Wait([&] {
        got += ReadAvailable(channel);
        return got.size() >= 6;
    }));
    EXPECT_EQ(got, QByteArray("p\rq\r\n\xff", 6));
    EXPECT_EQ(LastTraits(1000), ~0u) << "nothing known beyond the defaults";

    // A server's Synch: IAC DM sent as TCP urgent data, whichever of the two
    // bytes it marks (servers of BSD descent mark the IAC). Neither is call
    // data, and nothing around them is lost.
    ASSERT_EQ(::send(peer, "a", 1, 0), 1);
    ASSERT_EQ(::send(peer, "\xff\xf2", 2, MSG_OOB), 2);
    ASSERT_EQ(::send(peer, "b", 1, 0), 1);
    got.clear();
    ASSERT_TRUE(Wait([&] {
        got += ReadAvailable(channel);
        return got.size() >= 2;
    }));
    EXPECT_EQ(got, "ab");
    ASSERT_EQ(::send(peer, "\xff", 1, MSG_OOB), 1);
    ASSERT_EQ(::send(peer,
                     "\xf2"
                     "c",
                     2, 0),
              2);
    got.clear();
    ASSERT_TRUE(Wait([&] {
        got += ReadAvailable(channel);
        return !got.isEmpty();
    }));
    EXPECT_EQ(got, "c");

    // A terminal block that does not decode is refused.
    const QByteArray terminal = devspecific::EncodeTerminalInfo({{QByteArrayLiteral("ANSI")}, 80, 24});
    EXPECT_EQ(provider->DevSpecific(2, 0, 0, 0, terminal.left(terminal.size() - 1)), LINEERR_INVALPARAM);
    EXPECT_EQ(provider->DevSpecific(3, 0, 0, 0, terminal), 0);
}

TEST_F(TcpLine, ConfigurationBlockRoundTripsAndRefusesBadValues)
{
    TcpLineConfig c = Config();
    c.listenPort = 2399;
    Make({c});
    QByteArray block;
    ASSERT_EQ(provider->GetDevConfig(0, "comm/datamodem", block), 0);
    ASSERT_EQ(block.size(), ConfigBlockSize);
    // The phone's speaker word at 84 survives a round trip.
    block[84] = 3;
    block[96] = 0; // raw
    ASSERT_EQ(provider->SetDevConfig(0, "comm/datamodem", block), 0);
    EXPECT_EQ(provider->LineConfig(0).mode, TcpMode::Raw);
    QByteArray again;
    ASSERT_EQ(provider->GetDevConfig(0, "comm/datamodem", again), 0);
    EXPECT_EQ(again, block);

    QByteArray bad = block;
    bad[104] = 0;
    bad[105] = 0; // port 0
    EXPECT_EQ(provider->SetDevConfig(0, "comm/datamodem", bad), LINEERR_INVALPARAM);
    EXPECT_EQ(provider->SetDevConfig(0, "comm/datamodem", block.left(100)), LINEERR_INVALPARAM);
    EXPECT_EQ(provider->GetDevConfig(0, "wave/in", again), LINEERR_INVALDEVICECLASS);
}

} // namespace
