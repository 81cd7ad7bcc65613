// A serial line to a board's console, for real: socat gives the line a pty
// whose far end is a shell on a terminal of its own (echo, CR to LF, as a
// board's console has), and lrzsz runs in that shell. Through the phone, the
// port and the transfer component, as the terminal drives them: typed text
// reaches the shell and its output comes back, sz sends to us and rz takes
// from us, each file byte-identical, and the hang-up ends the call.
#include "serial/QvSerialPort.h"
#include "telephony/QvPhone.h"
#include "telephony/service/Service.h"
#include "telephony/service/providers/serial/SerialLineProvider.h"
#include "tests/support/Wait.h"
#include "transfer/QvFile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

namespace {

using namespace qv;
using qv::serialline::SerialLineConfig;
using qv::serialline::SerialLineProvider;
using qv::test::WaitUntil;

const QByteArray kPrompt = "board> ";

bool Installed(const char* program)
{
    return QFileInfo(QStringLiteral("/usr/bin/") + QLatin1String(program)).isExecutable();
}

QByteArray RandomBytes(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class SerialConsole : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!Installed("socat") || !Installed("sz") || !Installed("rz"))
            GTEST_SKIP() << "socat and lrzsz are not installed (scripts/setup installs them)";
        ASSERT_TRUE(m_dir.isValid());
        ASSERT_TRUE(QDir(m_dir.path()).mkpath("board") && QDir(m_dir.path()).mkpath("ours"));
        const QString tty = m_dir.filePath("ttyBOARD");
        m_board.setWorkingDirectory(m_dir.filePath("board"));
        m_board.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PS1", kPrompt);
        m_board.setProcessEnvironment(environment);
        m_board.start("socat", {"PTY,link=" + tty + ",raw,echo=0", "EXEC:/bin/sh -i,pty,setsid,ctty,stderr"});
        ASSERT_TRUE(m_board.waitForStarted(5000));
        ASSERT_TRUE(WaitUntil([&] { return QFileInfo::exists(tty); }, 5000));

        SerialLineConfig config;
        config.name = "Board console";
        config.port.device = tty;
        config.port.lockDir = m_dir.path();
        ASSERT_TRUE(tapi::Service::Install(std::make_unique<SerialLineProvider>(std::vector{config})));

        m_phone.SetMediaMode(mmData);
        m_port.SetLinkedTo(&m_phone);
        m_port.SetMaxReceiveSize(4096);
        m_port.SetMaxSendSize(4096);
        m_port.SetOnReceiveData(
            [this](TComponent*, char* data, int size, WindowHandle&) { m_screen.append(data, size); });
        m_port.SetOnPortState([this](TComponent*, TPortState state, int) { m_opened = state == psOpened; });
        m_file.Transfer().SetLinkedTo(&m_port);
        m_file.Transfer().SetReceiveFolder(m_dir.filePath("ours") + "/");
        m_file.SetOnTransferStateEvent([this](TComponent*, TTransferState state, const QString&, int param) {
            m_transfer.push_back({state, param});
        });
        m_phone.SetOnCallState([this](QvPhone*, TCallState state, int, int, int) {
            m_calls.push_back(state);
            if (state == csConnected) {
                EXPECT_EQ(m_port.Open(0), 0);
            }
        });
        m_phone.SetOnBeforeDisconnect([this](QvPhone*, int) { m_port.Close(); });
        ASSERT_EQ(m_phone.LineActive(0, true), 0) << m_phone.LineFailureText(0).toStdString();
    }

    void TearDown() override
    {
        m_file.Transfer().SetLinkedTo(nullptr);
        m_port.Close();
        m_phone.LineActive(0, false);
        tapi::Service::Uninstall();
        if (m_board.state() != QProcess::NotRunning) {
            m_board.terminate();
            if (!m_board.waitForFinished(5000))
                m_board.kill();
        }
    }

    // Types `line` once the shell is ready for it. lrzsz flushes the
    // terminal's input as it leaves, so nothing may be typed before the
    // shell has said its prompt again.
    bool Type(const QByteArray& line)
    {
        if (!WaitUntil([&] { return m_screen.endsWith(kPrompt); }))
            return false;
        m_screen.clear();
        return m_port.SendString(line + "\r") == 0;
    }

    // Param1 of the transfer's last event of `state`; -1 when none came.
    int Last(TTransferState state) const
    {
        for (auto it = m_transfer.rbegin(); it != m_transfer.rend(); ++it)
            if (it->first == state)
                return it->second;
        return -1;
    }

    QTemporaryDir m_dir;
    QProcess m_board;
    QvPhone m_phone;
    QvSerialPort m_port;
    QvFile m_file;
    std::vector<TCallState> m_calls;
    std::vector<std::pair<TTransferState, int>> m_transfer;
    QByteArray m_screen;
    bool m_opened = false;
};

TEST_F(SerialConsole, TextAndFilesBothWaysWithTheShellOnTheFarEnd)
{
    // A direct line needs no number: the call is up at once.
    ASSERT_EQ(m_phone.DialNumber("", 1), 0);
    ASSERT_TRUE(WaitUntil([&] { return m_opened; }));
    EXPECT_EQ(std::count(m_calls.begin(), m_calls.end(), csConnected), 1);

    // Our keys reach the shell (it echoes them) and its answer comes back.
    ASSERT_TRUE(Type("echo board-$((6*7))")) << m_screen.constData();
    ASSERT_TRUE(WaitUntil([&] { return m_screen.contains("board-42"); })) << m_screen.constData();
    EXPECT_TRUE(m_screen.contains("echo board-$((6*7))")) << "the console echoes what is typed";

    // sz on the board sends to our receiver in listen mode.
    const QByteArray down = RandomBytes(300000, 1);
    {
        QFile f(m_dir.filePath("board/down.bin"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(down) == down.size());
    }
    ASSERT_EQ(m_file.ListenMode(true), 0);
    ASSERT_TRUE(Type("sz -q down.bin"));
    ASSERT_TRUE(WaitUntil([&] { return Last(tsReceiveModeEnd) >= 0; }, 60000));
    EXPECT_EQ(Last(tsReceiveModeEnd), 0);
    EXPECT_EQ(Last(tsError), -1);
    EXPECT_EQ(ReadAll(m_dir.filePath("ours/down.bin")), down);

    // Our sender starts rz on the board itself and sends to it.
    const QByteArray up = RandomBytes(250000, 2);
    {
        QFile f(m_dir.filePath("ours/up.bin"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(up) == up.size());
    }
    m_transfer.clear();
    ASSERT_TRUE(WaitUntil([&] { return m_screen.endsWith(kPrompt); })) << "sz is gone";
    m_screen.clear();
    ASSERT_EQ(m_file.SendFiles(m_dir.filePath("ours/up.bin")), 0);
    ASSERT_TRUE(WaitUntil([&] { return Last(tsSendModeEnd) >= 0; }, 60000));
    EXPECT_EQ(Last(tsSendModeEnd), 0);
    EXPECT_EQ(Last(tsError), -1);
    ASSERT_TRUE(WaitUntil([&] { return ReadAll(m_dir.filePath("board/up.bin")).size() == up.size(); }));
    EXPECT_EQ(ReadAll(m_dir.filePath("board/up.bin")), up);

    // The shell is still there for more after both transfers.
    ASSERT_TRUE(Type("echo still-$((2+3))"));
    ASSERT_TRUE(WaitUntil([&] { return m_screen.contains("still-5"); })) << m_screen.constData();

    ASSERT_EQ(m_phone.Hangup(), 0);
    ASSERT_TRUE(WaitUntil([&] { return !m_calls.empty() && m_calls.back() == csDisconnected; }));
    EXPECT_FALSE(m_opened);
    EXPECT_EQ(m_phone.NumberOfActiveCalls(), 0);
}

} // namespace
