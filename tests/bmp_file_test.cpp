#include "image/bmp_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string>

#include "image/bmp_records.h"
#include "image/dib24.h"
#include "tests/test_bitmaps.h"

// The largest single allocation, so a test can show that a file's claims are not
// allocated before the file is known to hold them. AddressSanitizer reports every
// allocation to a hook; elsewhere a replaced operator new counts them.
namespace {
std::atomic<std::size_t> largestAllocation{0};
void noteAllocation(std::size_t size) {
    std::size_t seen = largestAllocation.load(std::memory_order_relaxed);
    while (size > seen && !largestAllocation.compare_exchange_weak(seen, size)) {
    }
}
}  // namespace

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BOKAVO_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define BOKAVO_ASAN 1
#endif

#ifdef BOKAVO_ASAN
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*,
                                                                            std::size_t),
                                                         void (*freeHook)(const volatile void*));
namespace {
void countAllocations() {
    static const int installed = __sanitizer_install_malloc_and_free_hooks(
        [](const volatile void*, std::size_t size) { noteAllocation(size); },
        [](const volatile void*) {});
    ASSERT_NE(installed, 0);
}
}  // namespace
#else
namespace {
void countAllocations() {}
}  // namespace
// Not inlined, so the compiler does not pair the malloc and free across them.
[[gnu::noinline]] void* operator new(std::size_t size) {
    noteAllocation(size);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#endif

namespace {

using namespace testing_support;

// Loads `bytes` through a pipe: a stream that cannot seek, whose length shows only by
// reading it.
bool loadThroughPipe(dib24& image, const std::vector<std::uint8_t>& bytes, BmpError* why) {
    int ends[2];
    if (pipe(ends) != 0) throw std::runtime_error("pipe failed");
    // The test data stays below the pipe's buffer, so it can be written before reading.
    if (!bytes.empty() && write(ends[1], bytes.data(), bytes.size()) != ssize_t(bytes.size()))
        throw std::runtime_error("pipe write failed");
    close(ends[1]);
    std::FILE* in = fdopen(ends[0], "rb");
    const bool loaded = image.loadFromFile(in, why);
    std::fclose(in);
    return loaded;
}

std::vector<std::uint8_t> pixelBlock(const dib24& image) {
    return {image.bits, image.bits + image.pixelBytes()};
}

TEST(BmpFile, SavedFileReadsBackWithEveryByte) {
    TempDir dir;
    for (int width = 1; width <= 9; ++width)
        for (int height = 1; height <= 3; ++height) {
            SCOPED_TRACE(testing::Message() << width << " x " << height);
            auto image = randomImage(width, height, std::uint32_t(width * 10 + height));
            ASSERT_TRUE(saveBitmap(*image, dir / "round.bmp"));
            auto back = loadBitmap(dir / "round.bmp");
            ASSERT_NE(back, nullptr);
            EXPECT_TRUE(samePixels(*image, *back));
            // 24-bit rows come back with their padding bytes.
            EXPECT_EQ(pixelBlock(*back), pixelBlock(*image));
        }
}

TEST(BmpFile, SavedFileLayout) {
    TempDir dir;
    auto image = randomImage(5, 3, 9);
    ASSERT_TRUE(saveBitmap(*image, dir / "layout.bmp"));
    const auto bytes = readFileBytes(dir / "layout.bmp");
    ASSERT_EQ(bytes.size(), 54u + 3 * 16);
    EXPECT_EQ(bytes[0], 'B');
    EXPECT_EQ(bytes[1], 'M');
    EXPECT_EQ(bmp::readLE32(&bytes[2]), 0u);  // bfSize is written as 0
    EXPECT_EQ(bmp::readLE32(&bytes[6]), 0u);  // both reserved words
    EXPECT_EQ(bmp::readLE32(&bytes[10]), 54u);
    const BITMAPINFOHEADER h = bmp::decodeInfoHeader(&bytes[14]);
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, 5);
    EXPECT_EQ(h.biHeight, 3);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, 24);
    EXPECT_EQ(h.biCompression, 0u);
    EXPECT_EQ(h.biSizeImage, 0u);
    EXPECT_EQ(h.biXPelsPerMeter, 0);
    EXPECT_EQ(h.biYPelsPerMeter, 0);
    EXPECT_EQ(h.biClrUsed, 0u);
    EXPECT_EQ(h.biClrImportant, 0u);
    EXPECT_TRUE(std::equal(bytes.begin() + 54, bytes.end(), image->bits));
}

TEST(BmpFile, WriteFailuresAreReported) {
    auto image = randomImage(4, 4, 2);
    if (std::FILE* full = std::fopen("/dev/full", "wb")) {
        EXPECT_FALSE(image->saveToFile(full));
        std::fclose(full);
    } else {
        ADD_FAILURE() << "/dev/full cannot be opened";
    }

    TempDir dir;
    writeFileBytes(dir / "readonly.bmp", {});
    std::FILE* readOnly = std::fopen((dir / "readonly.bmp").c_str(), "rb");
    ASSERT_NE(readOnly, nullptr);
    EXPECT_FALSE(image->saveToFile(readOnly));
    std::fclose(readOnly);

    // An image without pixels would make a file no reader accepts.
    dib24 empty(0, 0);
    std::FILE* out = std::fopen((dir / "empty.bmp").c_str(), "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_FALSE(empty.saveToFile(out));
    std::fclose(out);
}

// --- Every accepted depth, from hand-made files ---

TEST(BmpFileRead, TwentyFourBitRowsAreCopiedWithTheirPadding) {
    HandMade data;
    data.width = 3;  // 9 bytes of pixels and 3 of padding per row
    data.height = 2;
    data.rows = {1,  2,  3,  4,  5,  6,  7,  8,  9,  0xA1, 0xA2, 0xA3,  // bottom row
                 11, 12, 13, 14, 15, 16, 17, 18, 19, 0xB1, 0xB2, 0xB3};
    auto image = placeholder();
    BmpError why = BmpError::None;
    ASSERT_TRUE(loadBytes(*image, bitmapFile(data), &why)) << describe(why);
    EXPECT_EQ(image->width, 3);
    EXPECT_EQ(image->height, 2);
    EXPECT_EQ(pixelBlock(*image), data.rows);
    EXPECT_EQ(pixelFromTop(*image, 0, 0, 0), 11);  // the top row is the last in the file
    EXPECT_EQ(pixelFromTop(*image, 2, 1, 2), 9);
}

TEST(BmpFileRead, EightBitGreyTableGivesEqualChannels) {
    HandMade data;
    data.width = 5;  // rows of 5 bytes padded to 8
    data.height = 2;
    data.bitCount = 8;
    data.table = greyTable();
    data.rows = paddedRows({{0, 1, 127, 128, 255}, {9, 99, 199, 200, 254}}, 5, 8, 0xFF);
    auto image = placeholder();
    ASSERT_TRUE(loadBytes(*image, bitmapFile(data)));
    const std::uint8_t topRow[] = {9, 99, 199, 200, 254};
    const std::uint8_t bottomRow[] = {0, 1, 127, 128, 255};
    for (int x = 0; x < 5; ++x)
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(pixelFromTop(*image, x, 0, c), topRow[x]);
            EXPECT_EQ(pixelFromTop(*image, x, 1, c), bottomRow[x]);
        }
}

TEST(BmpFileRead, PaletteRowsGetZeroPadding) {
    HandMade data;
    data.width = 1;  // 3 pixel bytes and 1 padding byte per row in the image
    data.height = 3;
    data.bitCount = 8;
    data.clrUsed = 1;
    data.table = {{7, 8, 9, 0}};
    data.rows = paddedRows({{0}, {0}, {0}}, 1, 8, 0xFF);
    // Fill the allocator's free memory with non-zero bytes first, so stale bytes show.
    for (int i = 0; i < 10; ++i) randomImage(1, 3, i);
    auto image = placeholder();
    ASSERT_TRUE(loadBytes(*image, bitmapFile(data)));
    const std::vector<std::uint8_t> want = {7, 8, 9, 0, 7, 8, 9, 0, 7, 8, 9, 0};
    EXPECT_EQ(pixelBlock(*image), want);
}

TEST(BmpFileRead, EightBitColoursAreCopiedExactly) {
    HandMade data;
    data.width = 3;
    data.height = 1;
    data.bitCount = 8;
    data.clrUsed = 3;
    data.table = {{10, 20, 30, 99}, {40, 50, 60, 99}, {70, 80, 90, 99}};
    data.rows = paddedRows({{2, 0, 1}}, 3, 8);
    auto image = placeholder();
    ASSERT_TRUE(loadBytes(*image, bitmapFile(data)));
    const std::uint8_t want[] = {70, 80, 90, 10, 20, 30, 40, 50, 60};
    EXPECT_EQ(std::memcmp(image->bits, want, 9), 0);
}

TEST(BmpFileRead, FourBitOddWidthTakesTheLastPixelFromAHighNibble) {
    HandMade data;
    data.width = 5;  // 3 data bytes per row, padded to 4
    data.height = 2;
    data.bitCount = 4;
    data.clrUsed = 6;
    for (std::uint8_t i = 0; i < 6; ++i) data.table.push_back({i, std::uint8_t(i + 100), 0, 0});
    // The low nibble after the last pixel is not a pixel: 0xF would be beyond the table.
    data.rows = paddedRows({{0x01, 0x23, 0x4F}, {0x54, 0x32, 0x1F}}, 5, 4, 0xFF);
    auto image = placeholder();
    BmpError why = BmpError::None;
    ASSERT_TRUE(loadBytes(*image, bitmapFile(data), &why)) << describe(why);
    const int bottom[] = {0, 1, 2, 3, 4};
    const int top[] = {5, 4, 3, 2, 1};
    for (int x = 0; x < 5; ++x) {
        EXPECT_EQ(pixelFromTop(*image, x, 1, 0), bottom[x]) << x;
        EXPECT_EQ(pixelFromTop(*image, x, 0, 0), top[x]) << x;
        EXPECT_EQ(pixelFromTop(*image, x, 0, 1), top[x] + 100) << x;
    }
}

TEST(BmpFileRead, OneBitWithoutColourCountTakesTwoColoursFromOffset54) {
    HandMade data;
    data.width = 10;  // 2 data bytes per row
    data.height = 1;
    data.bitCount = 1;
    data.table = {{1, 2, 3, 4}, {201, 202, 203, 204}};
    data.rows = paddedRows({{0b10110000, 0b01000000}}, 10, 1, 0xFF);
    const auto file = bitmapFile(data);
    const std::uint8_t tableBytes[] = {1, 2, 3, 4, 201, 202, 203, 204};
    ASSERT_EQ(std::memcmp(&file[54], tableBytes, 8), 0);
    ASSERT_EQ(bmp::readLE32(&file[10]), 62u);

    auto image = placeholder();
    ASSERT_TRUE(loadBytes(*image, file));
    // Pixel 0 is bit 7 of the first byte.
    const int bit[] = {1, 0, 1, 1, 0, 0, 0, 0, 0, 1};
    for (int x = 0; x < 10; ++x) {
        EXPECT_EQ(image->bits[3 * x + 0], bit[x] ? 201 : 1) << x;
        EXPECT_EQ(image->bits[3 * x + 2], bit[x] ? 203 : 3) << x;
    }
}

// Later header versions: the colour table follows the header, and the rows lie at
// bfOffBits. Bytes 40 and on of these headers are 0xA5 here, never a colour.
class LongerInfoHeader : public testing::TestWithParam<std::uint32_t> {};

TEST_P(LongerInfoHeader, PaletteFilesOfEveryDepth) {
    for (std::uint16_t bits : {1, 4, 8}) {
        SCOPED_TRACE(testing::Message() << bits << " bits");
        HandMade data;
        data.width = 3;
        data.height = 2;
        data.bitCount = bits;
        data.headerSize = GetParam();
        data.clrUsed = 2;
        data.table = {{10, 11, 12, 0}, {20, 21, 22, 0}};
        // Pixels 1, 0, 1 in the bottom row, 0, 1, 1 in the top row.
        const std::vector<std::vector<std::uint8_t>> rows =
            bits == 8   ? std::vector<std::vector<std::uint8_t>>{{1, 0, 1}, {0, 1, 1}}
            : bits == 4 ? std::vector<std::vector<std::uint8_t>>{{0x10, 0x10}, {0x01, 0x10}}
                        : std::vector<std::vector<std::uint8_t>>{{0xA0}, {0x60}};
        data.rows = paddedRows(rows, 3, bits);
        auto image = placeholder();
        BmpError why = BmpError::None;
        ASSERT_TRUE(loadBytes(*image, bitmapFile(data, 6), &why)) << describe(why);
        const int bottom[] = {1, 0, 1}, top[] = {0, 1, 1};
        for (int x = 0; x < 3; ++x) {
            EXPECT_EQ(pixelFromTop(*image, x, 1, 0), bottom[x] ? 20 : 10);
            EXPECT_EQ(pixelFromTop(*image, x, 0, 2), top[x] ? 22 : 12);
        }
    }
}

TEST_P(LongerInfoHeader, TwentyFourBitRowsAtThePixelOffset) {
    HandMade data;
    data.width = 2;
    data.height = 2;
    data.headerSize = GetParam();
    data.rows = paddedRows({{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}}, 2, 24);
    auto image = placeholder();
    ASSERT_TRUE(loadBytes(*image, bitmapFile(data, 12)));
    EXPECT_EQ(pixelFromTop(*image, 0, 0, 0), 7);
    EXPECT_EQ(pixelFromTop(*image, 1, 1, 2), 6);
}

INSTANTIATE_TEST_SUITE_P(BmpFileRead, LongerInfoHeader, testing::Values(40u, 52u, 108u, 124u));

TEST(BmpFileRead, ColourCountAboveTheBitDepthUsesTheFirstEntries) {
    HandMade data;
    data.width = 4;
    data.height = 1;
    data.bitCount = 1;
    data.clrUsed = 5;  // a 1-bit pixel can name only entries 0 and 1
    data.table = {{1, 1, 1, 0}, {2, 2, 2, 0}, {3, 3, 3, 0}, {4, 4, 4, 0}, {5, 5, 5, 0}};
    data.rows = paddedRows({{0b01100000}}, 4, 1);
    auto image = placeholder();
    ASSERT_TRUE(loadBytes(*image, bitmapFile(data)));
    const std::uint8_t want[] = {1, 2, 2, 1};
    for (int x = 0; x < 4; ++x) EXPECT_EQ(image->bits[3 * x], want[x]);

    // 300 entries behind a 4-bit header: the whole table must lie before the rows.
    data.bitCount = 4;
    data.clrUsed = 300;
    data.table.assign(300, RGBQUAD{7, 7, 7, 0});
    data.table[15] = {15, 15, 15, 0};
    data.rows = paddedRows({{0xF0, 0x0F}}, 4, 4);
    ASSERT_TRUE(loadBytes(*image, bitmapFile(data)));
    EXPECT_EQ(image->bits[0], 15);
    EXPECT_EQ(image->bits[3], 7);
    EXPECT_EQ(image->bits[9], 15);

    auto cut = bitmapFile(data);
    bmp::writeLE32(&cut[10], 14 + 40 + 4 * 299);  // the rows would begin inside the table
    BmpError why = BmpError::None;
    EXPECT_FALSE(loadBytes(*image, cut, &why));
    EXPECT_EQ(why, BmpError::BadColorTable);
}

TEST(BmpFileRead, StreamThatCannotSeek) {
    HandMade data;
    data.width = 3;
    data.height = 2;
    data.bitCount = 8;
    data.table = greyTable();
    data.rows = paddedRows({{1, 2, 3}, {4, 5, 6}}, 3, 8);
    auto image = placeholder();
    BmpError why = BmpError::None;
    ASSERT_TRUE(loadThroughPipe(*image, bitmapFile(data, 3), &why)) << describe(why);
    EXPECT_EQ(pixelFromTop(*image, 2, 0, 1), 6);

    HandMade rgb;
    rgb.width = 2;
    rgb.rows = paddedRows({{1, 2, 3, 4, 5, 6}}, 2, 24, 0x99);
    ASSERT_TRUE(loadThroughPipe(*image, bitmapFile(rgb), &why));
    EXPECT_EQ(pixelBlock(*image), rgb.rows);
}

// --- Refusals ---

class BadFile : public testing::TestWithParam<BadBitmap> {};

TEST_P(BadFile, IsRefusedWithItsReasonAndTheImageUntouched) {
    const BadBitmap& bad = GetParam();
    auto image = placeholder();
    BmpError why = BmpError::None;
    EXPECT_FALSE(loadBytes(*image, bad.bytes, &why));
    EXPECT_EQ(why, bad.error) << describe(why);
    expectUntouchedPlaceholder(*image);

    if (bad.bytes.size() < 60000) {
        why = BmpError::None;
        EXPECT_FALSE(loadThroughPipe(*image, bad.bytes, &why));
        EXPECT_EQ(why, bad.error) << "through a pipe: " << describe(why);
        expectUntouchedPlaceholder(*image);
    }
}

INSTANTIATE_TEST_SUITE_P(BmpFileRead, BadFile, testing::ValuesIn(badBitmapFiles()),
                         [](const testing::TestParamInfo<BadBitmap>& info) {
                             return info.param.name;
                         });

// Cuts a valid file at every length and expects the reason of the stage it ends in.
void expectEveryTruncationRefused(const std::vector<std::uint8_t>& file) {
    const std::uint32_t offBits = bmp::readLE32(&file[10]);
    for (std::size_t length = 0; length < file.size(); ++length) {
        SCOPED_TRACE(testing::Message() << "cut at " << length << " of " << file.size());
        const std::vector<std::uint8_t> cut(file.begin(), file.begin() + std::ptrdiff_t(length));
        const BmpError want = length < 14        ? BmpError::NotBitmap
                              : length < offBits ? BmpError::HeaderTruncated
                                                 : BmpError::PixelsTruncated;
        auto image = placeholder();
        BmpError why = BmpError::None;
        ASSERT_FALSE(loadBytes(*image, cut, &why));
        ASSERT_EQ(why, want);
        expectUntouchedPlaceholder(*image);
        why = BmpError::None;
        ASSERT_FALSE(loadThroughPipe(*image, cut, &why));
        ASSERT_EQ(why, want) << "through a pipe";
        expectUntouchedPlaceholder(*image);
    }
    auto image = placeholder();
    EXPECT_TRUE(loadBytes(*image, file));
}

TEST(BmpFileRead, TruncationAtEveryStage) {
    HandMade rgb;
    rgb.width = 3;
    rgb.height = 3;
    rgb.rows.assign(3 * 12, 0x44);
    expectEveryTruncationRefused(bitmapFile(rgb));

    HandMade palette;
    palette.width = 5;
    palette.height = 2;
    palette.bitCount = 4;
    palette.headerSize = 108;
    palette.table.assign(16, RGBQUAD{1, 2, 3, 0});
    palette.rows.assign(2 * 4, 0x00);
    expectEveryTruncationRefused(bitmapFile(palette, 5));
}

TEST(BmpFileRead, ClaimsAreNotAllocatedBeforeTheFileHoldsThem) {
    countAllocations();
    HandMade huge;
    huge.width = 60000;
    huge.height = 60000;
    huge.bitCount = 8;
    huge.table = greyTable();
    huge.rows.assign(5000, 0x42);
    auto farOffset = bitmapFile(huge);
    bmp::writeLE32(&farOffset[10], 0xFFFF0000u);  // claims 4 GB before the rows
    for (const auto& file : {bitmapFile(huge), farOffset}) {
        auto image = placeholder();
        largestAllocation = 0;
        BmpError why = BmpError::None;
        EXPECT_FALSE(loadBytes(*image, file, &why));
        EXPECT_LT(largestAllocation.load(), std::size_t{1} << 20);
        largestAllocation = 0;
        EXPECT_FALSE(loadThroughPipe(*image, file, &why));
        // Without a known length, the reader grows its buffer only as data arrives.
        EXPECT_GT(largestAllocation.load(), 4096u);  // it did read into a buffer
        EXPECT_LE(largestAllocation.load(), std::size_t{2} << 20);
        expectUntouchedPlaceholder(*image);
    }
}

TEST(BmpFileRead, PicturesThatCannotBeAllocatedAreRefused) {
    HandMade data;
    data.width = 4;
    data.height = 4;
    data.rows.assign(4 * 12, 1);
    const std::size_t saved = std::exchange(dib24::sectionLimit, 40);
    auto image = placeholder();
    BmpError why = BmpError::None;
    const bool loaded = loadBytes(*image, bitmapFile(data), &why);
    dib24::sectionLimit = saved;
    EXPECT_FALSE(loaded);
    EXPECT_EQ(why, BmpError::OutOfMemory);
    expectUntouchedPlaceholder(*image);
}

TEST(BmpFile, EveryReasonHasItsOwnText) {
    std::set<std::string> texts;
    for (int e = int(BmpError::None); e <= int(BmpError::OutOfMemory); ++e) {
        const std::string text = describe(BmpError(e));
        EXPECT_NE(text, "unknown error") << e;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), std::size_t(BmpError::OutOfMemory) + 1);
}

}  // namespace
