// The Qt side of dib24: drawing into a painter, and the system clipboard. Apart from
// image/dib24.h so that the image library knows no Qt.
#pragma once

#include <string>

class QPainter;
class QWidget;
class dib24;

// Copies `image` into the painter with the coordinates of the Windows DIB functions: the
// source origin (srcX, srcY) is counted from the picture's bottom-left corner. Nothing is
// drawn for an empty image.
void draw(const dib24& image, QPainter& dc, int destX, int destY, int destWidth, int destHeight,
          int srcX, int srcY);

// Puts `image` on the clipboard. False for an empty image or when the clipboard refuses it.
bool copyToClipboard(const dib24& image, QWidget* owner);
// Replaces `image` by the picture on the clipboard; false leaves it as it was. `whyNot`,
// when given, receives the reason a picture file on the clipboard was refused.
bool pasteFromClipboard(dib24& image, QWidget* owner, std::string* whyNot = nullptr);
