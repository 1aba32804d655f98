#include "ui/zoomed_drawing.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

namespace {

std::uint32_t screenPixel(const std::uint8_t* bgr) {
    return 0xff000000u | std::uint32_t{bgr[2]} << 16 | std::uint32_t{bgr[1]} << 8 | bgr[0];
}

// Writes the half-size copy of `from` (width x height pixels, rows top-down) into `to`.
// Each pair of rows is first added into `sums`, which vectorises; the pairs of columns of
// those sums then give the averages, rounded to nearest. A lone last row counts twice and
// a lone last column alone, which is the average of the pixels that are there.
void halve(const PixelRows& from, std::uint8_t* to, int width, int height, std::uint16_t* sums) {
    const int bytes = 3 * from.width;
    const int pairs = from.width / 2;
    for (int t = 0; t < height; ++t) {
        const std::uint8_t* a = from.row(2 * t);
        const std::uint8_t* b = 2 * t + 1 < from.height ? from.row(2 * t + 1) : a;
        for (int i = 0; i < bytes; ++i) sums[i] = static_cast<std::uint16_t>(a[i] + b[i]);
        std::uint8_t* out = to + static_cast<std::size_t>(t) * 3 * width;
        for (int x = 0; x < pairs; ++x)
            for (int c = 0; c < 3; ++c)
                out[3 * x + c] =
                    static_cast<std::uint8_t>((sums[6 * x + c] + sums[6 * x + 3 + c] + 2) >> 2);
        if (pairs < width)
            for (int c = 0; c < 3; ++c)
                out[3 * pairs + c] = static_cast<std::uint8_t>((sums[6 * pairs + c] + 1) >> 1);
    }
}

// Weights are fixed-point numbers that add up to 2^bits for every output pixel. Rows are
// summed first with 8-bit weights into 16-bit sums (255 x 256 fits), which the vector units
// multiply fast; those sums are then summed along the row with 12-bit weights, whose
// largest total, 255 x 256 x 4096 plus rounding, fits 32 bits. Both sums are exact for a
// plain colour.
constexpr int kRowWeightBits = 8;
constexpr int kColumnWeightBits = 12;

// For consecutive output pixels along one axis, the source pixels each one covers and how
// much of each: output pixel i takes source pixels first[i] ... first[i] + taps - 1 with
// weights weights[i * taps ...], which add up to 2^bits. Windows with fewer pixels
// than `taps` end in weights of 0, which may lie past the source's end.
struct Windows {
    int taps = 0;
    std::vector<int> first;
    std::vector<std::uint32_t> weights;
};

// The windows of output pixels begin ... begin + n - 1 at `scale` (below 1) over a source
// of `extent` pixels. Output pixel i covers the source interval [i / scale, (i + 1) /
// scale); the last one, which reaches past the source's end, takes as long an interval
// ending there, so that it too shows an average rather than a sliver of one pixel. Each
// source pixel weighs with the part of the interval it holds, and the rounding error goes
// to the heaviest one. A source that holds the whole's pixels from `origin` on counts its
// pixels from there.
Windows windowsOf(int begin, int n, double scale, int extent, int bits, int origin = 0) {
    const std::uint32_t weightSum = 1u << bits;
    Windows w;
    w.first.resize(n);
    // An interval of length 1 / scale touches at most this many pixels.
    w.taps = std::min(extent, static_cast<int>(std::ceil(1 / scale)) + 1);
    w.weights.assign(static_cast<std::size_t>(n) * w.taps, 0);
    for (int i = 0; i < n; ++i) {
        const double b = std::min((begin + i + 1) / scale - origin, static_cast<double>(extent));
        const double a =
            std::clamp(std::min((begin + i) / scale - origin, b - 1 / scale), 0.0, extent - 0.5);
        const int first = static_cast<int>(a);
        const int end =
            std::clamp(static_cast<int>(std::ceil(b)), first + 1, std::min(extent, first + w.taps));
        w.first[i] = first;
        std::uint32_t* weights = &w.weights[static_cast<std::size_t>(i) * w.taps];
        std::uint32_t total = 0;
        int heaviest = 0;
        for (int j = first; j < end; ++j) {
            const double part =
                (std::min(b, j + 1.0) - std::max(a, static_cast<double>(j))) / (b - a);
            const auto weight =
                static_cast<std::uint32_t>(std::lround(std::max(part, 0.0) * weightSum));
            weights[j - first] = weight;
            if (weight > weights[heaviest]) heaviest = j - first;
            total += weight;
        }
        // Unsigned arithmetic: a total above the sum takes the excess off the heaviest.
        weights[heaviest] += weightSum - total;
    }
    return w;
}

constexpr int kShift = kRowWeightBits + kColumnWeightBits;
constexpr std::uint32_t kHalf = 1u << (kShift - 1);

std::uint32_t averagePixel(std::uint32_t blue, std::uint32_t green, std::uint32_t red) {
    return 0xff000000u | (red >> kShift) << 16 | (green >> kShift) << 8 | blue >> kShift;
}

// The weighted sums of the columns of one row of `sums` (3 values a pixel) into `row`.
// TAPS is the number of pixels each window has, or 0 for any number.
template <int TAPS>
void sumColumns(const Windows& columns, int spanFirst, const std::uint16_t* sums, int width,
                std::uint32_t* row) {
    const int taps = TAPS > 0 ? TAPS : columns.taps;
    for (int x = 0; x < width; ++x) {
        const std::uint16_t* from = sums + 3 * (columns.first[x] - spanFirst);
        const std::uint32_t* weights = &columns.weights[static_cast<std::size_t>(x) * taps];
        std::uint32_t blue = kHalf, green = kHalf, red = kHalf;
        for (int k = 0; k < taps; ++k) {
            blue += weights[k] * from[3 * k];
            green += weights[k] * from[3 * k + 1];
            red += weights[k] * from[3 * k + 2];
        }
        row[x] = averagePixel(blue, green, red);
    }
}

void drawAveraged(const PixelRows& source, double scale, int left, int top, int width, int height,
                  std::uint32_t* out, std::ptrdiff_t outStride) {
    const Windows columns =
        windowsOf(left, width, scale, source.width, kColumnWeightBits, source.firstColumn);
    const Windows rows =
        windowsOf(top, height, scale, source.height, kRowWeightBits, source.firstRow);
    // The source columns that this rectangle reads, and their rows summed with the
    // weights of one output row; windows that end in weights of 0 read zeros past it.
    const int spanFirst = columns.first[0];
    const int spanBytes =
        3 * (std::min(source.width, columns.first[width - 1] + columns.taps) - spanFirst);
    std::vector<std::uint16_t> sums(static_cast<std::size_t>(spanBytes) + 3 * columns.taps, 0);
    for (int y = 0; y < height; ++y) {
        const std::uint32_t* rowWeights = &rows.weights[static_cast<std::size_t>(y) * rows.taps];
        for (int k = 0; k < rows.taps; ++k) {
            const auto weight = static_cast<std::uint16_t>(rowWeights[k]);
            if (k > 0 && weight == 0) continue;
            const std::uint8_t* pixels = source.row(rows.first[y] + k) + 3 * spanFirst;
            if (k == 0) {
                for (int i = 0; i < spanBytes; ++i)
                    sums[i] = static_cast<std::uint16_t>(weight * pixels[i]);
            } else {
                for (int i = 0; i < spanBytes; ++i)
                    sums[i] = static_cast<std::uint16_t>(sums[i] + weight * pixels[i]);
            }
        }
        std::uint32_t* row = out + y * outStride;
        // Zoomed out through the reduced copies a window has two or three pixels; fixed
        // counts let the compiler unroll the sums.
        if (columns.taps == 2)
            sumColumns<2>(columns, spanFirst, sums.data(), width, row);
        else if (columns.taps == 3)
            sumColumns<3>(columns, spanFirst, sums.data(), width, row);
        else
            sumColumns<0>(columns, spanFirst, sums.data(), width, row);
    }
}

// The output pixels begin + from ... begin + to - 1 of n whose source pixel, under the
// centre or at the start of the output pixel, lies in `first` ... `first` + extent - 1.
std::pair<int, int> shownPart(int begin, int n, double scale, bool centre, int first, int extent) {
    const double offset = centre ? 0.5 : 0.0;
    auto inside = [&](int i) {
        const int pixel = static_cast<int>((begin + i + offset) / scale);
        return pixel >= first && pixel < first + extent;
    };
    int from = 0;
    while (from < n && !inside(from)) ++from;
    int to = from;
    while (to < n && inside(to)) ++to;
    return {from, to};
}

}  // namespace

int zoomedExtent(int extent, double scale) {
    if (extent <= 0) return 0;
    // The small allowance keeps exact products (whole powers of two) from rounding up.
    return std::max(1, static_cast<int>(std::ceil(extent * scale - 1e-9)));
}

int reducedCopyFor(double zoom, int count) {
    if (zoom >= 1) return 0;
    return std::min(static_cast<int>(std::floor(-std::log2(zoom) + 1e-9)), count);
}

void ReducedCopies::make(const PixelRows& picture, int count, std::size_t byteBudget) {
    clear();
    if (!picture.top) return;
    try {
        copies_.reserve(static_cast<std::size_t>(std::max(count, 0)));
        std::vector<std::uint16_t> sums(static_cast<std::size_t>(3) * picture.width);
        PixelRows from = picture;
        std::size_t used = 0;
        while (this->count() < count && (from.width > 1 || from.height > 1)) {
            Copy next;
            next.width = (from.width + 1) / 2;
            next.height = (from.height + 1) / 2;
            const std::size_t bytes =
                static_cast<std::size_t>(3) * next.width * static_cast<std::size_t>(next.height);
            if (bytes > byteBudget - used) break;
            next.pixels.reset(new (std::nothrow) std::uint8_t[bytes]);
            if (!next.pixels) break;
            halve(from, next.pixels.get(), next.width, next.height, sums.data());
            copies_.push_back(std::move(next));
            used += bytes;
            from = copy(this->count());
        }
    } catch (const std::bad_alloc&) {
        // The copies made so far are complete and stay; the view reads the last of them.
    }
}

void ReducedCopies::clear() {
    copies_.clear();
}

PixelRows ReducedCopies::copy(int n) const {
    const Copy& c = copies_.at(static_cast<std::size_t>(n - 1));
    return PixelRows{c.pixels.get(), static_cast<std::ptrdiff_t>(3) * c.width, c.width, c.height};
}

std::size_t ReducedCopies::bytes() const {
    std::size_t total = 0;
    for (const Copy& c : copies_)
        total += static_cast<std::size_t>(3) * c.width * static_cast<std::size_t>(c.height);
    return total;
}

void drawZoomed(const PixelRows& source, double scale, int left, int top, int width, int height,
                std::uint32_t* out, std::ptrdiff_t outStride) {
    if (!source.top || !(scale > 0) || left < 0 || top < 0) return;
    width = std::min(width, zoomedExtent(source.firstColumn + source.width, scale) - left);
    height = std::min(height, zoomedExtent(source.firstRow + source.height, scale) - top);
    if (width <= 0 || height <= 0) return;
    if (source.firstColumn > 0 || source.firstRow > 0) {
        // A part of the picture: the output pixels it shows, drawn as from the whole.
        const auto [x0, x1] =
            shownPart(left, width, scale, scale >= 1, source.firstColumn, source.width);
        const auto [y0, y1] =
            shownPart(top, height, scale, scale >= 1, source.firstRow, source.height);
        if (x0 >= x1 || y0 >= y1) return;
        out += y0 * outStride + x0;
        left += x0;
        top += y0;
        width = x1 - x0;
        height = y1 - y0;
    }
    if (scale >= 1)
        drawNearestWith(source, scale, left, top, width, height, out, outStride, screenPixel);
    else
        drawAveraged(source, scale, left, top, width, height, out, outStride);
}

std::unique_ptr<dib24> zoomedImage(const PixelRows& source, double scale, int left, int top,
                                   int width, int height) {
    auto image = std::make_unique<dib24>(width, height);
    if (!image->bits) throw std::bad_alloc();
    // Drawn a band of rows at a time, then narrowed from screen pixels to 3 bytes.
    constexpr int kBand = 64;
    std::vector<std::uint32_t> band(static_cast<std::size_t>(width) * std::min(height, kBand));
    for (int y = 0; y < height; y += kBand) {
        const int rows = std::min(kBand, height - y);
        drawZoomed(source, scale, left, top + y, width, rows, band.data(), width);
        for (int t = 0; t < rows; ++t) {
            const std::uint32_t* from = band.data() + static_cast<std::ptrdiff_t>(t) * width;
            std::uint8_t* to = image->row(y + t);
            for (int x = 0; x < width; ++x) {
                to[3 * x] = static_cast<std::uint8_t>(from[x]);
                to[3 * x + 1] = static_cast<std::uint8_t>(from[x] >> 8);
                to[3 * x + 2] = static_cast<std::uint8_t>(from[x] >> 16);
            }
        }
    }
    return image;
}
