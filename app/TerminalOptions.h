// The operator's choices for the terminal area (local echo, what Enter
// sends, the far side's code page), their settings files, and how they meet
// what the line reports of its far side.
#pragma once

#include "app/terminal/TerminalCodec.h"

#include "frontend/Settings.h"

#include "telephony/PhoneTypes.h"

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

enum class EnterSends
{
    AsLineAsks, // CR LF, or CR where the line says its far side wants it
    CrLf,
    Cr
};

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

// What Enter sends under the operator's choice and the line's report.
QByteArray EnterBytes(EnterSends enter, const qv::TLineTraits& traits);
// Whether typed text is shown locally: not when the far side echoes it, and
// not when the operator switched it off.
bool ShowsTypedText(bool localEcho, const qv::TLineTraits& traits);

} // namespace vh
