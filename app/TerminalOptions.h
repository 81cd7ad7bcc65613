// The operator's choices for the terminal area (local echo, what Enter
// sends, the far side's code page) and their settings files. How the choices
// meet what the line reports of its far side is TypedText's.
#pragma once

#include "app/terminal/TerminalCodec.h"

#include "frontend/Settings.h"
#include "frontend/TypedText.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace vh {

namespace settings {
// "on" or "off".
inline const QString LocalEcho = QStringLiteral("echo.ctx");
// "line", "CRLF" or "CR".
inline const QString EnterKey = QStringLiteral("enter.ctx");
// A code page name ("UTF-8", "CP437", ...).
inline const QString CodePage = QStringLiteral("charset.ctx");
} // namespace settings

struct TerminalOptions
{
    bool localEcho = true;
    EnterSends enter = EnterSends::AsLineAsks;
    TerminalCodePage codePage = TerminalCodePage::Utf8;
};

// The stored choices; a missing file or one with an unknown value leaves
// the default. A file that cannot be read adds its message to `errors` and
// counts as missing.
TerminalOptions ReadTerminalOptions(const SettingsStore& store, QStringList& errors);
// The text each choice is stored as.
QString LocalEchoText(bool on);
QString EnterText(EnterSends enter);

} // namespace vh
