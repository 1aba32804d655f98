// Bitmap files written by other programs (ImageMagick and Pillow) at test time, by
// scripts/make_external_bitmaps.py. Beside each file the reader must accept lies the
// writer's own account of its pixels (NAME.rgb: top row first, red, green, blue).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "image/bmp_file.h"
#include "image/bmp_records.h"
#include "image/dib24.h"
#include "image/dib_block.h"
#include "tests/test_bitmaps.h"

namespace {

using namespace testing_support;

const std::filesystem::path kFolder = BOKAVO_TEST_DATA_DIR;

struct ExternalFile {
    const char* name;
    std::uint32_t headerSize;
    int bitCount;
    BmpError error = BmpError::None;  // None: the file must be read
};

void PrintTo(const ExternalFile& file, std::ostream* out) {
    *out << file.name;
}

std::vector<std::uint8_t> fileBytes(const char* name, const char* extension) {
    const auto path = kFolder / (std::string(name) + extension);
    if (!std::filesystem::exists(path))
        throw std::runtime_error(path.string() +
                                 " is missing: run the test through ctest, whose fixture "
                                 "writes it with scripts/make_external_bitmaps.py");
    return readFileBytes(path);
}

class ExternalBitmap : public testing::TestWithParam<ExternalFile> {};

TEST_P(ExternalBitmap, ReadsAsTheWriterSaysOrIsRefused) {
    const ExternalFile& file = GetParam();
    const auto bytes = fileBytes(file.name, ".bmp");
    ASSERT_GE(bytes.size(), 30u);
    // The file is the kind the test is about.
    EXPECT_EQ(bmp::readLE32(&bytes[14]), file.headerSize);
    if (file.headerSize >= bmp::kInfoHeaderSize) {
        EXPECT_EQ(bmp::readLE16(&bytes[28]), file.bitCount);
    }

    auto image = std::make_unique<dib24>(1, 1);
    BmpError why = BmpError::None;
    const bool loaded = loadBytes(*image, bytes, &why);
    auto pasted = std::make_unique<dib24>(1, 1);
    BmpError pasteWhy = BmpError::None;
    const bool unpacked = unpackBmp(*pasted, bytes.data(), bytes.size(), &pasteWhy);

    if (file.error != BmpError::None) {
        EXPECT_FALSE(loaded);
        EXPECT_EQ(why, file.error) << describe(why);
        EXPECT_FALSE(unpacked);
        EXPECT_EQ(pasteWhy, file.error) << describe(pasteWhy);
        EXPECT_EQ(image->width, 1);  // the placeholder is untouched
        return;
    }

    ASSERT_TRUE(loaded) << describe(why);
    const auto rgb = fileBytes(file.name, ".rgb");
    const BITMAPINFOHEADER header = bmp::decodeInfoHeader(&bytes[14]);
    ASSERT_EQ(image->width, header.biWidth);
    ASSERT_EQ(image->height, header.biHeight);
    ASSERT_EQ(rgb.size(), 3u * image->width * image->height);
    std::size_t mismatches = 0;
    for (int t = 0; t < image->height; ++t)
        for (int x = 0; x < image->width; ++x)
            for (int c = 0; c < 3; ++c) {
                const std::uint8_t want = rgb[(std::size_t(t) * image->width + x) * 3 + c];
                // The image holds blue, green, red; the writer gave red, green, blue.
                const std::uint8_t got = pixelFromTop(*image, x, t, 2 - c);
                if (got != want && ++mismatches <= 5)
                    ADD_FAILURE() << "pixel " << x << ", row " << t << " from the top, channel "
                                  << "RGB"[c] << ": " << int(got) << " instead of " << int(want);
            }
    EXPECT_EQ(mismatches, 0u);

    // The same bytes on the clipboard ("image/bmp") give the same picture.
    ASSERT_TRUE(unpacked) << describe(pasteWhy);
    EXPECT_TRUE(samePixels(*image, *pasted));
}

const ExternalFile kFiles[] = {
    // ImageMagick, with each version of the info header.
    {"im_pal4_h40", 40, 4},
    {"im_pal4_h108", 108, 4},
    {"im_pal4_h124", 124, 4},
    {"im_pal8_h40", 40, 8},
    {"im_pal8_h108", 108, 8},
    {"im_pal8_h124", 124, 8},
    {"im_grey8_h40", 40, 8},
    {"im_grey8_h108", 108, 8},
    {"im_grey8_h124", 124, 8},
    {"im_mono1_h40", 40, 1},
    {"im_mono1_h108", 108, 1},
    {"im_mono1_h124", 124, 1},
    {"im_rgb24_h40", 40, 24},
    {"im_rgb24_h108", 108, 24},
    {"im_rgb24_h124", 124, 24},
    {"im_rle8", 40, 8, BmpError::Compressed},
    {"im_bitfields16", 124, 16, BmpError::Compressed},
    {"im_bitfields32", 124, 32, BmpError::Compressed},
    {"im_os2", 12, 24, BmpError::BadHeader},  // OS/2 core header
    // Pillow: 40-byte headers, odd widths.
    {"pil_rgb24_w1", 40, 24},
    {"pil_rgb24_w5", 40, 24},
    {"pil_rgb24_w7", 40, 24},
    {"pil_grey8_w9", 40, 8},
    {"pil_pal8_w11", 40, 8},
    {"pil_bw1_w13", 40, 1},
    {"pil_bgra32", 40, 32, BmpError::UnsupportedBitDepth},
};

INSTANTIATE_TEST_SUITE_P(External, ExternalBitmap, testing::ValuesIn(kFiles),
                         [](const testing::TestParamInfo<ExternalFile>& info) {
                             return std::string(info.param.name);
                         });

TEST(ExternalGreyBitmaps, ChannelsAreEqual) {
    for (const char* name : {"im_grey8_h40", "im_grey8_h108", "im_grey8_h124", "pil_grey8_w9"}) {
        SCOPED_TRACE(name);
        auto image = std::make_unique<dib24>(1, 1);
        ASSERT_TRUE(loadBytes(*image, fileBytes(name, ".bmp")));
        bool grey = true;
        for (int r = 0; r < image->height; ++r)
            for (int x = 0; x < image->width; ++x) {
                const std::uint8_t* p = image->bits + std::size_t(r) * image->stride + 3 * x;
                grey = grey && p[0] == p[1] && p[1] == p[2];
            }
        EXPECT_TRUE(grey);
    }
}

}  // namespace
