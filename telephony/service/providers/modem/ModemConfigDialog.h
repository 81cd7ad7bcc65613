// The modem line's configuration dialog: speaker, init string, speed, flow
// control and dial mode. It edits a copy of the line's settings and hands
// them back; the device path and the lock folder come from telephony.conf and
// are shown, not edited. Kept out of the provider's library so that the
// service links without QtWidgets; the GUI registers it at start-up.
#pragma once

#include "telephony/service/providers/modem/ModemLineConfig.h"

#include <QDialog>

class QComboBox;
class QLineEdit;
class QDialogButtonBox;

namespace qv::modem {

class ModemConfigDialog : public QDialog
{
    Q_OBJECT
public:
    explicit ModemConfigDialog(const ModemLineConfig& config, QWidget* parent = nullptr);

    // The settings as the dialog shows them now.
    ModemLineConfig Config() const;

private:
    void Validate();

    ModemLineConfig m_config;
    QComboBox* m_volume = nullptr;
    QComboBox* m_speaker = nullptr;
    QLineEdit* m_init = nullptr;
    QComboBox* m_speed = nullptr;
    QComboBox* m_flow = nullptr;
    QComboBox* m_dial = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
};

// Makes lineConfigDialog on a modem line show ModemConfigDialog (modal) and
// give the line what the operator accepts (ModemProvider::SetLineConfig: kept
// in telephony.conf, used from the next opening of the line); settings the
// file cannot take fail it with LINEERR_OPERATIONFAILED. Call once from the
// GUI's start-up.
void RegisterModemConfigDialog();

} // namespace qv::modem
