// Drawing a dib24 into a painter: the bottom-up source origin, clipping at the picture's
// and the painter's edges, and stretching.

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include "image/dib24.h"
#include "tests/gui_support.h"
#include "tests/test_bitmaps.h"
#include "ui/dib24_qt.h"

namespace {

using gui_support::pictureColor;

const QRgb kBackground = qRgb(1, 2, 3);

// Each pixel's colour encodes its column and its row from the top, so any misplaced
// pixel shows.
std::unique_ptr<dib24> codedImage(int width, int height) {
    auto image = std::make_unique<dib24>(width, height);
    for (int t = 0; t < height; ++t)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* pixel = image->row(t) + 3 * x;
            pixel[0] = static_cast<std::uint8_t>(x);
            pixel[1] = static_cast<std::uint8_t>(t);
            pixel[2] = 200;
        }
    return image;
}

QImage canvas(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(kBackground);
    return image;
}

// Draws at the natural size with destination (destX, destY) and source origin (srcX, srcY).
QImage drawn(const dib24& image, QImage target, int destX, int destY, int srcX, int srcY) {
    QPainter painter(&target);
    draw(image, painter, destX, destY, image.width, image.height, srcX, srcY);
    painter.end();
    return target;
}

TEST(Draw, WholeImageAtADestinationShowsItUprightFromItsTopLeftCorner) {
    const auto image = codedImage(7, 5);
    const QImage result = drawn(*image, canvas(20, 20), 3, 4, 0, 0);
    for (int t = 0; t < 5; ++t)
        for (int x = 0; x < 7; ++x)
            ASSERT_EQ(result.pixel(3 + x, 4 + t), pictureColor(*image, x, t).rgb())
                << x << "," << t;
    EXPECT_EQ(result.pixel(2, 4), kBackground);
    EXPECT_EQ(result.pixel(10, 4), kBackground);
    EXPECT_EQ(result.pixel(3, 3), kBackground);
    EXPECT_EQ(result.pixel(3, 9), kBackground);
}

TEST(Draw, NegativeSourceYScrollsDownAndSourceXScrollsRight) {
    const auto image = codedImage(30, 20);
    const int h = 4, v = 6;
    const QImage result = drawn(*image, canvas(40, 40), 0, 0, h, -v);
    // The destination's top-left pixel shows column h of the row v rows below the top.
    EXPECT_EQ(result.pixel(0, 0), pictureColor(*image, h, v).rgb());
    EXPECT_EQ(result.pixel(25, 13), pictureColor(*image, h + 25, v + 13).rgb());
    // What lies beyond the picture's right and bottom edges is not painted.
    EXPECT_EQ(result.pixel(30 - h - 1, 0), pictureColor(*image, 29, v).rgb());
    EXPECT_EQ(result.pixel(30 - h, 0), kBackground);
    EXPECT_EQ(result.pixel(0, 20 - v - 1), pictureColor(*image, h, 19).rgb());
    EXPECT_EQ(result.pixel(0, 20 - v), kBackground);
}

TEST(Draw, PositiveSourceYLeavesRowsAboveThePictureUnpainted) {
    const auto image = codedImage(6, 6);
    const QImage result = drawn(*image, canvas(10, 10), 0, 0, -2, 3);
    // Source row 3 from the bottom edge sits at the destination's top: the picture begins
    // three rows down, and two columns to the right.
    EXPECT_EQ(result.pixel(2, 2), kBackground);
    EXPECT_EQ(result.pixel(1, 3), kBackground);
    EXPECT_EQ(result.pixel(2, 3), pictureColor(*image, 0, 0).rgb());
    EXPECT_EQ(result.pixel(5, 5), pictureColor(*image, 3, 2).rgb());
    // The source rectangle has the picture's size, so the picture's two rightmost columns
    // and three bottom rows lie outside it.
    EXPECT_EQ(result.pixel(6, 5), kBackground);
    EXPECT_EQ(result.pixel(2, 6), kBackground);
}

TEST(Draw, PaintsOnlyInsideThePaintersClip) {
    const auto image = codedImage(16, 16);
    QImage target = canvas(16, 16);
    {
        QPainter painter(&target);
        painter.setClipRect(QRect(4, 5, 3, 2));
        draw(*image, painter, 0, 0, 16, 16, 0, 0);
    }
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            const bool inside = x >= 4 && x < 7 && y >= 5 && y < 7;
            ASSERT_EQ(target.pixel(x, y), inside ? pictureColor(*image, x, y).rgb() : kBackground)
                << x << "," << y;
        }
}

TEST(Draw, FollowsThePaintersTranslation) {
    const auto image = codedImage(5, 5);
    QImage target = canvas(12, 12);
    {
        QPainter painter(&target);
        painter.translate(6, 2);
        draw(*image, painter, 0, 0, 5, 5, 0, 0);
    }
    EXPECT_EQ(target.pixel(6, 2), pictureColor(*image, 0, 0).rgb());
    EXPECT_EQ(target.pixel(10, 6), pictureColor(*image, 4, 4).rgb());
    EXPECT_EQ(target.pixel(5, 2), kBackground);
}

TEST(Draw, ADestinationOfTwiceTheSizeStretchesEachPixel) {
    const auto image = codedImage(3, 2);
    QImage target = canvas(8, 8);
    {
        QPainter painter(&target);
        draw(*image, painter, 1, 1, 6, 4, 0, 0);
    }
    EXPECT_EQ(target.pixel(1, 1), pictureColor(*image, 0, 0).rgb());
    EXPECT_EQ(target.pixel(2, 2), pictureColor(*image, 0, 0).rgb());
    EXPECT_EQ(target.pixel(6, 4), pictureColor(*image, 2, 1).rgb());
    EXPECT_EQ(target.pixel(7, 4), kBackground);
}

TEST(Draw, EmptyImagesAndEmptyDestinationsDrawNothing) {
    const dib24 empty(0, 0);
    const QImage untouched = canvas(4, 4);
    EXPECT_EQ(drawn(empty, untouched, 0, 0, 0, 0), untouched);

    const auto image = codedImage(4, 4);
    QImage target = canvas(4, 4);
    {
        QPainter painter(&target);
        draw(*image, painter, 0, 0, 0, 4, 0, 0);
        draw(*image, painter, 0, 0, 4, -4, 0, 0);
        draw(*image, painter, 0, 0, 4, 4, 100, 0);  // source entirely right of the picture
    }
    EXPECT_EQ(target, untouched);
}

}  // namespace
