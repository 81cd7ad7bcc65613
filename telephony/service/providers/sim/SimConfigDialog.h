// The simulated line's configuration dialog: the modem settings its
// configuration block carries (speaker volume and mode, the modem icon, pulse
// dialling). A block that is not a modem's is shown as such and left alone.
// Kept out of the exchange's library so that the service and the tests link
// without QtWidgets; the GUI registers it at start-up.
#pragma once

#include <QByteArray>
#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;

namespace tapi::sim {

class SimConfigDialog : public QDialog
{
    Q_OBJECT
public:
    explicit SimConfigDialog(const QByteArray& block, QWidget* parent = nullptr);

    // The block with what the dialog shows now; a block that is not a
    // modem's comes back unchanged.
    QByteArray Block() const;

private:
    QByteArray m_block;
    bool m_modem = false;
    QComboBox* m_volume = nullptr;
    QComboBox* m_speaker = nullptr;
    QCheckBox* m_icon = nullptr;
    QCheckBox* m_pulse = nullptr;
};

// Makes lineConfigDialog on a simulated line show SimConfigDialog (modal, over
// the owner widget given to lineConfigDialog, if any) and store what the
// operator accepts. A dialog result set with SimExchange::SetConfigDialog
// other than 0 still wins: the line refuses before the dialog shows.
void RegisterSimConfigDialog();

} // namespace tapi::sim
