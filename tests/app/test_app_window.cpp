// The main window's start-up, show and close steps with its settings files,
// its fields and its panel buttons.
#include "AppTestSupport.h"

#include "app/Colors.h"
#include "app/FormBuilder.h"
#include "app/FormTerminalEmulator.h"

#include "common/Clock.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <memory>

namespace vh {
namespace {

using test::Control;

using WindowTest = test::WindowFixture;

TEST_F(WindowTest, FormHasItsStatedFrameAndControls)
{
    auto window = Start();
    EXPECT_EQ(window->windowTitle(), "VH TERMINAL");
    EXPECT_EQ(window->size(), QSize(787, 603));
    EXPECT_EQ(Control<QWidget>(window.get(), "MemoTerminal")->geometry(), QRect(9, 258, 769, 165));
    EXPECT_EQ(Control<QWidget>(window.get(), "ButtonSendFile")->geometry(), QRect(614, 24, 142, 33));
    EXPECT_EQ(Control<QWidget>(window.get(), "LabelListenMode")->geometry(), QRect(144, 1, 140, 19));
    EXPECT_EQ(Control<QLabel>(window.get(), "Label2")->text(), QStringLiteral(u"تنظيمات اتصال"));
    EXPECT_EQ(Control<QPushButton>(window.get(), "ButtonStartListenMode")->text(),
              QStringLiteral(u" فعال نمودن  انتظار"));
    EXPECT_EQ(LogLines(window.get()).first(), "Position :");
    EXPECT_EQ(Control<QLabel>(window.get(), "LabelConnection")->text(), "Disconnected");
    EXPECT_EQ(FillColor(Control<QWidget>(window.get(), "MemoTerminal")), QColor(230, 255, 230));
    EXPECT_EQ(FillColor(Control<QWidget>(window.get(), "EditTelephoneNumber")), QColor(228, 237, 250));
    EXPECT_EQ(window->font().family(), "tahoma");
    EXPECT_FALSE(Control<QWidget>(window.get(), "ButtonSendFile")->isEnabled());
}

TEST_F(WindowTest, FirstStartWithoutFilesWritesTheMarkerAndUsesDefaults)
{
    auto window = StartAndShow();
    EXPECT_TRUE(m_boxes.Texts().isEmpty()) << m_boxes.Texts().join('|').toStdString();
    EXPECT_FALSE(window->TerminateRequested());
    EXPECT_EQ(m_folder.Get(settings::WriteTest), QByteArray("01010101000010100110\r\n"));
    EXPECT_EQ(Control<QLineEdit>(window.get(), "EditRingNumber")->text(), "2");
    EXPECT_TRUE(Control<QCheckBox>(window.get(), "CheckBox1")->isChecked());
    EXPECT_FALSE(Control<QPushButton>(window.get(), "ButtonAnswer")->isEnabled());
    EXPECT_TRUE(Control<QLineEdit>(window.get(), "EditTelephoneNumber")->text().isEmpty());
    // Line 0 is active and listen mode is on, receiving into the download
    // folder, which is made only when a file comes.
    EXPECT_TRUE(window->QvPhone1().IsActive());
    EXPECT_TRUE(window->QvFile1().IsListening());
    EXPECT_EQ(window->QvFile1().Transfer().ReceiveFolder(), DefaultReceiveFolder());
    EXPECT_FALSE(QFileInfo::exists(DefaultReceiveFolder()));
    EXPECT_EQ(Control<QLabel>(window.get(), "LabelListenMode")->text(), "Listen Mode ON");
    EXPECT_EQ(LogLines(window.get()),
              QStringList({"Position :", ">Telephone device is activated", "TRANSFER>Listening Mode"}));
    EXPECT_EQ(StatusText(window.get()), QStringLiteral(u"در حالت انتظار"));
}

TEST_F(WindowTest, ReceiveFolderIsNeverTheSettingsFolder)
{
    // An empty "saved.ctx" means the default too, not the working folder.
    m_folder.Put(settings::ReceiveFolder, "\r\n");
    auto window = Start();
    EXPECT_EQ(window->QvFile1().Transfer().ReceiveFolder(), DefaultReceiveFolder());
    EXPECT_TRUE(m_boxes.Texts().isEmpty());
    window.reset();
    // The settings folder that an older version stored is not taken, and the
    // log says why.
    m_folder.Put(settings::ReceiveFolder, m_folder.Path().toUtf8() + "\r\n");
    window = Start();
    EXPECT_EQ(window->QvFile1().Transfer().ReceiveFolder(), DefaultReceiveFolder());
    const QStringList log = LogLines(window.get());
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const QString& line) {
        return line.startsWith("TRANSFER>Error: ") && line.contains(m_folder.Path()) &&
               line.contains(DefaultReceiveFolder());
    })) << log.join('\n').toStdString();
}

TEST_F(WindowTest, AboutFileSwitchesListenModeOffAtShow)
{
    m_folder.Put(settings::ListenModeOff, "");
    m_folder.Put(settings::ReceiveFolder, " /srv/incoming \r\n");
    auto window = Start();
    EXPECT_EQ(window->QvFile1().Transfer().ReceiveFolder(), "/srv/incoming/");
    EXPECT_EQ(Control<QLabel>(window.get(), "LabelListenMode")->text(), "Listen Mode ON");
    window->show();
    test::Pump(*m_clock);
    EXPECT_FALSE(window->QvFile1().IsListening());
    EXPECT_EQ(Control<QLabel>(window.get(), "LabelListenMode")->text(), "Listen Mode OFF");
    EXPECT_EQ(LogLines(window.get()).last(), "TRANSFER>Idle Mode");
}

TEST_F(WindowTest, LineThatCannotBeActivatedIsReportedAndTheWindowStays)
{
    m_sim->FailAlways(QStringLiteral("lineOpen"), tapi::LINEERR_ALLOCATED);
    auto window = StartAndShow();
    ASSERT_EQ(m_boxes.Texts().size(), 1);
    EXPECT_EQ(m_boxes.Texts()[0], QStringLiteral("Error while activating the telephone device.\r\n\r\n"
                                                 "Telephone device name: Simulated line 0\r\n"
                                                 "Error message: ") +
                                      window->QvPhone1().GetErrorMessage(106));
    EXPECT_FALSE(window->TerminateRequested());
    EXPECT_FALSE(window->QvPhone1().IsActive());
    EXPECT_TRUE(window->isVisible());
}

// The line's own account of why it failed follows the code's message, in
// the box and in the log: at start-up, and when the line closes under the
// window (a modem that would not come up, a device that went away).
TEST_F(WindowTest, TheLinesAccountOfAFailureIsShownWithTheError)
{
    const QString why =
        QStringLiteral("No permission to open the modem device /dev/ttyS0: join the dialout group.");
    m_sim->LineConfig(0).failure = why;
    m_sim->FailAlways(QStringLiteral("lineOpen"), tapi::LINEERR_OPERATIONFAILED);
    {
        auto window = StartAndShow();
        const QString message = window->QvPhone1().GetErrorMessage(100) + ' ' + why;
        ASSERT_EQ(m_boxes.Texts().size(), 1);
        EXPECT_TRUE(m_boxes.Texts()[0].endsWith("Error message: " + message))
            << m_boxes.Texts()[0].toStdString();
        EXPECT_TRUE(LogLines(window.get()).contains(">Error: " + message));
        window->close();
    }

    m_boxes.Clear();
    m_sim->FailAlways(QStringLiteral("lineOpen"), 0);
    m_sim->LineConfig(0).failure.clear();
    auto window = StartAndShow();
    ASSERT_TRUE(m_boxes.Texts().isEmpty());
    const QString gone = QStringLiteral("The modem on /dev/ttyS0 does not answer AT.");
    m_sim->LineConfig(0).failure = gone;
    m_sim->ForceCloseLine(0);
    test::Pump(*m_clock);
    const QStringList log = LogLines(window.get());
    EXPECT_EQ(log.mid(log.size() - 2), QStringList({">Telephone device is deactivated", ">Error: " + gone}));
    EXPECT_EQ(m_boxes.Texts(), QStringList("Error: " + gone));
}

TEST_F(WindowTest, UnwritableSettingsFolderShowsThePersianErrorAndEnds)
{
    m_folder.Put(QStringLiteral("plain"), "x");
    auto window = Start(m_folder.Path() + QStringLiteral("plain/sub"));
    ASSERT_EQ(m_boxes.Texts().size(), 1);
    EXPECT_EQ(m_boxes.Texts()[0],
              QStringLiteral(u"خطا: لطفا جهت استفاده از برنامه آن را بر روي هاردديسک خود کپي نماييد"));
    EXPECT_TRUE(window->TerminateRequested());
}

TEST_F(WindowTest, AutoAnswerOffSurvivesARestart)
{
    {
        auto window = StartAndShow();
        Control<QCheckBox>(window.get(), "CheckBox1")->click();
        EXPECT_TRUE(Control<QPushButton>(window.get(), "ButtonAnswer")->isEnabled());
        window->close();
    }
    EXPECT_EQ(m_folder.Get(settings::AutoAnswerOff), QByteArray("00010000100010001\r\n"));
    {
        auto window = StartAndShow();
        EXPECT_FALSE(Control<QCheckBox>(window.get(), "CheckBox1")->isChecked());
        EXPECT_TRUE(Control<QPushButton>(window.get(), "ButtonAnswer")->isEnabled());
        Control<QCheckBox>(window.get(), "CheckBox1")->click();
        window->close();
    }
    EXPECT_FALSE(m_folder.Has(settings::AutoAnswerOff));
}

TEST_F(WindowTest, RingCountIsStoredAndRestored)
{
    m_folder.Put(settings::RingCount, "7\r\n");
    {
        auto window = StartAndShow();
        EXPECT_EQ(Control<QLineEdit>(window.get(), "EditRingNumber")->text(), "7");
        Control<QLineEdit>(window.get(), "EditRingNumber")->setText(QStringLiteral("0"));
        window->close();
    }
    EXPECT_EQ(m_folder.Get(settings::RingCount), QByteArray("0\r\n"));
    // Shown as stored, except that an empty or zero count comes back as "2".
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"0", "2"}, {"", "2"}, {"13", "13"}, {"x1", "x1"}};
    for (const auto& [stored, shown] : cases) {
        m_folder.Put(settings::RingCount, stored);
        auto window = StartAndShow();
        EXPECT_EQ(Control<QLineEdit>(window.get(), "EditRingNumber")->text(), shown) << stored;
    }
}

TEST_F(WindowTest, TelephoneNumberIsRestoredAtShow)
{
    m_folder.Put(settings::TelephoneNumber, "1270000000012324\r\n");
    auto window = Start();
    EXPECT_TRUE(Control<QLineEdit>(window.get(), "EditTelephoneNumber")->text().isEmpty());
    window->show();
    EXPECT_EQ(Control<QLineEdit>(window.get(), "EditTelephoneNumber")->text(), "1270000000012324");
}

TEST_F(WindowTest, HardwareButtonWithoutLineDevicesSaysSo)
{
    tapi::Service::Uninstall();
    ASSERT_TRUE(tapi::Service::Install(std::make_unique<tapi::sim::SimExchange>()));
    auto window = StartAndShow();
    m_boxes.Clear(); // the failed activation of line 0
    Control<QPushButton>(window.get(), "Button1")->click();
    EXPECT_EQ(m_boxes.Texts(), QStringList{"There is no telephone device installed."});
    EXPECT_TRUE(m_dialogsRun.isEmpty());
}

TEST_F(WindowTest, UnreadableAndUnwritableSettingsAreShownAndTheWindowCarriesOn)
{
    // Directories in the files' places: they exist but cannot be read or
    // replaced.
    ASSERT_TRUE(QDir(m_folder.Path()).mkdir(settings::RingCount));
    auto window = StartAndShow();
    EXPECT_EQ(Control<QLineEdit>(window.get(), "EditRingNumber")->text(), "2");
    window->close();
    ASSERT_EQ(m_boxes.Texts().size(), 1);
    EXPECT_TRUE(m_boxes.Texts()[0].contains(QStringLiteral("RN.ctx")));
    EXPECT_FALSE(window->TerminateRequested());
}

TEST_F(WindowTest, NumberFieldsTakeDigitsAndBackspaceOnly)
{
    auto window = StartAndShow();
    auto* number = Control<QLineEdit>(window.get(), "EditTelephoneNumber");
    number->setFocus();
    QTest::keyClicks(number, QStringLiteral("12a-b 3#"));
    EXPECT_EQ(number->text(), "123");
    QTest::keyClick(number, Qt::Key_Backspace);
    EXPECT_EQ(number->text(), "12");
    auto* rings = Control<QLineEdit>(window.get(), "EditRingNumber");
    rings->clear();
    QTest::keyClicks(rings, QStringLiteral("x4y"));
    EXPECT_EQ(rings->text(), "4");
}

TEST_F(WindowTest, LeavingTheRingFieldOutOfRangeMakesItOne)
{
    auto window = StartAndShow();
    auto* rings = Control<QLineEdit>(window.get(), "EditRingNumber");
    auto* number = Control<QLineEdit>(window.get(), "EditTelephoneNumber");
    const std::vector<std::pair<QString, QString>> cases = {{"13", "1"},  {"0", "1"}, {"", "1"},
                                                            {"12", "12"}, {"3", "3"}, {"99999999999", "1"}};
    for (const auto& [typed, left] : cases) {
        window->activateWindow();
        rings->setFocus();
        rings->setText(typed);
        // The window losing focus, or a box or menu coming up over it, is
        // no leaving of the field.
        for (Qt::FocusReason reason : {Qt::ActiveWindowFocusReason, Qt::PopupFocusReason}) {
            QFocusEvent away(QEvent::FocusOut, reason);
            QApplication::sendEvent(rings, &away);
            EXPECT_EQ(rings->text(), typed);
        }
        QFocusEvent focusOut(QEvent::FocusOut, Qt::TabFocusReason);
        QApplication::sendEvent(rings, &focusOut);
        EXPECT_EQ(rings->text(), left) << typed.toStdString();
        number->setFocus();
    }
}

TEST_F(WindowTest, PanelButtonsShowAndHideTheSettingsPanelAndThePicture)
{
    auto window = StartAndShow();
    auto* settingsPanel = Control<QGroupBox>(window.get(), "GroupBox1");
    EXPECT_FALSE(settingsPanel->isVisible());
    Control<QToolButton>(window.get(), "SpeedButton2")->click();
    EXPECT_TRUE(settingsPanel->isVisible());
    EXPECT_EQ(settingsPanel->geometry(), Control<QWidget>(window.get(), "Connection")->geometry());
    Control<QToolButton>(window.get(), "SpeedButton3")->click();
    EXPECT_FALSE(settingsPanel->isVisible());
}

TEST_F(WindowTest, StatusColourReturnsToNormalEveryEightSeconds)
{
    auto window = StartAndShow();
    auto* status = Control<QWidget>(window.get(), "Memo2");
    QPalette red = status->palette();
    red.setColor(QPalette::Base, ColorFromNumber(color::StatusError));
    status->setPalette(red);
    m_clock->Advance(7999);
    EXPECT_EQ(FillColor(status), QColor(255, 0, 0));
    m_clock->Advance(1);
    EXPECT_EQ(FillColor(status), QColor(168, 168, 213));
}

} // namespace
} // namespace vh
