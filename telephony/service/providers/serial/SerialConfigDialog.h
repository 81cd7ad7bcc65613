// The direct serial line's configuration dialog: the device, the port's speed
// and flow control, whether the far end's carrier counts, and how long a dial
// waits for it. It edits a copy of the line's settings and hands them back;
// the lock folder comes from telephony.conf and is shown, not edited. Kept
// out of the provider's library so that the service links without QtWidgets;
// the GUI registers it at start-up.
#pragma once

#include "telephony/service/providers/serial/SerialLineConfig.h"

#include <QDialog>

#include <functional>

class QComboBox;
class QDialogButtonBox;
class QLabel;
class QSpinBox;

namespace qv::serialline {

class SerialConfigDialog : public QDialog
{
    Q_OBJECT
public:
    // Says why the line could not use the settings, or nothing when it could
    // (SerialLineProvider::CheckLineConfig).
    using Check = std::function<QString(const SerialLineConfig&)>;

    // The device list offers the serial devices present (ListSerialDevices);
    // another name may be typed. OK asks `check` first: settings it refuses
    // are not accepted, and its reason shows in the dialog.
    explicit SerialConfigDialog(const SerialLineConfig& config, Check check = {}, QWidget* parent = nullptr);

    // The settings as the dialog shows them now.
    SerialLineConfig Config() const;
    // Why OK was last refused; empty when it was not.
    QString Problem() const;

private:
    void Validate();
    void TryAccept();

    SerialLineConfig m_config;
    Check m_check;
    QComboBox* m_device = nullptr;
    QComboBox* m_speed = nullptr;
    QComboBox* m_flow = nullptr;
    QComboBox* m_carrier = nullptr;
    QSpinBox* m_timeout = nullptr;
    QLabel* m_problem = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
};

// Makes lineConfigDialog on a serial line show SerialConfigDialog (modal, over
// the owner widget given to lineConfigDialog, if any) and give the line what
// the operator accepts (SerialLineProvider::SetLineConfig: kept in
// telephony.conf, used from the next opening of the line); settings the file
// cannot take fail it with LINEERR_OPERATIONFAILED. Call once from the GUI's
// start-up.
void RegisterSerialConfigDialog();

} // namespace qv::serialline
