#include "image/dib_decode.h"

#include <cstring>

#include "image/dib24.h"

namespace dib_decode {

BmpError checkHeader(const BITMAPINFOHEADER& header, Layout& layout) {
    layout = Layout{};
    layout.header = header;
    // Later header versions (108, 124 bytes) start with the same 40 bytes; anything
    // shorter is not a header this reader understands.
    if (header.biSize < bmp::kInfoHeaderSize) return BmpError::BadHeader;
    if (header.biCompression != bmp::kCompressionRGB) return BmpError::Compressed;
    const int bits = header.biBitCount;
    if (!isPalette(bits) && bits != 24) return BmpError::UnsupportedBitDepth;
    // Only bottom-up pictures of positive size exist in memory; top-down files (negative
    // height) are refused rather than misread.
    if (header.biWidth <= 0 || header.biHeight == 0) return BmpError::BadSize;
    if (header.biHeight < 0) return BmpError::TopDown;

    if (isPalette(bits)) {
        const std::uint64_t full = std::uint64_t{1} << bits;
        layout.tableEntries = header.biClrUsed != 0 ? header.biClrUsed : full;
        // A table longer than the bit depth can index still has to be present, but only
        // its first 2^bits entries can ever be named.
        layout.usedColors = layout.tableEntries < full ? layout.tableEntries : full;
    }
    layout.rowBytes = bmp::packedRowSize(header.biWidth, bits);
    // At most 2^31 rows of at most 2^31 x 3 bytes: the product fits in 64 bits.
    layout.pixelBytes = layout.rowBytes * static_cast<std::uint64_t>(header.biHeight);
    return BmpError::None;
}

BmpError checkPrefix(const Layout& layout, std::uint64_t prefixBytes) {
    const std::uint64_t headerBytes = layout.header.biSize;
    if (headerBytes > prefixBytes) return BmpError::BadHeader;
    // Divide rather than multiply: biClrUsed may be anything up to 2^32 - 1.
    if (layout.tableEntries > (prefixBytes - headerBytes) / 4) return BmpError::BadColorTable;
    return BmpError::None;
}

void decodeTable(const std::uint8_t* bytes, std::uint64_t count, RGBQUAD* table) {
    for (std::uint64_t i = 0; i < count; ++i) {
        table[i].rgbBlue = bytes[4 * i + 0];
        table[i].rgbGreen = bytes[4 * i + 1];
        table[i].rgbRed = bytes[4 * i + 2];
        table[i].rgbReserved = bytes[4 * i + 3];
    }
}

namespace {

// The palette index of pixel x in a row of 8, 4 or 1 bits per pixel. For 4 bits the high
// nibble is the left pixel; for 1 bit the most significant bit is the leftmost pixel.
inline unsigned indexAt(const std::uint8_t* row, std::size_t x, int bits) {
    switch (bits) {
        case 8:
            return row[x];
        case 4:
            return (x % 2 == 0) ? (row[x / 2] >> 4) : (row[x / 2] & 0x0F);
        default:
            return (row[x / 8] >> (7 - x % 8)) & 1;
    }
}

template <int Bits>
BmpError expandIndexed(dib24& image, const Layout& layout, const RGBQUAD* table,
                       const std::uint8_t* rows) {
    const std::size_t width = static_cast<std::size_t>(image.width);
    for (std::int64_t r = 0; r < image.height; ++r) {
        const std::uint8_t* in = rows + r * layout.rowBytes;
        std::uint8_t* out = image.bits + r * image.stride;
        for (std::size_t x = 0; x < width; ++x) {
            const unsigned index = indexAt(in, x, Bits);
            if (index >= layout.usedColors) return BmpError::BadPaletteIndex;
            out[3 * x + 0] = table[index].rgbBlue;
            out[3 * x + 1] = table[index].rgbGreen;
            out[3 * x + 2] = table[index].rgbRed;
        }
        // The padding has no meaning, but it goes to files and the clipboard as it
        // stands: zero it rather than pass on whatever the allocation held before.
        std::memset(out + 3 * width, 0, static_cast<std::size_t>(image.stride) - 3 * width);
    }
    return BmpError::None;
}

BmpError expandIndexed8(dib24& image, const Layout& layout, const RGBQUAD* table,
                        const std::uint8_t* rows) {
    return expandIndexed<8>(image, layout, table, rows);
}
BmpError expandIndexed4(dib24& image, const Layout& layout, const RGBQUAD* table,
                        const std::uint8_t* rows) {
    return expandIndexed<4>(image, layout, table, rows);
}
BmpError expandIndexed1(dib24& image, const Layout& layout, const RGBQUAD* table,
                        const std::uint8_t* rows) {
    return expandIndexed<1>(image, layout, table, rows);
}

}  // namespace

BmpError expandRows(dib24& image, const Layout& layout, const RGBQUAD* table,
                    const std::uint8_t* rows) {
    switch (layout.header.biBitCount) {
        case 1:
            return expandIndexed1(image, layout, table, rows);
        case 4:
            return expandIndexed4(image, layout, table, rows);
        case 8:
            return expandIndexed8(image, layout, table, rows);
        default:
            // A 24-bit row in a file or block is laid out exactly like a row of the image.
            std::memcpy(image.bits, rows, image.pixelBytes());
            return BmpError::None;
    }
}

}  // namespace dib_decode
