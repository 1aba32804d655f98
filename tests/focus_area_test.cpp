// Focus by double-click in the main view, and the focus area's tint there and in the
// preview box.

#include <gtest/gtest.h>

#include <QScrollBar>
#include <QStatusBar>
#include <tuple>

#include "tests/settings_support.h"

namespace {

using testing_support::makeImage;

class Focus : public settings_support::BothWindows {
protected:
    QWidget* viewport() { return form1.ScrollBox1->viewport(); }
    void doubleClick(QWidget* on, QPoint at) { QTest::mouseDClick(on, Qt::LeftButton, {}, at); }
    void enter(QLineEdit* edit, const QString& text) {
        type(edit, text);
        QTest::keyClick(edit, Qt::Key_Return);
    }
    void zoomAndScroll(int step, QPoint scroll) {
        form1.PaintBox1->zoomTo(step);
        form1.ScrollBox1->horizontalScrollBar()->setValue(scroll.x());
        form1.ScrollBox1->verticalScrollBar()->setValue(scroll.y());
    }
    // Whether `widget` shows picture pixel (x, t), which it shows at `at`, other than the
    // picture has it; the tint stands out by far on black and on white.
    bool tinted(QWidget* widget, QPoint at, int x, int t) {
        QCoreApplication::processEvents();
        const QColor got = widget->grab().toImage().pixelColor(at);
        const QColor want = gui_support::pictureColor(*form1.currentImage, x, t);
        const int distance = std::abs(got.red() - want.red()) +
                             std::abs(got.green() - want.green()) +
                             std::abs(got.blue() - want.blue());
        EXPECT_TRUE(distance == 0 || distance > 100) << distance << " at " << x << ", " << t;
        return distance > 100;
    }
};

TEST_F(Focus, DoubleClickSetsTheThresholdToTheDepthUnderThePointer) {
    form1.installImage(testing_support::randomImage(2000, 1500, 1));
    // A depth that differs from pixel to pixel, so a pick of the wrong one shows.
    form2.setDepthMask(
        makeImage(2000, 1500, [](int x, int r, int) { return std::uint8_t(x * 7 + r * 13); }));
    // Zoom step, scroll position, point in the viewport, and the picture pixel shown there.
    for (const auto& [step, scroll, at, pixel] :
         {std::tuple{0, QPoint(0, 0), QPoint(10, 20), QPoint(10, 20)},
          std::tuple{0, QPoint(300, 200), QPoint(150, 120), QPoint(450, 320)},
          std::tuple{2, QPoint(301, 203), QPoint(150, 121), QPoint(225, 162)}}) {
        form2.CheckBoxDOF->setChecked(false);
        zoomAndScroll(step, scroll);
        doubleClick(form1.PaintBox1, form1.PaintBox1->mapFrom(viewport(), at));
        const int depth = testing_support::pixelFromTop(*form2.depthMask, pixel.x(), pixel.y(), 0);
        EXPECT_EQ(form2.Edit2->text(), QString::number(depth)) << pixel.x();
        EXPECT_TRUE(form2.CheckBoxDOF->isChecked());
        EXPECT_EQ(form1.StatusBar1->currentMessage(),
                  QString("Focus at depth %1 (%2, %3)").arg(depth).arg(pixel.x()).arg(pixel.y()));
    }
    EXPECT_EQ(form2.Edit1->text(), "0.100000");  // the boxes are normalised with it

    // Beside a small picture the viewport takes the double-click: nothing happens. On it,
    // without a depth mask (the new picture dropped it), only the status bar says so.
    form1.installImage(testing_support::randomImage(200, 100, 2));
    form2.Edit2->setText("17");
    form2.CheckBoxDOF->setChecked(false);
    form1.StatusBar1->clearMessage();
    for (const QPoint beside : {QPoint(300, 50), QPoint(50, 150)}) doubleClick(viewport(), beside);
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "");
    doubleClick(form1.PaintBox1, {50, 50});
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "Load a depth mask (ZMask) to pick the focus");
    EXPECT_EQ(form2.Edit2->text(), "17");
    EXPECT_FALSE(form2.CheckBoxDOF->isChecked());
}

TEST_F(Focus, TheFocusAreaTintsTheDepthsInFocusInTheViewAndThePreview) {
    // Black and white stripes 10 rows high; depth 40 in columns 0 ... 199, 200 beyond.
    form1.installImage(
        makeImage(400, 120, [](int, int r, int) { return std::uint8_t(r / 10 % 2 ? 255 : 0); }));
    const auto before = form1.currentImage->copy();
    form2.setDepthMask(
        makeImage(400, 120, [](int x, int, int) { return std::uint8_t(x < 200 ? 40 : 200); }));
    form2.CheckBoxFocusArea->setChecked(true);
    // Threshold and focus range as typed, the zoom step, and whether the depth-40 and the
    // depth-200 half are tinted, on black (row 5) and on white (row 15).
    for (const auto& [threshold, range, step, near, far] :
         {std::tuple{"40", "0", 0, true, false}, std::tuple{"200", "0", -2, false, true},
          std::tuple{"40", "0", -4, true, false}, std::tuple{"40", "160", -1, true, true},
          std::tuple{"120", "0", 2, false, false}, std::tuple{"200", "0", 1, false, true}}) {
        enter(form2.Edit2, threshold);
        enter(form2.Edit5, range);
        zoomAndScroll(step, {0, 0});
        const double zoom = form1.PaintBox1->zoom();
        for (const int t : {5, 15})
            for (const auto& [x, inFocus] : {std::pair{100, near}, std::pair{240, far}}) {
                const QPoint at(int((x + 0.5) * zoom), int((t + 0.5) * zoom));
                EXPECT_EQ(tinted(viewport(), at, x, t), inFocus) << threshold << " " << step;
            }
    }
    // The preview box, showing columns 150 ... 332.
    form2.previewLeft = 150;
    EXPECT_FALSE(tinted(form2.PaintBox2, {20, 5}, 170, 5));
    EXPECT_TRUE(tinted(form2.PaintBox2, {120, 15}, 270, 15));
    // Drawing only: the picture that Save, Copy and Defocus use is untouched.
    EXPECT_TRUE(testing_support::samePixels(*form1.currentImage, *before));

    // It goes with the tick, and with the mask when a new picture comes.
    form2.CheckBoxFocusArea->setChecked(false);
    EXPECT_FALSE(tinted(viewport(), {240, 15}, 240, 15));
    form2.CheckBoxFocusArea->setChecked(true);
    form1.installImage(before->copy());
    form2.previewLeft = 150;
    EXPECT_FALSE(tinted(viewport(), {240, 15}, 240, 15));
    EXPECT_FALSE(tinted(form2.PaintBox2, {120, 15}, 270, 15));
}

}  // namespace
