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
