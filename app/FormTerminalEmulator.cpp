#include "app/FormTerminalEmulator.h"

#include "app/Colors.h"
#include "app/Form1.h"
#include "app/FormBuilder.h"
#include "app/KeyInput.h"
#include "app/MessageBox.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QShowEvent>
#include <QTextOption>
#include <QToolButton>

namespace vh {

namespace {

const QString kTahoma = QStringLiteral("Tahoma");
const QString kArial = QStringLiteral("Arial");

QLabel* SunkenText(QWidget* parent, const char* name, int x, int y, int w, int h, Qt::Alignment alignment)
{
    auto* label = Place<FormLabel>(parent, name, x, y, w, h);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setAlignment(alignment);
    return label;
}

QPushButton* BoldButton(QWidget* parent, const char* name, int x, int y, const QString& text)
{
    auto* button = Place<QPushButton>(parent, name, x, y, 142, 33, text);
    button->setFont(FormFont(kTahoma, 8, true));
    return button;
}

// The settings panel's small icon: a dial over a modem, drawn once.
QPixmap SettingsIcon()
{
    QPixmap pixmap(29, 28);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(color::Navy, 1));
    painter.setBrush(QColor(200, 200, 210));
    painter.drawRoundedRect(QRectF(2.5, 14.5, 24, 11), 2, 2);
    painter.setBrush(QColor(0, 200, 0));
    painter.drawEllipse(QRectF(5, 18, 3, 3));
    painter.setBrush(QColor(255, 200, 0));
    painter.drawEllipse(QRectF(10, 18, 3, 3));
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(8.5, 1.5, 12, 12));
    painter.drawLine(QPointF(14.5, 7.5), QPointF(18, 4.5));
    return pixmap;
}

} // namespace

std::optional<QStringList> ChooseFilesWithDialog(QWidget* parent)
{
    QFileDialog dialog(parent, QStringLiteral("Select one or more files"));
    dialog.setObjectName(QStringLiteral("OpenDialog1"));
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.selectedFiles();
}

TFormTerminalEmulator::TFormTerminalEmulator(TerminalWindowServices services, QWidget* parent)
    : QWidget(parent), m_services(std::move(services)), m_settings(m_services.settingsFolder)
{
    if (!m_services.chooseFiles)
        m_services.chooseFiles = ChooseFilesWithDialog;
    if (!m_services.chooseFolder)
        m_services.chooseFolder = ChooseFolderWithDialog;
    if (!m_services.runDialog)
        m_services.runDialog = [](QDialog& dialog) { return dialog.exec(); };

    BuildForm();
    ConnectControls();
    FormCreate();
}

TFormTerminalEmulator::~TFormTerminalEmulator() = default;

void TFormTerminalEmulator::BuildForm()
{
    setObjectName(QStringLiteral("FormTerminalEmulator"));
    setWindowTitle(QStringLiteral("VH TERMINAL"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(787, 603);
    setFont(FormFont(QStringLiteral("MS Sans Serif"), 8));
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, color::InactiveCaptionText);
    setPalette(palette);
    setAutoFillBackground(true);

    m_label7 = Place<FormLabel>(this, "Label7", 307, 9, 83, 13, QStringLiteral(u": نمايشگر وضعيت"));
    m_label2 = Place<FormLabel>(this, "Label2", 711, 9, 66, 13, QStringLiteral(u"تنظيمات اتصال"));
    m_label8 = Place<FormLabel>(this, "Label8", 709, 237, 67, 13, QStringLiteral(u"ارتباط نوشتاري"));
    for (QLabel* label : {m_label7, m_label2, m_label8}) {
        label->setFont(FormFont(kTahoma, 8));
        SetTextColor(label, color::Purple);
    }

    m_memoLog = Place<QPlainTextEdit>(this, "MemoLog", 8, 29, 386, 147);
    m_memoLog->setReadOnly(true);
    m_memoLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_memoLog->setFont(FormFont(kArial, 8));
    SetTextColor(m_memoLog, color::Yellow);
    SetFillColor(m_memoLog, color::MenuHighlight);
    m_memoLog->appendPlainText(QStringLiteral("Position :"));

    m_memo2 = Place<QPlainTextEdit>(this, "Memo2", 8, 179, 386, 45);
    m_memo2->setReadOnly(true);
    m_memo2->setLayoutDirection(Qt::RightToLeft);
    QTextOption rightToLeft = m_memo2->document()->defaultTextOption();
    rightToLeft.setTextDirection(Qt::RightToLeft);
    rightToLeft.setAlignment(Qt::AlignRight);
    m_memo2->document()->setDefaultTextOption(rightToLeft);
    m_memo2->setFont(FormFont(kArial, 12, true));
    SetFillColor(m_memo2, ColorFromNumber(color::StatusNormal));

    m_connection = Place<QGroupBox>(this, "Connection", 407, 28, 371, 196);
    m_groupBox1 = Place<QGroupBox>(this, "GroupBox1", 407, 28, 371, 196);
    m_groupBox1->setAutoFillBackground(true);
    m_groupBox1->hide();

    m_memoTerminal = Place<QPlainTextEdit>(this, "MemoTerminal", 9, 258, 769, 165);
    m_memoTerminal->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_memoTerminal->setFont(FormFont(QStringLiteral("Courier New"), 8));
    SetFillColor(m_memoTerminal, ColorFromNumber(color::TerminalAsDesigned));

    m_groupBox3 = Place<QGroupBox>(this, "GroupBox3", 10, 427, 767, 150);

    // Outside the client area and never seen, as on the form.
    m_memo1 = Place<QPlainTextEdit>(this, "Memo1", 795, 232, 185, 89);
    m_memo1->hide();

    m_timer1 = new ClockTimer(this);
    m_timer1->setObjectName(QStringLiteral("Timer1"));
    m_timer1->SetInterval(8000);

    BuildConnectionPanel();
    BuildSettingsPanel();
    BuildTransferPanel();
    BuildStatusBar();
    m_groupBox1->raise();
}

void TFormTerminalEmulator::BuildConnectionPanel()
{
    QWidget* panel = m_connection;
    m_speedButton2 = Place<QToolButton>(panel, "SpeedButton2", 314, 7, 23, 22);
    m_speedButton2->setText(QStringLiteral("S"));
    m_speedButton1 = Place<QToolButton>(panel, "SpeedButton1", 341, 7, 23, 22);
    m_speedButton1->setText(QStringLiteral("?"));
    m_speedButton1->setFont(FormFont(kArial, 8, true));
    SetTextColor(m_speedButton1, color::Navy);

    m_label1 = Place<FormLabel>(panel, "Label1", 293, 54, 61, 13, QStringLiteral(u": شماره تلفن"));
    m_label1->setFont(FormFont(kTahoma, 8));
    SetTextColor(m_label1, color::Green);
    m_editTelephoneNumber = Place<QLineEdit>(panel, "EditTelephoneNumber", 78, 52, 205, 21);
    m_editTelephoneNumber->setFont(FormFont(kTahoma, 8));
    SetFillColor(m_editTelephoneNumber, ColorFromNumber(color::TelephoneNumber));

    m_bitBtn2 = Place<QPushButton>(panel, "BitBtn2", 186, 86, 97, 27, QStringLiteral(u"برقراري ارتباط"));
    m_bitBtn1 = Place<QPushButton>(panel, "BitBtn1", 78, 86, 97, 27, QStringLiteral(u"قطع ارتباط"));
    for (QPushButton* button : {m_bitBtn2, m_bitBtn1}) {
        button->setFont(FormFont(kTahoma, 8));
        SetTextColor(button, color::Navy);
    }

    m_groupBox2 = Place<QGroupBox>(panel, "GroupBox2", -2, 144, 375, 8);

    m_checkBox1 = Place<QCheckBox>(panel, "CheckBox1", 349, 166, 15, 17);
    m_checkBox1->setChecked(true);
    m_label3 = Place<FormLabel>(panel, "Label3", 193, 167, 153, 13,
                                QStringLiteral(u"قبول ارتباط به صورت خودکار بعد از "));
    m_label3->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_editRingNumber = Place<QLineEdit>(panel, "EditRingNumber", 162, 164, 24, 21, QStringLiteral("2"));
    SetFillColor(m_editRingNumber, color::InfoBk);
    m_label11 = Place<FormLabel>(panel, "Label11", 136, 168, 18, 13, QStringLiteral(u"زنگ"));
    for (QLabel* label : {m_label3, m_label11}) {
        label->setFont(FormFont(kTahoma, 8));
        SetTextColor(label, color::Blue);
    }
    m_buttonAnswer =
        Place<QPushButton>(panel, "ButtonAnswer", 4, 160, 97, 27, QStringLiteral(u"قبول دستي ارتباط"));
    m_buttonAnswer->setFont(FormFont(kTahoma, 8));
    SetTextColor(m_buttonAnswer, color::Maroon);

    // These four lie beyond the panel's right edge and are never seen; their
    // selections and handlers still work.
    m_label6 = Place<FormLabel>(panel, "Label6", 408, 18, 29, 14, QStringLiteral(u"وضعيت"));
    m_comboBoxSpeakerMode = Place<QComboBox>(panel, "ComboBoxSpeakerMode", 408, 32, 124, 22);
    m_comboBoxSpeakerMode->addItems({QStringLiteral("Off"), QStringLiteral("Dial"),
                                     QStringLiteral("Call Setup"), QStringLiteral("Always On"),
                                     QStringLiteral("Default")});
    m_label5 =
        Place<FormLabel>(panel, "Label5", 550, 18, 98, 14, QStringLiteral(u"تنظيم صداي بلند گوي مودم"));
    m_comboBoxSpeakerVol = Place<QComboBox>(panel, "ComboBoxSpeakerVol", 540, 32, 124, 22);
    m_comboBoxSpeakerVol->addItems(
        {QStringLiteral("Low"), QStringLiteral("Medium"), QStringLiteral("High"), QStringLiteral("Default")});

    // Digits only, also for pasted text.
    const QRegularExpression digits(QStringLiteral("[0-9]*"));
    m_editTelephoneNumber->setValidator(new QRegularExpressionValidator(digits, m_editTelephoneNumber));
    m_editRingNumber->setValidator(new QRegularExpressionValidator(digits, m_editRingNumber));
}

void TFormTerminalEmulator::BuildSettingsPanel()
{
    QWidget* panel = m_groupBox1;
    m_speedButton3 = Place<QToolButton>(panel, "SpeedButton3", 346, 4, 23, 22);
    m_speedButton3->setText(QStringLiteral("X"));
    QFont bold = m_speedButton3->font();
    bold.setBold(true);
    m_speedButton3->setFont(bold);
    m_image1 = Place<QLabel>(panel, "Image1", 1, 5, 29, 28);
    m_image1->setPixmap(SettingsIcon());
    m_buttonConfiguration =
        Place<QPushButton>(panel, "ButtonConfiguration", 41, 82, 118, 31, QStringLiteral(u"تنظيمات پيش فرض"));
    m_button1 = Place<QPushButton>(panel, "Button1", 174, 82, 118, 31, QStringLiteral(u"انتخاب سخت افزار "));
}

void TFormTerminalEmulator::BuildTransferPanel()
{
    QWidget* panel = m_groupBox3;
    m_bitBtn3 = BoldButton(panel, "BitBtn3", 14, 24, QStringLiteral(u"مسير دريافت"));
    m_buttonStartListenMode =
        BoldButton(panel, "ButtonStartListenMode", 164, 24, QStringLiteral(u" فعال نمودن  انتظار"));
    m_buttonExitListenMode =
        BoldButton(panel, "ButtonExitListenMode", 314, 24, QStringLiteral(u"غير فعال نمودن انتظار"));
    m_buttonTransferStop =
        BoldButton(panel, "ButtonTransferStop", 464, 24, QStringLiteral(u"متوقف نمودن  ارسال"));
    m_buttonSendFile =
        BoldButton(panel, "ButtonSendFile", 614, 24, QStringLiteral(u"... انتخاب و ارسال فايل"));
    m_buttonSendFile->setEnabled(false);

    m_label4 = Place<FormLabel>(panel, "Label4", 26, 69, 38, 13, QStringLiteral(u" نام فايل"));
    m_labelTransmitFileName =
        SunkenText(panel, "LabelTransmitFileName", 95, 68, 511, 18, Qt::AlignLeft | Qt::AlignVCenter);
    m_labelFileIndex = SunkenText(panel, "LabelFileIndex", 615, 68, 140, 18, Qt::AlignCenter);
    m_label9 = Place<FormLabel>(panel, "Label9", 10, 94, 70, 13, QStringLiteral(u"پيشرفت ارسال"));
    m_progressBarFile = Place<QProgressBar>(panel, "ProgressBarFile", 95, 92, 511, 18);
    m_labelFileProgress = SunkenText(panel, "LabelFileProgress", 615, 92, 140, 18, Qt::AlignCenter);
    m_label10 = Place<FormLabel>(panel, "Label10", 8, 118, 74, 13, QStringLiteral(u"مجموع پيشرفت"));
    m_progressBarTotal = Place<QProgressBar>(panel, "ProgressBarTotal", 95, 116, 511, 18);
    m_labelTotalProgress = SunkenText(panel, "LabelTotalProgress", 615, 116, 140, 18, Qt::AlignCenter);
    for (QProgressBar* bar : {m_progressBarFile, m_progressBarTotal}) {
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
    }
}

void TFormTerminalEmulator::BuildStatusBar()
{
    m_panel1 = Place<QWidget>(this, "Panel1", 0, 582, 787, 21);
    m_labelConnection = SunkenText(m_panel1, "LabelConnection", 1, 1, 143, 19, Qt::AlignCenter);
    m_labelConnection->setText(QStringLiteral("Disconnected"));
    m_labelListenMode = SunkenText(m_panel1, "LabelListenMode", 144, 1, 140, 19, Qt::AlignCenter);
    m_labelListenMode->setText(QStringLiteral("Listen Mode OFF"));
    SetTextColor(m_labelConnection, color::Maroon);
    SetTextColor(m_labelListenMode, color::Maroon);
}

void TFormTerminalEmulator::ConnectControls()
{
    connect(m_speedButton1, &QToolButton::clicked, this, [this] {
        if (m_pictureWindow)
            m_services.runDialog(*m_pictureWindow);
    });
    connect(m_speedButton2, &QToolButton::clicked, this, [this] { m_groupBox1->show(); });
    connect(m_speedButton3, &QToolButton::clicked, this, [this] { m_groupBox1->hide(); });
    // Every change of the box, the programmatic one at show time included,
    // decides whether answering by hand is offered.
    connect(m_checkBox1, &QCheckBox::toggled, this, [this] { UpdateControls(); });
    connect(m_timer1, &ClockTimer::Timeout, this, [this] { Timer1Timer(); });

    m_memoTerminal->installEventFilter(this);
    m_editTelephoneNumber->installEventFilter(this);
    m_editRingNumber->installEventFilter(this);
}

bool TFormTerminalEmulator::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (watched == m_editTelephoneNumber || watched == m_editRingNumber)
            return IsDroppedByDigitField(key->text());
    } else if (event->type() == QEvent::FocusOut && watched == m_editRingNumber) {
        EditRingNumberExit();
    }
    return QWidget::eventFilter(watched, event);
}

void TFormTerminalEmulator::FormCreate()
{
    setFont(FormFont(QStringLiteral("tahoma"), 8));

    // The form's speaker settings are the defaults.
    m_comboBoxSpeakerMode->setCurrentIndex(4);
    m_comboBoxSpeakerVol->setCurrentIndex(3);

    QString error;
    if (!m_settings.Write(settings::WriteTest, settings::WriteTestMarker, error)) {
        ShowMessageBox(
            this, QStringLiteral(u"خطا: لطفا جهت استفاده از برنامه آن را بر روي هاردديسک خود کپي نماييد"));
        m_terminateRequested = true;
    }

    // The ring count: a stored count that is not 1 to 12 counts as missing.
    QString ringCount = QStringLiteral("2");
    if (m_settings.Exists(settings::RingCount)) {
        if (const auto stored = ReadSetting(settings::RingCount)) {
            bool ok = false;
            const int rings = stored->toInt(&ok);
            if (ok && rings >= 1 && rings <= 12)
                ringCount = QString::number(rings);
        }
    }
    m_editRingNumber->setText(ringCount);

    m_timer1->Start();
    UpdateControls();
}

void TFormTerminalEmulator::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    if (QScreen* screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    FormShow();
}

void TFormTerminalEmulator::FormShow()
{
    if (m_settings.Exists(settings::ListenModeOff))
        m_labelListenMode->setText(QStringLiteral("Listen Mode OFF"));

    if (m_settings.Exists(settings::TelephoneNumber)) {
        if (const auto number = ReadSetting(settings::TelephoneNumber))
            m_editTelephoneNumber->setText(*number);
    }

    if (m_settings.Exists(settings::AutoAnswerOff))
        m_checkBox1->setChecked(false);
    UpdateControls();

    const QString rings = m_editRingNumber->text();
    if (rings.isEmpty() || rings == QLatin1String("0"))
        m_editRingNumber->setText(QStringLiteral("2"));
}

void TFormTerminalEmulator::closeEvent(QCloseEvent* event)
{
    FormClose();
    QWidget::closeEvent(event);
}

void TFormTerminalEmulator::FormClose()
{
    if (m_checkBox1->isChecked())
        RemoveSetting(settings::AutoAnswerOff);
    else
        WriteSetting(settings::AutoAnswerOff, settings::AutoAnswerOffMarker);
    WriteSetting(settings::RingCount, m_editRingNumber->text());
}

void TFormTerminalEmulator::UpdateControls()
{
    m_buttonSendFile->setEnabled(m_callConnected);
    m_buttonAnswer->setEnabled(!m_checkBox1->isChecked());
}

void TFormTerminalEmulator::AddLog(const QString& line)
{
    m_memoLog->appendPlainText(line);
}

void TFormTerminalEmulator::SetStatus(int color, const QString& line)
{
    SetFillColor(m_memo2, ColorFromNumber(color));
    m_memo2->clear();
    m_memo2->appendPlainText(line);
}

void TFormTerminalEmulator::EditRingNumberExit()
{
    bool ok = false;
    const int rings = m_editRingNumber->text().toInt(&ok);
    if (!ok || rings <= 0 || rings > 12)
        m_editRingNumber->setText(QStringLiteral("1"));
}

void TFormTerminalEmulator::Timer1Timer()
{
    SetFillColor(m_memo2, ColorFromNumber(color::StatusNormal));
}

std::optional<QString> TFormTerminalEmulator::ReadSetting(const QString& name)
{
    QString error;
    auto text = m_settings.Read(name, error);
    if (!text)
        ShowMessageBox(this, error);
    return text;
}

bool TFormTerminalEmulator::WriteSetting(const QString& name, const QString& text)
{
    QString error;
    if (m_settings.Write(name, text, error))
        return true;
    ShowMessageBox(this, error);
    return false;
}

void TFormTerminalEmulator::RemoveSetting(const QString& name)
{
    QString error;
    if (!m_settings.Remove(name, error))
        ShowMessageBox(this, error);
}

} // namespace vh
