// The colours of the window's status line, as colour numbers (red in the low
// byte, green in the middle, blue in the high byte). They stand apart from
// the window's other colours because the table of what each event writes
// names them.
#pragma once

namespace vh::color {

constexpr int StatusNormal = 14002344;
constexpr int StatusError = 255;
constexpr int StatusSuccess = 65280;

} // namespace vh::color
