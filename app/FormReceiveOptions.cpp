#include "app/FormReceiveOptions.h"

#include "app/FormBuilder.h"
#include "app/MessageBox.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>

namespace vh {

namespace {
const QString kTahoma = QStringLiteral("Tahoma");
} // namespace

std::optional<QString> ChooseFolderWithDialog(QWidget* parent, const QString& prompt)
{
    const QString folder =
        QFileDialog::getExistingDirectory(parent, prompt, QDir::homePath(), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return std::nullopt;
    return folder;
}

TFormReceiveOptions::TFormReceiveOptions(const SettingsStore& settings, FolderChooser chooser,
                                         QWidget* parent)
    : QDialog(parent), m_settings(settings), m_chooseFolder(std::move(chooser))
{
    if (!m_chooseFolder)
        m_chooseFolder = ChooseFolderWithDialog;
    setObjectName(QStringLiteral("FormReceiveOptions"));
    setWindowTitle(QStringLiteral("Receive Options"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(444, 152);
    setFont(FormFont(QStringLiteral("MS Sans Serif"), 8));

    m_label1 = Place<FormLabel>(this, "Label1", 273, 10, 161, 13,
                                QStringLiteral(u"تنظيم مسير ذخيره فايلهاي دريافتي"));
    m_label1->setFont(FormFont(kTahoma, 8));
    m_editReceiveDirectory = Place<QLineEdit>(this, "EditReceiveDirectory", 103, 29, 333, 21);
    m_editReceiveDirectory->setReadOnly(true);
    m_button1 = Place<QPushButton>(this, "Button1", 16, 28, 70, 21, QStringLiteral(u"تنظيم مسير"));
    m_button1->setFont(FormFont(kTahoma, 8));
    m_button1->setAutoDefault(false);
    m_label2 = Place<FormLabel>(this, "Label2", 256, 72, 178, 13,
                                QStringLiteral(u"در صورت وجود فايلي با نام فايل دريافتي"));
    m_label2->setFont(FormFont(kTahoma, 8));
    m_comboBoxFileExists = Place<QComboBox>(this, "ComboBoxFileExists", 103, 69, 147, 21);
    m_comboBoxFileExists->addItems({QStringLiteral("Create With New Name"), QStringLiteral("Overwrite"),
                                    QStringLiteral("Overwrite If Newer"), QStringLiteral("Skip"),
                                    QStringLiteral("Resume")});
    m_buttonOK = Place<QPushButton>(this, "ButtonOK", 153, 116, 73, 24, QStringLiteral("OK"));
    m_buttonOK->setDefault(true);
    m_buttonCancel = Place<QPushButton>(this, "ButtonCancel", 227, 116, 73, 24, QStringLiteral("Cancel"));
    m_buttonCancel->setAutoDefault(false);
    // Outside the client area and never seen, as on the form.
    m_memo1 = Place<QPlainTextEdit>(this, "Memo1", 513, 104, 185, 89);
    m_memo1->hide();

    connect(m_button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(m_buttonOK, &QPushButton::clicked, this, [this] { ButtonOKClick(); });
    connect(m_buttonCancel, &QPushButton::clicked, this, [this] { reject(); });
}

void TFormReceiveOptions::SetReceiveDirectory(const QString& folder)
{
    m_editReceiveDirectory->setText(folder);
}

QString TFormReceiveOptions::ReceiveDirectory() const
{
    return m_editReceiveDirectory->text();
}

void TFormReceiveOptions::SetFileExistsIndex(int index)
{
    m_comboBoxFileExists->setCurrentIndex(index);
}

int TFormReceiveOptions::FileExistsIndex() const
{
    return m_comboBoxFileExists->currentIndex();
}

QString TFormReceiveOptions::FolderWithSeparator(const QString& folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

void TFormReceiveOptions::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TFormReceiveOptions::FormShow()
{
    if (m_settings.Exists(settings::ReceiveFolder)) {
        QString error;
        // An empty file stands for the default folder, which the caller
        // filled in.
        if (const auto stored = m_settings.Read(settings::ReceiveFolder, error)) {
            if (!stored->isEmpty())
                m_editReceiveDirectory->setText(*stored);
        } else {
            ShowMessageBox(this, error);
        }
    }
    m_shownFolder = m_editReceiveDirectory->text();
}

void TFormReceiveOptions::Button1Click()
{
    const auto folder = m_chooseFolder(this, QStringLiteral(u": لطفا مسير مورد نظر را انتخاب کنيد"));
    if (!folder || folder->isEmpty())
        return;
    const QString chosen = FolderWithSeparator(*folder);
    if (const QString refusal = ReceiveFolderRefusal(chosen, m_settings.Folder()); !refusal.isEmpty()) {
        ShowMessageBox(this, refusal);
        return;
    }
    m_editReceiveDirectory->setText(chosen);
}

void TFormReceiveOptions::ButtonOKClick()
{
    // A folder shown from an older "saved.ctx" may be the settings folder,
    // which received files never go to. (One that is missing or read-only
    // now is reported when a receive starts.)
    const QString folder = m_editReceiveDirectory->text();
    if (const QString refusal =
            folder.isEmpty() ? QString() : SettingsFolderRefusal(folder, m_settings.Folder());
        !refusal.isEmpty()) {
        ShowMessageBox(this, refusal);
        return;
    }
    QString error;
    if (!m_settings.Write(settings::ReceiveFolder, m_editReceiveDirectory->text(), error)) {
        // The dialog stays open so that the operator can choose another
        // folder or cancel.
        ShowMessageBox(this, error);
        return;
    }
    accept();
}

void TFormReceiveOptions::reject()
{
    // Escape, the close box and Cancel all end with Cancel.
    m_editReceiveDirectory->setText(m_shownFolder);
    QDialog::reject();
}

} // namespace vh
