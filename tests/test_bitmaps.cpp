#include "tests/test_bitmaps.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "image/bmp_records.h"

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

std::unique_ptr<dib24> placeholder() {
    return makeImage(1, 1, [](int, int, int c) { return std::uint8_t(0x30 + c); });
}

void expectUntouchedPlaceholder(const dib24& image) {
    ASSERT_NE(image.bits, nullptr);
    EXPECT_EQ(image.width, 1);
    EXPECT_EQ(image.height, 1);
    EXPECT_EQ(image.info.bmiHeader.biWidth, 1);
    EXPECT_EQ(image.info.bmiHeader.biHeight, 1);
    const std::uint8_t want[4] = {0x30, 0x31, 0x32, 0xEE};
    EXPECT_EQ(std::memcmp(image.bits, want, 4), 0);
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
    return image.row(t)[3 * x + c];
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

std::vector<std::uint8_t> packedDib(const HandMade& data) {
    std::vector<std::uint8_t> bytes(data.headerSize, 0xA5);
    BITMAPINFOHEADER header;
    header.biSize = data.headerSize;
    header.biWidth = data.width;
    header.biHeight = data.height;
    header.biPlanes = 1;
    header.biBitCount = data.bitCount;
    header.biCompression = data.compression;
    header.biClrUsed = data.clrUsed;
    bytes.resize(std::max<std::size_t>(bytes.size(), bmp::kInfoHeaderSize));
    bmp::encodeInfoHeader(header, bytes.data());
    bytes.resize(data.headerSize);  // a header shorter than 40 bytes is cut off
    for (const RGBQUAD& entry : data.table)
        bytes.insert(bytes.end(), {entry.rgbBlue, entry.rgbGreen, entry.rgbRed, entry.rgbReserved});
    bytes.insert(bytes.end(), data.rows.begin(), data.rows.end());
    return bytes;
}

std::vector<std::uint8_t> bitmapFile(const HandMade& data, std::size_t gap) {
    const std::vector<std::uint8_t> dib = packedDib(data);
    const std::size_t rowsAt = bmp::kFileHeaderSize + dib.size() - data.rows.size() + gap;
    std::vector<std::uint8_t> bytes(rowsAt + data.rows.size(), 0x5A);
    std::fill_n(bytes.begin(), bmp::kFileHeaderSize, 0);
    bmp::writeLE16(bytes.data(), bmp::kMagicBM);
    bmp::writeLE32(bytes.data() + 10, static_cast<std::uint32_t>(rowsAt));
    std::copy(dib.begin(), dib.end() - std::ptrdiff_t(data.rows.size()),
              bytes.begin() + bmp::kFileHeaderSize);
    std::copy(data.rows.begin(), data.rows.end(), bytes.begin() + std::ptrdiff_t(rowsAt));
    return bytes;
}

std::vector<std::uint8_t> paddedRows(const std::vector<std::vector<std::uint8_t>>& rows, int width,
                                     int bitCount, std::uint8_t pad) {
    const std::size_t rowBytes = bmp::packedRowSize(width, bitCount);
    std::vector<std::uint8_t> bytes;
    for (const auto& row : rows) {
        if (row.size() > rowBytes) throw std::invalid_argument("row longer than its padded size");
        bytes.insert(bytes.end(), row.begin(), row.end());
        bytes.insert(bytes.end(), rowBytes - row.size(), pad);
    }
    return bytes;
}

std::vector<RGBQUAD> greyTable() {
    std::vector<RGBQUAD> table(256);
    for (int i = 0; i < 256; ++i) {
        const auto v = static_cast<std::uint8_t>(i);
        table[i] = RGBQUAD{v, v, v, 0};
    }
    return table;
}

namespace {

void patchLE32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    bmp::writeLE32(bytes.data() + at, value);
}

// 3 x 2 pixels of 24 bits: rows of 9 bytes padded to 12.
HandMade smallRgb() {
    HandMade data;
    data.width = 3;
    data.height = 2;
    data.rows =
        paddedRows({{1, 2, 3, 4, 5, 6, 7, 8, 9}, {10, 11, 12, 13, 14, 15, 16, 17, 18}}, 3, 24);
    return data;
}

// 3 x 2 pixels of `bits` bits with a table of `colours` entries; every index is 0 except
// the last pixel of the top row, which is `lastIndex`.
HandMade smallPalette(std::uint16_t bits, std::uint32_t colours, std::uint8_t lastIndex) {
    HandMade data;
    data.width = 3;
    data.height = 2;
    data.bitCount = bits;
    data.clrUsed = colours;
    for (std::uint32_t i = 0; i < colours; ++i)
        data.table.push_back(RGBQUAD{std::uint8_t(i), std::uint8_t(2 * i), std::uint8_t(3 * i), 0});
    std::vector<std::uint8_t> top;
    switch (bits) {
        case 8:
            top = {0, 0, lastIndex};
            break;
        case 4:
            top = {0x00, std::uint8_t(lastIndex << 4)};
            break;
        default:
            top = {std::uint8_t(lastIndex << 5)};
    }
    data.rows = paddedRows({{0}, top}, 3, bits);
    return data;
}

}  // namespace

void PrintTo(const BadBitmap& bad, std::ostream* out) {
    *out << bad.name;
}

std::vector<BadBitmap> badBitmapFiles() {
    std::vector<BadBitmap> files;
    auto add = [&](std::string name, std::vector<std::uint8_t> bytes, BmpError error) {
        files.push_back({std::move(name), std::move(bytes), error});
    };
    auto withHeader = [](HandMade data, auto change) {
        change(data);
        return bitmapFile(data);
    };
    const std::vector<std::uint8_t> rgb = bitmapFile(smallRgb());

    add("Empty", {}, BmpError::NotBitmap);
    add("ShorterThanFileHeader", {rgb.begin(), rgb.begin() + 13}, BmpError::NotBitmap);
    auto notBm = rgb;
    notBm[1] = 'A';
    add("NotStartingWithBM", notBm, BmpError::NotBitmap);

    auto offsetInHeader = rgb;
    patchLE32(offsetInHeader, 10, 40);
    add("PixelOffsetInsideInfoHeader", offsetInHeader, BmpError::BadHeader);
    auto offsetBeyondEnd = rgb;
    patchLE32(offsetBeyondEnd, 10, std::uint32_t(rgb.size() + 1));
    add("PixelOffsetBeyondEnd", offsetBeyondEnd, BmpError::HeaderTruncated);

    // Claims 60000 x 60000 pixels (10.8 GB) in a few bytes.
    HandMade huge;
    huge.width = 60000;
    huge.height = 60000;
    auto fiftyBytes = bitmapFile(huge);
    fiftyBytes.resize(50);
    add("FiftyBytesClaimingAHugePicture", fiftyBytes, BmpError::HeaderTruncated);
    huge.rows.assign(1000, 0x42);
    add("HugePictureWithAFewRows", bitmapFile(huge), BmpError::PixelsTruncated);

    auto os2 = smallRgb();
    os2.headerSize = 12;
    add("Os2CoreHeader", bitmapFile(os2, 40), BmpError::BadHeader);
    auto sizeZero = rgb;
    patchLE32(sizeZero, 14, 0);
    add("InfoHeaderSizeZero", sizeZero, BmpError::BadHeader);
    auto sizeBeyondPixels = rgb;
    patchLE32(sizeBeyondPixels, 14, 64);
    add("InfoHeaderReachesIntoPixelData", sizeBeyondPixels, BmpError::BadHeader);

    add("RunLength8", withHeader(smallPalette(8, 4, 1), [](HandMade& d) { d.compression = 1; }),
        BmpError::Compressed);
    add("RunLength4", withHeader(smallPalette(4, 4, 1), [](HandMade& d) { d.compression = 2; }),
        BmpError::Compressed);
    add("BitFields16",
        withHeader(smallRgb(),
                   [](HandMade& d) {
                       d.bitCount = 16;
                       d.compression = 3;
                   }),
        BmpError::Compressed);
    add("BitFields32",
        withHeader(smallRgb(),
                   [](HandMade& d) {
                       d.bitCount = 32;
                       d.compression = 3;
                       d.table = {{0, 0, 0xFF, 0}, {0, 0xFF, 0, 0}, {0xFF, 0, 0, 0}};  // the masks
                   }),
        BmpError::Compressed);
    for (std::uint16_t bits : {0, 2, 16, 32, 48})
        add("Plain" + std::to_string(bits) + "Bits",
            withHeader(smallRgb(), [bits](HandMade& d) { d.bitCount = bits; }),
            BmpError::UnsupportedBitDepth);

    add("ZeroWidth", withHeader(smallRgb(), [](HandMade& d) { d.width = 0; }), BmpError::BadSize);
    add("NegativeWidth", withHeader(smallRgb(), [](HandMade& d) { d.width = -3; }),
        BmpError::BadSize);
    add("ZeroHeight", withHeader(smallRgb(), [](HandMade& d) { d.height = 0; }), BmpError::BadSize);
    add("TopDownRows", withHeader(smallRgb(), [](HandMade& d) { d.height = -2; }),
        BmpError::TopDown);

    // biClrUsed 0 means 256 entries for 8 bits, but only 4 lie before the rows.
    add("ColourTableBeyondPixelData",
        withHeader(smallPalette(8, 4, 1), [](HandMade& d) { d.clrUsed = 0; }),
        BmpError::BadColorTable);
    add("HugeColourCount",
        withHeader(smallPalette(8, 4, 1), [](HandMade& d) { d.clrUsed = 0xFFFFFFFF; }),
        BmpError::BadColorTable);
    // With a 108-byte header the table starts at 122: a table that would fit behind a
    // 40-byte header does not fit here.
    auto bigHeader = smallPalette(4, 16, 1);
    bigHeader.headerSize = 108;
    auto tableCut = bitmapFile(bigHeader);
    patchLE32(tableCut, 10, 14 + 108 + 4 * 15);
    add("ColourTableCutByPixelOffset", tableCut, BmpError::BadColorTable);
    // A 4-bit pixel names 16 entries, but all 300 the header counts must lie before the rows.
    auto longTable = smallPalette(4, 300, 1);
    auto longTableCut = bitmapFile(longTable);
    patchLE32(longTableCut, 10, 14 + 40 + 4 * 299);
    add("ColourCountAboveDepthCutByPixelOffset", longTableCut, BmpError::BadColorTable);

    add("IndexBeyondTable8", bitmapFile(smallPalette(8, 4, 4)), BmpError::BadPaletteIndex);
    add("IndexBeyondTable4", bitmapFile(smallPalette(4, 2, 15)), BmpError::BadPaletteIndex);
    add("IndexBeyondTable1", bitmapFile(smallPalette(1, 1, 1)), BmpError::BadPaletteIndex);

    auto rgbCut = rgb;
    rgbCut.pop_back();
    add("PixelsCutShort24", rgbCut, BmpError::PixelsTruncated);
    auto palCut = bitmapFile(smallPalette(8, 4, 1));
    palCut.pop_back();
    add("PixelsCutShort8", palCut, BmpError::PixelsTruncated);
    add("NoPixelData", {rgb.begin(), rgb.begin() + 54}, BmpError::PixelsTruncated);
    return files;
}

bool loadBytes(dib24& image, const std::vector<std::uint8_t>& bytes, BmpError* why) {
    std::FILE* file = std::tmpfile();
    if (!file) throw std::runtime_error("cannot make a temporary file");
    const bool written =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (!written || std::fseek(file, 0, SEEK_SET) != 0) {
        std::fclose(file);
        throw std::runtime_error("cannot write a temporary file");
    }
    const bool loaded = image.loadFromFile(file, why);
    std::fclose(file);
    return loaded;
}

bool loadThroughPipe(dib24& image, const std::vector<std::uint8_t>& bytes, BmpError* why) {
    int ends[2];
    if (pipe(ends) != 0) throw std::runtime_error("pipe failed");
    if (!bytes.empty() && write(ends[1], bytes.data(), bytes.size()) != ssize_t(bytes.size()))
        throw std::runtime_error("pipe write failed");
    close(ends[1]);
    std::FILE* in = fdopen(ends[0], "rb");
    const bool loaded = image.loadFromFile(in, why);
    std::fclose(in);
    return loaded;
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

CommaLocale::CommaLocale() {
    if (tryLocale()) return;
    const std::string command = "localedef -i de_DE -f UTF-8 '" +
                                (folder_.path() / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return;
    setenv("LOCPATH", folder_.path().c_str(), 1);
    if (!tryLocale()) unsetenv("LOCPATH");
}

CommaLocale::~CommaLocale() {
    setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
}

bool CommaLocale::tryLocale() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"}) {
        if (setlocale(LC_ALL, name) && localeconv()->decimal_point[0] == ',') {
            active_ = true;
            return true;
        }
    }
    setlocale(LC_ALL, "C");
    return false;
}

}  // namespace testing_support
