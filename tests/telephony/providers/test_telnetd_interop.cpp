// The phone component, its serial port and the transfer component on a
// telnet-mode internet line against Debian's own telnet server (inetutils'
// telnetd, started behind socat on 127.0.0.1 with a plain shell in place of
// the login): the options agreed, one command per Enter with its output once,
// and ZMODEM both ways with the lrzsz programs on the far side.
#include "serial/QvSerialPort.h"
#include "telephony/QvPhone.h"
#include "telephony/service/Service.h"
#include "telephony/service/providers/tcp/TcpProvider.h"
#include "telephony/service/providers/tcp/TcpSocket.h"
#include "tests/telephony/providers/TcpTestSupport.h"
#include "transfer/QvFile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using namespace qv;
using namespace qv::tcp;
using qv::test::PumpUntil;

constexpr const char* kTelnetd = "/usr/sbin/telnetd";

class TelnetdLine : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const char* program : {"socat", "sz", "rz", "bash"})
            if (QStandardPaths::findExecutable(program).isEmpty())
                GTEST_SKIP() << program << " is not installed (scripts/setup installs it)";
        if (::access(kTelnetd, X_OK) != 0)
            GTEST_SKIP() << "inetutils-telnetd is not installed (scripts/setup installs it)";
        ASSERT_TRUE(m_dir.isValid());
        QDir(m_dir.path()).mkpath("home/up");
        QDir(m_dir.path()).mkpath("inbox");
        QDir(m_dir.path()).mkpath("outbox");
        // The program telnetd runs instead of the login: a shell without
        // start-up files or line editing, so that what it sends is plain.
        const QString script = Path("shell.sh");
        QFile file(script);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("#!/bin/sh\ncd '%1' || exit 1\n"
                                  "exec env -i PATH=/usr/bin:/bin HOME='%1' TERM=\"$TERM\" PS1='$ ' "
                                  "/bin/bash --norc --noprofile --noediting -i\n")
                       .arg(Path("home"))
                       .toUtf8());
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        net::NetError error;
        const int probe = net::Listen({QHostAddress::LocalHost, 0}, 1, error);
        m_port = net::LocalPort(probe);
        net::Close(probe);
        // -T: socat gives up by itself if the test goes astray.
        m_socat.start("socat",
                      {"-T", "60", QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr").arg(m_port),
                       QStringLiteral("EXEC:%1 -h -E %2").arg(kTelnetd, script)});
        ASSERT_TRUE(m_socat.waitForStarted(5000));

        tapi::Service::Uninstall();
        TcpLineConfig line;
        line.listen = false;
        line.mode = TcpMode::Telnet;
        line.connectTimeoutSeconds = 10;
        auto provider =
            std::make_unique<TcpProvider>(std::vector<TcpLineConfig>{line}, QMap<QString, QString>{});
        m_tcp = provider.get();
        ASSERT_TRUE(tapi::Service::Install(std::move(provider)));

        m_phone.SetMediaMode(mmData);
        m_serial.SetLinkedTo(&m_phone);
        m_serial.SetMaxReceiveSize(4096);
        m_serial.SetMaxSendSize(4096);
        m_serial.SetMonitorReceiveData(true);
        m_file.Transfer().SetLinkedTo(&m_serial);
        m_file.Transfer().SetReceiveFolder(Path("inbox") + '/');
        m_phone.SetOnCallState([this](QvPhone*, TCallState state, int, int, int) {
            m_states.push_back(state);
            if (state == csConnected)
                m_serial.Open(0);
        });
        m_phone.SetOnBeforeDisconnect([this](QvPhone*, int) {
            m_file.StopTransfer();
            m_serial.Close();
        });
        m_serial.SetOnReceiveData(
            [this](TComponent*, char* data, int size, WindowHandle&) { m_received.append(data, size); });
        m_file.SetOnTransferStateEvent([this](TComponent*, TTransferState state, const QString&, int p) {
            if (state == tsError)
                m_errors.push_back(p);
            if (state == tsSendModeEnd)
                m_sendResult = p;
            if (state == tsReceiveModeEnd)
                m_receiveResult = p;
        });
        ASSERT_EQ(m_phone.SetTerminalInfo({"ANSI", "VT100"}, 80, 24), 0);
        ASSERT_EQ(m_phone.LineActive(0, true), 0);
        ASSERT_EQ(m_file.ListenMode(true), 0);

        // socat needs a moment to listen; until then the call is refused and
        // is simply placed again.
        ASSERT_TRUE(Wait(
            [&] {
                if (m_phone.IsConnected())
                    return true;
                if (m_phone.NumberOfActiveCalls() == 0 && m_phone.PendingRequestCount() == 0) {
                    m_states.clear();
                    EXPECT_EQ(m_phone.DialNumber(QByteArray("127.0.0.1:") + QByteArray::number(m_port), 0),
                              0);
                }
                return false;
            },
            20000));
        ASSERT_TRUE(Wait([&] { return m_serial.IsOpened() && m_received.endsWith("$ "); }))
            << m_received.toStdString();
    }

    void TearDown() override
    {
        m_file.Transfer().SetLinkedTo(nullptr);
        m_serial.Close();
        m_phone.LineActive(0, false);
        tapi::Service::Uninstall();
        if (m_socat.state() != QProcess::NotRunning) {
            m_socat.kill();
            m_socat.waitForFinished(5000);
        }
    }

    QString Path(const QString& name) const { return QDir(m_dir.path()).filePath(name); }

    template <class P> bool Wait(P done, int boundMs = 30000)
    {
        return PumpUntil(
            [&] {
                tapi::Service::DeliverPending();
                return done();
            },
            nullptr, 0, boundMs);
    }

    // Types a line as the window does: the text, then Enter as the line says
    // the far side wants it.
    void Type(const QByteArray& line)
    {
        ASSERT_EQ(m_serial.SendString(line + m_phone.LineTraits().Newline), 0);
    }

    QTemporaryDir m_dir;
    QProcess m_socat;
    std::uint16_t m_port = 0;
    TcpProvider* m_tcp = nullptr;
    QvPhone m_phone;
    QvSerialPort m_serial;
    QvFile m_file;
    std::vector<TCallState> m_states;
    std::vector<int> m_errors;
    QByteArray m_received;
    int m_sendResult = -1, m_receiveResult = -1;
};

QByteArray Put(const QString& path, const QByteArray& content)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
    return content;
}

QByteArray Get(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

// Random bytes, every byte value in turn, and nothing but IAC.
std::vector<std::pair<QString, QByteArray>> Files(const QString& prefix)
{
    QByteArray random(96 * 1024, 0);
    for (char& c : random)
        c = char(QRandomGenerator::global()->bounded(256));
    QByteArray every;
    for (int round = 0; round < 64; ++round)
        for (int i = 0; i < 256; ++i)
            every.append(char(i));
    return {{prefix + "random.bin", random},
            {prefix + "every.bin", every},
            {prefix + "iac.bin", QByteArray(32 * 1024, char(0xFF))}};
}

TEST_F(TelnetdLine, TheServerEchoesAndOneEnterRunsOneCommand)
{
    EXPECT_EQ(m_states, (std::vector<TCallState>{csDialing, csProceeding, csConnected}))
        << "a host that is no copy of ours is answered once connected";
    const TelnetCodec* telnet =
        m_tcp->TelnetOf(tapi::Service::CallOfHandle(tapi::HCALL(m_phone.CurrentCallHandle())));
    ASSERT_NE(telnet, nullptr);
    EXPECT_TRUE(telnet->PeerDoes(telnet::OPT_SGA));
    EXPECT_TRUE(telnet->PeerDoes(telnet::OPT_ECHO));
    EXPECT_TRUE(telnet->BinaryToPeer());
    // The server takes its output out of BINARY while the shell's terminal
    // is not raw (and back in for sz): the NVT rules apply to that direction
    // meanwhile, as the lines below show.
    EXPECT_FALSE(telnet->BinaryFromPeer());
    EXPECT_TRUE(telnet->WeDo(telnet::OPT_TTYPE));
    EXPECT_TRUE(telnet->WeDo(telnet::OPT_NAWS));

    TLineTraits expected;
    expected.RemoteEcho = true;
    expected.Newline = "\r"; // its input is binary
    EXPECT_EQ(m_phone.LineTraits(), expected);

    // The server had our terminal type (which it spells its own way) and
    // size.
    m_received.clear();
    Type("echo \"$TERM $(stty size)\"");
    ASSERT_TRUE(Wait([&] { return m_received.endsWith("\r\n$ "); })) << m_received.toStdString();
    EXPECT_EQ(m_received.toLower(), "echo \"$term $(stty size)\"\r\nansi 24 80\r\n$ ");

    // Typed once, echoed once, run once: the prompt that follows is the only
    // one, which the next command shows.
    m_received.clear();
    Type("echo $((6*7))");
    ASSERT_TRUE(Wait([&] { return m_received.endsWith("42\r\n$ "); })) << m_received.toStdString();
    Type("echo end");
    ASSERT_TRUE(Wait([&] { return m_received.endsWith("end\r\n$ "); })) << m_received.toStdString();
    EXPECT_EQ(m_received, "echo $((6*7))\r\n42\r\n$ echo end\r\nend\r\n$ ");

    // A new size reaches the shell during the call.
    ASSERT_EQ(m_phone.SetTerminalInfo({"ANSI", "VT100"}, 100, 40), 0);
    m_received.clear();
    Type("stty size");
    ASSERT_TRUE(Wait([&] { return m_received.endsWith("\r\n$ "); })) << m_received.toStdString();
    EXPECT_EQ(m_received, "stty size\r\n40 100\r\n$ ");
}

TEST_F(TelnetdLine, FilesGoBothWaysByteIdenticalWithTheServersLrzsz)
{
    // sz on the far side: our listening receiver takes the files.
    const auto down = Files("down-");
    QStringList names;
    for (const auto& [name, content] : down) {
        Put(Path("home/" + name), content);
        names << name;
    }
    Type("sz -q " + names.join(' ').toUtf8());
    ASSERT_TRUE(Wait([&] { return m_receiveResult >= 0; }, 60000)) << m_received.toStdString();
    EXPECT_EQ(m_receiveResult, 0);
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
    for (const auto& [name, content] : down)
        EXPECT_TRUE(Get(Path("inbox/" + name)) == content) << name.toStdString();
    ASSERT_TRUE(Wait([&] { return m_received.endsWith("$ "); })) << "the shell is back";

    // rz on the far side: our sender starts it itself.
    m_received.clear();
    Type("cd up");
    ASSERT_TRUE(Wait([&] { return m_received.endsWith("$ "); }));
    const auto up = Files("up-");
    QString list;
    for (const auto& [name, content] : up)
        list += Put(Path("outbox/" + name), content).isEmpty() ? QString() : Path("outbox/" + name) + "\r\n";
    ASSERT_EQ(m_file.SendFiles(list), 0);
    ASSERT_TRUE(Wait([&] { return m_sendResult >= 0; }, 60000)) << m_received.toStdString();
    EXPECT_EQ(m_sendResult, 0);
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
    // rz has the last file once it has written it.
    ASSERT_TRUE(Wait([&] { return m_received.endsWith("$ "); })) << "rz has ended";
    for (const auto& [name, content] : up)
        EXPECT_TRUE(Get(Path("home/up/" + name)) == content) << name.toStdString();
}

} // namespace
