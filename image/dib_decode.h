// The checks and pixel expansion shared by the bitmap file reader and the clipboard block
// reader: both hold an info header, an optional colour table and bottom-up pixel rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/bmp_error.h"
#include "image/bmp_records.h"

class dib24;

namespace dib_decode {

// What an accepted info header says about the data that follows it.
struct Layout {
    BITMAPINFOHEADER header;
    std::uint64_t tableEntries = 0;  // colour-table entries the data carries (palette only)
    std::uint64_t usedColors = 0;    // entries pixels may name: at most 2^bits
    std::uint64_t rowBytes = 0;      // bytes per pixel row, padded to 32 bits
    std::uint64_t pixelBytes = 0;    // rowBytes x height
};

inline bool isPalette(int bitCount) {
    return bitCount == 1 || bitCount == 4 || bitCount == 8;
}

// Checks the header's size, compression, bit depth and dimensions, and computes the
// layout in 64 bits. Nothing is allocated.
BmpError checkHeader(const BITMAPINFOHEADER& header, Layout& layout);

// Checks that the info header and the colour table lie within the `prefixBytes` bytes
// between the file header and the pixel data (bfOffBits - 14). The table starts right
// after the info header, whatever the header's version.
BmpError checkPrefix(const Layout& layout, std::uint64_t prefixBytes);

// Fills `image`, already created with the header's width and height, from the pixel rows.
// Palette pictures are expanded through `table` (layout.usedColors entries); a pixel that
// names a colour beyond it refuses the data. 24-bit rows are copied as they stand,
// padding included.
BmpError expandRows(dib24& image, const Layout& layout, const RGBQUAD* table,
                    const std::uint8_t* rows);

// Decodes `count` RGBQUAD entries from their 4-byte file form.
void decodeTable(const std::uint8_t* bytes, std::uint64_t count, RGBQUAD* table);

}  // namespace dib_decode
