// The virtual modem is a test peer; these tests make sure it behaves like the
// modems the provider will meet, so that the provider's tests prove something.
#include "common/Clock.h"
#include "tests/support/VirtualModem.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

using qv::test::VirtualModem;
using qv::test::WaitUntil;

// The host side of a virtual modem: what a provider would do with the tty.
class Host
{
public:
    explicit Host(const VirtualModem& modem)
    {
        m_fd = ::open(modem.DevicePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    }
    ~Host()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool Ok() const { return m_fd >= 0; }
    void Write(const QByteArray& bytes)
    {
        ASSERT_EQ(::write(m_fd, bytes.constData(), bytes.size()), bytes.size());
    }
    QByteArray& Received()
    {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(m_fd, buffer, sizeof buffer)) > 0)
            m_received.append(buffer, n);
        return m_received;
    }
    bool WaitFor(const QByteArray& text, int boundMs = 10000)
    {
        return WaitUntil([&] { return Received().contains(text); }, boundMs);
    }
    void Clear() { m_received.clear(); }

private:
    int m_fd = -1;
    QByteArray m_received;
};

TEST(VirtualModem, AnswersCommandsWithEchoVerboseAndNumericResults)
{
    VirtualModem modem;
    ASSERT_TRUE(modem.Start());
    Host host(modem);
    ASSERT_TRUE(host.Ok());
    host.Write("ATZ\r");
    ASSERT_TRUE(host.WaitFor("OK\r\n"));
    EXPECT_TRUE(host.Received().startsWith("ATZ\r")) << "echo is on after ATZ";
    host.Clear();
    host.Write("ATE0V0S7=5\r");
    ASSERT_TRUE(host.WaitFor("0\r"));
    EXPECT_EQ(modem.Register(7), 5);
    host.Clear();
    host.Write("ATJ\r");
    ASSERT_TRUE(host.WaitFor("4\r")) << "a bad command is ERROR";
    EXPECT_EQ(modem.CommandLog(), "ATZ\rATE0V0S7=5\rATJ\r");
}

TEST(VirtualModem, TwoModemsCallEachOtherAndTheCallerHearsNoCarrierWhenTheRemoteLeaves)
{
    VirtualModem a, b;
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    a.AddDirectoryEntry("5551000", b.Port());
    a.SetOwnNumber("5552000", "ALICE");
    b.SetRingIntervalMs(100);
    Host ha(a), hb(b);
    ha.Write("ATE0\r");
    // Caller ID is off until the modem's own dialect turns it on.
    hb.Write("ATE0#CID=1\r");
    ASSERT_TRUE(ha.WaitFor("OK") && hb.WaitFor("ERROR"));
    hb.Write("AT+VCID=1\r");
    ASSERT_TRUE(hb.WaitFor("OK"));
    ha.Clear();
    hb.Clear();

    ha.Write("ATDT555-1000\r");
    ASSERT_TRUE(hb.WaitFor("RING"));
    ASSERT_TRUE(hb.WaitFor("NMBR = 5552000\r\n")) << hb.Received().constData();
    EXPECT_TRUE(hb.Received().contains("NAME = ALICE"));
    ASSERT_TRUE(WaitUntil([&] { return b.RingsSent() >= 2; }));
    hb.Write("ATA\r");
    ASSERT_TRUE(ha.WaitFor("CONNECT 33600") && hb.WaitFor("CONNECT 33600"));
    EXPECT_TRUE(a.InDataMode() && b.InDataMode());

    // Data both ways, every byte value.
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    ha.Clear();
    hb.Clear();
    ha.Write(all);
    hb.Write("reply");
    ASSERT_TRUE(WaitUntil([&] { return hb.Received().size() >= 256 && ha.Received().size() >= 5; }));
    EXPECT_EQ(hb.Received(), all);
    EXPECT_EQ(ha.Received(), "reply");

    ha.Clear();
    b.DropRemote();
    ASSERT_TRUE(ha.WaitFor("NO CARRIER"));
    EXPECT_FALSE(a.OffHook());
}

// DCD shows the carrier; dropping DTR hangs up as &D2 says, or does nothing
// for a modem deaf to it.
TEST(VirtualModem, ModemControlLinesActAsAndCAndAndDSay)
{
    VirtualModem a, b;
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    a.AddDirectoryEntry("1", b.Port());
    b.SetRegister(0, 1);
    Host ha(a);
    a.SetDtr(true);
    for (bool deaf : {true, false}) {
        VirtualModem::Quirks quirks;
        quirks.dtrIgnored = deaf;
        a.SetQuirks(quirks);
        ha.Clear();
        ha.Write("ATE0&C1&D2D1\r");
        ASSERT_TRUE(ha.WaitFor("CONNECT"));
        EXPECT_TRUE(a.Dcd());
        a.SetDtr(false);
        a.SetDtr(true);
        EXPECT_EQ(a.Online(), deaf);
        EXPECT_EQ(a.Dcd(), deaf);
        if (deaf) {
            ha.Clear();
            b.DropRemote();
            ASSERT_TRUE(ha.WaitFor("NO CARRIER"));
        }
    }
    EXPECT_TRUE(ha.WaitFor("NO CARRIER")) << "a DTR hang-up says so";
}

TEST(VirtualModem, FaultsOnDemand)
{
    VirtualModem a, b;
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    a.AddDirectoryEntry("1", b.Port());
    Host ha(a);
    ha.Write("ATE0\r");
    ASSERT_TRUE(ha.WaitFor("OK"));

    a.SetFault(VirtualModem::Fault::NoDialtone);
    ha.Clear();
    ha.Write("ATDT1\r");
    EXPECT_TRUE(ha.WaitFor("NO DIALTONE"));

    a.SetFault(VirtualModem::Fault::None);
    b.SetFault(VirtualModem::Fault::Busy);
    ha.Clear();
    ha.Write("ATDT1\r");
    EXPECT_TRUE(ha.WaitFor("BUSY")) << "the remote is busy";

    b.SetFault(VirtualModem::Fault::None);
    ha.Clear();
    ha.Write("ATS7=1DT2\r"); // a number nobody has
    EXPECT_TRUE(ha.WaitFor("NO ANSWER", 5000));

    a.SetFault(VirtualModem::Fault::Silent);
    ha.Clear();
    ha.Write("AT\r");
    EXPECT_FALSE(ha.WaitFor("OK", 300)) << "a silent modem says nothing";
    EXPECT_TRUE(a.CommandLog().endsWith("AT\r"));
}

TEST(VirtualModem, EscapeNeedsItsGuardTimes)
{
    qv::ScopedVirtualClock clock;
    VirtualModem a, b;
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    a.AddDirectoryEntry("1", b.Port());
    Host ha(a), hb(b);
    ha.Write("ATE0S0=0\r");
    hb.Write("ATE0S0=1\r"); // auto-answer on the first ring
    ASSERT_TRUE(ha.WaitFor("OK") && hb.WaitFor("OK"));
    ha.Write("ATD1\r");
    ASSERT_TRUE(ha.WaitFor("CONNECT"));
    ha.Clear();

    // "+++" in the middle of data is data.
    clock->Advance(2000);
    ha.Write("x+++y");
    ASSERT_TRUE(hb.WaitFor("x+++y"));
    clock->Advance(2000);
    EXPECT_TRUE(a.InDataMode());

    // "+++" after a second of silence, then a second of silence, is the escape.
    ha.Write("+++");
    ASSERT_TRUE(hb.WaitFor("x+++y+++"));
    clock->Advance(999);
    EXPECT_TRUE(a.InDataMode());
    clock->Advance(1);
    ASSERT_TRUE(ha.WaitFor("OK"));
    EXPECT_FALSE(a.InDataMode());
    EXPECT_TRUE(a.OffHook()) << "the call stays up until ATH";
    ha.Write("ATH\r");
    ASSERT_TRUE(WaitUntil([&] { return !a.OffHook(); }));
    EXPECT_TRUE(WaitUntil([&] { return !b.OffHook(); })) << "the remote hears the hang-up";
}

} // namespace
