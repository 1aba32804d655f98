#include "image/dib_block.h"

#include <gtest/gtest.h>

#include <cstring>

#include "image/bmp_records.h"
#include "tests/test_bitmaps.h"

namespace {

using namespace testing_support;

bool unpack(dib24& image, const std::vector<std::uint8_t>& block, BmpError* why = nullptr) {
    return unpackDib(image, block.data(), block.size(), why);
}

std::vector<std::uint8_t> pixelBlock(const dib24& image) {
    return {image.bits, image.bits + image.pixelBytes()};
}

TEST(PackDib, HeaderThenPixelBlockAndNothingElse) {
    auto image = randomImage(5, 3, 4);
    const auto block = packDib(*image);
    ASSERT_EQ(block.size(), 40u + 3 * 16);
    const BITMAPINFOHEADER h = bmp::decodeInfoHeader(block.data());
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, 5);
    EXPECT_EQ(h.biHeight, 3);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, 24);
    EXPECT_EQ(h.biCompression, 0u);
    EXPECT_EQ(h.biSizeImage, 0u);
    EXPECT_EQ(h.biClrUsed, 0u);
    EXPECT_TRUE(std::equal(block.begin() + 40, block.end(), image->bits));

    dib24 empty(0, 0);
    EXPECT_TRUE(packDib(empty).empty());
    EXPECT_TRUE(packBmp(empty).empty());
}

TEST(PackDib, CopyThenPasteGivesTheSamePicture) {
    for (int width = 1; width <= 9; ++width) {
        auto image = randomImage(width, 4, std::uint32_t(width));
        const auto block = packDib(*image);
        auto pasted = placeholder();
        BmpError why = BmpError::None;
        ASSERT_TRUE(unpack(*pasted, block, &why)) << describe(why);
        EXPECT_TRUE(samePixels(*image, *pasted)) << width;
        EXPECT_EQ(pixelBlock(*pasted), pixelBlock(*image)) << width;  // padding as well
    }
}

TEST(PackBmp, FileHeaderInFrontOfThePackedDib) {
    auto image = randomImage(3, 2, 8);
    const auto bmpBlock = packBmp(*image);
    const auto dibBlock = packDib(*image);
    ASSERT_EQ(bmpBlock.size(), 14 + dibBlock.size());
    EXPECT_EQ(bmpBlock[0], 'B');
    EXPECT_EQ(bmpBlock[1], 'M');
    EXPECT_EQ(bmp::readLE32(&bmpBlock[2]), bmpBlock.size());  // bfSize: the whole block
    EXPECT_EQ(bmp::readLE32(&bmpBlock[6]), 0u);
    EXPECT_EQ(bmp::readLE32(&bmpBlock[10]), 54u);
    EXPECT_TRUE(std::equal(dibBlock.begin(), dibBlock.end(), bmpBlock.begin() + 14));

    auto pasted = placeholder();
    ASSERT_TRUE(unpackBmp(*pasted, bmpBlock.data(), bmpBlock.size()));
    EXPECT_EQ(pixelBlock(*pasted), pixelBlock(*image));

    // The same bytes are a bitmap file the file reader accepts.
    auto loaded = placeholder();
    ASSERT_TRUE(loadBytes(*loaded, bmpBlock));
    EXPECT_TRUE(samePixels(*loaded, *image));
}

// --- Refusals of the blocks alone ---

// Claims that only a bare block can make: a table or a header longer than the block
// (every reader's refusals are in dib_decode_test.cpp).
TEST(UnpackDib, ClaimsBeyondTheBlockAreRefused) {
    HandMade data{.width = 2,
                  .height = 2,
                  .bitCount = 8,
                  .clrUsed = 0xFFFFFFFF,
                  .table = {{1, 1, 1, 0}, {2, 2, 2, 0}},
                  .rows = paddedRows({{0, 1}, {1, 0}}, 2, 8)};
    auto longClaim = packedDib(data);
    data.clrUsed = 2;
    auto good = placeholder();
    ASSERT_TRUE(unpack(*good, packedDib(data)));
    auto longHeader = packedDib(data);
    bmp::writeLE32(longHeader.data(), std::uint32_t(longHeader.size() + 1));
    for (const auto& block : {longClaim, longHeader}) {
        auto image = placeholder();
        BmpError why = BmpError::None;
        EXPECT_FALSE(unpack(*image, block, &why));
        EXPECT_EQ(why, BmpError::HeaderTruncated) << describe(why);
        expectUntouchedPlaceholder(*image);
    }

    EXPECT_FALSE(unpackDib(*good, nullptr, 100));
    EXPECT_FALSE(unpackBmp(*good, nullptr, 100));
    EXPECT_EQ(good->width, 2);
}

}  // namespace
