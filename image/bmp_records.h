// The bitmap records of the Windows DIB format, as this program holds them in memory,
// and their little-endian byte encodings. The in-memory structs are plain native
// integers; files and clipboard blocks are always converted through encode/decode,
// so nothing depends on struct packing or on the host's byte order.
#pragma once

#include <cstddef>
#include <cstdint>

struct BITMAPINFOHEADER {
    std::uint32_t biSize = 0;
    std::int32_t biWidth = 0;
    std::int32_t biHeight = 0;
    std::uint16_t biPlanes = 0;
    std::uint16_t biBitCount = 0;
    std::uint32_t biCompression = 0;
    std::uint32_t biSizeImage = 0;
    std::int32_t biXPelsPerMeter = 0;
    std::int32_t biYPelsPerMeter = 0;
    std::uint32_t biClrUsed = 0;
    std::uint32_t biClrImportant = 0;
};

struct RGBQUAD {
    std::uint8_t rgbBlue = 0;
    std::uint8_t rgbGreen = 0;
    std::uint8_t rgbRed = 0;
    std::uint8_t rgbReserved = 0;
};

struct BITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];  // never used: 24-bit images carry no colour table
};

namespace bmp {

constexpr std::size_t kFileHeaderSize = 14;   // BITMAPFILEHEADER
constexpr std::size_t kInfoHeaderSize = 40;   // BITMAPINFOHEADER, the oldest and shortest version
constexpr std::uint16_t kMagicBM = 0x4D42;    // "BM" read as a little-endian 16-bit value
constexpr std::uint32_t kCompressionRGB = 0;  // BI_RGB: plain uncompressed rows

inline std::uint16_t readLE16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t readLE32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void writeLE16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void writeLE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Reads the first 40 bytes of an info header of any version.
BITMAPINFOHEADER decodeInfoHeader(const std::uint8_t* bytes);
// Writes exactly 40 bytes.
void encodeInfoHeader(const BITMAPINFOHEADER& header, std::uint8_t* bytes);

// Bytes per row in a file or packed DIB: the pixel bits of one row rounded up to a whole
// number of 32-bit words. Returns 0 for a bit count the format does not define here, or
// for a non-positive width.
std::uint64_t packedRowSize(std::int64_t width, int bitCount);

}  // namespace bmp
