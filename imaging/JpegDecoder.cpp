#include "imaging/JpegDecoder.h"

#include <QFile>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

// libjpeg reports fatal errors through error_exit, which by default ends the
// process. Ours longjmps back to the function that called setjmp. Those
// functions hold no C++ objects, so no destructor is skipped by the jump.

namespace qv {

namespace {

struct ErrorManager
{
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    // The first warning that means the image data is damaged, 0 if none.
    int damageWarning;
};

void OnErrorExit(j_common_ptr cinfo)
{
    auto* manager = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, manager->message);
    std::longjmp(manager->jump, 1);
}

void OnEmitMessage(j_common_ptr cinfo, int level)
{
    if (level >= 0)
        return; // trace output
    auto* manager = reinterpret_cast<ErrorManager*>(cinfo->err);
    cinfo->err->num_warnings++;
    // Stray bytes between markers are common in files from some cameras and
    // do not damage the image; every other warning means lost or garbled data.
    if (cinfo->err->msg_code == JWRN_EXTRANEOUS_DATA || manager->damageWarning != 0)
        return;
    manager->damageWarning = cinfo->err->msg_code;
    (*cinfo->err->format_message)(cinfo, manager->message);
}

void InitErrorManager(ErrorManager& manager)
{
    jpeg_std_error(&manager.pub);
    manager.pub.error_exit = OnErrorExit;
    manager.pub.emit_message = OnEmitMessage;
    manager.message[0] = '\0';
    manager.damageWarning = 0;
}

enum class HeaderResult
{
    Ok,
    Failed,
    TooLarge
};

// Creates the decompressor, reads the header and starts decompression.
HeaderResult StartDecompress(jpeg_decompress_struct* cinfo, ErrorManager* manager, const unsigned char* data,
                             unsigned long size)
{
    if (setjmp(manager->jump))
        return HeaderResult::Failed;
    jpeg_create_decompress(cinfo);
    jpeg_mem_src(cinfo, data, size);
    jpeg_read_header(cinfo, TRUE);
    if (qint64(cinfo->image_width) * qint64(cinfo->image_height) > kMaxJpegPixels)
        return HeaderResult::TooLarge;
    switch (cinfo->jpeg_color_space) {
    case JCS_GRAYSCALE:
        cinfo->out_color_space = JCS_GRAYSCALE;
        break;
    case JCS_CMYK:
    case JCS_YCCK:
        cinfo->out_color_space = JCS_CMYK;
        break;
    default:
        cinfo->out_color_space = JCS_RGB;
        break;
    }
    jpeg_start_decompress(cinfo);
    return HeaderResult::Ok;
}

// Reads every row into `image` (RGB888 rows of `bytesPerLine`), converting
// through `scratch` when the decoder's output is not RGB. Reading stops at the
// first sign of damage: such an image is refused whatever its other rows hold,
// and a stream cut short in a large image would otherwise be decoded, grey
// row after grey row, to its end.
bool ReadRows(jpeg_decompress_struct* cinfo, ErrorManager* manager, unsigned char* image,
              qsizetype bytesPerLine, unsigned char* scratch)
{
    if (setjmp(manager->jump))
        return false;
    const int components = cinfo->output_components;
    const JDIMENSION width = cinfo->output_width;
    while (cinfo->output_scanline < cinfo->output_height) {
        if (manager->damageWarning != 0)
            return true;
        unsigned char* out = image + qsizetype(cinfo->output_scanline) * bytesPerLine;
        JSAMPROW row = components == 3 ? out : scratch;
        if (jpeg_read_scanlines(cinfo, &row, 1) != 1)
            return false;
        if (components == 1) {
            for (JDIMENSION x = 0; x < width; ++x)
                out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = scratch[x];
        } else if (components == 4) {
            // Files that carry an Adobe marker store CMYK inverted.
            const bool inverted = cinfo->saw_Adobe_marker;
            for (JDIMENSION x = 0; x < width; ++x) {
                int c = scratch[4 * x], m = scratch[4 * x + 1], y = scratch[4 * x + 2],
                    k = scratch[4 * x + 3];
                if (!inverted) {
                    c = 255 - c;
                    m = 255 - m;
                    y = 255 - y;
                    k = 255 - k;
                }
                out[3 * x] = static_cast<unsigned char>(c * k / 255);
                out[3 * x + 1] = static_cast<unsigned char>(m * k / 255);
                out[3 * x + 2] = static_cast<unsigned char>(y * k / 255);
            }
        }
    }
    jpeg_finish_decompress(cinfo);
    return true;
}

QString LibraryMessage(const ErrorManager& manager)
{
    return QString::fromLocal8Bit(manager.message);
}

bool CompressRows(jpeg_compress_struct* cinfo, ErrorManager* manager, unsigned char** buffer,
                  unsigned long* size, const QImage* image, int quality)
{
    if (setjmp(manager->jump))
        return false;
    jpeg_create_compress(cinfo);
    jpeg_mem_dest(cinfo, buffer, size);
    cinfo->image_width = static_cast<JDIMENSION>(image->width());
    cinfo->image_height = static_cast<JDIMENSION>(image->height());
    cinfo->input_components = 3;
    cinfo->in_color_space = JCS_RGB;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, quality, TRUE);
    cinfo->density_unit = 1; // dots per inch
    cinfo->X_density = static_cast<UINT16>(qBound(1, qRound(image->dotsPerMeterX() / 39.37), 65535));
    cinfo->Y_density = static_cast<UINT16>(qBound(1, qRound(image->dotsPerMeterY() / 39.37), 65535));
    jpeg_start_compress(cinfo, TRUE);
    while (cinfo->next_scanline < cinfo->image_height) {
        JSAMPROW row =
            const_cast<unsigned char*>(image->constScanLine(static_cast<int>(cinfo->next_scanline)));
        jpeg_write_scanlines(cinfo, &row, 1);
    }
    jpeg_finish_compress(cinfo);
    return true;
}

} // namespace

JpegDecodeResult DecodeJpeg(const QByteArray& data)
{
    JpegDecodeResult result;
    if (data.isEmpty()) {
        result.error = QStringLiteral("No JPEG data.");
        return result;
    }

    jpeg_decompress_struct cinfo{};
    ErrorManager manager{};
    InitErrorManager(manager);
    cinfo.err = &manager.pub;

    const HeaderResult header =
        StartDecompress(&cinfo, &manager, reinterpret_cast<const unsigned char*>(data.constData()),
                        static_cast<unsigned long>(data.size()));
    if (header == HeaderResult::TooLarge) {
        result.error = QStringLiteral("The JPEG image is too large (%1 x %2 pixels).")
                           .arg(cinfo.image_width)
                           .arg(cinfo.image_height);
        jpeg_destroy_decompress(&cinfo);
        return result;
    }
    if (header == HeaderResult::Failed) {
        result.error = QStringLiteral("Cannot decode the JPEG data: %1").arg(LibraryMessage(manager));
        jpeg_destroy_decompress(&cinfo);
        return result;
    }

    QImage image(static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height),
                 QImage::Format_RGB888);
    std::vector<unsigned char> scratch;
    bool ok = !image.isNull();
    if (ok) {
        scratch.resize(size_t(cinfo.output_width) * size_t(cinfo.output_components));
        ok = ReadRows(&cinfo, &manager, image.bits(), image.bytesPerLine(), scratch.data());
    }
    const int damage = manager.damageWarning;
    jpeg_destroy_decompress(&cinfo);

    if (image.isNull()) {
        result.error = QStringLiteral("Not enough memory for the JPEG image.");
    } else if (!ok) {
        result.error = QStringLiteral("Cannot decode the JPEG data: %1").arg(LibraryMessage(manager));
    } else if (damage != 0) {
        result.error =
            QStringLiteral("The JPEG data is truncated or corrupt: %1").arg(LibraryMessage(manager));
    } else {
        result.image = image;
    }
    return result;
}

JpegDecodeResult DecodeJpegFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        JpegDecodeResult result;
        result.error = QStringLiteral("Cannot open the JPEG file \"%1\": %2").arg(path, file.errorString());
        return result;
    }
    const QByteArray data = file.readAll();
    JpegDecodeResult result = DecodeJpeg(data);
    if (!result.Ok())
        result.error = QStringLiteral("%1 (%2)").arg(result.error, path);
    return result;
}

QByteArray EncodeJpeg(const QImage& image, int quality, QString* error)
{
    if (image.isNull()) {
        if (error)
            *error = QStringLiteral("No image to encode.");
        return {};
    }
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);

    jpeg_compress_struct cinfo{};
    ErrorManager manager{};
    InitErrorManager(manager);
    cinfo.err = &manager.pub;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;

    const bool ok = CompressRows(&cinfo, &manager, &buffer, &size, &rgb, qBound(1, quality, 100));
    jpeg_destroy_compress(&cinfo);
    QByteArray bytes;
    if (ok && buffer)
        bytes = QByteArray(reinterpret_cast<const char*>(buffer), static_cast<qsizetype>(size));
    std::free(buffer);
    if (!ok && error)
        *error = QStringLiteral("Cannot encode the JPEG image: %1").arg(LibraryMessage(manager));
    return bytes;
}

} // namespace qv
