// The standard palettes of the graphic formats: what an image of a palette
// format gets when it is built without a palette of its own.
#pragma once

#include "imaging/DibTypes.h"

namespace qv {

// Image formats; the values are stored and exchanged, so they never change.
enum TQvGraphicFormat : quint8
{
    gfBlackWhite = 0, // 1 bit per pixel
    gfGray16 = 1,     // 4
    gfGray256 = 2,    // 8
    gfColor16 = 3,    // 4
    gfColor256 = 4,   // 8
    gfTrueColor = 5   // 24, no palette
};

constexpr quint8 kLastGraphicFormat = gfTrueColor;

// Bits per pixel of `format`, or 0 for a value above gfTrueColor.
int FormatBitsPerPixel(quint8 format);

// The standard palette of a palette format (gfBlackWhite .. gfColor256), or nil
// for gfTrueColor and for values above it. The palettes are built once, on
// first use, and live until the program ends; the records are never changed.
//   gfBlackWhite: black, white
//   gfGray16:     entry i is (17i, 17i, 17i)
//   gfGray256:    entry i is (i, i, i)
//   gfColor16:    the 16 classic display colours
//   gfColor256:   those 16, a 16-step grey ramp, 216 colours circling the hue
//                 wheel at three saturations and three intensities, 8 blacks
const TLogPalette* StandardPalette(quint8 format);

} // namespace qv
