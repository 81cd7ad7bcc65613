// The whole program against a far side on a real internet line: the main
// window, driven in-process, auto-answers a call, exchanges typed text and
// batches of files with ZMODEM both ways, logs what happened in order, and
// shows "Disconnected" when the far side hangs up. The far side is either
// this suite's own components on a second line, or the lrzsz programs behind
// socat.
#include "tests/e2e/WindowFixture.h"

#include "app/TerminalArea.h"

#include "common/Clock.h"
#include "serial/QvSerialPort.h"
#include "telephony/service/providers/tcp/TcpSocket.h"
#include "transfer/QvFile.h"

#include <QProcess>
#include <QStandardPaths>

namespace vh {
namespace {

using namespace e2e;

// The far side made of the suite's own components on line 1.
class FarSide
{
public:
    FarSide()
    {
        m_phone.SetMediaMode(qv::mmData);
        m_port.SetLinkedTo(&m_phone);
        m_port.SetMaxReceiveSize(4096);
        m_port.SetMaxSendSize(4096);
        m_file.Transfer().SetLinkedTo(&m_port);
        m_phone.SetOnCallState([this](qv::QvPhone*, qv::TCallState state, int, int, int) {
            if (state == qv::csConnected)
                m_port.Open(0);
            if (state == qv::csDisconnected)
                m_disconnected = true;
        });
        m_phone.SetOnBeforeDisconnect([this](qv::QvPhone*, int) {
            m_file.StopTransfer();
            m_port.Close();
        });
        m_port.SetOnReceiveData([this](qv::TComponent*, char* data, int size, qv::WindowHandle&) {
            m_received.append(data, size);
        });
        m_file.SetOnTransferStateEvent(
            [this](qv::TComponent*, qv::TTransferState state, const QString&, int p) {
                if (state == qv::tsSendModeEnd)
                    m_sendResult = p;
                if (state == qv::tsReceiveModeEnd)
                    m_receiveResult = p;
            });
    }
    ~FarSide()
    {
        m_file.Transfer().SetLinkedTo(nullptr);
        m_port.Close();
    }

    qv::QvPhone m_phone;
    qv::QvSerialPort m_port;
    qv::QvFile m_file;
    QByteArray m_received;
    int m_sendResult = -1;
    int m_receiveResult = -1;
    bool m_disconnected = false;
};

TEST_F(EndToEnd, CallTextAndFilesBothWaysWithOurOwnFarSide)
{
    InstallLines(qv::tcp::TcpMode::Telnet);
    StartWindow();
    QTemporaryDir outbox, farInbox, farOutbox;
    FarSide far;
    ASSERT_EQ(far.m_phone.LineActive(1, true), 0);
    far.m_file.Transfer().SetReceiveFolder(farInbox.path());
    ASSERT_EQ(far.m_file.ListenMode(true), 0);

    // The far side calls; the window answers on the first ring.
    ASSERT_EQ(far.m_phone.DialNumber(QStringLiteral("127.0.0.1:%1").arg(m_port).toUtf8(), 0), 0);
    ASSERT_TRUE(WaitFor([&] { return m_window->QvSerialPort1().IsOpened() && far.m_port.IsOpened(); }))
        << Log().join('\n').toStdString();
    EXPECT_EQ(Label("LabelConnection"), "Connected");

    // Typed text goes out with Enter as CR LF; the far side's text is shown.
    auto* terminal = m_window->findChild<TerminalArea*>(QStringLiteral("MemoTerminal"));
    ASSERT_NE(terminal, nullptr);
    terminal->setFocus();
    QTest::keyClicks(terminal, QStringLiteral("hello"));
    QTest::keyClick(terminal, Qt::Key_Return);
    ASSERT_TRUE(WaitFor([&] { return far.m_received.contains("hello\r\n"); }))
        << far.m_received.toStdString();
    ASSERT_EQ(far.m_port.SendString(QStringLiteral(u"سلام from far\r\n").toUtf8()), 0);
    ASSERT_TRUE(WaitFor([&] { return terminal->Text().contains(QStringLiteral(u"سلام from far")); }));

    // A batch from the window to the far side.
    m_toSend = {Put(outbox.path(), "small.txt", "a short text file\r\n"),
                Put(outbox.path(), QStringLiteral(u"نامه.bin"), Pattern(150000, 1)),
                Put(outbox.path(), "with space and #.dat", Pattern(4097, 2))};
    ClickSend();
    ASSERT_TRUE(WaitFor([&] { return far.m_receiveResult >= 0; }, 60000)) << Log().join('\n').toStdString();
    EXPECT_EQ(far.m_receiveResult, 0);
    ASSERT_TRUE(WaitFor([&] { return Count("TRANSFER>Send operation complete successfully") == 1; }));
    for (const QString& sent : m_toSend)
        EXPECT_EQ(Get(QDir(farInbox.path()).filePath(QFileInfo(sent).fileName())), Get(sent))
            << sent.toStdString();
    EXPECT_EQ(Label("LabelFileIndex"), "3/3");

    // A batch from the far side into the window's receive folder.
    const QStringList back = {Put(farOutbox.path(), "reply.txt", "NO CARRIER inside a file\r\n"),
                              Put(farOutbox.path(), "data.bin", Pattern(65536, 3))};
    ASSERT_EQ(far.m_file.SendFiles(back.join("\r\n") + "\r\n"), 0);
    ASSERT_TRUE(WaitFor([&] { return far.m_sendResult >= 0; }, 60000)) << Log().join('\n').toStdString();
    EXPECT_EQ(far.m_sendResult, 0);
    ASSERT_TRUE(WaitFor([&] { return Count("TRANSFER>Receive operation complete successfully") == 1; }));
    for (const QString& sent : back)
        EXPECT_EQ(Get(ReceivedInWindow(QFileInfo(sent).fileName())), Get(sent)) << sent.toStdString();
    EXPECT_FALSE(Log().contains(">No carrier detected."));

    // The far side hangs up.
    far.m_phone.Hangup();
    ASSERT_TRUE(WaitFor([&] { return Label("LabelConnection") == "Disconnected"; }))
        << Log().join('\n').toStdString();
    EXPECT_FALSE(m_window->QvSerialPort1().IsOpened());

    EXPECT_TRUE(InOrder(Log(), {
                                   "Position :",
                                   ">Telephone device is activated",
                                   "TRANSFER>Listening Mode",
                                   ">A new call arrives",
                                   ">Ring: 1",
                                   ">Connected.",
                                   "TRANSFER>Send Mode",
                                   "TRANSFER>Sending File: " + m_toSend[0],
                                   "TRANSFER>File sent successfully: " + m_toSend[0],
                                   "TRANSFER>Sending File: " + m_toSend[1],
                                   "TRANSFER>File sent successfully: " + m_toSend[1],
                                   "TRANSFER>Sending File: " + m_toSend[2],
                                   "TRANSFER>File sent successfully: " + m_toSend[2],
                                   "TRANSFER>Send operation complete successfully",
                                   "TRANSFER>Listening Mode",
                                   "TRANSFER>Receive Mode",
                                   "TRANSFER>Receiving File: " + ReceivedInWindow("reply.txt"),
                                   "TRANSFER>File received completely: " + ReceivedInWindow("reply.txt"),
                                   "TRANSFER>Receiving File: " + ReceivedInWindow("data.bin"),
                                   "TRANSFER>File received completely: " + ReceivedInWindow("data.bin"),
                                   "TRANSFER>Receive operation complete successfully",
                                   ">Disconnected",
                               }));
    EXPECT_TRUE(m_boxes.isEmpty()) << m_boxes.join('\n').toStdString();
}

TEST_F(EndToEnd, TheWindowShowsTheFarCopyRingingUntilItAnswersAndTellsWhyACallFailed)
{
    InstallLines(qv::tcp::TcpMode::Telnet);
    StartWindow();
    FarSide far;
    ASSERT_EQ(far.m_phone.LineActive(1, true), 0);
    auto dial = [&](const QString& number) {
        Field("EditTelephoneNumber")->setText(number);
        QTest::mouseClick(m_window->findChild<QPushButton*>("BitBtn2"), Qt::LeftButton);
    };

    // No number: refused at once in a box, and the line is not left off hook.
    dial(QString());
    ASSERT_EQ(m_boxes, QStringList{"Error: Invalid dial number."});
    EXPECT_FALSE(Log().contains(">Dialing..."));

    // Nobody there: the call is refused, with its own message.
    std::uint16_t nobody = 0;
    {
        qv::tcp::net::NetError error;
        const int fd = qv::tcp::net::Listen({QHostAddress::LocalHost, 0}, 1, error);
        nobody = qv::tcp::net::LocalPort(fd);
        qv::tcp::net::Close(fd);
    }
    dial(QStringLiteral("127000000001%1").arg(nobody));
    ASSERT_TRUE(WaitFor([&] { return Count(">Disconnected") == 1; })) << Log().join('\n').toStdString();
    EXPECT_TRUE(Log().contains(">The remote side refused the call: nothing accepts calls at that number."))
        << Log().join('\n').toStdString();
    EXPECT_FALSE(Log().contains(">The remote party has disconnected"));

    // The far copy rings: proceeding and ringback, not connected, until its
    // operator answers.
    dial(QStringLiteral("127000000001%1").arg(m_provider->ListeningPort(1)));
    ASSERT_TRUE(WaitFor([&] { return Log().contains(">Ringback tone detected"); }))
        << Log().join('\n').toStdString();
    ASSERT_TRUE(WaitFor([&] { return far.m_phone.NumberOfActiveCalls() == 1; }));
    EXPECT_EQ(Label("LabelConnection"), "Disconnected");
    EXPECT_FALSE(Log().contains(">Connected."));
    ASSERT_EQ(far.m_phone.Answer(0), 0);
    ASSERT_TRUE(WaitFor([&] { return Label("LabelConnection") == "Connected"; }))
        << Log().join('\n').toStdString();
    EXPECT_TRUE(InOrder(Log(), {">Dialing...", ">Proceeding...", ">Ringback tone detected", ">Connected."}));
    EXPECT_EQ(m_boxes.size(), 1);
}

class EndToEndLrzsz : public EndToEnd
{
protected:
    void SetUp() override
    {
        for (const char* program : {"socat", "sz", "rz"})
            if (QStandardPaths::findExecutable(QLatin1String(program)).isEmpty())
                GTEST_SKIP() << program << " is not installed (scripts/setup installs it)";
    }
    // socat dials the window and runs `command` on the connection.
    void Call(QProcess& socat, const QString& command, const QString& folder)
    {
        socat.setWorkingDirectory(folder);
        socat.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList debug;
        if (qEnvironmentVariableIsSet("VH_E2E_SOCAT_DUMP"))
            debug << "-x";
        socat.start(QStringLiteral("socat"),
                    debug + QStringList{"-T", "60", QStringLiteral("TCP:127.0.0.1:%1").arg(m_port),
                                        QStringLiteral("EXEC:%1").arg(command)});
        ASSERT_TRUE(socat.waitForStarted(5000));
    }
};

TEST_F(EndToEndLrzsz, FilesBothWaysWithSzAndRzBehindSocat)
{
    InstallLines(qv::tcp::TcpMode::Raw);
    StartWindow();
    QTemporaryDir farOutbox, farInbox, outbox;

    // sz sends two files as soon as the window has answered.
    const QStringList theirs = {Put(farOutbox.path(), "from-sz.txt", "text from sz\n"),
                                Put(farOutbox.path(), "from-sz.bin", Pattern(100000, 4))};
    QProcess sz;
    Call(sz, "sz -q from-sz.txt from-sz.bin", farOutbox.path());
    ASSERT_TRUE(
        WaitFor([&] { return Count("TRANSFER>Receive operation complete successfully") == 1; }, 60000))
        << Log().join('\n').toStdString();
    for (const QString& sent : theirs)
        EXPECT_EQ(Get(ReceivedInWindow(QFileInfo(sent).fileName())), Get(sent)) << sent.toStdString();
    ASSERT_TRUE(WaitFor([&] { return sz.state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(sz.exitCode(), 0);
    ASSERT_TRUE(WaitFor([&] { return Label("LabelConnection") == "Disconnected"; }))
        << Log().join('\n').toStdString();

    // rz takes two files from the window on a second call.
    m_window->QvSerialPort1().BufferIn().Clear();
    QProcess rz;
    Call(rz, "rz -q -y", farInbox.path());
    ASSERT_TRUE(WaitFor([&] { return m_window->QvSerialPort1().IsOpened(); }))
        << Log().join('\n').toStdString();
    // rz is started first, as a person starts it on a remote shell: its own
    // ZRINITs cross the window's announcement, and the send must still go.
    m_toSend = {Put(outbox.path(), "to-rz.txt", "text for rz\n"),
                Put(outbox.path(), "to-rz.bin", Pattern(80000, 5))};
    ClickSend();
    ASSERT_TRUE(WaitFor([&] { return Count("TRANSFER>Send operation complete successfully") == 1; }, 60000))
        << Log().join('\n').toStdString();
    ASSERT_TRUE(WaitFor([&] { return rz.state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(rz.exitCode(), 0);
    for (const QString& sent : m_toSend)
        EXPECT_EQ(Get(QDir(farInbox.path()).filePath(QFileInfo(sent).fileName())), Get(sent))
            << sent.toStdString();
    ASSERT_TRUE(WaitFor([&] { return Count(">Disconnected") == 2; })) << Log().join('\n').toStdString();
    EXPECT_EQ(Label("LabelConnection"), "Disconnected");
    EXPECT_TRUE(
        InOrder(Log(), {">Connected.", "TRANSFER>Receive Mode",
                        "TRANSFER>File received completely: " + ReceivedInWindow("from-sz.txt"),
                        "TRANSFER>Receive operation complete successfully", ">Disconnected", ">Connected.",
                        "TRANSFER>Send Mode", "TRANSFER>File sent successfully: " + m_toSend[1],
                        "TRANSFER>Send operation complete successfully", ">Disconnected"}));
}

// The program itself: what it answers on the command line, and how it
// reports what stops it before a window can.
struct ProgramRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

ProgramRun RunProgram(const QStringList& arguments, const QProcessEnvironment& environment)
{
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(VH_TERMINAL_EXECUTABLE), arguments);
    ProgramRun run;
    if (!program.waitForFinished(20000)) {
        program.kill();
        program.waitForFinished(5000);
        return run;
    }
    run.exitCode = program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
    run.out = QString::fromUtf8(program.readAllStandardOutput());
    run.err = QString::fromUtf8(program.readAllStandardError());
    return run;
}

TEST(Program, CommandLineAnswersAndStartUpErrors)
{
    QProcessEnvironment headless = QProcessEnvironment::systemEnvironment();
    headless.remove(QStringLiteral("DISPLAY"));
    headless.remove(QStringLiteral("WAYLAND_DISPLAY"));
    headless.remove(QStringLiteral("QT_QPA_PLATFORM"));

    const ProgramRun version = RunProgram({"--version"}, headless);
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(version.out.startsWith("vh-terminal ")) << version.out.toStdString();
    const ProgramRun help = RunProgram({"--help"}, headless);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("--settings-dir DIR")) << help.out.toStdString();

    const ProgramRun noDisplay = RunProgram({}, headless);
    EXPECT_EQ(noDisplay.exitCode, 1);
    EXPECT_TRUE(noDisplay.err.contains("no display")) << noDisplay.err.toStdString();

    QProcessEnvironment offscreen = headless;
    offscreen.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const ProgramRun bogus = RunProgram({"--bogus"}, offscreen);
    EXPECT_EQ(bogus.exitCode, 2);
    EXPECT_TRUE(bogus.err.contains("unknown argument '--bogus'")) << bogus.err.toStdString();
    const ProgramRun missing = RunProgram({"--settings-dir"}, offscreen);
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_TRUE(missing.err.contains("--settings-dir")) << missing.err.toStdString();
}

} // namespace
} // namespace vh
