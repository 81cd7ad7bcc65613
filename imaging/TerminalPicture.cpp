#include "imaging/TerminalPicture.h"

#include <QFile>

// Resources of a static library are registered by hand, once, from code that
// the program links.
static void InitPictureResources()
{
    static const bool done = [] {
        Q_INIT_RESOURCE(pictures);
        return true;
    }();
    (void)done;
}

namespace qv {

QByteArray TerminalPictureJpeg()
{
    InitPictureResources();
    QFile file(QStringLiteral(":/vh/terminal-picture.jpg"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

JpegDecodeResult LoadTerminalPicture()
{
    const QByteArray data = TerminalPictureJpeg();
    if (data.isEmpty()) {
        JpegDecodeResult result;
        result.error = QStringLiteral("The picture is missing from the program's resources.");
        return result;
    }
    return DecodeJpeg(data);
}

} // namespace qv
