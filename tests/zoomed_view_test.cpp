// The main window's view at other zooms than actual size: the steps and the scroll area's
// size, fitting, zooming about the pointer, and how the zoomed picture looks.

#include <gtest/gtest.h>

#include <QScrollBar>
#include <QTest>
#include <QWheelEvent>
#include <cmath>

#include "tests/gui_support.h"
#include "tests/test_bitmaps.h"
#include "ui/Unit1.h"

namespace {

using gui_support::pictureColor;
using testing_support::randomImage;

class ZoomedView : public testing::Test {
protected:
    void SetUp() override {
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    }

    QImage view() {
        QCoreApplication::processEvents();
        return form.ScrollBox1->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }

    // The wheel turned by `angle` eighths of a degree over `at` in the viewport, sent to
    // `target` (events sent by a program do not travel on to the parents).
    void wheel(QPoint at, int angle, Qt::KeyboardModifiers modifiers, QWidget* target) {
        QWidget* viewport = form.ScrollBox1->viewport();
        const QPointF local = target->mapFrom(viewport, QPointF(at));
        QWheelEvent event(local, QPointF(viewport->mapToGlobal(at)), QPoint(), QPoint(0, angle),
                          Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(target, &event);
        QCoreApplication::processEvents();
    }

    QScrollBar* horizontal() { return form.ScrollBox1->horizontalScrollBar(); }
    QScrollBar* vertical() { return form.ScrollBox1->verticalScrollBar(); }

    TForm1 form;
};

TEST_F(ZoomedView, StepsRunFrom1To32To16To1AndTheAreaCoversTheZoomedPicture) {
    form.installImage(randomImage(1000, 700, 1));
    // 1000 x 700 times 2^(step / 2), rounded up.
    struct Case {
        QAction* action;
        int repeat, step, width, height;
    };
    const Case cases[] = {
        {form.ZoomoutO1, 12, -10, 32, 22},    {form.ZoominI1, 7, -3, 354, 248},
        {form.ActualsizeA1, 1, 0, 1000, 700}, {form.ZoominI1, 1, 1, 1415, 990},
        {form.ZoominI1, 3, 4, 4000, 2800},    {form.ZoominI1, 5, 8, 16000, 11200}};
    for (const Case& c : cases) {
        for (int i = 0; i < c.repeat; ++i) c.action->trigger();
        QCoreApplication::processEvents();
        SCOPED_TRACE(c.step);
        EXPECT_EQ(form.PaintBox1->zoomStep(), c.step);
        EXPECT_EQ(form.PaintBox1->size(), QSize(c.width, c.height));
        const QSize room = form.ScrollBox1->viewport()->size();
        EXPECT_EQ(std::max(horizontal()->maximum() + horizontal()->pageStep(), room.width()),
                  std::max(c.width, room.width()));
        EXPECT_EQ(std::max(vertical()->maximum() + vertical()->pageStep(), room.height()),
                  std::max(c.height, room.height()));
    }
    // Whole powers of two are exact.
    form.ActualsizeA1->trigger();
    EXPECT_EQ(form.PaintBox1->zoom(), 1.0);
    form.ZoomoutO1->trigger();
    form.ZoomoutO1->trigger();
    EXPECT_EQ(form.PaintBox1->zoom(), 0.5);
    // A new picture comes in at actual size, from its top-left corner.
    form.installImage(randomImage(900, 900, 2));
    EXPECT_EQ(form.PaintBox1->zoom(), 1.0);
    EXPECT_EQ(horizontal()->value(), 0);
    EXPECT_EQ(view().pixel(0, 0), pictureColor(*form.currentImage, 0, 0).rgb());
}

TEST_F(ZoomedView, FitShowsTheWholePictureAtTheLargestStepThatFits) {
    for (const QSize size : {QSize(2000, 1500), QSize(1500, 3000), QSize(60, 40)}) {
        SCOPED_TRACE(size.width());
        form.installImage(randomImage(size.width(), size.height(), 3));
        horizontal()->setValue(horizontal()->maximum());
        form.FittowindowF1->trigger();
        QCoreApplication::processEvents();
        EXPECT_EQ(horizontal()->maximum(), 0);
        EXPECT_EQ(vertical()->maximum(), 0);
        const QSize room = form.ScrollBox1->viewport()->size();
        EXPECT_TRUE(form.PaintBox1->width() <= room.width() &&
                    form.PaintBox1->height() <= room.height());
        const double larger = form.PaintBox1->zoom() * std::sqrt(2.0);
        EXPECT_TRUE(std::ceil(size.width() * larger) > room.width() ||
                    std::ceil(size.height() * larger) > room.height());
    }
}

TEST_F(ZoomedView, CtrlWheelZoomsAboutThePointerAndThePlainWheelScrolls) {
    form.installImage(randomImage(2000, 1500, 4));
    const dib24& picture = *form.currentImage;
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
    EXPECT_EQ(view().pixel(at), pictureColor(picture, 450, 320).rgb());

    wheel(at, -480, Qt::ControlModifier, form.PaintBox1);  // four notches out: 1:2
    EXPECT_EQ(form.PaintBox1->zoomStep(), -2);
    const std::optional<QPoint> after = pixelUnderPointer();
    ASSERT_TRUE(after);
    EXPECT_LE((*after - QPoint(450, 320)).manhattanLength(), 2);

    // Without Ctrl the wheel scrolls.
    const int scrolled = vertical()->value();
    wheel(at, -120, Qt::NoModifier, form.ScrollBox1->viewport());
    EXPECT_EQ(form.PaintBox1->zoomStep(), -2);
    EXPECT_GT(vertical()->value(), scrolled);

    // Over the black beside a small picture, Ctrl with the wheel zooms too.
    form.ZoomoutO1->trigger();
    form.ZoomoutO1->trigger();
    const QPoint beside(form.PaintBox1->width() + 5, 5);
    wheel(beside, 120, Qt::ControlModifier, form.ScrollBox1->viewport());
    EXPECT_EQ(form.PaintBox1->zoomStep(), -3);
}

TEST_F(ZoomedView, PixelsAreSharpSquaresAboveOneAndAveragesBelow) {
    // One-pixel black and white squares: any sampling below 1 would show them as black or
    // white patches; averaging gives grey.
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
        const QSize size = form.PaintBox1->size();
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x) {
                const int grey = qRed(shown.pixel(x, y));
                ASSERT_TRUE(grey > 64 && grey < 192) << step << ": " << x << "," << y;
            }
        EXPECT_EQ(shown.pixel(size.width(), 0), qRgb(0, 0, 0));
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
