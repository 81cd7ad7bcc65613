#include "app/MessageBox.h"

#include "common/Component.h"

#include <QApplication>
#include <QMessageBox>

namespace vh {

namespace {

const QString kTitle = QStringLiteral("VH TERMINAL");

MessageBoxHandler& Handler()
{
    static MessageBoxHandler handler;
    return handler;
}

QuestionHandler& Questions()
{
    static QuestionHandler handler;
    return handler;
}

void ShowQMessageBox(QWidget* parent, const QString& text)
{
    if (!parent)
        parent = QApplication::activeWindow();
    QMessageBox box(QMessageBox::NoIcon, kTitle, text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace

void SetMessageBoxHandler(MessageBoxHandler handler)
{
    Handler() = std::move(handler);
}

void ShowMessageBox(QWidget* parent, const QString& text)
{
    if (Handler())
        Handler()(parent, text);
    else
        ShowQMessageBox(parent, text);
}

void SetQuestionHandler(QuestionHandler handler)
{
    Questions() = std::move(handler);
}

bool AskQuestion(QWidget* parent, const QString& text)
{
    if (Questions())
        return Questions()(parent, text);
    if (!parent)
        parent = QApplication::activeWindow();
    QMessageBox box(QMessageBox::Question, kTitle, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void InstallComponentMessageHandler()
{
    qv::SetShowMessageHandler([](const QString& text) { ShowMessageBox(nullptr, text); });
}

} // namespace vh
