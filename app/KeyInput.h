// What typed keys mean to the terminal area and to the digit-only fields.
#pragma once

#include "app/terminal/TerminalScreen.h"

#include <QString>
#include <Qt>

namespace vh {

// What a key pressed in the terminal area asks for.
struct TerminalKeyAction
{
    enum Kind
    {
        None,       // nothing to send (a lone modifier, a dead key)
        Copy,       // Ctrl+Shift+C: the selection to the clipboard
        Paste,      // Ctrl+Shift+V, Shift+Insert: the clipboard to the line
        ScrollUp,   // Shift+PageUp: the view a page back in the scrollback
        ScrollDown, // Shift+PageDown
        Key,        // a key that is no text: `key` with `modifiers`
        Character,  // a character typed with Control or Alt: `ch`, `modifiers`
        Text        // plain typed text: `text`
    };
    Kind kind = None;
    TerminalKey key = TerminalKey::Enter;
    int modifiers = NoModifier;
    char32_t ch = 0;
    QString text;
};

// Sorts a key press (Qt key code, modifiers, the text it types) into one of
// the actions above. Control with a letter is its control character (Ctrl+C
// interrupts the far side's program; copying is Ctrl+Shift+C).
TerminalKeyAction ClassifyTerminalKey(int key, Qt::KeyboardModifiers modifiers, const QString& text);

// Whether a key typed into a digit-only field is dropped: every character
// but "0" to "9" and backspace. Keys that type nothing (arrows, Delete,
// shortcuts such as copy and paste) are left to the field.
bool IsDroppedByDigitField(const QString& text);

} // namespace vh
