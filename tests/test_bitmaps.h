// Helpers shared by the tests: images with known pixels, file bytes and temporary
// folders.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "image/dib24.h"

namespace testing_support {

// An image whose byte of channel c at column x and memory row r is pixel(x, r, c).
// Padding bytes are set to 0xEE, so tests notice code that reads or copies them wrongly.
std::unique_ptr<dib24> makeImage(int width, int height,
                                 const std::function<std::uint8_t(int x, int r, int c)>& pixel);

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

}  // namespace testing_support
