#include "telephony/service/providers/modem/ModemConfigDialog.h"

#include "telephony/service/Service.h"
#include "telephony/service/providers/modem/ModemProvider.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace qv::modem {

namespace {

constexpr int kSpeeds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};

QComboBox* Combo(QWidget* parent, const char* name, const QStringList& items, int current)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(QLatin1String(name));
    box->addItems(items);
    box->setCurrentIndex(current);
    return box;
}

} // namespace

ModemConfigDialog::ModemConfigDialog(const ModemLineConfig& config, QWidget* parent)
    : QDialog(parent), m_config(config)
{
    setObjectName(QStringLiteral("ModemConfigDialog"));
    setWindowTitle(QStringLiteral("Modem settings - %1").arg(config.name));
    auto* form = new QFormLayout(this);

    auto* device = new QLabel(config.device, this);
    device->setObjectName(QStringLiteral("LabelDevice"));
    form->addRow(QStringLiteral("Device:"), device);
    auto* lockDir = new QLabel(config.lockDir.isEmpty() ? QStringLiteral("None") : config.lockDir, this);
    lockDir->setObjectName(QStringLiteral("LabelLockDir"));
    form->addRow(QStringLiteral("Lock folder:"), lockDir);

    m_volume = Combo(this, "ComboVolume", {"Low", "Medium", "High"}, int(config.volume));
    form->addRow(QStringLiteral("Speaker volume:"), m_volume);
    m_speaker = Combo(this, "ComboSpeaker", {"Off", "On while dialling", "Always on", "On after dialling"},
                      int(config.speaker));
    form->addRow(QStringLiteral("Speaker:"), m_speaker);

    m_init = new QLineEdit(QString::fromLatin1(config.init), this);
    m_init->setObjectName(QStringLiteral("EditInit"));
    m_init->setMaxLength(MaxInitLength);
    if (!config.initSequence.isEmpty()) {
        // The line's own init sequence in telephony.conf is sent instead.
        m_init->setEnabled(false);
        m_init->setToolTip(QStringLiteral("telephony.conf gives the whole init sequence: ") +
                           QString::fromLatin1(config.initSequence));
    }
    form->addRow(QStringLiteral("Init string:"), m_init);

    m_speed = new QComboBox(this);
    m_speed->setObjectName(QStringLiteral("ComboSpeed"));
    for (int speed : kSpeeds) {
        m_speed->addItem(QString::number(speed), speed);
        if (speed == config.speed)
            m_speed->setCurrentIndex(m_speed->count() - 1);
    }
    if (m_speed->findData(config.speed) < 0) {
        m_speed->addItem(QString::number(config.speed), config.speed);
        m_speed->setCurrentIndex(m_speed->count() - 1);
    }
    form->addRow(QStringLiteral("Port speed:"), m_speed);

    m_flow =
        Combo(this, "ComboFlow", {"None", "Hardware (RTS/CTS)", "Software (XON/XOFF)"}, int(config.flow));
    form->addRow(QStringLiteral("Flow control:"), m_flow);
    m_dial = Combo(this, "ComboDial", {"Tone", "Pulse"}, int(config.dialMode));
    form->addRow(QStringLiteral("Dialling:"), m_dial);

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_buttons->setObjectName(QStringLiteral("Buttons"));
    form->addRow(m_buttons);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_init, &QLineEdit::textChanged, this, [this] { Validate(); });
    Validate();
}

void ModemConfigDialog::Validate()
{
    // An init string that could not be sent as one command line is not
    // accepted, rather than cut or passed on.
    const bool ok = IsValidInitString(m_init->text().trimmed().toLatin1()) &&
                    m_init->text().trimmed() == QString::fromLatin1(m_init->text().trimmed().toLatin1());
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(ok);
}

ModemLineConfig ModemConfigDialog::Config() const
{
    ModemLineConfig c = m_config;
    c.volume = SpeakerVolume(m_volume->currentIndex());
    c.speaker = SpeakerMode(m_speaker->currentIndex());
    const QByteArray init = m_init->text().trimmed().toLatin1();
    if (IsValidInitString(init))
        c.init = init;
    c.speed = m_speed->currentData().toInt();
    c.flow = FlowControl(m_flow->currentIndex());
    c.dialMode = DialMode(m_dial->currentIndex());
    return c;
}

void RegisterModemConfigDialog()
{
    tapi::Service::SetConfigDialogHandler(
        QStringLiteral("modem"),
        [](tapi::Provider& provider, int line, tapi::HWND, const QString&) -> tapi::LONG {
            auto* modem = dynamic_cast<ModemProvider*>(&provider);
            if (modem == nullptr || line < 0 || line >= modem->LineCount())
                return tapi::LINEERR_BADDEVICEID;
            ModemConfigDialog dialog(modem->LineConfig(line), QApplication::activeWindow());
            if (dialog.exec() != QDialog::Accepted)
                return 0;
            return modem->SetLineConfig(line, dialog.Config());
        });
}

} // namespace qv::modem
