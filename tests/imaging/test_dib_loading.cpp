#include "DibBuilder.h"

#include "common/ErrorCodes.h"
#include "imaging/QvGraphic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace qv;
using qvtest::BuildDib;
using qvtest::DibLayout;
using qvtest::Load;
using qvtest::ShownColor;

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

TEST(DibLoading, SixteenAndThirtyTwoBitsLoadAsTrueColour)
{
    // 2 x 1, 5-5-5: white and pure blue, then padding to a word.
    DibLayout sixteen;
    sixteen.width = 2;
    sixteen.bitCount = 16;
    sixteen.rows = Bytes({0xFF, 0x7F, 0x1F, 0x00});
    TQvGraphic graphic;
    Load(graphic, BuildDib(sixteen));
    ASSERT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.Format(), gfTrueColor);
    EXPECT_EQ(graphic.BitsPerPixel(), 24);
    EXPECT_EQ(graphic.Stride(), 8);
    EXPECT_EQ(graphic.Header().biSizeImage, 8u);
    EXPECT_EQ(graphic.GetPixel(0, 0), 0xFFFFFFu);
    EXPECT_EQ(graphic.GetPixel(1, 0), 0x0000FFu);

    // 2 x 1, 32 bits: the fourth byte is not colour.
    DibLayout thirtyTwo;
    thirtyTwo.width = 2;
    thirtyTwo.bitCount = 32;
    thirtyTwo.rows = Bytes({0x10, 0x20, 0x30, 0xEE, 0x01, 0x02, 0x03, 0x99});
    Load(graphic, BuildDib(thirtyTwo));
    ASSERT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.Format(), gfTrueColor);
    EXPECT_EQ(graphic.GetPixel(0, 0), 0x302010u);
    EXPECT_EQ(graphic.GetPixel(1, 0), 0x030201u);
}

TEST(DibLoading, PaletteBitmapsMapByBitCountAndKeepTheirColoursUsed)
{
    // 8 bits, three colours used.
    DibLayout layout;
    layout.width = 3;
    layout.height = 1;
    layout.bitCount = 8;
    layout.colorsUsed = 3;
    layout.table = {0x112233, 0x445566, 0xFF8000};
    layout.rows = Bytes({2, 0, 1, 0});
    TQvGraphic graphic;
    Load(graphic, BuildDib(layout));
    ASSERT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.Format(), gfColor256);
    EXPECT_EQ(graphic.Header().biClrUsed, 3u);
    EXPECT_EQ(graphic.Palette().palNumEntries, 3);
    EXPECT_EQ(ShownColor(graphic, 0, 0), 0xFF8000u);
    EXPECT_EQ(ShownColor(graphic, 1, 0), 0x112233u);
    EXPECT_EQ(ShownColor(graphic, 2, 0), 0x445566u);

    // 4 bits and 1 bit.
    DibLayout four;
    four.width = 3;
    four.bitCount = 4;
    four.colorsUsed = 2;
    four.table = {0x0000FF, 0x00FF00};
    four.rows = Bytes({0x10, 0x10, 0, 0});
    Load(graphic, BuildDib(four));
    ASSERT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.Format(), gfColor16);
    EXPECT_EQ(ShownColor(graphic, 0, 0), 0x00FF00u);
    EXPECT_EQ(ShownColor(graphic, 1, 0), 0x0000FFu);
    EXPECT_EQ(ShownColor(graphic, 2, 0), 0x00FF00u);

    DibLayout one;
    one.width = 9;
    one.bitCount = 1;
    one.colorsUsed = 2;
    one.table = {0x000000, 0xFFFFFF};
    one.rows = Bytes({0x81, 0x80, 0, 0});
    Load(graphic, BuildDib(one));
    ASSERT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.Format(), gfBlackWhite);
    EXPECT_EQ(graphic.GetPixel(0, 0), 1u);
    EXPECT_EQ(graphic.GetPixel(6, 0), 0u);
    EXPECT_EQ(graphic.GetPixel(7, 0), 1u);
    EXPECT_EQ(graphic.GetPixel(8, 0), 1u);
}

TEST(DibLoading, EightBitsWithNoColoursUsedTakeTheStandardTable)
{
    // The full table behind the header is all red; the image is shown with the
    // standard 256-colour table instead, indexes unchanged.
    DibLayout layout;
    layout.width = 2;
    layout.bitCount = 8;
    layout.colorsUsed = 0;
    layout.table.assign(256, 0xFF0000);
    layout.rows = Bytes({1, 15, 0, 0});
    TQvGraphic graphic;
    Load(graphic, BuildDib(layout));
    ASSERT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.Format(), gfColor256);
    EXPECT_EQ(graphic.Header().biClrUsed, 256u);
    EXPECT_EQ(std::memcmp(&graphic.Palette(), StandardPalette(gfColor256), sizeof(TLogPalette)), 0);
    EXPECT_EQ(graphic.GetPixel(0, 0), 1u);
    EXPECT_EQ(ShownColor(graphic, 0, 0), 0x0000AAu);
    EXPECT_EQ(ShownColor(graphic, 1, 0), 0xFFFFFFu);
}

TEST(DibLoading, RowsAreBottomUpAndTopDownSourcesAreTurned)
{
    DibLayout layout;
    layout.width = 1;
    layout.height = 2;
    layout.bitCount = 24;
    layout.rows = Bytes({0x01, 0x02, 0x03, 0, 0x0A, 0x0B, 0x0C, 0}); // stored bottom row first
    TQvGraphic graphic;
    Load(graphic, BuildDib(layout));
    ASSERT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.GetPixel(0, 1), 0x030201u);
    EXPECT_EQ(graphic.GetPixel(0, 0), 0x0C0B0Au);

    layout.height = -2; // the same bytes, now top row first
    Load(graphic, BuildDib(layout));
    ASSERT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.GetHeight(), 2);
    EXPECT_EQ(graphic.GetPixel(0, 0), 0x030201u);
    EXPECT_EQ(graphic.GetPixel(0, 1), 0x0C0B0Au);
}

TEST(DibLoading, ResolutionIsKeptAndNonsenseFallsBackToTheScreen)
{
    const qint32 screenX = static_cast<qint32>(std::lround(ScreenLogicalDpiX() * 39.370078740157480317));
    const qint32 screenY = static_cast<qint32>(std::lround(ScreenLogicalDpiY() * 39.370078740157480317));
    struct Case
    {
        qint32 given;
        qint32 expected;
    };
    const Case cases[] = {{3780, 3780},  {11811, 11811},        {3779, 3780}, {0, screenX},
                          {-5, screenX}, {0x7FFFFFFF, screenX}, {20, 0}};
    for (const Case& c : cases) {
        DibLayout layout;
        layout.xPelsPerMeter = c.given;
        layout.yPelsPerMeter = c.given;
        layout.rows = Bytes({1, 2, 3, 0});
        TQvGraphic graphic;
        Load(graphic, BuildDib(layout));
        ASSERT_EQ(graphic.LastError(), 0) << c.given;
        if (c.expected == 0) {
            // 20 per metre rounds to 1 dpi.
            EXPECT_EQ(graphic.Header().biXPelsPerMeter, 39) << c.given;
        } else {
            EXPECT_EQ(graphic.Header().biXPelsPerMeter, c.expected) << c.given;
            EXPECT_EQ(graphic.Header().biYPelsPerMeter, c.expected == screenX ? screenY : c.expected)
                << c.given;
        }
    }
}

TEST(DibLoading, CompressedBitmapsAreRefusedWith400)
{
    for (quint32 compression : {BI_RLE8, BI_RLE4, BI_BITFIELDS, quint32(4), quint32(0xFFFFFFFF)}) {
        DibLayout layout;
        layout.bitCount = compression == BI_RLE4 ? 4 : 8;
        layout.compression = compression;
        layout.colorsUsed = 2;
        layout.table = {0, 0xFFFFFF};
        layout.rows = Bytes({0, 0, 0, 0});
        TQvGraphic graphic;
        graphic.NewImage(2, 2, gfGray16, nullptr, 0, 0);
        Load(graphic, BuildDib(layout));
        EXPECT_EQ(graphic.LastError(), 400) << compression;
        EXPECT_TRUE(graphic.GetEmpty()) << compression;
    }
}

TEST(DibLoading, UnreadableOrHostileHeadersAreRefused)
{
    struct Case
    {
        const char* what;
        DibLayout layout;
        int expected;
    };
    auto base = [] {
        DibLayout s;
        s.width = 2;
        s.height = 2;
        s.bitCount = 24;
        s.rows = QByteArray(16, '\x7F');
        return s;
    };
    std::vector<Case> cases;
    {
        DibLayout s = base();
        s.headerSize = 12;
        cases.push_back({"core header", s, 420});
    }
    {
        DibLayout s = base();
        s.headerSize = 400;
        s.rows.clear();
        cases.push_back({"header larger than the data", s, 420});
    }
    {
        DibLayout s = base();
        s.rows.chop(1);
        cases.push_back({"pixel rows cut short", s, 420});
    }
    {
        DibLayout s = base();
        s.bitCount = 8;
        s.colorsUsed = 0;
        s.table.assign(255, 0); // the full table needs 256
        s.rows = QByteArray(1, '\0');
        cases.push_back({"colour table cut short", s, 420});
    }
    {
        DibLayout s = base();
        s.bitCount = 2;
        cases.push_back({"two bits per pixel", s, -1});
    }
    {
        DibLayout s = base();
        s.bitCount = 64;
        cases.push_back({"sixty-four bits per pixel", s, -1});
    }
    {
        DibLayout s = base();
        s.planes = 0;
        cases.push_back({"no planes", s, -1});
    }
    {
        DibLayout s = base();
        s.width = 0;
        cases.push_back({"zero width", s, -1});
    }
    {
        DibLayout s = base();
        s.width = -2;
        cases.push_back({"negative width", s, -1});
    }
    {
        DibLayout s = base();
        s.height = 0;
        cases.push_back({"zero height", s, -1});
    }
    {
        DibLayout s = base();
        s.height = std::numeric_limits<qint32>::min();
        cases.push_back({"height without a magnitude", s, -1});
    }
    {
        DibLayout s = base();
        s.width = 0x7FFFFFFF;
        s.height = 4;
        cases.push_back({"rows too large to hold", s, -1});
    }
    {
        DibLayout s = base();
        s.planes = 65535;
        s.bitCount = 65535;
        cases.push_back({"bit count times planes beyond 32 bits", s, -1});
    }
    {
        DibLayout s = base();
        s.width = 0x7FFFFFFF;
        s.height = 0x7FFFFFFF;
        s.bitCount = 32;
        cases.push_back({"row size times rows beyond 64 bits", s, -1});
    }
    {
        DibLayout s = base();
        s.bitCount = 8;
        s.colorsUsed = 300;
        s.table.assign(300, 0);
        cases.push_back({"more colours used than 8 bits index", s, -1});
    }
    {
        DibLayout s = base();
        s.bitCount = 1;
        s.colorsUsed = 3;
        s.table.assign(3, 0);
        cases.push_back({"more colours used than 1 bit indexes", s, -1});
    }
    {
        DibLayout s = base();
        s.colorsUsed = 0xFFFFFFF0u; // a colour table that cannot be there
        cases.push_back({"huge optional table on true colour", s, 420});
    }

    for (const Case& c : cases) {
        TQvGraphic graphic;
        graphic.NewImage(2, 2, gfGray16, nullptr, 0, 0);
        Load(graphic, BuildDib(c.layout));
        EXPECT_EQ(graphic.LastError(), c.expected) << c.what;
        EXPECT_TRUE(graphic.GetEmpty()) << c.what;
    }

    TQvGraphic graphic;
    graphic.LoadFromDib(nullptr, 0);
    EXPECT_EQ(graphic.LastError(), 420);
    const QByteArray tiny(39, '\0');
    graphic.LoadFromDib(tiny.constData(), tiny.size());
    EXPECT_EQ(graphic.LastError(), 420);
    EXPECT_EQ(ErrorCodeToMessage(graphic.LastError()), "Invalid BMP format.");
}

TEST(DibLoading, TrueColourSkipsAnOptionalColourTable)
{
    DibLayout layout;
    layout.bitCount = 24;
    layout.colorsUsed = 2;
    layout.table = {0xABCDEF, 0x123456};
    layout.rows = Bytes({0x33, 0x22, 0x11, 0});
    TQvGraphic graphic;
    Load(graphic, BuildDib(layout));
    ASSERT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.GetPixel(0, 0), 0x112233u);
    EXPECT_EQ(graphic.Header().biClrUsed, 0u);
}

TEST(ImageLoading, IndexedImagesKeepTheirTablesAndOthersBecomeTrueColour)
{
    QImage indexed(3, 2, QImage::Format_Indexed8);
    indexed.setColorTable({qRgb(10, 20, 30), qRgb(200, 100, 0), qRgb(0, 0, 255), qRgb(1, 1, 1)});
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            indexed.setPixel(x, y, uint((x + y) % 4));
    indexed.setDotsPerMeterX(11811);
    indexed.setDotsPerMeterY(11811);
    TQvGraphic graphic;
    graphic.Assign(indexed);
    ASSERT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.Format(), gfColor256);
    EXPECT_EQ(graphic.Palette().palNumEntries, 4);
    EXPECT_EQ(graphic.Header().biXPelsPerMeter, 11811);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(ShownColor(graphic, x, y), indexed.pixel(x, y) & 0xFFFFFFu);

    QImage noTable(2, 1, QImage::Format_Indexed8);
    noTable.fill(4);
    graphic.Assign(noTable);
    ASSERT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.Format(), gfColor256);
    EXPECT_EQ(ShownColor(graphic, 0, 0), 0xAA0000u); // standard entry 4

    QImage mono(10, 2, QImage::Format_MonoLSB);
    mono.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    mono.fill(0);
    mono.setPixel(9, 1, 1);
    graphic.Assign(mono);
    ASSERT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.Format(), gfBlackWhite);
    EXPECT_EQ(ShownColor(graphic, 9, 1), 0xFFFFFFu);
    EXPECT_EQ(ShownColor(graphic, 8, 1), 0x000000u);

    for (QImage::Format format : {QImage::Format_RGB16, QImage::Format_RGB32, QImage::Format_ARGB32,
                                  QImage::Format_RGB888, QImage::Format_Grayscale8, QImage::Format_RGBA64}) {
        QImage image(3, 3, format);
        image.fill(Qt::black);
        image.setPixel(2, 1, qRgb(255, 0, 0));
        image.setPixel(0, 2, qRgb(0, 255, 255));
        graphic.Assign(image);
        ASSERT_EQ(graphic.LastError(), 0) << format;
        EXPECT_EQ(graphic.Format(), gfTrueColor) << format;
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 3; ++x)
                EXPECT_EQ(graphic.GetPixel(x, y), image.pixel(x, y) & 0xFFFFFFu)
                    << format << " " << x << "," << y;
    }

    graphic.Assign(QImage());
    EXPECT_EQ(graphic.LastError(), 420);
    EXPECT_TRUE(graphic.GetEmpty());
}

} // namespace
