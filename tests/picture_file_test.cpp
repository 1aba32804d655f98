// Picture files made by Pillow and ImageMagick at test time (scripts/make_pictures.py):
// each reading rule against the other tools' account of the pixels, damaged files, the
// size limits, and what the writer keeps.
#include "pictures/picture_file.h"

#include <gtest/gtest.h>
#include <QColorSpace>
#include <QImage>
#include <exiv2/exiv2.hpp>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "image/save_file.h"
#include "tests/test_bitmaps.h"

namespace {

using testing_support::readFileBytes;

std::string pathOf(const std::string& name) {
    return (std::filesystem::path(BOKAVO_PICTURES_DIR) / name).string();
}

// The largest difference of any channel between `image` and the picture in a PNG file.
int largestDifference(const dib24& image, const std::string& png) {
    const QImage expected =
        QImage(QString::fromStdString(png)).convertToFormat(QImage::Format_RGB32);
    if (expected.width() != image.width || expected.height() != image.height) return 256;
    int worst = 0;
    for (int t = 0; t < image.height; ++t)
        for (int x = 0; x < image.width; ++x) {
            const QRgb want = expected.pixel(x, t);
            for (const auto& [c, value] :
                 {std::pair{0, qBlue(want)}, {1, qGreen(want)}, {2, qRed(want)}})
                worst = std::max(worst,
                                 std::abs(testing_support::pixelFromTop(image, x, t, c) - value));
        }
    return worst;
}

class ReadingRule : public testing::TestWithParam<std::string> {};

// Every picture the fixture lists for the rule comes in as it worked out.
TEST_P(ReadingRule, GivesWhatTheOtherToolsWorkedOut) {
    std::ifstream rules(pathOf("rules.txt"));
    ASSERT_TRUE(rules) << "run the test through ctest, whose fixture writes the pictures";
    std::string rule, file;
    int tolerance = 0, count = 0;
    while (rules >> rule >> file >> tolerance) {
        if (rule != GetParam()) continue;
        SCOPED_TRACE(file);
        ++count;
        std::string why;
        const auto image = readPicture(pathOf(file), &why);
        ASSERT_NE(image, nullptr) << why;
        EXPECT_LE(largestDifference(*image, pathOf(file + ".expected.png")), tolerance);
    }
    EXPECT_GE(count, 3);
}

INSTANTIATE_TEST_SUITE_P(Rules, ReadingRule,
                         testing::Values("orientation", "colour_profile", "alpha_over_white",
                                         "sixteen_bits", "sixteen_bit_alpha", "other_layouts"),
                         [](const testing::TestParamInfo<std::string>& rule) {
                             return rule.param;
                         });

TEST(DamagedPictures, AreRefusedWithOneLineOfReasonAndNothingOnStandardError) {
    const struct {
        const char* file;
        const char* reason;  // how the reason starts
    } cases[] = {
        {"bad_truncated.png", "damaged or truncated PNG file ("},
        {"bad_scrambled.png", "damaged or truncated PNG file ("},
        {"bad_truncated.jpg", "damaged or truncated JPEG file ("},
        {"bad_truncated.progressive.jpg", "damaged or truncated JPEG file ("},
        {"bad_scrambled.jpg", "damaged or truncated JPEG file ("},
        {"bad_scrambled.progressive.jpg", "damaged or truncated JPEG file ("},
        {"bad_truncated.tif", "damaged or truncated TIFF file ("},
        {"bad_scrambled.tif", "damaged or truncated TIFF file ("},
        {"bad_truncated.webp", "damaged or truncated WebP file ("},
        {"bad_bomb.png", "picture too large (100000 x 100000)"},
        {"bad_huge.tif", "picture too large (4294967295 x 4294967295)"},
        {"bad_huge.webp", "picture too large (16777216 x 16777216)"},
        {"bad_header.webp", "damaged or truncated WebP file (the header is damaged)"},
        {"bad_size0.webp", "damaged or truncated WebP file (the picture's size is 0)"},
        {"bad_truncated.webp", "damaged or truncated WebP file (the file ends before its data)"},
        {"unsupported_float.tif",
         "unsupported TIFF file (Sorry, can not handle images with 32-bit samples.)"},
        {"unsupported_int32.tif",
         "unsupported TIFF file (Sorry, can not handle images with 32-bit samples.)"},
        {"bad_truncated.heic", "damaged or truncated HEIC file ("},
        {"bad_truncated.avif", "damaged or truncated AVIF file ("},
        {"bad_bomb.heic", "picture too large (100000 x 100000)"},
        {"bad_unknown.gif", "not a bitmap file, nor a PNG, JPEG, TIFF, WebP or HEIC picture"},
        {"bad_empty.png", "not a bitmap file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::vector<std::uint8_t> bytes = readFileBytes(pathOf(c.file));
        std::string fromFile, fromMemory;
        testing::internal::CaptureStderr();
        EXPECT_EQ(readPicture(pathOf(c.file), &fromFile), nullptr);
        EXPECT_EQ(decodePicture(bytes.data(), bytes.size(), &fromMemory), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(fromFile.rfind(c.reason, 0), 0u) << fromFile;
        EXPECT_EQ(fromFile.find('\n'), std::string::npos) << fromFile;
        EXPECT_EQ(fromMemory, fromFile);
    }
}

TEST(PictureLimits, SizesAreRefusedFromTheHeaderAndQtsOwnLimitDoesNotApply) {
    EXPECT_EQ(pictureSizeRefusal(20000, 12500), "");
    EXPECT_EQ(pictureSizeRefusal(20000, 12501), "picture too large (20000 x 12501)");
    EXPECT_EQ(pictureSizeRefusal(1, 250000001), "picture too large (1 x 250000001)");

    // 36 megapixels decode to 137 MiB, beyond Qt's default limit of 128 MiB.
    std::string why;
    const auto wide = readPicture(pathOf("wide_36mp.png"), &why);
    ASSERT_NE(wide, nullptr) << why;
    EXPECT_EQ(wide->width, 12000);

    // A picture whose 24-bit pixels the process cannot hold is refused before decoding.
    const std::size_t limit = dib24::sectionLimit;
    dib24::sectionLimit = 100;
    EXPECT_EQ(readPicture(pathOf("rgba.png"), &why), nullptr);
    EXPECT_EQ(why, "picture too large (13 x 7)");
    // So is one whose pixels fit but not with the decoder's copy (16 bits: 8 bytes a pixel).
    dib24::sectionLimit = 40 * 7 + 8 * 13 * 7 - 1;
    EXPECT_EQ(readPicture(pathOf("rgb16.png"), &why), nullptr);
    dib24::sectionLimit = limit;
    EXPECT_EQ(why, "picture too large (13 x 7)");
}

TEST(WrittenPictures, FollowTheExtensionAreSrgbAndKeepTheCamerasMetadata) {
    PictureMetadata metadata;
    std::string why;
    const auto photo = readPicture(pathOf("camera.jpg"), &why, &metadata);
    ASSERT_NE(photo, nullptr) << why;
    ASSERT_EQ(photo->width, 30);  // 40 x 30 as stored, turned by orientation 6
    testing_support::TempDir dir;
    ASSERT_TRUE(saveImageFile(*photo, (dir / "reference.bmp").string()));

    const struct {
        const char* name;
        const char* magic;
        bool lossless;
    } cases[] = {{"out.png", "\x89PNG", true}, {"out.JPG", "\xff\xd8\xff", false},
                 {"out.tif", "II*", true},     {"out.webp", "RIFF", false},
                 {"out.bmp", "BM", true},      {"out", "BM", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = (dir / c.name).string();
        ASSERT_TRUE(writePicture(*photo, path, &metadata, kDefaultQuality, &why)) << why;
        const std::vector<std::uint8_t> bytes = readFileBytes(path);
        ASSERT_EQ(std::memcmp(bytes.data(), c.magic, std::strlen(c.magic)), 0);
        const auto back = readPicture(path, &why);
        ASSERT_NE(back, nullptr) << why;
        EXPECT_TRUE(!c.lossless || testing_support::samePixels(*photo, *back));
        if (c.magic[0] == 'B') {
            EXPECT_EQ(bytes, readFileBytes(dir / "reference.bmp"));
            continue;
        }
        EXPECT_EQ(QImage(QString::fromStdString(path)).colorSpace(), QColorSpace::SRgb);
        Exiv2::Image::AutoPtr written = Exiv2::ImageFactory::open(path);
        written->readMetadata();
        Exiv2::ExifData& exif = written->exifData();
        EXPECT_EQ(exif["Exif.Image.Make"].toString(), "Bokavo Test Camera");
        EXPECT_EQ(exif["Exif.Photo.DateTimeOriginal"].toString(), "2026:12:08 10:30:00");
        EXPECT_EQ(exif["Exif.Photo.LensModel"].toString(), "Test Lens 50mm f/1.4");
        EXPECT_EQ(exif["Exif.GPSInfo.GPSLatitudeRef"].toString(), "N");
        EXPECT_EQ(exif["Exif.Image.Orientation"].toString(), "1");
        EXPECT_EQ(exif["Exif.Photo.PixelXDimension"].toString() + " x " +
                      exif["Exif.Photo.PixelYDimension"].toString(),
                  "30 x 40");
        EXPECT_NE(written->xmpPacket().find("Test Photographer"), std::string::npos);
    }
}

// Metadata travels as it came: an entry that points outside its block is dropped and the
// others kept; a directory of more entries than exiv2 reads keeps its known tags and as
// many others as stay readable.
TEST(CopiedMetadata, KeepsTheValidEntriesAndDropsTheBrokenOnes) {
    const struct {
        const char* file;
        const char* key;  // kept, with its value
        const char* value;
        const char* dropped;  // not kept
        long entries;         // at least, in the EXIF written
    } cases[] = {
        {"bad_make.jpg", "Exif.Image.Model", "Model 7", "Exif.Image.Make", 2},
        {"many_tags.jpg", "Exif.Image.Make", "Many Tags Camera", "Exif.Image.0xd387", 200}};
    testing_support::TempDir dir;
    for (const auto& c : cases) {
        PictureMetadata metadata;
        std::string why;
        const auto picture = readPicture(pathOf(c.file), &why, &metadata);
        ASSERT_NE(picture, nullptr) << why;
        for (const char* written : {"out.tif", "out.jpg", "out.png"}) {
            SCOPED_TRACE(std::string(c.file) + " to " + written);
            const std::string path = (dir / written).string();
            ASSERT_TRUE(writePicture(*picture, path, &metadata, kDefaultQuality, &why)) << why;
            ASSERT_NE(readPicture(path, &why), nullptr) << why;
            Exiv2::Image::AutoPtr file = Exiv2::ImageFactory::open(path);
            file->readMetadata();
            Exiv2::ExifData& exif = file->exifData();
            EXPECT_EQ(exif[c.key].toString(), c.value);
            EXPECT_EQ(exif.findKey(Exiv2::ExifKey(c.dropped)), exif.end());
            EXPECT_GE(exif.count(), c.entries);
        }
    }
}

}  // namespace
