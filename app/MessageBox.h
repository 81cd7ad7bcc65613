// The one way the program shows a modal message box. The program shows a
// QMessageBox; tests replace the handler to capture the texts without a
// modal loop.
#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace vh {

using MessageBoxHandler = std::function<void(QWidget* parent, const QString& text)>;

// Replaces the handler; an empty handler restores the QMessageBox.
void SetMessageBoxHandler(MessageBoxHandler handler);

// Shows `text` modally over `parent` (or the active window) with an OK
// button, titled with the application's display name.
void ShowMessageBox(QWidget* parent, const QString& text);

// Routes the components' information boxes (qv::ShowMessage) through
// ShowMessageBox.
void InstallComponentMessageHandler();

} // namespace vh
