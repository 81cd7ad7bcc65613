#include "app/FormDlgLineSelection.h"

#include "app/FormBuilder.h"
#include "app/MessageBox.h"

#include "frontend/Reactions.h"

#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

namespace vh {

TFormDlgLineSelection::TFormDlgLineSelection(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("FormDlgLineSelection"));
    setWindowTitle(QStringLiteral("Line Device Selection"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(411, 331);
    setFont(FormFont(QStringLiteral("Arial"), 8));

    m_label2 = Place<FormLabel>(this, "Label2", 15, 12, 96, 14, QStringLiteral("Select a line device:"));
    m_comboBoxLines = Place<QComboBox>(this, "ComboBoxLines", 13, 28, 386, 22);
    m_label1 =
        Place<FormLabel>(this, "Label1", 14, 57, 122, 14, QStringLiteral("Line device's capabilities:"));
    m_memo1 = Place<QPlainTextEdit>(this, "Memo1", 13, 73, 386, 221);
    m_memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_buttonOk = Place<QPushButton>(this, "ButtonOk", 250, 300, 75, 25, QStringLiteral("OK"));
    m_buttonOk->setDefault(true);
    m_buttonCancel = Place<QPushButton>(this, "ButtonCancel", 325, 300, 75, 25, QStringLiteral("Cancel"));
    m_buttonCancel->setAutoDefault(false);

    // Only the operator's choice refreshes the listing; Fill lists the
    // initial selection itself.
    connect(m_comboBoxLines, &QComboBox::activated, this, [this] { ComboBoxLinesChange(); });
    connect(m_buttonOk, &QPushButton::clicked, this, [this] { ButtonOkClick(); });
    connect(m_buttonCancel, &QPushButton::clicked, this, [this] { reject(); });
}

void TFormDlgLineSelection::Fill()
{
    m_comboBoxLines->clear();
    if (!m_phone)
        return;
    const int count = m_phone->NumberOfLines();
    for (int lineId = 0; lineId < count; ++lineId) {
        QString name;
        if (m_phone->GetLineName(lineId, name) != 0)
            name.clear();
        m_comboBoxLines->addItem(name);
    }
    m_comboBoxLines->setCurrentIndex(m_phone->LineID());
    ComboBoxLinesChange();
}

QStringList TFormDlgLineSelection::Listing() const
{
    const QString text = m_memo1->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

void TFormDlgLineSelection::ComboBoxLinesChange()
{
    m_memo1->clear();
    if (!m_phone || m_comboBoxLines->currentIndex() < 0)
        return;
    int caps = 0;
    const int code = m_phone->GetLineCaps(m_comboBoxLines->currentIndex(), caps);
    if (code != 0) {
        m_memo1->appendPlainText(QStringLiteral("Error: ") +
                                 WithLineFailure(m_phone->GetErrorMessage(code),
                                                 m_phone->LineFailureText(m_comboBoxLines->currentIndex())));
        return;
    }
    m_memo1->appendPlainText(LineCapsListing(caps).join(QLatin1Char('\n')));
}

void TFormDlgLineSelection::ButtonOkClick()
{
    if (!m_phone || m_comboBoxLines->currentIndex() < 0) {
        reject();
        return;
    }
    const int code = m_phone->LineActive(m_comboBoxLines->currentIndex(), true);
    if (code != 0) {
        // The dialog stays open so that another line can be tried.
        ShowMessageBox(this, QStringLiteral("Error: ") +
                                 WithLineFailure(m_phone->GetErrorMessage(code),
                                                 m_phone->LineFailureText(m_comboBoxLines->currentIndex())));
        return;
    }
    accept();
}

} // namespace vh
