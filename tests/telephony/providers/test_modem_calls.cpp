// Two modem lines calling each other through the telephony service, on
// virtual modems on the test's own thread: nothing of the line waits on its
// tty, so the modems get their turns. Everything goes through the service
// API, as an application sees it.
#include "telephony/service/Service.h"
#include "telephony/service/Tapi.h"
#include "telephony/service/providers/modem/ModemProvider.h"
#include "tests/support/VirtualModem.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QtEndian>

#include <cerrno>
#include <unistd.h>

namespace {

using namespace tapi;
using namespace qv::modem;
using qv::test::VirtualModem;
using qv::test::WaitUntil;

struct Msg
{
    DWORD device;
    DWORD message;
    DWORD_PTR instance;
    DWORD_PTR p1;
    DWORD_PTR p2;
    DWORD_PTR p3;
};

std::vector<Msg>& Messages()
{
    static std::vector<Msg> messages;
    return messages;
}

void Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3)
{
    Messages().push_back({device, message, instance, p1, p2, p3});
}

constexpr DWORD_PTR InstanceA = 0xA;
constexpr DWORD_PTR InstanceB = 0xB;

class ModemCalls : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Messages().clear();
        std::vector<ModemLineConfig> lines;
        for (int i = 0; i < 3; ++i) {
            m_modems.push_back(std::make_unique<VirtualModem>());
            QString error;
            ASSERT_TRUE(m_modems.back()->Start(&error)) << error.toStdString();
            m_modems.back()->SetRingIntervalMs(300);
            ModemLineConfig config;
            config.name = QStringLiteral("Modem %1").arg(i);
            config.device = m_modems.back()->DevicePath();
            config.lockDir = m_lockDir.path();
            // A short escape guard time and a short wait for the far modem.
            config.init = "ATZS12=10S7=5";
            lines.push_back(config);
        }
        m_modems[0]->AddDirectoryEntry("200", m_modems[1]->Port());
        m_modems[1]->AddDirectoryEntry("100", m_modems[0]->Port());
        m_modems[0]->SetOwnNumber("100", "CALLER A");
        m_modems[2]->SetFault(VirtualModem::Fault::Silent);

        auto provider = std::make_unique<ModemProvider>(lines);
        ModemTimings timings;
        timings.probeMs = 400;
        timings.guardMs = 400;
        timings.ringGapMs = 2500;
        timings.carrierPollMs = 100;
        provider->SetTimings(timings);
        m_provider = provider.get();
        ASSERT_TRUE(Service::Install(std::move(provider)));

        LINEINITIALIZEEXPARAMS params{};
        params.dwTotalSize = sizeof params;
        params.dwOptions = LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
        DWORD version = TAPI_VERSION_2_2;
        DWORD devs = 0;
        ASSERT_EQ(lineInitializeExW(&m_app, nullptr, Callback, nullptr, &devs, &version, &params), 0);
        ASSERT_EQ(devs, 3u);
        m_lineA = Open(0, InstanceA);
        m_lineB = Open(1, InstanceB);
        ASSERT_NE(m_lineA, 0u);
        ASSERT_NE(m_lineB, 0u);
        ASSERT_TRUE(WaitUp(0));
        ASSERT_TRUE(WaitUp(1));
    }

    // The line's modem has been brought up: its speaker commands came last.
    bool WaitUp(int modem)
    {
        return WaitUntil([&] { return Log(modem).endsWith("ATL2M1\r"); }, 10000);
    }
    QByteArray Log(int modem) const { return m_modems[size_t(modem)]->CommandLog(); }

    void TearDown() override
    {
        if (m_app)
            lineShutdown(m_app);
        Service::Uninstall();
        for (int fd : m_fds)
            ::close(fd);
    }

    HLINE Open(DWORD device, DWORD_PTR instance)
    {
        HLINE line = 0;
        const LONG r =
            lineOpenW(m_app, device, &line, TAPI_VERSION_2_2, 0, instance,
                      LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR, LINEMEDIAMODE_DATAMODEM, nullptr);
        if (r != 0)
            return 0;
        lineSetStatusMessages(line, LINEDEVSTATE_RINGING, 0);
        return line;
    }

    // Index of the first message after `from` that matches.
    static int Find(DWORD message, std::function<bool(const Msg&)> match, size_t from = 0)
    {
        const auto& all = Messages();
        for (size_t i = from; i < all.size(); ++i)
            if (all[i].message == message && match(all[i]))
                return int(i);
        return -1;
    }
    static int FindState(HCALL call, DWORD state, size_t from = 0)
    {
        return Find(
            LINE_CALLSTATE, [&](const Msg& m) { return m.device == call && m.p1 == state; }, from);
    }
    static bool WaitState(HCALL call, DWORD state, int boundMs = 10000)
    {
        return WaitUntil([&] { return FindState(call, state) >= 0; }, boundMs);
    }
    static bool WaitReply(LONG request, LONG result = 0)
    {
        return WaitUntil(
            [&] {
                return Find(LINE_REPLY,
                            [&](const Msg& m) { return LONG(m.p1) == request && LONG(m.p2) == result; }) >= 0;
            },
            10000);
    }
    // The call offered on the line opened with `instance`, after message `from`.
    static HCALL WaitOffered(DWORD_PTR instance, size_t from = 0)
    {
        int at = -1;
        WaitUntil([&] {
            at = Find(
                LINE_CALLSTATE,
                [&](const Msg& m) { return m.instance == instance && m.p1 == LINECALLSTATE_OFFERING; }, from);
            return at >= 0;
        });
        return at < 0 ? 0 : HCALL(Messages()[size_t(at)].device);
    }

    // The call's data channel, as the serial port would take it.
    int DataChannel(HCALL call)
    {
        std::vector<std::uint8_t> buffer(256);
        auto* vs = reinterpret_cast<VARSTRING*>(buffer.data());
        vs->dwTotalSize = DWORD(buffer.size());
        if (lineGetIDW(0, 0, call, LINECALLSELECT_CALL, vs, u"comm/datamodem") != 0)
            return -1;
        const int fd = int(qFromLittleEndian<quint32>(buffer.data() + vs->dwStringOffset));
        m_fds.push_back(fd);
        return fd;
    }

    static QByteArray ReadUntil(int fd, const QByteArray& wanted)
    {
        QByteArray got;
        WaitUntil([&] {
            char chunk[4096];
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n > 0)
                got.append(chunk, int(n));
            return got.contains(wanted);
        });
        return got;
    }

    static bool WriteAll(int fd, const QByteArray& bytes)
    {
        return ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }

    // A places a call to B, B answers; both connected.
    void Connect(HCALL& a, HCALL& b, HLINE from, const char16_t* number)
    {
        const size_t mark = Messages().size();
        const LONG request = lineMakeCallW(from, &a, number, 0, nullptr);
        ASSERT_GT(request, 0);
        ASSERT_TRUE(WaitReply(request));
        const DWORD_PTR callee = from == m_lineA ? InstanceB : InstanceA;
        b = WaitOffered(callee, mark);
        ASSERT_NE(b, 0u);
        // Answered on the second ring, as the terminal does by default.
        ASSERT_TRUE(WaitUntil([&] {
            return Find(
                       LINE_LINEDEVSTATE,
                       [&](const Msg& m) {
                           return m.instance == callee && m.p1 == LINEDEVSTATE_RINGING && m.p3 == 2;
                       },
                       mark) >= 0;
        }));
        const LONG answer = lineAnswer(b, nullptr, 0);
        ASSERT_GT(answer, 0);
        ASSERT_TRUE(WaitState(b, LINECALLSTATE_CONNECTED));
        ASSERT_TRUE(WaitState(a, LINECALLSTATE_CONNECTED));
        // The answer's reply came before the call was reported connected.
        const int reply = Find(
            LINE_REPLY, [&](const Msg& m) { return LONG(m.p1) == answer; }, mark);
        ASSERT_GE(reply, 0);
        EXPECT_LT(reply, FindState(b, LINECALLSTATE_CONNECTED, mark));
    }

    void HangUp(HCALL call)
    {
        const LONG drop = lineDrop(call, nullptr, 0);
        ASSERT_GT(drop, 0);
        ASSERT_TRUE(WaitReply(drop));
        ASSERT_TRUE(WaitState(call, LINECALLSTATE_IDLE));
        EXPECT_EQ(lineDeallocateCall(call), 0);
    }

    QTemporaryDir m_lockDir;
    // Outlive the service's lines, which are closed in TearDown.
    std::vector<std::unique_ptr<VirtualModem>> m_modems;
    ModemProvider* m_provider = nullptr;
    HLINEAPP m_app = 0;
    HLINE m_lineA = 0;
    HLINE m_lineB = 0;
    std::vector<int> m_fds;
};

TEST_F(ModemCalls, TwoLinesCallEachOtherAndHangUpFromEitherSide)
{
    EXPECT_TRUE(Log(0).contains("ATL2M1\r")) << "the speaker words reached the modem";

    HCALL a = 0, b = 0;
    const size_t mark = Messages().size();
    Connect(a, b, m_lineA, u"200");
    // B rang at least once with a count, and heard who called.
    EXPECT_GE(
        Find(
            LINE_LINEDEVSTATE,
            [](const Msg& m) { return m.instance == InstanceB && m.p1 == LINEDEVSTATE_RINGING && m.p3 == 1; },
            mark),
        0);
    ASSERT_GE(Find(
                  LINE_CALLINFO,
                  [&](const Msg& m) { return m.device == b && (m.p1 & LINECALLINFOSTATE_CALLERID); }, mark),
              0);
    std::vector<std::uint8_t> buffer(2048);
    auto* info = reinterpret_cast<LINECALLINFO*>(buffer.data());
    info->dwTotalSize = DWORD(buffer.size());
    ASSERT_EQ(lineGetCallInfoW(b, info), 0);
    const auto text = [&](DWORD offset, DWORD size) {
        return QString::fromUtf16(reinterpret_cast<const char16_t*>(buffer.data() + offset),
                                  qsizetype(size / 2) - 1);
    };
    EXPECT_EQ(text(info->dwCallerIDOffset, info->dwCallerIDSize), "100");
    EXPECT_EQ(text(info->dwCallerIDNameOffset, info->dwCallerIDNameSize), "CALLER A");

    // Data both ways through the handed-out descriptors.
    const int fdA = DataChannel(a);
    const int fdB = DataChannel(b);
    ASSERT_GE(fdA, 0);
    ASSERT_GE(fdB, 0);
    ASSERT_TRUE(WriteAll(fdA, "hello from A\r\n"));
    EXPECT_TRUE(ReadUntil(fdB, "hello from A").contains("hello from A"));
    ASSERT_TRUE(WriteAll(fdB, "and from B\r\n"));
    EXPECT_TRUE(ReadUntil(fdA, "and from B").contains("and from B"));

    // A hangs up; B's modem has no DCD to show it and says so in the stream.
    HangUp(a);
    EXPECT_TRUE(ReadUntil(fdB, "NO CARRIER").contains("NO CARRIER"));
    HangUp(b);

    // The other way round, hung up by the side that was called.
    Connect(b, a, m_lineB, u"100");
    const int fdA2 = DataChannel(a);
    const int fdB2 = DataChannel(b);
    ASSERT_TRUE(WriteAll(fdB2, "second call\r\n"));
    EXPECT_TRUE(ReadUntil(fdA2, "second call").contains("second call"));
    HangUp(a);
    EXPECT_TRUE(ReadUntil(fdB2, "NO CARRIER").contains("NO CARRIER"));
    HangUp(b);
    EXPECT_TRUE(Log(0).contains("ATH0\r"));
}

TEST_F(ModemCalls, CarrierLostMidCallEndsTheStreamWithNoCarrierAndTheLineIsReadyAgain)
{
    HCALL a = 0, b = 0;
    Connect(a, b, m_lineA, u"200");
    const int fdA = DataChannel(a);
    m_modems[1]->DropRemote();
    EXPECT_TRUE(ReadUntil(fdA, "NO CARRIER").contains("NO CARRIER"));
    HangUp(a);
    HangUp(b);

    // Ready for the next call on both lines.
    Connect(a, b, m_lineA, u"200");
    HangUp(a);
    HangUp(b);
}

TEST_F(ModemCalls, AModemThatGoesAwayEndsTheCallAndClosesItsLine)
{
    HCALL a = 0, b = 0;
    Connect(a, b, m_lineA, u"200");
    m_modems[0]->Unplug();
    ASSERT_TRUE(WaitState(a, LINECALLSTATE_DISCONNECTED));
    EXPECT_EQ(Messages()[size_t(FindState(a, LINECALLSTATE_DISCONNECTED))].p2, LINEDISCONNECTMODE_NORMAL);
    // The drop ends the call without a modem to talk to, and the line goes:
    // its calls go with it, so there is nothing left to deallocate.
    const LONG drop = lineDrop(a, nullptr, 0);
    ASSERT_GT(drop, 0);
    ASSERT_TRUE(WaitReply(drop));
    ASSERT_TRUE(WaitState(a, LINECALLSTATE_IDLE));
    EXPECT_TRUE(
        WaitUntil([&] { return Find(LINE_CLOSE, [&](const Msg& m) { return m.device == m_lineA; }) >= 0; }));
    m_lineA = 0;
}

TEST_F(ModemCalls, ClosingTheLineMidCallPutsTheModemOnHook)
{
    HCALL a = 0, b = 0;
    Connect(a, b, m_lineA, u"200");
    const int fdB = DataChannel(b);
    ASSERT_EQ(lineClose(m_lineA), 0);
    m_lineA = 0;
    // No DTR on a pty: the escape and ATH0 run after the close returned.
    EXPECT_TRUE(ReadUntil(fdB, "NO CARRIER").contains("NO CARRIER"));
    EXPECT_TRUE(WaitUntil([&] { return !m_modems[0]->OffHook() && !m_modems[0]->InDataMode(); }));
    EXPECT_TRUE(Log(0).endsWith("ATH0\r"));
    HangUp(b);

    // The line opens again on the same tty.
    m_lineA = Open(0, InstanceA);
    EXPECT_NE(m_lineA, 0u);
}

TEST_F(ModemCalls, BusyNoDialToneAndNoAnswerEndInTheirDisconnectModes)
{
    struct Row
    {
        VirtualModem::Fault fault;
        DWORD mode;
    };
    const Row rows[] = {{VirtualModem::Fault::Busy, LINEDISCONNECTMODE_BUSY},
                        {VirtualModem::Fault::NoDialtone, LINEDISCONNECTMODE_NODIALTONE},
                        {VirtualModem::Fault::NoAnswer, LINEDISCONNECTMODE_NOANSWER}};
    for (const Row& r : rows) {
        SCOPED_TRACE(int(r.fault));
        m_modems[0]->SetFault(r.fault);
        HCALL a = 0;
        const LONG request = lineMakeCallW(m_lineA, &a, u"200", 0, nullptr);
        ASSERT_GT(request, 0);
        ASSERT_TRUE(WaitReply(request));
        ASSERT_TRUE(WaitState(a, LINECALLSTATE_DISCONNECTED, 15000));
        const int at = FindState(a, LINECALLSTATE_DISCONNECTED);
        EXPECT_EQ(Messages()[size_t(at)].p2, r.mode);
        HangUp(a);
    }
    m_modems[0]->SetFault(VirtualModem::Fault::None);

    // A number outside the dial alphabet is refused before the modem sees it.
    const QByteArray before = Log(0);
    HCALL a = 0;
    EXPECT_EQ(lineMakeCallW(m_lineA, &a, u"200\rATZ", 0, nullptr), LINEERR_INVALADDRESS);
    EXPECT_EQ(Log(0), before);
}

TEST_F(ModemCalls, AModemThatNeverAnswersClosesTheLineWithAClearReason)
{
    // The open itself does not wait for the modem; the line closes when the
    // modem has had its chances, and says why.
    HLINE line = 0;
    ASSERT_EQ(lineOpenW(m_app, 2, &line, TAPI_VERSION_2_2, 0, 0, LINECALLPRIVILEGE_OWNER,
                        LINEMEDIAMODE_DATAMODEM, nullptr),
              0);
    ASSERT_TRUE(
        WaitUntil([&] { return Find(LINE_CLOSE, [&](const Msg& m) { return m.device == line; }) >= 0; }));
    EXPECT_TRUE(Service::LineFailure(2).contains("does not answer AT"))
        << Service::LineFailure(2).toStdString();
    EXPECT_EQ(Log(2), QByteArray("AT\rAT\rAT\r"));

    // The tty was let go: once the modem speaks, the line opens and stays.
    m_modems[2]->SetFault(VirtualModem::Fault::None);
    const size_t mark = Messages().size();
    ASSERT_EQ(lineOpenW(m_app, 2, &line, TAPI_VERSION_2_2, 0, 0, LINECALLPRIVILEGE_OWNER,
                        LINEMEDIAMODE_DATAMODEM, nullptr),
              0);
    ASSERT_TRUE(WaitUp(2));
    EXPECT_TRUE(Service::LineFailure(2).isEmpty());
    EXPECT_LT(Find(
                  LINE_CLOSE, [&](const Msg& m) { return m.device == line; }, mark),
              0);
}

TEST_F(ModemCalls, SpeakerWordsOfTheStoredBlockReachTheModemAtTheNextOpen)
{
    std::vector<std::uint8_t> buffer(1024);
    auto* vs = reinterpret_cast<VARSTRING*>(buffer.data());
    vs->dwTotalSize = DWORD(buffer.size());
    ASSERT_EQ(lineGetDevConfigW(0, vs, u"comm/datamodem"), 0);
    std::uint8_t* block = buffer.data() + vs->dwStringOffset;
    ASSERT_EQ(qFromLittleEndian<quint32>(block + OffSubtype), 6u);
    qToLittleEndian<quint32>(2, block + OffSpeakerVolume); // high
    qToLittleEndian<quint32>(2, block + OffSpeakerMode);   // always on
    ASSERT_EQ(lineSetDevConfigW(0, block, vs->dwStringSize, u"comm/datamodem"), 0);
    ASSERT_EQ(lineClose(m_lineA), 0);
    m_lineA = Open(0, InstanceA);
    ASSERT_NE(m_lineA, 0u);
    EXPECT_TRUE(WaitUntil([&] { return Log(0).endsWith("ATL3M2\r"); })) << Log(0).constData();
}

} // namespace
