// TQvGraphic: the suite's in-memory raster image. A device-independent bitmap
// of 1, 4, 8 or 24 bits per pixel with its own palette, kept exactly as such a
// bitmap is exchanged: a 40-byte header, a 256-entry colour table, rows padded
// to 32 bits and stored bottom-up. It draws itself on any QPainter and is
// exchanged with QImage/QPixmap, other graphics and the clipboard.
//
// Building operations (NewImage, Assign, LoadFromClipboardFormat, LoadFromDib)
// never raise: they leave the image empty and set LastError to 0 on success,
// or to a code of common/ErrorCodes.h: an OS-mapped code when memory runs out,
// -1 for refused input, 400 for a compressed bitmap, 411 for a clipboard format
// other than CF_BITMAP, 420 for a bitmap that cannot be read. Only
// SaveToClipboardFormat, the stream operations, AbstractOperation,
// SetWidth/SetHeight and AssignTo an unsupported graphic raise EGraphicError.
//
// Not thread-safe; QPixmap and clipboard partners need the GUI thread.
#pragma once

#include "imaging/DibTypes.h"
#include "imaging/Graphic.h"
#include "imaging/StandardPalettes.h"

#include <QImage>

#include <functional>
#include <vector>

class QClipboard;
class QPixmap;

namespace qv {

class TQvGraphic;

// Raised at the end of every Draw with the graphic that drew.
using TAfterDrawEvent = std::function<void(const TQvGraphic& sender)>;

class TQvGraphic : public TGraphic
{
public:
    TQvGraphic();
    ~TQvGraphic() override;

    QString ClassName() const override { return QStringLiteral("TQvGraphic"); }

    // Discards the image and builds a blank one (all pixel bits 0).
    // `palette` nil takes the format's standard palette; it is ignored for
    // gfTrueColor. Refused with -1: a format above gfTrueColor, a width or
    // height below 1, a pixel block above 2 GiB, a palette with no entries or
    // with more entries than the format can index. `xDpi`/`yDpi` 0 take the
    // screen's logical resolution (96 without a screen).
    virtual void NewImage(int width, int height, quint8 format, const TLogPalette* palette, quint16 xDpi,
                          quint16 yDpi);
    // Frees the image: empty, header and colour table zeroed.
    void Clear();
    int LastError() const override { return m_lastError; }

    bool GetEmpty() const override { return m_bits.empty(); }
    int GetWidth() const override { return m_header.biWidth; }
    int GetHeight() const override { return m_header.biHeight; }

    // Stretches the whole image onto `rect` without smoothing (each target
    // pixel takes the colour of one source pixel), then raises OnAfterDraw. An
    // empty image draws nothing but still raises the event.
    void Draw(QPainter& canvas, const QRect& rect) const override;

    // Copies another graphic. A TQvGraphic is copied with its format, palette,
    // resolution and pixels; any other graphic is drawn into a true-colour
    // image of its size. Assigning nil or the graphic itself changes nothing
    // (LastError -1 for nil, 0 for itself).
    void Assign(const TGraphic* source) override;
    // Pastes the bitmap on `clipboard`, whatever image form it holds (411 when
    // it holds none).
    void Assign(QClipboard* clipboard);
    // Loads a bitmap: 1-bit and 8-bit indexed images keep their colour table
    // (an 8-bit image without one takes the standard 256-colour table); every
    // other image becomes gfTrueColor. A null image gives 420.
    void Assign(const QImage& bitmap);
    void Assign(const QPixmap& bitmap);

    // Another TQvGraphic receives a copy; any other graphic raises EConvertError.
    void AssignTo(TGraphic* dest) const override;
    // A 24-bit image of the graphic's size with the graphic drawn on it (null
    // for an empty graphic).
    void AssignTo(QImage& dest) const;
    void AssignTo(QPixmap& dest) const;
    // Puts the image on the clipboard through SaveToClipboardFormat.
    void AssignTo(QClipboard* clipboard) const;

    // Accepts only CF_BITMAP with an image (411 otherwise); the image is loaded
    // as by Assign(const QImage&). The palette is not needed: no Qt screen is
    // palette-based.
    void LoadFromClipboardFormat(TClipboardFormat format, const QImage* data,
                                 const TLogPalette* palette) override;
    // Sets `format` to CF_BITMAP and `data` to a screen bitmap of the image:
    // monochrome for gfBlackWhite (pixels whose colour is white become 1),
    // 32-bit otherwise. `palette` is left unchanged. Raises EGraphicError
    // "CopyBitmap: CreateBitmap failed" for an empty image or when the bitmap
    // cannot be allocated, and "Save To Clipboard Routine: GetDC failed" for a
    // colour image when there is no screen.
    void SaveToClipboardFormat(TClipboardFormat& format, QImage& data,
                               const TLogPalette*& palette) const override;

    // Loads a packed bitmap (the CF_DIB layout: header, colour table, rows).
    // 1, 4, 8 and 24 bits per pixel keep their depth, 16 (5-5-5) and 32 become
    // gfTrueColor; top-down rows are turned bottom-up. With no colours used a
    // palette bitmap takes its format's standard palette, not its own table.
    // Refused: a header below 40 bytes or data shorter than the header says
    // (420), compression (400), other bit counts, sizes below 1 or too large,
    // and more colours used than the bit count can index (-1).
    void LoadFromDib(const void* data, qsizetype size);

    // Streams are left to descendants: these raise "2-Ilegal abstract function
    // call." and "3-Ilegal abstract function call."; AbstractOperation raises
    // "1-Ilegal abstract function call.".
    void LoadFromStream(QIODevice& stream) override;
    void SaveToStream(QIODevice& stream) const override;
    virtual void AbstractOperation();
    // One image per graphic: sets `count` to 1 and returns 0.
    virtual int GetImageCount(QIODevice* ignored, int& count);

    quint8 Format() const { return m_format; }
    int BitsPerPixel() const { return m_header.biBitCount; }
    int Stride() const { return m_stride; }
    const TBitmapInfoHeader& Header() const { return m_header; }
    // 256 entries, the unused ones zero.
    const TRGBQuad* ColorTable() const { return m_colorTable; }
    // The image's palette record (version 0x300); no entries for gfTrueColor
    // and for an empty image.
    const TLogPalette& Palette() const { return m_palette; }

    // The pixel block: Height rows of Stride bytes, the bottom row first.
    // Valid until the image is rebuilt or cleared; nil when empty.
    const uchar* Bits() const { return m_bits.empty() ? nullptr : m_bits.data(); }
    uchar* Bits() { return m_bits.empty() ? nullptr : m_bits.data(); }
    qsizetype ImageSize() const { return static_cast<qsizetype>(m_bits.size()); }
    // The row `y` counted from the top, or nil outside the image.
    const uchar* ScanLine(int y) const;
    uchar* ScanLine(int y);

    // Pixel values: a palette index for palette formats, 0xRRGGBB for
    // gfTrueColor. Out-of-range coordinates read 0 and write nothing.
    quint32 GetPixel(int x, int y) const;
    void SetPixel(int x, int y, quint32 value);

    // A top-down 32-bit copy of the image as it is shown (null when empty).
    QImage ToImage() const;

    const TAfterDrawEvent& OnAfterDraw() const { return m_onAfterDraw; }
    void SetOnAfterDraw(TAfterDrawEvent handler) { m_onAfterDraw = std::move(handler); }

private:
    using TGetPixelProc = quint32 (*)(const uchar* row, int x);
    using TSetPixelProc = void (*)(uchar* row, int x, quint32 value);

    void CopyFrom(const TQvGraphic& source);
    void RenderFrom(const TGraphic& source);

    quint8 m_format = gfBlackWhite;
    std::vector<uchar> m_bits;
    TBitmapInfoHeader m_header{};
    TRGBQuad m_colorTable[kMaxPaletteEntries]{};
    TLogPalette m_palette{};
    int m_stride = 0;
    TGetPixelProc m_getPixel = nullptr;
    TSetPixelProc m_setPixel = nullptr;
    TAfterDrawEvent m_onAfterDraw;
    int m_lastError = 0;
};

// The screen's logical resolution in dots per inch, 96 when there is no
// screen (no GUI application).
int ScreenLogicalDpiX();
int ScreenLogicalDpiY();

} // namespace qv
