// The main window's view on a screen scaled by 2 (this program runs with QT_SCALE_FACTOR=2):
// at actual size one picture pixel covers one device pixel, not two by two.

#include <gtest/gtest.h>

#include <QTest>

#include "tests/gui_support.h"
#include "tests/test_bitmaps.h"
#include "ui/Unit1.h"
#include "ui/Unit2.h"

namespace {

using gui_support::pictureColor;

TEST(ScaledScreen, ActualSizeIsOnePicturePixelPerDevicePixel) {
    TForm1 form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ASSERT_EQ(form.devicePixelRatioF(), 2.0);
    form.installImage(testing_support::randomImage(91, 61, 1));
    const dib24& picture = *form.currentImage;

    for (const int zoom : {1, 2}) {
        SCOPED_TRACE(zoom);
        QCoreApplication::processEvents();
        const QImage shown =
            form.ScrollBox1->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        for (int y = 0; y < 61 * zoom; ++y)
            for (int x = 0; x < 91 * zoom; ++x)
                ASSERT_EQ(shown.pixel(x, y), pictureColor(picture, x / zoom, y / zoom).rgb())
                    << x << "," << y;
        EXPECT_EQ(shown.pixel(91 * zoom, 0), qRgb(0, 0, 0));
        EXPECT_EQ(shown.pixel(0, 61 * zoom), qRgb(0, 0, 0));
        // A logical point is two device pixels.
        EXPECT_EQ(form.PaintBox1->pixelAt(QPointF(20, 10)), QPoint(40 / zoom, 20 / zoom));
        form.ZoominI1->trigger();
        form.ZoominI1->trigger();
    }
}

TEST(ScaledScreen, TheSettingsWindowsBoxesShowTheirWholeArea) {
    TForm1 form1;
    TForm2 form2(form1);
    form2.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form2));
    form1.installImage(testing_support::randomImage(400, 300, 2));
    // The preview box shows its region's pixels at 2 x 2 device pixels each, to the far edge.
    const QImage box = form2.PaintBox2->grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(box.width(), 366);
    for (int y = 0; y < 183; y += 13)
        for (int x = 0; x < 183; x += 13)
            ASSERT_EQ(box.pixel(2 * x + 1, 2 * y + 1),
                      pictureColor(*form1.currentImage, x, y).rgb())
                << x << "," << y;
}

}  // namespace
