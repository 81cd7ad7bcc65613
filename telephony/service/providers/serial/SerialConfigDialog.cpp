#include "telephony/service/providers/serial/SerialConfigDialog.h"

#include "serial/CommDevice.h"
#include "telephony/service/Service.h"
#include "telephony/service/providers/serial/SerialLineProvider.h"
#include "telephony/service/providers/tty/SerialDevices.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

namespace qv::serialline {

SerialConfigDialog::SerialConfigDialog(const SerialLineConfig& config, Check check, QWidget* parent)
    : QDialog(parent), m_config(config), m_check(std::move(check))
{
    setObjectName(QStringLiteral("SerialConfigDialog"));
    setWindowTitle(QStringLiteral("Serial line settings - %1").arg(config.name));
    auto* form = new QFormLayout(this);

    m_device = new QComboBox(this);
    m_device->setObjectName(QStringLiteral("ComboDevice"));
    m_device->setEditable(true);
    m_device->setInsertPolicy(QComboBox::NoInsert);
    m_device->addItems(tty::ListSerialDevices());
    m_device->setCurrentText(config.port.device);
    form->addRow(QStringLiteral("Device:"), m_device);

    m_speed = new QComboBox(this);
    m_speed->setObjectName(QStringLiteral("ComboSpeed"));
    for (int speed : CommDevice::SupportedSpeeds())
        m_speed->addItem(QString::number(speed), speed);
    if (m_speed->findData(config.port.speed) < 0)
        m_speed->addItem(QString::number(config.port.speed), config.port.speed);
    m_speed->setCurrentIndex(m_speed->findData(config.port.speed));
    form->addRow(QStringLiteral("Port speed:"), m_speed);

    m_flow = new QComboBox(this);
    m_flow->setObjectName(QStringLiteral("ComboFlow"));
    m_flow->addItems({QStringLiteral("None"), QStringLiteral("Hardware (RTS/CTS)"),
                      QStringLiteral("Software (XON/XOFF)")});
    m_flow->setCurrentIndex(int(config.port.flow));
    form->addRow(QStringLiteral("Flow control:"), m_flow);

    m_carrier = new QComboBox(this);
    m_carrier->setObjectName(QStringLiteral("ComboCarrier"));
    m_carrier->addItems({QStringLiteral("Ignore (the far end is always there)"),
                         QStringLiteral("Wait for the far end's DCD")});
    m_carrier->setCurrentIndex(config.carrier == CarrierMode::Wait ? 1 : 0);
    form->addRow(QStringLiteral("Carrier:"), m_carrier);

    m_timeout = new QSpinBox(this);
    m_timeout->setObjectName(QStringLiteral("SpinTimeout"));
    m_timeout->setRange(MinDialTimeoutSeconds, MaxDialTimeoutSeconds);
    m_timeout->setSuffix(QStringLiteral(" s"));
    m_timeout->setValue(config.dialTimeoutSeconds);
    form->addRow(QStringLiteral("Wait for the carrier:"), m_timeout);

    auto* lockDir =
        new QLabel(config.port.lockDir.isEmpty() ? QStringLiteral("None") : config.port.lockDir, this);
    lockDir->setObjectName(QStringLiteral("LabelLockDir"));
    form->addRow(QStringLiteral("Lock folder:"), lockDir);

    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("LabelProblem"));
    m_problem->setWordWrap(true);
    m_problem->setStyleSheet(QStringLiteral("color: #b00020"));
    m_problem->hide();
    form->addRow(m_problem);

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_buttons->setObjectName(QStringLiteral("Buttons"));
    form->addRow(m_buttons);
    connect(m_buttons, &QDialogButtonBox::accepted, this, [this] { TryAccept(); });
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_device, &QComboBox::currentTextChanged, this, [this] { Validate(); });
    connect(m_carrier, &QComboBox::currentIndexChanged, this, [this] { Validate(); });
    Validate();
}

void SerialConfigDialog::Validate()
{
    // A refusal was about what the dialog showed then.
    m_problem->clear();
    m_problem->hide();
    // The time limit is how long a dial waits for DCD: nothing waits when
    // the carrier is ignored.
    m_timeout->setEnabled(m_carrier->currentIndex() == 1);
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(!m_device->currentText().trimmed().isEmpty());
}

void SerialConfigDialog::TryAccept()
{
    const QString problem = m_check ? m_check(Config()) : QString();
    if (problem.isEmpty()) {
        accept();
        return;
    }
    // The dialog stays, so that another device or setting can be tried.
    m_problem->setText(problem);
    m_problem->show();
}

SerialLineConfig SerialConfigDialog::Config() const
{
    SerialLineConfig c = m_config;
    c.port.device = m_device->currentText().trimmed();
    c.port.speed = m_speed->currentData().toInt();
    c.port.flow = tty::FlowControl(m_flow->currentIndex());
    c.carrier = m_carrier->currentIndex() == 1 ? CarrierMode::Wait : CarrierMode::Ignore;
    c.dialTimeoutSeconds = m_timeout->value();
    return c;
}

QString SerialConfigDialog::Problem() const
{
    return m_problem->text();
}

void RegisterSerialConfigDialog()
{
    tapi::Service::SetConfigDialogHandler(
        QStringLiteral("serial"),
        [](tapi::Provider& provider, int line, tapi::HWND owner, const QString&) -> tapi::LONG {
            auto* serial = dynamic_cast<SerialLineProvider*>(&provider);
            if (serial == nullptr || line < 0 || line >= serial->LineCount())
                return tapi::LINEERR_BADDEVICEID;
            QWidget* parent = owner ? static_cast<QWidget*>(owner) : QApplication::activeWindow();
            SerialConfigDialog dialog(
                serial->LineConfig(line),
                [serial, line](const SerialLineConfig& c) { return serial->CheckLineConfig(line, c); },
                parent);
            if (dialog.exec() != QDialog::Accepted)
                return 0;
            return serial->SetLineConfig(line, dialog.Config());
        });
}

} // namespace qv::serialline
