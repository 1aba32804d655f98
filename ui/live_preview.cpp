#include "ui/live_preview.h"

#include <QEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

#include "defocus/defocus_math.h"
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
        largest = std::max(largest, defocus_math::dofKernelSize(std::uint8_t(depth), dof, size));
    return largest;
}

}  // namespace

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
    reducedMask_.clear();
    reducedMaskMade_ = false;
}

void LivePreview::start() {
    const TForm2* settings = window_.Form2;
    const dib24* picture = window_.currentImage.get();
    if (!on_ || paused_ || !settings || !picture || !picture->bits) return;
    PictureView& view = *window_.PaintBox1;
    int reduction = 1;
    const PixelRows rows = view.drawnRows(&reduction);
    const QRect visible = view.visibleRows(reduction);
    if (visible.isEmpty() || !rows.top) return;
    // Zoomed out the diaphragm shrinks with the picture, and with it every kernel.
    const dib24& shape = *settings->diaphragms.shape;
    const int size = std::max(1, static_cast<int>(std::lround(double(shape.width) / reduction)));
    const int margin = largestKernel(*settings, size) / 2;
    const QRect area =
        visible.adjusted(-margin, -margin, margin, margin) & QRect(0, 0, rows.width, rows.height);
    std::unique_ptr<dib24> image = partOf(rows, area);
    std::unique_ptr<dib24> mask;
    if (settings->depthOfFieldUsed()) {
        const PixelRows maskOf = reduction == 1 ? rowsOf(*settings->depthMask)
                                                : maskRows(*settings->depthMask, reduction);
        if (maskOf.top) mask = partOf(maskOf, area);
        if (!mask || !mask->bits) return shortOfMemory();
    }
    if (!image->bits) return shortOfMemory();
    RenderJob job;
    try {
        job = renderJobOf(*settings, std::move(image), std::move(mask));
        if (reduction > 1) {
            job.shape = shape.resized(size, size);
            if (!job.shape) throw std::bad_alloc();
            job.size = size;
        }
    } catch (const std::bad_alloc&) {
        return shortOfMemory();
    }
    rendered_ = area;
    visible_ = visible;
    reduction_ = reduction;
    worker_.start(std::move(job));
}

void LivePreview::finished(RenderResult result) {
    if (result.stopped) return;
    if (!result.image) return shortOfMemory();
    // Only the part shown is exact: the margin around it lacks what lies beyond.
    std::unique_ptr<dib24> part =
        result.image->cropped(visible_.width(), visible_.height(),
                              visible_.left() - rendered_.left(), visible_.top() - rendered_.top());
    if (!part->bits) return shortOfMemory();
    window_.PaintBox1->setPatch({part.get(), visible_.topLeft(), reduction_});
    shown_ = std::move(part);
    if (reduction_ > 1) {
        window_.StatusBar1->showMessage(
            QStringLiteral("Live preview at 1:%1 (approximate)").arg(reduction_));
        approximateText_ = true;
    } else if (approximateText_) {
        window_.StatusBar1->clearMessage();
        approximateText_ = false;
    }
}

void LivePreview::drop() {
    window_.PaintBox1->setPatch({});
    shown_.reset();
    if (approximateText_) window_.StatusBar1->clearMessage();
    approximateText_ = false;
}

void LivePreview::shortOfMemory() {
    worker_.stop();  // a render still going would show an older state
    drop();
    window_.StatusBar1->showMessage(QStringLiteral("Live preview needs more memory"));
}

PixelRows LivePreview::maskRows(const dib24& mask, int reduction) {
    if (!reducedMaskMade_) {
        // Made like the view's copies of the picture, within the same share of memory.
        reducedMask_.make(rowsOf(mask), kReducedCopies, mask.pixelBytes() / 3);
        reducedMaskMade_ = true;
    }
    const int copy = std::countr_zero(unsigned(reduction));
    if (copy > reducedMask_.count()) return {};
    return reducedMask_.copy(copy);
}
