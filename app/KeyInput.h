// What typed keys mean to the terminal area and to the digit-only fields.
#pragma once

#include <QByteArray>
#include <QString>

namespace vh {

// The bytes a key typed into the terminal area sends: its character in
// UTF-8, with Enter as CR LF. Empty for keys that type no character (arrows,
// function keys) and for Delete, which edits locally only.
QByteArray TerminalKeyBytes(int key, const QString& text);

// Whether a key typed into a digit-only field is dropped: every character
// but "0" to "9" and backspace. Keys that type nothing (arrows, Delete,
// shortcuts such as copy and paste) are left to the field.
bool IsDroppedByDigitField(const QString& text);

} // namespace vh
