// The steps that Undo and Redo of Defocus keep, within their memory limit.

#include <gtest/gtest.h>

#include <cstring>

#include "tests/test_bitmaps.h"
#include "ui/defocus_history.h"

namespace {

// A 100 x 10 picture (3000 bytes) whose every byte is `value`.
std::unique_ptr<dib24> filled(std::uint8_t value) {
    auto picture = std::make_unique<dib24>(100, 10);
    std::memset(picture->bits, value, picture->pixelBytes());
    return picture;
}

TEST(DefocusHistory, KeepsTheNewestStepsThatFitTheLimitAndAlwaysOne) {
    struct Case {
        std::size_t limit;
        std::size_t kept;
    };
    for (const auto [limit, kept] : {Case{7000, 2}, Case{9000, 3}, Case{100, 1}}) {
        SCOPED_TRACE(limit);
        DefocusHistory history(limit);
        auto picture = filled(1);
        // Three runs turn 1 into 2, 3 and 4.
        for (std::uint8_t run = 2; run <= 4; ++run) {
            history.recordDefocus(DefocusHistory::copyOf(*picture));
            std::memset(picture->bits, run, picture->pixelBytes());
        }
        EXPECT_EQ(history.undoSteps(), kept);
        EXPECT_LE(history.keptBytes(), std::max<std::size_t>(limit, 3000));
        const std::uint8_t* shown = picture->bits;
        for (std::size_t step = 1; step <= kept; ++step) {
            ASSERT_TRUE(history.undo(*picture));
            EXPECT_EQ(std::size_t{picture->bits[0]}, 4 - step);
        }
        EXPECT_FALSE(history.undo(*picture));
        for (std::size_t step = kept; step >= 1; --step) ASSERT_TRUE(history.redo(*picture));
        EXPECT_EQ(picture->bits[0], 4);
        EXPECT_EQ(picture->bits, shown);  // the same pixel block again, never copied
        EXPECT_FALSE(history.redo(*picture));
    }
}

TEST(DefocusHistory, ANewRunDropsWhatRedoWouldApply) {
    DefocusHistory history;
    auto picture = filled(1);
    history.recordDefocus(DefocusHistory::copyOf(*picture));
    std::memset(picture->bits, 2, picture->pixelBytes());
    ASSERT_TRUE(history.undo(*picture));
    history.recordDefocus(DefocusHistory::copyOf(*picture));
    EXPECT_EQ(history.redoSteps(), 0u);
    EXPECT_EQ(history.undoSteps(), 1u);
}

}  // namespace
