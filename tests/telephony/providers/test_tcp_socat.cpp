// A raw-mode tcp line against a plain socat peer that echoes what it gets:
// every byte value must come back unchanged, dialling out and answering.
#include "telephony/service/providers/tcp/TcpProvider.h"
#include "telephony/service/providers/tcp/TcpSocket.h"
#include "tests/telephony/providers/TcpTestSupport.h"

#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <sys/socket.h>

namespace {

using namespace qv::tcp;
using namespace tapi;
using qv::test::PumpUntil;
using qv::test::ReadAvailable;

QByteArray Payload()
{
    QByteArray b;
    for (int round = 0; round < 64; ++round)
        for (int i = 0; i < 256; ++i)
            b.append(char((i + round) & 0xFF));
    return b;
}

std::uint16_t FreePort()
{
    net::NetError error;
    const int fd = net::Listen({QHostAddress::LocalHost, 0}, 1, error);
    const std::uint16_t port = net::LocalPort(fd);
    net::Close(fd);
    return port;
}

class TcpSocat : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (QStandardPaths::findExecutable("socat").isEmpty())
            GTEST_SKIP() << "socat is not installed (scripts/setup installs it)";
        TcpLineConfig line;
        line.listenPort = 0;
        line.mode = TcpMode::Raw;
        provider = std::make_unique<TcpProvider>(std::vector<TcpLineConfig>{line}, QMap<QString, QString>{});
        provider->Attach(&rec);
        ASSERT_EQ(provider->OpenLine(0), 0);
    }
    void TearDown() override
    {
        provider.reset();
        if (socat.state() != QProcess::NotRunning) {
            socat.kill();
            socat.waitForFinished(5000);
        }
    }

    void StartSocat(const QStringList& args)
    {
        // -T: socat gives up by itself if the test goes astray.
        socat.start("socat", QStringList{"-T", "20"} + args);
        ASSERT_TRUE(socat.waitForStarted(5000));
    }

    // Sends the payload through the call's data channel and reads the echo.
    QByteArray EchoThrough(int fd, const QByteArray& data)
    {
        QByteArray got;
        qsizetype sent = 0;
        PumpUntil(
            [&] {
                if (sent < data.size()) {
                    const ssize_t n = ::send(fd, data.constData() + sent, size_t(data.size() - sent),
                                             MSG_DONTWAIT | MSG_NOSIGNAL);
                    if (n > 0)
                        sent += n;
                }
                got += ReadAvailable(fd);
                return got.size() >= data.size();
            },
            nullptr, 0, 20000);
        return got;
    }

    int DataChannel(CallId call)
    {
        DeviceIdData out;
        EXPECT_EQ(provider->GetID(0, 0, call, LINECALLSELECT_CALL, "comm/datamodem", out), 0);
        return out.fd;
    }

    qv::test::RecordingEvents rec;
    std::unique_ptr<TcpProvider> provider;
    QProcess socat;
};

TEST_F(TcpSocat, DialledEchoPeerReturnsEveryByteValue)
{
    const std::uint16_t port = FreePort();
    StartSocat({QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr").arg(port), "PIPE"});

    // socat needs a moment to listen; until then the call is refused and
    // is simply dialled again.
    CallId call = 100;
    RequestId request = 1;
    ASSERT_TRUE(PumpUntil(
        [&] {
            if (rec.HasState(call, LINECALLSTATE_CONNECTED))
                return true;
            if (rec.HasState(call, LINECALLSTATE_DISCONNECTED)) {
                provider->ReleaseCall(call);
                ++call;
            }
            if (!rec.HasState(call, LINECALLSTATE_DIALING)) {
                EXPECT_EQ(
                    provider->MakeCall(request++, 0, call, QStringLiteral("127.0.0.1:%1").arg(port), 0, {}),
                    0);
            }
            return false;
        },
        nullptr, 0, 20000));

    const QByteArray payload = Payload();
    EXPECT_EQ(EchoThrough(DataChannel(call), payload), payload);

    ASSERT_EQ(provider->Drop(request, call, {}), 0);
    EXPECT_TRUE(socat.waitForFinished(10000)) << "the peer saw the connection end";
}

TEST_F(TcpSocat, AnsweredCallFromAnEchoPeerReturnsEveryByteValue)
{
    StartSocat({QStringLiteral("TCP:127.0.0.1:%1").arg(provider->ListeningPort(0)), "PIPE"});
    ASSERT_TRUE(PumpUntil([&] { return rec.HasState(1000, LINECALLSTATE_OFFERING); }, nullptr, 0, 20000));
    ASSERT_EQ(provider->Answer(1, 1000, {}), 0);

    const QByteArray payload = Payload();
    EXPECT_EQ(EchoThrough(DataChannel(1000), payload), payload);

    ASSERT_EQ(provider->Drop(2, 1000, {}), 0);
    EXPECT_TRUE(socat.waitForFinished(10000));
}

} // namespace
