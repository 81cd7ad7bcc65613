#include "imaging/ClipboardGraphic.h"

#include "common/ErrorCodes.h"
#include "imaging/QvGraphic.h"

#include <QClipboard>
#include <QImage>
#include <QMimeData>

#include <map>

namespace qv {

namespace {

std::map<TClipboardFormat, TGraphicFactory>& Registry()
{
    static std::map<TClipboardFormat, TGraphicFactory> registry;
    return registry;
}

} // namespace

void RegisterClipboardFormat(TClipboardFormat format, TGraphicFactory factory)
{
    if (!factory) {
        UnregisterClipboardFormat(format);
        return;
    }
    Registry()[format] = std::move(factory);
}

void UnregisterClipboardFormat(TClipboardFormat format)
{
    Registry().erase(format);
}

bool SupportsClipboardFormat(TClipboardFormat format)
{
    return Registry().count(format) != 0;
}

std::unique_ptr<TGraphic> CreateGraphicForClipboardFormat(TClipboardFormat format)
{
    const auto it = Registry().find(format);
    if (it == Registry().end())
        return nullptr;
    return it->second();
}

QImage BitmapFromMimeData(const QMimeData* mime)
{
    if (!mime)
        return {};
    if (mime->hasImage()) {
        const QImage image = qvariant_cast<QImage>(mime->imageData());
        if (!image.isNull())
            return image;
    }
    for (const QString& type : mime->formats()) {
        if (!type.startsWith(QLatin1String("image/")))
            continue;
        const QByteArray subtype = type.mid(6).toLatin1();
        QImage image = QImage::fromData(mime->data(type), subtype.constData());
        if (!image.isNull())
            return image;
    }
    return {};
}

bool CanPasteGraphic(const QClipboard* clipboard)
{
    if (!clipboard || !SupportsClipboardFormat(CF_BITMAP))
        return false;
    return !BitmapFromMimeData(clipboard->mimeData()).isNull();
}

std::unique_ptr<TGraphic> PasteGraphicFromClipboard(QClipboard* clipboard, int* error)
{
    int code = err::GraphicUnsupportedClipboardFormat;
    std::unique_ptr<TGraphic> graphic;
    QImage bitmap;
    if (clipboard && SupportsClipboardFormat(CF_BITMAP))
        bitmap = BitmapFromMimeData(clipboard->mimeData());
    if (!bitmap.isNull())
        graphic = CreateGraphicForClipboardFormat(CF_BITMAP);
    if (graphic) {
        graphic->LoadFromClipboardFormat(CF_BITMAP, &bitmap, nullptr);
        code = graphic->LastError();
        if (code == 0 && graphic->GetEmpty())
            code = err::GraphicInvalidBmp;
        if (code != 0)
            graphic.reset();
    }
    if (error)
        *error = code;
    return graphic;
}

void RegisterClipboardGraphic()
{
    RegisterClipboardFormat(CF_BITMAP, [] { return std::make_unique<TQvGraphic>(); });
}

} // namespace qv
