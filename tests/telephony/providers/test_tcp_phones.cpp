// Two phone components on two tcp lines of one service, calling each other
// over loopback the way the terminal window drives them: dial, answer on the
// second ring, open the linked serial ports, talk, hang up.
#include "serial/QvSerialPort.h"
#include "telephony/QvPhone.h"
#include "telephony/service/Service.h"
#include "telephony/service/providers/tcp/TcpProvider.h"
#include "telephony/service/providers/tcp/TcpSocket.h"
#include "tests/telephony/providers/TcpTestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <unistd.h>

namespace {

using namespace qv;
using namespace qv::tcp;

QByteArray AllByteValues()
{
    QByteArray b;
    for (int i = 0; i < 256; ++i)
        b.append(char(i));
    return b;
}

// One terminal's worth of components, wired as the main window wires them.
struct Terminal
{
    QvPhone phone;
    QvSerialPort port;
    std::vector<TCallState> states;
    std::vector<int> firstParams;
    std::vector<std::pair<TLineState, int>> lineStates;
    std::vector<TLineTraits> traits;
    QByteArray received;
    int rings = 0;
    int answerOnRing = 0; // 0: never

    Terminal()
    {
        port.SetLinkedTo(&phone);
        phone.SetMediaMode(mmData);
        phone.SetOnCallState([this](QvPhone*, TCallState state, int param1, int, int) {
            states.push_back(state);
            firstParams.push_back(param1);
            if (state == csRing && ++rings == answerOnRing)
                phone.Answer(0);
        });
        phone.SetOnLineState(
            [this](QvPhone*, TLineState state, int param1) { lineStates.emplace_back(state, param1); });
        phone.SetOnLineTraits([this](QvPhone*, TLineTraits t, int call) {
            EXPECT_EQ(call, phone.CurrentCallHandle());
            traits.push_back(t);
        });
        // The window stops the port before the call is dropped.
        phone.SetOnBeforeDisconnect([this](QvPhone*, int) { port.Close(); });
        port.SetOnReceiveData(
            [this](TComponent*, char* data, int size, WindowHandle&) { received.append(data, size); });
    }

    bool Saw(TCallState state) const
    {
        return std::find(states.begin(), states.end(), state) != states.end();
    }
    int ParamOf(TCallState state) const
    {
        for (size_t i = 0; i < states.size(); ++i)
            if (states[i] == state)
                return firstParams[i];
        return -1;
    }
    void Forget()
    {
        states.clear();
        firstParams.clear();
        lineStates.clear();
        traits.clear();
        received.clear();
        rings = 0;
    }
};

class TcpPhones : public ::testing::Test
{
protected:
    TcpPhones()
    {
        tapi::Service::Uninstall();
        TcpLineConfig line;
        line.listenPort = 0;
        line.mode = TcpMode::Telnet;
        line.connectTimeoutSeconds = 5;
        auto provider = std::make_unique<TcpProvider>(std::vector<TcpLineConfig>{line, line, line},
                                                      QMap<QString, QString>{});
        tcp = provider.get();
        EXPECT_TRUE(tapi::Service::Install(std::move(provider)));
        a = std::make_unique<Terminal>();
        b = std::make_unique<Terminal>();
        EXPECT_EQ(a->phone.LineActive(0, true), 0);
        EXPECT_EQ(b->phone.LineActive(1, true), 0);
        Wait([] { return tapi::Service::PendingMessages() == 0; });
    }
    ~TcpPhones() override
    {
        a.reset();
        b.reset();
        tapi::Service::Uninstall();
        for (int fd : fds)
            ::close(fd);
    }

    template <class P> bool Wait(P done, int boundMs = 15000)
    {
        return qv::test::PumpUntil(done, &*clock, 10, boundMs);
    }

    // How the window dials a tcp line: digits only.
    QByteArray NumberOf(int line) const
    {
        return "127000000001" + QByteArray::number(tcp->ListeningPort(line));
    }

    void OpenPorts()
    {
        ASSERT_EQ(a->port.Open(0), 0);
        ASSERT_EQ(b->port.Open(0), 0);
        ASSERT_TRUE(Wait([&] { return a->port.IsOpened() && b->port.IsOpened(); }));
    }

    qv::ScopedVirtualClock clock;
    TcpProvider* tcp = nullptr;
    std::unique_ptr<Terminal> a, b;
    std::vector<int> fds;
};

TEST_F(TcpPhones, CallAnsweredOnTheSecondRingCarriesBytesAndEndsFromEitherSide)
{
    b->answerOnRing = 2;
    ASSERT_EQ(a->phone.DialNumber(NumberOf(1), 5), 0);
    ASSERT_TRUE(Wait([&] { return a->Saw(csConnected) && b->Saw(csConnected); }));
    // The caller hears the far copy ring, and is connected at its answer.
    EXPECT_EQ(a->states, (std::vector<TCallState>{csDialing, csProceeding, csRingBack, csConnected}));
    EXPECT_EQ(b->states, (std::vector<TCallState>{csOffering, csRing, csRing, csConnected}));
    EXPECT_EQ(b->firstParams[2], 2) << "the second ring";
    EXPECT_EQ(a->ParamOf(csConnected), 1) << "a data call";
    // Each knows the other for a copy of this program: no remote echo, and
    // the window's own CR LF.
    TLineTraits copy;
    copy.PeerIsVhTerminal = true;
    ASSERT_TRUE(Wait([&] { return !b->traits.empty(); }));
    EXPECT_EQ(a->traits, std::vector<TLineTraits>{copy});
    EXPECT_EQ(b->traits, std::vector<TLineTraits>{copy});
    EXPECT_EQ(a->phone.LineTraits(), copy);

    OpenPorts();
    ASSERT_EQ(a->port.SendString("hello B\r\n"), 0);
    ASSERT_TRUE(Wait([&] { return b->received.size() >= 9; }));
    EXPECT_EQ(b->received, "hello B\r\n");
    const QByteArray all = AllByteValues();
    ASSERT_EQ(b->port.SendData(all.constData(), int(all.size())), 0);
    ASSERT_EQ(a->port.SendData(all.constData(), int(all.size())), 0);
    ASSERT_TRUE(Wait([&] { return a->received.size() >= 256 && b->received.size() >= 9 + 256; }));
    EXPECT_EQ(a->received, all);
    EXPECT_EQ(b->received.mid(9), all);

    // The caller hangs up; the other side sees the remote go and hangs up
    // itself (AutoDisconnect).
    ASSERT_EQ(a->phone.Hangup(), 0);
    ASSERT_TRUE(Wait([&] { return a->Saw(csDisconnected) && b->Saw(csDisconnected); }));
    EXPECT_TRUE(b->Saw(csRemotePartyDisconnected));
    EXPECT_EQ(a->phone.NumberOfActiveCalls(), 0);
    EXPECT_EQ(b->phone.NumberOfActiveCalls(), 0);
    EXPECT_EQ(b->phone.LineTraits(), TLineTraits{}) << "forgotten with the call";

    // And back the other way, hung up by the one who answered.
    a->Forget();
    b->Forget();
    a->answerOnRing = 2;
    ASSERT_EQ(b->phone.DialNumber(NumberOf(0), 6), 0);
    ASSERT_TRUE(Wait([&] { return a->Saw(csConnected) && b->Saw(csConnected); }));
    OpenPorts();
    ASSERT_EQ(a->port.SendString("hi"), 0);
    ASSERT_TRUE(Wait([&] { return b->received == "hi"; }));
    ASSERT_EQ(a->phone.Hangup(), 0);
    ASSERT_TRUE(Wait([&] { return a->Saw(csDisconnected) && b->Saw(csDisconnected); }));
    EXPECT_TRUE(b->Saw(csRemotePartyDisconnected));
}

TEST_F(TcpPhones, TheCallersAddressReachesTheAnsweringPhoneAsCallerId)
{
    struct Id
    {
        int error;
        QString number;
        int call;
    };
    std::vector<Id> ids;
    b->phone.SetOnCallerID([&](QvPhone*, int error, QString number, QString, int call) {
        ids.push_back({error, number, call});
    });
    ASSERT_EQ(a->phone.DialNumber(NumberOf(1), 0), 0);
    ASSERT_TRUE(Wait([&] { return b->rings >= 2 && !ids.empty(); }));
    ASSERT_EQ(ids.size(), 1u) << "reported once per call, not at every ring";
    EXPECT_EQ(ids[0].error, 0);
    EXPECT_EQ(ids[0].number, "127.0.0.1");
    EXPECT_EQ(ids[0].call, b->phone.CurrentCallHandle());
    ASSERT_EQ(a->phone.Hangup(), 0);
    ASSERT_TRUE(Wait([&] { return b->Saw(csOfferedCallDropped); }));

    // A new call is a new report.
    ASSERT_EQ(a->phone.DialNumber(NumberOf(1), 0), 0);
    ASSERT_TRUE(Wait([&] { return ids.size() == 2; }));
    EXPECT_EQ(ids[1].number, "127.0.0.1");
}

TEST_F(TcpPhones, CallerWhoGivesUpBeforeTheAnswerIsAnOfferedCallDropped)
{
    ASSERT_EQ(a->phone.DialNumber(NumberOf(1), 0), 0);
    ASSERT_TRUE(Wait([&] { return b->Saw(csRing) && a->Saw(csRingBack); }));
    ASSERT_EQ(a->phone.Hangup(), 0);
    ASSERT_TRUE(Wait([&] { return b->Saw(csOfferedCallDropped); }));
    EXPECT_EQ(b->phone.NumberOfActiveCalls(), 0);
    EXPECT_FALSE(b->Saw(csConnected));
    EXPECT_FALSE(a->Saw(csConnected));
}

TEST_F(TcpPhones, AnUnansweredCallEndsAtTheLimitOnBothSides)
{
    ASSERT_EQ(a->phone.DialNumber(NumberOf(1), 0), 0);
    ASSERT_TRUE(Wait([&] { return a->Saw(csRingBack) && b->Saw(csRing); }));
    const std::int64_t rang = clock->MonotonicMs();
    ASSERT_TRUE(Wait([&] { return a->Saw(csDisconnected) && b->Saw(csOfferedCallDropped); }));
    EXPECT_GE(clock->MonotonicMs() - rang, 4500) << "the line's 5 s";
    // Not answered is neither connected nor the remote hanging up.
    EXPECT_FALSE(a->Saw(csConnected));
    EXPECT_FALSE(a->Saw(csRemotePartyDisconnected));
    EXPECT_EQ(a->ParamOf(csBusy), 167);
    EXPECT_EQ(b->phone.NumberOfActiveCalls(), 0);
    EXPECT_EQ(a->phone.NumberOfActiveCalls(), 0);
}

TEST_F(TcpPhones, ANumberWithoutDigitsIsRefusedAtOnceAndTheLineStaysFree)
{
    EXPECT_EQ(a->phone.DialNumber("", 0), 155);
    EXPECT_EQ(a->phone.DialNumber("  ", 0), 155);
    a->phone.SetWaitForDialTone(true);
    EXPECT_EQ(a->phone.DialNumber("", 0), 155) << "a lone W is no number either";
    Wait([] { return tapi::Service::PendingMessages() == 0; });
    EXPECT_EQ(a->phone.NumberOfActiveCalls(), 0);
    EXPECT_TRUE(a->states.empty());

    // The line takes calls both ways, the wait for dial tone costing nothing.
    b->answerOnRing = 1;
    ASSERT_EQ(a->phone.DialNumber(NumberOf(1), 0), 0);
    ASSERT_TRUE(Wait([&] { return a->Saw(csConnected); }));
    ASSERT_EQ(a->phone.Hangup(), 0);
    ASSERT_TRUE(Wait([&] { return a->Saw(csDisconnected) && b->Saw(csDisconnected); }));
    a->answerOnRing = 1;
    ASSERT_EQ(b->phone.DialNumber(NumberOf(0), 0), 0);
    ASSERT_TRUE(Wait([&] { return a->Saw(csRing) && b->Saw(csConnected); }));
}

TEST_F(TcpPhones, ATelnetServerLearnsTheTerminalAndThePhoneLearnsItsEcho)
{
    net::NetError error;
    const int listener = net::Listen({QHostAddress::LocalHost, 0}, 1, error);
    fds.push_back(listener);
    ASSERT_EQ(a->phone.SetTerminalInfo({"ANSI", "VT100"}, 100, 30), 0);
    EXPECT_EQ(a->phone.SetTerminalInfo({"AN SI"}, 100, 30), -10);
    ASSERT_EQ(a->phone.DialNumber(QByteArray("127.0.0.1:") + QByteArray::number(net::LocalPort(listener)), 0),
              0);
    int server = -1;
    net::Endpoint peer;
    ASSERT_TRUE(Wait([&] { return (server = net::Accept(listener, peer, error)) >= 0; }));
    fds.push_back(server);
    // A server that echoes, takes binary input, and asks for the terminal.
    const QByteArray asks("\xff\xfb\x01\xff\xfb\x03\xff\xfd\x00\xff\xfd\x18\xff\xfd\x1f"
                          "\xff\xfa\x18\x01\xff\xf0\xff\xfa\x18\x01\xff\xf0",
                          27);
    ASSERT_EQ(::send(server, asks.constData(), size_t(asks.size()), 0), asks.size());
    ASSERT_TRUE(Wait([&] { return a->Saw(csConnected); }));
    QByteArray wire;
    auto heard = [&](const QByteArray& what) {
        return Wait([&] {
            wire += qv::test::ReadAvailable(server);
            return wire.contains(what);
        });
    };
    EXPECT_TRUE(heard(QByteArray("\xff\xfa\x1f\x00\x64\x00\x1e\xff\xf0", 9))) << "NAWS 100x30";
    EXPECT_TRUE(heard(QByteArray("\xff\xfa\x18\x00"
                                 "ANSI\xff\xf0\xff\xfa\x18\x00"
                                 "VT100\xff\xf0",
                                 21)));
    TLineTraits echoing;
    echoing.RemoteEcho = true;
    echoing.Newline = "\r";
    ASSERT_TRUE(Wait([&] { return !a->traits.empty() && a->traits.back() == echoing; }));
    EXPECT_EQ(a->phone.LineTraits(), echoing);

    // The window grows during the call: the server hears the new size.
    ASSERT_EQ(a->phone.SetTerminalInfo({"ANSI", "VT100"}, 132, 43), 0);
    EXPECT_TRUE(heard(QByteArray("\xff\xfa\x1f\x00\x84\x00\x2b\xff\xf0", 9))) << "NAWS 132x43";
}

TEST_F(TcpPhones, FailedCallsEachEndTheirOwnWay)
{
    // Busy: line 2 of ours already has a caller.
    QvPhone third;
    third.SetMediaMode(mmData);
    ASSERT_EQ(third.LineActive(2, true), 0);
    net::NetError error;
    const int occupant = net::StartConnect({QHostAddress::LocalHost, tcp->ListeningPort(2)}, error);
    fds.push_back(occupant);
    ASSERT_TRUE(Wait([&] { return third.NumberOfActiveCalls() == 1; }));
    ASSERT_EQ(a->phone.DialNumber(NumberOf(2), 0), 0);
    ASSERT_TRUE(Wait([&] { return a->Saw(csDisconnected); }));
    EXPECT_TRUE(a->Saw(csBusy));
    EXPECT_FALSE(a->Saw(csConnected));

    // Unknown host: the dial itself fails as an invalid number, before any
    // call exists.
    a->Forget();
    ASSERT_EQ(a->phone.DialNumber("nosuchhost.invalid:2323", 0), 0);
    // The lookup takes real time; virtual time stands still meanwhile, so
    // that the line's time limit cannot overtake it.
    ASSERT_TRUE(qv::test::PumpUntil([&] { return !a->lineStates.empty(); }, nullptr, 0, 15000));
    EXPECT_EQ(a->lineStates.front(), std::make_pair(lsError, 155));
    EXPECT_TRUE(a->states.empty());
    EXPECT_EQ(a->phone.NumberOfActiveCalls(), 0);

    // Refused: nobody listens there, which is reported at once.
    a->Forget();
    std::uint16_t freePort = 0;
    {
        const int fd = net::Listen({QHostAddress::LocalHost, 0}, 1, error);
        freePort = net::LocalPort(fd);
        net::Close(fd);
    }
    const std::int64_t start = clock->MonotonicMs();
    ASSERT_EQ(a->phone.DialNumber("127000000001" + QByteArray::number(freePort), 0), 0);
    ASSERT_TRUE(Wait([&] { return a->Saw(csDisconnected); }));
    EXPECT_FALSE(a->Saw(csRemotePartyDisconnected));
    EXPECT_EQ(a->ParamOf(csBusy), 165) << "refused, with its own message";
    EXPECT_LT(clock->MonotonicMs() - start, 5000);

    // Silent: the host never accepts; the line gives up at its time limit.
    a->Forget();
    const int silent = net::Listen({QHostAddress::LocalHost, 0}, 0, error);
    fds.push_back(silent);
    const int filler = net::StartConnect({QHostAddress::LocalHost, net::LocalPort(silent)}, error);
    fds.push_back(filler);
    ASSERT_EQ(a->phone.DialNumber("127000000001" + QByteArray::number(net::LocalPort(silent)), 0), 0);
    ASSERT_TRUE(Wait([&] { return a->Saw(csProceeding); }));
    const std::int64_t dialled = clock->MonotonicMs();
    ASSERT_TRUE(Wait([&] { return a->Saw(csDisconnected); }));
    EXPECT_EQ(a->ParamOf(csBusy), 167) << "not answered";
    EXPECT_GE(clock->MonotonicMs() - dialled, 4900);
}

// The same two lines through the service's own functions: every
// "comm/datamodem" handle is the application's own copy, and closing it
// leaves the call and the line's descriptor alone.
struct LineMessage
{
    tapi::DWORD device, message;
    tapi::DWORD_PTR p1, p2;
};
std::vector<LineMessage> g_messages;

void RecordMessage(tapi::DWORD device, tapi::DWORD message, tapi::DWORD_PTR, tapi::DWORD_PTR p1,
                   tapi::DWORD_PTR p2, tapi::DWORD_PTR)
{
    g_messages.push_back({device, message, p1, p2});
}

tapi::HCALL CallIn(tapi::DWORD state)
{
    for (const auto& m : g_messages)
        if (m.message == tapi::LINE_CALLSTATE && m.p1 == state)
            return m.device;
    return 0;
}

int CommHandle(tapi::HCALL call)
{
    alignas(8) std::array<char, 256> buffer{};
    auto* vs = reinterpret_cast<tapi::VARSTRING*>(buffer.data());
    vs->dwTotalSize = tapi::DWORD(buffer.size());
    if (tapi::lineGetIDW(0, 0, call, tapi::LINECALLSELECT_CALL, vs, u"comm/datamodem") != 0)
        return -1;
    EXPECT_EQ(vs->dwStringFormat, tapi::DWORD(tapi::STRINGFORMAT_BINARY));
    tapi::DWORD fd = 0;
    std::memcpy(&fd, buffer.data() + vs->dwStringOffset, sizeof fd);
    return int(fd);
}

TEST(TcpService, ClosingAnApplicationsChannelCopyLeavesTheCallRunning)
{
    qv::ScopedVirtualClock clock;
    auto wait = [&](auto done) { return qv::test::PumpUntil(done, &*clock, 10, 15000); };
    g_messages.clear();
    tapi::Service::Uninstall();
    TcpLineConfig line;
    line.listenPort = 0;
    line.mode = TcpMode::Raw;
    auto owned =
        std::make_unique<TcpProvider>(std::vector<TcpLineConfig>{line, line}, QMap<QString, QString>{});
    TcpProvider& tcp = *owned;
    ASSERT_TRUE(tapi::Service::Install(std::move(owned)));

    tapi::HLINEAPP app = 0;
    tapi::DWORD lines = 0, version = 0x00020002;
    tapi::LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwOptions = tapi::LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    ASSERT_EQ(tapi::lineInitializeExW(&app, nullptr, RecordMessage, u"tcp test", &lines, &version, &params),
              0);
    ASSERT_EQ(lines, 2u);
    tapi::HLINE callee = 0, caller = 0;
    ASSERT_EQ(tapi::lineOpenW(app, 0, &callee, 0x00020002, 0, 0, tapi::LINECALLPRIVILEGE_OWNER,
                              tapi::LINEMEDIAMODE_DATAMODEM, nullptr),
              0);
    ASSERT_EQ(tapi::lineOpenW(app, 1, &caller, 0x00020002, 0, 0, tapi::LINECALLPRIVILEGE_NONE,
                              tapi::LINEMEDIAMODE_DATAMODEM, nullptr),
              0);
    tapi::HCALL outgoing = 0;
    const std::u16string number = QStringLiteral("127.0.0.1:%1").arg(tcp.ListeningPort(0)).toStdU16String();
    ASSERT_GT(tapi::lineMakeCallW(caller, &outgoing, number.c_str(), 0, nullptr), 0);
    ASSERT_TRUE(wait([] { return CallIn(tapi::LINECALLSTATE_OFFERING) != 0; }));
    const tapi::HCALL incoming = CallIn(tapi::LINECALLSTATE_OFFERING);
    ASSERT_GT(tapi::lineAnswer(incoming, nullptr, 0), 0);
    ASSERT_TRUE(wait([&] {
        int connected = 0;
        for (const auto& m : g_messages)
            connected += m.message == tapi::LINE_CALLSTATE && m.p1 == tapi::LINECALLSTATE_CONNECTED;
        return connected == 2;
    }));

    const int out = CommHandle(outgoing);
    const int first = CommHandle(incoming);
    ASSERT_GE(out, 0);
    ASSERT_GE(first, 0);
    ::close(first); // what the phone does when its call goes idle
    const int second = CommHandle(incoming);
    ASSERT_GE(second, 0);
    ASSERT_EQ(::write(out, "after", 5), 5);
    QByteArray got;
    ASSERT_TRUE(wait([&] {
        got += qv::test::ReadAvailable(second);
        return got.size() >= 5;
    }));
    EXPECT_EQ(got, "after");

    // Shutting the application down closes the connections for real, while
    // copies of both ends are still held.
    ASSERT_EQ(tapi::lineShutdown(app), 0);
    EXPECT_TRUE(wait([&] { return qv::test::AtEndOfStream(second) && qv::test::AtEndOfStream(out); }));
    ::close(second);
    ::close(out);
    tapi::Service::Uninstall();
}

} // namespace
