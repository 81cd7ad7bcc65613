// JPEG streams as a damaged file or a hostile sender may make them: decoding
// never ends the program and never reads outside its input; it refuses with
// a message, or gives an image within the pixel limit that the picture
// window's graphic takes.
//
// Input: the JPEG stream.
#include "FuzzSupport.h"

#include "imaging/JpegDecoder.h"
#include "imaging/QvGraphic.h"

#include <QByteArray>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using qv::fuzz::Check;
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const qv::JpegDecodeResult result = qv::DecodeJpeg(bytes);
    if (!result.Ok()) {
        Check(result.image.isNull(), "a refused stream gives no image");
        return 0;
    }
    Check(!result.image.isNull() && result.image.format() == QImage::Format_RGB888, "a decoded image is RGB");
    Check(qint64(result.image.width()) * result.image.height() <= qv::kMaxJpegPixels,
          "it is within the limit");
    if (qint64(result.image.width()) * result.image.height() <= 1024 * 1024) {
        qv::TQvGraphic graphic;
        graphic.Assign(result.image);
        Check(graphic.LastError() == 0 && graphic.GetWidth() == result.image.width(),
              "the graphic takes a decoded image");
    }
    return 0;
}
