#include "image/bmp_records.h"

namespace bmp {

BITMAPINFOHEADER decodeInfoHeader(const std::uint8_t* bytes) {
    BITMAPINFOHEADER h;
    h.biSize = readLE32(bytes + 0);
    h.biWidth = static_cast<std::int32_t>(readLE32(bytes + 4));
    h.biHeight = static_cast<std::int32_t>(readLE32(bytes + 8));
    h.biPlanes = readLE16(bytes + 12);
    h.biBitCount = readLE16(bytes + 14);
    h.biCompression = readLE32(bytes + 16);
    h.biSizeImage = readLE32(bytes + 20);
    h.biXPelsPerMeter = static_cast<std::int32_t>(readLE32(bytes + 24));
    h.biYPelsPerMeter = static_cast<std::int32_t>(readLE32(bytes + 28));
    h.biClrUsed = readLE32(bytes + 32);
    h.biClrImportant = readLE32(bytes + 36);
    return h;
}

void encodeInfoHeader(const BITMAPINFOHEADER& h, std::uint8_t* bytes) {
    writeLE32(bytes + 0, h.biSize);
    writeLE32(bytes + 4, static_cast<std::uint32_t>(h.biWidth));
    writeLE32(bytes + 8, static_cast<std::uint32_t>(h.biHeight));
    writeLE16(bytes + 12, h.biPlanes);
    writeLE16(bytes + 14, h.biBitCount);
    writeLE32(bytes + 16, h.biCompression);
    writeLE32(bytes + 20, h.biSizeImage);
    writeLE32(bytes + 24, static_cast<std::uint32_t>(h.biXPelsPerMeter));
    writeLE32(bytes + 28, static_cast<std::uint32_t>(h.biYPelsPerMeter));
    writeLE32(bytes + 32, h.biClrUsed);
    writeLE32(bytes + 36, h.biClrImportant);
}

std::uint64_t packedRowSize(std::int64_t width, int bitCount) {
    if (width <= 0) return 0;
    switch (bitCount) {
        case 1:
        case 4:
        case 8:
        case 24: {
            const auto bitsPerRow =
                static_cast<std::uint64_t>(width) * static_cast<unsigned>(bitCount);
            // Round the bits up to whole 32-bit words, then count bytes.
            return (bitsPerRow + 31) / 32 * 4;
        }
        default:
            return 0;
    }
}

}  // namespace bmp
