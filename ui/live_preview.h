// The live preview: the settings window's effect on what the main view shows, rendered on
// the worker after every change and shown in place of the picture's pixels, which stay as
// they are. At actual size and zoomed in the shown part is exact; zoomed out as far as the
// view reads a reduced copy, it is what the view shows, pixel for pixel of the screen,
// rendered with the diaphragm and the depth mask reduced by the zoom alike.
#pragma once

#include <QObject>
#include <QPoint>
#include <QRect>
#include <QTimer>
#include <memory>

#include "ui/render_worker.h"
#include "ui/zoomed_drawing.h"

class TForm1;

class LivePreview : public QObject {
public:
    explicit LivePreview(TForm1& window);

    // Turned on it renders at once; turned off the view shows the picture again.
    void setOn(bool on);
    bool isOn() const { return on_; }
    // Something it shows changed: a new render starts once the events at hand are handled,
    // and the one going is abandoned.
    void refresh();
    // While a command renders no preview runs; the one going is abandoned.
    void pause(bool paused);
    // The depth mask was replaced: its reduced copies go, and are made anew when needed.
    void depthMaskChanged();

    // The rendered part the view shows, or null; whether a render is going; and whether
    // one is about to start.
    const dib24* shownPart() const { return shown_.get(); }
    bool rendering() const { return worker_.running(); }
    bool due() const { return pending_.isActive(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void start();
    void finished(RenderResult result);
    // The view shows the picture again.
    void drop();
    void shortOfMemory();

    TForm1& window_;
    RenderWorker worker_;
    QTimer pending_;
    bool on_ = false;
    bool paused_ = false;
    // Where the running render's result goes: the pixels it covers, picture pixels or the
    // view's device pixels at `zoom_` (0: picture pixels), and the part of them that the
    // view showed when it started.
    QRect rendered_, visible_;
    double zoom_ = 0;
    std::unique_ptr<dib24> shown_;
    bool approximateText_ = false;  // the status bar names the approximation

    // The device pixels `area` of rows drawn for the view's `zoom`, kept while what they
    // show stays: the next change of a setting renders the same pixels again.
    struct ZoomedPart {
        std::shared_ptr<const dib24> pixels;
        double zoom = 0;
        QRect area;
        // Draws `rows` at `scale` unless the zoom and the area are those kept. Throws
        // std::bad_alloc when memory is short.
        void update(const PixelRows& rows, double scale, double newZoom, const QRect& newArea);
    };
    ZoomedPart zoomedPicture_;
    // The depth mask, its reduced copies and its zoomed part, shared with the renders.
    struct ReducedMask;
    std::shared_ptr<ReducedMask> reducedMask_;
};
