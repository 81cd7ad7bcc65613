// The tcp line's configuration dialog: the line's name, whether and where it
// listens, telnet or raw calls, and how long a dialled host may take. It
// works on the line's configuration block, so what it accepts is what the
// line takes through lineSetDevConfig. Kept out of the provider's library so
// that the service links without QtWidgets; the GUI registers it at start-up.
#pragma once

#include "telephony/service/providers/tcp/TcpLineConfig.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLineEdit;
class QSpinBox;

namespace qv::tcp {

class TcpConfigDialog : public QDialog
{
    Q_OBJECT
public:
    explicit TcpConfigDialog(const TcpLineConfig& config, QWidget* parent = nullptr);

    // The settings as the dialog shows them now.
    TcpLineConfig Config() const;
    // Whether the line would take them (the OK button follows it).
    bool IsAcceptable() const;

private:
    void Validate();

    TcpLineConfig m_config;
    QLineEdit* m_name = nullptr;
    QCheckBox* m_listen = nullptr;
    QLineEdit* m_address = nullptr;
    QSpinBox* m_port = nullptr;
    QComboBox* m_mode = nullptr;
    QSpinBox* m_timeout = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
};

// Makes lineConfigDialog on a tcp line show TcpConfigDialog (modal, over the
// owner widget given to lineConfigDialog, if any) and give the line what the
// operator accepts; it is used from the line's next opening. Call once from
// the GUI's start-up.
void RegisterTcpConfigDialog();

} // namespace qv::tcp
