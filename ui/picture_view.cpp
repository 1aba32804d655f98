#include "ui/picture_view.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPalette>
#include <QScrollArea>
#include <QScrollBar>
#include <QTransform>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <new>
#include <numbers>

#include "image/dib24.h"

namespace {

// Reduced copies down to the smallest zoom: copy n serves zooms down to 1 / 2^n.
constexpr int kReducedCopies = -PictureView::kSmallestStep / 2;

// A repaint converts this many device rows at a time, so its buffer stays small.
constexpr int kBandRows = 64;

// Widget sizes are whole logical pixels; one covers `ratio` device pixels.
int logicalExtent(int deviceExtent, double ratio) {
    return static_cast<int>(std::ceil(deviceExtent / ratio - 1e-9));
}

// The pixels of a width x height grid, `perPixel` device pixels wide, that the widget's
// rectangle `logical` touches: its edges in device pixels (`ratio` per logical one),
// divided by `perPixel` and rounded outwards, then clipped to the grid.
QRect pixelsTouched(const QRect& logical, double ratio, double perPixel, int width, int height) {
    const int left =
        std::clamp(static_cast<int>(std::floor(logical.left() * ratio / perPixel)), 0, width);
    const int top =
        std::clamp(static_cast<int>(std::floor(logical.top() * ratio / perPixel)), 0, height);
    const int right = std::clamp(
        static_cast<int>(std::ceil((logical.right() + 1) * ratio / perPixel)), left, width);
    const int bottom = std::clamp(
        static_cast<int>(std::ceil((logical.bottom() + 1) * ratio / perPixel)), top, height);
    return QRect(left, top, right - left, bottom - top);
}

}  // namespace

double PictureView::zoomOfStep(int step) {
    // Even steps are whole powers of two, so 1:1, 1:2 and 2:1 are exact.
    const int halves = step >= 0 ? step / 2 : -((-step + 1) / 2);
    return std::ldexp(step % 2 == 0 ? 1.0 : std::numbers::sqrt2, halves);
}

// Not opaque: on a scaled screen the widget's last logical pixel may reach past the zoomed
// picture's last device pixel, and there the black viewport shows.
PictureView::PictureView(QWidget* parent) : QWidget(parent) {}

void PictureView::setScrollArea(QScrollArea* area) {
    area_ = area;
    // The widget has exactly the zoomed picture's size; what the viewport shows beside it
    // is black.
    area->setWidgetResizable(false);
    QWidget* viewport = area->viewport();
    QPalette black = viewport->palette();
    black.setColor(QPalette::Window, Qt::black);
    viewport->setPalette(black);
    viewport->setBackgroundRole(QPalette::Window);
    viewport->setAutoFillBackground(true);
    viewport->installEventFilter(this);
    updateSize();
}

void PictureView::setPicture(const dib24* picture) {
    picture_ = picture;
    step_ = 0;
    fitZoom_ = 0;
    wheelAngle_ = 0;
    reduced_.clear();
    reducedMade_ = false;
    updateSize();
    if (area_) {
        area_->horizontalScrollBar()->setValue(0);
        area_->verticalScrollBar()->setValue(0);
    }
    update();
    emit zoomChanged();
    emit drawingChanged();
}

void PictureView::pictureChanged() {
    // The reduced copies show the old pixels; they are made again when a zoom needs them.
    reduced_.clear();
    reducedMade_ = false;
    update();
    emit drawingChanged();
}

void PictureView::updateSize() {
    if (!picture_ || !picture_->bits) {
        resize(0, 0);
        return;
    }
    const double ratio = devicePixelRatioF();
    resize(logicalExtent(zoomedExtent(picture_->width, zoom()), ratio),
           logicalExtent(zoomedExtent(picture_->height, zoom()), ratio));
    emit drawingChanged();
}

void PictureView::setZoomStep(int step, QPointF anchor) {
    step = std::clamp(step, kSmallestStep, kLargestStep);
    if (!picture_ || !area_ || (step == step_ && fitZoom_ == 0)) return;
    // The point under the anchor, in picture pixels; after the zoom the scroll bars put it
    // under the anchor again.
    const double ratio = devicePixelRatioF();
    const QPointF inPicture = (anchor - QPointF(pos())) * ratio / zoom();
    step_ = step;
    fitZoom_ = 0;
    updateSize();
    const QPointF scrolled = inPicture * zoom() / ratio - anchor;
    area_->horizontalScrollBar()->setValue(static_cast<int>(std::lround(scrolled.x())));
    area_->verticalScrollBar()->setValue(static_cast<int>(std::lround(scrolled.y())));
    update();
    emit zoomChanged();
}

int PictureView::stepFrom(int steps) const {
    // A fitted zoom lies between step_ and the step above it.
    if (fitZoom_ > 0 && steps < 0) return step_ + 1 + steps;
    return step_ + steps;
}

void PictureView::zoomBy(int steps) {
    zoomTo(stepFrom(steps));
}

void PictureView::zoomTo(int step) {
    if (!area_) return;
    const QWidget* viewport = area_->viewport();
    setZoomStep(step, QPointF(viewport->width() / 2.0, viewport->height() / 2.0));
}

void PictureView::fitToWindow() {
    if (!picture_ || !picture_->bits || !area_) return;
    // The room the viewport has once no scroll bar is needed.
    const QSize room = area_->maximumViewportSize();
    const double ratio = devicePixelRatioF();
    auto fits = [&](double zoom) {
        return logicalExtent(zoomedExtent(picture_->width, zoom), ratio) <= room.width() &&
               logicalExtent(zoomedExtent(picture_->height, zoom), ratio) <= room.height();
    };
    double zoom =
        std::min(room.width() * ratio / picture_->width, room.height() * ratio / picture_->height);
    zoom = std::clamp(zoom, zoomOfStep(kSmallestStep), zoomOfStep(kLargestStep));
    // The quotient may round a hair above what fits.
    for (int tries = 0; tries < 8 && zoom > zoomOfStep(kSmallestStep) && !fits(zoom); ++tries)
        zoom *= 1 - 1e-12;
    // The step at or just below; a zoom that is a step's own is that step.
    int step = kLargestStep;
    while (step > kSmallestStep && zoomOfStep(step) > zoom * (1 + 1e-12)) --step;
    step_ = step;
    fitZoom_ = zoomOfStep(step) >= zoom * (1 - 1e-12) ? 0 : zoom;
    updateSize();
    area_->horizontalScrollBar()->setValue(0);
    area_->verticalScrollBar()->setValue(0);
    update();
    emit zoomChanged();
}

std::optional<QPoint> PictureView::pixelAt(QPointF point) const {
    if (!picture_ || !picture_->bits) return std::nullopt;
    // The device pixel under the point shows the picture pixel under its centre.
    const double ratio = devicePixelRatioF();
    const double column = std::floor((std::floor(point.x() * ratio) + 0.5) / zoom());
    const double row = std::floor((std::floor(point.y() * ratio) + 0.5) / zoom());
    if (column < 0 || row < 0 || column >= picture_->width || row >= picture_->height)
        return std::nullopt;
    return QPoint(static_cast<int>(column), static_cast<int>(row));
}

QRectF PictureView::areaOf(const QRect& pixels) const {
    // Device pixel d shows picture pixel floor((d + 0.5) / zoom), so picture pixel c is
    // shown from device pixel ceil(c x zoom - 0.5) on.
    const double ratio = devicePixelRatioF();
    auto start = [this](int c) { return std::ceil(c * zoom() - 0.5); };
    const double left = start(pixels.left()), top = start(pixels.top());
    return QRectF(left / ratio, top / ratio, (start(pixels.left() + pixels.width()) - left) / ratio,
                  (start(pixels.top() + pixels.height()) - top) / ratio);
}

void PictureView::setOverlay(Overlay overlay) {
    overlay_ = std::move(overlay);
    update();
}

void PictureView::setPatch(Patch patch) {
    patch_ = patch;
    update();
}

PixelRows PictureView::drawnRows(int* reduction) {
    double scale = 1;
    if (!picture_ || !picture_->bits) {
        *reduction = 1;
        return {};
    }
    return sourceRows(&scale, reduction);
}

QRect PictureView::visibleRows(int reduction) const {
    if (!picture_ || !picture_->bits || !area_) return {};
    // The viewport's part of this widget, in device pixels, then in the rows' pixels.
    const double ratio = devicePixelRatioF();
    const QRect shown = rect() & QRect(-pos(), area_->viewport()->size());
    if (shown.isEmpty()) return {};
    const double scale = zoom() * reduction;
    const int width = (picture_->width + reduction - 1) / reduction;
    const int height = (picture_->height + reduction - 1) / reduction;
    return pixelsTouched(shown, ratio, scale, width, height);
}

QRect PictureView::visibleDevicePixels() const {
    if (!picture_ || !picture_->bits || !area_) return {};
    const double ratio = devicePixelRatioF();
    const QRect shown = rect() & QRect(-pos(), area_->viewport()->size());
    if (shown.isEmpty()) return {};
    const int width = zoomedExtent(picture_->width, zoom());
    const int height = zoomedExtent(picture_->height, zoom());
    return pixelsTouched(shown, ratio, 1.0, width, height);
}

std::size_t PictureView::drawingBytes() const {
    return reduced_.bytes();
}

PixelRows PictureView::sourceRows(double* scale, int* reduction) {
    *scale = zoom();
    if (reduction) *reduction = 1;
    if (zoom() >= 1) return rowsOf(*picture_);
    // Zoomed out, the view reads a reduced copy. The copies are made once, the first time
    // a zoom needs them, and together take at most a third of the picture's memory.
    if (!reducedMade_) {
        reduced_.make(rowsOf(*picture_), kReducedCopies, picture_->pixelBytes() / 3);
        reducedMade_ = true;
    }
    const int copy = reducedCopyFor(zoom(), reduced_.count());
    if (copy == 0) return rowsOf(*picture_);
    *scale = std::ldexp(zoom(), copy);
    if (reduction) *reduction = 1 << copy;
    return reduced_.copy(copy);
}

void PictureView::paintEvent(QPaintEvent* event) {
    if (!picture_ || !picture_->bits) return;
    // Everything here counts in device pixels, so that at actual size one picture pixel
    // lands on one pixel of the screen whatever the desktop's scale.
    const double ratio = devicePixelRatioF();
    const QRect exposed = event->rect();
    const int right = zoomedExtent(picture_->width, zoom());
    const int bottom = zoomedExtent(picture_->height, zoom());
    const QRect painted = pixelsTouched(exposed, ratio, 1.0, right, bottom);
    if (painted.isEmpty()) return;
    const int x0 = painted.left(), y0 = painted.top();
    const int x1 = x0 + painted.width(), y1 = y0 + painted.height();
    const int width = x1 - x0, height = y1 - y0;

    // Only the exposed part is converted, a band of rows at a time into a buffer that lives
    // for this repaint only. Short of memory the part stays unpainted; a repaint never
    // fails.
    QImage band(width, std::min(height, kBandRows), QImage::Format_RGB32);
    if (band.isNull()) return;
    QPainter painter(this);
    painter.setWorldTransform(QTransform::fromScale(1 / ratio, 1 / ratio));
    try {
        double scale = 1;
        int reduction = 1;
        const PixelRows source = sourceRows(&scale, &reduction);
        PixelRows patch;
        double patchScale = scale;
        if (patch_.pixels && (patch_.zoom > 0 ? patch_.zoom == zoom() : reduction == 1)) {
            patch = rowsOf(*patch_.pixels);
            patch.firstColumn = patch_.origin.x();
            patch.firstRow = patch_.origin.y();
            if (patch_.zoom > 0) patchScale = 1;
        }
        // Where a patch one to one with the screen covers a whole band, the picture under
        // it would be drawn only to be painted over.
        const QRect hidden = patch.top && patchScale == 1 ? QRect(patch.firstColumn, patch.firstRow,
                                                                  patch.width, patch.height)
                                                          : QRect();
        for (int top = y0; top < y1; top += band.height()) {
            const int rows = std::min(band.height(), y1 - top);
            auto* pixels = reinterpret_cast<std::uint32_t*>(band.bits());
            if (!hidden.contains(QRect(x0, top, width, rows)))
                drawZoomed(source, scale, x0, top, width, rows, pixels, band.bytesPerLine() / 4);
            drawZoomed(patch, patchScale, x0, top, width, rows, pixels, band.bytesPerLine() / 4);
            painter.drawImage(QPoint(x0, top), band, QRect(0, 0, width, rows));
        }
    } catch (const std::bad_alloc&) {
        return;
    }
    if (overlay_) {
        const double z = zoom();
        const int left = static_cast<int>(std::floor(x0 / z));
        const int top = static_cast<int>(std::floor(y0 / z));
        const int end = std::min(picture_->width, static_cast<int>(std::ceil(x1 / z)));
        const int foot = std::min(picture_->height, static_cast<int>(std::ceil(y1 / z)));
        painter.setWorldTransform(QTransform::fromScale(z / ratio, z / ratio));
        overlay_(painter, QRect(left, top, end - left, foot - top));
    }
}

bool PictureView::wheelZoom(const QWheelEvent& wheel) {
    if (!(wheel.modifiers() & Qt::ControlModifier) || !area_) return false;
    // A notch is 120; finer wheels add up until they make a whole step.
    wheelAngle_ += wheel.angleDelta().y();
    const int steps = wheelAngle_ / 120;
    wheelAngle_ -= steps * 120;
    if (steps != 0)
        setZoomStep(stepFrom(steps), area_->viewport()->mapFromGlobal(wheel.globalPosition()));
    return true;
}

void PictureView::wheelEvent(QWheelEvent* event) {
    // Without Ctrl the event goes on to the scroll area, which scrolls.
    if (wheelZoom(*event))
        event->accept();
    else
        event->ignore();
}

bool PictureView::eventFilter(QObject* watched, QEvent* event) {
    // Over the black beside the picture the wheel reaches the viewport first.
    if (area_ && watched == area_->viewport() && event->type() == QEvent::Wheel)
        return wheelZoom(*static_cast<QWheelEvent*>(event));
    return QWidget::eventFilter(watched, event);
}
