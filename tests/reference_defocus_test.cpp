#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "defocus/defocus_math.h"
#include "defocus/reference_defocus.h"
#include "tests/test_bitmaps.h"

using testing_support::makeImage;
using testing_support::randomImage;
using testing_support::samePixels;

namespace {

std::uint8_t at(const dib24& image, int x, int r, int c) {
    return image.bits[std::size_t(r) * image.stride + 3 * x + c];
}

std::unique_ptr<dib24> grey(int width, int height, std::uint8_t value) {
    return makeImage(width, height, [=](int, int, int) { return value; });
}

// The same value in every channel of every pixel, or the test says where it differs.
void expectGrey(const dib24& image, const std::vector<std::vector<int>>& rowsBottomUp) {
    ASSERT_EQ(image.height, int(rowsBottomUp.size()));
    for (int r = 0; r < image.height; ++r) {
        ASSERT_EQ(image.width, int(rowsBottomUp[r].size()));
        for (int x = 0; x < image.width; ++x)
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(at(image, x, r, c), rowsBottomUp[r][x])
                    << "row " << r << " column " << x << " channel " << c;
    }
}

// Installs a shape directly, without a file.
void install(MaskMan& masks, std::unique_ptr<dib24> shape) {
    masks.Clear();
    masks.shape = std::move(shape);
}

std::vector<int> cachedSizes(const MaskMan& masks) {
    std::vector<int> sizes;
    for (const auto& copy : masks.scaled) sizes.push_back(copy->width);
    return sizes;
}

class Recorder : public Notifyer {
public:
    void Notify(int row, int rows) override {
        texts.push_back(std::to_string(row) + " / " + std::to_string(rows));
    }
    void Done() override { texts.emplace_back("done"); }
    std::vector<std::string> texts;
};

// A depth mask holding the given blue bytes (memory rows bottom up); green and red
// carry other values, which the renderer must ignore.
std::unique_ptr<dib24> depthMask(const std::vector<std::vector<int>>& rowsBottomUp, int width) {
    return makeImage(width, int(rowsBottomUp.size()), [&](int x, int r, int c) {
        if (c != 0) return std::uint8_t(99);
        return std::uint8_t(x < int(rowsBottomUp[r].size()) ? rowsBottomUp[r][x] : 0xEE);
    });
}

}  // namespace

TEST(ReferenceDefocus, ZeroDensityKeepsTheSourceOrBlanksItWithoutBlend) {
    auto source = randomImage(7, 5, 1);
    MaskMan masks;
    install(masks, grey(3, 3, 255));
    auto image = source->copy();
    reference::DefocusImage(*image, masks, 0.0, 1.0, 3, 1, nullptr, nullptr);
    EXPECT_TRUE(samePixels(*image, *source));

    reference::DefocusImage(*image, masks, 0.0, 2.2, 3, 0, nullptr, nullptr);
    expectGrey(*image, std::vector<std::vector<int>>(5, std::vector<int>(7, 0)));
}

TEST(ReferenceDefocus, SingleWhitePixelAtHalfDensity) {
    MaskMan masks;
    install(masks, grey(1, 1, 255));
    auto blended = grey(1, 1, 255);
    reference::DefocusImage(*blended, masks, 0.5, 1.0, 1, 1, nullptr, nullptr);
    expectGrey(*blended, {{255}});  // 0.5 x 255 + 255 x 0.5

    auto alone = grey(1, 1, 255);
    reference::DefocusImage(*alone, masks, 0.5, 1.0, 1, 0, nullptr, nullptr);
    expectGrey(*alone, {{127}});  // 127.5 cut toward zero
}

TEST(ReferenceDefocus, WhiteCentreSpreadsThroughASquareDiaphragm) {
    auto centre = [] {
        return makeImage(
            3, 3, [](int x, int r, int) { return std::uint8_t(x == 1 && r == 1 ? 255 : 0); });
    };
    MaskMan masks;
    install(masks, grey(3, 3, 255));

    auto blended = centre();
    reference::DefocusImage(*blended, masks, 0.1, 1.0, 3, 1, nullptr, nullptr);
    expectGrey(*blended, {{25, 25, 25}, {25, 255, 25}, {25, 25, 25}});

    auto alone = centre();
    reference::DefocusImage(*alone, masks, 0.1, 1.0, 3, 0, nullptr, nullptr);
    expectGrey(*alone, {{25, 25, 25}, {25, 25, 25}, {25, 25, 25}});

    auto gamma2 = centre();
    reference::DefocusImage(*gamma2, masks, 0.1, 2.0, 3, 1, nullptr, nullptr);
    expectGrey(*gamma2, {{80, 80, 80}, {80, 255, 80}, {80, 80, 80}});
}

TEST(ReferenceDefocus, NegativeDensityIsZeroAndTinyGammaIsTheLowerBound) {
    auto source = randomImage(6, 4, 2);
    MaskMan masks;
    install(masks, randomImage(3, 3, 3));
    auto image = source->copy();
    reference::DefocusImage(*image, masks, -0.5, 1.0, 3, 1, nullptr, nullptr);
    EXPECT_TRUE(samePixels(*image, *source));

    // Gamma 0 or below is 1e-8: every source of 128 or more counts as full intensity
    // (its power rounds to 1.0f), which the inverse power keeps at 255.
    install(masks, grey(3, 3, 255));
    for (double gamma : {1e-8, 0.0, -3.0, 1e-12}) {
        auto row = makeImage(5, 1, [](int x, int, int) { return std::uint8_t(x == 0 ? 128 : 0); });
        reference::DefocusImage(*row, masks, 1.0, gamma, 3, 0, nullptr, nullptr);
        expectGrey(*row, {{255, 255, 0, 0, 0}});
    }
}

TEST(ReferenceDefocus, WithoutDepthOfFieldOneKernelServesEveryPixel) {
    MaskMan masks;
    install(masks, randomImage(5, 5, 4));
    auto image = randomImage(9, 6, 5);
    reference::DefocusImage(*image, masks, 0.2, 1.0, 5, 1, nullptr, nullptr);
    EXPECT_TRUE(masks.scaled.empty());

    // Another size is scaled once for the whole image.
    reference::DefocusImage(*image, masks, 0.2, 1.0, 3, 1, nullptr, nullptr);
    EXPECT_EQ(cachedSizes(masks), (std::vector<int>{3}));
}

TEST(ReferenceDefocus, DepthSetsEachPixelsKernelSize) {
    // Threshold 0, scaling 2, size 64: depth 255 gives 128, depth 1 gives 0.502, raised
    // to 1, and depth 0 (the threshold) 1.
    MaskMan masks;
    install(masks, grey(64, 64, 255));
    auto mask = depthMask({{255, 1, 0}}, 3);
    const DofSettings dof{mask.get(), 0.0, 2.0};
    auto image = grey(3, 1, 40);
    reference::DefocusImage(*image, masks, 0.1, 1.0, 64, 1, &dof, nullptr);
    EXPECT_EQ(cachedSizes(masks), (std::vector<int>{128, 1}));
}

TEST(ReferenceDefocus, OcclusionHidesNearerTargetsFromFartherSources) {
    // One row, no blending: the white source at column 2 (depth 110) paints columns 0 ... 3
    // with a 4 x 4 kernel (110 x 2 / 255 x 5 = 4.3), giving them 25; the others are black.
    // Column 0 has depth 90, column 1 130 and column 3 110, like the source.
    MaskMan masks;
    install(masks, grey(4, 4, 255));
    auto mask = depthMask({{90, 130, 110, 110, 0}}, 5);
    const std::tuple<Occlusion, int, std::vector<int>> cases[] = {
        {Occlusion::Off, 0, {25, 25, 25, 25, 0}},
        {Occlusion::BrightNear, 20, {25, 25, 25, 25, 0}},  // column 1 is 20 nearer
        {Occlusion::BrightNear, 19, {25, 0, 25, 25, 0}},
        {Occlusion::BrightNear, -5, {25, 0, 25, 25, 0}},  // as 0: the source paints itself
        {Occlusion::DarkNear, 19, {0, 25, 25, 25, 0}},    // column 0 is 20 nearer
    };
    for (const auto& [occlusion, tolerance, expected] : cases) {
        const DofSettings dof{mask.get(), 0.0, 2.0, 0, occlusion, tolerance};
        auto image = makeImage(5, 1, [](int x, int, int) { return x == 2 ? 255 : 0; });
        reference::DefocusImage(*image, masks, 0.1, 1.0, 5, 0, &dof, nullptr);
        expectGrey(*image, {expected});
    }
}

TEST(ReferenceDefocus, DepthMaskIsReadWithItsOwnStride) {
    // The mask is wider than the image (stride 16 against 8); its extra columns and its
    // row padding hold values that would give other sizes.
    MaskMan masks;
    install(masks, grey(3, 3, 255));
    auto mask = depthMask({{0, 255}, {51, 102}}, 5);
    const DofSettings dof{mask.get(), 0.0, 2.0};
    auto image = grey(2, 2, 40);
    reference::DefocusImage(*image, masks, 0.1, 1.0, 64, 1, &dof, nullptr);
    // 51 x 2 / 255 x 64 = 25.6 and 102 x 2 / 255 x 64 = 51.2.
    EXPECT_EQ(cachedSizes(masks), (std::vector<int>{1, 128, 25, 51}));
}

TEST(ReferenceDefocus, DepthSizeIsBoundedAndNeverBelowOne) {
    MaskMan masks;
    install(masks, grey(3, 3, 255));
    auto mask = depthMask({{255, 7}}, 2);
    auto image = grey(2, 1, 200);
    // Infinite scaling: depth 255 gives 4096; depth 7 at threshold 7 gives inf x 0, not a
    // number, which counts as 1.
    const DofSettings infinite{mask.get(), 7.0, std::numeric_limits<double>::infinity()};
    reference::DefocusImage(*image, masks, 0.1, 1.0, 3, 1, &infinite, nullptr);
    EXPECT_EQ(cachedSizes(masks), (std::vector<int>{4096, 1}));

    // Negative scaling, a huge finite one, and a negative size factor.
    MaskMan fresh;
    install(fresh, grey(3, 3, 255));
    const DofSettings negative{mask.get(), 0.0, -2.0};
    reference::DefocusImage(*image, fresh, 0.1, 1.0, 3, 1, &negative, nullptr);
    EXPECT_EQ(cachedSizes(fresh), (std::vector<int>{1}));
    const DofSettings huge{mask.get(), 0.0, 1e300};
    reference::DefocusImage(*image, fresh, 0.1, 1.0, -3, 1, &huge, nullptr);
    EXPECT_EQ(cachedSizes(fresh), (std::vector<int>{1}));
    reference::DefocusImage(*image, fresh, 0.1, 1.0, 3, 1, &huge, nullptr);
    EXPECT_EQ(cachedSizes(fresh), (std::vector<int>{1, 4096}));
}

TEST(ReferenceDefocus, EvenKernelsReachFurtherTowardsLowerRowsAndColumns) {
    // A 4 x 4 kernel around (r, x) = (4, 4) covers rows 2 ... 5 and columns 2 ... 5.
    MaskMan masks;
    install(masks, grey(4, 4, 255));
    auto dot = [] {
        return makeImage(
            8, 8, [](int x, int r, int) { return std::uint8_t(x == 4 && r == 4 ? 255 : 0); });
    };
    auto image = dot();
    reference::DefocusImage(*image, masks, 1.0, 1.0, 4, 0, nullptr, nullptr);
    for (int r = 0; r < 8; ++r)
        for (int x = 0; x < 8; ++x) {
            const bool inside = r >= 2 && r <= 5 && x >= 2 && x <= 5;
            EXPECT_EQ(at(*image, x, r, 0), inside ? 255 : 0) << r << "," << x;
        }

    // The kernel keeps its orientation: its pixel (kr, kc) lands at (r + kr - 2, x + kc - 2),
    // neither mirrored nor flipped.
    install(masks, makeImage(4, 4, [](int x, int r, int) {
                return std::uint8_t((r == 0 && x == 0) || (r == 3 && x == 1) ? 255 : 0);
            }));
    image = dot();
    reference::DefocusImage(*image, masks, 1.0, 1.0, 4, 0, nullptr, nullptr);
    for (int r = 0; r < 8; ++r)
        for (int x = 0; x < 8; ++x) {
            const bool painted = (r == 2 && x == 2) || (r == 5 && x == 3);
            EXPECT_EQ(at(*image, x, r, 1), painted ? 255 : 0) << r << "," << x;
        }
}

TEST(ReferenceDefocus, KernelLargerThanTheImagePaintsWhatFits) {
    MaskMan masks;
    install(masks, grey(5, 5, 255));
    auto image =
        makeImage(2, 2, [](int x, int r, int) { return std::uint8_t(x == 0 && r == 0 ? 255 : 0); });
    reference::DefocusImage(*image, masks, 1.0, 1.0, 5, 0, nullptr, nullptr);
    expectGrey(*image, {{255, 255}, {255, 255}});
}

TEST(ReferenceDefocus, ProgressIsOneTextPerRowThenDone) {
    MaskMan masks;
    install(masks, grey(3, 3, 200));
    auto image = randomImage(4, 3, 6);
    auto quiet = image->copy();
    Recorder recorder;
    reference::DefocusImage(*image, masks, 0.3, 1.5, 3, 1, nullptr, &recorder);
    EXPECT_EQ(recorder.texts, (std::vector<std::string>{"0 / 3", "1 / 3", "2 / 3", "done"}));
    // Without a notifier the bytes are the same.
    reference::DefocusImage(*quiet, masks, 0.3, 1.5, 3, 1, nullptr, nullptr);
    EXPECT_TRUE(samePixels(*quiet, *image));

    dib24 empty(0, 0);
    Recorder emptyRecorder;
    reference::DefocusImage(empty, masks, 0.3, 1.5, 3, 1, nullptr, &emptyRecorder);
    EXPECT_EQ(emptyRecorder.texts, (std::vector<std::string>{"done"}));
}

TEST(ReferenceDefocus, DensityAboveOneOvershootsButBytesSaturate) {
    // Two grey pixels side by side, a 3 x 3 kernel: centre 255, the rest 51 (0.2).
    // Density 1.3, blend on. Pixel 0 (source 10, k = 10/255) first paints itself:
    // paint 1.3 k, cover 1.3. Then pixel 1 (k = 1) reaches it through h = 0.2 and raises
    // it: paint 0.26 - 0.39 k = 0.2447, cover -0.39 + 0.26 = -0.13, which counts as 0, so
    // the whole source stays: 0.2447 x 255 + 10 = 72.4. Pixel 1 overshoots to 1.297 with
    // cover 1.222, limited to 1: 330.7, limited to 255.
    MaskMan masks;
    install(masks, makeImage(3, 3, [](int x, int r, int) {
                return std::uint8_t(x == 1 && r == 1 ? 255 : 51);
            }));
    auto pair = [] {
        return makeImage(2, 1, [](int x, int, int) { return std::uint8_t(x == 0 ? 10 : 255); });
    };
    auto blended = pair();
    reference::DefocusImage(*blended, masks, 1.3, 1.0, 3, 1, nullptr, nullptr);
    expectGrey(*blended, {{72, 255}});
    auto alone = pair();
    reference::DefocusImage(*alone, masks, 1.3, 1.0, 3, 0, nullptr, nullptr);
    expectGrey(*alone, {{62, 255}});

    // Values far beyond any integer, and beyond a float (infinite paint), give 255.
    MaskMan white;
    install(white, grey(1, 1, 255));
    for (double density : {1e30, 1e300}) {
        for (int blend : {0, 1}) {
            auto image = grey(1, 1, 255);
            reference::DefocusImage(*image, white, density, 1.0, 1, blend, nullptr, nullptr);
            expectGrey(*image, {{255}});
        }
    }
}

TEST(ReferenceDefocus, FinishingLimitsEveryValueToAByte) {
    using defocus_math::finishChannel;
    using defocus_math::toByte;
    constexpr double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(toByte(std::nan("")), 0);
    EXPECT_EQ(toByte(-inf), 0);
    EXPECT_EQ(toByte(-0.5), 0);
    EXPECT_EQ(toByte(0.99), 0);
    EXPECT_EQ(toByte(254.999), 254);
    EXPECT_EQ(toByte(255.0), 255);
    EXPECT_EQ(toByte(1e300), 255);
    EXPECT_EQ(toByte(inf), 255);

    // Paint 0.25 over source 100: a cover of 0.5 lets half the source through, one above 1
    // none, and one below 0 all of it; so does a cover with no real root (gamma 2.2).
    EXPECT_EQ(finishChannel(0.25f, 0.5f, 100, 1.0, true), 113);
    EXPECT_EQ(finishChannel(0.25f, 1.5f, 100, 1.0, true), 63);
    EXPECT_EQ(finishChannel(0.25f, -0.5f, 100, 1.0, true), 163);
    EXPECT_EQ(finishChannel(0.25f, -0.5f, 100, 1 / 2.2, true), 235);
    // Without blending the cover does not count, not even one that is not a number.
    EXPECT_EQ(finishChannel(0.25f, std::nanf(""), 100, 1.0, false), 63);
    EXPECT_EQ(finishChannel(std::nanf(""), 0.0f, 100, 1.0, true), 0);
}

TEST(ReferenceDefocus, MissingKernelLeavesTheImageUnchanged) {
    auto source = randomImage(3, 2, 7);
    auto image = source->copy();
    Recorder recorder;
    MaskMan empty;
    EXPECT_THROW(reference::DefocusImage(*image, empty, 0.5, 1.0, 3, 1, nullptr, &recorder),
                 MissingKernel);
    MaskMan masks;
    install(masks, grey(3, 3, 255));
    EXPECT_THROW(reference::DefocusImage(*image, masks, 0.5, 1.0, 0, 1, nullptr, &recorder),
                 MissingKernel);
    EXPECT_TRUE(samePixels(*image, *source));
    EXPECT_TRUE(recorder.texts.empty());

    // With depth of field: row 0 paints with 1 x 1, then the 128 x 128 copy cannot be
    // made, after a whole row was painted and reported.
    auto mask = depthMask({{0, 0, 0}, {0, 255, 0}}, 3);
    const DofSettings dof{mask.get(), 0.0, 2.0};
    const std::size_t savedLimit = dib24::sectionLimit;
    dib24::sectionLimit = 4096;
    try {
        reference::DefocusImage(*image, masks, 0.5, 1.0, 64, 1, &dof, &recorder);
        ADD_FAILURE() << "no exception";
    } catch (const MissingKernel& error) {
        EXPECT_EQ(error.size, 128);
    }
    dib24::sectionLimit = savedLimit;
    EXPECT_TRUE(samePixels(*image, *source));
    EXPECT_EQ(recorder.texts, (std::vector<std::string>{"0 / 2"}));
    EXPECT_EQ(cachedSizes(masks), (std::vector<int>{1}));
}

TEST(ReferenceDefocus, PlanesBeyondAddressableMemoryThrowBadAlloc) {
    // The image claims a size whose planes would need more than the address space; the
    // renderer must refuse before touching a pixel.
    auto source = randomImage(2, 2, 8);
    auto image = source->copy();
    MaskMan masks;
    install(masks, grey(1, 1, 255));
    const int realWidth = image->width;
    const int realHeight = image->height;
    image->width = std::numeric_limits<std::int32_t>::max();
    image->height = std::numeric_limits<std::int32_t>::max();
    EXPECT_THROW(reference::DefocusImage(*image, masks, 0.5, 1.0, 1, 1, nullptr, nullptr),
                 std::bad_alloc);
    image->width = realWidth;
    image->height = realHeight;
    EXPECT_TRUE(samePixels(*image, *source));
}

TEST(ReferenceDefocus, DepthMaskSmallerThanTheImageIsRefused) {
    auto source = randomImage(3, 3, 9);
    auto image = source->copy();
    MaskMan masks;
    install(masks, grey(3, 3, 255));
    auto narrow = depthMask({{0, 0}, {0, 0}, {0, 0}}, 2);
    const DofSettings tooNarrow{narrow.get(), 0.0, 2.0};
    EXPECT_THROW(reference::DefocusImage(*image, masks, 0.5, 1.0, 3, 1, &tooNarrow, nullptr),
                 std::invalid_argument);
    const DofSettings none{nullptr, 0.0, 2.0};
    EXPECT_THROW(reference::DefocusImage(*image, masks, 0.5, 1.0, 3, 1, &none, nullptr),
                 std::invalid_argument);
    EXPECT_TRUE(samePixels(*image, *source));
}
