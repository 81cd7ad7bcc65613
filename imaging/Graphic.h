// The abstract graphic: anything that has a size and can draw itself onto a
// painter, and that can be exchanged with the clipboard. TQvGraphic is the
// suite's one concrete graphic; the base exists so that other drawables can be
// assigned to it and so that the clipboard table can create graphics by class.
#pragma once

#include "imaging/DibTypes.h"

#include <QString>

#include <stdexcept>

class QIODevice;
class QImage;
class QPainter;
class QRect;

namespace qv {

// Raised by the few graphic operations that report failure by exception
// rather than by LastError: saving to the clipboard, the stream operations and
// calls of operations a class does not provide. what() is the UTF-8 text.
class EGraphicError : public std::runtime_error
{
public:
    explicit EGraphicError(const QString& message);
    QString Message() const { return QString::fromUtf8(what()); }
};

// An operation that the class leaves abstract was called.
class EAbstractError : public EGraphicError
{
public:
    EAbstractError();
};

// Assign/AssignTo with a partner the class cannot convert from or to.
class EConvertError : public EGraphicError
{
public:
    EConvertError(const QString& sourceClass, const QString& destClass);
};

class TGraphic
{
public:
    TGraphic() = default;
    virtual ~TGraphic();
    TGraphic(const TGraphic&) = delete;
    TGraphic& operator=(const TGraphic&) = delete;

    virtual QString ClassName() const = 0;

    virtual bool GetEmpty() const = 0;
    virtual int GetWidth() const = 0;
    virtual int GetHeight() const = 0;
    // Resizing is not offered by the base; it raises EAbstractError.
    virtual void SetWidth(int width);
    virtual void SetHeight(int height);

    // Draws the whole graphic stretched onto `rect` of `canvas`.
    virtual void Draw(QPainter& canvas, const QRect& rect) const = 0;

    // Copies `source` into this graphic. The base asks the source to do it
    // (source->AssignTo(this)); a nil source raises EConvertError.
    virtual void Assign(const TGraphic* source);
    // Copies this graphic into `dest`. The base raises EConvertError.
    virtual void AssignTo(TGraphic* dest) const;

    // Clipboard exchange. The data of CF_BITMAP is an image; a palette may
    // accompany it. Failures of loading are the class's own business (see
    // LastError); saving raises.
    virtual void LoadFromClipboardFormat(TClipboardFormat format, const QImage* data,
                                         const TLogPalette* palette) = 0;
    virtual void SaveToClipboardFormat(TClipboardFormat& format, QImage& data,
                                       const TLogPalette*& palette) const = 0;

    virtual void LoadFromStream(QIODevice& stream) = 0;
    virtual void SaveToStream(QIODevice& stream) const = 0;

    // The code left by the last building operation; 0 after success. Classes
    // that cannot fail keep 0.
    virtual int LastError() const { return 0; }
};

} // namespace qv
