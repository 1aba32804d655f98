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

// --- Where the table and the rows lie ---

TEST(UnpackDib, EightBitGreyWithoutColourCountHasItsRowsAt1064) {
    HandMade data;
    data.width = 3;
    data.height = 2;
    data.bitCount = 8;
    data.table = greyTable();
    data.rows = paddedRows({{10, 20, 30}, {40, 50, 60}}, 3, 8, 0xEE);
    const auto block = packedDib(data);
    ASSERT_EQ(block.size(), 1064u + 8);
    ASSERT_EQ(block[1064], 10);
    auto image = placeholder();
    ASSERT_TRUE(unpack(*image, block));
    const std::uint8_t top[] = {40, 50, 60};
    for (int x = 0; x < 3; ++x)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(pixelFromTop(*image, x, 0, c), top[x]);
}

TEST(UnpackDib, OneBitWithoutColourCountHasItsRowsAt48) {
    HandMade data;
    data.width = 9;
    data.height = 1;
    data.bitCount = 1;
    data.table = {{0, 0, 0, 0}, {255, 128, 1, 0}};
    data.rows = paddedRows({{0b10000001, 0b10000000}}, 9, 1);
    const auto block = packedDib(data);
    ASSERT_EQ(block.size(), 48u + 4);
    ASSERT_EQ(block[48], 0b10000001);
    auto image = placeholder();
    ASSERT_TRUE(unpack(*image, block));
    const int bit[] = {1, 0, 0, 0, 0, 0, 0, 1, 1};
    for (int x = 0; x < 9; ++x) EXPECT_EQ(image->bits[3 * x + 1], bit[x] ? 128 : 0) << x;
}

TEST(UnpackDib, FourBitOddWidth) {
    HandMade data;
    data.width = 3;
    data.height = 1;
    data.bitCount = 4;
    data.clrUsed = 4;
    data.table = {{0, 0, 0, 0}, {1, 1, 1, 0}, {2, 2, 2, 0}, {3, 3, 3, 0}};
    data.rows = paddedRows({{0x32, 0x1F}}, 3, 4);  // low nibble 0xF is not a pixel
    auto image = placeholder();
    BmpError why = BmpError::None;
    ASSERT_TRUE(unpack(*image, packedDib(data), &why)) << describe(why);
    EXPECT_EQ(image->bits[0], 3);
    EXPECT_EQ(image->bits[3], 2);
    EXPECT_EQ(image->bits[6], 1);
}

class LongerBlockHeader : public testing::TestWithParam<std::uint32_t> {};

TEST_P(LongerBlockHeader, TableFollowsTheHeaderAndRowsFollowTheTable) {
    for (std::uint16_t bits : {1, 4, 8}) {
        SCOPED_TRACE(testing::Message() << bits << " bits");
        HandMade data;
        data.width = 2;
        data.height = 1;
        data.bitCount = bits;
        data.headerSize = GetParam();
        data.clrUsed = 2;
        data.table = {{10, 11, 12, 0}, {20, 21, 22, 0}};
        data.rows = paddedRows({{bits == 8   ? std::vector<std::uint8_t>{1, 0}
                                 : bits == 4 ? std::vector<std::uint8_t>{0x10}
                                             : std::vector<std::uint8_t>{0x80}}},
                               2, bits);
        auto image = placeholder();
        BmpError why = BmpError::None;
        ASSERT_TRUE(unpack(*image, packedDib(data), &why)) << describe(why);
        const std::uint8_t want[] = {20, 21, 22, 10, 11, 12};
        EXPECT_EQ(std::memcmp(image->bits, want, 6), 0);
    }
}

TEST_P(LongerBlockHeader, TwentyFourBitRowsFollowTheHeader) {
    HandMade data;
    data.width = 1;
    data.height = 2;
    data.headerSize = GetParam();
    data.rows = paddedRows({{1, 2, 3}, {4, 5, 6}}, 1, 24, 0x77);
    auto image = placeholder();
    ASSERT_TRUE(unpack(*image, packedDib(data)));
    EXPECT_EQ(pixelBlock(*image), data.rows);
}

INSTANTIATE_TEST_SUITE_P(UnpackDib, LongerBlockHeader, testing::Values(40u, 108u, 124u));

TEST(UnpackDib, TwentyFourBitBlockWithATableHasItsRowsAfterIt) {
    HandMade data;
    data.width = 2;
    data.height = 1;
    data.clrUsed = 3;
    data.table.assign(3, RGBQUAD{0xDD, 0xDD, 0xDD, 0xDD});
    data.rows = paddedRows({{1, 2, 3, 4, 5, 6}}, 2, 24);
    const auto block = packedDib(data);
    ASSERT_EQ(block.size(), 52u + 8);
    auto image = placeholder();
    ASSERT_TRUE(unpack(*image, block));
    EXPECT_EQ(pixelBlock(*image), data.rows);

    data.headerSize = 124;
    ASSERT_TRUE(unpack(*image, packedDib(data)));
    EXPECT_EQ(pixelBlock(*image), data.rows);
}

TEST(UnpackBmp, RowsLieAtThePixelOffset) {
    HandMade data;
    data.width = 3;
    data.height = 1;
    data.bitCount = 8;
    data.headerSize = 108;
    data.clrUsed = 3;
    data.table = {{1, 1, 1, 0}, {2, 2, 2, 0}, {3, 3, 3, 0}};
    data.rows = paddedRows({{2, 1, 0}}, 3, 8);
    const auto block = bitmapFile(data, 7);
    auto image = placeholder();
    BmpError why = BmpError::None;
    ASSERT_TRUE(unpackBmp(*image, block.data(), block.size(), &why)) << describe(why);
    EXPECT_EQ(image->bits[0], 3);
    EXPECT_EQ(image->bits[3], 2);
    EXPECT_EQ(image->bits[6], 1);
}

// --- Refusals ---

TEST(UnpackDib, ThirtyTwoBitBlocksAreRefused) {
    HandMade plain;
    plain.width = 2;
    plain.height = 2;
    plain.bitCount = 32;
    plain.rows.assign(16, 0x80);
    HandMade masks = plain;
    masks.compression = 3;  // bit fields: three masks after the header
    masks.table = {{0, 0, 0xFF, 0}, {0, 0xFF, 0, 0}, {0xFF, 0, 0, 0}};
    HandMade longHeader = masks;
    longHeader.headerSize = 124;  // masks inside the header
    longHeader.table.clear();

    const std::pair<const HandMade*, BmpError> blocks[] = {
        {&plain, BmpError::UnsupportedBitDepth},
        {&masks, BmpError::Compressed},
        {&longHeader, BmpError::Compressed},
    };
    for (auto [data, error] : blocks) {
        auto image = placeholder();
        BmpError why = BmpError::None;
        EXPECT_FALSE(unpack(*image, packedDib(*data), &why));
        EXPECT_EQ(why, error);
        expectUntouchedPlaceholder(*image);
    }
}

TEST(UnpackDib, BadHeadersAndIndicesAreRefused) {
    auto refuseBlock = [](const std::vector<std::uint8_t>& block, BmpError error) {
        auto image = placeholder();
        BmpError why = BmpError::None;
        EXPECT_FALSE(unpack(*image, block, &why));
        EXPECT_EQ(why, error) << describe(why);
        expectUntouchedPlaceholder(*image);
    };
    HandMade data;
    data.width = 2;
    data.height = 2;
    data.bitCount = 8;
    data.clrUsed = 2;
    data.table = {{1, 1, 1, 0}, {2, 2, 2, 0}};
    data.rows = paddedRows({{0, 1}, {1, 0}}, 2, 8);
    auto good = placeholder();
    ASSERT_TRUE(unpack(*good, packedDib(data)));

    auto changed = [&](auto edit) {
        HandMade d = data;
        edit(d);
        return packedDib(d);
    };
    refuseBlock(changed([](HandMade& d) { d.width = 0; }), BmpError::BadSize);
    refuseBlock(changed([](HandMade& d) { d.height = -2; }), BmpError::TopDown);
    refuseBlock(changed([](HandMade& d) { d.width = -1; }), BmpError::BadSize);
    refuseBlock(changed([](HandMade& d) { d.compression = 1; }), BmpError::Compressed);
    refuseBlock(changed([](HandMade& d) { d.bitCount = 16; }), BmpError::UnsupportedBitDepth);
    refuseBlock(changed([](HandMade& d) { d.rows[5] = 2; }), BmpError::BadPaletteIndex);
    refuseBlock(changed([](HandMade& d) { d.clrUsed = 0xFFFFFFFF; }), BmpError::HeaderTruncated);
    // A header shorter than 40 bytes, in a block long enough for 40.
    refuseBlock(changed([](HandMade& d) {
                    d.headerSize = 12;
                    d.rows.resize(40, 0);
                }),
                BmpError::BadHeader);
    // A header that claims to be longer than the whole block.
    auto longClaim = packedDib(data);
    bmp::writeLE32(longClaim.data(), std::uint32_t(longClaim.size() + 1));
    refuseBlock(longClaim, BmpError::HeaderTruncated);

    EXPECT_FALSE(unpackDib(*good, nullptr, 100));
    EXPECT_FALSE(unpackBmp(*good, nullptr, 100));
    EXPECT_EQ(good->width, 2);
}

// Cuts a valid block at every length: below the header, inside the table and inside the
// rows, each with its own reason.
void expectEveryShortBlockRefused(const HandMade& data) {
    const auto block = packedDib(data);
    const std::size_t rowsAt = block.size() - data.rows.size();
    for (std::size_t length = 0; length < block.size(); ++length) {
        SCOPED_TRACE(testing::Message() << "length " << length << " of " << block.size());
        const BmpError want =
            length < rowsAt ? BmpError::HeaderTruncated : BmpError::PixelsTruncated;
        auto image = placeholder();
        BmpError why = BmpError::None;
        // A copy of exactly `length` bytes, so AddressSanitizer sees any read beyond it.
        const std::vector<std::uint8_t> cut(block.begin(), block.begin() + std::ptrdiff_t(length));
        ASSERT_FALSE(unpack(*image, cut, &why));
        ASSERT_EQ(why, want);
        expectUntouchedPlaceholder(*image);
    }
    auto image = placeholder();
    EXPECT_TRUE(unpack(*image, block));
}

TEST(UnpackDib, ShortBlocksAtEveryBoundary) {
    HandMade grey;
    grey.width = 3;
    grey.height = 2;
    grey.bitCount = 8;
    grey.table = greyTable();
    grey.rows = paddedRows({{1, 2, 3}, {4, 5, 6}}, 3, 8);
    expectEveryShortBlockRefused(grey);

    HandMade oneBit;
    oneBit.width = 40;
    oneBit.height = 2;
    oneBit.bitCount = 1;
    oneBit.headerSize = 108;
    oneBit.table = {{0, 0, 0, 0}, {9, 9, 9, 0}};
    oneBit.rows.assign(16, 0xAA);
    expectEveryShortBlockRefused(oneBit);

    HandMade rgbWithTable;
    rgbWithTable.width = 2;
    rgbWithTable.height = 2;
    rgbWithTable.clrUsed = 2;
    rgbWithTable.table.assign(2, RGBQUAD{});
    rgbWithTable.rows.assign(16, 0x10);
    expectEveryShortBlockRefused(rgbWithTable);
}

// A block behind a file header is read with exactly the file reader's checks.
class BadBmpBlock : public testing::TestWithParam<BadBitmap> {};

TEST_P(BadBmpBlock, IsRefusedLikeTheSameFile) {
    const BadBitmap& bad = GetParam();
    auto image = placeholder();
    BmpError why = BmpError::None;
    const std::vector<std::uint8_t> block = bad.bytes;  // exactly sized, for the sanitizer
    EXPECT_FALSE(unpackBmp(*image, block.data(), block.size(), &why));
    EXPECT_EQ(why, bad.error) << describe(why);
    expectUntouchedPlaceholder(*image);
}

INSTANTIATE_TEST_SUITE_P(UnpackBmp, BadBmpBlock, testing::ValuesIn(badBitmapFiles()),
                         [](const testing::TestParamInfo<BadBitmap>& info) {
                             return info.param.name;
                         });

TEST(UnpackBmp, ShortBlocksAgreeWithTheFileReader) {
    HandMade data;
    data.width = 5;
    data.height = 2;
    data.bitCount = 4;
    data.headerSize = 124;
    data.table.assign(16, RGBQUAD{4, 5, 6, 0});
    data.rows.assign(8, 0x12);
    const auto file = bitmapFile(data, 3);
    for (std::size_t length = 0; length <= file.size(); ++length) {
        SCOPED_TRACE(testing::Message() << "length " << length);
        const std::vector<std::uint8_t> cut(file.begin(), file.begin() + std::ptrdiff_t(length));
        auto fromFile = placeholder();
        auto fromBlock = placeholder();
        BmpError fileWhy = BmpError::None, blockWhy = BmpError::None;
        const bool fileOk = loadBytes(*fromFile, cut, &fileWhy);
        const bool blockOk = unpackBmp(*fromBlock, cut.data(), cut.size(), &blockWhy);
        ASSERT_EQ(fileOk, blockOk);
        ASSERT_EQ(fileWhy, blockWhy);
        // Pixels only: the padding of expanded palette rows is never written.
        EXPECT_TRUE(samePixels(*fromFile, *fromBlock));
    }
}

}  // namespace
