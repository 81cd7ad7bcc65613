// Colours as the forms state them: a colour number holds red in the low
// byte, green in the middle and blue in the high byte.
#pragma once

#include "frontend/StatusColors.h"

#include <QColor>

namespace vh {

constexpr QColor ColorFromNumber(int number)
{
    return QColor(number & 0xFF, (number >> 8) & 0xFF, (number >> 16) & 0xFF);
}

namespace color {
// Terminal area.
constexpr int TerminalAsDesigned = 15138790;
constexpr int TerminalOpen = 16777215;
constexpr int TerminalClosed = 12632256;
// Telephone number field.
constexpr int TelephoneNumber = 16444900;

// Named colours of the forms.
constexpr QColor Purple(128, 0, 128);
constexpr QColor Maroon(128, 0, 0);
constexpr QColor Navy(0, 0, 128);
constexpr QColor Green(0, 128, 0);
constexpr QColor Blue(0, 0, 255);
constexpr QColor Yellow(255, 255, 0);
// The system colours the forms name, as the classic desktop scheme the
// layout was drawn with shows them.
constexpr QColor InactiveCaptionText(216, 228, 248);
constexpr QColor MenuHighlight(49, 106, 197);
constexpr QColor InfoBk(255, 255, 225);
} // namespace color

} // namespace vh
