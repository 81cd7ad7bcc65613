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
// button, titled "VH TERMINAL".
void ShowMessageBox(QWidget* parent, const QString& text);

using QuestionHandler = std::function<bool(QWidget* parent, const QString& text)>;

// Replaces the handler of questions; an empty handler restores the
// QMessageBox.
void SetQuestionHandler(QuestionHandler handler);

// Asks `text` modally over `parent` with Yes and No; true for Yes.
bool AskQuestion(QWidget* parent, const QString& text);

// Routes the components' information boxes (qv::ShowMessage) through
// ShowMessageBox.
void InstallComponentMessageHandler();

} // namespace vh
