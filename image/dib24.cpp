#include "image/dib24.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

dib24::dib24(int width, int height) {
    create(width, height);
}

dib24::~dib24() = default;

bool dib24::create(int width, int height) {
    release();

    info = BITMAPINFO{};
    BITMAPINFOHEADER& header = info.bmiHeader;
    header.biSize = bmp::kInfoHeaderSize;
    header.biWidth = width;
    header.biHeight = height;  // positive: rows are stored bottom-up
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = bmp::kCompressionRGB;

    // Only bottom-up images of positive size exist; anything else stays empty, as does
    // a block too large to address or to allocate.
    if (width <= 0 || height <= 0) return true;
    const std::int64_t rowBytes = strideFor(width);
    if (rowBytes > INT32_MAX) return true;
    const std::uint64_t blockBytes =
        static_cast<std::uint64_t>(rowBytes) * static_cast<std::uint64_t>(height);
    if (blockBytes > sectionLimit) return true;

    section.reset(new (std::nothrow) std::uint8_t[blockBytes]);
    bits = section.get();
    updateLayout();
    return true;
}

void dib24::release() {
    section.reset();
    bits = nullptr;
    width = height = stride = 0;
}

void dib24::updateLayout() {
    if (!section) {
        release();
        return;
    }
    width = info.bmiHeader.biWidth;
    height = info.bmiHeader.biHeight;
    stride = static_cast<std::int32_t>(strideFor(width));
}

void dib24::swap(dib24& other) noexcept {
    std::swap(info, other.info);
    std::swap(section, other.section);
    std::swap(bits, other.bits);
    std::swap(width, other.width);
    std::swap(height, other.height);
    std::swap(stride, other.stride);
}

std::unique_ptr<dib24> dib24::cropped(int cropWidth, int cropHeight, int left, int top) const {
    // Sizes are cut to what lies inside the picture on the right and at the bottom.
    const std::int64_t w = std::min<std::int64_t>(cropWidth, std::int64_t{width} - left);
    const std::int64_t h = std::min<std::int64_t>(cropHeight, std::int64_t{height} - top);
    auto result =
        std::make_unique<dib24>(static_cast<int>(std::clamp<std::int64_t>(w, 0, INT32_MAX)),
                                static_cast<int>(std::clamp<std::int64_t>(h, 0, INT32_MAX)));
    if (!result->bits) return result;
    std::memset(result->bits, 0, result->pixelBytes());

    // Result memory row i takes source memory row i + (H - h - top): the result's top row
    // is the source row `top` rows below the source's top edge. Rows and columns whose
    // source lies outside the picture stay black.
    const std::int64_t rowShift = std::int64_t{height} - result->height - top;
    const std::int64_t firstColumn = std::max<std::int64_t>(0, -std::int64_t{left});
    const std::int64_t endColumn =
        std::min<std::int64_t>(result->width, std::int64_t{width} - left);
    if (firstColumn >= endColumn) return result;
    const std::size_t copyBytes = static_cast<std::size_t>(3 * (endColumn - firstColumn));
    for (std::int64_t i = 0; i < result->height; ++i) {
        const std::int64_t g = i + rowShift;
        if (g < 0 || g >= height) continue;
        std::memcpy(result->bits + i * result->stride + 3 * firstColumn,
                    bits + g * stride + 3 * (left + firstColumn), copyBytes);
    }
    return result;
}

std::unique_ptr<dib24> dib24::copy() const {
    if (!bits) return nullptr;
    try {
        auto result = std::make_unique<dib24>(width, height);
        if (!result->bits) return nullptr;
        std::memcpy(result->bits, bits, pixelBytes());
        return result;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
