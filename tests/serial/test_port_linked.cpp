// A port linked to a phone: it opens on the data channel of the phone's
// call, here a socketpair whose far end the test plays.
#include "SerialTestSupport.h"

#include "common/Clock.h"
#include "common/ErrorCodes.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <memory>
#include <thread>

namespace {

using namespace qv;
using namespace qv::test;

using Events = std::vector<std::pair<TPortState, int>>;

class LinkedPortTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_GE(channel.ours, 0);
        phone = std::make_unique<FakePhone>();
        phone->commHandle = channel.ours;
        port = std::make_unique<QvSerialPort>();
        port->SetLinkedTo(phone.get());
        log.Attach(*port);
        port->SetOnReceiveData(
            [this](TComponent*, char* data, int size, WindowHandle&) { received.append(data, size); });
    }
    void TearDown() override
    {
        port.reset();
        phone.reset();
    }

    QByteArray ReadRemote(int count)
    {
        QByteArray got;
        WaitUntil(
            [&] {
                char buffer[4096];
                const ssize_t n = ::recv(channel.remote, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0)
                    got.append(buffer, static_cast<int>(n));
                return got.size() >= count;
            },
            2000);
        return got;
    }

    ScopedVirtualClock clock;
    SocketPair channel;
    std::unique_ptr<FakePhone> phone;
    std::unique_ptr<QvSerialPort> port;
    StateLog log;
    QByteArray received;
};

TEST_F(LinkedPortTest, OpenCompletesWhenThePhoneAnswers)
{
    EXPECT_EQ(port->Open(42), 0);
    EXPECT_FALSE(port->IsOpened()) << "open only once the phone has answered";
    EXPECT_TRUE(port->IsOpening());
    EXPECT_EQ(phone->requester, port->Handle());
    EXPECT_TRUE(log.events.empty());
    ASSERT_TRUE(WaitUntil([&] { return port->IsOpened(); }));
    EXPECT_EQ(log.events, (Events{{psOpened, 42}}));

    ASSERT_EQ(::send(channel.remote, "RING?", 5, 0), 5);
    ASSERT_TRUE(WaitUntil([&] { return received == "RING?"; }));
    EXPECT_EQ(port->SendString("hello remote"), 0);
    EXPECT_EQ(ReadRemote(12), "hello remote");
    EXPECT_EQ(port->Open(0), 509);
}

TEST_F(LinkedPortTest, AnswerBeforeTheRequestReturns)
{
    phone->answer = FakePhone::Answer::BeforeReturn;
    EXPECT_EQ(port->Open(5), 0);
    EXPECT_TRUE(port->IsOpened());
    EXPECT_EQ(log.events, (Events{{psOpened, 5}}));
}

TEST_F(LinkedPortTest, RefusalsComeBackUnchangedAndLeaveThePortClosed)
{
    phone->connected = false;
    EXPECT_EQ(port->Open(0), 161);
    EXPECT_EQ(phone->requests, 0);

    phone->connected = true;
    phone->commHandleCode = 115;
    EXPECT_EQ(port->Open(0), 115);
    EXPECT_EQ(phone->requests, 0);

    phone->commHandleCode = 0;
    phone->requestResult = 160;
    EXPECT_EQ(port->Open(0), 160);
    EXPECT_FALSE(port->IsOpening());
    // A late answer to a refused request opens nothing.
    SendMessage(port->Handle(), MSG_CALL_DATA_READY, 0, 0);
    EXPECT_FALSE(port->IsOpened());
    EXPECT_TRUE(log.events.empty());

    // A channel that is not a descriptor at all fails the set-up.
    phone->requestResult = 0;
    phone->commHandle = -1;
    EXPECT_EQ(port->Open(3), 0);
    ASSERT_TRUE(WaitUntil([&] { return !log.events.empty(); }));
    EXPECT_EQ(log.events, (Events{{psError, 501}}));
    EXPECT_FALSE(port->IsOpened());
}

TEST_F(LinkedPortTest, AChannelThePhoneCannotGiveFailsTheOpenOnce)
{
    phone->answer = FakePhone::Answer::Never;
    EXPECT_EQ(port->Open(7), 0);
    ASSERT_TRUE(port->IsOpening());
    SendMessage(port->Handle(), MSG_CALL_DATA_READY, kCallDataRefused, -50);
    EXPECT_EQ(log.events, (Events{{psError, -50}}));
    EXPECT_FALSE(port->IsOpening());
    SendMessage(port->Handle(), MSG_CALL_DATA_READY, kCallDataRefused, -50);
    EXPECT_EQ(log.events.size(), 1u) << "reported once";

    // Asked again, the phone gives it.
    phone->answer = FakePhone::Answer::Posted;
    EXPECT_EQ(port->Open(8), 0);
    ASSERT_TRUE(WaitUntil([&] { return port->IsOpened(); }));
    EXPECT_EQ(log.events.back(), std::make_pair(psOpened, 8));
}

TEST_F(LinkedPortTest, DescriptorZeroIsAChannelLikeAnyOther)
{
    const int savedStdin = ::dup(0);
    ASSERT_GE(savedStdin, 0);
    ASSERT_EQ(::dup2(channel.ours, 0), 0);
    phone->commHandle = 0;
    phone->answer = FakePhone::Answer::BeforeReturn;
    EXPECT_EQ(port->Open(0), 0);
    EXPECT_TRUE(port->IsOpened());
    ASSERT_EQ(::send(channel.remote, "zero", 4, 0), 4);
    EXPECT_TRUE(WaitUntil([&] { return received == "zero"; }));
    port->Close();
    EXPECT_EQ(fcntl(0, F_GETFD), 0) << "left open";
    ::dup2(savedStdin, 0);
    ::close(savedStdin);
}

TEST_F(LinkedPortTest, CloseWhileWaitingDoesNothingAndTheAnswerStillOpens)
{
    phone->answer = FakePhone::Answer::Never;
    EXPECT_EQ(port->Open(9), 0);
    port->Close();
    EXPECT_TRUE(log.events.empty());
    phone->AnswerNow();
    EXPECT_TRUE(port->IsOpened());
    EXPECT_EQ(log.events, (Events{{psOpened, 9}}));
}

TEST_F(LinkedPortTest, ClosingLeavesThePhonesChannelAsItWas)
{
    const int flagsBefore = fcntl(channel.ours, F_GETFL);
    ASSERT_EQ(flagsBefore & O_NONBLOCK, 0);
    phone->answer = FakePhone::Answer::BeforeReturn;
    ASSERT_EQ(port->Open(0), 0);
    port->Close();
    EXPECT_EQ(log.events, (Events{{psOpened, 0}, {psClosed, 0}}));
    EXPECT_EQ(fcntl(channel.ours, F_GETFL), flagsBefore) << "still open, and blocking again";
    ASSERT_EQ(::send(channel.ours, "x", 1, 0), 1);
    EXPECT_EQ(ReadRemote(1), "x");
}

TEST_F(LinkedPortTest, GoneCallClosesThePortAtTheNextAccess)
{
    phone->answer = FakePhone::Answer::BeforeReturn;
    ASSERT_EQ(port->Open(0), 0);
    phone->connected = false;
    EXPECT_EQ(port->SendString("late"), 500);
    EXPECT_FALSE(port->IsOpened());
    EXPECT_EQ(log.events, (Events{{psOpened, 0}, {psClosed, 0}}));

    // Found by the poll instead: closed, then the error.
    phone->connected = true;
    ASSERT_EQ(port->Open(0), 0);
    phone->connected = false;
    clock->Advance(50);
    EXPECT_EQ(log.events,
              (Events{{psOpened, 0}, {psClosed, 0}, {psOpened, 0}, {psClosed, 0}, {psError, 500}}));
}

TEST_F(LinkedPortTest, RemoteHangingUpIsLeftToThePhone)
{
    phone->answer = FakePhone::Answer::BeforeReturn;
    ASSERT_EQ(port->Open(0), 0);
    ASSERT_EQ(::send(channel.remote, "NO CARRIER", 10, 0), 10);
    channel.CloseRemote();
    ASSERT_TRUE(WaitUntil([&] { return received == "NO CARRIER"; }));
    clock->Advance(500);
    WaitUntil([] { return false; }, 50);
    EXPECT_TRUE(port->IsOpened()) << "the end of the channel is not a read failure";
    EXPECT_EQ(log.events, (Events{{psOpened, 0}}));

    phone->connected = false; // the phone saw the remote go
    clock->Advance(50);
    EXPECT_EQ(log.events, (Events{{psOpened, 0}, {psClosed, 0}, {psError, 500}}));
}

TEST_F(LinkedPortTest, RemovingThePhoneEmptiesTheLink)
{
    phone->answer = FakePhone::Answer::BeforeReturn;
    ASSERT_EQ(port->Open(0), 0);
    phone.reset();
    EXPECT_EQ(port->LinkedTo(), nullptr);
    EXPECT_FALSE(port->IsOpened()) << "the channel went with the phone";
    EXPECT_EQ(log.events, (Events{{psOpened, 0}, {psClosed, 0}, {psError, 500}}));

    // Linking twice registers once; a port that goes first leaves the phone
    // without a pointer to it.
    FakePhone other;
    port->SetLinkedTo(&other);
    port->SetLinkedTo(&other);
    EXPECT_EQ(other.FreeNotificationCount(), 1);
    port.reset();
    EXPECT_EQ(other.FreeNotificationCount(), 0);
}

TEST_F(LinkedPortTest, WritesWaitForTheRemoteToTakeThem)
{
    phone->answer = FakePhone::Answer::BeforeReturn;
    port->SetMaxSendSize(4096);
    ASSERT_EQ(port->Open(0), 0);
    EXPECT_EQ(port->OutQueueFree(), 4096);
    ASSERT_EQ(port->SendString(QByteArray(100, 'q')), 0);
    EXPECT_LT(port->OutQueueFree(), 4096) << "bytes the remote has not taken are still queued";
    EXPECT_EQ(ReadRemote(100).size(), 100);
    EXPECT_EQ(port->OutQueueFree(), 4096);

    const QByteArray big = Pattern(3 << 20, 3);
    QByteArray got;
    std::thread reader([&] {
        while (got.size() < big.size()) {
            pollfd p{channel.remote, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0)
                break;
            char buffer[8192];
            const ssize_t n = ::recv(channel.remote, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<int>(n));
        }
    });
    EXPECT_EQ(port->SendData(big.constData(), static_cast<int>(big.size())), 0);
    reader.join();
    EXPECT_TRUE(got == big);

    // A remote that has gone: the write fails and the port closes.
    channel.CloseRemote();
    EXPECT_EQ(port->SendString("anyone?"), err::Failed);
    EXPECT_FALSE(port->IsOpened());
}

// A TCP connection as the call's data channel, its far end a reader with a
// small window that the test controls.
TEST(LinkedPortOverTcp, AFullQueueWakesTheWriterOnceItHasRoomAndCloseRestoresTheSocket)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int remote = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    ::setsockopt(remote, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_EQ(::connect(remote, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const int ours = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    ASSERT_GE(ours, 0);
    int lowatBefore = 0;
    length = sizeof lowatBefore;
    ASSERT_EQ(::getsockopt(ours, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowatBefore, &length), 0);

    FakePhone phone;
    phone.commHandle = ours;
    phone.answer = FakePhone::Answer::BeforeReturn;
    auto port = std::make_unique<QvSerialPort>();
    port->SetMaxSendSize(4096);
    port->SetLinkedTo(&phone);
    ASSERT_EQ(port->Open(0), 0);
    ASSERT_TRUE(port->OutQueueWakes());

    // The reader takes nothing: write until the system takes no more. It
    // would take far more into its buffer; the queue's bound stops it.
    const QByteArray chunk(4096, 'z');
    int written = 1;
    for (int i = 0; i < 4096 && written > 0; ++i)
        ASSERT_EQ(port->SendSome(chunk.constData(), static_cast<int>(chunk.size()), written), 0);
    ASSERT_EQ(written, 0);
    ASSERT_LT(port->OutQueueFree(), 4096);
    bool woken = false;
    port->NotifyWritable([&] { woken = true; });
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_FALSE(woken) << "a full queue is not room to write";

    EXPECT_TRUE(WaitUntil([&] {
        char buffer[16384];
        while (::recv(remote, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
        return woken;
    }));
    EXPECT_GE(port->OutQueueFree(), 2048);

    port->Close();
    int lowatAfter = 0;
    length = sizeof lowatAfter;
    ASSERT_EQ(::getsockopt(ours, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowatAfter, &length), 0);
    EXPECT_EQ(lowatAfter, lowatBefore) << "the phone's socket is as it was";
    ::close(remote);
    ::close(ours);
}

} // namespace
