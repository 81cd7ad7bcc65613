// Whole data calls on the simulated exchange, outgoing and incoming, from the
// dial or the first ring to csDisconnected, with bytes both ways through the
// call's data channel.
#include "PhoneHarness.h"

#include "common/CallDataSource.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace qv;
using namespace qv::test;
using namespace tapi;

namespace {

using Events = std::vector<std::string>;

// Writes `text` to `fd` and reads it back at `peer`.
QByteArray Through(int fd, int peer, const QByteArray& text)
{
    EXPECT_EQ(::write(fd, text.constData(), static_cast<size_t>(text.size())), text.size());
    QByteArray got(text.size(), '\0');
    qsizetype have = 0;
    for (int tries = 0; tries < 100 && have < text.size(); ++tries) {
        const ssize_t n = ::read(peer, got.data() + have, static_cast<size_t>(text.size() - have));
        if (n > 0)
            have += n;
    }
    got.resize(have);
    return got;
}

// What a linked serial port does once the call is connected: take the comm
// handle and ask for the raw data channel, counting the answers on its window.
struct Port
{
    int told = 0;
    MessageWindow window{[this](TMessage& m) {
        if (m.Msg == MSG_CALL_DATA_READY)
            ++told;
    }};

    int TakeDataChannel(PhoneHarness& h)
    {
        int fd = -1;
        EXPECT_EQ(h.phone().GetCommHandle(fd), 0);
        EXPECT_EQ(
            SendMessage(h.phone().Handle(), MSG_CALL_DATA_READY, 0, static_cast<LPARAM>(window.Handle())), 0);
        h.Pump();
        return fd;
    }
};

TEST(PhoneDataCallTest, OutgoingCallFromDialToDisconnected)
{
    PhoneHarness h({LineSetup{}});
    QvPhone& phone = h.phone();
    h.Open(0, mmData);
    ASSERT_EQ(phone.DialNumber("5551234", 7), 0);
    h.Pump();
    ASSERT_EQ(phone.NumberOfActiveCalls(), 1);
    int call = 0;
    ASSERT_EQ(phone.GetCallHandle(0, call), 0);
    for (DWORD state : {LINECALLSTATE_DIALTONE, LINECALLSTATE_DIALING, LINECALLSTATE_PROCEEDING,
                        LINECALLSTATE_RINGBACK, LINECALLSTATE_CONNECTED})
        h.State(call, state);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({CallEv(csDialTone, 0, 0, call), CallEv(csDialing, 0, 0, call),
                                CallEv(csProceeding, 0, 0, call), CallEv(csRingBack, 0, 0, call),
                                CallEv(csConnected, 1, 7, call)}));
    EXPECT_TRUE(phone.IsConnected());

    Port port;
    const int fd = port.TakeDataChannel(h);
    EXPECT_EQ(port.told, 1);
    const int peer = h.PeerFd(call);
    EXPECT_EQ(Through(fd, peer, "ATZ hello\r\n"), "ATZ hello\r\n");
    EXPECT_EQ(Through(peer, fd, QByteArray("\x18\x00\xff zmodem", 10)),
              QByteArray("\x18\x00\xff zmodem", 10));

    ASSERT_EQ(phone.Hangup(), 0);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({BeforeEv(call), CallEv(csWaitingDisconnection, 0, 0, call),
                                CallEv(csDisconnected, 0, 0, call)}));
    EXPECT_EQ(phone.NumberOfActiveCalls(), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1); // the phone closed its handle
    EXPECT_FALSE(phone.Timer().Enabled());
}

TEST(PhoneDataCallTest, IncomingCallFromFirstRingToRemoteHangUp)
{
    PhoneHarness h({LineSetup{}});
    QvPhone& phone = h.phone();
    phone.SetInitialRingNumber(1);
    h.Open(0, mmData);
    const int call = h.Offer();
    h.Ring();
    h.Ring();
    EXPECT_EQ(h.Take(), Events({CallEv(csOffering, 0, 0, call), CallEv(csRing, 1, 0, call),
                                CallEv(csRing, 2, 0, call)}));
    // The exchange replies to the answer, then reports the call connected.
    ASSERT_EQ(phone.Answer(3), 0);
    h.Pump();
    EXPECT_EQ(h.Take(), Events({CallEv(csConnected, 1, 3, call)}));
    EXPECT_EQ(phone.PendingRequestCount(), 0);

    Port port;
    const int fd = port.TakeDataChannel(h);
    EXPECT_EQ(port.told, 1);
    const int peer = h.PeerFd(call);
    EXPECT_EQ(Through(peer, fd, "CONNECT 28800\r\n"), "CONNECT 28800\r\n");
    EXPECT_EQ(Through(fd, peer, "rz\r"), "rz\r");

    h.State(call, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
    h.Pump();
    EXPECT_EQ(h.Take(),
              Events({CallEv(csRemotePartyDisconnected, 0, 0, call), BeforeEv(call),
                      CallEv(csWaitingDisconnection, 0, 0, call), CallEv(csDisconnected, 0, 0, call)}));
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(phone.NumberOfActiveCalls(), 0);
}

} // namespace
