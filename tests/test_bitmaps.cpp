#include "tests/test_bitmaps.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace testing_support {

std::unique_ptr<dib24> makeImage(int width, int height,
                                 const std::function<std::uint8_t(int, int, int)>& pixel) {
    auto image = std::make_unique<dib24>(width, height);
    if (!image->bits) return image;
    std::memset(image->bits, 0xEE, image->pixelBytes());
    for (int r = 0; r < height; ++r)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                image->bits[std::size_t(r) * image->stride + 3 * x + c] = pixel(x, r, c);
    return image;
}

std::unique_ptr<dib24> randomImage(int width, int height, std::uint32_t seed) {
    std::mt19937 random(seed);
    return makeImage(width, height, [&](int, int, int) { return std::uint8_t(random() & 0xFF); });
}

bool samePixels(const dib24& a, const dib24& b) {
    if (a.width != b.width || a.height != b.height) return false;
    for (int r = 0; r < a.height; ++r)
        if (std::memcmp(a.bits + std::size_t(r) * a.stride, b.bits + std::size_t(r) * b.stride,
                        3 * std::size_t(a.width)) != 0)
            return false;
    return true;
}

std::uint8_t pixelFromTop(const dib24& image, int x, int t, int c) {
    return image.bits[std::size_t(image.height - 1 - t) * image.stride + 3 * x + c];
}

std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFileBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::unique_ptr<dib24> loadBitmap(const std::filesystem::path& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return nullptr;
    auto image = std::make_unique<dib24>(1, 1);
    const bool loaded = image->loadFromFile(file);
    std::fclose(file);
    return loaded ? std::move(image) : nullptr;
}

bool saveBitmap(const dib24& image, const std::filesystem::path& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = image.saveToFile(file);
    return std::fclose(file) == 0 && written;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "bokavo-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace testing_support
