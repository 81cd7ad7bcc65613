// vh-terminal ended by SIGTERM, SIGINT or SIGHUP, as a service manager or a
// closing terminal ends it: it stores the close-time choices as a closed
// window does, and a modem call that is up is hung up before the program
// ends.
#include "tests/e2e/ProgramRun.h"
#include "tests/e2e/WindowFixture.h"
#include "tests/support/VirtualModem.h"

#include <fcntl.h>
#include <unistd.h>

namespace vh {
namespace {

using namespace e2e;

class VhTerminalSignals : public ::testing::Test
{
protected:
    void Write(const QString& name, const QByteArray& content)
    {
        QFile file(m_settings.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QByteArray Read(const QString& name) { return Get(m_settings.filePath(name)); }
    bool Exists(const QString& name) { return QFileInfo::exists(m_settings.filePath(name)); }

    // The program with its window on no display, up once its window has
    // run the write test of its start-up steps.
    void Start(ProgramRun& program)
    {
        QFile::remove(m_settings.filePath("best.ctx"));
        program.SetEnvironment("QT_QPA_PLATFORM", "offscreen");
        ASSERT_TRUE(program.Start({"--settings-dir", m_settings.path()}));
        ASSERT_TRUE(WaitFor([&] { return Exists("best.ctx"); })) << program.Err().toStdString();
    }

    QTemporaryDir m_settings;
};

TEST_F(VhTerminalSignals, InterruptAndHangUpStoreTheChoicesAsClosingDoes)
{
    for (const int signalNumber : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        Write("telephony.conf", "[line0]\ntype = tcp\nlisten = false\n");
        // Stored without the line end the program writes, so that a file
        // written again shows.
        Write("RN.ctx", "3");
        Write("false.ctx", "00010000100010001\r\n");
        ProgramRun program(VH_TERMINAL_EXECUTABLE);
        Start(program);
        program.Signal(signalNumber);
        EXPECT_EQ(program.Finish(30000), 0) << program.Err().toStdString();
        EXPECT_EQ(Read("RN.ctx"), "3\r\n");
        EXPECT_TRUE(Exists("false.ctx")) << "automatic answering stays off";
    }
}

// A box of the start-up steps waits for an operator; a signal does not.
TEST_F(VhTerminalSignals, ASignalClosesABoxOfTheStartUpSteps)
{
    Write("telephony.conf", "[line0]\ntype = modem\ndevice = /dev/ttyVH-NONE9\n");
    ProgramRun program(VH_TERMINAL_EXECUTABLE);
    Start(program);
    ASSERT_TRUE(WaitFor([&] { return Read("vh-terminal.log").contains(">Error: Could not open the line device."); }))
        << Read("vh-terminal.log").toStdString();
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Finish(30000), 0) << program.Err().toStdString();
    EXPECT_TRUE(Read("vh-terminal.log").endsWith(" VH Terminal ended\n"));
}

TEST_F(VhTerminalSignals, TerminateHangsUpAModemCallFirst)
{
    qv::test::VirtualModem ours, caller;
    ASSERT_TRUE(ours.Start());
    ASSERT_TRUE(caller.Start());
    ours.SetRingIntervalMs(300);
    caller.AddDirectoryEntry("5551", ours.Port());
    QTemporaryDir locks;
    Write("telephony.conf", QStringLiteral("[line0]\ntype = modem\ndevice = %1\nflow = none\nlockdir = %2\n")
                                .arg(ours.DevicePath(), locks.path())
                                .toUtf8());
    Write("RN.ctx", "1");

    ProgramRun program(VH_TERMINAL_EXECUTABLE);
    Start(program);
    // The test dials from the other modem; the window answers on the first
    // ring.
    const int callerTty =
        ::open(caller.DevicePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(callerTty, 0);
    ASSERT_TRUE(WaitFor([&] { return ours.CommandLog().contains("AT"); })) << program.Err().toStdString();
    ASSERT_EQ(::write(callerTty, "ATD5551\r", 8), 8);
    ASSERT_TRUE(WaitFor([&] { return ours.InDataMode() && caller.InDataMode(); }))
        << program.Err().toStdString();

    program.Signal(SIGTERM);
    EXPECT_EQ(program.Finish(30000), 0) << program.Err().toStdString();
    EXPECT_FALSE(ours.OffHook()) << "the call is still up";
    EXPECT_TRUE(ours.CommandLog().contains("ATH")) << ours.CommandLog().toStdString();
    EXPECT_EQ(Read("RN.ctx"), "1\r\n");
    EXPECT_FALSE(Exists("false.ctx"));
    ::close(callerTty);

    // The run's story is in the log file, the window's lines among it.
    const QString log = QString::fromUtf8(Read("vh-terminal.log"));
    const qsizetype started = log.indexOf(" started; settings in ");
    const qsizetype connected = log.indexOf(" >Connected.\n");
    const qsizetype ended = log.indexOf(" VH Terminal ended\n");
    EXPECT_TRUE(started >= 0 && connected > started && ended > connected) << log.toStdString();
}

} // namespace
} // namespace vh
