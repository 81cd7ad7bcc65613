#include "frontend/TypedText.h"

namespace vh {

QByteArray EnterBytes(EnterSends enter, const qv::TLineTraits& traits)
{
    switch (enter) {
    case EnterSends::CrLf:
        return QByteArrayLiteral("\r\n");
    case EnterSends::Cr:
        return QByteArrayLiteral("\r");
    case EnterSends::AsLineAsks:
        break;
    }
    // A line that reports nothing usable keeps the program's CR LF.
    return traits.Newline.isEmpty() ? QByteArrayLiteral("\r\n") : traits.Newline;
}

bool ShowsTypedText(bool localEcho, const qv::TLineTraits& traits)
{
    return localEcho && !traits.RemoteEcho;
}

} // namespace vh
