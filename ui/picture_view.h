// The main window's picture view: the displayed picture at a zoom from 1:32 to 16:1 inside
// a scroll area that covers exactly the zoomed picture. The widget itself is the zoomed
// picture: its top-left corner is the picture's, and scrolling moves it in the scroll
// area's viewport.
#pragma once

#include <QPointF>
#include <QRect>
#include <QRectF>
#include <QWidget>
#include <cstddef>
#include <functional>
#include <optional>

#include "ui/zoomed_drawing.h"

class QPainter;
class QScrollArea;
class dib24;

class PictureView : public QWidget {
    Q_OBJECT

public:
    // Zoom steps are factors of the square root of 2, from 1:32 to 16:1; step 0 is actual
    // size, where one picture pixel covers one device pixel of the screen.
    static constexpr int kSmallestStep = -10;
    static constexpr int kLargestStep = 8;
    // Device pixels per picture pixel at `step`: 2^(step / 2), exact at even steps.
    static double zoomOfStep(int step);

    explicit PictureView(QWidget* parent = nullptr);

    // Shows the view in `area`, whose viewport becomes black around the picture; the mouse
    // wheel with Ctrl held zooms about the pointer there.
    void setScrollArea(QScrollArea* area);

    // The picture to show, not owned (null: none). It is shown at actual size from its
    // top-left corner.
    void setPicture(const dib24* picture);
    // The shown picture's pixels changed in place (its size did not): it is drawn anew.
    void pictureChanged();

    // The step shown, or after Fit the step just below the fitted zoom.
    int zoomStep() const { return step_; }
    double zoom() const { return fitZoom_ > 0 ? fitZoom_ : zoomOfStep(step_); }
    // Zooms to `step` (limited to the steps there are), keeping the point of the picture
    // under `anchor` (in the viewport's coordinates) where it is.
    void setZoomStep(int step, QPointF anchor);
    // Zooms to `step` about the middle of the viewport.
    void zoomTo(int step);
    // Zooms `steps` steps in (above 0) or out about the middle; from a fitted zoom the
    // neighbouring steps are the first ones.
    void zoomBy(int steps);
    // Shows the whole picture as large as the viewport allows without scroll bars, at
    // exactly that zoom (within the steps' range).
    void fitToWindow();

    // The picture pixel (column, row counted from the top-left) shown at `point` of this
    // widget, at any zoom and scroll position; none where the point is off the picture.
    std::optional<QPoint> pixelAt(QPointF point) const;
    // The part of this widget where the picture pixels `pixels` are shown.
    QRectF areaOf(const QRect& pixels) const;

    // Drawn over the picture at every repaint, on the picture only, never into the picture
    // itself. `painter` measures in picture pixels (one unit is one picture pixel, the
    // origin its top-left corner) and clips to the part being repainted; `pixels` are the
    // picture pixels that part shows.
    using Overlay = std::function<void(QPainter& painter, const QRect& pixels)>;
    // An empty overlay removes it. The view repaints.
    void setOverlay(Overlay overlay);

    // A rendered part shown in place of the picture's pixels, under the overlay: `pixels`
    // (not owned) from pixel `origin` on. With `zoom` 0 they are picture pixels, drawn while
    // the view draws from the picture itself; otherwise they are the view's device pixels
    // at that zoom, counted from the zoomed picture's top-left, drawn one to one while the
    // view has that zoom. Null pixels: none. The view repaints.
    struct Patch {
        const dib24* pixels = nullptr;
        QPoint origin;
        double zoom = 0;
    };
    void setPatch(Patch patch);
    // The rows the view draws from at its zoom, and their reduction (1: the picture, 2, 4,
    // ...: its reduced copies).
    PixelRows drawnRows(int* reduction);
    // The pixels of those rows that the viewport shows; empty without a picture.
    QRect visibleRows(int reduction) const;
    // The device pixels of the zoomed picture that the viewport shows; empty without one.
    QRect visibleDevicePixels() const;

    // Memory that drawing holds beside the picture between repaints: the reduced copies,
    // at most a third of the picture's. (A repaint converts through a buffer of 64 rows of
    // the view, which it frees again.)
    std::size_t drawingBytes() const;

signals:
    // The zoom or the picture changed.
    void zoomChanged();
    // The picture, its pixels or the zoom changed.
    void drawingChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Resizes the widget to the zoomed picture; the scroll area follows.
    void updateSize();
    // Zooms by the turn of the wheel when Ctrl is held; false when it is not.
    bool wheelZoom(const QWheelEvent& wheel);
    // The rows to draw from at the current zoom, the picture's or a reduced copy's, and the
    // scale from those rows to device pixels.
    PixelRows sourceRows(double* scale, int* reduction = nullptr);

    const dib24* picture_ = nullptr;
    // The step `steps` steps away from the zoom shown.
    int stepFrom(int steps) const;

    int step_ = 0;
    double fitZoom_ = 0;  // the zoom that Fit chose between two steps; 0: the step's
    QScrollArea* area_ = nullptr;
    ReducedCopies reduced_;
    bool reducedMade_ = false;  // made, or tried, for the picture's present pixels
    Overlay overlay_;
    Patch patch_;
    int wheelAngle_ = 0;  // wheel turn, in eighths of a degree, not yet a zoom step
};
