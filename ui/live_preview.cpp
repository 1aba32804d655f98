#include "ui/live_preview.h"

#include <QEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>

#include "ui/Unit1.h"
#include "ui/Unit2.h"
#include "ui/defocus_jobs.h"

namespace {

// The reduced copies the view and the depth mask have, as many as the view's zooms use.
constexpr int kReducedCopies = -PictureView::kSmallestStep / 2;

// A copy of `area` of `rows` as an image; empty without memory.
std::unique_ptr<dib24> partOf(const PixelRows& rows, const QRect& area) {
    auto part = std::make_unique<dib24>(area.width(), area.height());
    if (!part->bits) return part;
    for (int t = 0; t < area.height(); ++t)
        std::memcpy(part->row(t), rows.row(area.top() + t) + 3 * area.left(),
                    std::size_t(3) * area.width());
    return part;
}

// The largest kernel a render of these settings can paint with: its half is the margin
// whose sources can still reach the part that is shown.
int largestKernel(const TForm2& settings, int size) {
    if (!settings.depthOfFieldUsed()) return size;
    const DofSettings dof = settings.readDofSettings(nullptr);
    int largest = 1;
    for (int depth = 0; depth < 256; ++depth)
        largest = std::max(largest, dofKernelSize(std::uint8_t(depth), dof, size));
    return largest;
}

}  // namespace

// The settings' depth mask, whose pixels never change, its reduced copies, which the first
// render zoomed out makes on the worker, and the last part made of them, which the renders
// after it share while the zoom and the part shown stay. The renders take turns; a newer
// one waits for the work of one it replaced rather than starting it anew.
struct LivePreview::ReducedMask {
    explicit ReducedMask(std::shared_ptr<const dib24> depthMask) : mask(std::move(depthMask)) {}

    // On the worker: the mask's device pixels `area` at `zoom`, as the view would draw the
    // mask there. Throws std::bad_alloc when memory is short.
    std::shared_ptr<const dib24> zoomedPart(double zoom, const QRect& area) {
        std::lock_guard lock(mutex_);
        if (!copiesMade_) {
            // Within the share of memory the view's copies of the picture take.
            copies_.make(rowsOf(*mask), kReducedCopies, mask->pixelBytes() / 3);
            copiesMade_ = true;
        }
        const int copy = reducedCopyFor(zoom, copies_.count());
        part_.update(copy == 0 ? rowsOf(*mask) : copies_.copy(copy), std::ldexp(zoom, copy), zoom,
                     area);
        return part_.pixels;
    }

    const std::shared_ptr<const dib24> mask;

private:
    std::mutex mutex_;
    bool copiesMade_ = false;
    ReducedCopies copies_;
    ZoomedPart part_;
};

void LivePreview::ZoomedPart::update(const PixelRows& rows, double scale, double newZoom,
                                     const QRect& newArea) {
    if (pixels && newZoom == zoom && newArea == area) return;
    pixels.reset();  // its memory goes first
    pixels =
        zoomedImage(rows, scale, newArea.left(), newArea.top(), newArea.width(), newArea.height());
    zoom = newZoom;
    area = newArea;
}

LivePreview::LivePreview(TForm1& window) : window_(window) {
    pending_.setSingleShot(true);
    pending_.setInterval(0);
    connect(&pending_, &QTimer::timeout, this, &LivePreview::start);
    worker_.onFinished = [this](RenderResult result) { finished(std::move(result)); };
    PictureView* view = window.PaintBox1;
    // New pixels or a new zoom make the shown part wrong at once; scrolling and a resized
    // window only show more.
    connect(view, &PictureView::drawingChanged, this, [this] {
        drop();
        refresh();
    });
    connect(window.ScrollBox1->horizontalScrollBar(), &QScrollBar::valueChanged, this,
            &LivePreview::refresh);
    connect(window.ScrollBox1->verticalScrollBar(), &QScrollBar::valueChanged, this,
            &LivePreview::refresh);
    window.ScrollBox1->viewport()->installEventFilter(this);
}

bool LivePreview::eventFilter(QObject*, QEvent* event) {
    if (event->type() == QEvent::Resize) refresh();
    return false;
}

void LivePreview::setOn(bool on) {
    on_ = on;
    if (on) {
        refresh();
    } else {
        pending_.stop();
        worker_.stop();
        drop();
    }
}

void LivePreview::refresh() {
    if (on_ && !paused_) pending_.start();
}

void LivePreview::pause(bool paused) {
    paused_ = paused;
    if (paused) {
        pending_.stop();
        worker_.stop();
    } else {
        refresh();
    }
}

void LivePreview::depthMaskChanged() {
    reducedMask_.reset();
}

void LivePreview::start() {
    const TForm2* settings = window_.Form2;
    const dib24* picture = window_.currentImage.get();
    if (!on_ || paused_ || !settings || !picture || !picture->bits) return;
    PictureView& view = *window_.PaintBox1;
    int reduction = 1;
    const PixelRows rows = view.drawnRows(&reduction);
    if (!rows.top) return;
    // Where the view draws from a reduced copy, the preview renders the view's own device
    // pixels, which are fewer than the copy's, and the diaphragm, and with it every kernel,
    // shrinks by the zoom. Elsewhere it renders picture pixels.
    const double zoom = reduction > 1 ? view.zoom() : 0;
    const QRect visible = zoom > 0 ? view.visibleDevicePixels() : view.visibleRows(1);
    const QRect whole = zoom > 0 ? QRect(0, 0, zoomedExtent(picture->width, zoom),
                                         zoomedExtent(picture->height, zoom))
                                 : QRect(0, 0, rows.width, rows.height);
    if (visible.isEmpty()) return;
    const dib24& shape = *settings->diaphragms.shape;
    const int size =
        zoom > 0 ? std::max(1, static_cast<int>(std::lround(shape.width * zoom))) : shape.width;
    const int margin = largestKernel(*settings, size) / 2;
    const QRect area = visible.adjusted(-margin, -margin, margin, margin) & whole;
    const bool depthOfField = settings->depthOfFieldUsed();
    if (depthOfField && (!reducedMask_ || reducedMask_->mask != settings->depthMask))
        reducedMask_ = std::make_shared<ReducedMask>(settings->depthMask);
    RenderJob job;
    try {
        if (zoom > 0) zoomedPicture_.update(rows, zoom * reduction, zoom, area);
        // The render paints its own copy.
        std::unique_ptr<dib24> image =
            zoom > 0 ? zoomedPicture_.pixels->cropped(area.width(), area.height(), 0, 0)
                     : partOf(rows, area);
        std::unique_ptr<dib24> mask;
        if (depthOfField && zoom == 0) mask = partOf(rowsOf(*settings->depthMask), area);
        if (!image->bits || (mask && !mask->bits)) throw std::bad_alloc();
        job = renderJobOf(*settings, std::move(image), std::move(mask));
        if (zoom > 0) {
            job.shape = shape.resized(size, size);
            if (!job.shape) throw std::bad_alloc();
            job.size = size;
            if (depthOfField) {
                // The mask's part is made on the worker; the window's thread only hands
                // over the shared mask.
                job.dof = settings->readDofSettings(nullptr);
                job.makeDepthMask = [mask = reducedMask_, zoom, area] {
                    return mask->zoomedPart(zoom, area);
                };
            }
        }
    } catch (const std::bad_alloc&) {
        return shortOfMemory();
    }
    rendered_ = area;
    visible_ = visible;
    zoom_ = zoom;
    worker_.start(std::move(job));
}

void LivePreview::finished(RenderResult result) {
    if (result.stopped) return;
    if (!result.image) return shortOfMemory();
    // Only the part shown is exact: the margin around it lacks what lies beyond. (Fitted
    // to the window the view shows everything rendered, and the result is shown as it is.)
    std::unique_ptr<dib24> part = visible_ == rendered_
                                      ? std::move(result.image)
                                      : result.image->cropped(visible_.width(), visible_.height(),
                                                              visible_.left() - rendered_.left(),
                                                              visible_.top() - rendered_.top());
    if (!part->bits) return shortOfMemory();
    window_.PaintBox1->setPatch({part.get(), visible_.topLeft(), zoom_});
    shown_ = std::move(part);
    if (zoom_ > 0) {
        // The picture's pixels per pixel of the screen, rounded: the zoom is rarely a
        // whole fraction.
        window_.StatusBar1->showMessage(
            QStringLiteral("Live preview at 1:%1 (approximate)").arg(std::lround(1 / zoom_)));
        approximateText_ = true;
    } else if (approximateText_) {
        window_.StatusBar1->clearMessage();
        approximateText_ = false;
    }
}

void LivePreview::drop() {
    window_.PaintBox1->setPatch({});
    shown_.reset();
    zoomedPicture_ = {};
    if (approximateText_) window_.StatusBar1->clearMessage();
    approximateText_ = false;
}

void LivePreview::shortOfMemory() {
    worker_.stop();  // a render still going would show an older state
    drop();
    window_.StatusBar1->showMessage(QStringLiteral("Live preview needs more memory"));
}
