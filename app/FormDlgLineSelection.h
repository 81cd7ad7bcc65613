// The line device selection dialog: lists the line devices by name, shows
// the capabilities of the selected one and, on OK, makes it the active line.
#pragma once

#include "app/LineDevices.h"

#include <QDialog>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace vh {

class TFormDlgLineSelection : public QDialog
{
    Q_OBJECT
public:
    explicit TFormDlgLineSelection(QWidget* parent = nullptr);

    // The line devices worked on; not owned, must outlive the dialog's use.
    void SetPhone(LineDevices* phone) { m_phone = phone; }
    // Lists the lines, selects the active one and lists its capabilities.
    void Fill();

    // The lines of the capability listing now shown.
    QStringList Listing() const;

private:
    void ComboBoxLinesChange();
    void ButtonOkClick();

    LineDevices* m_phone = nullptr;
    QLabel* m_label2;
    QComboBox* m_comboBoxLines;
    QLabel* m_label1;
    QPlainTextEdit* m_memo1;
    QPushButton* m_buttonOk;
    QPushButton* m_buttonCancel;
};

} // namespace vh
