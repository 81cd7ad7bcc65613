// A port with its own line settings, on pseudo-terminals named through the
// COM map.
#include "SerialTestSupport.h"

#include "common/Clock.h"
#include "common/ErrorCodes.h"
#include "serial/ComMap.h"
#include "serial/CommDevice.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

using namespace qv;
using namespace qv::test;

class ManualPortTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_GE(pty.master, 0);
        SetShowMessageHandler([this](const QString& text) { messages << text; });
        ComMap::SetDevicePath(3, QString::fromStdString(pty.slavePath));
        port = std::make_unique<QvSerialPort>();
        port->ManualSettings().SetPort(pnCOM3);
        log.Attach(*port);
    }
    void TearDown() override
    {
        port.reset();
        ComMap::ClearDevicePaths();
        SetShowMessageHandler(nullptr);
    }

    // Collects what OnReceiveData delivers.
    void CollectReceived()
    {
        port->SetOnReceiveData([this](TComponent*, char* data, int size, WindowHandle&) {
            EXPECT_EQ(data[size], 0);
            EXPECT_EQ(data[size + 1], 0);
            received.append(data, size);
            ++chunks;
        });
    }

    ScopedVirtualClock clock;
    Pty pty;
    std::unique_ptr<QvSerialPort> port;
    StateLog log;
    QStringList messages;
    QByteArray received;
    int chunks = 0;
};

using Events = std::vector<std::pair<TPortState, int>>;

TEST_F(ManualPortTest, OpenAndCloseReportTheirStatesOnce)
{
    EXPECT_EQ(port->Open(7), 0);
    EXPECT_TRUE(port->IsOpened());
    EXPECT_TRUE(port->InternalTimer().Enabled()) << "monitoring runs the tick";
    EXPECT_EQ(port->Open(8), 509);
    EXPECT_TRUE(port->IsOpened());
    port->Close();
    EXPECT_FALSE(port->IsOpened());
    EXPECT_FALSE(port->InternalTimer().Enabled());
    port->Close();
    EXPECT_EQ(log.events, (Events{{psOpened, 7}, {psClosed, 0}}));

    // The device is free again for the next opening.
    EXPECT_EQ(port->Open(0), 0);
}

TEST_F(ManualPortTest, DeviceHeldElsewhereGives503UntilItIsFree)
{
    const int other = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(port->Open(0), 503);
    EXPECT_FALSE(port->IsOpened());
    EXPECT_TRUE(log.events.empty());
    ::close(other);
    EXPECT_EQ(port->Open(0), 0);

    // And the port holds it against others in turn.
    QvSerialPort second;
    second.ManualSettings().SetPort(pnCOM3);
    EXPECT_EQ(second.Open(0), 503);
    const int third = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
    if (third >= 0) { // root passes the tty's exclusive mode, but not the lock
        EXPECT_NE(flock(third, LOCK_EX | LOCK_NB), 0);
        ::close(third);
    }

    // A device that does not exist at all.
    ComMap::SetDevicePath(4, "/dev/no-such-serial-device");
    second.ManualSettings().SetPort(pnCOM4);
    EXPECT_EQ(second.Open(0), 503);
    EXPECT_EQ(second.LastSystemError(), oserr::FileNotFound);
}

TEST_F(ManualPortTest, PortNumbersFindTheirDevicesThroughTheMap)
{
    EXPECT_STREQ(PortName(pnCOM1), "COM1");
    EXPECT_STREQ(PortName(pnCOM10), "COM10");
    EXPECT_STREQ(PortName(pnCOM16), "COM16");

    Pty com1;
    Pty com10;
    ComMap::SetDevicePath(1, QString::fromStdString(com1.slavePath));
    ComMap::SetDevicePath(10, QString::fromStdString(com10.slavePath));
    port->ManualSettings().SetPort(pnCOM10);
    ASSERT_EQ(port->Open(0), 0);
    EXPECT_EQ(port->SendString("ten"), 0);
    EXPECT_EQ(com10.Read(3), "ten");
    port->Close();
    port->ManualSettings().SetPort(pnCOM1);
    ASSERT_EQ(port->Open(0), 0);
    EXPECT_EQ(port->SendString("one"), 0);
    EXPECT_EQ(com1.Read(3), "one");
    EXPECT_TRUE(com10.Read(1, 50).isEmpty());
}

TEST(ComMapTest, ConfigurationFileAndDefaults)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    {
        QFile file(dir.filePath("ports.conf"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[ports]\nCOM5=/dev/ttyUSB0\nCOM12 = /dev/pts/9\n");
    }
    ComMap::SetSettingsFolder(dir.path());
    EXPECT_EQ(ComMap::DevicePath(5), "/dev/ttyUSB0");
    EXPECT_EQ(ComMap::DevicePath(12), "/dev/pts/9");
    EXPECT_EQ(ComMap::DevicePath(6), "/dev/ttyS5");
    EXPECT_EQ(ComMap::DevicePath(1), "/dev/ttyS0");
    ComMap::SetDevicePath(5, "/dev/ttyACM1");
    EXPECT_EQ(ComMap::DevicePath(5), "/dev/ttyACM1") << "a path set in the program wins";
    ComMap::SetDevicePath(5, "");
    EXPECT_EQ(ComMap::DevicePath(5), "/dev/ttyUSB0");
    EXPECT_TRUE(ComMap::DevicePath(0).isEmpty());
    EXPECT_TRUE(ComMap::DevicePath(17).isEmpty());
    ComMap::SetSettingsFolder(QString());
}

TEST_F(ManualPortTest, LineSettingsReachTheTty)
{
    TManualSettings& s = port->ManualSettings();
    s.SetBaudRate(br57600);
    s.SetDataBits(db7Bits);
    s.SetParity(ptEven);
    s.SetStopBits(sb2Bits);
    s.SetSoftwareFlow(sfXONXOFF);
    s.SetHardwareFlow(hfNone);
    ASSERT_EQ(port->Open(0), 0);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.master, &t), 0); // a master reports its slave's settings
    EXPECT_EQ(cfgetospeed(&t), speed_t(B57600));
    // A pty always keeps eight bits without parity (the kernel says so),
    // but stores the rest.
    EXPECT_FALSE(t.c_cflag & PARODD);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_iflag & INPCK);
    EXPECT_TRUE((t.c_iflag & IXON) && (t.c_iflag & IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG)) << "raw mode";
    EXPECT_FALSE(t.c_oflag & OPOST);
    port->Close();

    s.SetParity(ptMark);
    s.SetDataBits(db8Bits);
    s.SetStopBits(sb1Bits);
    s.SetSoftwareFlow(sfNone);
    ASSERT_EQ(port->Open(0), 0);
    ASSERT_EQ(tcgetattr(pty.master, &t), 0);
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), tcflag_t(PARODD | CMSPAR));
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF)) << "software flow control is not left on from a cooked tty";
}

TEST_F(ManualPortTest, SettingsThisSystemCannotGiveAreRefused)
{
    for (TBaudRate rate : {br14400, br56000, br128000, br256000}) {
        port->ManualSettings().SetBaudRate(rate);
        EXPECT_EQ(port->Open(0), err::InvalidArgument) << BaudRateValue(rate);
        EXPECT_FALSE(port->IsOpened());
    }
    port->ManualSettings().SetBaudRate(br115200);
    port->ManualSettings().SetStopBits(sb1HalfBits);
    EXPECT_EQ(port->Open(0), err::InvalidArgument) << "one and a half stop bits need five data bits";
    port->ManualSettings().SetDataBits(db5Bits);
    EXPECT_EQ(port->Open(0), 0);
    EXPECT_EQ(log.events, (Events{{psOpened, 0}}));
}

TEST_F(ManualPortTest, SizePropertiesRefuseOutOfRangeValuesAndChangesWhileOpen)
{
    port->SetMaxReceiveSize(0);
    port->SetMaxReceiveSize(8193);
    port->SetMaxSendSize(0);
    EXPECT_EQ(messages, QStringList({"Value must be between 0 and 8192.", "Value must be between 0 and 8192.",
                                     "Value must be between 1 and 8192."}));
    EXPECT_EQ(port->MaxReceiveSize(), 1024);
    EXPECT_EQ(port->MaxSendSize(), 1024);
    port->SetMaxReceiveSize(8192);
    port->SetMaxSendSize(8192);
    EXPECT_EQ(port->MaxReceiveSize(), 8192);
    EXPECT_EQ(port->MaxSendSize(), 8192);

    ASSERT_EQ(port->Open(0), 0);
    port->SetMaxSendSize(2048);
    port->SetMaxReceiveSize(4096);
    EXPECT_EQ(port->MaxSendSize(), 8192);
    EXPECT_EQ(port->MaxReceiveSize(), 8192);
    EXPECT_EQ(log.events, (Events{{psOpened, 0}, {psError, 510}, {psError, 510}}));
    EXPECT_TRUE(port->IsOpened()) << "a refused size does not close the port";

    // A full-size chunk fits the block with its two zero bytes.
    port->Close();
    port->SetMaxReceiveSize(16);
    CollectReceived();
    ASSERT_EQ(port->Open(0), 0);
    ASSERT_TRUE(pty.Write(Pattern(40)));
    ASSERT_TRUE(WaitUntil([&] { return received.size() == 40; }));
    EXPECT_EQ(received, Pattern(40));
    EXPECT_GE(chunks, 3) << "no read is larger than MaxReceiveSize";
}

TEST_F(ManualPortTest, ReceivedChunksGoToTheHandlerAndTheBuffer)
{
    port->BufferIn().SetEnabled(true);
    CollectReceived();
    ASSERT_EQ(port->Open(0), 0);
    ASSERT_TRUE(pty.Write("ATZ\r\nOK\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return received.size() == 9; }));
    EXPECT_EQ(received, "ATZ\r\nOK\r\n");
    EXPECT_EQ(port->BufferIn().Contents(), "ATZ\r\nOK\r\n");

    // BufferIn outlives a closing and reopening; Flush with input empties it.
    port->Close();
    ASSERT_EQ(port->Open(0), 0);
    EXPECT_EQ(port->BufferIn().Used(), 9);
    EXPECT_EQ(port->Flush(true, false), 0);
    EXPECT_EQ(port->BufferIn().Used(), 0);
}

TEST_F(ManualPortTest, NothingIsReadWithoutAConsumerAndNothingIsLost)
{
    ASSERT_EQ(port->Open(0), 0);
    ASSERT_TRUE(pty.Write("waiting"));
    clock->Advance(500);
    EXPECT_FALSE(WaitUntil([&] { return port->BufferIn().Used() > 0; }, 100));
    // The consumer that appears later gets every byte.
    CollectReceived();
    ASSERT_TRUE(WaitUntil([&] { return received.size() == 7; }));
    EXPECT_EQ(received, "waiting");

    // Turning BufferIn on is noticed by the next tick.
    port->SetOnReceiveData(nullptr);
    port->BufferIn().SetEnabled(true);
    ASSERT_TRUE(pty.Write("later"));
    EXPECT_TRUE(WaitUntil([&] {
        clock->Advance(50);
        return port->BufferIn().Used() == 5;
    }));
}

TEST_F(ManualPortTest, ReceivePollRunsOnRequestWhenMonitoringIsOff)
{
    port->SetMonitorReceiveData(false);
    CollectReceived();
    ASSERT_EQ(port->Open(0), 0);
    EXPECT_FALSE(port->InternalTimer().Enabled()) << "no monitoring and no timer event: no tick";
    ASSERT_TRUE(pty.Write("ZRPOS"));
    clock->Advance(1000);
    EXPECT_FALSE(WaitUntil([&] { return !received.isEmpty(); }, 150));
    EXPECT_TRUE(WaitUntil([&] {
        EXPECT_EQ(SendMessage(port->Handle(), MSG_RECEIVE_POLL, 0, 0), 0);
        return received == "ZRPOS";
    }));
}

TEST_F(ManualPortTest, TimerEventFiresOnTheFirstTickAfterItsDeadline)
{
    std::vector<std::int64_t> fired;
    const std::int64_t start = clock->MonotonicMs();
    port->SetTimerInterval(1000);
    port->SetOnTimer([&](TComponent* sender) {
        EXPECT_EQ(sender, port.get());
        fired.push_back(clock->MonotonicMs() - start);
    });
    EXPECT_FALSE(port->InternalTimer().Enabled()) << "not enabled yet";
    port->RestartTimer();
    EXPECT_TRUE(port->TimerEnabled());
    EXPECT_TRUE(port->InternalTimer().Enabled()) << "the timer event runs the tick on a closed port too";
    clock->Advance(999);
    EXPECT_TRUE(fired.empty());
    clock->Advance(1);
    EXPECT_EQ(fired, (std::vector<std::int64_t>{1000}));
    clock->Advance(500);
    port->RestartTimer(); // at 1500: due at 2500
    clock->Advance(999);
    EXPECT_EQ(fired.size(), 1u);
    clock->Advance(1);
    EXPECT_EQ(fired, (std::vector<std::int64_t>{1000, 2500}));

    port->SetTimerEnabled(false);
    EXPECT_FALSE(port->InternalTimer().Enabled());
    clock->Advance(5000);
    EXPECT_EQ(fired.size(), 2u);
}

TEST_F(ManualPortTest, HandlerCanNameAWindowToDisplayTheChunk)
{
    std::vector<std::string> order;
    MessageWindow memo([&](TMessage& message) {
        if (message.Msg == EM_REPLACESEL) {
            EXPECT_EQ(message.WParam, 0u);
            order.push_back(std::string("insert:") + reinterpret_cast<const char*>(message.LParam));
        }
    });
    port->SetOnReceiveData([&](TComponent*, char* data, int size, WindowHandle& display) {
        EXPECT_EQ(display, 0u);
        order.push_back("handler:" + std::to_string(size));
        display = memo.Handle();
        (void)data;
    });
    ASSERT_EQ(port->Open(0), 0);
    ASSERT_TRUE(pty.Write(QByteArray("CONNECT\0hidden", 14)));
    ASSERT_TRUE(WaitUntil([&] { return order.size() >= 2; }));
    EXPECT_EQ(order, (std::vector<std::string>{"handler:14", "insert:CONNECT"}))
        << "inserted after the handler, up to the first zero byte";
}

TEST_F(ManualPortTest, PollDoesNotNestInsideItsOwnHandlers)
{
    port->SetMaxReceiveSize(4);
    int depth = 0;
    int deepest = 0;
    port->SetOnReceiveData([&](TComponent*, char* data, int size, WindowHandle&) {
        ++depth;
        deepest = std::max(deepest, depth);
        received.append(data, size);
        // A handler that lets the loop run and asks for a poll of its own.
        SendMessage(port->Handle(), MSG_RECEIVE_POLL, 0, 0);
        clock->Advance(100);
        ProcessMessages();
        --depth;
    });
    ASSERT_EQ(port->Open(0), 0);
    ASSERT_TRUE(pty.Write("0123456789AB"));
    ASSERT_TRUE(WaitUntil([&] { return received.size() == 12; }));
    EXPECT_EQ(received, "0123456789AB");
    EXPECT_EQ(deepest, 1);
}

TEST_F(ManualPortTest, HandlerMayDestroyThePort)
{
    MessageWindow memo([](TMessage&) { ADD_FAILURE() << "the chunk of a destroyed port is not shown"; });
    port->SetOnReceiveData([&](TComponent*, char*, int, WindowHandle& display) {
        display = memo.Handle();
        port.reset();
    });
    ASSERT_EQ(port->Open(0), 0);
    ASSERT_TRUE(pty.Write("bye"));
    ASSERT_TRUE(WaitUntil([&] { return !port; }));
    EXPECT_EQ(log.events, (Events{{psOpened, 0}})) << "a destroyed port reports nothing";
    clock->Advance(200);
    ProcessMessages();

    // The same from the tick's own timer event.
    port = std::make_unique<QvSerialPort>();
    port->SetTimerInterval(50);
    port->SetOnTimer([&](TComponent*) { port.reset(); });
    port->SetTimerEnabled(true);
    clock->Advance(50);
    EXPECT_FALSE(port);
    clock->Advance(200);
}

TEST_F(ManualPortTest, ExceptionInAHandlerStopsAtThePortAndIsReported)
{
    port->SetOnReceiveData(
        [](TComponent*, char*, int, WindowHandle&) { throw std::runtime_error("bad handler"); });
    ASSERT_EQ(port->Open(0), 0);
    ASSERT_TRUE(pty.Write("boom"));
    ASSERT_TRUE(WaitUntil([&] { return log.events.size() == 3; }));
    EXPECT_EQ(log.events, (Events{{psOpened, 0}, {psClosed, 0}, {psError, -1}}));

    // The same for the timer event, on an open port.
    port->SetOnReceiveData(nullptr);
    ASSERT_EQ(port->Open(0), 0);
    port->SetTimerInterval(100);
    port->SetOnTimer([](TComponent*) { throw std::bad_alloc(); });
    port->SetTimerEnabled(true);
    clock->Advance(100);
    EXPECT_FALSE(port->IsOpened());
    EXPECT_EQ(log.events.back(), std::make_pair(psError, -1));
}

TEST_F(ManualPortTest, VanishedDeviceClosesThePortAndReportsWhy)
{
    CollectReceived();
    ASSERT_EQ(port->Open(0), 0);
    ASSERT_TRUE(pty.Write("last words"));
    ASSERT_TRUE(WaitUntil([&] { return received.size() == 10; }));
    pty.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] {
        clock->Advance(50);
        return log.events.size() == 3;
    }));
    EXPECT_FALSE(port->IsOpened());
    EXPECT_EQ(log.events[1], std::make_pair(psClosed, 0));
    EXPECT_EQ(log.events[2].first, psError);
    EXPECT_TRUE(log.events[2].second == 504 || log.events[2].second == 507) << log.events[2].second;
    EXPECT_EQ(received, "last words") << "what was read before stays delivered";
}

TEST_F(ManualPortTest, ClosedHandlerMayDestroyThePortWhileAnErrorIsReported)
{
    port->SetOnPortState([&](TComponent*, TPortState state, int) {
        log.events.push_back({state, 0});
        if (state == psClosed)
            port.reset();
    });
    CollectReceived();
    ASSERT_EQ(port->Open(0), 0);
    pty.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] {
        if (port)
            clock->Advance(50);
        return !port;
    }));
    EXPECT_EQ(log.events, (Events{{psOpened, 0}, {psClosed, 0}}));
}

TEST_F(ManualPortTest, WritesReachTheFarEndOrReport)
{
    EXPECT_EQ(port->SendData(nullptr, 0), 508);
    EXPECT_EQ(port->SendString("x"), 508);
    EXPECT_EQ(port->Flush(true, true), 508);
    ASSERT_EQ(port->Open(0), 0);
    EXPECT_EQ(port->SendData(nullptr, 0), 0);
    EXPECT_EQ(port->OutQueueFree(), 1024);

    // More than the pty holds: the write waits for the far end to read.
    const QByteArray big = Pattern(1 << 20, 7);
    QByteArray got;
    std::thread reader([&] { got = pty.Read(big.size(), 20000); });
    EXPECT_EQ(port->SendData(big.constData(), static_cast<int>(big.size())), 0);
    reader.join();
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big);

    // Nobody reads: the budget runs out, the port stays open.
    port->SetWriteTimeoutMs(200);
    EXPECT_EQ(port->SendData(big.constData(), static_cast<int>(big.size())), 506);
    EXPECT_TRUE(port->IsOpened());
    EXPECT_EQ(log.events, (Events{{psOpened, 0}}));

    // The far end hangs up while the queue is full: the write fails and
    // closes the port at once, long before its budget would run out, and so
    // does a write that could only wait for room.
    port->SetWriteTimeoutMs(60000);
    pty.CloseMaster();
    int written = -1;
    EXPECT_EQ(port->SendSome(big.constData(), 4096, written), -1);
    EXPECT_EQ(written, 0);
    EXPECT_FALSE(port->IsOpened());
    EXPECT_EQ(log.events, (Events{{psOpened, 0}, {psClosed, 0}}));
    EXPECT_EQ(port->SendData(big.constData(), 16), 508);
}

TEST_F(ManualPortTest, WriteToAFarEndThatHungUpFailsAtOnce)
{
    ASSERT_EQ(port->Open(0), 0);
    port->SetWriteTimeoutMs(60000);
    pty.CloseMaster();
    const QByteArray big = Pattern(1 << 20, 3);
    EXPECT_EQ(port->SendData(big.constData(), static_cast<int>(big.size())), -1);
    EXPECT_FALSE(port->IsOpened());
    EXPECT_NE(port->LastSystemError(), 0);
}

TEST_F(ManualPortTest, FlushKeepsWhatWasAlreadySent)
{
    ASSERT_EQ(port->Open(0), 0);
    ASSERT_EQ(port->SendString("OO"), 0);
    EXPECT_EQ(port->Flush(true, true), 0);
    EXPECT_EQ(pty.Read(2), "OO");

    // Pending input is discarded.
    CollectReceived();
    port->SetMonitorReceiveData(false);
    ASSERT_TRUE(pty.Write("stale"));
    QElapsedTimer t;
    t.start();
    int pending = 0;
    const int slave = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(slave, 0);
    while (pending < 5 && t.elapsed() < 2000) // the bytes are queued at the slave
        ioctl(slave, FIONREAD, &pending);
    ::close(slave);
    ASSERT_EQ(pending, 5);
    EXPECT_EQ(port->Flush(true, false), 0);
    SendMessage(port->Handle(), MSG_RECEIVE_POLL, 0, 0);
    EXPECT_TRUE(received.isEmpty());
}

// Line events of a serial driver, played through the driver's counters over
// a pty (which has none of its own).
class LineEventTest : public ManualPortTest
{
protected:
    void SetUp() override
    {
        CommDevice::SetLineCounterProbe([this](int, CommDevice::LineCounters& out) {
            out = counters;
            return true;
        });
        ManualPortTest::SetUp();
        CollectReceived();
        ASSERT_EQ(port->Open(0), 0);
    }
    void TearDown() override
    {
        ManualPortTest::TearDown();
        CommDevice::SetLineCounterProbe(nullptr);
    }
    // Data that has arrived and been delivered: the first read is done.
    void Receive(const QByteArray& bytes)
    {
        const auto before = received.size();
        ASSERT_TRUE(pty.Write(bytes));
        ASSERT_TRUE(WaitUntil([&] { return received.size() == before + bytes.size(); }));
    }
    void Tick()
    {
        clock->Advance(50);
        ProcessMessages();
    }
    CommDevice::LineCounters counters;
};

TEST_F(LineEventTest, ErrorAfterTheFirstReadClosesThePort)
{
    Receive("CONNECT 9600\r\n");
    ++counters.parity;
    Tick();
    EXPECT_FALSE(port->IsOpened());
    EXPECT_EQ(log.events, (Events{{psOpened, 0}, {psClosed, 0}, {psError, 505}}));

    // Each opening watches afresh.
    ASSERT_EQ(port->Open(0), 0);
    Receive("x");
    ++counters.overrun;
    Tick();
    EXPECT_EQ(log.events.back(), std::make_pair(psError, 505));
}

TEST_F(LineEventTest, ErrorBeforeTheFirstReadIsToleratedAndEndsTheWatch)
{
    ++counters.frame; // noise while the line comes up
    Tick();
    EXPECT_TRUE(port->IsOpened());
    Receive("hello");
    ++counters.frame;
    Tick();
    Receive(" world");
    EXPECT_TRUE(port->IsOpened()) << "no further line errors in this opening";
    EXPECT_EQ(received, "hello world");
    EXPECT_EQ(log.events, (Events{{psOpened, 0}}));
}

TEST_F(LineEventTest, BreakIsToleratedAndKeepsTheDataThatCameWithIt)
{
    Receive("before");
    port->SetMonitorReceiveData(false); // the test decides when the poll runs
    ++counters.breaks;
    ASSERT_TRUE(pty.Write("after"));
    SendMessage(port->Handle(), MSG_RECEIVE_POLL, 0, 0); // takes the break
    EXPECT_TRUE(port->IsOpened());
    ASSERT_TRUE(WaitUntil([&] {
        SendMessage(port->Handle(), MSG_RECEIVE_POLL, 0, 0);
        return received.size() == 11;
    }));
    EXPECT_EQ(received, "beforeafter");
    EXPECT_EQ(log.events, (Events{{psOpened, 0}}));
}

TEST_F(LineEventTest, QuietLineEndsTheFirstReadAfterItsReadTime)
{
    for (int i = 0; i < 10; ++i)
        Tick(); // 500 ms with nothing to read
    ++counters.frame;
    Tick();
    EXPECT_FALSE(port->IsOpened());
    EXPECT_EQ(log.events.back(), std::make_pair(psError, 505));
}

} // namespace
