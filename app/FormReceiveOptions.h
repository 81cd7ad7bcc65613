// The receive options dialog: the folder received files are written to and
// what happens when a received file's name exists there already.
//
// The caller fills the folder and the existing-file choice, runs the dialog
// modally and, unless it ends with Cancel, reads both back. The dialog
// stores the folder in "saved.ctx" on OK; when that file exists at show
// time, its folder wins over the one the caller filled in. It never takes
// the settings folder or a folder inside it, nor is a folder that cannot be
// written chosen (see ReceiveFolderRefusal): such a folder is refused with
// a message.
#pragma once

#include "frontend/Settings.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <optional>

class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QLabel;

namespace vh {

// The folder browser: the chosen folder, or nullopt when cancelled.
using FolderChooser = std::function<std::optional<QString>(QWidget* parent, const QString& prompt)>;
// The program's folder browser (a modal directory dialog starting at home).
std::optional<QString> ChooseFolderWithDialog(QWidget* parent, const QString& prompt);

class TFormReceiveOptions : public QDialog
{
    Q_OBJECT
public:
    // `settings` must outlive the dialog; an empty chooser uses the dialog.
    TFormReceiveOptions(const SettingsStore& settings, FolderChooser chooser, QWidget* parent = nullptr);

    void SetReceiveDirectory(const QString& folder);
    QString ReceiveDirectory() const;
    // 0 efCreateWithNewName, 1 efOverwrite, 2 efOverwriteIfNewer, 3 efSkip,
    // 4 efResumeTransfer.
    void SetFileExistsIndex(int index);
    int FileExistsIndex() const;

    // The folder the browser's choice becomes: "/" appended unless present.
    static QString FolderWithSeparator(const QString& folder);

    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormShow();
    void Button1Click();
    void ButtonOKClick();

    const SettingsStore& m_settings;
    FolderChooser m_chooseFolder;
    QString m_shownFolder; // the folder when the dialog was last shown, for Cancel

    QLabel* m_label1;
    QLineEdit* m_editReceiveDirectory;
    QPushButton* m_button1;
    QLabel* m_label2;
    QComboBox* m_comboBoxFileExists;
    QPushButton* m_buttonOK;
    QPushButton* m_buttonCancel;
    QPlainTextEdit* m_memo1;
};

} // namespace vh
