#include "DibBuilder.h"

#include "imaging/ClipboardGraphic.h"
#include "imaging/QvGraphic.h"

#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QPixmap>
#include <QScreen>

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace qv;
using qvtest::FillPattern;
using qvtest::ShownColor;

QClipboard* Clipboard()
{
    return QGuiApplication::clipboard();
}

class ClipboardTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_NE(Clipboard(), nullptr);
        Clipboard()->clear();
    }
    void TearDown() override
    {
        Clipboard()->clear();
        UnregisterClipboardFormat(CF_BITMAP);
    }
};

TEST_F(ClipboardTest, EveryFormatSurvivesARoundTripThroughTheClipboard)
{
    const quint8 formats[] = {gfBlackWhite, gfGray16, gfGray256, gfColor16, gfColor256, gfTrueColor};
    for (quint8 format : formats) {
        TQvGraphic source;
        source.NewImage(9, 4, format, nullptr, 0, 0);
        FillPattern(source);
        source.AssignTo(Clipboard());

        TQvGraphic pasted;
        pasted.Assign(Clipboard());
        ASSERT_EQ(pasted.LastError(), 0) << int(format);
        // A monochrome bitmap comes back as one bit per pixel, everything
        // else as the screen's true colour.
        EXPECT_EQ(pasted.Format(), format == gfBlackWhite ? gfBlackWhite : gfTrueColor) << int(format);
        ASSERT_EQ(pasted.GetWidth(), 9);
        ASSERT_EQ(pasted.GetHeight(), 4);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 9; ++x)
                ASSERT_EQ(ShownColor(pasted, x, y), ShownColor(source, x, y))
                    << "format " << int(format) << " at " << x << "," << y;
    }
}

TEST_F(ClipboardTest, ClipboardWithoutABitmapGives411)
{
    TQvGraphic graphic;
    graphic.NewImage(2, 2, gfGray16, nullptr, 0, 0);
    graphic.Assign(Clipboard());
    EXPECT_EQ(graphic.LastError(), 411);
    EXPECT_TRUE(graphic.GetEmpty());

    Clipboard()->setText(QStringLiteral("ATDT 5551234"));
    graphic.Assign(Clipboard());
    EXPECT_EQ(graphic.LastError(), 411);
    EXPECT_TRUE(graphic.GetEmpty());
}

TEST_F(ClipboardTest, SavingAColourImageGivesAScreenBitmapAndKeepsThePalette)
{
    TQvGraphic graphic;
    graphic.NewImage(3, 2, gfColor16, nullptr, 0, 0);
    FillPattern(graphic);
    TClipboardFormat format = 0;
    QImage data;
    TLogPalette palette{};
    const TLogPalette* paletteOut = &palette;
    graphic.SaveToClipboardFormat(format, data, paletteOut);
    EXPECT_EQ(format, CF_BITMAP);
    EXPECT_EQ(paletteOut, &palette);
    ASSERT_EQ(data.size(), QSize(3, 2));
    EXPECT_EQ(data.depth(), 32);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(data.pixel(x, y) & 0xFFFFFFu, ShownColor(graphic, x, y));
}

TEST_F(ClipboardTest, PixmapsAreBitmapPartnersBothWays)
{
    TQvGraphic graphic;
    graphic.NewImage(5, 5, gfColor256, nullptr, 0, 0);
    FillPattern(graphic);
    QPixmap pixmap;
    graphic.AssignTo(pixmap);
    ASSERT_EQ(pixmap.size(), QSize(5, 5));
    TQvGraphic back;
    back.Assign(pixmap);
    ASSERT_EQ(back.LastError(), 0);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(ShownColor(back, x, y), ShownColor(graphic, x, y));
}

TEST_F(ClipboardTest, PastingCreatesTheRegisteredClassOnlyOnceRegistered)
{
    QImage image(4, 3, QImage::Format_RGB32);
    image.fill(qRgb(12, 34, 56));
    Clipboard()->setImage(image);

    UnregisterClipboardFormat(CF_BITMAP);
    int error = 0;
    EXPECT_FALSE(CanPasteGraphic(Clipboard()));
    EXPECT_EQ(PasteGraphicFromClipboard(Clipboard(), &error), nullptr);
    EXPECT_EQ(error, 411);

    RegisterClipboardGraphic();
    RegisterClipboardGraphic(); // a second call changes nothing
    EXPECT_TRUE(SupportsClipboardFormat(CF_BITMAP));
    EXPECT_FALSE(SupportsClipboardFormat(CF_DIB));
    EXPECT_TRUE(CanPasteGraphic(Clipboard()));
    std::unique_ptr<TGraphic> pasted = PasteGraphicFromClipboard(Clipboard(), &error);
    ASSERT_NE(pasted, nullptr);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(pasted->ClassName(), "TQvGraphic");
    auto* graphic = dynamic_cast<TQvGraphic*>(pasted.get());
    ASSERT_NE(graphic, nullptr);
    EXPECT_EQ(graphic->GetWidth(), 4);
    EXPECT_EQ(graphic->GetPixel(3, 2), 0x0C2238u);

    Clipboard()->setText(QStringLiteral("no picture"));
    EXPECT_FALSE(CanPasteGraphic(Clipboard()));
    EXPECT_EQ(PasteGraphicFromClipboard(Clipboard(), &error), nullptr);
    EXPECT_EQ(error, 411);
}

TEST_F(ClipboardTest, ImagesOfferedAsBmpDataArePastedToo)
{
    // Another program may offer only encoded image data; Qt decodes it.
    QImage image(2, 2, QImage::Format_RGB32);
    image.fill(qRgb(200, 10, 10));
    QByteArray bmp;
    {
        QBuffer buffer(&bmp);
        buffer.open(QIODevice::WriteOnly);
        ASSERT_TRUE(image.save(&buffer, "BMP"));
    }
    auto* mime = new QMimeData;
    mime->setData(QStringLiteral("image/bmp"), bmp);
    Clipboard()->setMimeData(mime);

    RegisterClipboardGraphic();
    int error = -5;
    std::unique_ptr<TGraphic> pasted = PasteGraphicFromClipboard(Clipboard(), &error);
    ASSERT_NE(pasted, nullptr);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(dynamic_cast<TQvGraphic&>(*pasted).GetPixel(1, 1), 0xC80A0Au);

    TQvGraphic graphic;
    graphic.Assign(Clipboard());
    EXPECT_EQ(graphic.LastError(), 0);
    EXPECT_EQ(graphic.GetPixel(0, 0), 0xC80A0Au);
}

TEST(ScreenResolution, ZeroDpiTakesTheScreensLogicalResolution)
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(ScreenLogicalDpiX(), qRound(screen->logicalDotsPerInchX()));
    EXPECT_EQ(ScreenLogicalDpiY(), qRound(screen->logicalDotsPerInchY()));
    TQvGraphic graphic;
    graphic.NewImage(10, 5, gfBlackWhite, nullptr, 0, 0);
    EXPECT_EQ(graphic.Header().biXPelsPerMeter,
              std::lround(qRound(screen->logicalDotsPerInchX()) * 39.370078740157480317));
    EXPECT_EQ(graphic.Header().biYPelsPerMeter,
              std::lround(qRound(screen->logicalDotsPerInchY()) * 39.370078740157480317));
}

} // namespace
