// The main window's view at other zooms than actual size: the steps and the scroll area's
// size, fitting, zooming about the pointer, and how the zoomed picture looks.

#include <gtest/gtest.h>

#include <QScrollBar>
#include <QTest>
#include <cmath>

#include "tests/gui_support.h"
#include "tests/test_bitmaps.h"
#include "ui/Unit1.h"

namespace {

using gui_support::pictureColor;
using testing_support::randomImage;

using ZoomedView = gui_support::ShownMainWindow;

TEST_F(ZoomedView, StepsRunFrom1To32To16To1AndTheAreaCoversTheZoomedPicture) {
    form.installImage(randomImage(1000, 700, 1));
    // 1000 x 700 times 2^(step / 2), rounded up; beyond the ends the commands do nothing.
    struct Case {
        QAction* action;
        int repeat, step, width, height;
    };
    for (const auto [action, repeat, step, width, height] :
         {Case{form.ZoomoutO1, 12, -10, 32, 22}, Case{form.ZoominI1, 7, -3, 354, 248},
          Case{form.ActualsizeA1, 1, 0, 1000, 700}, Case{form.ZoominI1, 1, 1, 1415, 990},
          Case{form.ZoominI1, 3, 4, 4000, 2800}, Case{form.ZoominI1, 5, 8, 16000, 11200}}) {
        for (int i = 0; i < repeat; ++i) action->trigger();
        QCoreApplication::processEvents();
        SCOPED_TRACE(step);
        EXPECT_EQ(form.PaintBox1->zoomStep(), step);
        EXPECT_EQ(form.PaintBox1->size(), QSize(width, height));
        const QSize room = form.ScrollBox1->viewport()->size();
        EXPECT_EQ(horizontal()->maximum(), std::max(0, width - room.width()));
        EXPECT_EQ(vertical()->maximum(), std::max(0, height - room.height()));
    }
    // A new picture comes in at actual size, from its top-left corner.
    form.installImage(randomImage(900, 900, 2));
    EXPECT_EQ(form.PaintBox1->zoom(), 1.0);
    EXPECT_EQ(view().pixel(0, 0), pictureColor(*form.currentImage, 0, 0).rgb());
}

TEST_F(ZoomedView, FitShowsTheWholePictureAtTheLargestStepThatFits) {
    for (const QSize size : {QSize(2000, 1500), QSize(1500, 3000), QSize(60, 40)}) {
        SCOPED_TRACE(size.width());
        form.installImage(randomImage(size.width(), size.height(), 3));
        horizontal()->setValue(horizontal()->maximum());
        form.FittowindowF1->trigger();
        QCoreApplication::processEvents();
        EXPECT_EQ(horizontal()->maximum() + vertical()->maximum(), 0);
        const QSize room = form.ScrollBox1->viewport()->size();
        const double larger = form.PaintBox1->zoom() * std::sqrt(2.0);
        EXPECT_TRUE(std::ceil(size.width() * larger) > room.width() ||
                    std::ceil(size.height() * larger) > room.height());
    }
}

TEST_F(ZoomedView, FitUsesTheExactScaleAndZoomsOnToTheNeighbouringSteps) {
    // The picture's size and the step just below the fitted zoom.
    for (const auto& [size, below] :
         {std::pair{QSize(3000, 2000), -5}, {QSize(1500, 3000), -6}, {QSize(60, 40), 6}}) {
        SCOPED_TRACE(size.width());
        form.installImage(randomImage(size.width(), size.height(), 5));
        form.FittowindowF1->trigger();
        QCoreApplication::processEvents();
        // One side fills the view exactly, the other fits, and there is nothing to scroll.
        const QSize room = form.ScrollBox1->viewport()->size(), shown = form.PaintBox1->size();
        EXPECT_TRUE(shown.width() == room.width() || shown.height() == room.height());
        EXPECT_EQ(horizontal()->maximum() + vertical()->maximum(), 0);
        form.ZoominI1->trigger();
        EXPECT_EQ(form.PaintBox1->zoomStep(), below + 1);
        form.FittowindowF1->trigger();
        form.ZoomoutO1->trigger();
        EXPECT_EQ(form.PaintBox1->zoom(), PictureView::zoomOfStep(below));
    }
}

TEST_F(ZoomedView, CtrlWheelZoomsAboutThePointerAndThePlainWheelScrolls) {
    form.installImage(randomImage(2000, 1500, 4));
    horizontal()->setValue(300);
    vertical()->setValue(200);
    const QPoint at(150, 120);
    auto pixelUnderPointer = [&] {
        return form.PaintBox1->pixelAt(form.PaintBox1->mapFrom(form.ScrollBox1->viewport(), at));
    };
    ASSERT_EQ(pixelUnderPointer(), QPoint(450, 320));

    wheel(at, 240, Qt::ControlModifier, form.PaintBox1);  // two notches in: 2:1
    EXPECT_EQ(form.PaintBox1->zoomStep(), 2);
    EXPECT_EQ(pixelUnderPointer(), QPoint(450, 320));
    EXPECT_EQ(view().pixel(at), pictureColor(*form.currentImage, 450, 320).rgb());
    wheel(at, -480, Qt::ControlModifier, form.PaintBox1);  // four notches out: 1:2
    EXPECT_EQ(form.PaintBox1->zoomStep(), -2);
    EXPECT_LE((pixelUnderPointer().value_or(QPoint()) - QPoint(450, 320)).manhattanLength(), 2);

    const int scrolled = vertical()->value();
    wheel(at, -120, Qt::NoModifier, form.ScrollBox1->viewport());
    EXPECT_EQ(form.PaintBox1->zoomStep(), -2);
    EXPECT_GT(vertical()->value(), scrolled);
    // Over the black beside a small picture the viewport takes the wheel.
    form.PaintBox1->zoomTo(-4);
    wheel(QPoint(form.PaintBox1->width() + 5, 5), 120, Qt::ControlModifier,
          form.ScrollBox1->viewport());
    EXPECT_EQ(form.PaintBox1->zoomStep(), -3);
}

TEST_F(ZoomedView, PixelsAreSharpSquaresAboveOneAndAveragesBelow) {
    // One-pixel black and white squares: sampling below 1 would show black or white
    // patches; averaging gives grey.
    form.installImage(testing_support::makeImage(
        64, 64, [](int x, int r, int) { return std::uint8_t((x + r) % 2 ? 255 : 0); }));
    const dib24& picture = *form.currentImage;
    form.PaintBox1->zoomTo(4);
    QImage shown = view();
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x)
            ASSERT_EQ(shown.pixel(x, y), pictureColor(picture, x / 4, y / 4).rgb())
                << x << "," << y;
    for (const int step : {-1, -2, -5, -10}) {
        form.PaintBox1->zoomTo(step);
        shown = view();
        for (int y = 0; y < form.PaintBox1->height(); ++y)
            for (int x = 0; x < form.PaintBox1->width(); ++x)
                ASSERT_TRUE(std::abs(qRed(shown.pixel(x, y)) - 128) < 64) << step << ": " << x;
    }
    // A plain colour stays exactly that colour at every zoom.
    form.installImage(testing_support::makeImage(50, 30, [](int, int, int c) {
        return std::uint8_t(c == 0 ? 40 : c == 1 ? 130 : 220);
    }));
    for (int step = PictureView::kSmallestStep; step <= 2; ++step) {
        form.PaintBox1->zoomTo(step);
        EXPECT_EQ(view().pixel(0, 0), qRgb(220, 130, 40)) << step;
    }
}

}  // namespace
