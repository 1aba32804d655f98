// Depth maps inside portrait JPEG files made at test time (scripts/make_pictures.py, with
// scripts/depth_portraits.py): each comes in as the upright nearness mask that the rule,
// worked out there, gives; damaged ones are refused with their reason.
#include <gtest/gtest.h>
#include <QImage>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "pictures/picture_file.h"
#include "tests/test_bitmaps.h"

namespace {

std::string pathOf(const std::string& name) {
    return (std::filesystem::path(BOKAVO_PICTURES_DIR) / name).string();
}

TEST(PhotoDepth, EveryPortraitGivesTheRulesMaskAndEveryDamagedOneItsReason) {
    std::ifstream cases(pathOf("depth.txt"));
    ASSERT_TRUE(cases) << "run the test through ctest, whose fixture writes the pictures";
    int masks = 0, refusals = 0;
    for (std::string line; std::getline(cases, line);) {
        std::istringstream fields(line);
        std::string kind, file, reason;
        fields >> kind >> file;
        std::getline(fields >> std::ws, reason);
        SCOPED_TRACE(file);
        const PhotoDepth depth = readPhotoDepth(pathOf(file));
        if (kind == "none") {
            EXPECT_EQ(depth.status, PhotoDepth::Status::None);
        } else if (kind == "refused") {
            ++refusals;
            EXPECT_EQ(depth.status, PhotoDepth::Status::Unusable);
            EXPECT_EQ(depth.why.rfind(reason, 0), 0u) << depth.why;
        } else {
            ++masks;
            ASSERT_EQ(depth.status, PhotoDepth::Status::Read) << depth.why;
            const QImage expected(QString::fromStdString(pathOf(file + ".expected.png")));
            ASSERT_EQ(depth.mask->width, expected.width());
            ASSERT_EQ(depth.mask->height, expected.height());
            for (int y = 0; y < expected.height(); ++y)
                for (int x = 0; x < expected.width(); ++x)
                    for (int c = 0; c < 3; ++c)
                        ASSERT_EQ(testing_support::pixelFromTop(*depth.mask, x, y, c),
                                  qGray(expected.pixel(x, y)))
                            << "at " << x << ", " << y;
        }
    }
    EXPECT_GE(masks, 6);
    EXPECT_GE(refusals, 10);
}

}  // namespace
