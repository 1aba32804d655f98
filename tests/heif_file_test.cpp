// HEIF specifics beyond the reading rules that picture_file_test.cpp checks for every
// format (its fixture writes the HEIC and AVIF files with scripts/heif_pictures.py): how a
// depth image's representation becomes nearness, and a HEIC photo's metadata.
#include <gtest/gtest.h>
#include <exiv2/exiv2.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "pictures/heif_file.h"
#include "pictures/picture_file.h"
#include "tests/test_bitmaps.h"

namespace {

TEST(HeifDepth, EachRepresentationBecomesTheNearnessConvention) {
    using R = HeifDepthImage::Representation;
    const struct {
        R representation;
        std::optional<double> zNear, zFar;
        std::vector<std::uint16_t> codes;
        std::vector<std::uint8_t> mask;  // empty: refused
    } cases[] = {
        {R::UniformInverseZ, 1.0, 4.0, {0, 128, 255}, {0, 128, 255}},  // the largest code near
        {R::UniformInverseZ, {}, {}, {10, 20, 30}, {0, 128, 255}},     // taken as disparities
        {R::UniformZ, 1.0, 2.0, {0, 255}, {255, 0}},                   // code 0 near
        {R::UniformDisparity, {}, {}, {30, 20, 10}, {255, 128, 0}},
        {R::Unknown, 1.0, 4.0, {5, 7}, {0, 255}},
        {R::UniformZ, 1.0, {}, {0, 255}, {}},
        {R::NonuniformDisparity, {}, {}, {0, 255}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.representation));
        HeifDepthImage depth;
        depth.width = static_cast<int>(c.codes.size());
        depth.height = 1;
        depth.bits = 8;
        depth.samples = c.codes;
        depth.representation = c.representation;
        depth.zNear = c.zNear;
        depth.zFar = c.zFar;
        std::string why;
        const std::optional<StoredDepth> stored = storedDepthOf(depth, &why);
        ASSERT_EQ(stored.has_value(), !c.mask.empty()) << why;
        EXPECT_TRUE(!stored || nearnessMask(*stored, &why) == c.mask) << why;
    }
}

TEST(HeifMetadata, TravelsToPicturesWrittenFromItAndItsOrientationIsNotThePictures) {
    PictureMetadata metadata;
    std::string why;
    const auto photo = readPicture(
        (std::filesystem::path(BOKAVO_PICTURES_DIR) / "camera.heic").string(), &why, &metadata);
    ASSERT_NE(photo, nullptr) << why;
    EXPECT_EQ(photo->width, 30);  // 40 x 30 turned by the file's rotation, once
    testing_support::TempDir dir;
    const std::string out = (dir / "out.jpg").string();
    ASSERT_TRUE(writePicture(*photo, out, &metadata, kDefaultQuality, &why)) << why;
    Exiv2::Image::AutoPtr written = Exiv2::ImageFactory::open(out);
    written->readMetadata();
    EXPECT_EQ(written->exifData()["Exif.Image.Make"].toString(), "Bokavo Test Camera");
    EXPECT_EQ(written->exifData()["Exif.Image.Orientation"].toString(), "1");
    EXPECT_NE(written->xmpPacket().find("Test Photographer"), std::string::npos);
}

}  // namespace
