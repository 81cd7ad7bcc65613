// Two ports talking through a pty pair that a real relay program joins, the
// way a null-modem cable would join two COM ports.
#include "SerialTestSupport.h"

#include "serial/ComMap.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using namespace qv;
using namespace qv::test;

TEST(SerialOverRelay, TwoPortsExchangeDataBothWays)
{
    const QString socat = QStandardPaths::findExecutable("socat");
    if (socat.isEmpty())
        GTEST_SKIP() << "socat is not installed (scripts/setup installs it)";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString a = dir.filePath("a");
    const QString b = dir.filePath("b");
    QProcess relay;
    relay.start(socat, {"-b65536", "PTY,raw,echo=0,link=" + a, "PTY,raw,echo=0,link=" + b});
    ASSERT_TRUE(relay.waitForStarted());
    ASSERT_TRUE(WaitUntil([&] { return QFileInfo::exists(a) && QFileInfo::exists(b); }));

    ComMap::SetDevicePath(3, a);
    ComMap::SetDevicePath(4, b);
    QvSerialPort left;
    QvSerialPort right;
    left.ManualSettings().SetPort(pnCOM3);
    right.ManualSettings().SetPort(pnCOM4);
    left.SetMaxReceiveSize(4096);
    right.SetMaxReceiveSize(4096);
    QByteArray atLeft;
    QByteArray atRight;
    left.SetOnReceiveData(
        [&](TComponent*, char* data, int size, WindowHandle&) { atLeft.append(data, size); });
    right.SetOnReceiveData(
        [&](TComponent*, char* data, int size, WindowHandle&) { atRight.append(data, size); });
    ASSERT_EQ(left.Open(0), 0);
    ASSERT_EQ(right.Open(0), 0);

    // Each side offers its data whenever its port has room and the event
    // loop reads both meanwhile. A write that waited instead would wait for a
    // reader only this same thread can run: once the relay's buffers held
    // more than the far side had read, both would stall until the write
    // budget ran out.
    struct Writer
    {
        QvSerialPort& port;
        const QByteArray& data;
        qsizetype sent = 0;
        int error = 0;
        void Offer()
        {
            while (sent < data.size() && error == 0) {
                int written = 0;
                error = port.SendSome(data.constData() + sent, static_cast<int>(data.size() - sent), written);
                sent += written;
                if (written == 0 && error == 0) {
                    port.NotifyWritable([this] { Offer(); });
                    return;
                }
            }
        }
    };
    const QByteArray toRight = Pattern(256 * 1024, 1);
    const QByteArray toLeft = Pattern(256 * 1024, 2);
    Writer leftWriter{left, toRight};
    Writer rightWriter{right, toLeft};
    leftWriter.Offer();
    rightWriter.Offer();
    EXPECT_TRUE(
        WaitUntil([&] { return atLeft.size() >= toLeft.size() && atRight.size() >= toRight.size(); }, 20000));
    EXPECT_EQ(leftWriter.error, 0);
    EXPECT_EQ(rightWriter.error, 0);
    EXPECT_TRUE(atRight == toRight);
    EXPECT_TRUE(atLeft == toLeft);

    // The relay going away is the device vanishing under the port.
    int leftErrors = 0;
    left.SetOnPortState([&](TComponent*, TPortState state, int) { leftErrors += state == psError; });
    relay.kill();
    relay.waitForFinished();
    EXPECT_TRUE(WaitUntil([&] { return !left.IsOpened(); }, 5000));
    EXPECT_EQ(leftErrors, 1);
    ComMap::ClearDevicePaths();
}

} // namespace
