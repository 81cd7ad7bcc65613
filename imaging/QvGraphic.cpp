#include "imaging/QvGraphic.h"

#include "common/ErrorCodes.h"
#include "imaging/ClipboardGraphic.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QtEndian>

#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace qv {

namespace {

// The largest pixel block we build: the header's image size is a 32-bit field
// and QImage cannot hold more either.
constexpr qint64 kMaxImageBytes = std::numeric_limits<qint32>::max();

// The bytes of `rows` rows of `stride` bytes, or -1 above kMaxImageBytes.
// Checked by division before multiplying: hostile dimensions would otherwise
// wrap the product into a small or negative size that passes every check.
qint64 PixelBlockSize(qint64 stride, qint64 rows)
{
    if (stride <= 0 || rows <= 0 || stride > kMaxImageBytes / rows)
        return -1;
    return stride * rows;
}

quint32 GetPixel1(const uchar* row, int x)
{
    return (row[x / 8] >> (7 - x % 8)) & 1u;
}

void SetPixel1(uchar* row, int x, quint32 value)
{
    const uchar mask = static_cast<uchar>(0x80u >> (x % 8));
    if (value > 0)
        row[x / 8] |= mask;
    else
        row[x / 8] &= static_cast<uchar>(~mask);
}

quint32 GetPixel4(const uchar* row, int x)
{
    const uchar byte = row[x / 2];
    return (x % 2 == 0) ? (byte >> 4) : (byte & 0x0Fu);
}

void SetPixel4(uchar* row, int x, quint32 value)
{
    uchar& byte = row[x / 2];
    const uchar nibble = static_cast<uchar>(value & 0x0Fu);
    if (x % 2 == 0)
        byte = static_cast<uchar>((byte & 0x0Fu) | (nibble << 4));
    else
        byte = static_cast<uchar>((byte & 0xF0u) | nibble);
}

quint32 GetPixel8(const uchar* row, int x)
{
    return row[x];
}

void SetPixel8(uchar* row, int x, quint32 value)
{
    row[x] = static_cast<uchar>(value);
}

quint32 GetPixel24(const uchar* row, int x)
{
    const uchar* p = row + 3 * x;
    return p[0] | (quint32(p[1]) << 8) | (quint32(p[2]) << 16);
}

void SetPixel24(uchar* row, int x, quint32 value)
{
    uchar* p = row + 3 * x;
    p[0] = static_cast<uchar>(value);
    p[1] = static_cast<uchar>(value >> 8);
    p[2] = static_cast<uchar>(value >> 16);
}

qint32 DpiToPelsPerMetre(int dpi)
{
    return static_cast<qint32>(std::lround(dpi * kInchesPerMetre));
}

// Pixels per metre back to dots per inch; values that make no sense give 0,
// which lets NewImage use the screen's resolution.
quint16 PelsPerMetreToDpi(qint64 pelsPerMetre)
{
    if (pelsPerMetre < 1)
        return 0;
    const long long dpi = std::llround(static_cast<double>(pelsPerMetre) / kInchesPerMetre);
    if (dpi < 0 || dpi > 65535)
        return 0;
    return static_cast<quint16>(dpi);
}

int OutOfMemoryCode()
{
    int code = oserr::NotEnoughMemory;
    OSErrorToErrorCode(code);
    return code;
}

template <typename T> T ReadLE(const uchar* p)
{
    return qFromLittleEndian<T>(p);
}

void PutLE32(QByteArray& out, qsizetype offset, quint32 value)
{
    qToLittleEndian<quint32>(value, reinterpret_cast<uchar*>(out.data()) + offset);
}

void PutLE16(QByteArray& out, qsizetype offset, quint16 value)
{
    qToLittleEndian<quint16>(value, reinterpret_cast<uchar*>(out.data()) + offset);
}

// A QImage as a packed bitmap, so that images go through the same header rules
// as any other bitmap. Indexed images keep their depth and colour table (the
// header reports as many colours used as the table has); everything else goes
// as 32 bits per pixel.
QByteArray ImageToDib(const QImage& source)
{
    QImage image;
    int bitCount = 32;
    if (source.format() == QImage::Format_Mono || source.format() == QImage::Format_MonoLSB) {
        image = source.convertToFormat(QImage::Format_Mono);
        bitCount = 1;
    } else if (source.format() == QImage::Format_Indexed8) {
        image = source;
        bitCount = 8;
    } else {
        image = source.convertToFormat(QImage::Format_RGB32);
    }
    if (image.isNull())
        return {};

    const QList<QRgb> table = bitCount <= 8 ? image.colorTable() : QList<QRgb>();
    const qsizetype colours = qMin<qsizetype>(table.size(), qsizetype(1) << bitCount);
    // A palette bitmap that reports no colours carries a full table all the
    // same; it stays zero here.
    const qsizetype tableEntries = (bitCount <= 8 && colours == 0) ? (qsizetype(1) << bitCount) : colours;
    const qint64 stride = DibStride(image.width(), bitCount);
    const qint64 total = 40 + 4 * qint64(tableEntries) + stride * image.height();
    if (stride * image.height() > kMaxImageBytes)
        return {};

    QByteArray dib(static_cast<qsizetype>(total), '\0');
    PutLE32(dib, 0, 40);
    PutLE32(dib, 4, static_cast<quint32>(image.width()));
    PutLE32(dib, 8, static_cast<quint32>(image.height()));
    PutLE16(dib, 12, 1);
    PutLE16(dib, 14, static_cast<quint16>(bitCount));
    PutLE32(dib, 16, BI_RGB);
    PutLE32(dib, 20, static_cast<quint32>(stride * image.height()));
    PutLE32(dib, 24, static_cast<quint32>(qMax(0, image.dotsPerMeterX())));
    PutLE32(dib, 28, static_cast<quint32>(qMax(0, image.dotsPerMeterY())));
    PutLE32(dib, 32, static_cast<quint32>(colours));
    for (qsizetype i = 0; i < colours; ++i) {
        uchar* q = reinterpret_cast<uchar*>(dib.data()) + 40 + 4 * i;
        q[0] = static_cast<uchar>(qBlue(table[i]));
        q[1] = static_cast<uchar>(qGreen(table[i]));
        q[2] = static_cast<uchar>(qRed(table[i]));
        q[3] = 0;
    }
    uchar* rows = reinterpret_cast<uchar*>(dib.data()) + 40 + 4 * tableEntries;
    const qsizetype rowBytes = qMin<qsizetype>(stride, image.bytesPerLine());
    for (int y = 0; y < image.height(); ++y)
        std::memcpy(rows + (image.height() - 1 - y) * stride, image.constScanLine(y), rowBytes);
    return dib;
}

} // namespace

namespace {

// The primary screen, or nil when the program runs without a GUI application
// (qGuiApp would be an unchecked cast there).
const QScreen* PrimaryScreen()
{
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return nullptr;
    return QGuiApplication::primaryScreen();
}

} // namespace

int ScreenLogicalDpiX()
{
    const QScreen* screen = PrimaryScreen();
    return screen ? qRound(screen->logicalDotsPerInchX()) : 96;
}

int ScreenLogicalDpiY()
{
    const QScreen* screen = PrimaryScreen();
    return screen ? qRound(screen->logicalDotsPerInchY()) : 96;
}

TQvGraphic::TQvGraphic() = default;

TQvGraphic::~TQvGraphic()
{
    Clear();
}

void TQvGraphic::Clear()
{
    std::vector<uchar>().swap(m_bits);
    m_header = {};
    std::memset(m_colorTable, 0, sizeof m_colorTable);
    m_palette = {};
    m_stride = 0;
    m_getPixel = nullptr;
    m_setPixel = nullptr;
}

void TQvGraphic::NewImage(int width, int height, quint8 format, const TLogPalette* palette, quint16 xDpi,
                          quint16 yDpi)
{
    m_lastError = 0;
    Clear();

    const int bitCount = FormatBitsPerPixel(format);
    if (bitCount == 0 || width < 1 || height < 1) {
        m_lastError = err::Failed;
        return;
    }
    if (format == gfTrueColor) {
        palette = nullptr;
    } else {
        if (!palette)
            palette = StandardPalette(format);
        if (palette->palNumEntries == 0 || palette->palNumEntries > (1 << bitCount)) {
            m_lastError = err::Failed;
            return;
        }
    }
    const qint64 stride = DibStride(width, bitCount);
    const qint64 imageSize = PixelBlockSize(stride, height);
    if (imageSize < 0) {
        m_lastError = err::Failed;
        return;
    }

    try {
        m_bits.assign(static_cast<size_t>(imageSize), 0);
    } catch (const std::bad_alloc&) {
        Clear();
        m_lastError = OutOfMemoryCode();
        return;
    } catch (...) {
        // Building never raises; whatever else the allocation throws is a
        // request that could not be met.
        Clear();
        m_lastError = err::Failed;
        return;
    }

    m_format = format;
    m_stride = static_cast<int>(stride);
    m_header.biSize = sizeof(TBitmapInfoHeader);
    m_header.biWidth = width;
    m_header.biHeight = height;
    m_header.biPlanes = 1;
    m_header.biBitCount = static_cast<quint16>(bitCount);
    m_header.biCompression = BI_RGB;
    m_header.biSizeImage = static_cast<quint32>(imageSize);
    m_header.biXPelsPerMeter = DpiToPelsPerMetre(xDpi > 0 ? xDpi : ScreenLogicalDpiX());
    m_header.biYPelsPerMeter = DpiToPelsPerMetre(yDpi > 0 ? yDpi : ScreenLogicalDpiY());
    m_header.biClrImportant = 0;
    if (palette) {
        const int count = palette->palNumEntries;
        m_header.biClrUsed = static_cast<quint32>(count);
        m_palette.palVersion = kPaletteVersion;
        m_palette.palNumEntries = static_cast<quint16>(count);
        for (int i = 0; i < count; ++i) {
            const TPaletteEntry& e = palette->palPalEntry[i];
            m_palette.palPalEntry[i] = e;
            m_colorTable[i] = {e.peBlue, e.peGreen, e.peRed, 0};
        }
    } else {
        m_header.biClrUsed = 0;
    }

    switch (bitCount) {
    case 1:
        m_getPixel = GetPixel1;
        m_setPixel = SetPixel1;
        break;
    case 4:
        m_getPixel = GetPixel4;
        m_setPixel = SetPixel4;
        break;
    case 8:
        m_getPixel = GetPixel8;
        m_setPixel = SetPixel8;
        break;
    default:
        m_getPixel = GetPixel24;
        m_setPixel = SetPixel24;
        break;
    }
}

const uchar* TQvGraphic::ScanLine(int y) const
{
    if (m_bits.empty() || y < 0 || y >= m_header.biHeight)
        return nullptr;
    return m_bits.data() + static_cast<size_t>(m_header.biHeight - 1 - y) * static_cast<size_t>(m_stride);
}

uchar* TQvGraphic::ScanLine(int y)
{
    return const_cast<uchar*>(std::as_const(*this).ScanLine(y));
}

quint32 TQvGraphic::GetPixel(int x, int y) const
{
    const uchar* row = ScanLine(y);
    if (!row || x < 0 || x >= m_header.biWidth)
        return 0;
    return m_getPixel(row, x);
}

void TQvGraphic::SetPixel(int x, int y, quint32 value)
{
    uchar* row = ScanLine(y);
    if (!row || x < 0 || x >= m_header.biWidth)
        return;
    m_setPixel(row, x, value);
}

QImage TQvGraphic::ToImage() const
{
    if (GetEmpty())
        return {};
    const int width = GetWidth();
    const int height = GetHeight();
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull())
        return {};
    image.setDotsPerMeterX(m_header.biXPelsPerMeter);
    image.setDotsPerMeterY(m_header.biYPelsPerMeter);
    const bool indexed = m_format != gfTrueColor;
    for (int y = 0; y < height; ++y) {
        const uchar* row = ScanLine(y);
        QRgb* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const quint32 v = m_getPixel(row, x);
            if (indexed) {
                const TRGBQuad& c = m_colorTable[v];
                out[x] = qRgb(c.rgbRed, c.rgbGreen, c.rgbBlue);
            } else {
                out[x] = 0xFF000000u | v;
            }
        }
    }
    return image;
}

void TQvGraphic::Draw(QPainter& canvas, const QRect& rect) const
{
    if (!GetEmpty()) {
        const QImage image = ToImage();
        canvas.save();
        // Nearest-neighbour stretching: every target pixel is one source colour.
        canvas.setRenderHint(QPainter::SmoothPixmapTransform, false);
        canvas.drawImage(rect, image);
        canvas.restore();
    }
    if (m_onAfterDraw) {
        // A copy: a handler that replaces or clears itself must not free the
        // function that is running.
        const TAfterDrawEvent handler = m_onAfterDraw;
        handler(*this);
    }
}

void TQvGraphic::CopyFrom(const TQvGraphic& source)
{
    m_lastError = 0;
    Clear();
    if (source.GetEmpty() || source.GetWidth() <= 0 || source.GetHeight() <= 0)
        return;
    const TLogPalette* palette = source.m_palette.palNumEntries > 0 ? &source.m_palette : nullptr;
    NewImage(source.GetWidth(), source.GetHeight(), source.m_format, palette,
             PelsPerMetreToDpi(source.m_header.biXPelsPerMeter),
             PelsPerMetreToDpi(source.m_header.biYPelsPerMeter));
    if (m_lastError == 0)
        std::memcpy(m_bits.data(), source.m_bits.data(), m_bits.size());
}

void TQvGraphic::RenderFrom(const TGraphic& source)
{
    NewImage(source.GetWidth(), source.GetHeight(), gfTrueColor, nullptr, 0, 0);
    if (m_lastError != 0)
        return;
    QImage canvasImage(GetWidth(), GetHeight(), QImage::Format_RGB32);
    if (canvasImage.isNull()) {
        Clear();
        m_lastError = OutOfMemoryCode();
        return;
    }
    canvasImage.fill(Qt::black);
    {
        QPainter painter(&canvasImage);
        source.Draw(painter, QRect(0, 0, GetWidth(), GetHeight()));
    }
    for (int y = 0; y < GetHeight(); ++y) {
        const QRgb* in = reinterpret_cast<const QRgb*>(canvasImage.constScanLine(y));
        uchar* row = ScanLine(y);
        for (int x = 0; x < GetWidth(); ++x)
            SetPixel24(row, x, in[x] & 0xFFFFFFu);
    }
}

void TQvGraphic::Assign(const TGraphic* source)
{
    // Nil and self are no-ops: clearing first, as a plain copy would, would
    // destroy the very image that is to be copied.
    if (!source) {
        m_lastError = err::Failed;
        return;
    }
    if (source == this) {
        m_lastError = 0;
        return;
    }
    if (const auto* graphic = dynamic_cast<const TQvGraphic*>(source))
        CopyFrom(*graphic);
    else
        RenderFrom(*source);
}

void TQvGraphic::Assign(QClipboard* clipboard)
{
    if (!clipboard) {
        m_lastError = err::Failed;
        return;
    }
    const QImage bitmap = BitmapFromMimeData(clipboard->mimeData());
    LoadFromClipboardFormat(CF_BITMAP, bitmap.isNull() ? nullptr : &bitmap, nullptr);
}

void TQvGraphic::Assign(const QImage& bitmap)
{
    m_lastError = 0;
    Clear();
    if (bitmap.isNull()) {
        m_lastError = err::GraphicInvalidBmp;
        return;
    }
    const QByteArray dib = ImageToDib(bitmap);
    if (dib.isEmpty()) {
        m_lastError = err::Failed;
        return;
    }
    LoadFromDib(dib.constData(), dib.size());
}

void TQvGraphic::Assign(const QPixmap& bitmap)
{
    Assign(bitmap.toImage());
}

void TQvGraphic::AssignTo(TGraphic* dest) const
{
    if (auto* graphic = dynamic_cast<TQvGraphic*>(dest)) {
        graphic->Assign(this);
        return;
    }
    TGraphic::AssignTo(dest);
}

void TQvGraphic::AssignTo(QImage& dest) const
{
    if (GetEmpty()) {
        dest = QImage();
        return;
    }
    QImage image(GetWidth(), GetHeight(), QImage::Format_RGB888);
    if (!image.isNull()) {
        image.fill(Qt::black);
        image.setDotsPerMeterX(m_header.biXPelsPerMeter);
        image.setDotsPerMeterY(m_header.biYPelsPerMeter);
        QPainter painter(&image);
        Draw(painter, QRect(0, 0, GetWidth(), GetHeight()));
    }
    dest = image;
}

void TQvGraphic::AssignTo(QPixmap& dest) const
{
    QImage image;
    AssignTo(image);
    dest = QPixmap::fromImage(image);
}

void TQvGraphic::AssignTo(QClipboard* clipboard) const
{
    TClipboardFormat format = 0;
    QImage data;
    const TLogPalette* palette = nullptr;
    SaveToClipboardFormat(format, data, palette);
    if (clipboard)
        clipboard->setImage(data);
}

void TQvGraphic::LoadFromClipboardFormat(TClipboardFormat format, const QImage* data, const TLogPalette*)
{
    if (format != CF_BITMAP || !data || data->isNull()) {
        Clear();
        m_lastError = err::GraphicUnsupportedClipboardFormat;
        return;
    }
    Assign(*data);
}

void TQvGraphic::SaveToClipboardFormat(TClipboardFormat& format, QImage& data, const TLogPalette*&) const
{
    format = CF_BITMAP;
    const QString createFailed = QStringLiteral("CopyBitmap: CreateBitmap failed");
    if (GetEmpty())
        throw EGraphicError(createFailed);

    if (m_format == gfBlackWhite) {
        // A monochrome bitmap has no palette of its own: a pixel is white (1)
        // when its colour is white and black (0) otherwise.
        QImage mono(GetWidth(), GetHeight(), QImage::Format_Mono);
        if (mono.isNull())
            throw EGraphicError(createFailed);
        mono.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
        mono.setDotsPerMeterX(m_header.biXPelsPerMeter);
        mono.setDotsPerMeterY(m_header.biYPelsPerMeter);
        mono.fill(0);
        for (int y = 0; y < GetHeight(); ++y) {
            const uchar* row = ScanLine(y);
            for (int x = 0; x < GetWidth(); ++x) {
                const TRGBQuad& c = m_colorTable[GetPixel1(row, x)];
                if (c.rgbRed == 255 && c.rgbGreen == 255 && c.rgbBlue == 255)
                    mono.setPixel(x, y, 1);
            }
        }
        data = mono;
        return;
    }

    if (!PrimaryScreen())
        throw EGraphicError(QStringLiteral("Save To Clipboard Routine: GetDC failed"));
    QImage screenBitmap = ToImage();
    if (screenBitmap.isNull())
        throw EGraphicError(createFailed);
    data = screenBitmap;
}

void TQvGraphic::LoadFromDib(const void* data, qsizetype size)
{
    m_lastError = 0;
    Clear();
    const auto* bytes = static_cast<const uchar*>(data);
    if (!bytes || size < 40) {
        m_lastError = err::GraphicInvalidBmp;
        return;
    }
    const quint32 headerSize = ReadLE<quint32>(bytes);
    if (headerSize < 40 || headerSize > static_cast<quint64>(size)) {
        m_lastError = err::GraphicInvalidBmp;
        return;
    }
    const qint32 width = ReadLE<qint32>(bytes + 4);
    const qint32 height = ReadLE<qint32>(bytes + 8);
    const quint16 planes = ReadLE<quint16>(bytes + 12);
    // Unsigned 32 bits hold the product of any two 16-bit fields.
    const quint32 bitProduct = quint32(ReadLE<quint16>(bytes + 14)) * planes;
    const quint32 compression = ReadLE<quint32>(bytes + 16);
    const qint32 xPels = ReadLE<qint32>(bytes + 24);
    const qint32 yPels = ReadLE<qint32>(bytes + 28);
    const quint32 colorsUsed = ReadLE<quint32>(bytes + 32);

    if (compression != BI_RGB) {
        m_lastError = err::GraphicUnsupportedCompression;
        return;
    }
    if (width < 1 || height == 0 || height == std::numeric_limits<qint32>::min()) {
        m_lastError = err::Failed;
        return;
    }
    if (bitProduct != 1 && bitProduct != 4 && bitProduct != 8 && bitProduct != 16 && bitProduct != 24 &&
        bitProduct != 32) {
        m_lastError = err::Failed;
        return;
    }
    const int bitCount = static_cast<int>(bitProduct);
    const bool topDown = height < 0;
    const int rows = topDown ? -height : height;

    // The colour table follows the header. A palette bitmap that reports no
    // colours used still carries a full table, which has to be skipped.
    qint64 tableEntries = colorsUsed;
    if (bitCount <= 8) {
        const quint32 maxEntries = 1u << bitCount;
        if (colorsUsed > maxEntries) {
            m_lastError = err::Failed;
            return;
        }
        if (colorsUsed == 0)
            tableEntries = maxEntries;
    }
    const qint64 sourceStride = DibStride(width, bitCount);
    const qint64 sourceSize = PixelBlockSize(sourceStride, rows);
    if (sourceSize < 0) {
        m_lastError = err::Failed;
        return;
    }
    const qint64 pixelOffset = qint64(headerSize) + 4 * tableEntries;
    if (pixelOffset + sourceSize > size) {
        m_lastError = err::GraphicInvalidBmp;
        return;
    }

    TLogPalette palette{};
    const TLogPalette* paletteArg = nullptr;
    if (bitCount <= 8 && colorsUsed >= 1) {
        palette.palVersion = kPaletteVersion;
        palette.palNumEntries = static_cast<quint16>(colorsUsed);
        for (quint32 i = 0; i < colorsUsed; ++i) {
            const uchar* q = bytes + headerSize + 4 * i;
            palette.palPalEntry[i] = {q[2], q[1], q[0], 0};
        }
        paletteArg = &palette;
    }

    quint8 format = gfTrueColor;
    switch (bitCount) {
    case 1:
        format = gfBlackWhite;
        break;
    case 4:
        format = gfColor16;
        break;
    case 8:
        format = gfColor256;
        break;
    default:
        format = gfTrueColor;
        break;
    }

    NewImage(width, rows, format, paletteArg, PelsPerMetreToDpi(xPels), PelsPerMetreToDpi(yPels));
    if (m_lastError != 0) {
        // An allocation failure keeps its own code; everything else is refused input.
        if (m_lastError != OutOfMemoryCode())
            m_lastError = err::Failed;
        return;
    }

    const uchar* pixels = bytes + pixelOffset;
    for (int r = 0; r < rows; ++r) {
        // Stored row r is the r-th from the bottom; a top-down source has it
        // r-th from its end.
        const uchar* in = pixels + sourceStride * (topDown ? rows - 1 - r : r);
        uchar* out = m_bits.data() + static_cast<size_t>(r) * static_cast<size_t>(m_stride);
        if (bitCount == 16) {
            for (int x = 0; x < width; ++x) {
                const quint16 v = ReadLE<quint16>(in + 2 * x);
                const auto widen = [](int c) { return static_cast<quint32>((c << 3) | (c >> 2)); };
                SetPixel24(out, x,
                           widen(v & 31) | (widen((v >> 5) & 31) << 8) | (widen((v >> 10) & 31) << 16));
            }
        } else if (bitCount == 32) {
            for (int x = 0; x < width; ++x)
                SetPixel24(out, x, ReadLE<quint32>(in + 4 * x) & 0xFFFFFFu);
        } else {
            std::memcpy(out, in, static_cast<size_t>(m_stride));
        }
    }
}

void TQvGraphic::LoadFromStream(QIODevice&)
{
    throw EGraphicError(QStringLiteral("2-Ilegal abstract function call."));
}

void TQvGraphic::SaveToStream(QIODevice&) const
{
    throw EGraphicError(QStringLiteral("3-Ilegal abstract function call."));
}

void TQvGraphic::AbstractOperation()
{
    throw EGraphicError(QStringLiteral("1-Ilegal abstract function call."));
}

int TQvGraphic::GetImageCount(QIODevice*, int& count)
{
    count = 1;
    return 0;
}

} // namespace qv
