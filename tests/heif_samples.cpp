#include "tests/heif_samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>

namespace heif_samples {

namespace {

heif_error writeInto(heif_context*, const void* data, size_t size, void* bytes) {
    auto* out = static_cast<Bytes*>(bytes);
    out->insert(out->end(), static_cast<const std::uint8_t*>(data),
                static_cast<const std::uint8_t*>(data) + size);
    return {heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

}  // namespace

std::string adobeRgbProfile() {
    std::ifstream file("/usr/share/color/icc/compatibleWithAdobeRGB1998.icc", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

Bytes encode(const Source& s, const std::string& exif, const std::string& xmp) {
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
    const std::string icc = s.adobeRgb ? adobeRgbProfile() : std::string();
    if (!icc.empty()) heif_image_set_raw_color_profile(image, "prof", icc.data(), icc.size());
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = static_cast<heif_orientation>(s.orientation);
    options->macOS_compatibility_workaround = 0;  // no grid around the image: one item each
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
    const int perRow = heif_image_get_width(image, heif_channel_interleaved) * (s.alpha ? 4 : 3);
    for (int y = 0; plane && y < heif_image_get_height(image, heif_channel_interleaved); ++y)
        for (int i = 0; i < perRow; ++i)
            samples.push_back(s.bits > 8
                                  ? reinterpret_cast<const std::uint16_t*>(plane + y * stride)[i]
                                  : plane[y * stride + i]);
    heif_image_release(image);
    heif_image_handle_release(handle);
    heif_context_free(context);
    return samples;
}

// Alpha and depth images differ only in the type URN of their auxiliary image property.
Bytes withDepth(Bytes file) {
    const std::string alpha = "urn:mpeg:hevc:2015:auxid:1";
    const auto at = std::search(file.begin(), file.end(), alpha.begin(), alpha.end());
    EXPECT_NE(at, file.end());
    if (at != file.end()) *(at + alpha.size() - 1) = '2';
    return file;
}

// The property holds, after its box header, version and flags, the width and height, 32
// bits big-endian each.
void declareSize(Bytes& file, int n, std::uint32_t width, std::uint32_t height) {
    const std::string type = "ispe";
    auto at = std::search(file.begin(), file.end(), type.begin(), type.end());
    for (int i = 0; i < n && at != file.end(); ++i)
        at = std::search(at + 1, file.end(), type.begin(), type.end());
    EXPECT_LE(at + 12, file.end());
    if (at + 12 > file.end()) return;
    at += 8;
    for (const std::uint32_t value : {width, height})
        for (int shift = 24; shift >= 0; shift -= 8) *at++ = std::uint8_t(value >> shift);
}

}  // namespace heif_samples
