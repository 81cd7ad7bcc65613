// The line types' configuration dialogs, which only the window shows.
#pragma once

namespace vh {

// Gives the line types their configuration dialogs (the settings panel's
// "default settings" button shows them).
void RegisterLineConfigDialogs();

} // namespace vh
