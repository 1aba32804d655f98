// Drawing a picture at any zoom: reduced copies made once per picture, and the conversion
// of the visible part into 32-bit screen pixels. Knows no Qt, so the benchmark can time it
// on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ui/picture_rows.h"

// The number of output pixels that `extent` source pixels cover at `scale` output pixels
// per source pixel: the product rounded up, so that a part of a pixel still shows.
int zoomedExtent(int extent, double scale);

// Which of `count` reduced copies (see ReducedCopies; 0: the picture itself) a view at
// `zoom` reads: the smallest that is still at least as large as the zoomed picture, so
// that every device pixel averages at most about 2 x 2 of its pixels.
int reducedCopyFor(double zoom, int count);

// Copies of a picture at half, a quarter, ... of its size, each pixel the average of the
// 2 x 2 pixels it replaces in the copy above it (a lone last row or column averages what
// there is), so every copy is the box average of the picture itself. They are what a view
// zoomed out reads, so that it reads about as many pixels as it shows.
class ReducedCopies {
public:
    // Makes copies 1 ... `count` (copy n has 1 / 2^n of the picture's width and height),
    // from the largest down, as many as fit in `byteBudget` together. Copies that cannot
    // be allocated are left out like those beyond the budget.
    void make(const PixelRows& picture, int count, std::size_t byteBudget);
    void clear();

    // How many copies there are; copy n exists for 1 <= n <= count().
    int count() const { return static_cast<int>(copies_.size()); }
    PixelRows copy(int n) const;
    std::size_t bytes() const;

private:
    struct Copy {
        std::unique_ptr<std::uint8_t[]> pixels;  // rows top-down, 3 x width bytes each
        int width = 0;
        int height = 0;
    };
    std::vector<Copy> copies_;
};

// One rectangle of the picture zoomed by `scale` (output pixels per source pixel), written
// as 0xffRRGGBB pixels into `out` (`outStride` pixels a row). Output pixel (x, y) of the
// rectangle is pixel (left + x, top + y) of the whole zoomed picture; those beyond it are
// not written; of a source that holds only a part of the picture, only the output pixels
// whose source pixel (under the centre, or at the start of the area) lies in it are
// written, as they are for the whole picture. At 1 and above every output pixel shows the source
// pixel under its centre, so pixels become sharp squares; below 1 every output pixel is the average
// of the source area it covers. Throws std::bad_alloc when its small working tables cannot be had.
void drawZoomed(const PixelRows& source, double scale, int left, int top, int width, int height,
                std::uint32_t* out, std::ptrdiff_t outStride);

// The rectangle of the picture zoomed by `scale` that drawZoomed would write, as a 24-bit
// image of `width` x `height`; the rectangle must lie within the zoomed picture. Throws
// std::bad_alloc when memory is short.
std::unique_ptr<dib24> zoomedImage(const PixelRows& source, double scale, int left, int top,
                                   int width, int height);
