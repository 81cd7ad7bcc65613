#include "imaging/JpegDecoder.h"
#include "imaging/QvGraphic.h"
#include "imaging/TerminalPicture.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

using namespace qv;

// A picture with smooth gradients and a few hard edges, so that a decoded
// copy can be compared to it within JPEG's loss.
QImage TestPicture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x * 255 / width, y * 255 / height, (x < width / 2) ? 40 : 220));
    return image;
}

// Mean absolute difference per channel: JPEG rings at hard edges, so single
// pixels may differ a lot while the picture as a whole stays close.
double MeanChannelDifference(const QImage& a, const QImage& b)
{
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            sum +=
                std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q));
        }
    }
    return sum / (3.0 * a.width() * a.height());
}

// A greyscale JPEG written directly with the library: the encoder under test
// only writes colour.
QByteArray GreyJpeg(int width, int height)
{
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = 1;
    cinfo.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 95, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<unsigned char> row(size_t(width), 0);
    while (cinfo.next_scanline < cinfo.image_height) {
        for (int x = 0; x < width; ++x)
            row[size_t(x)] = static_cast<unsigned char>((x * 4 + int(cinfo.next_scanline)) & 0xFF);
        JSAMPROW rows = row.data();
        jpeg_write_scanlines(&cinfo, &rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    QByteArray out(reinterpret_cast<const char*>(buffer), qsizetype(size));
    std::free(buffer);
    return out;
}

// Offset of the first start-of-frame marker's length field.
qsizetype FrameHeader(const QByteArray& jpeg)
{
    const qsizetype at = jpeg.indexOf(QByteArray::fromHex("FFC0"));
    return at < 0 ? -1 : at + 2;
}

TEST(Jpeg, EncodedPictureDecodesToTheSameSizeAndColours)
{
    const QImage original = TestPicture(64, 48);
    QString error;
    const QByteArray jpeg = EncodeJpeg(original, 95, &error);
    ASSERT_FALSE(jpeg.isEmpty()) << qPrintable(error);
    EXPECT_TRUE(jpeg.startsWith("\xFF\xD8"));

    const JpegDecodeResult decoded = DecodeJpeg(jpeg);
    ASSERT_TRUE(decoded.Ok()) << qPrintable(decoded.error);
    EXPECT_EQ(decoded.image.size(), QSize(64, 48));
    EXPECT_EQ(decoded.image.format(), QImage::Format_RGB888);
    EXPECT_LE(MeanChannelDifference(original, decoded.image), 4.0);

    // An odd size exercises partial blocks and row padding.
    const QImage odd = TestPicture(37, 5);
    const JpegDecodeResult oddDecoded = DecodeJpeg(EncodeJpeg(odd, 95));
    ASSERT_TRUE(oddDecoded.Ok()) << qPrintable(oddDecoded.error);
    EXPECT_EQ(oddDecoded.image.size(), QSize(37, 5));
    EXPECT_LE(MeanChannelDifference(odd, oddDecoded.image), 10.0);
}

TEST(Jpeg, GreyscaleIsWidenedToRgb)
{
    const JpegDecodeResult decoded = DecodeJpeg(GreyJpeg(40, 16));
    ASSERT_TRUE(decoded.Ok()) << qPrintable(decoded.error);
    EXPECT_EQ(decoded.image.size(), QSize(40, 16));
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 40; ++x) {
            const QRgb p = decoded.image.pixel(x, y);
            ASSERT_EQ(qRed(p), qGreen(p));
            ASSERT_EQ(qRed(p), qBlue(p));
            ASSERT_NEAR(qRed(p), (x * 4 + y) & 0xFF, 12) << x << "," << y;
        }
    }
}

TEST(Jpeg, EveryTruncationIsRefusedWithoutCrashing)
{
    const QByteArray jpeg = EncodeJpeg(TestPicture(64, 48), 90);
    ASSERT_GT(jpeg.size(), 200);
    for (qsizetype cut = 0; cut < jpeg.size(); cut += (cut < 700 ? 1 : 7)) {
        const JpegDecodeResult decoded = DecodeJpeg(jpeg.left(cut));
        ASSERT_FALSE(decoded.Ok()) << "cut at " << cut;
        ASSERT_TRUE(decoded.image.isNull()) << "cut at " << cut;
    }
    const qsizetype scan = jpeg.indexOf(QByteArray::fromHex("FFDA"));
    ASSERT_GT(scan, 0);
    const JpegDecodeResult missingTail = DecodeJpeg(jpeg.left(scan + (jpeg.size() - scan) / 2));
    EXPECT_TRUE(missingTail.error.contains("truncated or corrupt")) << qPrintable(missingTail.error);
    EXPECT_TRUE(missingTail.error.contains("Premature end of JPEG file")) << qPrintable(missingTail.error);
}

TEST(Jpeg, CorruptOrForeignDataGivesAClearError)
{
    const QByteArray jpeg = EncodeJpeg(TestPicture(32, 32), 90);
    struct Case
    {
        const char* what;
        QByteArray data;
        const char* expected;
    };
    QByteArray notJpeg = jpeg;
    notJpeg[1] = '\x00';
    QByteArray precision = jpeg;
    const qsizetype frame = FrameHeader(jpeg);
    ASSERT_GT(frame, 0);
    precision[frame + 2] = 12;
    QByteArray huge = jpeg;
    huge[frame + 3] = '\xEA'; // 60000 rows
    huge[frame + 4] = '\x60';
    huge[frame + 5] = '\xEA'; // 60000 columns
    huge[frame + 6] = '\x60';
    QByteArray noSize = jpeg;
    noSize[frame + 5] = 0;
    noSize[frame + 6] = 0;

    const Case cases[] = {
        {"empty", QByteArray(), "No JPEG data."},
        {"text", QByteArray("This is not a picture at all."), "Not a JPEG file"},
        {"damaged start marker", notJpeg, "Not a JPEG file"},
        {"twelve-bit samples", precision, "precision"},
        {"huge frame", huge, "too large"},
        {"zero width", noSize, "Cannot decode"},
    };
    for (const Case& c : cases) {
        const JpegDecodeResult decoded = DecodeJpeg(c.data);
        EXPECT_FALSE(decoded.Ok()) << c.what;
        EXPECT_TRUE(decoded.image.isNull()) << c.what;
        EXPECT_TRUE(decoded.error.contains(QLatin1String(c.expected)))
            << c.what << ": " << qPrintable(decoded.error);
    }
}

TEST(Jpeg, DamagedScanDataNeverCrashesAndNeverHalfSucceeds)
{
    const QByteArray jpeg = EncodeJpeg(TestPicture(64, 48), 90);
    const qsizetype scan = jpeg.indexOf(QByteArray::fromHex("FFDA"));
    ASSERT_GT(scan, 0);
    int refused = 0;
    for (qsizetype at = scan + 16; at < jpeg.size() - 2; at += 11) {
        QByteArray damaged = jpeg;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x5A);
        const JpegDecodeResult decoded = DecodeJpeg(damaged);
        // Either a whole image or a clear refusal; never both, never neither.
        ASSERT_EQ(decoded.Ok(), !decoded.image.isNull()) << at;
        if (decoded.Ok()) {
            ASSERT_EQ(decoded.image.size(), QSize(64, 48)) << at;
        } else {
            ++refused;
        }
    }
    EXPECT_GT(refused, 0); // some damage is detectable and must be reported
}

TEST(Jpeg, FilesAreReadAndAMissingFileIsNamed)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("picture.jpg"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(EncodeJpeg(TestPicture(20, 10), 90));
    file.close();
    const JpegDecodeResult decoded = DecodeJpegFile(path);
    ASSERT_TRUE(decoded.Ok()) << qPrintable(decoded.error);
    EXPECT_EQ(decoded.image.size(), QSize(20, 10));

    const QString missing = dir.filePath(QStringLiteral("missing.jpg"));
    const JpegDecodeResult absent = DecodeJpegFile(missing);
    EXPECT_FALSE(absent.Ok());
    EXPECT_TRUE(absent.error.contains(missing)) << qPrintable(absent.error);
}

TEST(Jpeg, EncoderRefusesANullImage)
{
    QString error;
    EXPECT_TRUE(EncodeJpeg(QImage(), 90, &error).isEmpty());
    EXPECT_FALSE(error.isEmpty());
}

TEST(TerminalPicture, StoredPictureDecodesTo546By330AndFitsAGraphic)
{
    const QByteArray stored = TerminalPictureJpeg();
    ASSERT_FALSE(stored.isEmpty());
    EXPECT_LT(stored.size(), 100 * 1024);
    const JpegDecodeResult picture = LoadTerminalPicture();
    ASSERT_TRUE(picture.Ok()) << qPrintable(picture.error);
    EXPECT_EQ(picture.image.size(), QSize(kTerminalPictureWidth, kTerminalPictureHeight));
    EXPECT_EQ(picture.image.size(), QSize(546, 330));

    // Not a blank: the sky is dark at the top, the horizon light.
    EXPECT_LT(qGray(picture.image.pixel(273, 5)), 80);
    EXPECT_GT(qGray(picture.image.pixel(150, 230)), 120);

    TQvGraphic graphic;
    graphic.Assign(picture.image);
    ASSERT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.Format(), gfTrueColor);
    EXPECT_EQ(graphic.GetWidth(), 546);
    EXPECT_EQ(graphic.GetPixel(273, 5), picture.image.pixel(273, 5) & 0xFFFFFFu);
}

} // namespace
