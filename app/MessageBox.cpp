#include "app/MessageBox.h"

#include "common/Component.h"

#include <QApplication>
#include <QMessageBox>

namespace vh {

namespace {

MessageBoxHandler& Handler()
{
    static MessageBoxHandler handler;
    return handler;
}

void ShowQMessageBox(QWidget* parent, const QString& text)
{
    if (!parent)
        parent = QApplication::activeWindow();
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text, QMessageBox::Ok,
                    parent);
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

void InstallComponentMessageHandler()
{
    qv::SetShowMessageHandler([](const QString& text) { ShowMessageBox(nullptr, text); });
}

} // namespace vh
