#include "telephony/service/providers/sim/SimConfigDialog.h"

#include "telephony/service/ModemConfig.h"
#include "telephony/service/Service.h"
#include "telephony/service/providers/sim/SimExchange.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>

namespace tapi::sim {

namespace {

QComboBox* Combo(QWidget* parent, const char* name, const QStringList& items, DWORD current)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(QLatin1String(name));
    box->addItems(items);
    box->setCurrentIndex(current < static_cast<DWORD>(items.size()) ? static_cast<int>(current) : 0);
    return box;
}

} // namespace

SimConfigDialog::SimConfigDialog(const QByteArray& block, QWidget* parent) : QDialog(parent), m_block(block)
{
    using namespace modemcfg;
    setObjectName(QStringLiteral("SimConfigDialog"));
    setWindowTitle(QStringLiteral("Simulated line settings"));
    auto* form = new QFormLayout(this);
    m_modem =
        block.size() >= kModemConfigSize && ReadDword(block, kProviderSubtypeOffset) == kProviderSubtypeModem;
    if (m_modem) {
        m_volume =
            Combo(this, "ComboVolume", {"Low", "Medium", "High"}, ReadDword(block, kSpeakerVolumeOffset));
        form->addRow(QStringLiteral("Speaker volume:"), m_volume);
        m_speaker =
            Combo(this, "ComboSpeaker", {"Off", "On while dialling", "Always on", "On after dialling"},
                  ReadDword(block, kSpeakerModeOffset));
        form->addRow(QStringLiteral("Speaker:"), m_speaker);
        m_icon = new QCheckBox(QStringLiteral("Show the modem's icon"), this);
        m_icon->setObjectName(QStringLiteral("CheckIcon"));
        m_icon->setChecked(ReadWord(block, kOptionsOffset) & kOptionShowIcon);
        form->addRow(m_icon);
        m_pulse = new QCheckBox(QStringLiteral("Pulse dialling"), this);
        m_pulse->setObjectName(QStringLiteral("CheckPulse"));
        m_pulse->setChecked(ReadDword(block, kDialOptionsOffset) & kDialPulse);
        form->addRow(m_pulse);
    } else {
        auto* note = new QLabel(QStringLiteral("This line has no modem settings."), this);
        note->setObjectName(QStringLiteral("LabelNoModem"));
        form->addRow(note);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("Buttons"));
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

QByteArray SimConfigDialog::Block() const
{
    using namespace modemcfg;
    QByteArray block = m_block;
    if (!m_modem)
        return block;
    WriteDword(block, kSpeakerVolumeOffset, static_cast<DWORD>(m_volume->currentIndex()));
    WriteDword(block, kSpeakerModeOffset, static_cast<DWORD>(m_speaker->currentIndex()));
    WORD options = ReadWord(block, kOptionsOffset);
    options = m_icon->isChecked() ? WORD(options | kOptionShowIcon) : WORD(options & ~kOptionShowIcon);
    WriteWord(block, kOptionsOffset, options);
    DWORD dial = ReadDword(block, kDialOptionsOffset);
    dial = m_pulse->isChecked() ? (dial | kDialPulse) : (dial & ~kDialPulse);
    WriteDword(block, kDialOptionsOffset, dial);
    return block;
}

void RegisterSimConfigDialog()
{
    Service::SetConfigDialogHandler(
        QStringLiteral("sim"),
        [](Provider& provider, int line, HWND owner, const QString& deviceClass) -> LONG {
            // The exchange's own answer first: a test may have it refuse.
            if (const LONG rc = provider.ConfigDialog(line, owner, deviceClass); rc < 0)
                return rc;
            const QString modemClass = QStringLiteral("comm/datamodem");
            QByteArray block;
            if (const LONG rc = provider.GetDevConfig(line, modemClass, block); rc < 0)
                return rc;
            QWidget* parent = owner ? static_cast<QWidget*>(owner) : QApplication::activeWindow();
            SimConfigDialog dialog(block, parent);
            if (dialog.exec() != QDialog::Accepted)
                return 0;
            return provider.SetDevConfig(line, modemClass, dialog.Block());
        });
}

} // namespace tapi::sim
