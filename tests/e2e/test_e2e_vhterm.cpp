// vh-term as a user runs it: calling the window's components over an
// internet line to send, receive and chat; against sz and rz over its
// standard streams (two pipes, one terminal) and over a serial device, and
// typed at a shell it chats with; and its exit status when a call is
// refused, busy or not answered, and when a transfer fails.
#include "tests/e2e/ProgramRun.h"
#include "tests/e2e/WindowFixture.h"
#include "tests/support/VirtualModem.h"

#include "app/TerminalArea.h"

#include "serial/QvSerialPort.h"
#include "transfer/QvFile.h"

#include <QStandardPaths>
#include <QTcpServer>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace vh {
namespace {

using namespace e2e;

void WriteFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(content);
}

class VhTerm : public EndToEnd
{
protected:
    // vh-term's own settings folder: one internet line that only dials out.
    void SetUp() override
    {
        WriteFile(m_cliSettings.filePath("telephony.conf"), "[line0]\ntype = tcp\nlisten = false\n");
    }

    QStringList Dial(const QStringList& work)
    {
        return QStringList{"--settings-dir", m_cliSettings.path(), "dial",
                           QStringLiteral("127.0.0.1:%1").arg(m_port)} +
               work;
    }

    QTemporaryDir m_cliSettings;
};

TEST_F(VhTerm, SendsReceivesAndChatsWithTheWindow)
{
    InstallLines(qv::tcp::TcpMode::Telnet);
    StartWindow();
    QTemporaryDir outbox, inbox;

    // Two files to the window, which answers on the first ring.
    const QStringList files = {Put(outbox.path(), "first.bin", Pattern(120000, 7)),
                               Put(outbox.path(), QStringLiteral(u"دوم.txt"), "second\r\n")};
    ProgramRun send(VH_TERM_EXECUTABLE);
    ASSERT_TRUE(send.Start(Dial(QStringList{"--send"} + files)));
    EXPECT_EQ(send.Finish(), 0) << send.Err().toStdString();
    for (const QString& file : files)
        EXPECT_EQ(Get(ReceivedInWindow(QFileInfo(file).fileName())), Get(file));
    // The window's own log lines, in the window's order.
    EXPECT_TRUE(
        InOrder(send.ErrLines(), {">Telephone device is activated", ">Connected.", "TRANSFER>Send Mode",
                                  "TRANSFER>File sent successfully: " + files[0],
                                  "TRANSFER>File sent successfully: " + files[1],
                                  "TRANSFER>Send operation complete successfully", ">Disconnected"}));
    ASSERT_TRUE(WaitFor([&] { return Label("LabelConnection") == "Disconnected"; }));

    // Files from the window, sent once vh-term's call is up.
    ProgramRun receive(VH_TERM_EXECUTABLE);
    ASSERT_TRUE(receive.Start(Dial({"--receive", "--folder", inbox.path()})));
    ASSERT_TRUE(WaitFor([&] { return m_window->QvSerialPort1().IsOpened(); })) << receive.Err().toStdString();
    m_toSend = {Put(outbox.path(), "back.bin", Pattern(70000, 8))};
    ClickSend();
    EXPECT_EQ(receive.Finish(), 0) << receive.Err().toStdString();
    EXPECT_EQ(Get(QDir(inbox.path()).filePath("back.bin")), Get(m_toSend[0]));
    EXPECT_TRUE(receive.ErrLines().contains("TRANSFER>Receive operation complete successfully"));
    ASSERT_TRUE(WaitFor([&] { return Label("LabelConnection") == "Disconnected"; }));

    // A chat from a pipe: its text reaches the window's terminal, the
    // window's reaches standard output, and the end of the pipe hangs up.
    ProgramRun chat(VH_TERM_EXECUTABLE);
    ASSERT_TRUE(chat.Start(Dial({})));
    ASSERT_TRUE(WaitFor([&] { return m_window->QvSerialPort1().IsOpened(); })) << chat.Err().toStdString();
    auto* terminal = m_window->findChild<TerminalArea*>(QStringLiteral("MemoTerminal"));
    chat.Write("hello from vh-term\r\n");
    ASSERT_TRUE(WaitFor([&] { return terminal->Text().contains("hello from vh-term"); }));
    ASSERT_EQ(m_window->QvSerialPort1().SendString(QStringLiteral(u"پاسخ from the window\r\n").toUtf8()), 0);
    ASSERT_TRUE(
        WaitFor([&] { return chat.Out().contains(QStringLiteral(u"پاسخ from the window").toUtf8()); }));
    chat.CloseInput();
    EXPECT_EQ(chat.Finish(), 0) << chat.Err().toStdString();
    EXPECT_TRUE(WaitFor([&] { return Label("LabelConnection") == "Disconnected"; }));
    EXPECT_TRUE(m_boxes.isEmpty()) << m_boxes.join('\n').toStdString();
}

TEST_F(VhTerm, ChatsOnATerminalUntilTheEscapeKey)
{
    InstallLines(qv::tcp::TcpMode::Telnet);
    StartWindow();
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    const QString terminalPath = QString::fromLocal8Bit(::ttyname(slave));
    QByteArray screen;
    auto readScreen = [&] {
        char buffer[4096];
        for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
            screen.append(buffer, int(n));
    };
    ::fcntl(master, F_SETFL, O_NONBLOCK);

    ProgramRun chat(VH_TERM_EXECUTABLE);
    chat.SetTerminal(terminalPath);
    ASSERT_TRUE(chat.Start(Dial({"--chat"})));
    ASSERT_TRUE(WaitFor([&] { return m_window->QvSerialPort1().IsOpened(); })) << chat.Err().toStdString();
    ASSERT_TRUE(WaitFor([&] { return chat.Err().contains("Ctrl-] hangs up"); })) << chat.Err().toStdString();

    // Keys go out one by one and Enter as the line's CR LF; what is typed is
    // shown, since the window does not echo.
    auto* terminal = m_window->findChild<TerminalArea*>(QStringLiteral("MemoTerminal"));
    ASSERT_EQ(::write(master, "typed\r", 6), 6);
    ASSERT_TRUE(WaitFor([&] { return terminal->Text().contains("typed"); }));
    EXPECT_TRUE(m_window->QvSerialPort1().BufferIn().Find(0, "typed\r\n", true) >= 0);
    ASSERT_TRUE(WaitFor([&] {
        readScreen();
        return screen.contains("typed");
    })) << screen.toStdString();

    ASSERT_EQ(::write(master, "\x1d", 1), 1);
    EXPECT_EQ(chat.Finish(), 0) << chat.Err().toStdString();
    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "the terminal is raw still";
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_TRUE(WaitFor([&] { return Label("LabelConnection") == "Disconnected"; }));
    ::close(master);
    ::close(slave);
}

TEST_F(VhTerm, ExitStatusForRefusedBusyUnansweredAndFailedCalls)
{
    // Before any call: the settings folder never takes received files.
    ProgramRun intoSettings(VH_TERM_EXECUTABLE);
    ASSERT_TRUE(intoSettings.Start(Dial({"--receive", "--folder", m_cliSettings.path()})));
    EXPECT_EQ(intoSettings.Finish(), 2);
    EXPECT_TRUE(intoSettings.Err().contains("holds the program's own settings"))
        << intoSettings.Err().toStdString();

    // Refused: nothing listens at the number any more.
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    m_port = closed.serverPort();
    closed.close();
    ProgramRun refused(VH_TERM_EXECUTABLE);
    ASSERT_TRUE(refused.Start(Dial({})));
    EXPECT_EQ(refused.Finish(), 6) << refused.Err().toStdString();
    EXPECT_TRUE(refused.Err().contains("vh-term: The remote side refused the call"))
        << refused.Err().toStdString();
    EXPECT_TRUE(refused.Err().contains("(code 165)")) << refused.Err().toStdString();

    // Busy and unanswered, on a modem line.
    QTemporaryDir modemSettings, locks;
    qv::test::VirtualModem modem;
    ASSERT_TRUE(modem.Start());
    WriteFile(modemSettings.filePath("telephony.conf"),
              QStringLiteral("[line0]\ntype = modem\ndevice = %1\nflow = none\nlockdir = %2\n")
                  .arg(modem.DevicePath(), locks.path())
                  .toUtf8());
    modem.SetFault(qv::test::VirtualModem::Fault::Busy);
    ProgramRun busy(VH_TERM_EXECUTABLE);
    ASSERT_TRUE(busy.Start({"--settings-dir", modemSettings.path(), "dial", "5551234"}));
    EXPECT_EQ(busy.Finish(), 4) << busy.Err().toStdString();
    EXPECT_TRUE(busy.ErrLines().contains(">Busy")) << busy.Err().toStdString();

    modem.SetFault(qv::test::VirtualModem::Fault::NoAnswer);
    ProgramRun unanswered(VH_TERM_EXECUTABLE);
    ASSERT_TRUE(unanswered.Start({"--settings-dir", modemSettings.path(), "--wait", "2", "dial", "5551234"}));
    EXPECT_EQ(unanswered.Finish(), 5) << unanswered.Err().toStdString();
    EXPECT_TRUE(unanswered.Err().contains("vh-term: no answer within 2 s")) << unanswered.Err().toStdString();

    // A transfer the far side breaks off: the window hangs up as soon as the
    // file has begun to arrive.
    InstallLines(qv::tcp::TcpMode::Raw);
    StartWindow();
    QTemporaryDir outbox;
    const QString big = Put(outbox.path(), "big.bin", Pattern(4 << 20, 9));
    ProgramRun failed(VH_TERM_EXECUTABLE);
    ASSERT_TRUE(failed.Start(Dial({"--send", big})));
    ASSERT_TRUE(WaitFor([&] { return m_window->QvFile1().OperationMode() == qv::omReceiving; }))
        << failed.Err().toStdString();
    m_window->QvPhone1().Hangup();
    EXPECT_EQ(failed.Finish(), 1) << failed.Err().toStdString();
    EXPECT_TRUE(failed.Err().contains("vh-term: the files were not all sent")) << failed.Err().toStdString();
}

class VhTermLrzsz : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const char* program : {"socat", "sz", "rz"})
            if (QStandardPaths::findExecutable(QLatin1String(program)).isEmpty())
                GTEST_SKIP() << program << " is not installed (scripts/setup installs it)";
        m_files = {Put(m_source.path(), "one.bin", Pattern(200000, 10)),
                   Put(m_source.path(), "two.txt", "two\n")};
        // socat runs vh-term through this script, which keeps its exit
        // status and standard error for the test.
        WriteFile(m_work.filePath("run.sh"),
                  QStringLiteral("\"%1\" \"$@\" 2>\"%2/err\"\necho $? >\"%2/status\"\n")
                      .arg(QStringLiteral(VH_TERM_EXECUTABLE), m_work.path())
                      .toUtf8());
    }

    // socat joins vh-term (`vhTermOptions` on its side) and `peer`.
    int RunJoined(const QString& vhTermArguments, const QString& vhTermOptions, const QString& peer)
    {
        ProgramRun socat(QStringLiteral("socat"));
        EXPECT_TRUE(socat.Start(
            {QStringLiteral("EXEC:sh %1/run.sh %2%3").arg(m_work.path(), vhTermArguments, vhTermOptions),
             peer}));
        EXPECT_EQ(socat.Finish(), 0) << socat.Err().toStdString();
        m_err = QString::fromUtf8(Get(m_work.filePath("err")));
        return QString::fromUtf8(Get(m_work.filePath("status"))).trimmed().toInt();
    }

    void ExpectReceived(const QString& folder)
    {
        for (const QString& file : m_files)
            EXPECT_EQ(Get(QDir(folder).filePath(QFileInfo(file).fileName())), Get(file))
                << file.toStdString();
    }

    QTemporaryDir m_source, m_work;
    QStringList m_files;
    QString m_err;
};

TEST_F(VhTermLrzsz, OverTwoPipesOneTerminalAndADevice)
{
    // To rz over two pipes, the way a remote shell joins them.
    QTemporaryDir toRz;
    EXPECT_EQ(RunJoined("send " + m_files.join(' '), ",pipes",
                        QStringLiteral("SYSTEM:cd %1 && exec rz -q -y").arg(toRz.path())),
              0)
        << m_err.toStdString();
    ExpectReceived(toRz.path());
    EXPECT_TRUE(m_err.contains("TRANSFER>Send operation complete successfully")) << m_err.toStdString();

    // From sz over one terminal that is both standard input and output.
    QTemporaryDir fromSz;
    EXPECT_EQ(RunJoined("receive --folder " + fromSz.path(), ",pty,raw,echo=0",
                        QStringLiteral("SYSTEM:cd %1 && exec sz -q one.bin two.txt").arg(m_source.path())),
              0)
        << m_err.toStdString();
    ExpectReceived(fromSz.path());

    // From sz behind a serial device (a pty that socat makes).
    QTemporaryDir fromDevice;
    const QString device = m_work.filePath("ttyV0");
    ProgramRun socat(QStringLiteral("socat"));
    ASSERT_TRUE(
        socat.Start({QStringLiteral("PTY,link=%1,raw,echo=0").arg(device),
                     QStringLiteral("SYSTEM:cd %1 && exec sz -q one.bin two.txt").arg(m_source.path())}));
    ASSERT_TRUE(WaitFor([&] { return QFileInfo::exists(device); }));
    ProgramRun receive(VH_TERM_EXECUTABLE);
    ASSERT_TRUE(receive.Start({"receive", "--device", device, "--folder", fromDevice.path()}));
    EXPECT_EQ(receive.Finish(), 0) << receive.Err().toStdString();
    ExpectReceived(fromDevice.path());
}

// A shell on the far side of an internet line, as a Unix host gives it, with
// `m_far` as its folder; vh-term chats with it from `m_inbox`'s side.
class VhTermFarShell : public VhTermLrzsz
{
protected:
    void SetUp() override
    {
        VhTermLrzsz::SetUp();
        if (IsSkipped())
            return;
        WriteFile(m_settings.filePath("telephony.conf"), "[line0]\ntype = tcp\nlisten = false\nmode = raw\n");
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        m_farPort = probe.serverPort();
        probe.close();
        ASSERT_TRUE(m_shell.Start(
            {"-d", "-d", "-T", "60", QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr").arg(m_farPort),
             QStringLiteral("SYSTEM:cd '%1' && exec sh -i,pty,stderr,setsid,ctty,sane").arg(m_far.path())}));
        ASSERT_TRUE(WaitFor([&] { return m_shell.Err().contains("listening on"); }))
            << m_shell.Err().toStdString();
    }

    QStringList Chat() const
    {
        return {"--settings-dir", m_settings.path(), "dial", QStringLiteral("127.0.0.1:%1").arg(m_farPort),
                "--folder",       m_inbox.path()};
    }

    QTemporaryDir m_far, m_inbox, m_settings;
    quint16 m_farPort = 0;
    ProgramRun m_shell{QStringLiteral("socat")};
};

TEST_F(VhTermFarShell, AChatTakesWhatTheFarShellsSzSendsAndGivesItsRzTheNamesTyped)
{
    const QByteArray down = Pattern(150000, 11);
    Put(m_far.path(), "down load.bin", down);
    const QString up = Put(m_source.path(), QStringLiteral(u"نامه تازه.bin"), Pattern(90000, 12));

    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    QByteArray screen;
    auto readScreen = [&] {
        char buffer[4096];
        for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
            screen.append(buffer, int(n));
    };
    auto type = [&](const QByteArray& keys) {
        ASSERT_EQ(::write(master, keys.constData(), size_t(keys.size())), keys.size());
    };
    ProgramRun chat(VH_TERM_EXECUTABLE);
    chat.SetTerminal(QString::fromLocal8Bit(::ttyname(slave)));
    ASSERT_TRUE(chat.Start(Chat()));
    auto errSays = [&](const QString& text, int times = 1) {
        return WaitFor([&] {
            readScreen();
            return chat.Err().count(text) >= times;
        });
    };
    ASSERT_TRUE(errSays("Ctrl-] hangs up")) << chat.Err().toStdString();

    type("sz 'down load.bin'\r");
    ASSERT_TRUE(errSays("TRANSFER>Receive operation complete successfully")) << chat.Err().toStdString();
    EXPECT_EQ(Get(QDir(m_inbox.path()).filePath("down load.bin")), down);

    // The names on one line, a quoted one with a space among them; a name
    // that is no file is said and left out.
    type("rz\r");
    ASSERT_TRUE(errSays("type their names")) << chat.Err().toStdString();
    const QString missing = m_source.filePath("missing.bin");
    type(QStringLiteral("\"%1\" %2\r").arg(up, missing).toUtf8());
    ASSERT_TRUE(errSays("TRANSFER>Send operation complete successfully")) << chat.Err().toStdString();
    EXPECT_TRUE(chat.Err().contains(QStringLiteral("cannot send '%1': no such file").arg(missing)));
    EXPECT_EQ(Get(QDir(m_far.path()).filePath(QStringLiteral(u"نامه تازه.bin"))), Get(up));

    // Enter alone: the far side's rz is cancelled, and its shell answers
    // again (a line typed while rz still runs is rz's, so it is asked until
    // it is answered).
    type("rz\r");
    ASSERT_TRUE(errSays("type their names", 2)) << chat.Err().toStdString();
    type("\r");
    ASSERT_TRUE(errSays("the far side's receiver was cancelled")) << chat.Err().toStdString();
    bool answered = false;
    for (int attempt = 0; attempt < 40 && !answered; ++attempt) {
        type("echo still$((20+22))\r");
        answered = WaitFor(
            [&] {
                readScreen();
                return screen.contains("still42");
            },
            700);
    }
    EXPECT_TRUE(answered) << screen.toStdString();

    type("\x1d");
    EXPECT_EQ(chat.Finish(), 0) << chat.Err().toStdString();
    EXPECT_TRUE(chat.Err().count("NOT") == 0) << chat.Err().toStdString();
    ::close(master);
    ::close(slave);
}

TEST_F(VhTermFarShell, AChatFromAPipeHoldsItsNextLineUntilTheDownloadIsIn)
{
    // Large enough that the next line comes while the file is on its way.
    const QByteArray big = Pattern(24000000, 13);
    Put(m_far.path(), "big.bin", big);
    ProgramRun chat(VH_TERM_EXECUTABLE);
    ASSERT_TRUE(chat.Start(Chat()));
    ASSERT_TRUE(WaitFor([&] { return chat.Err().contains(">Connected."); })) << chat.Err().toStdString();
    chat.Write("sz big.bin\r");
    ASSERT_TRUE(WaitFor([&] { return chat.Err().contains("TRANSFER>Receiving File"); }))
        << chat.Err().toStdString();
    // Sent in the middle of the frames, the line would be sz's to read, and
    // the shell would never see it.
    chat.Write("echo after$((1+1))\r");
    ASSERT_TRUE(WaitFor([&] { return chat.Out().contains("after2"); }, 60000)) << chat.Out().right(300).toStdString();
    EXPECT_TRUE(chat.Err().contains("TRANSFER>Receive operation complete successfully"))
        << chat.Err().toStdString();
    EXPECT_EQ(Get(QDir(m_inbox.path()).filePath("big.bin")), big);
    chat.CloseInput();
    EXPECT_EQ(chat.Finish(), 0) << chat.Err().toStdString();
}

} // namespace
} // namespace vh
