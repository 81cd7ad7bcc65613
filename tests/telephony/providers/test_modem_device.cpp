// The modem's tty opened for real, on a pty: who else holds it decides which
// error the line reports, and a UUCP lock file is honoured, taken over when
// stale, and removed again.
#include "telephony/service/providers/modem/ModemDevice.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace qv::modem;

class ModemTty : public ::testing::Test
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
        ::close(m_master);
        ::close(m_slave);
    }

    QByteArray LockFile() const
    {
        QFile f(LockFilePath(m_config.lockDir, m_config.device));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir m_lockDir;
    ModemLineConfig m_config;
    int m_master = -1;
    int m_slave = -1;
};

TEST_F(ModemTty, OpensWithoutModemLinesTakesTheLockFileAndGivesItBack)
{
    auto device = MakePosixModemDevice();
    const OpenResult r = device->Open(m_config);
    ASSERT_TRUE(r.ok()) << OpenErrorText(r, m_config.device).toStdString();
    EXPECT_FALSE(device->HasModemLines()) << "a pty has no DTR or DCD";
    EXPECT_EQ(LockFile().trimmed().toLong(), long(::getpid()));
    EXPECT_TRUE(LockFilePath("/var/lock", "/dev/pts/7").endsWith("LCK..pts_7"));
    EXPECT_TRUE(LockFilePath("/var/lock", "/dev/ttyUSB0").endsWith("/LCK..ttyUSB0"));

    // Bytes both ways, and the far end's departure seen without reading.
    ASSERT_TRUE(device->Write("AT\r"));
    char buffer[16] = {};
    ASSERT_EQ(::read(m_master, buffer, sizeof buffer), 3);
    ASSERT_EQ(::write(m_master, "OK\r\n", 4), 4);
    ASSERT_TRUE(device->WaitReadable(2000));
    QByteArray in;
    EXPECT_EQ(device->Read(in, 1), ModemDevice::ReadStatus::Data);
    EXPECT_EQ(in, "O");
    EXPECT_FALSE(device->HungUp());

    device->Close();
    EXPECT_TRUE(LockFile().isEmpty()) << "the lock file goes with the device";
}

TEST_F(ModemTty, AnotherHolderIsReportedByHowItHoldsTheDevice)
{
    // Another program's advisory lock.
    const int other = ::open(m_config.device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    auto device = MakePosixModemDevice();
    EXPECT_EQ(device->Open(m_config).error, OpenError::Locked);
    EXPECT_TRUE(LockFile().isEmpty()) << "a failed open leaves no lock file";
    ::close(other);

    // A live process's UUCP lock file.
    QFile lock(LockFilePath(m_config.lockDir, m_config.device));
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.write(QByteArray::number(qint64(::getppid())).rightJustified(10) + "\n");
    lock.close();
    const OpenResult held = device->Open(m_config);
    EXPECT_EQ(held.error, OpenError::LockFile);
    EXPECT_EQ(held.lockPid, long(::getppid()));
    EXPECT_TRUE(OpenErrorText(held, m_config.device).contains(QString::number(::getppid())));

    // The lock file of a process that has ended is stale and taken over.
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly | QIODevice::Truncate));
    lock.write(QByteArray::number(qint64(child)).rightJustified(10) + "\n");
    lock.close();
    ASSERT_TRUE(device->Open(m_config).ok());
    EXPECT_EQ(LockFile().trimmed().toLong(), long(::getpid()));
}

TEST_F(ModemTty, ExclusiveModeAndPermissionsAreTheirOwnErrors)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root passes both the tty's exclusive mode and file permissions";
    ASSERT_EQ(::ioctl(m_slave, TIOCEXCL), 0);
    auto device = MakePosixModemDevice();
    EXPECT_EQ(device->Open(m_config).error, OpenError::Exclusive);
    ::ioctl(m_slave, TIOCNXCL);

    QTemporaryDir dir;
    const QString path = dir.path() + "/ttyNOPE";
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    f.setPermissions({});
    ModemLineConfig config = m_config;
    config.device = path;
    EXPECT_EQ(device->Open(config).error, OpenError::PermissionDenied);
}

TEST_F(ModemTty, AMissingDeviceIsNotFound)
{
    ModemLineConfig config = m_config;
    config.device = m_lockDir.path() + "/ttyACM9";
    auto device = MakePosixModemDevice();
    const OpenResult r = device->Open(config);
    EXPECT_EQ(r.error, OpenError::NotFound);
    EXPECT_TRUE(OpenErrorText(r, config.device).contains("does not exist"));
}

} // namespace
