// HEIC and AVIF files encoded here with libheif at test time: each reading rule against the
// same pixels written as a PNG, the depth image, damaged files and what the writer keeps.
#include <gtest/gtest.h>
#include <QColorSpace>
#include <QImage>
#include <QTransform>
#include <exiv2/exiv2.hpp>

#include <cmath>
#include <string>
#include <vector>

#include "image/heif_file.h"
#include "image/picture_file.h"
#include "tests/heif_samples.h"
#include "tests/test_bitmaps.h"

namespace {

using testing_support::readFileBytes;
using testing_support::writeFileBytes;
using namespace heif_samples;

QByteArray iccOf(const std::string& profile) {
    return QByteArray(profile.data(), static_cast<qsizetype>(profile.size()));
}

// The file's samples as a picture of 8 bits per channel, or 16 (each rounded to the nearest
// 16-bit value) for deeper ones.
QImage storedPixels(const Bytes& file, const Source& s) {
    const std::vector<int> samples = storedSamples(file, s);
    const int channels = s.alpha ? 4 : 3;
    if (s.bits <= 8) {
        QImage picture(s.width, s.height,
                       s.alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
        for (int y = 0; y < s.height; ++y)
            for (int i = 0; i < s.width * channels; ++i)
                picture.scanLine(y)[i] = static_cast<uchar>(samples.at(y * s.width * channels + i));
        return picture;
    }
    QImage picture(s.width, s.height, s.alpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64);
    const double largest = (1 << s.bits) - 1;
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) {
            auto* out = reinterpret_cast<std::uint16_t*>(picture.scanLine(y)) + 4 * x;
            out[3] = 65535;
            for (int c = 0; c < channels; ++c)
                out[c] = static_cast<std::uint16_t>(
                    std::lround(samples.at((y * s.width + x) * channels + c) * 65535 / largest));
        }
    return picture;
}

// EXIF orientations: turned clockwise, then mirrored.
QImage upright(const QImage& stored, int orientation) {
    const int turn[] = {0, 0, 0, 180, 0, 90, 90, 90, 270};
    const QImage turned = stored.transformed(QTransform().rotate(turn[orientation]));
    return turned.mirrored(orientation == 2 || orientation == 5,
                           orientation == 4 || orientation == 7);
}

TEST(HeifPictures, ComeInAsTheSamePixelsDoFromPng) {
    const Source cases[] = {
        {.orientation = 1},
        {.alpha = true, .orientation = 6},
        {.width = 64, .height = 16, .bits = 10, .alpha = true, .orientation = 3},
        {.bits = 12, .orientation = 8, .adobeRgb = true},
        {.alpha = true, .orientation = 5, .adobeRgb = true},
        {.codec = heif_compression_AV1, .orientation = 2},
    };
    testing_support::TempDir dir;
    for (const Source& s : cases) {
        SCOPED_TRACE(testing::Message() << "codec " << s.codec << ", " << s.bits << " bits, alpha "
                                        << s.alpha << ", orientation " << s.orientation);
        const Bytes file = encode(s);
        writeFileBytes(dir / "photo.heic", file);
        // The same samples stored upright, turned here.
        Source stored = s;
        stored.orientation = 1;
        QImage expected = upright(storedPixels(encode(stored), s), s.orientation);
        if (s.adobeRgb)
            expected.setColorSpace(QColorSpace::fromIccProfile(iccOf(adobeRgbProfile())));
        ASSERT_TRUE(expected.save(QString::fromStdString((dir / "expected.png").string())));

        std::string why;
        const auto heic = readPicture((dir / "photo.heic").string(), &why);
        ASSERT_NE(heic, nullptr) << why;
        const auto png = readPicture((dir / "expected.png").string(), &why);
        ASSERT_NE(png, nullptr) << why;
        EXPECT_TRUE(testing_support::samePixels(*heic, *png));
        EXPECT_EQ(heic->width, s.orientation >= 5 ? s.height : s.width);
    }
}

TEST(HeifDepth, GivesTheDepthImagesCodesUprightAndTheirNearnessMask) {
    for (const Source& s :
         {Source{.alpha = true}, Source{.bits = 10, .alpha = true, .orientation = 6}}) {
        SCOPED_TRACE(s.bits);
        const Bytes file = withDepth(encode(s));
        std::string why;
        const auto depth = readHeifDepth(file.data(), file.size(), why);
        ASSERT_TRUE(depth) << why;
        EXPECT_EQ(depth->bits, s.bits);
        EXPECT_EQ(depth->width, s.orientation >= 5 ? s.height : s.width);
        EXPECT_EQ(depth->representation, HeifDepthImage::Representation::Unknown);
        const std::vector<int> stored = storedSamples(encode(s), s);  // the same samples
        ASSERT_EQ(depth->samples.size() * 4, stored.size());
        int differing = 0;
        for (std::size_t i = 0; i < depth->samples.size(); ++i)
            differing += depth->samples[i] != stored[4 * i + 3];  // the alpha it was
        EXPECT_EQ(differing, 0);

        // Without representation info the codes are disparities: the smallest gives 0, the
        // largest 255, linearly, halves rounded up.
        const PhotoDepth photo = decodePhotoDepth(file.data(), file.size());
        ASSERT_EQ(photo.status, PhotoDepth::Status::Read) << photo.why;
        const auto [low, high] = std::minmax_element(depth->samples.begin(), depth->samples.end());
        for (int i = 0; i < depth->width * depth->height; ++i) {
            const double share = double(depth->samples[i] - *low) / (*high - *low);
            ASSERT_EQ(
                testing_support::pixelFromTop(*photo.mask, i % depth->width, i / depth->width, 0),
                int(std::floor(255 * share + 0.5)))
                << "at " << i;
        }
        EXPECT_NE(decodePicture(file.data(), file.size(), &why), nullptr) << why;
    }
}

TEST(HeifDepth, RepresentationsBecomeTheNearnessConvention) {
    using R = HeifDepthImage::Representation;
    const struct {
        R representation;
        std::optional<double> zNear, zFar;
        std::vector<std::uint16_t> codes;
        std::vector<std::uint8_t> mask;  // or, when empty, refused
    } cases[] = {
        {R::UniformInverseZ, 1.0, 4.0, {0, 128, 255}, {0, 128, 255}},  // largest code near
        {R::UniformInverseZ, {}, {}, {10, 20, 30}, {0, 128, 255}},     // as disparities
        {R::UniformZ, 1.0, 2.0, {0, 255}, {255, 0}},                   // code 0 near
        {R::UniformDisparity, {}, {}, {30, 20, 10}, {255, 128, 0}},
        {R::Unknown, 1.0, 4.0, {5, 7}, {0, 255}},
        {R::UniformZ, 1.0, {}, {0, 255}, {}},
        {R::NonuniformDisparity, {}, {}, {0, 255}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.representation));
        HeifDepthImage depth;
        depth.width = static_cast<int>(c.codes.size());
        depth.height = 1;
        depth.bits = 8;
        depth.samples = c.codes;
        depth.representation = c.representation;
        depth.zNear = c.zNear;
        depth.zFar = c.zFar;
        std::string why;
        const std::optional<StoredDepth> stored = storedDepthOf(depth, why);
        ASSERT_EQ(stored.has_value(), !c.mask.empty()) << why;
        if (!stored) continue;
        const auto mask = nearnessMask(*stored, why);
        ASSERT_TRUE(mask) << why;
        EXPECT_EQ(*mask, c.mask);
    }
}

TEST(DamagedHeifFiles, AreRefusedWithOneLineOfReasonAndNothingOnStandardError) {
    const Bytes heic = encode({.alpha = true});
    const Bytes avif = encode({.codec = heif_compression_AV1});
    Bytes bomb = heic;
    declareSize(bomb, 0, 100000, 100000);
    declareSize(bomb, 1, 100000, 100000);  // the alpha image's
    const struct {
        const char* name;
        Bytes file;
        const char* reason;  // how the reason starts
    } cases[] = {
        {"truncated", Bytes(heic.begin(), heic.begin() + heic.size() * 2 / 3),
         "damaged or truncated HEIC file ("},
        {"header only", Bytes(heic.begin(), heic.begin() + 40), "damaged or truncated HEIC file ("},
        {"truncated AVIF", Bytes(avif.begin(), avif.end() - 20),
         "damaged or truncated AVIF file ("},
        {"bomb", bomb, "picture too large (100000 x 100000)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string why, depthWhy;
        testing::internal::CaptureStderr();
        EXPECT_EQ(decodePicture(c.file.data(), c.file.size(), &why), nullptr);
        EXPECT_FALSE(readHeifDepth(c.file.data(), c.file.size(), depthWhy));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(why.rfind(c.reason, 0), 0u) << why;
        EXPECT_EQ(why.find('\n'), std::string::npos) << why;
        EXPECT_EQ(depthWhy.empty(), c.file == bomb);  // the bomb carries no depth image
    }
    // A photo without a depth image carries none; one whose depth image is a bomb keeps
    // its photo.
    std::string why = "unset";
    EXPECT_FALSE(readHeifDepth(heic.data(), heic.size(), why));
    EXPECT_EQ(why, "");
    EXPECT_EQ(decodePhotoDepth(heic.data(), heic.size()).status, PhotoDepth::Status::None);
    Bytes depthBomb = withDepth(heic);
    declareSize(depthBomb, 1, 100000, 100000);
    const PhotoDepth refused = decodePhotoDepth(depthBomb.data(), depthBomb.size());
    EXPECT_EQ(refused.status, PhotoDepth::Status::Unusable);
    EXPECT_EQ(refused.why, "depth image too large (100000 x 100000)");
    EXPECT_NE(decodePicture(depthBomb.data(), depthBomb.size(), &why), nullptr) << why;
}

TEST(HeifMetadata, TravelsToPicturesWrittenFromItAndItsOrientationIsNotThePictures) {
    Exiv2::ExifData exif;
    exif["Exif.Image.Make"] = "Bokavo Test Phone";
    exif["Exif.Image.Orientation"] = std::uint16_t{3};
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, Exiv2::bigEndian, exif);
    const std::string xmp =
        "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
        "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
        "xmlns:dc='http://purl.org/dc/elements/1.1/' dc:creator='Test Photographer'/>"
        "</rdf:RDF></x:xmpmeta>";
    const Source s{.orientation = 6};
    const Bytes file = encode(s, std::string(blob.begin(), blob.end()), xmp);

    PictureMetadata metadata;
    std::string why;
    const auto photo = decodePicture(file.data(), file.size(), &why, &metadata);
    ASSERT_NE(photo, nullptr) << why;
    EXPECT_EQ(photo->width, s.height);  // turned by the file's rotation alone
    testing_support::TempDir dir;
    const std::string out = (dir / "out.jpg").string();
    ASSERT_TRUE(writePicture(*photo, out, &metadata, kDefaultQuality, &why)) << why;
    Exiv2::Image::AutoPtr written = Exiv2::ImageFactory::open(out);
    written->readMetadata();
    EXPECT_EQ(written->exifData()["Exif.Image.Make"].toString(), "Bokavo Test Phone");
    EXPECT_EQ(written->exifData()["Exif.Image.Orientation"].toString(), "1");
    EXPECT_NE(written->xmpPacket().find("Test Photographer"), std::string::npos);
}

}  // namespace
