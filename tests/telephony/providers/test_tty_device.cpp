// A line's tty opened for real, on a pty: who else holds it, and how, decides
// which error the line reports and whom it names; a UUCP lock file is
// honoured, taken over when stale, and removed again. The other holders are
// a second program (vh_tty_open_probe), as they would be on a real machine.
#include "telephony/service/providers/tty/TtyDevice.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace qv::tty;

class TtyOpen : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char name[128] = {};
        ASSERT_EQ(::openpty(&m_master, &m_slave, name, nullptr, nullptr), 0);
        m_config.device = QString::fromLocal8Bit(name);
        m_config.lockDir = m_lockDir.path();
    }
    void TearDown() override
    {
        if (m_holder.state() != QProcess::NotRunning) {
            m_holder.closeWriteChannel();
            if (!m_holder.waitForFinished(3000))
                m_holder.kill();
        }
        ::close(m_master);
        ::close(m_slave);
    }

    QByteArray LockFile() const
    {
        QFile f(LockFilePath(m_config.lockDir, m_config.device));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // Another program takes the device: "hold-excl" or "hold-flock".
    long Hold(const char* how)
    {
        m_holder.start(QStringLiteral(VH_OPEN_PROBE), {QString::fromLatin1(how), m_config.device});
        if (!m_holder.waitForStarted(5000) || !m_holder.waitForReadyRead(5000))
            return 0;
        const QByteArray said = m_holder.readLine().trimmed();
        EXPECT_EQ(said, "ready");
        return long(m_holder.processId());
    }

    QTemporaryDir m_lockDir;
    TtySettings m_config;
    QProcess m_holder;
    int m_master = -1;
    int m_slave = -1;
};

TEST_F(TtyOpen, OpensWithoutModemLinesTakesTheLockFileAndGivesItBack)
{
    auto device = MakePosixTtyDevice();
    const OpenResult r = device->Open(m_config);
    ASSERT_TRUE(r.ok()) << OpenErrorText(r, m_config.device, "modem device").toStdString();
    EXPECT_FALSE(device->HasModemLines()) << "a pty has no DTR or DCD";
    EXPECT_EQ(LockFile().trimmed().toLong(), long(::getpid()));
    EXPECT_TRUE(LockFilePath("/var/lock", "/dev/pts/7").endsWith("LCK..pts_7"));
    EXPECT_TRUE(LockFilePath("/var/lock", "/dev/ttyUSB0").endsWith("/LCK..ttyUSB0"));

    // Bytes both ways, and the far end's departure seen without reading.
    ASSERT_TRUE(device->Write("AT\r"));
    char buffer[16] = {};
    ASSERT_EQ(::read(m_master, buffer, sizeof buffer), 3);
    ASSERT_EQ(::write(m_master, "OK\r\n", 4), 4);
    pollfd p{device->Fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
    QByteArray in;
    EXPECT_EQ(device->Read(in, 1), TtyDevice::ReadStatus::Data);
    EXPECT_EQ(in, "O");
    EXPECT_FALSE(device->HungUp());

    device->Close();
    EXPECT_TRUE(LockFile().isEmpty()) << "the lock file goes with the device";
}

// Each way of holding the device gives its own error, naming the process.
// Root gets past the tty's exclusive mode at the system's level: the line
// honours it all the same.
TEST_F(TtyOpen, AnotherHolderIsNamedWithHowItHoldsTheDevice)
{
    auto device = MakePosixTtyDevice();
    const long excl = Hold("hold-excl");
    ASSERT_GT(excl, 0);
    OpenResult r = device->Open(m_config);
    EXPECT_EQ(r.error, OpenError::Exclusive);
    EXPECT_TRUE(LockFile().isEmpty()) << "a failed open leaves no lock file";
    if (::geteuid() == 0) {
        // Only root may read another process's descriptors.
        EXPECT_EQ(r.holderPid, excl);
        EXPECT_TRUE(OpenErrorText(r, m_config.device, "modem device").contains(QString::number(excl)));
        EXPECT_TRUE(OpenErrorText(r, m_config.device, "modem device").contains("vh_tty_open"));
    }
    EXPECT_TRUE(OpenErrorText(r, m_config.device, "modem device").contains("exclusive mode"));
    m_holder.closeWriteChannel();
    ASSERT_TRUE(m_holder.waitForFinished(5000));
    // The mode belongs to the tty, which our own end keeps open.
    ASSERT_EQ(::ioctl(m_slave, TIOCNXCL), 0);

    const long locker = Hold("hold-flock");
    ASSERT_GT(locker, 0);
    r = device->Open(m_config);
    EXPECT_EQ(r.error, OpenError::Locked);
    EXPECT_EQ(r.holderPid, locker) << "the kernel's lock table names it to everyone";
    EXPECT_TRUE(OpenErrorText(r, m_config.device, "modem device").contains(QString::number(locker)));

    // A live process's UUCP lock file, which is looked at before the device.
    QFile lock(LockFilePath(m_config.lockDir, m_config.device));
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.write(QByteArray::number(qint64(locker)).rightJustified(10) + "\n");
    lock.close();
    r = device->Open(m_config);
    EXPECT_EQ(r.error, OpenError::LockFile);
    EXPECT_EQ(r.holderPid, locker);
    EXPECT_TRUE(OpenErrorText(r, m_config.device, "modem device").contains(QString::number(locker)));
    EXPECT_TRUE(OpenErrorText(r, m_config.device, "modem device").contains("lock file"));

    // The lock file of a process that has ended is stale and taken over.
    m_holder.closeWriteChannel();
    ASSERT_TRUE(m_holder.waitForFinished(5000));
    ASSERT_TRUE(device->Open(m_config).ok());
    EXPECT_EQ(LockFile().trimmed().toLong(), long(::getpid()));
}

// A user outside the device's group: the message names the group to join.
// As root, a throw-away user of no group tries the device in a program of
// its own; otherwise this user tries a node it may not open.
TEST_F(TtyOpen, NoPermissionNamesTheGroupToJoin)
{
    if (::geteuid() != 0) {
        QTemporaryDir dir;
        const QString path = dir.path() + "/ttyNOPE";
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.close();
        f.setPermissions({});
        TtySettings config = m_config;
        config.device = path;
        const OpenResult r = MakePosixTtyDevice()->Open(config);
        EXPECT_EQ(r.error, OpenError::PermissionDenied);
        EXPECT_TRUE(OpenErrorText(r, path, "modem device").contains("join the"));
        return;
    }
    // The probe must be reachable for the other user, folder by folder.
    for (QFileInfo at(QStringLiteral(VH_OPEN_PROBE)); at.filePath() != "/"; at = QFileInfo(at.path())) {
        if (!(at.permissions() & QFileDevice::ExeOther))
            GTEST_SKIP() << at.filePath().toStdString() << " is closed to other users; cannot run as one";
    }
    QProcess probe;
    probe.start("setpriv", {"--reuid=48713", "--regid=48713", "--clear-groups", QStringLiteral(VH_OPEN_PROBE),
                            "open", m_config.device});
    if (!probe.waitForStarted(5000))
        GTEST_SKIP() << "setpriv is not available to run as another user";
    ASSERT_TRUE(probe.waitForFinished(10000));
    const QString said = QString::fromUtf8(probe.readAllStandardOutput()).trimmed();
    ASSERT_EQ(probe.exitCode(), 1) << said.toStdString() << probe.readAllStandardError().constData();
    // A pty's node belongs to the tty group; a serial port's to dialout.
    const QString group = QFileInfo(m_config.device).group();
    EXPECT_TRUE(said.startsWith("No permission to open the modem device " + m_config.device))
        << said.toStdString();
    EXPECT_TRUE(said.contains("join the " + group + " group")) << said.toStdString();
}

TEST_F(TtyOpen, AMissingDeviceIsNotFound)
{
    TtySettings config = m_config;
    config.device = m_lockDir.path() + "/ttyACM9";
    auto device = MakePosixTtyDevice();
    const OpenResult r = device->Open(config);
    EXPECT_EQ(r.error, OpenError::NotFound);
    EXPECT_TRUE(OpenErrorText(r, config.device, "modem device").contains("does not exist"));
}

} // namespace
