#include "imaging/StandardPalettes.h"

#include <array>
#include <cmath>

namespace qv {

namespace {

constexpr quint8 kColor16[16][3] = {{0, 0, 0},     {0, 0, 170},    {0, 170, 0},    {0, 170, 170},
                                    {170, 0, 0},   {170, 0, 170},  {170, 85, 0},   {170, 170, 170},
                                    {85, 85, 85},  {85, 85, 255},  {85, 255, 85},  {85, 255, 255},
                                    {255, 85, 85}, {255, 85, 255}, {255, 255, 85}, {255, 255, 255}};

// Entries 16 to 31 of the 256-colour table. Entry 30 is not grey; it is kept
// as it has always been, because stored 256-colour images index it.
constexpr quint8 kColor256Ramp[16][3] = {{0, 0, 0},       {20, 20, 20},    {32, 32, 32},    {44, 44, 44},
                                         {56, 56, 56},    {69, 69, 69},    {81, 81, 81},    {97, 97, 97},
                                         {113, 113, 113}, {130, 130, 130}, {146, 146, 146}, {162, 162, 162},
                                         {182, 182, 182}, {203, 203, 203}, {227, 179, 179}, {255, 255, 255}};

// The hue-wheel runs: for each intensity (high, medium, low) and saturation
// (high, medium, low), five component levels from the run's floor to its peak,
// on a 0..63 scale that is widened to 0..255.
constexpr quint8 kRunLevels[9][5] = {{0, 16, 31, 47, 63}, {31, 39, 47, 55, 63}, {45, 49, 54, 58, 63},
                                     {0, 7, 14, 21, 28},  {14, 17, 21, 24, 28}, {20, 22, 24, 26, 28},
                                     {0, 4, 8, 12, 16},   {8, 10, 12, 14, 16},  {11, 12, 13, 15, 16}};

void Set(TPaletteEntry& entry, int r, int g, int b)
{
    entry = {static_cast<quint8>(r), static_cast<quint8>(g), static_cast<quint8>(b), 0};
}

// One run of 24 colours: blue, magenta, red, yellow, green, cyan and back to
// the step before blue, four steps per sixth of the wheel.
void AddHueRun(TLogPalette& palette, int& next, const quint8 (&levels)[5])
{
    int v[5];
    for (int i = 0; i < 5; ++i)
        v[i] = static_cast<int>(std::lround(levels[i] * 255.0 / 63.0));
    const int lo = v[0];
    const int hi = v[4];
    for (int k = 0; k < 4; ++k)
        Set(palette.palPalEntry[next++], v[k], lo, hi); // blue -> magenta
    for (int k = 0; k < 4; ++k)
        Set(palette.palPalEntry[next++], hi, lo, v[4 - k]); // magenta -> red
    for (int k = 0; k < 4; ++k)
        Set(palette.palPalEntry[next++], hi, v[k], lo); // red -> yellow
    for (int k = 0; k < 4; ++k)
        Set(palette.palPalEntry[next++], v[4 - k], hi, lo); // yellow -> green
    for (int k = 0; k < 4; ++k)
        Set(palette.palPalEntry[next++], lo, hi, v[k]); // green -> cyan
    for (int k = 0; k < 4; ++k)
        Set(palette.palPalEntry[next++], lo, v[4 - k], hi); // cyan -> blue
}

struct Palettes
{
    std::array<TLogPalette, 5> table{};

    Palettes()
    {
        for (TLogPalette& p : table)
            p.palVersion = kPaletteVersion;

        TLogPalette& bw = table[gfBlackWhite];
        bw.palNumEntries = 2;
        Set(bw.palPalEntry[0], 0, 0, 0);
        Set(bw.palPalEntry[1], 255, 255, 255);

        TLogPalette& gray16 = table[gfGray16];
        gray16.palNumEntries = 16;
        for (int i = 0; i < 16; ++i)
            Set(gray16.palPalEntry[i], 17 * i, 17 * i, 17 * i);

        TLogPalette& gray256 = table[gfGray256];
        gray256.palNumEntries = 256;
        for (int i = 0; i < 256; ++i)
            Set(gray256.palPalEntry[i], i, i, i);

        TLogPalette& color16 = table[gfColor16];
        color16.palNumEntries = 16;
        for (int i = 0; i < 16; ++i)
            Set(color16.palPalEntry[i], kColor16[i][0], kColor16[i][1], kColor16[i][2]);

        TLogPalette& color256 = table[gfColor256];
        color256.palNumEntries = 256;
        int next = 0;
        for (const auto& c : kColor16)
            Set(color256.palPalEntry[next++], c[0], c[1], c[2]);
        for (const auto& c : kColor256Ramp)
            Set(color256.palPalEntry[next++], c[0], c[1], c[2]);
        for (const auto& levels : kRunLevels)
            AddHueRun(color256, next, levels);
        while (next < 256)
            Set(color256.palPalEntry[next++], 0, 0, 0);
    }
};

} // namespace

int FormatBitsPerPixel(quint8 format)
{
    switch (format) {
    case gfBlackWhite:
        return 1;
    case gfGray16:
    case gfColor16:
        return 4;
    case gfGray256:
    case gfColor256:
        return 8;
    case gfTrueColor:
        return 24;
    default:
        return 0;
    }
}

const TLogPalette* StandardPalette(quint8 format)
{
    static const Palettes palettes;
    if (format >= gfTrueColor)
        return nullptr;
    return &palettes.table[format];
}

} // namespace qv
