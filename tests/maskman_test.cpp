#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "defocus/maskman.h"
#include "tests/test_bitmaps.h"

using testing_support::makeImage;
using testing_support::randomImage;
using testing_support::samePixels;
using testing_support::saveBitmap;
using testing_support::TempDir;

namespace {

std::uint8_t at(const dib24& image, int x, int r, int c) {
    return image.bits[std::size_t(r) * image.stride + 3 * x + c];
}

// A MaskMan loaded from a bitmap file holding `shape`.
struct LoadedMasks {
    explicit LoadedMasks(const dib24& shape) {
        const auto path = dir / "shape.bmp";
        EXPECT_TRUE(saveBitmap(shape, path));
        EXPECT_TRUE(masks.Load(path.c_str()));
    }
    TempDir dir;
    MaskMan masks;
};

std::vector<const dib24*> cached(const MaskMan& masks) {
    std::vector<const dib24*> images;
    for (const auto& copy : masks.scaled) images.push_back(copy.get());
    return images;
}

}  // namespace

TEST(MaskMan, LoadInstallsTheShapeAndItsOwnSizeIsTheShapeItself) {
    auto shape = randomImage(5, 5, 1);
    LoadedMasks loaded(*shape);
    MaskMan& masks = loaded.masks;
    ASSERT_NE(masks.shape, nullptr);
    EXPECT_TRUE(samePixels(*masks.shape, *shape));
    EXPECT_EQ(masks.GetMask(5), masks.shape.get());
    EXPECT_TRUE(masks.scaled.empty());
}

TEST(MaskMan, EachSizeIsScaledOnceAndKeptInRequestOrder) {
    MaskMan masks;
    masks.shape = randomImage(6, 6, 2);
    dib24* three = masks.GetMask(3);
    ASSERT_NE(three, nullptr);
    EXPECT_EQ(three->width, 3);
    EXPECT_EQ(three->height, 3);
    dib24* ten = masks.GetMask(10);
    ASSERT_NE(ten, nullptr);
    EXPECT_EQ(masks.GetMask(3), three);
    EXPECT_EQ(masks.GetMask(10), ten);
    EXPECT_EQ(masks.GetMask(6), masks.shape.get());
    EXPECT_EQ(cached(masks), (std::vector<const dib24*>{three, ten}));
    // The copy is the shape resized, nothing else.
    auto expected = masks.shape->resized(10, 10);
    EXPECT_TRUE(samePixels(*ten, *expected));
}

TEST(MaskMan, SizeOneIsTheAreaAverageTruncatedInEachPass) {
    // Row averages 0.67, 0.67 and 1.67 truncate to 0, 0, 1, whose average 0.33 gives 0,
    // although the whole shape averages exactly 1. Green adds 30 to every byte: 30.
    const std::uint8_t rows[3][3] = {{0, 0, 2}, {0, 0, 2}, {1, 2, 2}};
    MaskMan masks;
    masks.shape = makeImage(3, 3, [&](int x, int r, int c) {
        return std::uint8_t(rows[r][x] + (c == 1 ? 30 : 0) + (c == 2 ? 200 : 0));
    });
    dib24* one = masks.GetMask(1);
    ASSERT_NE(one, nullptr);
    ASSERT_EQ(one->width, 1);
    EXPECT_EQ(at(*one, 0, 0, 0), 0);
    EXPECT_EQ(at(*one, 0, 0, 1), 30);
    EXPECT_EQ(at(*one, 0, 0, 2), 200);
}

TEST(MaskMan, LargerSizesInterpolateLinearly) {
    // Memory rows (bottom up): 0 100 / 200 40. Each pass doubles by 0, 1/2, 1, 1.5.
    const std::uint8_t rows[2][2] = {{0, 100}, {200, 40}};
    MaskMan masks;
    masks.shape = makeImage(2, 2, [&](int x, int r, int) { return rows[r][x]; });
    dib24* four = masks.GetMask(4);
    ASSERT_NE(four, nullptr);
    const int expected[4][4] = {
        {0, 50, 100, 100}, {100, 85, 70, 70}, {200, 120, 40, 40}, {200, 120, 40, 40}};
    for (int r = 0; r < 4; ++r)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(at(*four, x, r, 1), expected[r][x]) << r << "," << x;
}

TEST(MaskMan, SuccessfulLoadReplacesShapeAndCache) {
    auto first = makeImage(4, 4, [](int, int, int) { return std::uint8_t(40); });
    LoadedMasks loaded(*first);
    MaskMan& masks = loaded.masks;
    ASSERT_NE(masks.GetMask(2), nullptr);
    EXPECT_EQ(at(*masks.GetMask(2), 0, 0, 0), 40);

    auto second = makeImage(3, 3, [](int, int, int) { return std::uint8_t(90); });
    const auto path = loaded.dir / "second.bmp";
    ASSERT_TRUE(saveBitmap(*second, path));
    ASSERT_TRUE(masks.Load(path.c_str()));
    EXPECT_EQ(masks.shape->width, 3);
    EXPECT_TRUE(masks.scaled.empty());
    dib24* two = masks.GetMask(2);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(at(*two, 1, 1, 2), 90);  // made from the new shape
    EXPECT_EQ(masks.scaled.size(), 1u);
}

TEST(MaskMan, FailedLoadsChangeNothing) {
    auto shape = randomImage(4, 4, 3);
    LoadedMasks loaded(*shape);
    MaskMan& masks = loaded.masks;
    ASSERT_NE(masks.GetMask(2), nullptr);
    ASSERT_NE(masks.GetMask(7), nullptr);
    const dib24* shapeBefore = masks.shape.get();
    const std::vector<const dib24*> cacheBefore = cached(masks);

    const auto notBitmap = loaded.dir / "notes.bmp";
    testing_support::writeFileBytes(notBitmap, {'h', 'e', 'l', 'l', 'o', '\n'});
    const auto wide = loaded.dir / "wide.bmp";
    ASSERT_TRUE(saveBitmap(*randomImage(64, 32, 4), wide));

    struct Case {
        std::filesystem::path path;
        std::string reason;
    };
    for (const Case& bad : {Case{loaded.dir / "missing.bmp", "cannot open"},
                            Case{notBitmap, "not a bitmap file"}, Case{wide, "not square"}}) {
        std::string why;
        EXPECT_FALSE(masks.Load(bad.path.c_str(), &why)) << bad.path;
        EXPECT_NE(why.find(bad.reason), std::string::npos) << why;
        EXPECT_FALSE(masks.Load(bad.path.c_str()));  // the reason is optional
        EXPECT_EQ(masks.shape.get(), shapeBefore);
        EXPECT_EQ(cached(masks), cacheBefore);
    }
    EXPECT_TRUE(samePixels(*masks.shape, *shape));
}

TEST(MaskMan, NoKernelWithoutShapeOrForSizesBelowOne) {
    MaskMan masks;
    EXPECT_EQ(masks.GetMask(1), nullptr);
    EXPECT_EQ(masks.GetMask(5), nullptr);
    masks.shape = randomImage(3, 3, 5);
    EXPECT_EQ(masks.GetMask(0), nullptr);
    EXPECT_EQ(masks.GetMask(-4), nullptr);
    EXPECT_TRUE(masks.scaled.empty());
}

TEST(MaskMan, CopyThatCannotBeMadeIsNotCached) {
    MaskMan masks;
    masks.shape = randomImage(3, 3, 6);
    dib24* two = masks.GetMask(2);
    const std::size_t savedLimit = dib24::sectionLimit;
    dib24::sectionLimit = 1000;
    EXPECT_EQ(masks.GetMask(100), nullptr);
    EXPECT_EQ(masks.GetMask(2), two);  // what was cached stays usable
    dib24::sectionLimit = savedLimit;
    EXPECT_EQ(cached(masks), (std::vector<const dib24*>{two}));
    EXPECT_NE(masks.GetMask(100), nullptr);
}

TEST(MaskMan, ClearEmptiesEverything) {
    MaskMan masks;
    masks.shape = randomImage(3, 3, 7);
    ASSERT_NE(masks.GetMask(5), nullptr);
    masks.Clear();
    EXPECT_EQ(masks.shape, nullptr);
    EXPECT_TRUE(masks.scaled.empty());
    EXPECT_EQ(masks.GetMask(5), nullptr);
}

TEST(MissingKernel, NamesTheSize) {
    const MissingKernel error(128);
    EXPECT_EQ(error.size, 128);
    EXPECT_NE(std::string(error.what()).find("128 x 128"), std::string::npos) << error.what();
}
