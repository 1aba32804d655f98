// Resizing: one pass changes the width, a second the height. A shrinking pass averages
// the source area each output pixel covers; a growing pass interpolates linearly between
// the two nearest source pixels. Positions count from the left edge and, for heights, in
// memory rows, that is from the picture's bottom edge.
//
// The arithmetic stays in the order written here: the diaphragm kernels are made by these
// passes, and every renderer must see byte-identical kernels.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "image/dib24.h"

namespace {

// Output values are limited to 0 ... 255 and cut toward zero; never rounded to nearest.
std::uint8_t toByte(double v) {
    if (v >= 255.0) return 255;
    if (v > 0.0) return static_cast<std::uint8_t>(v);
    return 0;
}

// The source pixels one shrunk output pixel averages, and their weights, in source order.
struct Span {
    std::int64_t first = 0;
    std::vector<double> weights;
    double total = 0.0;  // sum of the weights, added in the same order
};

// Output pixel j covers the source span j / s ... (j + 1) / s, with s = newSize / oldSize
// below 1. The first and last source pixels count with the part of them inside the span,
// those between fully; the last output pixel's span is cut at the last source pixel.
std::vector<Span> shrinkSpans(std::int64_t oldSize, std::int64_t newSize) {
    const double s = static_cast<double>(newSize) / static_cast<double>(oldSize);
    std::vector<Span> spans(static_cast<std::size_t>(newSize));
    for (std::int64_t j = 0; j < newSize; ++j) {
        const double x0 = j / s;
        const double x1 = (j + 1) / s;
        const std::int64_t a = static_cast<std::int64_t>(std::floor(x0));
        const std::int64_t b = std::min(static_cast<std::int64_t>(std::floor(x1)), oldSize - 1);
        Span& span = spans[static_cast<std::size_t>(j)];
        span.first = a;
        if (a >= b) {
            // Only reachable through rounding at enormous sizes: the span then lies
            // within one source pixel, which is copied.
            span.first = std::min(a, oldSize - 1);
            span.weights = {1.0};
            span.total = 1.0;
            continue;
        }
        for (std::int64_t k = a; k <= b; ++k) {
            const double w = k == a ? a + 1 - x0 : k == b ? x1 - b : 1.0;
            span.weights.push_back(w);
            span.total += w;
        }
    }
    return spans;
}

// The two source pixels a grown output pixel interpolates between, and the share t of
// the second.
struct Tap {
    std::int64_t a = 0;
    std::int64_t b = 0;
    double t = 0.0;
};

// Output pixel j sits at source position j / s (its left edge, no half-pixel centring),
// s = newSize / oldSize at least 1. At the last source pixel there is nothing to the
// right, and that pixel is repeated.
std::vector<Tap> stretchTaps(std::int64_t oldSize, std::int64_t newSize) {
    const double s = static_cast<double>(newSize) / static_cast<double>(oldSize);
    std::vector<Tap> taps(static_cast<std::size_t>(newSize));
    for (std::int64_t j = 0; j < newSize; ++j) {
        const double x = j / s;
        Tap& tap = taps[static_cast<std::size_t>(j)];
        tap.a = std::min(static_cast<std::int64_t>(std::floor(x)), oldSize - 1);
        tap.b = std::min(tap.a + 1, oldSize - 1);
        tap.t = tap.a == tap.b ? 1.0 : x - tap.a;
    }
    return taps;
}

// A new image, or null when it cannot be allocated.
std::unique_ptr<dib24> allocate(int width, int height) {
    auto image = std::make_unique<dib24>(width, height);
    if (!image->bits) return nullptr;
    return image;
}

double average(const std::uint8_t* first, std::int64_t step, const Span& span) {
    double sum = 0.0;
    for (std::size_t i = 0; i < span.weights.size(); ++i)
        sum += span.weights[i] * first[static_cast<std::int64_t>(i) * step];
    return sum / span.total;
}

double interpolate(const std::uint8_t* line, std::int64_t step, const Tap& tap) {
    return line[tap.a * step] * (1 - tap.t) + line[tap.b * step] * tap.t;
}

}  // namespace

std::unique_ptr<dib24> dib24::resized(int newWidth, int newHeight) const {
    if (newWidth < 1 || newHeight < 1 || !bits) return nullptr;
    const std::unique_ptr<dib24> widthDone =
        newWidth < width ? shrinkWidth(newWidth) : stretchWidth(newWidth);
    if (!widthDone) return nullptr;
    return newHeight < height ? widthDone->shrinkHeight(newHeight)
                              : widthDone->stretchHeight(newHeight);
}

std::unique_ptr<dib24> dib24::shrinkWidth(int newWidth) const {
    if (!bits || newWidth < 1 || newWidth >= width) return nullptr;
    auto result = allocate(newWidth, height);
    if (!result) return nullptr;
    const std::vector<Span> spans = shrinkSpans(width, newWidth);
    for (std::int64_t r = 0; r < height; ++r) {
        const std::uint8_t* source = bits + r * stride;
        std::uint8_t* target = result->bits + r * result->stride;
        for (std::int64_t j = 0; j < newWidth; ++j) {
            const Span& span = spans[static_cast<std::size_t>(j)];
            for (int c = 0; c < 3; ++c)
                target[3 * j + c] = toByte(average(source + 3 * span.first + c, 3, span));
        }
    }
    return result;
}

std::unique_ptr<dib24> dib24::stretchWidth(int newWidth) const {
    if (!bits || newWidth < width) return nullptr;
    auto result = allocate(newWidth, height);
    if (!result) return nullptr;
    const std::vector<Tap> taps = stretchTaps(width, newWidth);
    for (std::int64_t r = 0; r < height; ++r) {
        const std::uint8_t* source = bits + r * stride;
        std::uint8_t* target = result->bits + r * result->stride;
        for (std::int64_t j = 0; j < newWidth; ++j)
            for (int c = 0; c < 3; ++c)
                target[3 * j + c] =
                    toByte(interpolate(source + c, 3, taps[static_cast<std::size_t>(j)]));
    }
    return result;
}

std::unique_ptr<dib24> dib24::shrinkHeight(int newHeight) const {
    if (!bits || newHeight < 1 || newHeight >= height) return nullptr;
    auto result = allocate(width, newHeight);
    if (!result) return nullptr;
    const std::vector<Span> spans = shrinkSpans(height, newHeight);
    for (std::int64_t j = 0; j < newHeight; ++j) {
        const Span& span = spans[static_cast<std::size_t>(j)];
        const std::uint8_t* source = bits + span.first * stride;
        std::uint8_t* target = result->bits + j * result->stride;
        for (std::int64_t x = 0; x < 3 * std::int64_t{width}; ++x)
            target[x] = toByte(average(source + x, stride, span));
    }
    return result;
}

std::unique_ptr<dib24> dib24::stretchHeight(int newHeight) const {
    if (!bits || newHeight < height) return nullptr;
    auto result = allocate(width, newHeight);
    if (!result) return nullptr;
    const std::vector<Tap> taps = stretchTaps(height, newHeight);
    for (std::int64_t j = 0; j < newHeight; ++j) {
        const Tap& tap = taps[static_cast<std::size_t>(j)];
        std::uint8_t* target = result->bits + j * result->stride;
        for (std::int64_t x = 0; x < 3 * std::int64_t{width}; ++x)
            target[x] = toByte(interpolate(bits + x, stride, tap));
    }
    return result;
}
