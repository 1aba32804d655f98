// The live preview: the settings window's effect on what the main view shows, rendered on
// the worker after every change and shown in place of the picture's pixels, which stay as
// they are. At actual size and zoomed in the shown part is exact; zoomed out it is the
// view's reduced copy rendered with the diaphragm and the depth mask reduced alike.
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
    // The depth mask was replaced: its reduced copies are made anew when needed.
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
    // The rows of the depth mask at `reduction`, made once per mask; empty without memory.
    PixelRows maskRows(const dib24& mask, int reduction);

    TForm1& window_;
    RenderWorker worker_;
    QTimer pending_;
    bool on_ = false;
    bool paused_ = false;
    // Where the running render's result goes: the rows it covers at its reduction, and the
    // part of them that the view showed when it started.
    QRect rendered_, visible_;
    int reduction_ = 1;
    std::unique_ptr<dib24> shown_;
    bool approximateText_ = false;  // the status bar names the approximation
    bool reducedMaskMade_ = false;
    ReducedCopies reducedMask_;
};
