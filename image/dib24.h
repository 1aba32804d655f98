// dib24: the program's one image type. 24-bit blue-green-red pixels, rows stored
// bottom-up, each row padded to a multiple of 4 bytes. Processing code addresses the
// pixels directly: bits[r * stride + 3 * x + c], memory row 0 being the picture's
// bottom row and c = 0, 1, 2 blue, green, red.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "image/bmp_records.h"

enum class BmpError : int;  // why a bitmap was refused; see image/bmp_error.h

class dib24 {
public:
    // Makes an image of the given size; see create().
    dib24(int width, int height);
    ~dib24();
    // Images have one owner and are passed by pointer or reference, never copied.
    dib24(const dib24&) = delete;
    dib24& operator=(const dib24&) = delete;

    // Replaces the pixels by a new, uninitialised block of width x height. A side of 0
    // or below, or a block that cannot be allocated, leaves the image empty (no section,
    // all sizes 0). Always returns true; emptiness shows only in `section`.
    bool create(int width, int height);

    // A copy of the width x height rectangle whose top-left corner lies `left` pixels
    // right of and `top` rows below the picture's top-left corner, cut to what lies
    // inside the picture on the right and bottom; parts above or left of the picture
    // are black. The result is empty when nothing of it lies inside or when its pixels
    // cannot be allocated; it is never null.
    std::unique_ptr<dib24> cropped(int width, int height, int left, int top) const;

    // A new image with the same pixels, the one way to duplicate an image. Null, as from
    // resized(), for an empty image or when the pixels cannot be allocated.
    std::unique_ptr<dib24> copy() const;

    // Bitmap files (image/bmp_file.cpp). The caller opens and closes the stream.
    // loadFromFile changes this image only on success; on failure `why`, when given,
    // receives the reason. saveToFile writes a 24-bit file and reports write errors.
    bool loadFromFile(std::FILE* file, BmpError* why = nullptr);
    bool saveToFile(std::FILE* file) const;

    // Resizing (image/resize.cpp): a new image of exactly newWidth x newHeight, made by
    // area averaging where a side shrinks and linear interpolation where it grows. Null
    // for a side below 1, an empty source, or an image that cannot be allocated.
    std::unique_ptr<dib24> resized(int newWidth, int newHeight) const;
    std::unique_ptr<dib24> shrinkWidth(int newWidth) const;
    std::unique_ptr<dib24> stretchWidth(int newWidth) const;
    std::unique_ptr<dib24> shrinkHeight(int newHeight) const;
    std::unique_ptr<dib24> stretchHeight(int newHeight) const;

    // Exchanges the whole content of two images; loaders fill a fresh image and swap it
    // in only when everything succeeded.
    void swap(dib24& other) noexcept;

    // The pixels of the row y rows below the picture's top edge (y = 0: the top row),
    // which the bottom-up block keeps at memory row height - 1 - y. For 0 <= y < height.
    std::uint8_t* row(int y) { return bits + rowOffset(y); }
    const std::uint8_t* row(int y) const { return bits + rowOffset(y); }

    // Size of the pixel block in bytes (height x stride).
    std::size_t pixelBytes() const {
        return static_cast<std::size_t>(height) * static_cast<std::size_t>(stride);
    }

    // The largest pixel block create() attempts to allocate. Larger requests fail like
    // an exhausted memory; tests lower it to exercise that path.
    static inline std::size_t sectionLimit = static_cast<std::size_t>(PTRDIFF_MAX);

    // Bytes per row for a width: 3 x width rounded up to a multiple of 4, in 64 bits.
    static std::int64_t strideFor(std::int64_t width) { return (3 * width + 3) / 4 * 4; }

    BITMAPINFO info{};                        // the header as last requested by create()
    std::unique_ptr<std::uint8_t[]> section;  // owns the pixel block, or null when empty
    std::uint8_t* bits = nullptr;             // section.get(): the pixel block, or null
    std::int32_t width = 0;                   // pixels per row
    std::int32_t height = 0;                  // rows
    std::int32_t stride = 0;                  // bytes per row, padding included

private:
    std::ptrdiff_t rowOffset(int y) const {
        return static_cast<std::ptrdiff_t>(height - 1 - y) * stride;
    }
    void release();
    void updateLayout();
};
