// The one depth convention: every stored code against the nearness rule, and the maps
// that are refused.
#include "image/depth_nearness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

namespace {

// The rule as users read it, for a code c of `top` + 1 codes.
int ruleFor(const StoredDepth& depth, double c, double top) {
    if (depth.representation == DepthRepresentation::RangeInverse)
        return 255 - static_cast<int>(std::floor(255.0 * c / top + 0.5));
    const double d = depth.near + (c / top) * (depth.far - depth.near);
    return static_cast<int>(std::floor(
        255.0 * (1.0 / d - 1.0 / depth.far) / (1.0 / depth.near - 1.0 / depth.far) + 0.5));
}

TEST(NearnessMask, FollowsTheRuleForEveryCodeOfBothRanges) {
    const struct {
        DepthRepresentation representation;
        int bitDepth;
        double near, far;
    } cases[] = {
        {DepthRepresentation::RangeInverse, 8, 0.5, 4.0},
        {DepthRepresentation::RangeInverse, 16, 0.2, 10.0},
        {DepthRepresentation::RangeLinear, 8, 0.5, 4.0},
        {DepthRepresentation::RangeLinear, 16, 1.25, 30.0},
        {DepthRepresentation::RangeLinear, 10, 0.3, 0.9},
    };
    for (const auto& row : cases) {
        const int top = (1 << row.bitDepth) - 1;
        std::vector<std::uint16_t> codes(top + 1);
        std::iota(codes.begin(), codes.end(), 0);
        const StoredDepth depth{top + 1,  1,       row.bitDepth, codes, row.representation,
                                row.near, row.far, "Meters"};
        std::string why;
        const auto mask = nearnessMask(depth, &why);
        ASSERT_TRUE(mask) << why;
        for (int c = 0; c <= top; ++c)
            ASSERT_EQ((*mask)[c], ruleFor(depth, c, top))
                << "code " << c << " of " << row.bitDepth << " bits";
    }
}

TEST(NearnessMask, SpreadsADisparityMapFromItsSmallestToItsLargestCode) {
    // Over 1000 ... 3000, 1500 lies at 63.75, 1250 at 31.875 and 2000 at 127.5 (rounded up).
    StoredDepth depth{
        4, 2, 16, {1000, 3000, 1500, 2000, 1250, 1000, 3000, 2000}, DepthRepresentation::Disparity,
        0, 0, {}};
    std::string why;
    const auto mask = nearnessMask(depth, &why);
    ASSERT_TRUE(mask) << why;
    EXPECT_EQ(*mask, (std::vector<std::uint8_t>{0, 255, 64, 128, 32, 0, 255, 128}));

    depth.codes.assign(8, 700);
    EXPECT_EQ(*nearnessMask(depth, &why), std::vector<std::uint8_t>(8, 0));
}

TEST(NearnessMask, RefusesMapsThatCannotMeanADistanceWithTheReason) {
    const struct {
        double near, far;
        const char* units;
        int bitDepth;
        std::uint16_t code;
        const char* reason;
    } cases[] = {
        {1.0, 2.0, "Diopters", 8, 0, "the depth map's units are Diopters, not metres"},
        {2.0, 2.0, "", 8, 0, "the depth map's Near (2) is not below its Far (2)"},
        {3.0, 2.0, "Meters", 8, 0, "the depth map's Near (3) is not below its Far (2)"},
        {0.0, 2.0, "", 8, 0, "the depth map's Near (0) is not a distance above 0"},
        {NAN, 2.0, "", 8, 0, "the depth map's Near (nan) is not a distance above 0"},
        {1.0, INFINITY, "", 8, 0, "the depth map's Near (1) is not below its Far (inf)"},
        {1.0, 2.0, "", 10, 1024, "the depth map holds codes beyond its 10 bits"},
    };
    for (const auto representation :
         {DepthRepresentation::RangeInverse, DepthRepresentation::RangeLinear}) {
        for (const auto& row : cases) {
            StoredDepth depth{1,        1,       row.bitDepth, {row.code}, representation,
                              row.near, row.far, row.units};
            std::string why;
            EXPECT_FALSE(nearnessMask(depth, &why));
            EXPECT_EQ(why, row.reason);
        }
    }
    StoredDepth wrongSize{2, 2, 8, {1, 2, 3}, DepthRepresentation::Disparity, 0, 0, {}};
    std::string why;
    EXPECT_FALSE(nearnessMask(wrongSize, &why));
    EXPECT_EQ(why, "the depth map's codes do not fill its size");
}

}  // namespace
