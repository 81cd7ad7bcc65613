// Builds packed bitmaps (header, colour table, rows) byte by byte for the
// loader tests, so that each test can state exactly the header it feeds in.
#pragma once

#include "imaging/DibTypes.h"
#include "imaging/QvGraphic.h"

#include <QByteArray>
#include <QtEndian>

#include <vector>

namespace qvtest {

struct DibLayout
{
    quint32 headerSize = 40;
    qint32 width = 1;
    qint32 height = 1;
    quint16 planes = 1;
    quint16 bitCount = 24;
    quint32 compression = qv::BI_RGB;
    qint32 xPelsPerMeter = 3780;
    qint32 yPelsPerMeter = 3780;
    quint32 colorsUsed = 0;
    // Colour-table entries as 0xRRGGBB, written blue first.
    std::vector<quint32> table;
    // The pixel rows exactly as stored (bottom-up unless height < 0).
    QByteArray rows;
};

inline QByteArray BuildDib(const DibLayout& layout)
{
    QByteArray out(static_cast<qsizetype>(layout.headerSize), '\0');
    auto* p = reinterpret_cast<uchar*>(out.data());
    if (layout.headerSize >= 40) {
        qToLittleEndian<quint32>(layout.headerSize, p);
        qToLittleEndian<qint32>(layout.width, p + 4);
        qToLittleEndian<qint32>(layout.height, p + 8);
        qToLittleEndian<quint16>(layout.planes, p + 12);
        qToLittleEndian<quint16>(layout.bitCount, p + 14);
        qToLittleEndian<quint32>(layout.compression, p + 16);
        qToLittleEndian<qint32>(layout.xPelsPerMeter, p + 24);
        qToLittleEndian<qint32>(layout.yPelsPerMeter, p + 28);
        qToLittleEndian<quint32>(layout.colorsUsed, p + 32);
    } else if (layout.headerSize >= 4) {
        qToLittleEndian<quint32>(layout.headerSize, p);
    }
    for (quint32 rgb : layout.table) {
        out.append(static_cast<char>(rgb & 0xFF));
        out.append(static_cast<char>((rgb >> 8) & 0xFF));
        out.append(static_cast<char>((rgb >> 16) & 0xFF));
        out.append('\0');
    }
    out.append(layout.rows);
    return out;
}

inline void Load(qv::TQvGraphic& graphic, const QByteArray& dib)
{
    graphic.LoadFromDib(dib.constData(), dib.size());
}

// The colour a pixel of `graphic` is shown in, as 0xRRGGBB.
inline quint32 ShownColor(const qv::TQvGraphic& graphic, int x, int y)
{
    const quint32 v = graphic.GetPixel(x, y);
    if (graphic.Format() == qv::gfTrueColor)
        return v;
    const qv::TRGBQuad& c = graphic.ColorTable()[v];
    return (quint32(c.rgbRed) << 16) | (quint32(c.rgbGreen) << 8) | c.rgbBlue;
}

// Fills `graphic` with values that differ from pixel to pixel and use the
// whole range of the format.
inline void FillPattern(qv::TQvGraphic& graphic)
{
    const int maxValue = graphic.Format() == qv::gfTrueColor ? 0xFFFFFF : (1 << graphic.BitsPerPixel()) - 1;
    for (int y = 0; y < graphic.GetHeight(); ++y) {
        for (int x = 0; x < graphic.GetWidth(); ++x) {
            const quint32 n = quint32(y * graphic.GetWidth() + x);
            const quint32 v = graphic.Format() == qv::gfTrueColor ? (n * 0x2F1D07u + 0x10305u) & 0xFFFFFFu
                                                                  : (n * 7u + 1u) % quint32(maxValue + 1);
            graphic.SetPixel(x, y, v);
        }
    }
}

} // namespace qvtest
