#include "app/FormTerminalEmulator.h"

#include "app/Colors.h"
#include "app/Form1.h"
#include "app/FormBuilder.h"
#include "app/FormDlgLineSelection.h"
#include "app/KeyInput.h"
#include "app/MessageBox.h"
#include "app/TerminalArea.h"
#include "app/TerminalSession.h"

#include "frontend/FormComponents.h"
#include "frontend/EventLogFile.h"
#include "frontend/InstanceLock.h"
#include "frontend/Reactions.h"
#include "frontend/SendList.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFocusEvent>
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
#include <QTimer>
#include <QToolButton>

namespace vh {

namespace {

const QString kTahoma = QStringLiteral("Tahoma");
const QString kArial = QStringLiteral("Arial");
// The phone's code for a line another application holds.
constexpr int kLineInUseElsewhere = 106;
// Lines the window's log shows; older ones are in the log file.
constexpr int kLogLinesShown = 20000;

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
    if (m_services.defaultReceiveFolder.isEmpty())
        m_services.defaultReceiveFolder = DefaultReceiveFolder();
    if (!m_services.chooseFolder)
        m_services.chooseFolder = ChooseFolderWithDialog;
    if (!m_services.runDialog)
        m_services.runDialog = [](QDialog& dialog) { return dialog.exec(); };

    CreateComponents();
    BuildForm();
    m_terminal = std::make_unique<TerminalSession>(this, m_groupBox1, *m_qvPhone1, *m_qvSerialPort1,
                                                   m_settings, [this](const QString& line) { AddLog(line); });
    m_memoTerminal = m_terminal->Area();
    m_terminal->SetTransferRunning([this] { return m_qvFile1->IsTransferring(); });
    m_groupBox1->raise();
    ConnectControls();
    if (m_services.eventLog && !m_services.eventLog->IsOpen())
        m_memoLog->appendPlainText(m_services.eventLog->Error());
    FormCreate();
}

TFormTerminalEmulator::~TFormTerminalEmulator()
{
    // The terminal lets go of the phone's event first. The transfer goes
    // before the port it runs on, the port before the phone whose call it
    // carries; none of them raises events while destroyed.
    m_terminal.reset();
    m_qvFile1.reset();
    m_qvSerialPort1.reset();
    m_qvPhone1.reset();
}

void TFormTerminalEmulator::CreateComponents()
{
    m_qvPhone1 = std::make_unique<qv::QvPhone>();
    qv::QvPhone& phone = *m_qvPhone1;
    SetFormProperties(phone);
    phone.SetOnLineState(
        [this](qv::QvPhone*, qv::TLineState state, int param1) { QvPhone1LineState(state, param1); });
    phone.SetOnCallState([this](qv::QvPhone*, qv::TCallState state, int param1, int param2, int call) {
        QvPhone1CallState(state, param1, param2, call);
    });
    phone.SetOnBeforeDisconnect([this](qv::QvPhone*, int call) { QvPhone1BeforeDisconnect(call); });

    m_qvSerialPort1 = std::make_unique<qv::QvSerialPort>();
    qv::QvSerialPort& port = *m_qvSerialPort1;
    SetFormProperties(port, &phone);
    port.SetOnPortState(
        [this](qv::TComponent*, qv::TPortState state, int param1) { QvSerialPort1PortState(state, param1); });
    port.SetOnReceiveData([this](qv::TComponent*, char* data, int size, qv::WindowHandle& display) {
        QvSerialPort1ReceiveData(data, size, display);
    });

    m_qvFile1 = std::make_unique<qv::QvFile>();
    qv::QvFile& file = *m_qvFile1;
    SetFormProperties(file, port);
    file.SetOnTransferStateEvent([this](qv::TComponent*, qv::TTransferState state, const QString& name,
                                        int param1) { QvFile1TransferStateEvent(state, name, param1); });
    file.SetOnTransferProgress([this](qv::TComponent*, qv::TTransferOperation operation, const QString& name,
                                      int fileIndex, int fileBytes, int filePerc, int totalBytes,
                                      int totalPerc) {
        QvFile1TransferProgress(operation, name, fileIndex, fileBytes, filePerc, totalBytes, totalPerc);
    });
    file.SetOnRemoteReceiverReady([this](qv::QvFile*) { QvFile1RemoteReceiverReady(); });
}

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
    // The log file keeps every line; the window, on a line left to answer
    // for weeks, keeps the newest.
    m_memoLog->setMaximumBlockCount(kLogLinesShown);

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

    // The log reads left to right whatever script a line starts with, as
    // the edit control it stands for does.
    QTextOption leftToRight = m_memoLog->document()->defaultTextOption();
    leftToRight.setTextDirection(Qt::LeftToRight);
    m_memoLog->document()->setDefaultTextOption(leftToRight);

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
    // The running transfer's rate and time left, in the bar's free space at
    // its right end.
    m_labelTransferRate = SunkenText(m_panel1, "LabelTransferRate", 587, 1, 199, 19, Qt::AlignCenter);
    SetTextColor(m_labelConnection, color::Maroon);
    SetTextColor(m_labelListenMode, color::Maroon);
    SetTextColor(m_labelTransferRate, color::Maroon);
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

    connect(m_bitBtn2, &QPushButton::clicked, this, [this] { BitBtn2Click(); });
    connect(m_bitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
    connect(m_buttonAnswer, &QPushButton::clicked, this, [this] { ButtonAnswerClick(); });
    // The speaker lists act on the operator's choice only, not on the
    // selection set at start-up.
    connect(m_comboBoxSpeakerMode, &QComboBox::activated, this, [this] { ComboBoxSpeakerModeChange(); });
    connect(m_comboBoxSpeakerVol, &QComboBox::activated, this, [this] { ComboBoxSpeakerVolChange(); });
    connect(m_buttonConfiguration, &QPushButton::clicked, this, [this] { ButtonConfigurationClick(); });
    connect(m_button1, &QPushButton::clicked, this, [this] { Button1Click(); });

    connect(m_buttonSendFile, &QPushButton::clicked, this, [this] { ButtonSendFileClick(); });
    connect(m_buttonStartListenMode, &QPushButton::clicked, this, [this] { ButtonStartListenModeClick(); });
    connect(m_buttonExitListenMode, &QPushButton::clicked, this, [this] { ButtonExitListenModeClick(); });
    connect(m_buttonTransferStop, &QPushButton::clicked, this, [this] { ButtonTransferStopClick(); });
    connect(m_bitBtn3, &QPushButton::clicked, this, [this] { BitBtn3Click(); });

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
        // Leaving the field is focus going to another control of this
        // window; the window losing focus, or a message box or menu coming
        // up over it, leaves the field as it is.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            EditRingNumberExit();
    }
    return QWidget::eventFilter(watched, event);
}

void TFormTerminalEmulator::FormCreate()
{
    setFont(FormFont(QStringLiteral("tahoma"), 8));

    m_comboBoxSpeakerMode->setCurrentIndex(int(m_qvPhone1->ModemSpeaker().Mode()));
    m_comboBoxSpeakerVol->setCurrentIndex(int(m_qvPhone1->ModemSpeaker().Volume()));

    QString error;
    if (!m_settings.Write(settings::WriteTest, settings::WriteTestMarker, error)) {
        ShowMessageBox(
            this, QStringLiteral(u"خطا: لطفا جهت استفاده از برنامه آن را بر روي هاردديسک خود کپي نماييد"));
        m_terminateRequested = true;
    }

    // Another copy running on this settings folder owns its lines: this one
    // leaves them alone and says so instead of failing on a busy modem or
    // port.
    m_instanceLock = std::make_unique<InstanceLock>(m_settings.Folder());
    const bool otherCopy = !m_instanceLock->Held();
    const int code = otherCopy ? kLineInUseElsewhere : m_qvPhone1->LineActive(0, true);
    if (code != 0) {
        QString name;
        m_qvPhone1->GetLineName(0, name);
        const QString message =
            WithLineFailure(m_qvPhone1->GetErrorMessage(code), m_qvPhone1->LineFailureText(0));
        AddLog(ErrorLine(message));
        ShowMessageBox(this, LineActivationError(name, message));
    }

    // The receive folder: the stored one, else (none, or an empty one) the
    // download folder; never the settings folder, whose files a peer could
    // replace.
    QString receiveFolder = m_services.defaultReceiveFolder;
    if (m_settings.Exists(settings::ReceiveFolder)) {
        if (const auto stored = ReadSetting(settings::ReceiveFolder); stored && !stored->isEmpty()) {
            if (const QString refusal = SettingsFolderRefusal(*stored, m_settings.Folder());
                refusal.isEmpty())
                receiveFolder = *stored;
            else
                AddLog(
                    TransferErrorLine(refusal + QStringLiteral(" Files are received into ") + receiveFolder));
        }
    }
    m_qvFile1->Transfer().SetReceiveFolder(receiveFolder);

    // The ring count is shown as stored; an empty or zero one becomes "2"
    // at show time, and leaving the field corrects the rest.
    QString ringCount = QStringLiteral("2");
    if (m_settings.Exists(settings::RingCount)) {
        if (const auto stored = ReadSetting(settings::RingCount))
            ringCount = *stored;
    }
    m_editRingNumber->setText(ringCount);

    m_terminal->Load();

    // No call can come in on a line this copy does not have, so it does not
    // wait for files either.
    if (!otherCopy) {
        const int listenCode = m_qvFile1->ListenMode(true);
        if (listenCode != 0)
            ShowMessageBox(this, QStringLiteral("Error: ") + m_qvSerialPort1->GetErrorMessage(listenCode));
    }

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
    if (m_settings.Exists(settings::ListenModeOff)) {
        m_qvFile1->ListenMode(false);
        m_labelListenMode->setText(QStringLiteral("Listen Mode OFF"));
    }

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
    const QString question = CloseQuestion();
    if (!question.isEmpty() && !AskQuestion(this, question)) {
        event->ignore();
        return;
    }
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

QString TFormTerminalEmulator::CloseQuestion() const
{
    if (m_qvFile1->IsTransferring())
        return QStringLiteral(u"انتقال فايل در حال انجام است. آيا برنامه بسته شود؟");
    if (m_callConnected)
        return QStringLiteral(u"ارتباط برقرار است. آيا برنامه بسته شود؟");
    return QString();
}

void TFormTerminalEmulator::UpdateControls()
{
    m_buttonSendFile->setEnabled(m_callConnected);
    m_buttonAnswer->setEnabled(!m_checkBox1->isChecked());
}

void TFormTerminalEmulator::AddLog(const QString& line)
{
    m_memoLog->appendPlainText(line);
    if (m_services.eventLog)
        m_services.eventLog->Write(line);
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

// ---- Terminal area and port ---------------------------------------------------

void TFormTerminalEmulator::QvSerialPort1ReceiveData(const char* data, int size,
                                                     qv::WindowHandle& displayHandle)
{
    displayHandle = m_terminal->DisplayHandle();
    // Only what reaches this handler is searched: bytes a transfer takes
    // never come here, and a report once acted on is not found again.
    if (m_noCarrier.Feed(data, size)) {
        AddLog(NoCarrierLine());
        m_qvPhone1->Hangup();
    }
}

void TFormTerminalEmulator::QvSerialPort1PortState(qv::TPortState state, int param1)
{
    switch (state) {
    case qv::psOpened:
        m_noCarrier.Reset();
        m_terminal->PortOpened();
        SetFillColor(m_memoTerminal, ColorFromNumber(color::TerminalOpen));
        break;
    case qv::psClosed:
        m_noCarrier.Reset();
        m_terminal->PortClosed();
        SetFillColor(m_memoTerminal, ColorFromNumber(color::TerminalClosed));
        break;
    case qv::psError:
        AddLog(ErrorLine(m_qvSerialPort1->GetErrorMessage(param1)));
        break;
    }
}

// ---- Connection panel ---------------------------------------------------------------

void TFormTerminalEmulator::BitBtn2Click()
{
    const QString number = m_editTelephoneNumber->text();
    WriteSetting(settings::TelephoneNumber, number);
    const int code = m_qvPhone1->DialNumber(number.toUtf8(), 0);
    if (code != 0)
        ShowMessageBox(this, QStringLiteral("Error: ") + m_qvPhone1->GetErrorMessage(code));
}

void TFormTerminalEmulator::BitBtn1Click()
{
    // A drop that fails leaves the call up; the window shows what the phone
    // says, so that sending stays possible and the button can be clicked
    // again.
    const int code = m_qvPhone1->Hangup();
    m_callConnected = m_qvPhone1->IsConnected();
    UpdateControls();
    if (code != 0)
        ShowMessageBox(this, QStringLiteral("Error: ") + m_qvPhone1->GetErrorMessage(code));
}

void TFormTerminalEmulator::ButtonAnswerClick()
{
    const int code = m_qvPhone1->Answer(0);
    if (code != 0)
        ShowMessageBox(this, QStringLiteral("Error: ") + m_qvPhone1->GetErrorMessage(code));
}

void TFormTerminalEmulator::ComboBoxSpeakerModeChange()
{
    const int index = m_comboBoxSpeakerMode->currentIndex();
    if (index < 0)
        return;
    m_qvPhone1->ModemSpeaker().SetMode(static_cast<qv::TModemSpeakerMode>(index));
    ReactivateLine();
}

void TFormTerminalEmulator::ComboBoxSpeakerVolChange()
{
    const int index = m_comboBoxSpeakerVol->currentIndex();
    if (index < 0)
        return;
    m_qvPhone1->ModemSpeaker().SetVolume(static_cast<qv::TModemSpeakerVolume>(index));
    ReactivateLine();
}

void TFormTerminalEmulator::ReactivateLine()
{
    if (!m_qvPhone1->IsActive())
        return;
    const int code = Reactivate();
    if (code != 0)
        ShowMessageBox(this, QStringLiteral("Error: ") + PhoneErrorText(code));
}

int TFormTerminalEmulator::Reactivate()
{
    // A reopen that fails says so with its own box; the line state it
    // raises on the way must not bring a second one.
    m_reactivating = true;
    const int code = m_qvPhone1->LineReactivate(true);
    m_reactivating = false;
    return code;
}

QString TFormTerminalEmulator::PhoneErrorText(int code) const
{
    return WithLineFailure(m_qvPhone1->GetErrorMessage(code),
                           m_qvPhone1->LineFailureText(m_qvPhone1->LineID()));
}

void TFormTerminalEmulator::ButtonConfigurationClick()
{
    const int code = m_qvPhone1->LineConfigDialog(this, m_qvPhone1->LineID());
    if (code != 0) {
        // The line says why it refused what the operator accepted (a
        // telephony.conf it cannot write, say); the code alone would not.
        ShowMessageBox(this, QStringLiteral("Error: ") + PhoneErrorText(code));
        return;
    }
    const int reactivated = Reactivate();
    if (reactivated != 0)
        ShowMessageBox(this, QStringLiteral("Error: ") + PhoneErrorText(reactivated));
}

void TFormTerminalEmulator::Button1Click()
{
    if (m_qvPhone1->NumberOfLines() == 0) {
        ShowMessageBox(this, QStringLiteral("There is no telephone device installed."));
        return;
    }
    PhoneLineDevices lines(*m_qvPhone1);
    TFormDlgLineSelection dialog(this);
    dialog.SetPhone(&lines);
    dialog.Fill();
    m_services.runDialog(dialog);
}

void TFormTerminalEmulator::QvPhone1LineState(qv::TLineState state, int param1)
{
    const auto reaction = LineStateReaction(state, m_qvPhone1->GetErrorMessage(param1));
    if (!reaction)
        return;
    AddLog(reaction->log);
    if (reaction->status)
        SetStatus(reaction->status->color, reaction->status->text);
    // The line closed under us (a modem that would not come up, a device
    // that went away): the line says why.
    if (state != qv::lsDeactivated || param1 != 0)
        return;
    const QString failure = m_qvPhone1->LineFailureText(m_qvPhone1->LineID());
    if (failure.isEmpty())
        return;
    AddLog(ErrorLine(failure));
    if (!m_reactivating) {
        // Shown once the event has been handled, so that the box's own event
        // loop never runs inside the phone's event dispatch.
        QTimer::singleShot(0, this,
                           [this, failure] { ShowMessageBox(this, QStringLiteral("Error: ") + failure); });
    }
}

void TFormTerminalEmulator::QvPhone1CallState(qv::TCallState state, int param1, int, int)
{
    // A hang-up that failed has the line's account of what it tried.
    const auto reaction = CallStateReaction(
        state, param1,
        state == qv::csError && param1 == 111 ? PhoneErrorText(param1) : m_qvPhone1->GetErrorMessage(param1));
    if (!reaction)
        return;
    AddLog(reaction->log);
    switch (state) {
    case qv::csDisconnected:
        m_labelConnection->setText(QStringLiteral("Disconnected"));
        m_callConnected = false;
        UpdateControls();
        break;
    case qv::csConnected:
        m_labelConnection->setText(QStringLiteral("Connected"));
        break;
    case qv::csError:
        // A hang-up the line could not carry out: the call is still up.
        m_callConnected = m_qvPhone1->IsConnected();
        UpdateControls();
        break;
    default:
        break;
    }
    if (reaction->status)
        SetStatus(reaction->status->color, reaction->status->text);

    if (state == qv::csConnected) {
        const int code = m_qvSerialPort1->Open(0);
        m_callConnected = true;
        UpdateControls();
        if (code != 0) {
            AddLog(ErrorLine(m_qvSerialPort1->GetErrorMessage(code)));
            m_qvPhone1->Hangup();
            m_callConnected = false;
            UpdateControls();
        }
    } else if (state == qv::csRing) {
        AnswerRule(param1);
    }
}

void TFormTerminalEmulator::AnswerRule(int ringCount)
{
    const RingDecision decision = DecideRing(ringCount, m_editRingNumber->text(), m_checkBox1->isChecked());
    if (!decision.conversionError.isEmpty()) {
        // Shown once the ring has been handled, so that the box's own event
        // loop never runs inside the phone's event dispatch.
        QTimer::singleShot(0, this, [this, text = decision.conversionError] { ShowMessageBox(this, text); });
        return;
    }
    if (!decision.answer)
        return;
    const int code = m_qvPhone1->Answer(0);
    if (code != 0)
        AddLog(ErrorLine(m_qvPhone1->GetErrorMessage(code)));
}

void TFormTerminalEmulator::QvPhone1BeforeDisconnect(int)
{
    m_qvFile1->StopTransfer();
    m_qvSerialPort1->Close();
}

// ---- Transfer panel ---------------------------------------------------------------

void TFormTerminalEmulator::ButtonSendFileClick()
{
    SendChosenFiles();
}

bool TFormTerminalEmulator::SendChosenFiles()
{
    const auto chosen = m_services.chooseFiles(this);
    if (!chosen || chosen->isEmpty())
        return false;
    QStringList refused;
    const QString list = BuildSendList(*chosen, refused);
    for (const QString& name : refused)
        AddLog(UnsendableNameLine(name));
    if (list.isEmpty())
        return false;
    const int code = m_qvFile1->SendFiles(list);
    if (code != 0)
        AddLog(TransferErrorLine(m_qvFile1->GetErrorMessage(code)));
    return code == 0;
}

void TFormTerminalEmulator::QvFile1RemoteReceiverReady()
{
    // An "rz" typed at the far side waits for files: the send button's
    // dialog. Declined, the far side's receiver is cancelled so that it ends
    // instead of waiting.
    AddLog(RemoteWaitingLine());
    if (SendChosenFiles())
        return;
    const int code = m_qvFile1->CancelRemoteReceiver();
    if (code != 0)
        AddLog(TransferErrorLine(m_qvFile1->GetErrorMessage(code)));
}

void TFormTerminalEmulator::ButtonStartListenModeClick()
{
    const int code = m_qvFile1->ListenMode(true);
    if (code != 0)
        ShowMessageBox(this, QStringLiteral("Error: ") + m_qvSerialPort1->GetErrorMessage(code));
}

void TFormTerminalEmulator::ButtonExitListenModeClick()
{
    m_qvFile1->ListenMode(false);
    m_labelListenMode->setText(QStringLiteral("Listen Mode OFF"));
}

void TFormTerminalEmulator::ButtonTransferStopClick()
{
    m_qvFile1->StopTransfer();
}

void TFormTerminalEmulator::BitBtn3Click()
{
    qv::TTransfer& transfer = m_qvFile1->Transfer();
    TFormReceiveOptions dialog(m_settings, m_services.chooseFolder, this);
    dialog.SetReceiveDirectory(transfer.ReceiveFolder());
    dialog.SetFileExistsIndex(int(transfer.ReceiveExistingFiles()));
    if (m_services.runDialog(dialog) != QDialog::Accepted)
        return;
    const QString folder = dialog.ReceiveDirectory();
    transfer.SetReceiveFolder(folder.isEmpty() ? m_services.defaultReceiveFolder : folder);
    const int index = dialog.FileExistsIndex();
    if (index >= int(qv::efCreateWithNewName) && index <= int(qv::efResumeTransfer))
        transfer.SetReceiveExistingFiles(static_cast<qv::TReceiveExistingFiles>(index));
}

void TFormTerminalEmulator::QvFile1TransferStateEvent(qv::TTransferState state, const QString& fullFileName,
                                                      int param1)
{
    const Reaction reaction =
        TransferStateReaction(state, fullFileName, param1, m_qvFile1->GetErrorMessage(param1));
    AddLog(reaction.log);
    const std::int64_t now = qv::Clock::Instance().MonotonicMs();
    switch (state) {
    case qv::tsSendModeStart:
    case qv::tsReceiveModeStart:
        m_transferRate.Begin(now);
        break;
    case qv::tsFileSendDone:
    case qv::tsFileReceiveDone:
        if (const QString line = m_transferRate.FileEndText(now); !line.isEmpty())
            AddLog(line);
        break;
    case qv::tsSendModeEnd:
    case qv::tsReceiveModeEnd:
        m_labelTransferRate->clear();
        m_terminal->TransferEnded();
        break;
    default:
        break;
    }
    if (state == qv::tsListenModeStart)
        m_labelListenMode->setText(QStringLiteral("Listen Mode ON"));
    if (state == qv::tsReceiveModeStart) {
        // The default folder is made when a file may first arrive.
        const QString folder = m_qvFile1->Transfer().ReceiveFolder();
        if (QDir::cleanPath(folder) == QDir::cleanPath(m_services.defaultReceiveFolder) &&
            !QDir().mkpath(folder))
            AddLog(TransferErrorLine(QStringLiteral("the folder ") + folder +
                                     QStringLiteral(" cannot be made")));
    }
    if (reaction.status)
        SetStatus(reaction.status->color, reaction.status->text);
}

void TFormTerminalEmulator::QvFile1TransferProgress(qv::TTransferOperation, const QString& fullFileName,
                                                    int fileIndex, int fileBytes, int filePerc,
                                                    int totalBytes, int totalPerc)
{
    const qv::TTransfer& transfer = m_qvFile1->Transfer();
    m_labelTransmitFileName->setText(fullFileName);
    m_progressBarFile->setValue(filePerc);
    m_progressBarTotal->setValue(totalPerc);
    m_labelFileProgress->setText(QStringLiteral("%1/%2").arg(fileBytes).arg(transfer.FileSize()));
    m_labelTotalProgress->setText(QStringLiteral("%1/%2").arg(totalBytes).arg(transfer.TotalFileSize()));
    m_labelFileIndex->setText(QStringLiteral("%1/%2").arg(fileIndex).arg(transfer.TotalFileCount()));
    m_transferRate.Progress(qv::Clock::Instance().MonotonicMs(), fileIndex, fileBytes, totalBytes,
                            transfer.TotalFileSize());
    m_labelTransferRate->setText(m_transferRate.LiveText());
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
