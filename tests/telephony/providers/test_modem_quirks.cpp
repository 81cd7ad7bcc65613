// A phone component on a modem line whose modem behaves as real ones do:
// without DCD, deaf to DTR, deaf to "+++", echoing, late, with caller ID in
// one dialect and form of its own, ringing in its own words. The modem is a
// VirtualModem with its DTR and DCD wired to the line (VirtualModemDevice);
// the far end is a second VirtualModem with no line of its own. Everything
// runs in real time on the test's thread, which is how the longest gap
// between event-loop turns is measured while the modem is brought up, dials,
// answers and hangs up.
#include "telephony/QvPhone.h"
#include "telephony/service/Service.h"
#include "telephony/service/providers/modem/ModemProvider.h"
#include "tests/support/EventLoopStall.h"
#include "tests/support/Wait.h"
#include "tests/telephony/providers/VirtualModemDevice.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include <iostream>

#include <unistd.h>

namespace {

using namespace qv;
using qv::modem::ModemLineConfig;
using qv::modem::ModemProvider;
using qv::modem::ModemTimings;
using qv::test::EventLoopStall;
using qv::test::VirtualModem;
using qv::test::VirtualModemDevice;
using qv::test::WaitUntil;
using Quirks = VirtualModem::Quirks;

// The number the line dials to reach the far end, and the far end's own.
constexpr const char* FarNumber = "300";
constexpr const char* LineNumber = "200";

class ModemQuirks : public ::testing::Test
{
protected:
    void TearDown() override { Down(); }

    // A line on a fresh modem with `quirks`; the modem's init sequence as
    // telephony.conf gives it, when `initSequence` is not empty.
    void Up(const Quirks& quirks, const QByteArray& initSequence = {}, const QString& device = {})
    {
        Down();
        m_line = std::make_unique<VirtualModem>();
        m_far = std::make_unique<VirtualModem>();
        QString error;
        ASSERT_TRUE(m_line->Start(&error)) << error.toStdString();
        ASSERT_TRUE(m_far->Start(&error)) << error.toStdString();
        m_line->SetQuirks(quirks);
        m_line->SetRingIntervalMs(150);
        m_line->AddDirectoryEntry(FarNumber, m_far->Port());
        m_far->AddDirectoryEntry(LineNumber, m_line->Port());
        m_far->SetOwnNumber("5550100", "ALI REZAEI");
        m_far->SetRegister(0, 1); // answers on the first ring

        ModemLineConfig config;
        config.device = device.isEmpty() ? m_line->DevicePath() : device;
        config.lockDir = m_lockDir.path();
        config.init = "ATZS12=10S7=5"; // short escape guard time, short wait for the far end
        config.initSequence = initSequence;
        auto provider = std::make_unique<ModemProvider>(std::vector<ModemLineConfig>{config}, [this](int) {
            return std::make_unique<VirtualModemDevice>(*m_line);
        });
        ModemTimings timings;
        timings.probeMs = 300;
        timings.commandMs = 1000;
        timings.guardMs = 200;
        timings.dtrDropMs = 300;
        timings.dtrSettleMs = 100;
        timings.hangupCheckMs = 400;
        timings.carrierPollMs = 50;
        timings.ringGapMs = 1500;
        timings.lingerMs = 300;
        provider->SetTimings(timings);
        ASSERT_TRUE(tapi::Service::Install(std::move(provider)));

        m_phone = std::make_unique<QvPhone>();
        m_phone->SetMediaMode(mmData);
        m_phone->SetAutoDisconnect(true);
        m_phone->SetOnCallState([this](QvPhone*, TCallState state, int p1, int, int) {
            m_states.push_back(state);
            if (state == csError)
                m_errors.push_back(p1);
            if (state == csRing) {
                m_rings.push_back(p1);
                if (m_answerOnRing > 0 && p1 == m_answerOnRing) {
                    EXPECT_EQ(m_phone->Answer(0), 0);
                }
            }
        });
        m_phone->SetOnLineState(
            [this](QvPhone*, TLineState state, int p1) { m_lineStates.emplace_back(state, p1); });
        m_phone->SetOnCallerID([this](QvPhone*, int error, QString number, QString name, int) {
            if (error == 0)
                m_callers.emplace_back(number, name);
        });
        m_states.clear();
        m_errors.clear();
        m_rings.clear();
        m_callers.clear();
        m_lineStates.clear();
        m_answerOnRing = 0;
    }

    void Down()
    {
        m_phone.reset();
        tapi::Service::Uninstall();
        m_far.reset();
        m_line.reset();
    }

    bool Has(TCallState state) const
    {
        return std::find(m_states.begin(), m_states.end(), state) != m_states.end();
    }
    bool ModemUp() const { return m_line->CommandLog().endsWith("ATL2M1\r"); }

    // The line opened and its modem brought up.
    bool Activate()
    {
        return m_phone->LineActive(0, true) == 0 && WaitUntil([this] { return ModemUp(); });
    }
    bool DialFar()
    {
        m_states.clear();
        return m_phone->DialNumber(FarNumber, 0) == 0 && WaitUntil([this] { return Has(csConnected); });
    }
    // The far end calls; the phone answers on ring `ring` (0: never).
    bool FarCalls(int ring)
    {
        m_states.clear();
        m_rings.clear();
        m_answerOnRing = ring;
        m_far->DialOut(LineNumber);
        return ring == 0 || WaitUntil([this] { return Has(csConnected); });
    }
    // Hangs up; true when the call was reported disconnected.
    bool HangUp()
    {
        m_states.clear();
        return m_phone->Hangup() == 0 && WaitUntil([this] { return Has(csDisconnected) || Has(csError); }) &&
               Has(csDisconnected);
    }

    QTemporaryDir m_lockDir;
    std::unique_ptr<VirtualModem> m_line;
    std::unique_ptr<VirtualModem> m_far;
    std::unique_ptr<QvPhone> m_phone;
    std::vector<TCallState> m_states;
    std::vector<int> m_errors;
    std::vector<int> m_rings;
    std::vector<std::pair<QString, QString>> m_callers;
    std::vector<std::pair<TLineState, int>> m_lineStates;
    int m_answerOnRing = 0;
};

// Whatever the modem makes of DTR and DCD, a hang-up ends with the modem on
// hook, and the call is reported disconnected only then.
TEST_F(ModemQuirks, HangUpIsVerifiedWhateverTheModemDoesWithDtrAndDcd)
{
    struct Row
    {
        const char* name;
        Quirks quirks;
        bool asked;  // ATH0 reached the modem's command phase
        bool escape; // the hang-up needed the escape sequence
    };
    Quirks noDcd, deaf, deafNoDcd;
    noDcd.noDcd = true;
    deaf.dtrIgnored = true;
    deafNoDcd.dtrIgnored = true;
    deafNoDcd.noDcd = true;
    const Row rows[] = {
        {"DTR hangs up, DCD shows it", {}, false, false},
        {"DTR hangs up, no DCD", noDcd, true, false},
        {"DTR ignored, DCD up", deaf, true, true},
        {"DTR ignored, no DCD", deafNoDcd, true, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Up(r.quirks);
        ASSERT_TRUE(Activate());
        ASSERT_TRUE(DialFar());
        const qsizetype before = m_line->CommandLog().size();
        EXPECT_TRUE(HangUp());
        EXPECT_FALSE(m_line->Online()) << "disconnected only once the modem is on hook";
        EXPECT_TRUE(WaitUntil([this] { return !m_far->Online(); })) << "the far end noticed";
        EXPECT_EQ(m_line->CommandLog().mid(before).contains("ATH0\r"), r.asked);
        EXPECT_EQ(m_line->Escapes(), r.escape ? 1 : 0);
        EXPECT_TRUE(m_phone->LineFailureText(0).isEmpty());
        // And the line is ready for the next call.
        EXPECT_TRUE(DialFar());
    }
}

TEST_F(ModemQuirks, AHangUpThatNothingConfirmsIsReportedAsFailedNotAsDisconnected)
{
    Quirks stuck;
    stuck.dtrIgnored = true;
    stuck.noDcd = true;
    stuck.escapeIgnored = true;
    Up(stuck);
    ASSERT_TRUE(Activate());
    ASSERT_TRUE(DialFar());
    EXPECT_FALSE(HangUp());
    EXPECT_EQ(m_errors, std::vector<int>{111});
    EXPECT_FALSE(Has(csDisconnected));
    EXPECT_TRUE(m_line->Online());
    EXPECT_TRUE(m_phone->LineFailureText(0).contains("did not confirm the hang-up"))
        << m_phone->LineFailureText(0).toStdString();

    // The call is still up, so hanging up again tries again: with DTR heeded
    // this time, the modem goes on hook.
    Quirks heeded = stuck;
    heeded.dtrIgnored = false;
    m_line->SetQuirks(heeded);
    EXPECT_TRUE(HangUp());
    EXPECT_FALSE(m_line->Online());
    EXPECT_EQ(m_phone->NumberOfActiveCalls(), 0);

    // When the far end hangs up after all, the modem says NO CARRIER, and
    // that ends the call.
    m_line->SetQuirks(stuck);
    ASSERT_TRUE(DialFar());
    m_errors.clear();
    EXPECT_FALSE(HangUp());
    EXPECT_EQ(m_errors, std::vector<int>{111});
    m_far->DropRemote();
    EXPECT_TRUE(WaitUntil([this] { return Has(csDisconnected); }));
    EXPECT_FALSE(m_line->Online());
}

TEST_F(ModemQuirks, CallerIdReachesThePhoneInEveryDialectAndForm)
{
    using Dialect = VirtualModem::CallerIdDialect;
    using Style = VirtualModem::CallerIdStyle;
    struct Row
    {
        const char* name;
        Dialect dialect;
        Style style;
        QByteArray initSequence;
    };
    const Row rows[] = {
        {"+VCID, NMBR =", Dialect::Vcid, Style::Equals, {}},
        {"+VCID, NMBR:", Dialect::Vcid, Style::Colon, {}},
        {"+VCID, DDN_NMBR and MESG", Dialect::Vcid, Style::DialableMesg, {}},
        {"#CID", Dialect::Cid, Style::Equals, {}},
        {"%CCID", Dialect::Ccid, Style::Colon, {}},
        {"+CLIP", Dialect::Clip, Style::Equals, {}},
        {"+VCID=2, the packet in hex", Dialect::Vcid, Style::Equals, "ATZS12=10 | ATE0V1Q0S0=0 | AT+VCID=2"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Quirks quirks;
        quirks.callerIdDialect = r.dialect;
        quirks.callerIdStyle = r.style;
        quirks.echoStuck = true; // and an echo that E0 does not stop
        Up(quirks, r.initSequence);
        ASSERT_TRUE(m_phone->LineActive(0, true) == 0);
        ASSERT_TRUE(WaitUntil([this] { return m_line->CommandLog().contains("ATL2M1\r"); }));
        FarCalls(0);
        ASSERT_TRUE(WaitUntil([this] { return !m_callers.empty(); }));
        EXPECT_EQ(m_callers.front(), std::make_pair(QString("5550100"), QString("ALI REZAEI")));
    }
}

TEST_F(ModemQuirks, TheCallerIdCapabilityIsWhatTheModemAgreedTo)
{
    // Caller ID asked for with a command this modem refuses.
    Up({}, "ATZS12=10 | ATE0V1Q0S0=0 | ?AT#CID=1");
    int caps = 0;
    ASSERT_EQ(m_phone->GetLineCaps(0, caps), 0);
    EXPECT_TRUE(caps & caps::CallerID) << "asked for, before the modem has answered";
    ASSERT_TRUE(Activate());
    ASSERT_EQ(m_phone->GetLineCaps(0, caps), 0);
    EXPECT_FALSE(caps & caps::CallerID) << "refused by the modem";
    EXPECT_TRUE(caps & caps::DataModem);
}

TEST_F(ModemQuirks, EveryRingCountsAndTheCallIsAnsweredOnTheRingAsked)
{
    for (const char* ring : {"RING", "RING 1", "RING/0", "RING A", "+CRING: DATA"}) {
        SCOPED_TRACE(ring);
        Quirks quirks;
        quirks.ring = ring;
        Up(quirks);
        ASSERT_TRUE(Activate());
        ASSERT_TRUE(FarCalls(3));
        EXPECT_EQ(m_rings, (std::vector<int>{1, 2, 3}));
        EXPECT_TRUE(HangUp());
    }
}

// A pick-up takes the modem off hook; a fax session gets the modem in its
// command phase on the call's data channel and dials with its own command.
TEST_F(ModemQuirks, PickUpAndAFaxSessionWorkOnAModemLine)
{
    Up({});
    ASSERT_TRUE(Activate());
    ASSERT_EQ(m_phone->PickUp(0), 0);
    ASSERT_TRUE(WaitUntil([this] { return Has(csDialTone); }));
    EXPECT_TRUE(m_line->CommandLog().endsWith("ATH1\r"));
    EXPECT_TRUE(HangUp());

    m_phone->SetMediaMode(mmFax);
    ASSERT_EQ(m_phone->LineReactivate(true), 0);
    m_states.clear();
    ASSERT_EQ(m_phone->DialNumber(FarNumber, 0), 0);
    ASSERT_TRUE(WaitUntil([this] { return Has(csWaitingForFaxCommand); }));
    int fd = -1;
    ASSERT_EQ(m_phone->GetCommHandle(fd), 0);
    const QByteArray dial = m_phone->FaxDialCommand();
    ASSERT_EQ(::write(fd, dial.constData(), size_t(dial.size())), dial.size());
    EXPECT_TRUE(WaitUntil([this] { return m_line->Online(); })) << "the session's own ATD reached the modem";
    EXPECT_TRUE(HangUp());
    EXPECT_FALSE(m_line->Online());
}

// Each reason a line does not open gives its own account, up to the phone.
TEST_F(ModemQuirks, EachFailedOpenTellsItsCause)
{
    Up({}, {}, m_lockDir.path() + "/ttyUSB9");
    EXPECT_EQ(m_phone->LineActive(0, true), 100);
    EXPECT_TRUE(m_phone->LineFailureText(0).contains("does not exist"))
        << m_phone->LineFailureText(0).toStdString();

    Up({});
    QProcess holder;
    holder.start(QStringLiteral(VH_OPEN_PROBE), {"hold-flock", m_line->DevicePath()});
    ASSERT_TRUE(holder.waitForStarted(5000) && holder.waitForReadyRead(5000));
    EXPECT_EQ(m_phone->LineActive(0, true), 106);
    EXPECT_TRUE(
        m_phone->LineFailureText(0).contains(QStringLiteral("held by process %1").arg(holder.processId())))
        << m_phone->LineFailureText(0).toStdString();
    holder.closeWriteChannel();
    ASSERT_TRUE(holder.waitForFinished(5000));

    // A modem that answers nothing: the line opens, then closes with why.
    m_line->SetFault(VirtualModem::Fault::Silent);
    ASSERT_EQ(m_phone->LineActive(0, true), 0);
    EXPECT_TRUE(
        WaitUntil([this] { return !m_lineStates.empty() && m_lineStates.back().first == lsDeactivated; }));
    EXPECT_EQ(m_lineStates.back().second, 0);
    EXPECT_FALSE(m_phone->IsActive());
    EXPECT_TRUE(m_phone->LineFailureText(0).contains("does not answer AT"))
        << m_phone->LineFailureText(0).toStdString();
}

// The window gets its turns while the line works: bringing the modem up,
// dialling, answering and hanging up (the long way, past a modem deaf to
// DTR without DCD), a modem that answers nothing, and a hang-up that
// nothing confirms.
TEST_F(ModemQuirks, TheEventLoopIsNeverHeldUpByTheModem)
{
    constexpr double LimitMs = 50;
    Quirks deaf;
    deaf.dtrIgnored = true;
    deaf.noDcd = true;
    Up(deaf);
    EventLoopStall stall;
    stall.Start();
    stall.Section("activation");
    ASSERT_TRUE(Activate());
    EXPECT_EQ(m_line->DtrDrops(), 0) << "the phone's capability probe and its open share one open of the tty";
    stall.Section("dialling");
    ASSERT_TRUE(DialFar());
    stall.Section("hang-up");
    ASSERT_TRUE(HangUp());
    stall.Section("answering");
    ASSERT_TRUE(FarCalls(1));
    stall.Section("hang-up");
    ASSERT_TRUE(HangUp());
    stall.Stop();
    const QString figures = stall.Report();

    Quirks silent;
    Up(silent);
    m_line->SetFault(VirtualModem::Fault::Silent);
    stall.Start();
    stall.Section("silent modem");
    ASSERT_EQ(m_phone->LineActive(0, true), 0);
    ASSERT_TRUE(WaitUntil([this] { return !m_phone->IsActive(); }));
    stall.Stop();
    const QString silentFigures = stall.Report();

    Quirks stuck = deaf;
    stuck.escapeIgnored = true;
    Up(stuck);
    ASSERT_TRUE(Activate());
    ASSERT_TRUE(DialFar());
    stall.Start();
    stall.Section("unconfirmed hang-up");
    EXPECT_FALSE(HangUp());
    stall.Stop();
    const QString stuckFigures = stall.Report();

    std::cout << "event loop, longest gap: " << figures.toStdString() << "; " << silentFigures.toStdString()
              << "; " << stuckFigures.toStdString() << std::endl;
    RecordProperty("stall", (figures + "; " + silentFigures + "; " + stuckFigures).toStdString());
    for (const QString& report : {figures, silentFigures, stuckFigures})
        EXPECT_LT(report.section(QStringLiteral("longest "), 1).section(' ', 0, 0).toDouble(), LimitMs)
            << report.toStdString();
}

} // namespace
