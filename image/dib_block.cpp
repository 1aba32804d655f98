// Packed DIBs come from other programs through the clipboard: every length and offset in
// them is checked against the block before it is trusted.
#include "image/dib_block.h"

#include <array>
#include <cstring>

#include "image/dib_decode.h"

namespace {

constexpr std::size_t kBmpDataOffset = bmp::kFileHeaderSize + bmp::kInfoHeaderSize;

// Fills `fresh` from a colour table and pixel rows already known to lie inside the block.
BmpError decodePixels(dib24& fresh, const dib_decode::Layout& layout,
                      const std::uint8_t* tableBytes, const std::uint8_t* rows) {
    std::array<RGBQUAD, 256> table{};
    dib_decode::decodeTable(tableBytes, layout.usedColors, table.data());
    fresh.create(layout.header.biWidth, layout.header.biHeight);
    if (!fresh.bits) return BmpError::OutOfMemory;
    return dib_decode::expandRows(fresh, layout, table.data(), rows);
}

BmpError readPackedDib(const std::uint8_t* block, std::size_t length, dib24& fresh) {
    if (length < bmp::kInfoHeaderSize) return BmpError::HeaderTruncated;
    dib_decode::Layout layout;
    if (BmpError e = dib_decode::checkHeader(bmp::decodeInfoHeader(block), layout);
        e != BmpError::None)
        return e;
    const std::uint64_t headerBytes = layout.header.biSize;
    if (headerBytes > length) return BmpError::HeaderTruncated;

    // The colour table follows the header of whatever version, and the rows follow the
    // table. A 24-bit block may carry a table too (biClrUsed entries, used by nobody);
    // its rows still start after it.
    const std::uint64_t tableEntries = dib_decode::isPalette(layout.header.biBitCount)
                                           ? layout.tableEntries
                                           : layout.header.biClrUsed;
    if (tableEntries > (length - headerBytes) / 4) return BmpError::HeaderTruncated;
    const std::uint64_t rowsAt = headerBytes + 4 * tableEntries;
    if (layout.pixelBytes > length - rowsAt) return BmpError::PixelsTruncated;
    return decodePixels(fresh, layout, block + headerBytes, block + rowsAt);
}

// Makes the same checks in the same order as the file reader, so a block and a file of
// the same bytes are accepted or refused alike.
BmpError readBmpBlock(const std::uint8_t* block, std::size_t length, dib24& fresh) {
    if (length < bmp::kFileHeaderSize || bmp::readLE16(block) != bmp::kMagicBM)
        return BmpError::NotBitmap;
    const std::uint32_t offBits = bmp::readLE32(block + 10);
    if (offBits < kBmpDataOffset) return BmpError::BadHeader;
    if (offBits > length) return BmpError::HeaderTruncated;

    const std::uint8_t* dib = block + bmp::kFileHeaderSize;
    dib_decode::Layout layout;
    if (BmpError e = dib_decode::checkHeader(bmp::decodeInfoHeader(dib), layout);
        e != BmpError::None)
        return e;
    if (BmpError e = dib_decode::checkPrefix(layout, offBits - bmp::kFileHeaderSize);
        e != BmpError::None)
        return e;
    if (layout.pixelBytes > length - offBits) return BmpError::PixelsTruncated;
    return decodePixels(fresh, layout, dib + layout.header.biSize, block + offBits);
}

// Runs a reader on a fresh image and swaps the picture in only when it succeeded. A null
// block reads as an empty one; both readers check the length before touching a byte.
template <typename Reader>
bool unpackWith(Reader read, dib24& image, const std::uint8_t* block, std::size_t length,
                BmpError* why) {
    dib24 fresh(0, 0);
    const BmpError error = read(block, block ? length : 0, fresh);
    if (error != BmpError::None) {
        if (why) *why = error;
        return false;
    }
    image.swap(fresh);
    return true;
}

}  // namespace

std::vector<std::uint8_t> packDib(const dib24& image) {
    if (!image.bits) return {};
    std::vector<std::uint8_t> block(bmp::kInfoHeaderSize + image.pixelBytes());
    bmp::encodeInfoHeader(image.info.bmiHeader, block.data());
    std::memcpy(block.data() + bmp::kInfoHeaderSize, image.bits, image.pixelBytes());
    return block;
}

std::vector<std::uint8_t> packBmp(const dib24& image) {
    if (!image.bits) return {};
    const std::uint64_t total = kBmpDataOffset + std::uint64_t{image.pixelBytes()};
    std::vector<std::uint8_t> block(total);
    bmp::writeLE16(block.data(), bmp::kMagicBM);
    // bfSize is a 32-bit field; a block beyond 4 GiB says 0, as readers accept (they
    // find the rows through bfOffBits and take the size from the header).
    bmp::writeLE32(block.data() + 2, total <= UINT32_MAX ? static_cast<std::uint32_t>(total) : 0);
    bmp::writeLE32(block.data() + 10, kBmpDataOffset);
    bmp::encodeInfoHeader(image.info.bmiHeader, block.data() + bmp::kFileHeaderSize);
    std::memcpy(block.data() + kBmpDataOffset, image.bits, image.pixelBytes());
    return block;
}

bool unpackDib(dib24& image, const std::uint8_t* block, std::size_t length, BmpError* why) {
    return unpackWith(readPackedDib, image, block, length, why);
}

bool unpackBmp(dib24& image, const std::uint8_t* block, std::size_t length, BmpError* why) {
    return unpackWith(readBmpBlock, image, block, length, why);
}
