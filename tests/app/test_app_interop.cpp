// The window against real peers on the far end of a call: a receive from sz
// that breaks and is resumed through the receive options, and an "rz" typed
// at a shell behind socat, which gets the chosen file or is cancelled.
#include "AppTestSupport.h"

#include "tests/transfer/PeerProcess.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <limits>

namespace vh {
namespace {

using test::Control;

void SetNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Moves bytes between the call's far end and a peer program's terminal.
class Relay
{
public:
    Relay(int callFd, int peerFd) : m_call(callFd), m_peer(peerFd)
    {
        SetNonBlocking(callFd);
        SetNonBlocking(peerFd);
    }

    // Waits up to `waitMs` for bytes and moves what came. Once the limit is
    // reached nothing more goes from the peer to the call.
    void Step(int waitMs)
    {
        pollfd fds[2] = {{m_call, POLLIN, 0}, {m_peer, POLLIN, 0}};
        ::poll(fds, 2, waitMs);
        Move(m_call, m_peer, nullptr);
        if (m_fromPeer.size() < m_limit)
            Move(m_peer, m_call, &m_fromPeer);
    }
    // What the peer has written so far.
    const QByteArray& FromPeer() const { return m_fromPeer; }
    void LimitFromPeer(qsizetype bytes) { m_limit = bytes; }

private:
    void Move(int from, int to, QByteArray* record)
    {
        char buffer[4096];
        qsizetype room =
            record ? std::min<qsizetype>(sizeof buffer, m_limit - record->size()) : sizeof buffer;
        const ssize_t n = ::read(from, buffer, static_cast<size_t>(room));
        if (n <= 0)
            return;
        if (record)
            record->append(buffer, n);
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(to, buffer + done, static_cast<size_t>(n - done));
            if (w > 0) {
                done += w;
            } else if (w < 0 && errno != EAGAIN) {
                return; // the peer has gone
            } else {
                pollfd out{to, POLLOUT, 0};
                ::poll(&out, 1, 50);
            }
        }
    }

    int m_call;
    int m_peer;
    QByteArray m_fromPeer;
    qsizetype m_limit = std::numeric_limits<qsizetype>::max();
};

class PeerProgramTest : public test::WindowFixture
{
protected:
    void SetUp() override
    {
        if (!qv::test::PeerProcess::Available("sz") || !qv::test::PeerProcess::Available("socat"))
            GTEST_SKIP() << "lrzsz and socat are not installed (scripts/setup installs them)";
        m_window = StartAndShow();
        m_call = AnswerOnFirstRing(*m_window);
        ASSERT_TRUE(m_window->QvSerialPort1().IsOpened());
    }
    void TearDown() override
    {
        m_peer.reset();
        m_window.reset();
    }

    // Starts a peer program in its folder, relayed to the call.
    void StartPeer(const QStringList& args)
    {
        m_peer = std::make_unique<qv::test::PeerProcess>();
        const int master = m_peer->Start(args, m_peerDir.path());
        ASSERT_GE(master, 0);
        m_master.reset(master);
        m_relay = std::make_unique<Relay>(m_sim->PeerFd(m_call), master);
    }

    // Runs the window in step with real time, as the peer does, until
    // `done` holds.
    bool RunUntil(const std::function<bool()>& done, int boundMs = 60000)
    {
        QElapsedTimer timer;
        timer.start();
        qint64 last = 0;
        while (!done()) {
            if (timer.elapsed() > boundMs)
                return false;
            m_relay->Step(2);
            test::Pump(*m_clock);
            const qint64 now = timer.elapsed();
            m_clock->Advance(now - last);
            last = now;
        }
        return true;
    }

    QStringList Log() { return LogLines(m_window.get()); }
    int Count(const QString& line)
    {
        const QStringList log = Log();
        return static_cast<int>(std::count(log.begin(), log.end(), line));
    }

    struct Fd
    {
        int fd = -1;
        void reset(int f)
        {
            if (fd >= 0)
                ::close(fd);
            fd = f;
        }
        ~Fd() { reset(-1); }
    };

    std::unique_ptr<TFormTerminalEmulator> m_window;
    tapi::CallId m_call = 0;
    QTemporaryDir m_peerDir;
    QTemporaryDir m_target;
    std::unique_ptr<qv::test::PeerProcess> m_peer;
    Fd m_master;
    std::unique_ptr<Relay> m_relay;
};

TEST_F(PeerProgramTest, BrokenReceiveFromSzIsResumedThroughTheReceiveOptions)
{
    QByteArray original(600000, 0);
    for (int i = 0; i < original.size(); ++i)
        original[i] = char((i * 31 + i / 1001) & 0xFF);
    QFile source(m_peerDir.filePath("big.bin"));
    ASSERT_TRUE(source.open(QIODevice::WriteOnly));
    source.write(original);
    source.close();
    const QString received = m_target.path() + "/big.bin";

    // The operator picks the folder and Resume.
    m_chosenFolder = m_target.path();
    m_onDialog = [](QDialog& dialog) {
        dialog.show();
        QTest::mouseClick(dialog.findChild<QPushButton*>("Button1"), Qt::LeftButton);
        dialog.findChild<QComboBox*>("ComboBoxFileExists")->setCurrentIndex(4);
        QTest::mouseClick(dialog.findChild<QPushButton*>("ButtonOK"), Qt::LeftButton);
        return dialog.result();
    };
    QTest::mouseClick(Control<QPushButton>(m_window.get(), "BitBtn3"), Qt::LeftButton);
    ASSERT_EQ(m_window->QvFile1().Transfer().ReceiveExistingFiles(), qv::efResumeTransfer);

    // The line breaks a third of the way: sz is gone, nothing more arrives.
    StartPeer({"sz", "-q", "big.bin"});
    m_relay->LimitFromPeer(200000);
    ASSERT_TRUE(RunUntil([&] { return m_relay->FromPeer().size() >= 200000; }));
    m_peer->Signal(SIGKILL);
    ASSERT_TRUE(test::PumpUntil(
        *m_clock, [&] { return Log().contains("TRANSFER>Receive operation did NOT complete successfully"); },
        60000))
        << Log().join('\n').toStdString();
    const qint64 kept = QFileInfo(received).size();
    EXPECT_GT(kept, 100000);
    EXPECT_LT(kept, original.size());
    EXPECT_TRUE(Log().contains(QStringLiteral("TRANSFER>Partial file kept for a later resume: %1 (%2 bytes)")
                                   .arg(received)
                                   .arg(kept)))
        << Log().join('\n').toStdString();
    EXPECT_EQ(Count("TRANSFER>File received completely: " + received), 0);

    // sz again: the part is confirmed and the rest goes on from its end.
    StartPeer({"sz", "-q", "big.bin"});
    ASSERT_TRUE(RunUntil([&] { return Log().contains("TRANSFER>Receive operation complete successfully"); }))
        << Log().join('\n').toStdString();
    EXPECT_EQ(test::ReadAll(received), original);
    EXPECT_EQ(QDir(m_target.path()).entryList(QDir::Files), QStringList{"big.bin"});
    EXPECT_TRUE(Log().filter("Not resumed").isEmpty());
    EXPECT_EQ(Count("TRANSFER>File received completely: " + received), 1);
}

class RemoteShellTest : public PeerProgramTest
{
protected:
    void SetUp() override
    {
        PeerProgramTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        // A shell on the far side of the call, as a terminal user has it.
        StartPeer({"socat", "-", "EXEC:sh -i,pty,stderr,setsid,ctty,sane"});
        ASSERT_TRUE(RunUntil([&] { return !m_relay->FromPeer().isEmpty(); }, 20000));
    }
    void Type(const QByteArray& text) { ASSERT_EQ(m_window->QvSerialPort1().SendString(text), 0); }
};

TEST_F(RemoteShellTest, RzTypedAtTheFarShellGetsTheChosenFile)
{
    QTemporaryDir source;
    const QString path = source.filePath(QStringLiteral(u"نامه.bin"));
    QByteArray content(30000, 0);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char((i * 7) & 0xFF);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    m_chosenFiles = QStringList{path};
    Type("rz\r");
    ASSERT_TRUE(RunUntil([&] { return Log().contains("TRANSFER>Send operation complete successfully"); }))
        << Log().join('\n').toStdString();
    EXPECT_EQ(m_fileDialogs, 1);
    EXPECT_EQ(test::ReadAll(m_peerDir.filePath(QStringLiteral(u"نامه.bin"))), content);
    EXPECT_TRUE(Log().filter("Receive").isEmpty()) << Log().join('\n').toStdString();
}

TEST_F(RemoteShellTest, RzTypedAtTheFarShellIsCancelledWhenNothingIsChosen)
{
    m_chosenFiles.reset();
    Type("rz\r");
    ASSERT_TRUE(RunUntil([&] { return m_fileDialogs == 1; }));
    // The far side's rz ends and its shell answers again (a line typed while
    // rz still runs is rz's, so the question is asked until it is answered).
    bool answered = false;
    for (int attempt = 0; attempt < 40 && !answered; ++attempt) {
        Type("echo still$((20+22))\r");
        answered = RunUntil([&] { return m_relay->FromPeer().contains("still42"); }, 700);
    }
    EXPECT_TRUE(answered) << m_relay->FromPeer().toStdString();
    EXPECT_TRUE(m_window->QvFile1().IsListening());
    EXPECT_EQ(m_window->QvFile1().OperationMode(), qv::omListening);
    EXPECT_EQ(Control<QLabel>(m_window.get(), "LabelListenMode")->text(), "Listen Mode ON");
    EXPECT_TRUE(Log().filter("NOT").isEmpty()) << Log().join('\n').toStdString();
}

} // namespace
} // namespace vh
