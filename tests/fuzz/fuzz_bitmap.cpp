// Bitmaps from outside: a packed bitmap loaded from memory, and the image
// forms another program may offer on the clipboard. Loading never raises;
// it leaves an empty image with a code, or an image whose header, stride and
// pixel block agree, which can be read, copied, shown and put back on the
// clipboard.
//
// Input: one byte choosing the form (a packed bitmap, or clipboard data as
// BMP, PNG, GIF or JPEG), then the bytes.
#include "FuzzSupport.h"

#include "imaging/ClipboardGraphic.h"
#include "imaging/QvGraphic.h"

#include <QGuiApplication>
#include <QImageReader>
#include <QMimeData>

namespace {

using namespace qv;
using qv::fuzz::Check;
using qv::fuzz::FuzzInput;

void EnsureGuiApplication()
{
    if (QCoreApplication::instance())
        return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    new QGuiApplication(argc, argv);
    // Images that decode to more than 2 MiB are Qt's to refuse, not ours to
    // build: a larger one runs through the same code pixel by pixel, only
    // slower (with 8 MiB the target ran six times slower, with 64 MiB thirty).
    QImageReader::setAllocationLimit(2);
}

void CheckLoaded(const TQvGraphic& graphic)
{
    const int code = graphic.LastError();
    if (graphic.GetEmpty()) {
        Check(code != 0, "an image that did not load says why");
        Check(graphic.GetWidth() == 0 && graphic.Bits() == nullptr, "a failed load leaves nothing behind");
        return;
    }
    Check(code == 0, "a loaded image has no error");
    const TBitmapInfoHeader& h = graphic.Header();
    Check(h.biWidth > 0 && h.biHeight > 0 && h.biPlanes == 1, "a loaded image has a sane header");
    Check(graphic.Stride() == DibStride(h.biWidth, h.biBitCount), "its stride follows its width");
    Check(qint64(graphic.Stride()) * h.biHeight == graphic.ImageSize() &&
              h.biSizeImage == graphic.ImageSize(),
          "its pixel block is exactly its rows");
    const quint32 limit = graphic.Format() == gfTrueColor ? 0x1000000u : (1u << h.biBitCount);
    for (int y = 0; y < h.biHeight; y += 1 + h.biHeight / 8)
        for (int x = 0; x < h.biWidth; x += 1 + h.biWidth / 8)
            Check(graphic.GetPixel(x, y) < limit, "a pixel value fits its format");

    TQvGraphic copy;
    copy.Assign(&graphic);
    Check(copy.LastError() == 0 && copy.ImageSize() == graphic.ImageSize(), "a loaded image copies whole");
    // Shown and put on the clipboard only while that stays cheap.
    if (graphic.ImageSize() <= 1024 * 1024) {
        const QImage shown = graphic.ToImage();
        Check(shown.width() == h.biWidth && shown.height() == h.biHeight, "it is shown at its size");
        TClipboardFormat format = 0;
        QImage data;
        const TLogPalette* palette = nullptr;
        graphic.SaveToClipboardFormat(format, data, palette);
        Check(format == CF_BITMAP && !data.isNull(), "it goes onto the clipboard as a bitmap");
        TQvGraphic pasted;
        pasted.LoadFromClipboardFormat(CF_BITMAP, &data, nullptr);
        Check(pasted.LastError() == 0 && pasted.GetWidth() == h.biWidth && pasted.GetHeight() == h.biHeight,
              "what it put on the clipboard pastes back at its size");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    EnsureGuiApplication();
    FuzzInput input(data, size);
    const std::uint8_t form = input.Byte();
    const std::uint8_t* rest = nullptr;
    const std::size_t n = input.Rest(rest);
    const QByteArray bytes(reinterpret_cast<const char*>(rest), qsizetype(n));

    TQvGraphic graphic;
    switch (form % 5) {
    case 0:
        graphic.LoadFromDib(bytes.constData(), bytes.size());
        break;
    default: {
        static const char* const kTypes[] = {"image/bmp", "image/png", "image/gif", "image/jpeg"};
        QMimeData mime;
        mime.setData(QString::fromLatin1(kTypes[form % 5 - 1]), bytes);
        const QImage image = BitmapFromMimeData(&mime);
        graphic.LoadFromClipboardFormat(CF_BITMAP, image.isNull() ? nullptr : &image, nullptr);
        if (image.isNull())
            Check(graphic.LastError() == 411 && graphic.GetEmpty(), "no bitmap on the clipboard gives 411");
        break;
    }
    }
    CheckLoaded(graphic);
    return 0;
}
