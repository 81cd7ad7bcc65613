// Receive throughput of QvSerialPort: a writer thread pushes bytes into the
// far end of a pty (manual port) or of a socketpair (the data channel of a
// call, through a linked phone) as fast as the system takes them, and the
// port delivers them through OnReceiveData on the main thread.
//
//   bench_serial_receive [megabytes]     (default 64)
#include "common/CallDataSource.h"
#include "serial/ComMap.h"
#include "serial/QvSerialPort.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <fcntl.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

using namespace qv;

class ChannelPhone : public TCallDataSource
{
public:
    explicit ChannelPhone(int fd) : m_fd(fd) {}
    bool IsConnected() const override { return true; }
    bool IsCallConnected(int call) const override { return call == 1; }
    int CurrentCallHandle() const override { return 1; }
    int GetCommHandle(int& handle) override
    {
        handle = m_fd;
        return 0;
    }

protected:
    void WndProc(TMessage& message) override
    {
        TCallDataSource::WndProc(message);
        if (message.Msg == MSG_CALL_DATA_READY && message.LParam != 0)
            SendMessage(static_cast<WindowHandle>(message.LParam), MSG_CALL_DATA_READY, 0, 0);
    }

private:
    int m_fd;
};

struct Result
{
    double seconds = 0;
    qint64 bytes = 0;
    bool ok = false;
};

// Runs one measurement: `farEnd` is written by a thread, `port` is open on
// the near end.
Result Measure(QvSerialPort& port, int farEnd, qint64 total)
{
    Result result;
    qint64 received = 0;
    unsigned char expected = 0;
    bool inOrder = true;
    port.SetOnReceiveData([&](TComponent*, char* data, int size, WindowHandle&) {
        for (int i = 0; i < size; ++i, ++expected)
            inOrder &= static_cast<unsigned char>(data[i]) == expected;
        received += size;
    });
    QElapsedTimer timer;
    timer.start();
    std::thread writer([farEnd, total] {
        char block[65536];
        for (int i = 0; i < static_cast<int>(sizeof block); ++i)
            block[i] = static_cast<char>(i);
        qint64 sent = 0;
        while (sent < total) {
            const std::size_t want = static_cast<std::size_t>(std::min<qint64>(sizeof block, total - sent));
            const ssize_t n = ::write(farEnd, block, want); // 65536 is a multiple of 256
            if (n <= 0)
                return;
            sent += n;
            if (n % 256 != 0) { // keep the pattern aligned for the next block
                ::write(farEnd, block + n % 256, static_cast<std::size_t>(256 - n % 256));
                sent += 256 - n % 256;
            }
        }
    });
    while (received < total && timer.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    result.seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    writer.join();
    result.bytes = received;
    result.ok = received >= total && inOrder;
    return result;
}

void Report(const char* what, int chunk, const Result& r)
{
    std::printf("%-11s MaxReceiveSize %5d: %8.1f MB/s  (%lld bytes in %.2f s)%s\n", what, chunk,
                static_cast<double>(r.bytes) / 1e6 / r.seconds, static_cast<long long>(r.bytes), r.seconds,
                r.ok ? "" : "  INCOMPLETE OR OUT OF ORDER");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? std::atoll(argv[1]) : 64;
    const qint64 total = megabytes * 1000 * 1000 / 256 * 256;
    int failures = 0;

    for (int chunk : {1024, 4096, 8192}) {
        int master = -1;
        int slave = -1;
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return 2;
        ::close(slave);
        ComMap::SetDevicePath(1, QString::fromLocal8Bit(name));
        QvSerialPort port;
        port.ManualSettings().SetPort(pnCOM1);
        port.SetMaxReceiveSize(chunk);
        if (port.Open(0) != 0)
            return 2;
        const Result r = Measure(port, master, total);
        Report("pty", chunk, r);
        failures += !r.ok;
        port.Close();
        ::close(master);
    }

    for (int chunk : {1024, 4096, 8192}) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            return 2;
        ChannelPhone phone(fds[0]);
        QvSerialPort port;
        port.SetLinkedTo(&phone);
        port.SetMaxReceiveSize(chunk);
        if (port.Open(0) != 0 || !port.IsOpened())
            return 2;
        const Result r = Measure(port, fds[1], total);
        Report("socketpair", chunk, r);
        failures += !r.ok;
        port.Close();
        ::close(fds[0]);
        ::close(fds[1]);
    }
    return failures == 0 ? 0 : 1;
}
