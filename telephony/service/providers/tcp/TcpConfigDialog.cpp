#include "telephony/service/providers/tcp/TcpConfigDialog.h"

#include "telephony/service/Service.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

namespace qv::tcp {

namespace {

// The block keeps 63 bytes of address and of name (UTF-8) and a NUL.
constexpr int kMaxText = 63;

} // namespace

TcpConfigDialog::TcpConfigDialog(const TcpLineConfig& config, QWidget* parent)
    : QDialog(parent), m_config(config)
{
    setObjectName(QStringLiteral("TcpConfigDialog"));
    setWindowTitle(QStringLiteral("Internet line settings - %1").arg(config.name));
    auto* form = new QFormLayout(this);

    m_name = new QLineEdit(config.name, this);
    m_name->setObjectName(QStringLiteral("EditName"));
    form->addRow(QStringLiteral("Name:"), m_name);

    m_listen = new QCheckBox(QStringLiteral("Accept incoming calls"), this);
    m_listen->setObjectName(QStringLiteral("CheckListen"));
    m_listen->setChecked(config.listen);
    form->addRow(m_listen);

    m_address = new QLineEdit(config.listenAddress, this);
    m_address->setObjectName(QStringLiteral("EditAddress"));
    m_address->setMaxLength(kMaxText);
    form->addRow(QStringLiteral("Listening address:"), m_address);

    m_port = new QSpinBox(this);
    m_port->setObjectName(QStringLiteral("SpinPort"));
    m_port->setRange(1, 65535);
    m_port->setValue(config.listenPort);
    form->addRow(QStringLiteral("Listening port:"), m_port);

    m_mode = new QComboBox(this);
    m_mode->setObjectName(QStringLiteral("ComboMode"));
    m_mode->addItems({QStringLiteral("Raw"), QStringLiteral("Telnet")});
    m_mode->setCurrentIndex(config.mode == TcpMode::Telnet ? 1 : 0);
    form->addRow(QStringLiteral("Calls:"), m_mode);

    m_timeout = new QSpinBox(this);
    m_timeout->setObjectName(QStringLiteral("SpinTimeout"));
    m_timeout->setRange(1, 600);
    m_timeout->setSuffix(QStringLiteral(" s"));
    m_timeout->setValue(config.connectTimeoutSeconds);
    form->addRow(QStringLiteral("Wait for an answer:"), m_timeout);

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_buttons->setObjectName(QStringLiteral("Buttons"));
    form->addRow(m_buttons);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_name, &QLineEdit::textChanged, this, [this] { Validate(); });
    connect(m_address, &QLineEdit::textChanged, this, [this] { Validate(); });
    connect(m_listen, &QCheckBox::toggled, this, [this] { Validate(); });
    Validate();
}

TcpLineConfig TcpConfigDialog::Config() const
{
    TcpLineConfig c = m_config;
    c.name = m_name->text().trimmed();
    c.listen = m_listen->isChecked();
    c.listenAddress = m_address->text().trimmed();
    c.listenPort = static_cast<std::uint16_t>(m_port->value());
    c.mode = m_mode->currentIndex() == 1 ? TcpMode::Telnet : TcpMode::Raw;
    c.connectTimeoutSeconds = m_timeout->value();
    return c;
}

bool TcpConfigDialog::IsAcceptable() const
{
    // The line's own rules decide: what does not come back whole from its
    // configuration block would not be taken.
    const TcpLineConfig wanted = Config();
    if (wanted.name.isEmpty() || wanted.name.toUtf8().size() > kMaxText)
        return false;
    TcpLineConfig decoded;
    return DecodeConfigBlock(EncodeConfigBlock(wanted), decoded) && decoded == wanted;
}

void TcpConfigDialog::Validate()
{
    m_address->setEnabled(m_listen->isChecked());
    m_port->setEnabled(m_listen->isChecked());
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(IsAcceptable());
}

void RegisterTcpConfigDialog()
{
    tapi::Service::SetConfigDialogHandler(
        QStringLiteral("tcp"),
        [](tapi::Provider& provider, int line, tapi::HWND owner, const QString&) -> tapi::LONG {
            const QString deviceClass = QStringLiteral("comm/datamodem");
            QByteArray block;
            if (const tapi::LONG rc = provider.GetDevConfig(line, deviceClass, block); rc < 0)
                return rc;
            TcpLineConfig config;
            if (!DecodeConfigBlock(block, config))
                return tapi::LINEERR_OPERATIONFAILED;
            QWidget* parent = owner ? static_cast<QWidget*>(owner) : QApplication::activeWindow();
            TcpConfigDialog dialog(config, parent);
            if (dialog.exec() != QDialog::Accepted)
                return 0;
            return provider.SetDevConfig(line, deviceClass, EncodeConfigBlock(dialog.Config(), block));
        });
}

} // namespace qv::tcp
