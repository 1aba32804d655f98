#include "ui/focus_area.h"

#include <QImage>
#include <QPainter>
#include <QRect>
#include <QTransform>
#include <algorithm>
#include <array>
#include <cmath>
#include <new>

#include "image/dib24.h"
#include "ui/picture_view.h"
#include "ui/zoomed_drawing.h"

namespace {

// A repaint converts this many rows at a time, so its buffer stays small.
constexpr int kBandRows = 64;

// Zoomed out, every output pixel looks at this many points along each axis.
constexpr int kPoints = 2;

// Samples down to the smallest zoom of the view, 1 / 32: there an output pixel covers
// 32 mask pixels, 2 pixels of sample 4.
constexpr int kSampleCount = 4;

// The in-focus test as a table of 0 and 1, which the loops add up.
std::array<std::uint8_t, 256> tableOf(const std::bitset<256>& inFocus) {
    std::array<std::uint8_t, 256> table{};
    for (int m = 0; m < 256; ++m) table[m] = inFocus[m] ? 1 : 0;
    return table;
}

// `tint` with every premultiplied channel (alpha included) scaled by part / whole.
std::uint32_t scaledTint(std::uint32_t tint, int part, int whole) {
    std::uint32_t scaled = 0;
    for (int shift = 0; shift < 32; shift += 8)
        scaled |= ((tint >> shift & 0xffu) * part / whole) << shift;
    return scaled;
}

// The kPoints points along one axis that output pixel i looks at: spread evenly over the
// interval [i / scale, (i + 1) / scale) it covers, the last ones kept inside the depths.
void pointsOf(int i, double scale, int extent, int* points) {
    for (int k = 0; k < kPoints; ++k)
        points[k] = std::min(static_cast<int>((i + (k + 0.5) / kPoints) / scale), extent - 1);
}

void tintAveraged(const PixelRows& depths, const std::array<std::uint8_t, 256>& inFocus,
                  double scale, int left, int top, int width, int height, std::uint32_t tint,
                  std::uint32_t* out, std::ptrdiff_t outStride) {
    static_assert(kPoints == 2, "the loop below adds up 2 x 2 points");
    std::array<std::uint32_t, kPoints * kPoints + 1> shades{};
    for (int k = 0; k < static_cast<int>(shades.size()); ++k)
        shades[k] = scaledTint(tint, k, kPoints * kPoints);
    std::vector<int> columns(static_cast<std::size_t>(kPoints) * width);
    for (int x = 0; x < width; ++x) {
        int* points = &columns[static_cast<std::size_t>(kPoints) * x];
        pointsOf(left + x, scale, depths.width, points);
        for (int k = 0; k < kPoints; ++k) points[k] *= depths.pixelStep;
    }
    for (int y = 0; y < height; ++y) {
        int rows[kPoints];
        pointsOf(top + y, scale, depths.height, rows);
        const std::uint8_t* a = depths.row(rows[0]);
        const std::uint8_t* b = depths.row(rows[1]);
        std::uint32_t* row = out + y * outStride;
        for (int x = 0; x < width; ++x) {
            const int c0 = columns[2 * x], c1 = columns[2 * x + 1];
            row[x] = shades[inFocus[a[c0]] + inFocus[a[c1]] + inFocus[b[c0]] + inFocus[b[c1]]];
        }
    }
}

}  // namespace

void drawFocusTint(const PixelRows& depths, const std::bitset<256>& inFocus, double scale, int left,
                   int top, int width, int height, std::uint32_t tint, std::uint32_t* out,
                   std::ptrdiff_t outStride) {
    if (!depths.top || !(scale > 0) || left < 0 || top < 0) return;
    width = std::min(width, zoomedExtent(depths.width, scale) - left);
    height = std::min(height, zoomedExtent(depths.height, scale) - top);
    if (width <= 0 || height <= 0) return;
    const std::array<std::uint8_t, 256> table = tableOf(inFocus);
    if (scale >= 1) {
        const std::uint32_t shades[2] = {0, tint};
        drawNearestWith(depths, scale, left, top, width, height, out, outStride,
                        [&](const std::uint8_t* depth) { return shades[table[*depth]]; });
    } else {
        tintAveraged(depths, table, scale, left, top, width, height, tint, out, outStride);
    }
}

void DepthSamples::make(const dib24& mask, int count) {
    clear();
    PixelRows from = rowsOf(mask);
    if (!from.top) return;
    while (this->count() < count && (from.width > 1 || from.height > 1)) {
        Plane next;
        next.width = (from.width + 1) / 2;
        next.height = (from.height + 1) / 2;
        next.bytes.reset(new (std::nothrow)
                             std::uint8_t[static_cast<std::size_t>(next.width) * next.height]);
        if (!next.bytes) return;
        // Each pixel of a 2 x 2 block's: the lower right one (where there is one) for the
        // first sample, then alternately the upper left and the lower right, which keeps
        // every sample's pixel near the middle of the block it stands for (within a fifth
        // of its side).
        const int pick = this->count() % 2 == 0 ? 1 : 0;
        for (int j = 0; j < next.height; ++j) {
            const std::uint8_t* source = from.row(std::min(2 * j + pick, from.height - 1));
            std::uint8_t* to = next.bytes.get() + static_cast<std::size_t>(j) * next.width;
            for (int i = 0; i < next.width; ++i)
                to[i] = source[from.pixelStep * std::min(2 * i + pick, from.width - 1)];
        }
        try {
            samples_.push_back(std::move(next));
        } catch (const std::bad_alloc&) {
            return;
        }
        from = samples(this->count());
    }
}

PixelRows DepthSamples::samples(int n) const {
    const Plane& plane = samples_.at(static_cast<std::size_t>(n - 1));
    return PixelRows{.top = plane.bytes.get(),
                     .rowStep = plane.width,
                     .width = plane.width,
                     .height = plane.height,
                     .pixelStep = 1};
}

std::size_t DepthSamples::bytes() const {
    std::size_t total = 0;
    for (const Plane& plane : samples_)
        total += static_cast<std::size_t>(plane.width) * plane.height;
    return total;
}

void FocusArea::setMask(const dib24* mask) {
    mask_ = mask;
    samples_.clear();
    samplesMade_ = false;
}

void FocusArea::paint(QPainter& painter, double scale, const QRect& area, QPoint at) {
    if (!mask_ || !mask_->bits || !(scale > 0)) return;
    // Only the part of the area that the zoomed mask covers; the rest stays untouched.
    const QRect covered = area.intersected(
        QRect(0, 0, zoomedExtent(mask_->width, scale), zoomedExtent(mask_->height, scale)));
    if (covered.isEmpty()) return;
    at += covered.topLeft() - area.topLeft();

    // Zoomed out by more than 2, the smallest samples that an output pixel still covers
    // more than one pixel of, so that its 2 x 2 points mostly meet different depths; made
    // once, the first time a zoom needs them.
    PixelRows depths = rowsOf(*mask_);
    double sampleScale = scale;
    int n = 0;
    while (n < kSampleCount && sampleScale * 2 < 1) {
        sampleScale *= 2;
        ++n;
    }
    if (n > 0) {
        if (!samplesMade_) {
            samples_.make(*mask_, kSampleCount);
            samplesMade_ = true;
        }
        n = std::min(n, samples_.count());
        if (n > 0) depths = samples_.samples(n);
        sampleScale = std::ldexp(scale, n);
    }

    QImage band(covered.width(), std::min(covered.height(), kBandRows),
                QImage::Format_ARGB32_Premultiplied);
    if (band.isNull()) return;
    try {
        for (int y = 0; y < covered.height(); y += band.height()) {
            const int rows = std::min(band.height(), covered.height() - y);
            // A sample's zoomed size may round up past the mask's by a pixel; that pixel
            // must not stay unwritten.
            band.fill(0);
            drawFocusTint(depths, inFocus_, sampleScale, covered.left(), covered.top() + y,
                          covered.width(), rows, kFocusTint,
                          reinterpret_cast<std::uint32_t*>(band.bits()), band.bytesPerLine() / 4);
            painter.drawImage(at + QPoint(0, y), band, QRect(0, 0, covered.width(), rows));
        }
    } catch (const std::bad_alloc&) {
        // The bands drawn so far stay; a repaint never fails.
    }
}

void FocusArea::paintOnView(QPainter& painter, const PictureView& view, const QRect& pixels) {
    // The device pixels that show the picture pixels being repainted (a little more at the
    // edges where they are cut; the repainted region clips that away).
    const double zoom = view.zoom();
    const int left = static_cast<int>(std::floor(pixels.left() * zoom));
    const int top = static_cast<int>(std::floor(pixels.top() * zoom));
    const int right = static_cast<int>(std::ceil((pixels.left() + pixels.width()) * zoom));
    const int bottom = static_cast<int>(std::ceil((pixels.top() + pixels.height()) * zoom));
    const QRect device(left, top, right - left, bottom - top);
    const double ratio = view.devicePixelRatioF();
    painter.save();
    painter.setWorldTransform(QTransform::fromScale(1 / ratio, 1 / ratio));
    paint(painter, zoom, device, device.topLeft());
    painter.restore();
}
