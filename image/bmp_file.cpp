// Reading and writing bitmap files. Files are untrusted: every length is checked against
// what the file holds before anything is allocated from the header's numbers.
#include "image/bmp_file.h"

#include <sys/types.h>

#include <algorithm>
#include <new>
#include <optional>
#include <vector>

#include "image/dib24.h"
#include "image/dib_decode.h"

const char* describe(BmpError error) {
    switch (error) {
        case BmpError::None:
            return "no error";
        case BmpError::ReadFailed:
            return "read error";
        case BmpError::NotBitmap:
            return "not a bitmap file";
        case BmpError::BadHeader:
            return "damaged bitmap header";
        case BmpError::HeaderTruncated:
            return "truncated bitmap header";
        case BmpError::Compressed:
            return "compressed bitmaps are not supported";
        case BmpError::UnsupportedBitDepth:
            return "unsupported bit depth (1, 4, 8 or 24 bits per pixel are read)";
        case BmpError::BadSize:
            return "width or height is zero or negative";
        case BmpError::TopDown:
            return "top-down bitmaps (negative height) are not supported";
        case BmpError::BadColorTable:
            return "colour table does not fit before the pixel data";
        case BmpError::BadPaletteIndex:
            return "a pixel names a colour beyond the colour table";
        case BmpError::PixelsTruncated:
            return "truncated pixel data";
        case BmpError::OutOfMemory:
            return "too large for memory";
    }
    return "unknown error";
}

namespace {

constexpr std::size_t kReadChunk = std::size_t{1} << 20;

// Bytes left in a seekable stream from its current position; nothing for a stream that
// cannot seek (a pipe), whose length shows only by reading it.
std::optional<std::uint64_t> remainingBytes(std::FILE* file) {
    const off_t here = ftello(file);
    if (here < 0 || fseeko(file, 0, SEEK_END) != 0) return std::nullopt;
    const off_t end = ftello(file);
    if (fseeko(file, here, SEEK_SET) != 0 || end < here) return std::nullopt;
    return static_cast<std::uint64_t>(end - here);
}

enum class Read { Complete, Short, Failed };

Read outcome(std::FILE* file, std::size_t got, std::size_t wanted) {
    if (got == wanted) return Read::Complete;
    return std::ferror(file) ? Read::Failed : Read::Short;
}

// Reads exactly `count` bytes. The buffer grows only as data arrives, so a header that
// claims more than the stream holds never makes us allocate its claim.
Read readExactly(std::FILE* file, std::uint64_t count, std::vector<std::uint8_t>& out) {
    out.clear();
    while (out.size() < count) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, count - out.size()));
        const std::size_t old = out.size();
        out.resize(old + want);
        const std::size_t got = std::fread(out.data() + old, 1, want, file);
        if (got < want) {
            out.resize(old + got);
            return outcome(file, got, want);
        }
    }
    return Read::Complete;
}

BmpError truncation(Read read, BmpError shortError) {
    return read == Read::Failed ? BmpError::ReadFailed : shortError;
}

// The reader proper; loadFromFile only turns its result into a bool and swaps the new
// picture in.
BmpError readBitmap(std::FILE* file, dib24& fresh) {
    // The 14-byte file header: "BM", then the offset of the pixel data at byte 10.
    std::uint8_t fileHeader[bmp::kFileHeaderSize];
    const std::size_t got = std::fread(fileHeader, 1, sizeof fileHeader, file);
    if (got < sizeof fileHeader)
        return truncation(outcome(file, got, sizeof fileHeader), BmpError::NotBitmap);
    if (bmp::readLE16(fileHeader) != bmp::kMagicBM) return BmpError::NotBitmap;
    const std::uint32_t offBits = bmp::readLE32(fileHeader + 10);
    if (offBits < bmp::kFileHeaderSize + bmp::kInfoHeaderSize) return BmpError::BadHeader;

    // Everything between the file header and the pixel data: the info header of any
    // version, the colour table, and whatever else the writer put there.
    const std::optional<std::uint64_t> available = remainingBytes(file);
    const std::uint64_t prefixBytes = offBits - bmp::kFileHeaderSize;
    if (available && *available < prefixBytes) return BmpError::HeaderTruncated;
    std::vector<std::uint8_t> prefix;
    if (Read r = readExactly(file, prefixBytes, prefix); r != Read::Complete)
        return truncation(r, BmpError::HeaderTruncated);

    dib_decode::Layout layout;
    if (BmpError e = dib_decode::checkHeader(bmp::decodeInfoHeader(prefix.data()), layout);
        e != BmpError::None)
        return e;
    if (BmpError e = dib_decode::checkPrefix(layout, prefixBytes); e != BmpError::None) return e;
    const BITMAPINFOHEADER& header = layout.header;

    // The colour table starts right after the info header, whatever its version.
    std::vector<RGBQUAD> table(layout.usedColors);
    dib_decode::decodeTable(prefix.data() + header.biSize, layout.usedColors, table.data());
    prefix = {};

    if (available && *available - prefixBytes < layout.pixelBytes) return BmpError::PixelsTruncated;

    if (available && header.biBitCount == 24) {
        // The file is known to hold every row, and 24-bit rows are laid out exactly like
        // the image's: read them straight into the new pixels with one block read.
        fresh.create(header.biWidth, header.biHeight);
        if (!fresh.bits) return BmpError::OutOfMemory;
        const std::size_t wanted = fresh.pixelBytes();
        const Read read = outcome(file, std::fread(fresh.bits, 1, wanted, file), wanted);
        return read == Read::Complete ? BmpError::None
                                      : truncation(read, BmpError::PixelsTruncated);
    }

    std::vector<std::uint8_t> rows;
    if (Read r = readExactly(file, layout.pixelBytes, rows); r != Read::Complete)
        return truncation(r, BmpError::PixelsTruncated);
    fresh.create(header.biWidth, header.biHeight);
    if (!fresh.bits) return BmpError::OutOfMemory;
    return dib_decode::expandRows(fresh, layout, table.data(), rows.data());
}

}  // namespace

std::unique_ptr<dib24> readBitmapFile(std::FILE* file, std::string* whyNot) {
    auto image = std::make_unique<dib24>(1, 1);
    BmpError error = BmpError::None;
    if (image->loadFromFile(file, &error)) return image;
    if (whyNot) *whyNot = describe(error);
    return nullptr;
}

bool dib24::loadFromFile(std::FILE* file, BmpError* why) {
    dib24 fresh(0, 0);
    BmpError error;
    try {
        error = readBitmap(file, fresh);
    } catch (const std::bad_alloc&) {
        error = BmpError::OutOfMemory;
    }
    if (error != BmpError::None) {
        if (why) *why = error;
        return false;
    }
    swap(fresh);
    return true;
}

bool dib24::saveToFile(std::FILE* file) const {
    if (!bits) return false;  // a header without pixels would make a broken file

    std::uint8_t fileHeader[bmp::kFileHeaderSize] = {};
    bmp::writeLE16(fileHeader, bmp::kMagicBM);
    // bfSize stays 0 and both reserved words 0; the pixels follow the 40-byte header.
    bmp::writeLE32(fileHeader + 10, bmp::kFileHeaderSize + bmp::kInfoHeaderSize);
    std::uint8_t infoHeader[bmp::kInfoHeaderSize];
    bmp::encodeInfoHeader(info.bmiHeader, infoHeader);

    const bool written = std::fwrite(fileHeader, 1, sizeof fileHeader, file) == sizeof fileHeader &&
                         std::fwrite(infoHeader, 1, sizeof infoHeader, file) == sizeof infoHeader &&
                         std::fwrite(bits, 1, pixelBytes(), file) == pixelBytes();
    return written && std::fflush(file) == 0;
}
