// Rows of pixels as the zoomed drawings read them, and the nearest-pixel zoom that the
// picture and the focus area's tint share. Knows no Qt, so the benchmark can time it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "image/dib24.h"

// Rows of pixels: row t lies t rows below the top edge, whatever order the rows have in
// memory; pixel x of a row starts at byte x * pixelStep (3-byte pixels, blue first, or a
// plane of single bytes).
struct PixelRows {
    const std::uint8_t* top = nullptr;  // the top row
    std::ptrdiff_t rowStep = 0;         // bytes from a row to the one below it
    int width = 0;
    int height = 0;
    // The picture's column and row of the first pixel: rows that hold only a part of the
    // picture start further in.
    int firstColumn = 0;
    int firstRow = 0;
    int pixelStep = 3;

    const std::uint8_t* row(int t) const { return top + t * rowStep; }
};

// The rows of a dib24, which stores them bottom-up. A depth mask's depth is the first
// (blue) byte of each pixel.
inline PixelRows rowsOf(const dib24& picture) {
    PixelRows rows;
    if (!picture.bits) return rows;
    rows.top = picture.row(0);
    rows.rowStep = -static_cast<std::ptrdiff_t>(picture.stride);
    rows.width = picture.width;
    rows.height = picture.height;
    return rows;
}

// One rectangle of `source` zoomed by `scale` (1 and above): output pixel (x, y), pixel
// (left + x, top + y) of the whole zoomed picture, is `shade` of the source pixel under its
// centre (shade takes the pixel's first byte and gives a 32-bit pixel). The rectangle must
// lie within what the source covers.
template <class Shade>
void drawNearestWith(const PixelRows& source, double scale, int left, int top, int width,
                     int height, std::uint32_t* out, std::ptrdiff_t outStride, Shade shade) {
    // The first byte of the source pixel under the centre of every output column.
    std::vector<int> columns(width);
    for (int x = 0; x < width; ++x)
        columns[x] = source.pixelStep *
                     std::min(static_cast<int>((left + x + 0.5) / scale) - source.firstColumn,
                              source.width - 1);
    int previous = -1;
    for (int y = 0; y < height; ++y) {
        std::uint32_t* row = out + y * outStride;
        const int t = std::min(static_cast<int>((top + y + 0.5) / scale) - source.firstRow,
                               source.height - 1);
        if (t == previous) {
            // Above 1 several output rows show the same source row.
            std::memcpy(row, row - outStride, sizeof(std::uint32_t) * width);
            continue;
        }
        previous = t;
        const std::uint8_t* pixels = source.row(t);
        if (scale == 1) {
            pixels += columns[0];
            for (int x = 0; x < width; ++x) row[x] = shade(pixels + source.pixelStep * x);
        } else {
            for (int x = 0; x < width; ++x) row[x] = shade(pixels + columns[x]);
        }
    }
}
