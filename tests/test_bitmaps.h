// Helpers shared by the tests: images with known pixels, file bytes and temporary
// folders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "image/bmp_file.h"
#include "image/dib24.h"

namespace testing_support {

// An image whose byte of channel c at column x and memory row r is pixel(x, r, c).
// Padding bytes are set to 0xEE, so tests notice code that reads or copies them wrongly.
std::unique_ptr<dib24> makeImage(int width, int height,
                                 const std::function<std::uint8_t(int x, int r, int c)>& pixel);

// The 1 x 1 placeholder callers load into, with a pixel a failed load must not touch;
// expectUntouchedPlaceholder checks that it is still exactly that.
std::unique_ptr<dib24> placeholder();
void expectUntouchedPlaceholder(const dib24& image);

// An image filled with reproducible pseudo-random bytes.
std::unique_ptr<dib24> randomImage(int width, int height, std::uint32_t seed);

// True when both images have the same size and the same pixel bytes (padding ignored).
bool samePixels(const dib24& a, const dib24& b);

// The byte of channel c at column x, counted from the picture's top row t.
std::uint8_t pixelFromTop(const dib24& image, int x, int t, int c);

std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path);
void writeFileBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// Loads a bitmap file into a new image; null when the reader refuses it.
std::unique_ptr<dib24> loadBitmap(const std::filesystem::path& path);
// Saves an image with saveToFile; false when anything fails.
bool saveBitmap(const dib24& image, const std::filesystem::path& path);

// Bitmap data made by hand for the readers' tests.
struct HandMade {
    std::int32_t width = 1;
    std::int32_t height = 1;
    std::uint16_t bitCount = 24;
    std::uint32_t compression = 0;
    std::uint32_t clrUsed = 0;
    std::uint32_t headerSize = 40;     // bytes past the first 40 are filled with 0xA5
    std::vector<RGBQUAD> table{};      // written right after the info header
    std::vector<std::uint8_t> rows{};  // the pixel data exactly as it lies in the file or block
};

// Info header, colour table, rows.
std::vector<std::uint8_t> packedDib(const HandMade& data);
// A bitmap file: a 14-byte file header (bfSize and the reserved words 0) in front of the
// packed DIB, with `gap` bytes of 0x5A between the colour table and the rows; bfOffBits
// points at the rows.
std::vector<std::uint8_t> bitmapFile(const HandMade& data, std::size_t gap = 0);
// Pads each row to the packed row size of `width` pixels of `bitCount` bits with `pad`
// bytes and joins them, bottom row first as given.
std::vector<std::uint8_t> paddedRows(const std::vector<std::vector<std::uint8_t>>& rows, int width,
                                     int bitCount, std::uint8_t pad = 0);
// A 256-entry grey table: entry i is (i, i, i).
std::vector<RGBQUAD> greyTable();

// A file every bitmap reader must refuse, and the reason it must give.
struct BadBitmap {
    std::string name;  // usable as a test name
    std::vector<std::uint8_t> bytes;
    BmpError error;
};
void PrintTo(const BadBitmap& bad, std::ostream* out);
// One of each kind of damaged or unsupported file, hand-made.
std::vector<BadBitmap> badBitmapFiles();

// Runs loadFromFile on a temporary file holding `bytes`.
bool loadBytes(dib24& image, const std::vector<std::uint8_t>& bytes, BmpError* why = nullptr);
// The same through a pipe: a stream that cannot seek, whose length shows only by reading
// it. The bytes must fit the pipe's buffer (64 KiB), as they are written before reading.
bool loadThroughPipe(dib24& image, const std::vector<std::uint8_t>& bytes, BmpError* why);

// A fresh folder under the system's temporary folder, removed with everything in it
// when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Makes `folder` the current folder for the life of the object, then returns to the old
// one.
class InFolder {
public:
    explicit InFolder(const std::filesystem::path& folder)
        : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~InFolder() { std::filesystem::current_path(previous_); }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

private:
    std::filesystem::path previous_;
};

// Switches the C library to a locale whose decimal separator is a comma for the life of
// the object, and back to "C" afterwards. Uses an installed German locale; where none is
// installed, it compiles one into a temporary folder with localedef (Debian's "locales").
class CommaLocale {
public:
    CommaLocale();
    ~CommaLocale();
    CommaLocale(const CommaLocale&) = delete;
    CommaLocale& operator=(const CommaLocale&) = delete;
    // False when no comma locale could be had; tests then skip.
    bool active() const { return active_; }

private:
    bool tryLocale();
    TempDir folder_;
    bool active_ = false;
};

}  // namespace testing_support
