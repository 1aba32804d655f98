#include "image/dib24.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "tests/test_bitmaps.h"

namespace {

using testing_support::pixelFromTop;
using testing_support::randomImage;
using testing_support::samePixels;

// Lowers the largest block create() will allocate for the life of the object.
class SectionLimit {
public:
    explicit SectionLimit(std::size_t limit) : saved_(std::exchange(dib24::sectionLimit, limit)) {}
    ~SectionLimit() { dib24::sectionLimit = saved_; }

private:
    std::size_t saved_;
};

void expectEmpty(const dib24& image) {
    EXPECT_EQ(image.section, nullptr);
    EXPECT_EQ(image.bits, nullptr);
    EXPECT_EQ(image.width, 0);
    EXPECT_EQ(image.height, 0);
    EXPECT_EQ(image.stride, 0);
    EXPECT_EQ(image.pixelBytes(), 0u);
}

TEST(Dib24, StrideIsThreeBytesPerPixelRoundedUpToFour) {
    const std::pair<int, int> widthAndStride[] = {{1, 4},  {2, 8},  {3, 12}, {4, 12},
                                                  {5, 16}, {6, 20}, {7, 24}, {8, 24}};
    for (auto [width, stride] : widthAndStride) {
        dib24 image(width, 3);
        ASSERT_NE(image.bits, nullptr) << width;
        EXPECT_EQ(image.stride, stride) << width;
        EXPECT_EQ(dib24::strideFor(width), stride) << width;
        EXPECT_EQ(image.pixelBytes(), 3u * stride) << width;
    }
    // 64-bit arithmetic: no overflow near the largest int width.
    EXPECT_EQ(dib24::strideFor(INT32_MAX), 6442450944);
}

TEST(Dib24, CreateWritesTheHeaderOfABottomUp24BitImage) {
    dib24 image(5, 7);
    const BITMAPINFOHEADER& h = image.info.bmiHeader;
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, 5);
    EXPECT_EQ(h.biHeight, 7);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, 24);
    EXPECT_EQ(h.biCompression, 0u);
    EXPECT_EQ(h.biSizeImage, 0u);
    EXPECT_EQ(h.biClrUsed, 0u);
    EXPECT_EQ(image.width, 5);
    EXPECT_EQ(image.height, 7);
    EXPECT_EQ(image.bits, image.section.get());
}

TEST(Dib24, SidesOfZeroOrBelowGiveAnEmptyImage) {
    const std::pair<int, int> sizes[] = {{0, 0},  {0, 5},   {5, 0},        {-1, 5},
                                         {5, -1}, {-3, -3}, {INT32_MIN, 1}};
    for (auto [w, h] : sizes) {
        SCOPED_TRACE(testing::Message() << w << " x " << h);
        dib24 image(w, h);
        expectEmpty(image);
        // The header keeps the request, as the interface promises.
        EXPECT_EQ(image.info.bmiHeader.biWidth, w);
        EXPECT_EQ(image.info.bmiHeader.biHeight, h);
    }
}

TEST(Dib24, AllocationFailureGivesAnEmptyImage) {
    SectionLimit limit(100);
    dib24 fits(8, 4);  // 24 x 4 = 96 bytes
    EXPECT_NE(fits.bits, nullptr);
    dib24 tooLarge(9, 4);  // 28 x 4 = 112 bytes
    expectEmpty(tooLarge);
    // A stride beyond the 32-bit field is refused whatever the limit.
    dib24::sectionLimit = SIZE_MAX;
    dib24 tooWide(INT32_MAX, 1);
    expectEmpty(tooWide);
}

TEST(Dib24, CreateReplacesThePixels) {
    auto image = randomImage(4, 4, 1);
    ASSERT_TRUE(image->create(9, 2));
    EXPECT_EQ(image->width, 9);
    EXPECT_EQ(image->height, 2);
    EXPECT_EQ(image->stride, 28);
    ASSERT_NE(image->bits, nullptr);
    image->bits[image->pixelBytes() - 1] = 7;  // the whole new block is writable

    ASSERT_TRUE(image->create(0, 2));
    expectEmpty(*image);
    ASSERT_TRUE(image->create(1, 1));
    EXPECT_EQ(image->stride, 4);
    EXPECT_NE(image->bits, nullptr);
}

TEST(Dib24, SwapExchangesEverything) {
    auto a = randomImage(3, 2, 5);
    dib24 b(0, 0);
    const std::uint8_t* pixels = a->bits;
    a->swap(b);
    expectEmpty(*a);
    EXPECT_EQ(b.bits, pixels);
    EXPECT_EQ(b.width, 3);
    EXPECT_EQ(b.height, 2);
    EXPECT_EQ(b.stride, 12);
    EXPECT_EQ(b.info.bmiHeader.biWidth, 3);
}

TEST(Dib24, RowCountsFromTheTopAndCopyDuplicatesThePixels) {
    auto image = randomImage(5, 3, 7);
    // The top row is the last in the bottom-up block.
    EXPECT_EQ(image->row(0), image->bits + 2 * image->stride);
    EXPECT_EQ(std::as_const(*image).row(2), image->bits);

    auto copy = image->copy();
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->bits, image->bits);
    EXPECT_EQ(std::memcmp(&copy->info, &image->info, sizeof image->info), 0);
    EXPECT_TRUE(samePixels(*copy, *image));

    // Nothing to copy, or no memory for the copy: null, and the source keeps its pixels.
    EXPECT_EQ(dib24(0, 0).copy(), nullptr);
    SectionLimit limit(image->pixelBytes() - 1);
    EXPECT_EQ(image->copy(), nullptr);
    EXPECT_EQ(image->width, 5);
}

// A 6 x 5 picture whose pixel at column x, t rows below the top, has the channel bytes
// (x, t, 102): easy to recognise after cropping.
std::unique_ptr<dib24> labelledPicture() {
    auto image = std::make_unique<dib24>(6, 5);
    for (int t = 0; t < 5; ++t)
        for (int x = 0; x < 6; ++x) {
            std::uint8_t* pixel = image->row(t) + 3 * x;
            pixel[0] = std::uint8_t(x), pixel[1] = std::uint8_t(t), pixel[2] = 102;
        }
    return image;
}

// Expects `crop` to show the source pixel (x + left, t + top) everywhere inside the
// source, and black everywhere outside.
void expectCrop(const dib24& source, const dib24& crop, int left, int top) {
    for (int t = 0; t < crop.height; ++t)
        for (int x = 0; x < crop.width; ++x)
            for (int c = 0; c < 3; ++c) {
                const int sx = x + left, st = t + top;
                const bool inside = sx >= 0 && sx < source.width && st >= 0 && st < source.height;
                const std::uint8_t want = inside ? pixelFromTop(source, sx, st, c) : 0;
                ASSERT_EQ(pixelFromTop(crop, x, t, c), want)
                    << "x " << x << " t " << t << " c " << c;
            }
}

TEST(Dib24Cropped, InsideThePicture) {
    auto source = labelledPicture();
    auto crop = source->cropped(3, 2, 1, 2);
    ASSERT_NE(crop->bits, nullptr);
    EXPECT_EQ(crop->width, 3);
    EXPECT_EQ(crop->height, 2);
    expectCrop(*source, *crop, 1, 2);
    EXPECT_EQ(pixelFromTop(*crop, 0, 0, 0), 1);  // column 1 of the source
    EXPECT_EQ(pixelFromTop(*crop, 0, 0, 1), 2);  // two rows below the source's top

    auto whole = source->cropped(6, 5, 0, 0);
    EXPECT_TRUE(testing_support::samePixels(*source, *whole));
}

TEST(Dib24Cropped, PastTheRightAndBottomEdgeIsCutShort) {
    auto source = labelledPicture();
    auto crop = source->cropped(10, 10, 4, 3);
    EXPECT_EQ(crop->width, 6 - 4);
    EXPECT_EQ(crop->height, 5 - 3);
    expectCrop(*source, *crop, 4, 3);
}

TEST(Dib24Cropped, NegativeLeftAndTopGiveBlackColumnsAndRows) {
    auto source = labelledPicture();
    auto crop = source->cropped(4, 4, -2, -1);
    EXPECT_EQ(crop->width, 4);
    EXPECT_EQ(crop->height, 4);
    expectCrop(*source, *crop, -2, -1);
    EXPECT_EQ(pixelFromTop(*crop, 1, 2, 2), 0);  // left of the picture
    EXPECT_EQ(pixelFromTop(*crop, 3, 0, 2), 0);  // above the picture
    EXPECT_EQ(pixelFromTop(*crop, 2, 1, 2), 102);

    // Larger than the picture on every side: the picture sits in a black frame.
    auto framed = source->cropped(9, 8, -1, -2);
    EXPECT_EQ(framed->width, 7);  // cut at the right edge: 6 - (-1)
    EXPECT_EQ(framed->height, 7);
    expectCrop(*source, *framed, -1, -2);

    // Entirely above or left of the picture: all black, of the requested size.
    auto black = source->cropped(2, 2, -5, -5);
    EXPECT_EQ(black->width, 2);
    expectCrop(*source, *black, -5, -5);
}

TEST(Dib24Cropped, EntirelyRightOfOrBelowThePictureIsEmpty) {
    auto source = labelledPicture();
    expectEmpty(*source->cropped(3, 3, 6, 0));
    expectEmpty(*source->cropped(3, 3, 0, 5));
    expectEmpty(*source->cropped(3, 3, 100, 100));
    expectEmpty(*source->cropped(0, 3, 0, 0));
    expectEmpty(*source->cropped(3, -1, 0, 0));
}

TEST(Dib24Cropped, EmptySourceOrFailedAllocation) {
    dib24 empty(0, 0);
    expectEmpty(*empty.cropped(3, 3, 0, 0));
    // Left of an empty picture there is nothing but black.
    auto black = empty.cropped(2, 2, -2, -2);
    EXPECT_EQ(black->width, 2);
    EXPECT_EQ(pixelFromTop(*black, 1, 1, 0), 0);

    auto source = labelledPicture();
    SectionLimit limit(8);
    auto crop = source->cropped(3, 3, 0, 0);
    ASSERT_NE(crop, nullptr);
    expectEmpty(*crop);
}

}  // namespace
