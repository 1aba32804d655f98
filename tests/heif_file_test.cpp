// HEIC and AVIF files encoded here with libheif at test time: each reading rule against the
// same pixels written as a PNG, the depth image, damaged files and what the writer keeps.
#include <gtest/gtest.h>
#include <libheif/heif.h>
#include <QColorSpace>
#include <QFile>
#include <QImage>
#include <QTransform>
#include <exiv2/exiv2.hpp>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "image/heif_file.h"
#include "image/picture_file.h"
#include "tests/test_bitmaps.h"

namespace {

using testing_support::readFileBytes;
using testing_support::writeFileBytes;
using Bytes = std::vector<std::uint8_t>;

struct Source {
    heif_compression_format codec = heif_compression_HEVC;
    int width = 24, height = 16, bits = 8;
    bool alpha = false;
    int orientation = 1;    // stored as libheif's rotation and mirroring
    bool adobeRgb = false;  // an Adobe RGB ICC profile
};

heif_error writeInto(heif_context*, const void* data, size_t size, void* bytes) {
    auto* out = static_cast<Bytes*>(bytes);
    out->insert(out->end(), static_cast<const std::uint8_t*>(data),
                static_cast<const std::uint8_t*>(data) + size);
    return {heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

QByteArray adobeRgbProfile() {
    QFile file("/usr/share/color/icc/compatibleWithAdobeRGB1998.icc");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Random samples of the source's depth, the same for every orientation, encoded losslessly in
// 4:4:4; `exif` and `xmp` go in as metadata blocks.
Bytes encode(const Source& s, const std::string& exif = {}, const std::string& xmp = {}) {
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    EXPECT_EQ(heif_context_get_encoder_for_format(context, s.codec, &encoder).code, 0)
        << "libheif lacks the encoder (Debian package libheif1 with x265 and aom)";
    heif_encoder_set_lossless(encoder, 1);
    heif_encoder_set_parameter_string(encoder, "chroma", "444");
    const bool deep = s.bits > 8;
    const heif_chroma chroma =
        deep ? (s.alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
             : (s.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image* image = nullptr;
    heif_image_create(s.width, s.height, heif_colorspace_RGB, chroma, &image);
    heif_image_add_plane(image, heif_channel_interleaved, s.width, s.height, s.bits);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    std::mt19937 random(static_cast<unsigned>(s.bits));
    const int channels = s.alpha ? 4 : 3;
    for (int y = 0; y < s.height; ++y)
        for (int i = 0; i < s.width * channels; ++i) {
            // Red runs through the codes in order, so that a picture of 2^bits pixels holds
            // every one of them, the few that round badly included.
            const int pixel = y * s.width + i / channels;
            const auto value =
                static_cast<std::uint16_t>((i % channels == 0 ? pixel : random()) % (1u << s.bits));
            if (deep)
                reinterpret_cast<std::uint16_t*>(plane + y * stride)[i] = value;
            else
                plane[y * stride + i] = static_cast<std::uint8_t>(value);
        }
    const QByteArray icc = s.adobeRgb ? adobeRgbProfile() : QByteArray();
    if (!icc.isEmpty())
        heif_image_set_raw_color_profile(image, "prof", icc.constData(),
                                         static_cast<size_t>(icc.size()));
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = static_cast<heif_orientation>(s.orientation);
    heif_image_handle* handle = nullptr;
    EXPECT_EQ(heif_context_encode_image(context, image, encoder, options, &handle).code, 0);
    if (!exif.empty())
        heif_context_add_exif_metadata(context, handle, exif.data(), int(exif.size()));
    if (!xmp.empty()) heif_context_add_XMP_metadata(context, handle, xmp.data(), int(xmp.size()));
    Bytes bytes;
    heif_writer writer{1, writeInto};
    EXPECT_EQ(heif_context_write(context, &writer, &bytes).code, 0);
    heif_image_handle_release(handle);
    heif_encoding_options_free(options);
    heif_image_release(image);
    heif_encoder_release(encoder);
    heif_context_free(context);
    return bytes;
}

// The primary image's samples as libheif decodes them: red, green, blue (and alpha) of each
// pixel, top row first.
std::vector<int> storedSamples(const Bytes& file, const Source& s) {
    heif_context* context = heif_context_alloc();
    heif_context_read_from_memory_without_copy(context, file.data(), file.size(), nullptr);
    heif_image_handle* handle = nullptr;
    heif_context_get_primary_image_handle(context, &handle);
    heif_image* image = nullptr;
    const heif_chroma chroma =
        s.bits > 8
            ? (s.alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
            : (s.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    const heif_error error =
        heif_decode_image(handle, &image, heif_colorspace_RGB, chroma, nullptr);
    EXPECT_EQ(error.code, 0) << error.message;
    int stride = 0;
    const std::uint8_t* plane =
        heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    std::vector<int> samples;
    const int perRow = s.width * (s.alpha ? 4 : 3);
    for (int y = 0; plane && y < s.height; ++y)
        for (int i = 0; i < perRow; ++i)
            samples.push_back(s.bits > 8
                                  ? reinterpret_cast<const std::uint16_t*>(plane + y * stride)[i]
                                  : plane[y * stride + i]);
    heif_image_release(image);
    heif_image_handle_release(handle);
    heif_context_free(context);
    return samples;
}

// Those samples as a picture of 8 bits per channel, or 16 (each rounded to the nearest
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
        if (s.adobeRgb) expected.setColorSpace(QColorSpace::fromIccProfile(adobeRgbProfile()));
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

// A HEIF file whose alpha image is declared a depth image instead: libheif writes no depth
// images, but it writes the auxiliary image and its type the way a depth image is stored.
Bytes withDepth(Bytes file) {
    const std::string alpha = "urn:mpeg:hevc:2015:auxid:1";
    const auto at = std::search(file.begin(), file.end(), alpha.begin(), alpha.end());
    EXPECT_NE(at, file.end());
    if (at != file.end()) *(at + alpha.size() - 1) = '2';
    return file;
}

TEST(HeifDepth, GivesTheDepthImagesCodesAsStored) {
    for (const int bits : {8, 10}) {
        SCOPED_TRACE(bits);
        const Source s{.bits = bits, .alpha = true};
        const Bytes file = withDepth(encode(s));
        std::string why;
        const auto depth = readHeifDepth(file.data(), file.size(), why);
        ASSERT_TRUE(depth) << why;
        EXPECT_EQ(depth->bits, bits);
        ASSERT_EQ(depth->width * depth->height, s.width * s.height);
        const std::vector<int> stored = storedSamples(encode(s), s);  // the same seeded samples
        int differing = 0;
        for (std::size_t i = 0; i < depth->samples.size(); ++i)
            differing += depth->samples[i] != stored.at(4 * i + 3);  // the alpha it was
        EXPECT_EQ(differing, 0);
        EXPECT_EQ(depth->representation, HeifDepthImage::Representation::Unknown);
        // The photo itself still reads.
        EXPECT_NE(decodePicture(file.data(), file.size(), &why), nullptr) << why;
    }
}

TEST(DamagedHeifFiles, AreRefusedWithOneLineOfReasonAndNothingOnStandardError) {
    const Bytes heic = encode({.alpha = true});
    const Bytes avif = encode({.codec = heif_compression_AV1});
    Bytes bomb = heic;
    for (auto at = bomb.begin();
         (at = std::search(at, bomb.end(), "ispe", "ispe" + 4)) != bomb.end();) {
        at += 8;  // after the type, version and flags: width and height, 32 bits big-endian
        for (const std::uint8_t byte : {0, 1, 0x86, 0xA0, 0, 1, 0x86, 0xA0}) *at++ = byte;
    }
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
        EXPECT_FALSE(depthWhy.empty());
    }
    std::string why;
    EXPECT_FALSE(readHeifDepth(heic.data(), heic.size(), why));
    EXPECT_EQ(why, "the HEIC file carries no depth image");
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
