// Call handling in the main window on the simulated exchange: answering by
// ring count and by hand, dialling, the connected call's port and terminal
// area, "NO CARRIER", and the end of a call.
#include "AppTestSupport.h"

#include "app/Colors.h"
#include "app/FormBuilder.h"
#include "app/TerminalArea.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <sys/socket.h>

namespace vh {
namespace {

using test::Control;

class CallTest : public test::WindowFixture
{
protected:
    void SetUp() override
    {
        m_window = StartAndShow();
        ASSERT_TRUE(m_window->QvPhone1().IsActive());
    }
    void TearDown() override { m_window.reset(); }

    void SetRingField(const QString& text)
    {
        Control<QLineEdit>(m_window.get(), "EditRingNumber")->setText(text);
    }
    // An incoming call rung `rings` times.
    tapi::CallId Offer(int rings)
    {
        const tapi::CallId call = m_sim->OfferCall(0);
        test::Pump(*m_clock);
        for (int i = 0; i < rings; ++i) {
            m_sim->Ring(0);
            test::Pump(*m_clock);
        }
        return call;
    }
    // An incoming call answered on the first ring, with its port open.
    tapi::CallId Connect()
    {
        SetRingField(QStringLiteral("1"));
        const tapi::CallId call = Offer(1);
        EXPECT_TRUE(test::PumpUntil(*m_clock, [&] { return m_window->QvSerialPort1().IsOpened(); }));
        return call;
    }
    QWidget* W(const char* name) { return Control<QWidget>(m_window.get(), name); }
    QStringList Log() { return LogLines(m_window.get()); }
    QString TerminalText() { return Control<TerminalArea>(m_window.get(), "MemoTerminal")->Text(); }

    std::unique_ptr<TFormTerminalEmulator> m_window;
};

TEST_F(CallTest, AnswersOnTheThirdRingOnly)
{
    SetRingField(QStringLiteral("3"));
    Offer(2);
    EXPECT_EQ(m_sim->CountOf(QStringLiteral("lineAnswer")), 0);
    m_sim->Ring(0);
    test::Pump(*m_clock);
    EXPECT_EQ(m_sim->CountOf(QStringLiteral("lineAnswer")), 1);
    m_sim->Ring(0);
    test::Pump(*m_clock);
    EXPECT_EQ(m_sim->CountOf(QStringLiteral("lineAnswer")), 1);
    const QStringList log = Log();
    EXPECT_TRUE(log.contains(">A new call arrives"));
    EXPECT_TRUE(log.contains(">Ring: 1"));
    EXPECT_TRUE(log.contains(">Ring: 2"));
    EXPECT_TRUE(log.contains(">Ring: 3"));
    EXPECT_TRUE(log.contains(">Connected."));
}

TEST_F(CallTest, WithAutomaticAnsweringOffRingsAreOnlyLoggedAndTheButtonAnswers)
{
    SetRingField(QStringLiteral("1"));
    Control<QCheckBox>(m_window.get(), "CheckBox1")->click();
    EXPECT_TRUE(W("ButtonAnswer")->isEnabled());
    Offer(3);
    EXPECT_EQ(m_sim->CountOf(QStringLiteral("lineAnswer")), 0);
    EXPECT_TRUE(Log().contains(">Ring: 3"));
    EXPECT_TRUE(m_boxes.Texts().isEmpty());
    QTest::mouseClick(Control<QPushButton>(m_window.get(), "ButtonAnswer"), Qt::LeftButton);
    test::Pump(*m_clock);
    EXPECT_EQ(m_sim->CountOf(QStringLiteral("lineAnswer")), 1);
}

TEST_F(CallTest, RingWithAnEmptyRingFieldShowsTheConversionErrorAfterTheRing)
{
    SetRingField(QString());
    const tapi::CallId call = m_sim->OfferCall(0);
    test::Pump(*m_clock);
    m_sim->Ring(0);
    // The box comes from the event loop, not from inside the ring's dispatch.
    tapi::Service::DeliverPending();
    EXPECT_TRUE(m_boxes.Texts().isEmpty());
    test::Pump(*m_clock);
    EXPECT_EQ(m_boxes.Texts(), QStringList{"'' is not a valid integer value"});
    EXPECT_EQ(m_sim->CountOf(QStringLiteral("lineAnswer")), 0);
    EXPECT_NE(m_sim->State(call), tapi::DWORD(tapi::LINECALLSTATE_CONNECTED));
}

TEST_F(CallTest, ConnectedCallOpensThePortAndEnablesSending)
{
    Connect();
    EXPECT_EQ(Control<QLabel>(m_window.get(), "LabelConnection")->text(), "Connected");
    EXPECT_EQ(StatusText(m_window.get()), QStringLiteral(u"ارتباط برقرار گرديد"));
    EXPECT_EQ(FillColor(W("Memo2")), QColor(0, 255, 0));
    EXPECT_EQ(FillColor(W("MemoTerminal")), QColor(255, 255, 255));
    EXPECT_TRUE(W("ButtonSendFile")->isEnabled());
    // The success colour lasts until the status timer's next tick at most.
    m_clock->Advance(8000);
    EXPECT_EQ(FillColor(W("Memo2")), QColor(168, 168, 213));
}

TEST_F(CallTest, TypedTextGoesOutWithEnterAsCrLfAndReceivedTextIsShown)
{
    const tapi::CallId call = Connect();
    auto* terminal = Control<TerminalArea>(m_window.get(), "MemoTerminal");
    terminal->setFocus();
    QTest::keyClick(terminal, Qt::Key_A);
    test::Pump(*m_clock, 100);
    EXPECT_EQ(m_sim->ReadPeer(call), QByteArray("a"));
    QTest::keyClick(terminal, Qt::Key_Return);
    test::Pump(*m_clock, 100);
    EXPECT_EQ(m_sim->ReadPeer(call), QByteArray("\r\n"));
    // Shown locally, the far side not being one that echoes.
    EXPECT_EQ(TerminalText(), "a");

    // A Persian word split inside a character between two writes arrives whole.
    const QByteArray word = QStringLiteral(u"سلام").toUtf8();
    m_sim->WritePeer(call, "hi " + word.left(3));
    test::Pump(*m_clock, 200);
    m_sim->WritePeer(call, word.mid(3) + "\r\nok");
    EXPECT_TRUE(test::PumpUntil(*m_clock, [&] { return TerminalText().endsWith("ok"); }));
    EXPECT_EQ(TerminalText(), QStringLiteral(u"a\nhi سلام\nok"));
}

TEST_F(CallTest, NoCarrierHangsUpButLowerCaseDoesNot)
{
    const tapi::CallId call = Connect();
    m_sim->WritePeer(call, "the words no carrier are fine\r\n");
    test::Pump(*m_clock, 500);
    EXPECT_EQ(m_sim->CountOf(QStringLiteral("lineDrop")), 0);
    EXPECT_FALSE(Log().contains(">No carrier detected."));
    m_sim->WritePeer(call, "\r\nNO CARR");
    test::Pump(*m_clock, 200);
    m_sim->WritePeer(call, "IER\r\n");
    EXPECT_TRUE(test::PumpUntil(*m_clock, [&] { return Log().contains(">No carrier detected."); }));
    EXPECT_TRUE(test::PumpUntil(*m_clock, [&] { return Log().contains(">Disconnected"); }));
    EXPECT_EQ(m_sim->CountOf(QStringLiteral("lineDrop")), 1);
    EXPECT_EQ(Log().count(">No carrier detected."), 1);
}

TEST_F(CallTest, NextCallAfterNoCarrierIsNotHungUpByTheOldReport)
{
    tapi::CallId call = Connect();
    m_sim->WritePeer(call, "NO CARRIER\r\n");
    ASSERT_TRUE(test::PumpUntil(*m_clock, [&] { return Log().contains(">Disconnected"); }));
    ASSERT_TRUE(test::PumpUntil(*m_clock, [&] { return m_sim->Calls(0).empty(); }));

    call = Connect();
    m_sim->WritePeer(call, "hello again\r\n");
    ASSERT_TRUE(test::PumpUntil(*m_clock, [&] { return TerminalText().contains("hello again"); }));
    test::Pump(*m_clock, 500);
    EXPECT_EQ(m_sim->CountOf(QStringLiteral("lineDrop")), 1);
    EXPECT_EQ(Log().count(">No carrier detected."), 1);
    EXPECT_TRUE(m_window->QvSerialPort1().IsOpened());
}

TEST_F(CallTest, PortOpenFailureOnConnectionLogsAndHangsUp)
{
    m_sim->FailAlways(QStringLiteral("lineGetID"), tapi::LINEERR_OPERATIONUNAVAIL,
                      QStringLiteral("comm/datamodem"));
    SetRingField(QStringLiteral("1"));
    Offer(1);
    ASSERT_TRUE(test::PumpUntil(*m_clock, [&] { return m_sim->CountOf(QStringLiteral("lineDrop")) == 1; }));
    const QStringList log = Log();
    const int connected = log.indexOf(">Connected.");
    ASSERT_GE(connected, 0);
    ASSERT_GT(log.size(), connected + 1);
    EXPECT_TRUE(log[connected + 1].startsWith(">Error: ")) << log.join('|').toStdString();
    EXPECT_FALSE(W("ButtonSendFile")->isEnabled());
    EXPECT_FALSE(m_window->QvSerialPort1().IsOpened());
}

TEST_F(CallTest, RemoteHangupEndsTheCallInTheWindow)
{
    const tapi::CallId call = Connect();
    m_sim->RemoteHangup(call);
    ASSERT_TRUE(test::PumpUntil(*m_clock, [&] { return Log().contains(">Disconnected"); }));
    EXPECT_EQ(Control<QLabel>(m_window.get(), "LabelConnection")->text(), "Disconnected");
    EXPECT_EQ(StatusText(m_window.get()), QStringLiteral(u"ارتباط قطع گرديد"));
    EXPECT_EQ(FillColor(W("Memo2")), QColor(255, 0, 0));
    EXPECT_EQ(FillColor(W("MemoTerminal")), QColor(192, 192, 192));
    EXPECT_FALSE(W("ButtonSendFile")->isEnabled());
    EXPECT_FALSE(m_window->QvSerialPort1().IsOpened());
    EXPECT_TRUE(Log().contains(">The remote party has disconnected"));
}

TEST_F(CallTest, DialStoresTheNumberAndHangUpDisablesSending)
{
    Control<QLineEdit>(m_window.get(), "EditTelephoneNumber")->setText(QStringLiteral("5551234"));
    QTest::mouseClick(Control<QPushButton>(m_window.get(), "BitBtn2"), Qt::LeftButton);
    test::Pump(*m_clock);
    EXPECT_EQ(m_folder.Get(settings::TelephoneNumber), QByteArray("5551234\r\n"));
    ASSERT_EQ(m_sim->CountOf(QStringLiteral("lineMakeCall")), 1);
    const tapi::CallId call = m_sim->LastCall();
    EXPECT_EQ(m_sim->DialledNumber(call), "5551234");
    m_sim->SetCallState(call, tapi::LINECALLSTATE_DIALING);
    m_sim->SetCallState(call, tapi::LINECALLSTATE_PROCEEDING);
    m_sim->SetCallState(call, tapi::LINECALLSTATE_DIALTONE);
    m_sim->SetCallState(call, tapi::LINECALLSTATE_CONNECTED);
    ASSERT_TRUE(test::PumpUntil(*m_clock, [&] { return m_window->QvSerialPort1().IsOpened(); }));
    EXPECT_TRUE(W("ButtonSendFile")->isEnabled());
    const QStringList log = Log();
    const int dialing = log.indexOf(">Dialing...");
    ASSERT_GE(dialing, 0);
    // The dial tone changes nothing in the window.
    EXPECT_EQ(log.mid(dialing, 3), QStringList({">Dialing...", ">Proceeding...", ">Connected."}));

    QTest::mouseClick(Control<QPushButton>(m_window.get(), "BitBtn1"), Qt::LeftButton);
    EXPECT_FALSE(W("ButtonSendFile")->isEnabled());
    ASSERT_TRUE(test::PumpUntil(*m_clock, [&] { return Log().contains(">Disconnected"); }));
    EXPECT_FALSE(m_window->QvSerialPort1().IsOpened());
    EXPECT_TRUE(m_boxes.Texts().isEmpty());
}

TEST_F(CallTest, AFailedDialIsShownInABoxAndAFailedHangUpLeavesTheCallUp)
{
    m_sim->FailNext(QStringLiteral("lineMakeCall"), tapi::LINEERR_CALLUNAVAIL);
    Control<QLineEdit>(m_window.get(), "EditTelephoneNumber")->setText(QStringLiteral("7"));
    QTest::mouseClick(Control<QPushButton>(m_window.get(), "BitBtn2"), Qt::LeftButton);
    test::Pump(*m_clock);
    ASSERT_EQ(m_boxes.Texts().size(), 1);
    EXPECT_TRUE(m_boxes.Texts()[0].startsWith("Error: ")) << m_boxes.Texts()[0].toStdString();
    EXPECT_GT(m_boxes.Texts()[0].size(), 7);

    // A drop the exchange refuses at once, then one it fails later: each is
    // logged, the call stays shown as connected, and the next click tries
    // again.
    Connect();
    auto* hangUp = Control<QPushButton>(m_window.get(), "BitBtn1");
    const QString failed = m_window->QvPhone1().GetErrorMessage(111);
    m_sim->FailNext(QStringLiteral("lineDrop"), tapi::LINEERR_OPERATIONFAILED);
    QTest::mouseClick(hangUp, Qt::LeftButton);
    test::Pump(*m_clock);
    EXPECT_EQ(Log().filter(failed).size(), 1) << Log().join('|').toStdString();
    EXPECT_TRUE(W("ButtonSendFile")->isEnabled());

    m_sim->SetReply(QStringLiteral("lineDrop"), tapi::sim::Reply::Error(tapi::LINEERR_OPERATIONFAILED));
    QTest::mouseClick(hangUp, Qt::LeftButton);
    test::Pump(*m_clock);
    EXPECT_EQ(Log().filter(failed).size(), 2);
    EXPECT_TRUE(W("ButtonSendFile")->isEnabled());
    EXPECT_FALSE(Log().contains(">Disconnected"));

    m_sim->SetReply(QStringLiteral("lineDrop"), tapi::sim::Reply::Success());
    QTest::mouseClick(hangUp, Qt::LeftButton);
    ASSERT_TRUE(test::PumpUntil(*m_clock, [&] { return Log().contains(">Disconnected"); }));
    EXPECT_FALSE(W("ButtonSendFile")->isEnabled());
}

TEST_F(CallTest, SpeakerListsSetTheModemSpeakerByIndexAndReopenTheLine)
{
    auto* mode = Control<QComboBox>(m_window.get(), "ComboBoxSpeakerMode");
    auto* volume = Control<QComboBox>(m_window.get(), "ComboBoxSpeakerVol");
    EXPECT_EQ(mode->currentIndex(), 4);   // smDefault
    EXPECT_EQ(volume->currentIndex(), 3); // svDefault
    const int opens = m_sim->CountOf(QStringLiteral("lineOpen"));
    mode->setCurrentIndex(2);
    emit mode->activated(2);
    test::Pump(*m_clock);
    EXPECT_EQ(m_window->QvPhone1().ModemSpeaker().Mode(), qv::smOn); // "Call Setup"
    EXPECT_GT(m_sim->CountOf(QStringLiteral("lineOpen")), opens);
    mode->setCurrentIndex(3);
    emit mode->activated(3);
    EXPECT_EQ(m_window->QvPhone1().ModemSpeaker().Mode(), qv::smCallSetup); // "Always On"
    volume->setCurrentIndex(0);
    emit volume->activated(0);
    EXPECT_EQ(m_window->QvPhone1().ModemSpeaker().Volume(), qv::svLow);
    // A programmatic selection is not the operator's choice.
    mode->setCurrentIndex(0);
    EXPECT_EQ(m_window->QvPhone1().ModemSpeaker().Mode(), qv::smCallSetup);
    EXPECT_TRUE(m_boxes.Texts().isEmpty());
    EXPECT_TRUE(m_window->QvPhone1().IsActive());
}

TEST_F(CallTest, LineSelectionListsTheLinesAndOkActivatesTheChosenOne)
{
    m_onDialog = [](QDialog& dialog) {
        auto* lines = dialog.findChild<QComboBox*>(QStringLiteral("ComboBoxLines"));
        EXPECT_EQ(lines->count(), 1);
        EXPECT_EQ(lines->itemText(0), "Simulated line 0");
        EXPECT_EQ(lines->currentIndex(), 0);
        dialog.show();
        QTest::mouseClick(dialog.findChild<QPushButton*>(QStringLiteral("ButtonOk")), Qt::LeftButton);
        return dialog.result();
    };
    Control<QPushButton>(m_window.get(), "Button1")->click();
    EXPECT_EQ(m_dialogsRun, QStringList{"FormDlgLineSelection"});
    EXPECT_TRUE(m_boxes.Texts().isEmpty());
    EXPECT_TRUE(m_window->QvPhone1().IsActive());
}

TEST_F(CallTest, ConfigurationDialogReopensTheLineOrShowsItsError)
{
    m_sim->SetConfigDialog(0);
    const int opens = m_sim->CountOf(QStringLiteral("lineOpen"));
    m_window->findChild<QGroupBox*>("GroupBox1")->show();
    QTest::mouseClick(Control<QPushButton>(m_window.get(), "ButtonConfiguration"), Qt::LeftButton);
    test::Pump(*m_clock);
    EXPECT_EQ(m_sim->CountOf(QStringLiteral("lineConfigDialog")) +
                  m_sim->CountOf(QStringLiteral("lineConfigDialogW")),
              1);
    EXPECT_GT(m_sim->CountOf(QStringLiteral("lineOpen")), opens);
    EXPECT_TRUE(m_boxes.Texts().isEmpty()) << m_boxes.Texts().join('|').toStdString();
    EXPECT_TRUE(m_window->QvPhone1().IsActive());

    // Refused settings: the box says why the line refused them.
    m_sim->SetConfigDialog(tapi::LINEERR_OPERATIONFAILED);
    const QString why = QStringLiteral("The settings were not changed, since they could not be kept: x.");
    m_sim->LineConfig(0).failure = why;
    const int opensBefore = m_sim->CountOf(QStringLiteral("lineOpen"));
    QTest::mouseClick(Control<QPushButton>(m_window.get(), "ButtonConfiguration"), Qt::LeftButton);
    test::Pump(*m_clock);
    ASSERT_EQ(m_boxes.Texts().size(), 1);
    EXPECT_TRUE(m_boxes.Texts()[0].startsWith("Error: "));
    EXPECT_TRUE(m_boxes.Texts()[0].endsWith(why)) << m_boxes.Texts()[0].toStdString();
    EXPECT_EQ(m_sim->CountOf(QStringLiteral("lineOpen")), opensBefore);
}

} // namespace
} // namespace vh
