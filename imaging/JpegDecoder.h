// JPEG decoding and encoding over libjpeg.
//
// Decoding never ends the program and never reads outside its input: a
// truncated or corrupt stream, an unsupported one or one whose image would
// exceed the pixel limit gives a null image and a message that says why.
// Stateless; callable from any thread.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

namespace qv {

// The largest image decoded: 64 megapixels (192 MB of RGB888).
constexpr qint64 kMaxJpegPixels = qint64(64) * 1024 * 1024;

struct JpegDecodeResult
{
    QImage image;  // Format_RGB888, null on failure
    QString error; // empty on success
    bool Ok() const { return error.isEmpty(); }
};

// Decodes a whole JPEG stream held in memory. Greyscale images are widened to
// RGB; CMYK ones are converted. A stream that ends early or whose entropy data
// is damaged is refused rather than shown half grey.
JpegDecodeResult DecodeJpeg(const QByteArray& data);

// Reads `path` and decodes it; an unreadable file is reported with its name.
JpegDecodeResult DecodeJpegFile(const QString& path);

// Encodes `image` as a baseline JPEG of `quality` (1..100, clamped). Returns
// the file bytes, or an empty array with `error` (if given) set.
QByteArray EncodeJpeg(const QImage& image, int quality, QString* error = nullptr);

} // namespace qv
