#include "DibBuilder.h"

#include "common/ErrorCodes.h"
#include "imaging/QvGraphic.h"
#include "imaging/StandardPalettes.h"

#include <QBuffer>
#include <QPainter>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace {

using namespace qv;
using qvtest::FillPattern;
using qvtest::ShownColor;

const quint8 kAllFormats[] = {gfBlackWhite, gfGray16, gfGray256, gfColor16, gfColor256, gfTrueColor};

qint32 ScreenPelsPerMetreX()
{
    return static_cast<qint32>(std::lround(ScreenLogicalDpiX() * 39.370078740157480317));
}

TLogPalette MakePalette(std::initializer_list<quint32> colors, quint16 version = 0)
{
    TLogPalette palette{};
    palette.palVersion = version;
    palette.palNumEntries = static_cast<quint16>(colors.size());
    int i = 0;
    for (quint32 rgb : colors)
        palette.palPalEntry[i++] = {quint8(rgb >> 16), quint8(rgb >> 8), quint8(rgb), 0};
    return palette;
}

TEST(QvGraphicBuild, NewGraphicIsEmpty)
{
    TQvGraphic graphic;
    EXPECT_TRUE(graphic.GetEmpty());
    EXPECT_EQ(graphic.GetWidth(), 0);
    EXPECT_EQ(graphic.GetHeight(), 0);
    EXPECT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.Bits(), nullptr);
    EXPECT_TRUE(graphic.ToImage().isNull());
    EXPECT_EQ(graphic.GetPixel(0, 0), 0u);
    graphic.SetPixel(0, 0, 1); // nothing to write into; must not crash
}

TEST(QvGraphicBuild, BlackWhiteTenByFiveHasFourByteRowsTwoColoursAndScreenResolution)
{
    TQvGraphic graphic;
    graphic.NewImage(10, 5, gfBlackWhite, nullptr, 0, 0);
    ASSERT_EQ(graphic.LastError(), 0);
    ASSERT_FALSE(graphic.GetEmpty());
    EXPECT_EQ(graphic.Stride(), 4);
    EXPECT_EQ(graphic.ImageSize(), 20);
    const TBitmapInfoHeader& h = graphic.Header();
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, 10);
    EXPECT_EQ(h.biHeight, 5);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, 1);
    EXPECT_EQ(h.biCompression, BI_RGB);
    EXPECT_EQ(h.biSizeImage, 20u);
    EXPECT_EQ(h.biClrUsed, 2u);
    EXPECT_EQ(h.biClrImportant, 0u);
    EXPECT_EQ(h.biXPelsPerMeter, ScreenPelsPerMetreX());
    EXPECT_EQ(graphic.Palette().palVersion, 0x300);
    EXPECT_EQ(graphic.Palette().palNumEntries, 2);
    EXPECT_EQ(ShownColor(graphic, 0, 0), 0x000000u); // blank image: all index 0
    const TRGBQuad* table = graphic.ColorTable();
    EXPECT_EQ(table[1].rgbRed, 255);
    EXPECT_EQ(table[1].rgbGreen, 255);
    EXPECT_EQ(table[1].rgbBlue, 255);
    EXPECT_EQ(table[2].rgbRed, 0); // the rest of the table stays zero
}

TEST(QvGraphicBuild, TrueColorAtNinetySixDpiHasTwelveByteRowsAnd3780PixelsPerMetre)
{
    TQvGraphic graphic;
    graphic.NewImage(3, 1, gfTrueColor, nullptr, 96, 96);
    ASSERT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.Stride(), 12);
    EXPECT_EQ(graphic.Header().biXPelsPerMeter, 3780);
    EXPECT_EQ(graphic.Header().biYPelsPerMeter, 3780);
    EXPECT_EQ(graphic.Header().biClrUsed, 0u);
    EXPECT_EQ(graphic.Header().biBitCount, 24);
    EXPECT_EQ(graphic.Palette().palNumEntries, 0);
}

TEST(QvGraphicBuild, RowsArePaddedToWholeWordsInEveryFormat)
{
    struct Case
    {
        int width;
        quint8 format;
        int stride;
    };
    const Case cases[] = {{1, gfBlackWhite, 4}, {32, gfBlackWhite, 4}, {33, gfBlackWhite, 8},
                          {9, gfGray16, 8},     {8, gfColor16, 4},     {5, gfGray256, 8},
                          {4, gfColor256, 4},   {5, gfTrueColor, 16},  {4, gfTrueColor, 12}};
    for (const Case& c : cases) {
        TQvGraphic graphic;
        graphic.NewImage(c.width, 3, c.format, nullptr, 72, 72);
        ASSERT_EQ(graphic.LastError(), 0);
        EXPECT_EQ(graphic.Stride(), c.stride) << c.width << " px, format " << int(c.format);
        EXPECT_EQ(graphic.ImageSize(), 3 * c.stride);
        EXPECT_EQ(graphic.Header().biBitCount, FormatBitsPerPixel(c.format));
    }
}

TEST(QvGraphicBuild, GivenPaletteIsStoredWithVersionAndBlueFirstColourTable)
{
    const TLogPalette palette = MakePalette({0x102030, 0xA0B0C0, 0xFF0000}, /*version*/ 0);
    TQvGraphic graphic;
    graphic.NewImage(2, 2, gfColor16, &palette, 0, 0);
    ASSERT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.Header().biClrUsed, 3u);
    EXPECT_EQ(graphic.Palette().palVersion, 0x300);
    EXPECT_EQ(graphic.Palette().palNumEntries, 3);
    EXPECT_EQ(graphic.Palette().palPalEntry[1].peRed, 0xA0);
    const TRGBQuad& c = graphic.ColorTable()[0];
    EXPECT_EQ(c.rgbRed, 0x10);
    EXPECT_EQ(c.rgbGreen, 0x20);
    EXPECT_EQ(c.rgbBlue, 0x30);
    graphic.SetPixel(1, 1, 2);
    EXPECT_EQ(ShownColor(graphic, 1, 1), 0xFF0000u);
}

TEST(QvGraphicBuild, RefusedRequestsLeaveAnEmptyImageAndMinusOne)
{
    const TLogPalette sixteen = MakePalette({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, 0x300);
    const TLogPalette empty = MakePalette({}, 0x300);
    TLogPalette tooLarge = MakePalette({0x000000}, 0x300);
    tooLarge.palNumEntries = 300;

    struct Case
    {
        const char* what;
        int width, height;
        quint8 format;
        const TLogPalette* palette;
    };
    const Case cases[] = {
        {"format above true colour", 4, 4, 6, nullptr},
        {"format above true colour with palette", 4, 4, 200, &sixteen},
        {"zero width", 0, 4, gfGray256, nullptr},
        {"zero height", 4, 0, gfGray256, nullptr},
        {"negative width", -4, 4, gfTrueColor, nullptr},
        {"negative height", 4, -4, gfTrueColor, nullptr},
        {"palette without entries", 4, 4, gfColor256, &empty},
        {"palette above 256 entries", 4, 4, gfColor256, &tooLarge},
        {"more colours than a 1-bit image indexes", 4, 4, gfBlackWhite, &sixteen},
        {"pixel block above 2 GiB", 100000, 100000, gfTrueColor, nullptr},
        {"row size that wraps 32 bits", 0x7FFFFFFF, 1, gfTrueColor, nullptr},
        {"block size that wraps 64 bits", 0x7FFFFFFF, 0x7FFFFFFF, gfTrueColor, nullptr},
        {"block size that wraps 64 bits at one bit", 0x7FFFFFFF, 0x7FFFFFFF, gfBlackWhite, nullptr},
    };
    for (const Case& c : cases) {
        TQvGraphic graphic;
        graphic.NewImage(8, 8, gfGray16, nullptr, 0, 0); // an earlier image is discarded
        ASSERT_EQ(graphic.LastError(), 0);
        graphic.NewImage(c.width, c.height, c.format, c.palette, 0, 0);
        EXPECT_EQ(graphic.LastError(), -1) << c.what;
        EXPECT_TRUE(graphic.GetEmpty()) << c.what;
        EXPECT_EQ(graphic.GetWidth(), 0) << c.what;
        EXPECT_EQ(graphic.Header().biClrUsed, 0u) << c.what;
    }
}

TEST(QvGraphicBuild, ClearZeroesHeaderAndColourTable)
{
    TQvGraphic graphic;
    graphic.NewImage(4, 4, gfColor256, nullptr, 0, 0);
    graphic.Clear();
    EXPECT_TRUE(graphic.GetEmpty());
    EXPECT_EQ(graphic.Header().biSize, 0u);
    EXPECT_EQ(graphic.Stride(), 0);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(graphic.ColorTable()[i].rgbRed | graphic.ColorTable()[i].rgbBlue, 0) << i;
}

TEST(StandardPalettes, GreysAndSixteenColoursHaveTheirFixedValues)
{
    const TLogPalette* bw = StandardPalette(gfBlackWhite);
    ASSERT_NE(bw, nullptr);
    EXPECT_EQ(bw->palNumEntries, 2);
    const TLogPalette* g16 = StandardPalette(gfGray16);
    EXPECT_EQ(g16->palNumEntries, 16);
    EXPECT_EQ(g16->palPalEntry[15].peRed, 255);
    EXPECT_EQ(g16->palPalEntry[3].peGreen, 51);
    const TLogPalette* g256 = StandardPalette(gfGray256);
    EXPECT_EQ(g256->palNumEntries, 256);
    EXPECT_EQ(g256->palPalEntry[200].peBlue, 200);
    EXPECT_EQ(StandardPalette(gfTrueColor), nullptr);
    EXPECT_EQ(StandardPalette(9), nullptr);

    const quint8 expected16[16][3] = {{0, 0, 0},     {0, 0, 170},    {0, 170, 0},    {0, 170, 170},
                                      {170, 0, 0},   {170, 0, 170},  {170, 85, 0},   {170, 170, 170},
                                      {85, 85, 85},  {85, 85, 255},  {85, 255, 85},  {85, 255, 255},
                                      {255, 85, 85}, {255, 85, 255}, {255, 255, 85}, {255, 255, 255}};
    const TLogPalette* c16 = StandardPalette(gfColor16);
    const TLogPalette* c256 = StandardPalette(gfColor256);
    for (int i = 0; i < 16; ++i) {
        for (const TLogPalette* p : {c16, c256}) {
            EXPECT_EQ(p->palPalEntry[i].peRed, expected16[i][0]) << i;
            EXPECT_EQ(p->palPalEntry[i].peGreen, expected16[i][1]) << i;
            EXPECT_EQ(p->palPalEntry[i].peBlue, expected16[i][2]) << i;
            EXPECT_EQ(p->palPalEntry[i].peFlags, 0) << i;
        }
    }
    for (quint8 f : kAllFormats) {
        if (const TLogPalette* p = StandardPalette(f)) {
            EXPECT_EQ(p->palVersion, 0x300);
        }
    }
}

TEST(StandardPalettes, TwoHundredFiftySixColoursFollowTheirLayout)
{
    const TLogPalette* p = StandardPalette(gfColor256);
    auto rgb = [p](int i) {
        const TPaletteEntry& e = p->palPalEntry[i];
        return (quint32(e.peRed) << 16) | (quint32(e.peGreen) << 8) | e.peBlue;
    };
    const quint32 ramp[16] = {0x000000, 0x141414, 0x202020, 0x2C2C2C, 0x383838, 0x454545, 0x515151, 0x616161,
                              0x717171, 0x828282, 0x929292, 0xA2A2A2, 0xB6B6B6, 0xCBCBCB, 0xE3B3B3, 0xFFFFFF};
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(rgb(16 + i), ramp[i]) << 16 + i;
    const quint32 start[5] = {0x0000FF, 0x4100FF, 0x7D00FF, 0xBE00FF, 0xFF00FF};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(rgb(32 + i), start[i]) << 32 + i;
    // Each run of 24 starts at its blue, passes magenta, red, yellow, green
    // and cyan at steps 4, 8, 12, 16 and 20, and is dimmer than the run three
    // places before it.
    for (int run = 0; run < 9; ++run) {
        const int base = 32 + 24 * run;
        const TPaletteEntry& blue = p->palPalEntry[base];
        EXPECT_GT(blue.peBlue, blue.peRed) << run;
        EXPECT_EQ(blue.peRed, blue.peGreen) << run;
        EXPECT_EQ(p->palPalEntry[base + 4].peRed, blue.peBlue) << run;    // magenta
        EXPECT_EQ(p->palPalEntry[base + 8].peBlue, blue.peRed) << run;    // red
        EXPECT_EQ(p->palPalEntry[base + 12].peGreen, blue.peBlue) << run; // yellow
        EXPECT_EQ(p->palPalEntry[base + 16].peRed, blue.peRed) << run;    // green
        EXPECT_EQ(p->palPalEntry[base + 20].peBlue, blue.peBlue) << run;  // cyan
        if (run >= 3) {
            EXPECT_LT(blue.peBlue, p->palPalEntry[base - 72].peBlue) << run;
        }
    }
    for (int i = 248; i < 256; ++i)
        EXPECT_EQ(rgb(i), 0u) << i;
}

TEST(QvGraphicPixels, StorageOfEachFormatMatchesTheBitmapLayout)
{
    TQvGraphic bw;
    bw.NewImage(10, 2, gfBlackWhite, nullptr, 0, 0);
    bw.SetPixel(0, 1, 1);
    bw.SetPixel(9, 1, 5); // any value above 0 stores 1
    // Row 1 from the top is the first stored row.
    EXPECT_EQ(bw.Bits()[0], 0x80);
    EXPECT_EQ(bw.Bits()[1], 0x40);
    EXPECT_EQ(bw.GetPixel(9, 1), 1u);
    bw.SetPixel(0, 1, 0);
    EXPECT_EQ(bw.Bits()[0], 0x00);

    TQvGraphic nibbles;
    nibbles.NewImage(3, 1, gfGray16, nullptr, 0, 0);
    nibbles.SetPixel(0, 0, 0xA);
    nibbles.SetPixel(1, 0, 0x5);
    nibbles.SetPixel(2, 0, 0x1F); // only the low nibble is kept
    EXPECT_EQ(nibbles.Bits()[0], 0xA5);
    EXPECT_EQ(nibbles.Bits()[1], 0xF0);
    EXPECT_EQ(nibbles.GetPixel(2, 0), 0xFu);

    TQvGraphic bytes;
    bytes.NewImage(2, 2, gfColor256, nullptr, 0, 0);
    bytes.SetPixel(1, 0, 200);
    EXPECT_EQ(bytes.Bits()[bytes.Stride() + 1], 200);

    TQvGraphic rgb;
    rgb.NewImage(2, 3, gfTrueColor, nullptr, 0, 0);
    rgb.SetPixel(1, 2, 0x123456);
    EXPECT_EQ(rgb.Bits()[3], 0x56); // bottom row stored first; low byte first
    EXPECT_EQ(rgb.Bits()[4], 0x34);
    EXPECT_EQ(rgb.Bits()[5], 0x12);
    EXPECT_EQ(rgb.GetPixel(1, 2), 0x123456u);
    EXPECT_EQ(rgb.ScanLine(2), rgb.Bits());
    EXPECT_EQ(rgb.ScanLine(0), rgb.Bits() + 2 * rgb.Stride());
}

TEST(QvGraphicPixels, OutOfRangeCoordinatesNeitherReadNorWrite)
{
    TQvGraphic graphic;
    graphic.NewImage(4, 4, gfGray256, nullptr, 0, 0);
    const std::vector<uchar> before(graphic.Bits(), graphic.Bits() + graphic.ImageSize());
    for (auto [x, y] : {std::pair{-1, 0}, {0, -1}, {4, 0}, {0, 4}, {1 << 30, 1}}) {
        graphic.SetPixel(x, y, 77);
        EXPECT_EQ(graphic.GetPixel(x, y), 0u);
    }
    EXPECT_EQ(std::vector<uchar>(graphic.Bits(), graphic.Bits() + graphic.ImageSize()), before);
    EXPECT_EQ(graphic.ScanLine(4), nullptr);
}

TEST(QvGraphicDraw, EveryFormatDrawsPixelExactAndStretchesWithoutSmoothing)
{
    for (quint8 format : kAllFormats) {
        TQvGraphic graphic;
        graphic.NewImage(5, 3, format, nullptr, 0, 0);
        ASSERT_EQ(graphic.LastError(), 0);
        FillPattern(graphic);
        int afterDraw = 0;
        graphic.SetOnAfterDraw([&](const TQvGraphic& sender) {
            EXPECT_EQ(&sender, &graphic);
            ++afterDraw;
        });

        QImage target(12, 8, QImage::Format_ARGB32);
        target.fill(qRgb(1, 2, 3));
        {
            QPainter painter(&target);
            graphic.Draw(painter, QRect(1, 1, 5, 3));
        }
        EXPECT_EQ(afterDraw, 1);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x)
                ASSERT_EQ(target.pixel(1 + x, 1 + y) & 0xFFFFFFu, ShownColor(graphic, x, y))
                    << "format " << int(format) << " at " << x << "," << y;
        EXPECT_EQ(target.pixel(0, 0), qRgb(1, 2, 3)); // outside the rectangle
        EXPECT_EQ(target.pixel(6, 1), qRgb(1, 2, 3));

        QImage stretched(10, 6, QImage::Format_RGB32);
        {
            QPainter painter(&stretched);
            graphic.Draw(painter, QRect(0, 0, 10, 6));
        }
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 10; ++x)
                ASSERT_EQ(stretched.pixel(x, y) & 0xFFFFFFu, ShownColor(graphic, x / 2, y / 2))
                    << "format " << int(format) << " at " << x << "," << y;
    }
}

TEST(QvGraphicDraw, AHandlerThatClearsItselfKeepsRunning)
{
    TQvGraphic graphic;
    graphic.NewImage(2, 2, gfTrueColor, nullptr, 0, 0);
    auto draws = std::make_shared<int>(0);
    // The handler's own captures must outlive its clearing of the event.
    graphic.SetOnAfterDraw([&graphic, draws](const TQvGraphic&) {
        graphic.SetOnAfterDraw(nullptr);
        ++*draws;
    });
    QImage target(2, 2, QImage::Format_RGB32);
    QPainter painter(&target);
    graphic.Draw(painter, target.rect());
    graphic.Draw(painter, target.rect());
    EXPECT_EQ(*draws, 1);
    EXPECT_FALSE(graphic.OnAfterDraw());
}

TEST(QvGraphicDraw, EmptyGraphicDrawsNothingButStillReportsTheDraw)
{
    TQvGraphic graphic;
    bool called = false;
    graphic.SetOnAfterDraw([&](const TQvGraphic&) { called = true; });
    QImage target(4, 4, QImage::Format_RGB32);
    target.fill(qRgb(9, 9, 9));
    {
        QPainter painter(&target);
        graphic.Draw(painter, target.rect());
    }
    EXPECT_TRUE(called);
    EXPECT_EQ(target.pixel(2, 2), qRgb(9, 9, 9));
}

// A drawable that is not a TQvGraphic: left half red, right half blue.
class TwoColourGraphic : public TGraphic
{
public:
    QString ClassName() const override { return QStringLiteral("TTwoColourGraphic"); }
    bool GetEmpty() const override { return false; }
    int GetWidth() const override { return 6; }
    int GetHeight() const override { return 2; }
    void Draw(QPainter& canvas, const QRect& rect) const override
    {
        canvas.fillRect(QRect(rect.x(), rect.y(), rect.width() / 2, rect.height()), QColor(255, 0, 0));
        canvas.fillRect(
            QRect(rect.x() + rect.width() / 2, rect.y(), rect.width() - rect.width() / 2, rect.height()),
            QColor(0, 0, 255));
    }
    void LoadFromClipboardFormat(TClipboardFormat, const QImage*, const TLogPalette*) override {}
    void SaveToClipboardFormat(TClipboardFormat&, QImage&, const TLogPalette*&) const override {}
    void LoadFromStream(QIODevice&) override {}
    void SaveToStream(QIODevice&) const override {}
};

TEST(QvGraphicAssign, CopyKeepsFormatPaletteResolutionAndPixelsAndIsIndependent)
{
    for (quint8 format : kAllFormats) {
        TQvGraphic source;
        source.NewImage(7, 4, format, nullptr, 150, 75);
        FillPattern(source);
        TQvGraphic copy;
        copy.Assign(&source);
        ASSERT_EQ(copy.LastError(), 0);
        EXPECT_EQ(copy.Format(), format);
        EXPECT_EQ(copy.GetWidth(), 7);
        EXPECT_EQ(copy.GetHeight(), 4);
        EXPECT_EQ(copy.Header().biXPelsPerMeter, source.Header().biXPelsPerMeter);
        EXPECT_EQ(copy.Header().biYPelsPerMeter, source.Header().biYPelsPerMeter);
        EXPECT_EQ(copy.Header().biClrUsed, source.Header().biClrUsed);
        ASSERT_EQ(copy.ImageSize(), source.ImageSize());
        EXPECT_EQ(std::memcmp(copy.Bits(), source.Bits(), size_t(source.ImageSize())), 0);
        EXPECT_EQ(std::memcmp(copy.ColorTable(), source.ColorTable(), 256 * sizeof(TRGBQuad)), 0);

        copy.SetPixel(0, 0, 1);
        source.SetPixel(0, 0, 0);
        EXPECT_NE(copy.GetPixel(0, 0), source.GetPixel(0, 0));
    }
}

TEST(QvGraphicAssign, NilOrItselfLeavesTheImageAlone)
{
    TQvGraphic graphic;
    graphic.NewImage(3, 3, gfColor16, nullptr, 0, 0);
    FillPattern(graphic);
    const std::vector<uchar> before(graphic.Bits(), graphic.Bits() + graphic.ImageSize());

    graphic.Assign(static_cast<const TGraphic*>(nullptr));
    EXPECT_EQ(graphic.LastError(), -1);
    ASSERT_FALSE(graphic.GetEmpty());
    EXPECT_EQ(std::vector<uchar>(graphic.Bits(), graphic.Bits() + graphic.ImageSize()), before);

    graphic.Assign(&graphic);
    EXPECT_EQ(graphic.LastError(), 0);
    ASSERT_FALSE(graphic.GetEmpty());
    EXPECT_EQ(graphic.Format(), gfColor16);
    EXPECT_EQ(std::vector<uchar>(graphic.Bits(), graphic.Bits() + graphic.ImageSize()), before);
}

TEST(QvGraphicAssign, EmptySourceEmptiesTheDestination)
{
    TQvGraphic empty;
    TQvGraphic graphic;
    graphic.NewImage(3, 3, gfGray16, nullptr, 0, 0);
    graphic.Assign(&empty);
    EXPECT_EQ(graphic.LastError(), 0);
    EXPECT_TRUE(graphic.GetEmpty());
}

TEST(QvGraphicAssign, AnyOtherGraphicIsDrawnIntoTrueColour)
{
    TwoColourGraphic other;
    TQvGraphic graphic;
    graphic.Assign(&other);
    ASSERT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.Format(), gfTrueColor);
    EXPECT_EQ(graphic.GetWidth(), 6);
    EXPECT_EQ(graphic.GetHeight(), 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 6; ++x)
            EXPECT_EQ(graphic.GetPixel(x, y), x < 3 ? 0xFF0000u : 0x0000FFu) << x << "," << y;

    // The other way round is not supported.
    EXPECT_THROW(graphic.AssignTo(&other), EConvertError);
    try {
        other.Assign(&graphic);
        FAIL() << "no conversion error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a TQvGraphic to a TTwoColourGraphic.");
    }
    // AssignTo another TQvGraphic copies.
    TQvGraphic copy;
    graphic.AssignTo(&copy);
    EXPECT_EQ(copy.GetPixel(5, 1), 0x0000FFu);
}

TEST(QvGraphicAssign, ToQImageIsTwentyFourBitWithTheShownColours)
{
    TQvGraphic graphic;
    graphic.NewImage(4, 2, gfColor16, nullptr, 0, 0);
    FillPattern(graphic);
    QImage image;
    graphic.AssignTo(image);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.format(), QImage::Format_RGB888);
    EXPECT_EQ(image.size(), QSize(4, 2));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(image.pixel(x, y) & 0xFFFFFFu, ShownColor(graphic, x, y));

    TQvGraphic empty;
    empty.AssignTo(image);
    EXPECT_TRUE(image.isNull());
}

TEST(QvGraphicRaising, OperationsLeftToDescendantsRaiseWithTheirTexts)
{
    TQvGraphic graphic;
    QBuffer buffer;
    auto message = [](auto&& call) -> QString {
        try {
            call();
        } catch (const EGraphicError& e) {
            return e.Message();
        }
        return QStringLiteral("<no exception>");
    };
    EXPECT_EQ(message([&] { graphic.LoadFromStream(buffer); }), "2-Ilegal abstract function call.");
    EXPECT_EQ(message([&] { graphic.SaveToStream(buffer); }), "3-Ilegal abstract function call.");
    EXPECT_EQ(message([&] { graphic.AbstractOperation(); }), "1-Ilegal abstract function call.");
    EXPECT_THROW(graphic.SetWidth(5), EAbstractError);
    EXPECT_THROW(graphic.SetHeight(5), EAbstractError);

    int count = 0;
    EXPECT_EQ(graphic.GetImageCount(&buffer, count), 0);
    EXPECT_EQ(count, 1);
}

TEST(QvGraphicClipboardFormat, SavingAnEmptyImageRaises)
{
    TQvGraphic graphic;
    TClipboardFormat format = 0;
    QImage data;
    const TLogPalette* palette = nullptr;
    try {
        graphic.SaveToClipboardFormat(format, data, palette);
        FAIL() << "no exception";
    } catch (const EGraphicError& e) {
        EXPECT_EQ(e.Message(), "CopyBitmap: CreateBitmap failed");
    }
}

TEST(QvGraphicClipboardFormat, BlackAndWhiteSavesAsMonochromeBitmapByColour)
{
    // A two-colour image whose index 0 is white: the saved bitmap follows the
    // colours, not the indexes.
    const TLogPalette palette = MakePalette({0xFFFFFF, 0x800000}, 0x300);
    TQvGraphic graphic;
    graphic.NewImage(3, 1, gfBlackWhite, &palette, 0, 0);
    graphic.SetPixel(1, 0, 1);
    TClipboardFormat format = 0;
    QImage data;
    const TLogPalette* kept = &palette;
    graphic.SaveToClipboardFormat(format, data, kept);
    EXPECT_EQ(format, CF_BITMAP);
    EXPECT_EQ(kept, &palette);
    ASSERT_EQ(data.format(), QImage::Format_Mono);
    EXPECT_EQ(data.pixel(0, 0), qRgb(255, 255, 255));
    EXPECT_EQ(data.pixel(1, 0), qRgb(0, 0, 0));
    EXPECT_EQ(data.pixel(2, 0), qRgb(255, 255, 255));
}

TEST(QvGraphicClipboardFormat, ColourImageNeedsAScreen)
{
    // This executable runs without a GUI application, so there is no screen.
    TQvGraphic graphic;
    graphic.NewImage(2, 2, gfTrueColor, nullptr, 0, 0);
    TClipboardFormat format = 0;
    QImage data;
    const TLogPalette* palette = nullptr;
    try {
        graphic.SaveToClipboardFormat(format, data, palette);
        FAIL() << "no exception";
    } catch (const EGraphicError& e) {
        EXPECT_EQ(e.Message(), "Save To Clipboard Routine: GetDC failed");
    }
    EXPECT_EQ(ScreenLogicalDpiX(), 96);
}

TEST(QvGraphicClipboardFormat, OnlyBitmapsWithDataAreAccepted)
{
    QImage image(2, 2, QImage::Format_RGB32);
    image.fill(Qt::green);
    TQvGraphic graphic;
    graphic.NewImage(3, 3, gfGray16, nullptr, 0, 0);
    for (TClipboardFormat format : {CF_DIB, CF_PALETTE, TClipboardFormat(1), TClipboardFormat(0xC000)}) {
        graphic.LoadFromClipboardFormat(format, &image, nullptr);
        EXPECT_EQ(graphic.LastError(), 411) << format;
        EXPECT_TRUE(graphic.GetEmpty());
    }
    graphic.LoadFromClipboardFormat(CF_BITMAP, nullptr, nullptr);
    EXPECT_EQ(graphic.LastError(), 411);
    const QImage nullImage;
    graphic.LoadFromClipboardFormat(CF_BITMAP, &nullImage, nullptr);
    EXPECT_EQ(graphic.LastError(), 411);
    EXPECT_EQ(ErrorCodeToMessage(graphic.LastError()), "Unsupported clipboard format.");

    graphic.LoadFromClipboardFormat(CF_BITMAP, &image, nullptr);
    EXPECT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.GetPixel(1, 1), 0x00FF00u);
}

} // namespace
