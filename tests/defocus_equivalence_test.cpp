// The product renderer against the straightforward reference: byte for byte, on seeded
// random pictures, diaphragms and parameters, with every row painter this processor runs
// and every thread count from 1 to 3.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ostream>
#include <random>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "defocus/defocus.h"
#include "defocus/maskman.h"
#include "defocus/paint_row.h"
#include "defocus/reference_defocus.h"
#include "image/dib24.h"
#include "tests/test_bitmaps.h"

namespace paint_row {
// Names the painter in test listings.
void PrintTo(const Painter& painter, std::ostream* out) {
    *out << painter.name;
}
}  // namespace paint_row

namespace {

using testing_support::makeImage;
using testing_support::samePixels;

// Diaphragms of the kinds users load: hard and soft discs, coloured shapes and noise.
std::unique_ptr<dib24> diaphragm(int n, int kind, std::mt19937& random) {
    const double radius = n / 2.0;
    return makeImage(n, n, [&](int x, int r, int c) -> std::uint8_t {
        const double dx = x + 0.5 - radius, dy = r + 0.5 - radius;
        const double distance = std::sqrt(dx * dx + dy * dy) / radius;
        switch (kind) {
            case 0:  // hard white disc
                return distance <= 1.0 ? 255 : 0;
            case 1:  // soft-edged disc
                return std::uint8_t(std::clamp((1.0 - distance) * 3.0, 0.0, 1.0) * 255);
            case 2:  // coloured ring, different per channel
                return distance <= 1.0 && distance > 0.3 * (c + 1) ? std::uint8_t(90 + 80 * c) : 0;
            default:  // noise with holes
                return random() % 3 == 0 ? 0 : std::uint8_t(random());
        }
    });
}

enum PictureStyle { kAnyPicture = -1, kPattern, kNoisy, kFlat, kDim, kBrightStripes, kNight };

// Pictures with dark areas, bright points, flat regions and noise; dim ones, whose
// powers under a large gamma fall below the smallest normal float; or bright stripes
// between wide dim ones, which the bright targets' thresholds pass over; or a night
// scene, rare highlights on a dim noisy ground.
std::unique_ptr<dib24> picture(int width, int height, PictureStyle chosen, std::mt19937& random) {
    const int style = chosen == kAnyPicture ? int(random() % 3) : chosen;
    const int stripe = 20 + random() % 60;
    return makeImage(width, height, [&](int x, int r, int c) -> std::uint8_t {
        if (style == kDim || (style == kBrightStripes && x % (3 * stripe) >= stripe))
            return std::uint8_t(random() % 9 == 0 ? 30 + random() % 60 : 1 + random() % 24);
        if (style == kBrightStripes) return std::uint8_t(200 + random() % 56);
        if (style == kNight)
            return (x * 7919 + r * 104729) % 89 == 0 ? std::uint8_t(220 + random() % 36)
                                                     : std::uint8_t(20 + c * 15 + random() % 9);
        if (random() % 23 == 0) return std::uint8_t(200 + random() % 56);  // highlights
        switch (style) {
            case kPattern:
                return std::uint8_t((x * 7 + r * 3 + c * 40) % 256);
            case kNoisy:
                return random() % 4 == 0 ? 0 : std::uint8_t(random());
            default:
                return std::uint8_t(30 + c * 10);
        }
    });
}

enum DepthStyle { kAnyDepth = -1, kGradient, kSteps, kBands, kNoise, kBlocks, kNearObject };

std::unique_ptr<dib24> depthMask(int width, int height, DepthStyle chosen, std::mt19937& random) {
    const int style = chosen == kAnyDepth ? int(random() % 4) : chosen;
    // Bands of random depth and width, so that runs of sources sharing a kernel, shorter
    // and longer than the stretch a painter may read beyond a run, lie side by side.
    std::vector<std::uint8_t> bands(std::size_t(width) * height);
    for (int r = 0; r < height; ++r)
        for (int x = 0; x < width;) {
            const int end = std::min(width, x + 1 + int(random() % 40));
            const std::uint8_t depth = std::uint8_t(random());
            for (; x < end; ++x) bands[std::size_t(r) * width + x] = depth;
        }
    // Rectangles of random depth, or a near disc on a far ramp: where near hides far.
    std::vector<std::uint8_t> blocks(64 * 64);
    int blockWidth = 1, blockHeight = 1, cx = 0, cy = 0, radius = 0;
    if (style >= kBlocks) {
        for (auto& depth : blocks) depth = std::uint8_t(random());
        blockWidth = 3 + random() % 18, blockHeight = 2 + random() % 10, radius = 2 + random() % 12;
        cx = random() % width, cy = random() % height;
    }
    return makeImage(width, height, [&](int x, int r, int) -> std::uint8_t {
        switch (style) {
            case kBlocks:
                return blocks[r / blockHeight % 64 * 64 + x / blockWidth % 64];
            case kNearObject:
                return std::hypot(x - cx, r - cy) <= radius ? 240 : 10 + x * 90 / width;
            case kGradient:  // horizontal
                return std::uint8_t(width > 1 ? x * 255 / (width - 1) : 0);
            case kSteps:  // diagonal
                return std::uint8_t(((x + r) / 3 * 37) % 256);
            case kBands:
                return bands[std::size_t(r) * width + x];
            default:  // noise
                return std::uint8_t(random());
        }
    });
}

struct Scenario {
    int width, height, kernel;
    double density, gamma;
    bool blend;
    bool dof;
    double threshold, distScaling;
    DepthStyle depthStyle = kAnyDepth;
    PictureStyle pictureStyle = kAnyPicture;
    int focusRange = 0, tolerance = 16;
    Occlusion occlusion = Occlusion::Off;
};

std::string describe(const Scenario& s) {
    return std::to_string(s.width) + "x" + std::to_string(s.height) + " kernel " +
           std::to_string(s.kernel) + " density " + std::to_string(s.density) + " gamma " +
           std::to_string(s.gamma) + (s.blend ? " blend" : " no blend") +
           (s.dof ? " dof " + std::to_string(s.threshold) + "/" + std::to_string(s.distScaling) +
                        " range, occlusion, tolerance " + std::to_string(s.focusRange) + ", " +
                        std::to_string(int(s.occlusion)) + ", " + std::to_string(s.tolerance)
                  : "");
}

class RendererEquivalence : public ::testing::TestWithParam<paint_row::Painter> {
protected:
    void SetUp() override { paint_row::usePainter(GetParam().function); }
    void TearDown() override { paint_row::usePainter(nullptr); }

    // Renders the scenario with the reference and with the product at 1, 2 and 3
    // threads; every result must be the same bytes.
    void expectSameBytes(const Scenario& s, std::mt19937& random) {
        SCOPED_TRACE(describe(s));
        const auto source = picture(s.width, s.height, s.pictureStyle, random);
        const auto depth = depthMask(s.width, s.height, s.depthStyle, random);
        const int kind = random() % 4;
        MaskMan referenceMasks, productMasks;
        referenceMasks.shape = diaphragm(s.kernel, kind, random);
        productMasks.shape = referenceMasks.shape->copy();
        const DofSettings dof{depth.get(),  s.threshold, s.distScaling,
                              s.focusRange, s.occlusion, s.tolerance};

        auto expected = source->copy();
        reference::DefocusImage(*expected, referenceMasks, s.density, s.gamma, s.kernel, s.blend,
                                s.dof ? &dof : nullptr, nullptr);
        for (unsigned threads = 1; threads <= 3; ++threads) {
            auto result = source->copy();
            DefocusImage(*result, productMasks, s.density, s.gamma, s.kernel, s.blend,
                         s.dof ? &dof : nullptr, nullptr, threads);
            EXPECT_TRUE(samePixels(*expected, *result)) << "with " << threads << " threads";
        }
    }
};

TEST_P(RendererEquivalence, FixedKernelSizes) {
    std::mt19937 random(1);
    const double densities[] = {-1.0, 0.0, 0.05, 0.1, 0.5, 1.0, 1.7, 3.0};
    const double gammas[] = {0.0, 0.45, 1.0, 2.2, 5.0};
    for (int round = 0; round < 80; ++round) {
        const int kernel = 1 + round % 40;
        // Pictures from 1 x 1 up, odd widths, and pictures smaller than the kernel.
        const int width = 1 + random() % (kernel + 30);
        const int height = 1 + random() % (kernel + 12);
        expectSameBytes({width, height, kernel, densities[random() % 8], gammas[random() % 5],
                         random() % 2 == 0, false, 0, 0},
                        random);
    }
}

TEST_P(RendererEquivalence, DepthOfField) {
    std::mt19937 random(2);
    const double thresholds[] = {0, 64, 128, 255};
    const double scalings[] = {0.0, 0.5, 2.0, 7.5};
    const double densities[] = {0.1, 0.5, 1.0, 1.7};
    const double gammas[] = {0.45, 1.0, 2.2};
    for (int i = 0; i < 24; ++i) {
        const int kernel = 1 + random() % 24;
        const int width = 1 + random() % 70, height = 1 + random() % 30;
        expectSameBytes({width, height, kernel, densities[random() % 4], gammas[random() % 3],
                         random() % 2 == 0, true, thresholds[random() % 4], scalings[random() % 4]},
                        random);
    }
}

TEST_P(RendererEquivalence, FocusRangeAndOcclusion) {
    // Every occlusion mode (off; bright or dark near with the tolerances 0, 16 and 255) on
    // every mask where near pixels border far ones, and each with focus ranges 0, 4 and 90.
    std::mt19937 random(9);
    const Occlusion occlusions[] = {Occlusion::Off, Occlusion::BrightNear, Occlusion::DarkNear};
    const int tolerances[] = {0, 16, 255}, ranges[] = {0, 4, 90};
    const DepthStyle depths[] = {kBands, kBlocks, kNearObject};
    for (int i = 0; i < 21; ++i) {
        const int width = 1 + random() % 130, height = 1 + random() % 30;
        expectSameBytes(
            {width, height, 2 + int(random() % 24), i % 2 ? 0.5 : 0.1, i % 4 ? 1.0 : 2.2,
             i % 2 == 0, true, double(random() % 256), 2.0 + 2.5 * (random() % 3), depths[i % 3],
             kAnyPicture, ranges[i / 7], tolerances[i % 7 % 3], occlusions[(i % 7 + 2) / 3]},
            random);
    }
}

TEST_P(RendererEquivalence, WideRowsSpanSeveralBlocks) {
    std::mt19937 random(3);
    expectSameBytes({203, 9, 17, 0.1, 1.0, true, false, 0, 0}, random);
    expectSameBytes({150, 7, 9, 0.3, 2.2, false, true, 100, 3.0}, random);
    // Depth bands of every width, each row its own.
    for (int i = 0; i < 6; ++i) {
        expectSameBytes({190 + int(random() % 40), 12, 8 + int(random() % 32), 0.1, 1.0, true, true,
                         128, 4.0, kBands},
                        random);
    }
}

TEST_P(RendererEquivalence, WideKernelsPassOverGroupsOfWeakSources) {
    // Kernels from the width at which the painter skips groups of sources on, some wider
    // than the picture; with depth of field, kernels on either side of that width in one
    // row, with and without occlusion, and whole stretches of weak runs.
    std::mt19937 random(10);
    const Scenario scenarios[] = {
        {150, 14, 64, 0.1, 1.0, true, false, 0, 0},
        {130, 20, 100, 0.3, 2.2, false, false, 0, 0},
        {90, 12, 141, 1.0, 1.0, true, false, 0, 0},
        {120, 16, 32, 0.1, 1.0, true, true, 0, 4.0, kGradient},
        {120, 16, 32, 0.5, 0.45, true, true, 0, 4.0, kBands, kAnyPicture, 0, 0,
         Occlusion::BrightNear},
        // Stretches of dim sources, each holding several runs, beside bright targets.
        {400, 12, 40, 0.1, 1.0, true, true, 0, 4.0, kBands, kBrightStripes},
        {400, 12, 40, 0.5, 2.2, false, true, 128, 4.0, kBands, kBrightStripes, 0, 16,
         Occlusion::DarkNear},
    };
    for (const Scenario& s : scenarios) expectSameBytes(s, random);
}

TEST_P(RendererEquivalence, WideKernelsTestTheStrongestSourcesAlone) {
    // Rare highlights whose discs lift every target above the ground, so that each row's
    // listed sources are tested alone: kernels as wide as the picture or wider, highlights
    // near the block and row edges, and kernels of every size from 1 on in one row.
    std::mt19937 random(12);
    const Scenario scenarios[] = {
        {160, 30, 90, 0.1, 1.0, true, false, 0, 0, kAnyDepth, kNight},
        {100, 24, 151, 0.3, 2.2, false, false, 0, 0, kAnyDepth, kNight},
        {203, 16, 64, 1.0, 0.45, true, false, 0, 0, kAnyDepth, kNight},
        // With depth of field each listed source paints through its own kernel.
        {160, 30, 64, 0.1, 1.0, true, true, 128, 2.0, kGradient, kNight},
        {120, 24, 40, 0.3, 2.2, false, true, 30, 4.0, kBands, kNight},
    };
    for (const Scenario& s : scenarios) expectSameBytes(s, random);
}

TEST_P(RendererEquivalence, ValuesBelowTheNormalFloatRange) {
    std::mt19937 random(7);
    // Under a gamma of 30 dim sources paint values far below the smallest normal float,
    // where storing a float keeps fewer bits; raised to 1 / 30 again they decide bytes.
    for (const double density : {0.1, 1.0, 1.9})
        for (const bool blend : {true, false})
            expectSameBytes({90, 40, 7, density, 30.0, blend, false, 0, 0, kAnyDepth, kDim},
                            random);
    expectSameBytes({90, 40, 9, 0.3, 30.0, true, true, 128, 4.0, kGradient, kDim}, random);
    // Densities so small that even the strongest stroke stays below it.
    expectSameBytes({60, 20, 5, 1e-39, 1.0, true, false, 0, 0}, random);
}

TEST_P(RendererEquivalence, RowsPaintedInSeveralPassesOverTheirSources) {
    // A few pixels whose depth asks for a 2000-pixel kernel make every target row reach
    // every source row, and the rows are so wide that those no longer fit the renderer's
    // memory for prepared source rows at once, so each target row is painted in passes
    // that resume from the last.
    std::mt19937 random(8);
    const int width = 4800, height = 176;
    const auto source = picture(width, height, kAnyPicture, random);
    const auto depth = makeImage(width, height, [](int x, int r, int) -> std::uint8_t {
        return (x == 2 && r % 40 == 7) ? 250 : 0;
    });
    MaskMan referenceMasks, productMasks;
    referenceMasks.shape = diaphragm(9, 0, random);
    productMasks.shape = referenceMasks.shape->copy();
    const DofSettings dof{depth.get(), 0.0, 255.0};  // kernel side = depth x 8
    auto expected = source->copy();
    reference::DefocusImage(*expected, referenceMasks, 0.3, 1.0, 8, 1, &dof, nullptr);
    for (unsigned threads = 1; threads <= 2; ++threads) {
        auto result = source->copy();
        DefocusImage(*result, productMasks, 0.3, 1.0, 8, 1, &dof, nullptr, threads);
        EXPECT_TRUE(samePixels(*expected, *result)) << "with " << threads << " threads";
    }
}

TEST_P(RendererEquivalence, PicturesWhoseBuffersTakeMegabytes) {
    std::mt19937 random(4);
    // The result of a 1024 x 700 picture, and the source rows of 3000 pixels kept for a
    // 31-pixel kernel, each take more than 2 MiB: memory the renderer asks for in huge pages.
    expectSameBytes({1024, 700, 3, 0.1, 1.0, true, false, 0, 0}, random);
    expectSameBytes({3000, 3, 31, 0.3, 2.2, false, false, 0, 0}, random);
}

std::vector<paint_row::Painter> painters() {
    paint_row::Painter found[8];
    const int count = paint_row::availablePainters(found, 8);
    return {found, found + std::min(count, 8)};
}

INSTANTIATE_TEST_SUITE_P(EveryPainter, RendererEquivalence, ::testing::ValuesIn(painters()),
                         [](const auto& info) { return std::string(info.param.name); });

// Records what the renderer reports and on which thread.
class RecordingNotifyer : public Notifyer {
public:
    void Notify(int row, int rows) override {
        record(std::to_string(row) + " / " + std::to_string(rows));
    }
    void Done() override { record("done"); }
    void record(std::string text) {
        texts.push_back(std::move(text));
        threads.push_back(std::this_thread::get_id());
    }
    std::vector<std::string> texts;
    std::vector<std::thread::id> threads;
};

TEST(RendererProgress, EveryRowInOrderThenDoneOnTheCallingThread) {
    std::mt19937 random(4);
    for (unsigned threads = 1; threads <= 3; ++threads) {
        const auto image = picture(37, 53, kAnyPicture, random);
        MaskMan masks;
        masks.shape = diaphragm(9, 0, random);
        RecordingNotifyer notifyer;
        DefocusImage(*image, masks, 0.1, 1.0, 9, 1, nullptr, &notifyer, threads);
        ASSERT_EQ(notifyer.texts.size(), 54u);
        for (int r = 0; r < 53; ++r) EXPECT_EQ(notifyer.texts[r], std::to_string(r) + " / 53");
        EXPECT_EQ(notifyer.texts.back(), "done");
        for (const auto& id : notifyer.threads) EXPECT_EQ(id, std::this_thread::get_id());
    }
}

TEST(RendererProgress, EmptyImageReportsOnlyDone) {
    dib24 empty(0, 0);
    MaskMan masks;
    RecordingNotifyer notifyer;
    DefocusImage(empty, masks, 0.1, 1.0, 9, 1, nullptr, &notifyer);
    EXPECT_EQ(notifyer.texts, std::vector<std::string>{"done"});
}

TEST(RendererFailure, MissingKernelLeavesTheImageUnchanged) {
    std::mt19937 random(5);
    const auto source = picture(12, 10, kAnyPicture, random);
    auto image = source->copy();
    MaskMan noShape;
    RecordingNotifyer notifyer;
    EXPECT_THROW(DefocusImage(*image, noShape, 0.1, 1.0, 5, 1, nullptr, &notifyer), MissingKernel);
    EXPECT_TRUE(samePixels(*source, *image));
    EXPECT_TRUE(notifyer.texts.empty());
}

// A stop requested from the progress reports, as a window does: every thread count ends
// with DefocusStopped before "done" and before the last row, the image unchanged.
TEST(RendererStop, AStopRequestEndsTheRunAndLeavesTheImage) {
    std::mt19937 random(6);
    for (unsigned threads = 1; threads <= 3; ++threads) {
        const auto source = picture(40, 300, kAnyPicture, random);
        auto image = source->copy();
        MaskMan masks;
        masks.shape = diaphragm(9, 0, random);
        std::stop_source stop;
        struct StopAtRow : RecordingNotifyer {
            std::stop_source* stop;
            void Notify(int row, int rows) override {
                RecordingNotifyer::Notify(row, rows);
                if (texts.size() == 5) stop->request_stop();
            }
        } notifyer;
        notifyer.stop = &stop;
        EXPECT_THROW(DefocusImage(*image, masks, 0.1, 1.0, 9, 1, nullptr, &notifyer, threads,
                                  stop.get_token()),
                     DefocusStopped);
        EXPECT_TRUE(samePixels(*source, *image));
        EXPECT_LT(notifyer.texts.size(), 300u);
        EXPECT_NE(notifyer.texts.back(), "done");
    }
}

TEST(RendererKernels, DepthOfFieldFetchesKernelsInTheReferenceOrder) {
    std::mt19937 random(6);
    const auto source = picture(40, 20, kAnyPicture, random);
    const auto depth = depthMask(40, 20, kAnyDepth, random);
    MaskMan referenceMasks, productMasks;
    referenceMasks.shape = diaphragm(15, 1, random);
    productMasks.shape = referenceMasks.shape->copy();
    const DofSettings dof{depth.get(), 90.0, 3.0};
    auto a = source->copy(), b = source->copy();
    reference::DefocusImage(*a, referenceMasks, 0.2, 1.0, 15, 1, &dof, nullptr);
    DefocusImage(*b, productMasks, 0.2, 1.0, 15, 1, &dof, nullptr);
    ASSERT_EQ(productMasks.scaled.size(), referenceMasks.scaled.size());
    for (std::size_t i = 0; i < referenceMasks.scaled.size(); ++i)
        EXPECT_EQ(productMasks.scaled[i]->width, referenceMasks.scaled[i]->width);
}

TEST(RendererKernels, DepthsInFocusAreThoseOfOnePixelKernels) {
    // Scaling 2 and size 25 give a distance d beyond the focus range a side of d x 0.196: one
    // pixel up to a distance of 10. Rows: threshold, focus range, first and last depth in focus.
    const int cases[][4] = {
        {100, 0, 90, 110}, {100, 20, 70, 130}, {250, 20, 220, 255}, {0, 255, 0, 255}};
    for (const auto& c : cases) {
        const std::bitset<256> inFocus = depthsInFocus({nullptr, double(c[0]), 2.0, c[1]}, 25);
        for (int m = 0; m < 256; ++m)
            EXPECT_EQ(inFocus[m], m >= c[2] && m <= c[3]) << c[0] << "/" << c[1] << " depth " << m;
    }
}

}  // namespace
