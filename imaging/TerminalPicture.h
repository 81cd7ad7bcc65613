// The picture shown by the program's picture window: a 546 x 330 JPEG that is
// built into the program (imaging/pictures/terminal-picture.jpg, compiled in
// as the Qt resource ":/vh/terminal-picture.jpg").
#pragma once

#include "imaging/JpegDecoder.h"

namespace qv {

constexpr int kTerminalPictureWidth = 546;
constexpr int kTerminalPictureHeight = 330;

// The stored JPEG file, byte for byte.
QByteArray TerminalPictureJpeg();

// The stored picture decoded; the image is 546 x 330 RGB888.
JpegDecodeResult LoadTerminalPicture();

} // namespace qv
