// Two phone components on two modem lines call each other end to end, each
// with a serial port on its call's data channel, as the terminal uses them:
// rings, answer, text both ways, hang-up from either side, and the speaker
// settings reaching the modem after a reactivation.
#include "serial/QvSerialPort.h"
#include "telephony/QvPhone.h"
#include "telephony/service/Service.h"
#include "telephony/service/providers/modem/ModemProvider.h"
#include "tests/support/VirtualModem.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

namespace {

using namespace qv;
using qv::modem::ModemLineConfig;
using qv::modem::ModemProvider;
using qv::modem::ModemTimings;
using qv::test::VirtualModem;
using qv::test::WaitUntil;

// One side of the conversation: a phone, its linked port and what they said.
struct Side
{
    QvPhone phone;
    QvSerialPort port;
    std::vector<TCallState> states;
    std::vector<int> rings;
    QByteArray received;
    bool opened = false;
    int answerOnRing = 0; // 0: never answer

    Side()
    {
        phone.SetMediaMode(mmData);
        phone.SetAutoDisconnect(true);
        port.SetLinkedTo(&phone);
        phone.SetOnCallState([this](QvPhone*, TCallState state, int p1, int, int) {
            states.push_back(state);
            if (state == csRing) {
                rings.push_back(p1);
                if (answerOnRing > 0 && p1 == answerOnRing) {
                    EXPECT_EQ(phone.Answer(0), 0);
                }
            }
            if (state == csConnected) {
                EXPECT_EQ(port.Open(0), 0);
            }
        });
        // The terminal closes its port before the call goes down.
        phone.SetOnBeforeDisconnect([this](QvPhone*, int) { port.Close(); });
        port.SetOnPortState([this](TComponent*, TPortState state, int) {
            if (state == psOpened)
                opened = true;
            if (state == psClosed)
                opened = false;
        });
        port.SetOnReceiveData(
            [this](TComponent*, char* data, int size, WindowHandle&) { received.append(data, size); });
    }
    bool Has(TCallState state) const
    {
        return std::find(states.begin(), states.end(), state) != states.end();
    }
};

class ModemPhones : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::vector<ModemLineConfig> lines;
        for (int i = 0; i < 2; ++i) {
            m_modems.push_back(std::make_unique<VirtualModem>());
            QString error;
            ASSERT_TRUE(m_modems.back()->Start(&error)) << error.toStdString();
            m_modems.back()->SetRingIntervalMs(300);
            ModemLineConfig config;
            config.device = m_modems.back()->DevicePath();
            config.lockDir = m_lockDir.path();
            config.init = "ATZS12=10";
            lines.push_back(config);
        }
        m_modems[0]->AddDirectoryEntry("200", m_modems[1]->Port());
        m_modems[1]->AddDirectoryEntry("100", m_modems[0]->Port());
        auto provider = std::make_unique<ModemProvider>(lines);
        ModemTimings timings;
        timings.guardMs = 400;
        timings.ringGapMs = 2500;
        provider->SetTimings(timings);
        ASSERT_TRUE(tapi::Service::Install(std::move(provider)));
        m_a = std::make_unique<Side>();
        m_b = std::make_unique<Side>();
        ASSERT_EQ(m_a->phone.LineActive(0, true), 0);
        ASSERT_EQ(m_b->phone.LineActive(1, true), 0);
        ASSERT_TRUE(WaitUntil([&] { return Log(0).endsWith("ATL2M1\r") && Log(1).endsWith("ATL2M1\r"); }));
    }

    QByteArray Log(int modem) const { return m_modems[size_t(modem)]->CommandLog(); }

    void TearDown() override
    {
        m_a.reset();
        m_b.reset();
        tapi::Service::Uninstall();
    }

    // `from` dials `number`, `to` answers on its second ring; both ports open.
    static void Call(Side& from, Side& to, const QByteArray& number)
    {
        from.states.clear();
        to.states.clear();
        to.rings.clear();
        to.answerOnRing = 2;
        ASSERT_EQ(from.phone.DialNumber(number, 5), 0);
        ASSERT_TRUE(WaitUntil([&] { return from.opened && to.opened; }, 15000));
        EXPECT_EQ(to.rings.size() >= 2 ? to.rings[1] : -1, 2) << "rings counted from InitialRingNumber";
        EXPECT_TRUE(to.Has(csOffering));
        EXPECT_TRUE(from.Has(csDialing));
    }

    // `from` hangs up; `other` finds "NO CARRIER" in its data and hangs up too.
    static void HangUpFrom(Side& from, Side& other)
    {
        ASSERT_EQ(from.phone.Hangup(), 0);
        ASSERT_TRUE(WaitUntil([&] { return from.Has(csDisconnected); }, 10000));
        ASSERT_TRUE(WaitUntil([&] { return other.received.contains("NO CARRIER"); }, 10000));
        ASSERT_EQ(other.phone.Hangup(), 0);
        ASSERT_TRUE(WaitUntil([&] { return other.Has(csDisconnected); }, 10000));
        EXPECT_EQ(from.phone.NumberOfActiveCalls(), 0);
        EXPECT_EQ(other.phone.NumberOfActiveCalls(), 0);
        EXPECT_FALSE(from.opened);
        EXPECT_FALSE(other.opened);
    }

    QTemporaryDir m_lockDir;
    // Outlive the service's lines, which are closed in TearDown.
    std::vector<std::unique_ptr<VirtualModem>> m_modems;
    std::unique_ptr<Side> m_a;
    std::unique_ptr<Side> m_b;
};

TEST_F(ModemPhones, CallAnswerTalkAndHangUpFromEitherSide)
{
    Call(*m_a, *m_b, "200");
    ASSERT_EQ(m_a->port.SendString("hello B\r\n"), 0);
    ASSERT_EQ(m_b->port.SendString("hello A\r\n"), 0);
    EXPECT_TRUE(WaitUntil([&] { return m_b->received.contains("hello B"); }));
    EXPECT_TRUE(WaitUntil([&] { return m_a->received.contains("hello A"); }));
    HangUpFrom(*m_a, *m_b);

    m_a->received.clear();
    m_b->received.clear();
    Call(*m_b, *m_a, "100");
    ASSERT_EQ(m_b->port.SendString("second call\r\n"), 0);
    EXPECT_TRUE(WaitUntil([&] { return m_a->received.contains("second call"); }));
    HangUpFrom(*m_a, *m_b); // the side that was called hangs up
}

TEST_F(ModemPhones, CallerIdLinesBetweenRingsReachTheAnsweringPhone)
{
    m_modems[0]->SetOwnNumber("100", "CALLER A");
    std::vector<std::pair<QString, QString>> ids;
    int errors = 0;
    m_b->phone.SetOnCallerID([&](QvPhone*, int error, QString number, QString name, int) {
        if (error != 0)
            ++errors;
        ids.emplace_back(number, name);
    });
    Call(*m_a, *m_b, "200");
    ASSERT_TRUE(WaitUntil([&] { return !ids.empty(); }));
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(ids.back(), std::make_pair(QString("100"), QString("CALLER A")));
    HangUpFrom(*m_a, *m_b);
}

TEST_F(ModemPhones, SpeakerSettingsReachTheModemAfterReactivation)
{
    m_a->phone.ModemSpeaker().SetVolume(svHigh);
    m_a->phone.ModemSpeaker().SetMode(smOn);
    ASSERT_EQ(m_a->phone.LineReactivate(true), 0);
    EXPECT_TRUE(WaitUntil([&] { return Log(0).endsWith("ATL3M2\r"); })) << Log(0).constData();

    // Volume alone leaves the mode as it was.
    m_a->phone.ModemSpeaker().SetVolume(svLow);
    m_a->phone.ModemSpeaker().SetMode(smDefault);
    ASSERT_EQ(m_a->phone.LineReactivate(true), 0);
    EXPECT_TRUE(WaitUntil([&] { return Log(0).endsWith("ATL1M2\r"); })) << Log(0).constData();
}

TEST_F(ModemPhones, BusyAndNoDialToneEndInTheirCallStates)
{
    m_modems[0]->SetFault(VirtualModem::Fault::Busy);
    ASSERT_EQ(m_a->phone.DialNumber("200", 1), 0);
    ASSERT_TRUE(WaitUntil([&] { return m_a->Has(csBusy); }, 10000));
    ASSERT_TRUE(WaitUntil([&] { return m_a->Has(csDisconnected); }, 10000)) << "AutoDisconnect hangs up";

    m_a->states.clear();
    m_modems[0]->SetFault(VirtualModem::Fault::NoDialtone);
    ASSERT_EQ(m_a->phone.DialNumber("200", 1), 0);
    ASSERT_TRUE(WaitUntil([&] { return m_a->Has(csNoDialTone); }, 10000));
    ASSERT_TRUE(WaitUntil([&] { return m_a->Has(csDisconnected); }, 10000));

    // A number the modem must never see.
    EXPECT_EQ(m_a->phone.DialNumber("200\rATH", 1), 155);
}

} // namespace
