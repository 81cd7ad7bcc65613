// The record layouts and constants of device-independent bitmaps, logical
// palettes and clipboard formats, with the numbering and byte layout other
// programs use for them, so that a bitmap header or palette built here can be
// exchanged byte for byte.
#pragma once

#include <QtGlobal>

namespace qv {

// Clipboard formats. Only CF_BITMAP is handled by the graphic object; the
// others are named so that callers can say what they hold.
using TClipboardFormat = quint16;
constexpr TClipboardFormat CF_BITMAP = 2;
constexpr TClipboardFormat CF_DIB = 8;
constexpr TClipboardFormat CF_PALETTE = 9;

// biCompression values. Everything but BI_RGB counts as compressed here.
constexpr quint32 BI_RGB = 0;
constexpr quint32 BI_RLE8 = 1;
constexpr quint32 BI_RLE4 = 2;
constexpr quint32 BI_BITFIELDS = 3;

// The version a logical palette record carries.
constexpr quint16 kPaletteVersion = 0x300;

// The 40-byte bitmap information header. Field order and widths are those of
// the exchanged record; all fields are little-endian on the wire.
struct TBitmapInfoHeader
{
    quint32 biSize;
    qint32 biWidth;
    qint32 biHeight; // positive: rows are stored bottom-up
    quint16 biPlanes;
    quint16 biBitCount;
    quint32 biCompression;
    quint32 biSizeImage;
    qint32 biXPelsPerMeter;
    qint32 biYPelsPerMeter;
    quint32 biClrUsed;
    quint32 biClrImportant;
};
static_assert(sizeof(TBitmapInfoHeader) == 40);

// One colour-table entry of a bitmap: blue first.
struct TRGBQuad
{
    quint8 rgbBlue;
    quint8 rgbGreen;
    quint8 rgbRed;
    quint8 rgbReserved;
};
static_assert(sizeof(TRGBQuad) == 4);

// One palette entry: red first.
struct TPaletteEntry
{
    quint8 peRed;
    quint8 peGreen;
    quint8 peBlue;
    quint8 peFlags;
};
static_assert(sizeof(TPaletteEntry) == 4);

constexpr int kMaxPaletteEntries = 256;

// A logical palette record with room for the largest palette a bitmap can
// carry. Only the first palNumEntries entries are meaningful; the record's
// significant size is 4 + 4 * palNumEntries bytes.
struct TLogPalette
{
    quint16 palVersion;
    quint16 palNumEntries;
    TPaletteEntry palPalEntry[kMaxPaletteEntries];
};
static_assert(sizeof(TLogPalette) == 4 + 4 * kMaxPaletteEntries);

// Bytes per pixel row of a bitmap: rows are padded to whole 32-bit words.
// 64-bit so that a hostile width cannot wrap.
constexpr qint64 DibStride(qint64 width, int bitsPerPixel)
{
    return ((width * bitsPerPixel + 31) / 32) * 4;
}

// Pixels per metre of a resolution in dots per inch, and back.
constexpr double kInchesPerMetre = 39.370078740157480317;

} // namespace qv
