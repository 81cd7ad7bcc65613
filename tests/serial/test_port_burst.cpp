// A long burst through a pty: every byte arrives, in order, through
// OnReceiveData, at the pace of the line rather than one chunk per tick.
#include "SerialTestSupport.h"

#include "serial/ComMap.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace qv;
using namespace qv::test;

TEST(SerialBurst, FourMebibytesThroughAPtyArriveCompleteAndInOrder)
{
    Pty pty;
    ASSERT_GE(pty.master, 0);
    ComMap::SetDevicePath(7, QString::fromStdString(pty.slavePath));
    QvSerialPort port;
    port.ManualSettings().SetPort(pnCOM7);
    port.SetMaxReceiveSize(4096);
    QByteArray received;
    int largest = 0;
    port.SetOnReceiveData([&](TComponent*, char* data, int size, WindowHandle&) {
        received.append(data, size);
        largest = std::max(largest, size);
    });
    int errors = 0;
    port.SetOnPortState([&](TComponent*, TPortState state, int) { errors += state == psError; });
    ASSERT_EQ(port.Open(0), 0);

    const QByteArray burst = Pattern(4 << 20, 11);
    std::thread writer([&] {
        for (qsizetype sent = 0; sent < burst.size();) {
            const ssize_t n =
                ::write(pty.master, burst.constData() + sent,
                        static_cast<std::size_t>(std::min<qsizetype>(65536, burst.size() - sent)));
            if (n <= 0)
                return;
            sent += n;
        }
    });
    const bool complete = WaitUntil([&] { return received.size() >= burst.size(); }, 60000);
    writer.join();
    ASSERT_TRUE(complete) << received.size();
    EXPECT_EQ(received.size(), burst.size());
    EXPECT_TRUE(received == burst) << "bytes lost, doubled or out of order";
    EXPECT_LE(largest, 4096);
    EXPECT_EQ(errors, 0);
    ComMap::ClearDevicePaths();
}

} // namespace
