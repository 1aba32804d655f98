#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "image/dib24.h"
#include "tests/test_bitmaps.h"

using testing_support::makeImage;
using testing_support::pixelFromTop;
using testing_support::randomImage;
using testing_support::samePixels;

namespace {

std::uint8_t at(const dib24& image, int x, int r, int c) {
    return image.bits[std::size_t(r) * image.stride + 3 * x + c];
}

// One row of values, the same in blue, green and red plus 1 and 2, so a pass that mixes
// channels shows.
std::unique_ptr<dib24> row(const std::vector<int>& values) {
    return makeImage(int(values.size()), 1,
                     [&](int x, int, int c) { return std::uint8_t(values[std::size_t(x)] + c); });
}

// One column of values, listed from memory row 0 (the picture's bottom row) up.
std::unique_ptr<dib24> column(const std::vector<int>& values) {
    return makeImage(1, int(values.size()),
                     [&](int, int r, int c) { return std::uint8_t(values[std::size_t(r)] + c); });
}

std::vector<int> rowValues(const dib24& image, int c) {
    std::vector<int> values;
    for (int x = 0; x < image.width; ++x) values.push_back(at(image, x, 0, c));
    return values;
}

std::vector<int> columnValues(const dib24& image, int c) {
    std::vector<int> values;
    for (int r = 0; r < image.height; ++r) values.push_back(at(image, 0, r, c));
    return values;
}

// Lowers the allocation limit for the life of the object.
class SectionLimit {
public:
    explicit SectionLimit(std::size_t bytes) : saved_(dib24::sectionLimit) {
        dib24::sectionLimit = bytes;
    }
    ~SectionLimit() { dib24::sectionLimit = saved_; }

private:
    std::size_t saved_;
};

}  // namespace

TEST(Resize, OwnSizeIsAnExactCopy) {
    for (int width : {1, 2, 5, 7}) {
        auto source = randomImage(width, 4, 11u + unsigned(width));
        auto copy = source->resized(width, 4);
        ASSERT_NE(copy, nullptr);
        EXPECT_NE(copy->bits, source->bits);
        EXPECT_TRUE(samePixels(*copy, *source)) << "width " << width;
    }
}

TEST(Resize, HalvingAveragesPairs) {
    // Output pixel 0 spans source 0 ... 2: weights 1, 1 and 0.
    auto half = row({10, 20, 30, 40})->resized(2, 1);
    ASSERT_NE(half, nullptr);
    EXPECT_EQ(rowValues(*half, 0), (std::vector<int>{15, 35}));
    EXPECT_EQ(rowValues(*half, 2), (std::vector<int>{17, 37}));
}

TEST(Resize, DoublingInterpolatesAndRepeatsTheLastPixel) {
    auto doubled = row({10, 20})->resized(4, 1);
    ASSERT_NE(doubled, nullptr);
    EXPECT_EQ(rowValues(*doubled, 0), (std::vector<int>{10, 15, 20, 20}));
    EXPECT_EQ(rowValues(*doubled, 1), (std::vector<int>{11, 16, 21, 21}));
}

TEST(Resize, ValuesAreTruncatedNeverRounded) {
    // Three to two: output 0 spans source 0 ... 1.5, (14 + 0.5 x 16) / 1.5 = 14.67.
    auto shrunk = row({14, 16, 30})->resized(2, 1);
    ASSERT_NE(shrunk, nullptr);
    EXPECT_EQ(at(*shrunk, 0, 0, 0), 14);
    // Tripling 10, 20: positions 0, 1/3, 2/3, 1, ...: 13.33 and 16.67 become 13 and 16.
    auto tripled = row({10, 20})->resized(6, 1);
    ASSERT_NE(tripled, nullptr);
    EXPECT_EQ(rowValues(*tripled, 0), (std::vector<int>{10, 13, 16, 20, 20, 20}));
}

TEST(Resize, HeightsCountFromTheBottomRow) {
    // Memory rows 0, 90, 180 (bottom to top) to two rows: the bottom output row averages
    // rows 0 and half of 1, the top one the other half of 1 and row 2.
    auto shrunk = column({0, 90, 180})->resized(1, 2);
    ASSERT_NE(shrunk, nullptr);
    EXPECT_EQ(columnValues(*shrunk, 0), (std::vector<int>{30, 150}));
    EXPECT_EQ(pixelFromTop(*shrunk, 0, 0, 0), 150);

    auto grown = column({10, 20})->resized(1, 4);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(columnValues(*grown, 0), (std::vector<int>{10, 15, 20, 20}));
}

TEST(Resize, BothPassesRunWithTheirOwnDirection) {
    // Width grows (2 -> 3) while height shrinks (4 -> 2) and the other way round.
    auto source = makeImage(2, 4, [](int x, int r, int) { return std::uint8_t(100 * x + 10 * r); });
    auto wideLow = source->resized(3, 2);
    ASSERT_NE(wideLow, nullptr);
    ASSERT_EQ(wideLow->width, 3);
    ASSERT_EQ(wideLow->height, 2);
    // Width pass: positions 0, 2/3, 4/3 give 0, 66.67 -> 66, 100 (plus 10 r). Height pass:
    // rows 0 and 1, then 2 and 3, averaged.
    EXPECT_EQ(at(*wideLow, 0, 0, 0), 5);
    EXPECT_EQ(at(*wideLow, 1, 0, 0), 71);
    EXPECT_EQ(at(*wideLow, 2, 0, 0), 105);
    EXPECT_EQ(at(*wideLow, 2, 1, 0), 125);

    auto narrowTall = source->resized(1, 8);
    ASSERT_NE(narrowTall, nullptr);
    // Width pass averages 10 r and 100 + 10 r: 50 + 10 r; height pass doubles the rows.
    EXPECT_EQ(columnValues(*narrowTall, 0), (std::vector<int>{50, 55, 60, 65, 70, 75, 80, 80}));
}

TEST(Resize, RequestedSidesAreKept) {
    auto shape = randomImage(5, 5, 3);
    for (auto [w, h] : {std::pair{3, 3}, {9, 9}, {1, 1}, {3, 7}, {8, 2}}) {
        auto result = shape->resized(w, h);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(result->width, w);
        EXPECT_EQ(result->height, h);
        EXPECT_EQ(result->stride, dib24::strideFor(w));
    }
}

TEST(Resize, ImpossibleRequestsGiveNull) {
    auto source = randomImage(4, 4, 5);
    EXPECT_EQ(source->resized(0, 4), nullptr);
    EXPECT_EQ(source->resized(4, 0), nullptr);
    EXPECT_EQ(source->resized(-3, 2), nullptr);
    dib24 empty(0, 0);
    EXPECT_EQ(empty.resized(2, 2), nullptr);
}

TEST(Resize, AllocationFailureInEitherPassGivesNullAndKeepsTheSource) {
    auto source = randomImage(4, 4, 9);
    auto before = makeImage(4, 4, [&](int x, int r, int c) { return at(*source, x, r, c); });
    {
        SectionLimit limit(1000);
        EXPECT_EQ(source->resized(100, 4), nullptr);  // the width pass fails
        EXPECT_EQ(source->resized(4, 100), nullptr);  // the height pass fails
        EXPECT_NE(source->resized(8, 8), nullptr);    // 24 x 8 bytes still fit
    }
    EXPECT_TRUE(samePixels(*source, *before));
}

// A flat image stays flat up to the rounding of the weighted sums: a sum that comes out a
// hair below the value is truncated to one less, never more.
TEST(Resize, ConstantImagesStayWithinOneBelowTheirValue) {
    for (int value : {0, 1, 77, 200, 254, 255}) {
        auto flat = makeImage(13, 11, [&](int, int, int) { return std::uint8_t(value); });
        for (auto [w, h] : {std::pair{5, 3}, {1, 1}, {7, 29}, {40, 4}, {12, 10}}) {
            auto result = flat->resized(w, h);
            ASSERT_NE(result, nullptr);
            for (int r = 0; r < h; ++r)
                for (int x = 0; x < w; ++x)
                    for (int c = 0; c < 3; ++c) {
                        ASSERT_LE(at(*result, x, r, c), value) << w << "x" << h;
                        ASSERT_GE(at(*result, x, r, c), std::max(value - 1, 0)) << w << "x" << h;
                    }
        }
    }
}

// Shrinking one row, compared with the area average computed from overlaps in exact
// rational arithmetic: source pixel k covers [k, k + 1), output pixel j covers
// [j W / n, (j + 1) W / n). Floating rounding may move a result by one where the exact
// average is within a hair of a whole number.
TEST(Resize, ShrinkingMatchesTheExactAreaAverage) {
    std::mt19937 random(2024);
    for (int trial = 0; trial < 200; ++trial) {
        const int width = 2 + int(random() % 40);
        const int newWidth = 1 + int(random() % unsigned(width - 1));
        auto source = randomImage(width, 1, random());
        auto result = source->resized(newWidth, 1);
        ASSERT_NE(result, nullptr);
        for (int j = 0; j < newWidth; ++j) {
            // In units of 1 / newWidth: the span is [j W, (j + 1) W), pixel k is
            // [k n, (k + 1) n).
            std::int64_t weighted = 0;
            for (int k = 0; k < width; ++k) {
                const std::int64_t lo =
                    std::max<std::int64_t>(std::int64_t(j) * width, std::int64_t(k) * newWidth);
                const std::int64_t hi = std::min<std::int64_t>(std::int64_t(j + 1) * width,
                                                               std::int64_t(k + 1) * newWidth);
                if (hi > lo) weighted += (hi - lo) * at(*source, k, 0, 1);
            }
            const std::int64_t exact = weighted / width;  // the span is W units long
            EXPECT_NEAR(at(*result, j, 0, 1), exact, 1) << width << " -> " << newWidth;
        }
    }
}

// Enlarging one row, compared with linear interpolation at j W / n computed in integers.
TEST(Resize, StretchingMatchesExactInterpolation) {
    std::mt19937 random(77);
    for (int trial = 0; trial < 200; ++trial) {
        const int width = 1 + int(random() % 20);
        const int newWidth = width + int(random() % 50);
        auto source = randomImage(width, 1, random());
        auto result = source->resized(newWidth, 1);
        ASSERT_NE(result, nullptr);
        for (int j = 0; j < newWidth; ++j) {
            const std::int64_t position = std::int64_t(j) * width;  // in units of 1 / n
            const int a = int(position / newWidth);
            const std::int64_t fraction = position % newWidth;
            const int left = at(*source, a, 0, 2);
            const int right = a + 1 < width ? at(*source, a + 1, 0, 2) : left;
            const std::int64_t exact = (left * (newWidth - fraction) + right * fraction) / newWidth;
            EXPECT_NEAR(at(*result, j, 0, 2), exact, 1) << width << " -> " << newWidth;
        }
    }
}
