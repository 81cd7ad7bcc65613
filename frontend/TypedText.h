// What a typed key becomes on the line: Enter as the operator or the line's
// far side wants it, and whether the typed text is shown locally.
#pragma once

#include "telephony/PhoneTypes.h"

#include <QByteArray>

namespace vh {

enum class EnterSends
{
    AsLineAsks, // CR LF, or CR where the line says its far side wants it
    CrLf,
    Cr
};

// What Enter sends under the operator's choice and the line's report.
QByteArray EnterBytes(EnterSends enter, const qv::TLineTraits& traits);
// Whether typed text is shown locally: not when the far side echoes it, and
// not when the operator switched it off.
bool ShowsTypedText(bool localEcho, const qv::TLineTraits& traits);

} // namespace vh
