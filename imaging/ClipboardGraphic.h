// The table of graphic classes that take bitmaps pasted from the clipboard,
// and the start-up registration of TQvGraphic in it.
//
// Qt's clipboard offers a bitmap as mime data that decodes to a QImage
// (application/x-qt-image within the process; image/png, image/bmp and the
// other image types Qt can read from other programs). Whatever form it has,
// it is the CF_BITMAP of this suite: PasteGraphicFromClipboard creates the
// class registered for CF_BITMAP and lets it load the image.
//
// The table is process-wide and belongs to the GUI thread.
#pragma once

#include "imaging/DibTypes.h"
#include "imaging/Graphic.h"

#include <functional>
#include <memory>

class QClipboard;
class QImage;
class QMimeData;

namespace qv {

using TGraphicFactory = std::function<std::unique_ptr<TGraphic>()>;

// Makes `factory` the creator of graphics for `format`, replacing an earlier
// registration. An empty factory removes the format.
void RegisterClipboardFormat(TClipboardFormat format, TGraphicFactory factory);
void UnregisterClipboardFormat(TClipboardFormat format);
bool SupportsClipboardFormat(TClipboardFormat format);

// A new, empty graphic of the class registered for `format`, or nil.
std::unique_ptr<TGraphic> CreateGraphicForClipboardFormat(TClipboardFormat format);

// The bitmap that `mime` offers, or a null image: Qt's own image form first,
// then any image/* type Qt can decode (image/png, image/bmp, ...), for
// programs that offer only an encoded file.
QImage BitmapFromMimeData(const QMimeData* mime);

// True when the clipboard holds a bitmap and a class is registered for it.
bool CanPasteGraphic(const QClipboard* clipboard);

// Pastes the clipboard's bitmap into a new graphic of the registered class.
// Returns nil when there is nothing to paste, no class is registered, or the
// graphic could not load it; `error` (if given) receives 0 or the code: 411
// when the clipboard holds no bitmap or no class takes one, else the
// graphic's LastError.
std::unique_ptr<TGraphic> PasteGraphicFromClipboard(QClipboard* clipboard, int* error = nullptr);

// Called once at start-up: registers TQvGraphic as the class of CF_BITMAP.
// Calling it again changes nothing.
void RegisterClipboardGraphic();

} // namespace qv
