// Drawing a dib24 into a QPainter, with the coordinates of the Windows DIB functions:
// the source origin is given from the picture's bottom-left corner, because the rows are
// stored bottom-up.

#include <QImage>
#include <QPaintDevice>
#include <QPainter>
#include <QRectF>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "image/dib24.h"
#include "ui/dib24_qt.h"

namespace {

// The part of the painter's surface that can change: its clip where it has one, otherwise
// the whole device, in the painter's logical coordinates.
QRectF paintableArea(const QPainter& dc) {
    if (dc.hasClipping()) return dc.clipBoundingRect();
    const QPaintDevice* device = dc.device();
    if (!device) return {};
    // The painter's transform includes the scale of a scaled screen. Images and pixmaps
    // give their size in device pixels; a widget gives it in logical pixels, so on a screen
    // scaled by 2 only a quarter of it would count as paintable.
    const double scale = dynamic_cast<const QWidget*>(device) ? device->devicePixelRatioF() : 1.0;
    const QRectF deviceRect(0, 0, device->width() * scale, device->height() * scale);
    bool invertible = false;
    const QTransform toLogical = dc.combinedTransform().inverted(&invertible);
    return invertible ? toLogical.mapRect(deviceRect) : QRectF();
}

}  // namespace

void draw(const dib24& image, QPainter& dc, int destX, int destY, int destWidth, int destHeight,
          int srcX, int srcY) {
    const int width = image.width, height = image.height;
    if (!image.bits || destWidth <= 0 || destHeight <= 0) return;

    // The source rectangle always has the picture's full size; its origin (srcX, srcY) is
    // counted from the bottom-left corner. Counted from the top instead, destination row
    // d (from destY) shows picture row d - srcY, and destination column d (from destX)
    // shows picture column srcX + d; both are scaled when the destination size differs.
    const double scaleX = static_cast<double>(destWidth) / width;
    const double scaleY = static_cast<double>(destHeight) / height;
    const double topRow = -static_cast<double>(srcY);  // picture row at the destination's top

    // Picture pixels that are inside the picture, inside the source rectangle, and land on
    // the area being painted. Everything else is clipped; no other pixel is converted.
    const QRectF area = paintableArea(dc);
    if (area.isEmpty()) return;
    const double firstColumn = srcX + (area.left() - destX) / scaleX;
    const double endColumn = srcX + (area.right() - destX) / scaleX;
    const double firstRow = topRow + (area.top() - destY) / scaleY;
    const double endRow = topRow + (area.bottom() - destY) / scaleY;
    const double u0 = std::max({0.0, static_cast<double>(srcX), std::floor(firstColumn)});
    const double u1 = std::min(
        {static_cast<double>(width), static_cast<double>(srcX) + width, std::ceil(endColumn)});
    const double t0 = std::max({0.0, topRow, std::floor(firstRow)});
    const double t1 = std::min({static_cast<double>(height), topRow + height, std::ceil(endRow)});
    // Written so that a NaN from a degenerate transform also ends here.
    if (!(u0 < u1) || !(t0 < t1)) return;
    const int left = static_cast<int>(u0), right = static_cast<int>(u1);
    const int top = static_cast<int>(t0), bottom = static_cast<int>(t1);

    // Only the visible pixels are converted, row by row, into the painter's native
    // 32-bit format.
    QImage visible(right - left, bottom - top, QImage::Format_RGB32);
    if (visible.isNull()) return;
    for (int t = top; t < bottom; ++t) {
        const std::uint8_t* source = image.row(t) + static_cast<std::size_t>(3) * left;
        QRgb* target = reinterpret_cast<QRgb*>(visible.scanLine(t - top));
        for (int u = left; u < right; ++u, source += 3)
            *target++ = qRgb(source[2], source[1], source[0]);
    }
    const QRectF target(destX + (left - static_cast<double>(srcX)) * scaleX,
                        destY + (top - topRow) * scaleY, (right - left) * scaleX,
                        (bottom - top) * scaleY);
    dc.drawImage(target, visible);
}
