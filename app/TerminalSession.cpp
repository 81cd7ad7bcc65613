#include "app/TerminalSession.h"

#include "app/Colors.h"
#include "app/FormBuilder.h"
#include "app/MessageBox.h"

#include "frontend/Reactions.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QVBoxLayout>

namespace vh {

namespace {

const QRect kAreaBounds(9, 258, 769, 165);
const QString kTahoma = QStringLiteral("Tahoma");

// The bigger view: a window of its own that holds the area while it is open
// and gives it back when closed.
class TerminalBigView : public QWidget
{
public:
    TerminalBigView(QWidget* owner, std::function<void()> closed)
        : QWidget(owner, Qt::Window), m_closed(std::move(closed))
    {
        setObjectName(QStringLiteral("TerminalWindow"));
        setWindowTitle(QStringLiteral(u"ارتباط نوشتاري"));
        setAttribute(Qt::WA_DeleteOnClose);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
    }

protected:
    void closeEvent(QCloseEvent* event) override
    {
        m_closed();
        QWidget::closeEvent(event);
    }

private:
    std::function<void()> m_closed;
};

} // namespace

const QList<QByteArray>& TerminalSession::TerminalTypes()
{
    static const QList<QByteArray> types = {QByteArrayLiteral("XTERM-256COLOR"), QByteArrayLiteral("XTERM"),
                                            QByteArrayLiteral("VT100"), QByteArrayLiteral("ANSI")};
    return types;
}

TerminalSession::TerminalSession(QWidget* window, QWidget* settingsPanel, qv::QvPhone& phone,
                                 qv::QvSerialPort& port, const SettingsStore& settings,
                                 std::function<void(const QString&)> log)
    : m_window(window), m_phone(phone), m_port(port), m_settings(settings), m_log(std::move(log)),
      m_sender(
          // A closed port takes a piece at once, so that its error is reported
          // as the log's typed-text error rather than the paste waiting.
          [this] { return m_port.IsOpened() ? m_port.OutQueueFree() : PacedSender::kPieceSize; },
          [this](const QByteArray& bytes) { return m_port.SendString(bytes); },
          [this](int code) { m_log(QStringLiteral(">Error: ") + m_port.GetErrorMessage(code)); }, this),
      m_gate(
          [this](const QByteArray& held) {
              m_keysTold = false;
              m_sender.Send(held);
          },
          this)
{
    m_placeholder = Place<FormLabel>(window, "LabelTerminalElsewhere", kAreaBounds.x(), kAreaBounds.y(),
                                     kAreaBounds.width(), kAreaBounds.height(),
                                     QStringLiteral(u"پايانه در پنجره بزرگ باز است"));
    m_placeholder->setAlignment(Qt::AlignCenter);
    m_placeholder->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_placeholder->hide();

    m_area = Place<TerminalArea>(window, "MemoTerminal", kAreaBounds.x(), kAreaBounds.y(),
                                 kAreaBounds.width(), kAreaBounds.height());
    SetFillColor(m_area, ColorFromNumber(color::TerminalAsDesigned));

    BuildControls(settingsPanel);

    connect(m_area, &TerminalArea::Typed, this,
            [this](const QByteArray& bytes, const QByteArray& echo) { Typed(bytes, echo); });
    connect(m_area, &TerminalArea::Pasted, this,
            [this](const QByteArray& bytes, const QByteArray& echo) { Typed(bytes, echo); });
    // The terminal's answers to the far side's questions; none come while
    // a transfer holds the line, which shows no text.
    connect(m_area, &TerminalArea::Replies, this, [this](const QByteArray& bytes) {
        if (!m_gate.TransferRunning())
            Send(bytes);
    });
    connect(m_area, &TerminalArea::SizeChanged, this,
            [this](int columns, int rows) { ReportSize(columns, rows); });

    m_phone.SetOnLineTraits([this](qv::QvPhone*, qv::TLineTraits traits, int) { LineTraitsChanged(traits); });
}

TerminalSession::~TerminalSession()
{
    m_phone.SetOnLineTraits(nullptr);
    if (QWidget* view = m_bigView) {
        ReturnArea();
        delete view;
    }
}

void TerminalSession::BuildControls(QWidget* panel)
{
    m_buttonTerminalWindow = Place<QPushButton>(panel, "ButtonTerminalWindow", 41, 40, 251, 31,
                                                QStringLiteral(u"نمايش در پنجره بزرگ"));

    m_labelCodePage =
        Place<FormLabel>(panel, "LabelCodePage", 250, 124, 114, 13, QStringLiteral(u": مجموعه کاراکتر"));
    m_comboBoxCodePage = Place<QComboBox>(panel, "ComboBoxCodePage", 124, 120, 120, 22);
    for (TerminalCodePage page : kCodePages)
        m_comboBoxCodePage->addItem(CodePageName(page));

    m_labelEnter = Place<FormLabel>(panel, "LabelEnter", 250, 150, 114, 13, QStringLiteral(u": کليد اينتر"));
    m_comboBoxEnter = Place<QComboBox>(panel, "ComboBoxEnter", 124, 146, 120, 22);
    m_comboBoxEnter->addItems(
        {QStringLiteral(u"طبق درخواست خط"), QStringLiteral("CR LF"), QStringLiteral("CR")});

    m_checkBoxLocalEcho = Place<QCheckBox>(panel, "CheckBoxLocalEcho", 349, 174, 15, 17);
    m_checkBoxLocalEcho->setChecked(true);
    m_labelLocalEcho =
        Place<FormLabel>(panel, "LabelLocalEcho", 193, 175, 153, 13, QStringLiteral(u"نمايش محلي نوشته ها"));

    for (QLabel* label : {m_labelCodePage, m_labelEnter, m_labelLocalEcho}) {
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        label->setFont(FormFont(kTahoma, 8));
        SetTextColor(label, color::Blue);
    }
    m_buttonTerminalWindow->setFont(FormFont(kTahoma, 8));

    // The operator's changes only: the stored choices are put in at start
    // without being written back.
    connect(m_comboBoxCodePage, &QComboBox::activated, this, [this](int index) {
        if (index < 0 || index >= int(kCodePages.size()))
            return;
        m_options.codePage = kCodePages[std::size_t(index)];
        Apply();
        Save(settings::CodePage, CodePageName(m_options.codePage));
    });
    connect(m_comboBoxEnter, &QComboBox::activated, this, [this](int index) {
        if (index < 0 || index > 2)
            return;
        m_options.enter = EnterSends(index);
        Apply();
        Save(settings::EnterKey, EnterText(m_options.enter));
    });
    connect(m_checkBoxLocalEcho, &QCheckBox::clicked, this, [this](bool checked) {
        m_options.localEcho = checked;
        Apply();
        Save(settings::LocalEcho, LocalEchoText(checked));
    });
    connect(m_buttonTerminalWindow, &QPushButton::clicked, this, [this] { OpenBigView(); });
}

void TerminalSession::Load()
{
    QStringList errors;
    m_options = ReadTerminalOptions(m_settings, errors);
    for (const QString& error : errors)
        ShowMessageBox(m_window, error);
    m_comboBoxCodePage->setCurrentIndex(
        int(std::find(kCodePages.begin(), kCodePages.end(), m_options.codePage) - kCodePages.begin()));
    m_comboBoxEnter->setCurrentIndex(int(m_options.enter));
    m_checkBoxLocalEcho->setChecked(m_options.localEcho);
    Apply();
    ReportSize(m_area->Screen().Columns(), m_area->Screen().Rows());
}

void TerminalSession::Save(const QString& name, const QString& text)
{
    QString error;
    if (!m_settings.Write(name, text, error))
        ShowMessageBox(m_window, error);
}

void TerminalSession::Apply()
{
    m_area->SetCodePage(m_options.codePage);
    m_area->SetEnterBytes(EnterBytes(m_options.enter, m_traits));
    m_showTyped = vh::ShowsTypedText(m_options.localEcho, m_traits);
}

void TerminalSession::LineTraitsChanged(const qv::TLineTraits& traits)
{
    m_traits = traits;
    Apply();
}

void TerminalSession::PortOpened()
{
    m_traits = m_phone.LineTraits();
    Apply();
    m_area->StartSession();
}

void TerminalSession::PortClosed()
{
    m_sender.Clear();
    m_gate.Clear();
    m_traits = qv::TLineTraits{};
    Apply();
}

void TerminalSession::Typed(const QByteArray& bytes, const QByteArray& echo)
{
    if (m_gate.TransferRunning()) {
        if (!m_keysTold) {
            m_keysTold = true;
            m_log(KeysNotSentLine());
        }
        return;
    }
    // Shown as typed: an edit control shows the character before the line
    // has taken it, and so does this.
    if (m_showTyped && !echo.isEmpty())
        m_area->Echo(echo);
    Send(bytes);
}

void TerminalSession::Send(const QByteArray& bytes)
{
    if (m_gate.Closed())
        m_gate.Hold(bytes);
    else
        m_sender.Send(bytes);
}

void TerminalSession::ReportSize(int columns, int rows)
{
    m_phone.SetTerminalInfo(TerminalTypes(), columns, rows);
}

void TerminalSession::OpenBigView()
{
    if (m_bigView) {
        m_bigView->raise();
        m_bigView->activateWindow();
        return;
    }
    auto* view = new TerminalBigView(m_window, [this] { ReturnArea(); });
    m_bigView = view;
    view->layout()->addWidget(m_area);
    // Room for the classic 80 by 24 to start with; the operator sizes it.
    const QSize cell = m_area->CellSize();
    const int frame = 2 * m_area->frameWidth();
    const int scrollBar = m_area->verticalScrollBar()->sizeHint().width();
    view->resize(80 * cell.width() + 4 + frame + scrollBar, 24 * cell.height() + frame);
    m_placeholder->show();
    m_area->show();
    view->show();
    m_area->setFocus();
}

void TerminalSession::CloseBigView()
{
    if (m_bigView)
        m_bigView->close();
}

void TerminalSession::ReturnArea()
{
    if (!m_bigView)
        return;
    m_bigView = nullptr;
    m_area->setParent(m_window);
    m_area->setGeometry(kAreaBounds);
    m_area->show();
    m_placeholder->hide();
}

} // namespace vh
