// Fuzz target for the bitmap readers. Every input goes to the file reader (through a
// memory stream), to the clipboard reader for blocks with a file header, and to the
// packed-DIB reader, both on the whole input and on what follows a 14-byte file header,
// so that a bitmap file in the corpus is also a packed DIB.
//
// Besides crashes and sanitizer reports, it checks what the readers promise:
// - the file reader and the block reader with a file header make the same checks in the
//   same order, so they agree on every input, reason and pixels alike;
// - a failed read leaves the image as it was;
// - an accepted picture packs into a block and unpacks into the same picture.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image/bmp_file.h"
#include "image/dib24.h"
#include "image/dib_block.h"

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "bmp_fuzz: %s\n", what);
    std::abort();
}

// Pixel bytes only: row padding of a palette picture is never written by the reader.
bool samePixels(const dib24& a, const dib24& b) {
    if (a.width != b.width || a.height != b.height) return false;
    for (std::int64_t r = 0; r < a.height; ++r)
        if (std::memcmp(a.bits + r * a.stride, b.bits + r * b.stride,
                        3 * static_cast<std::size_t>(a.width)) != 0)
            return false;
    return true;
}

// A 1 x 1 placeholder with a known pixel, as callers make before reading.
struct Placeholder {
    dib24 image{1, 1};
    Placeholder() { std::memcpy(image.bits, "\x12\x34\x56\x78", 4); }
    bool untouched() const {
        return image.width == 1 && image.height == 1 &&
               std::memcmp(image.bits, "\x12\x34\x56\x78", 4) == 0;
    }
};

void expectUntouchedOnFailure(bool read, const Placeholder& target) {
    if (!read && !target.untouched()) broken("a failed read changed the image");
}

// An accepted picture survives packing and unpacking unchanged.
void checkRepacking(const dib24& image) {
    const std::vector<std::uint8_t> dib = packDib(image);
    dib24 again(1, 1);
    if (!unpackDib(again, dib.data(), dib.size()) || !samePixels(image, again))
        broken("a packed DIB does not read back");
    const std::vector<std::uint8_t> bmp = packBmp(image);
    if (!unpackBmp(again, bmp.data(), bmp.size()) || !samePixels(image, again))
        broken("a packed bitmap does not read back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // fmemopen wants a buffer even for no bytes; in "rb" mode it never writes to it.
    std::uint8_t none = 0;
    std::uint8_t* bytes = size ? const_cast<std::uint8_t*>(data) : &none;

    Placeholder fromFile;
    BmpError fileWhy = BmpError::None;
    std::FILE* stream = fmemopen(bytes, size, "rb");
    if (!stream) broken("fmemopen failed");
    const bool fileRead = fromFile.image.loadFromFile(stream, &fileWhy);
    std::fclose(stream);
    expectUntouchedOnFailure(fileRead, fromFile);

    Placeholder fromBmp;
    BmpError bmpWhy = BmpError::None;
    const bool bmpRead = unpackBmp(fromBmp.image, data, size, &bmpWhy);
    expectUntouchedOnFailure(bmpRead, fromBmp);
    if (fileRead != bmpRead || fileWhy != bmpWhy)
        broken("the file reader and the bitmap block reader disagree");
    if (fileRead) {
        if (!samePixels(fromFile.image, fromBmp.image))
            broken("the file reader and the bitmap block reader read different pixels");
        checkRepacking(fromFile.image);
    }

    Placeholder fromDib;
    const bool dibRead = unpackDib(fromDib.image, data, size);
    expectUntouchedOnFailure(dibRead, fromDib);
    if (dibRead) checkRepacking(fromDib.image);
    if (size >= 14) {
        Placeholder fromInner;
        const bool innerRead = unpackDib(fromInner.image, data + 14, size - 14);
        expectUntouchedOnFailure(innerRead, fromInner);
        if (innerRead) checkRepacking(fromInner.image);
    }
    return 0;
}
