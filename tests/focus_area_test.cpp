// Steering the depth of field from the windows: focus by double-click in the main view, the
// focus area's tint there and in the preview box, and the new DOF controls reaching the
// renderer.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QScrollBar>
#include <QStatusBar>

#include "tests/settings_support.h"

namespace {

using gui_support::pictureColor;
using settings_support::BothWindows;
using settings_support::copyOf;
using settings_support::rendered;
using testing_support::makeImage;
using testing_support::pixelFromTop;
using testing_support::randomImage;
using testing_support::samePixels;

class Focus : public BothWindows {
protected:
    QWidget* viewport() { return form1.ScrollBox1->viewport(); }

    void doubleClick(QWidget* widget, QPoint at) {
        QTest::mouseDClick(widget, Qt::LeftButton, Qt::NoModifier, at);
    }

    // Types into a box and confirms with Enter, as the user does.
    void enter(QLineEdit* edit, const QString& text) {
        type(edit, text);
        QTest::keyClick(edit, Qt::Key_Return);
    }
};

// A depth that differs from pixel to pixel, so a pick of the wrong pixel shows.
std::unique_ptr<dib24> depthPattern(int width, int height) {
    return makeImage(width, height, [](int x, int r, int) { return std::uint8_t(x * 7 + r * 13); });
}

TEST_F(Focus, DoubleClickSetsTheThresholdToTheDepthUnderThePointer) {
    form1.installImage(randomImage(2000, 1500, 1));
    form2.setDepthMask(depthPattern(2000, 1500));
    // Zoom step, scroll position, point in the viewport, and the picture pixel shown there.
    struct Case {
        int step;
        QPoint scroll, at, pixel;
    };
    for (const auto& [step, scroll, at, pixel] :
         {Case{0, {0, 0}, {10, 20}, {10, 20}}, Case{0, {300, 200}, {150, 120}, {450, 320}},
          Case{2, {301, 203}, {150, 121}, {225, 162}}}) {
        SCOPED_TRACE(pixel.x());
        form2.CheckBoxDOF->setChecked(false);
        form1.PaintBox1->zoomTo(step);
        form1.ScrollBox1->horizontalScrollBar()->setValue(scroll.x());
        form1.ScrollBox1->verticalScrollBar()->setValue(scroll.y());
        doubleClick(form1.PaintBox1, form1.PaintBox1->mapFrom(viewport(), at));
        const int depth = pixelFromTop(*form2.depthMask, pixel.x(), pixel.y(), 0);
        EXPECT_EQ(form2.Edit2->text(), QString::number(depth));
        EXPECT_TRUE(form2.CheckBoxDOF->isChecked());
        EXPECT_EQ(
            form1.StatusBar1->currentMessage(),
            QStringLiteral("Focus at depth %1 (%2, %3)").arg(depth).arg(pixel.x()).arg(pixel.y()));
    }
    // The boxes are normalised with it.
    EXPECT_EQ(form2.Edit1->text(), "0.100000");
}

TEST_F(Focus, WithoutAMaskItSaysSoAndBesideThePictureNothingHappens) {
    form1.installImage(randomImage(200, 100, 2));
    form2.Edit2->setText("17");
    doubleClick(form1.PaintBox1, {50, 50});
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "Load a depth mask (ZMask) to pick the focus");
    EXPECT_EQ(form2.Edit2->text(), "17");
    EXPECT_FALSE(form2.CheckBoxDOF->isChecked());

    form2.setDepthMask(depthPattern(200, 100));
    form1.StatusBar1->clearMessage();
    doubleClick(viewport(), {300, 50});
    doubleClick(viewport(), {50, 150});
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "");
    EXPECT_EQ(form2.Edit2->text(), "17");
    EXPECT_FALSE(form2.CheckBoxDOF->isChecked());
}

// A picture of black and white stripes 10 rows high, with depth 40 in columns 0 ... 199
// and 200 in the others; "Show focus area" ticked.
class FocusArea : public Focus {
protected:
    void SetUp() override {
        Focus::SetUp();
        form1.installImage(makeImage(
            400, 120, [](int, int r, int) { return std::uint8_t(r / 10 % 2 ? 255 : 0); }));
        form2.setDepthMask(
            makeImage(400, 120, [](int x, int, int) { return std::uint8_t(x < 200 ? 40 : 200); }));
        form2.CheckBoxFocusArea->setChecked(true);
    }

    // Whether `shown` tints picture pixel (x, t), which it shows at `at`: untinted it shows
    // the picture's colour exactly; tinted, far from it on black and on white.
    static bool tinted(const QImage& shown, QPoint at, const dib24& picture, int x, int t) {
        const QColor want = pictureColor(picture, x, t), got = shown.pixelColor(at);
        const int distance = std::abs(got.red() - want.red()) +
                             std::abs(got.green() - want.green()) +
                             std::abs(got.blue() - want.blue());
        EXPECT_TRUE(distance == 0 || distance > 100) << distance << " at " << x << ", " << t;
        return distance > 100;
    }

    static QImage grabbed(QWidget* widget) {
        QCoreApplication::processEvents();
        return widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }
};

TEST_F(FocusArea, TintsTheDepthsInFocusAtEveryZoomAndFollowsTheBoxes) {
    const auto before = copyOf(*form1.currentImage);
    // Threshold and focus range as typed, the zoom step, and whether the depth-40 and the
    // depth-200 half are tinted.
    struct Case {
        const char *threshold, *range;
        int step;
        bool near, far;
    };
    for (const auto& [threshold, range, step, near, far] :
         {Case{"40", "0", 0, true, false}, Case{"200", "0", 0, false, true},
          Case{"200", "0", -2, false, true}, Case{"40", "0", -4, true, false},
          Case{"40", "160", -1, true, true}, Case{"120", "0", 2, false, false},
          Case{"40", "0", 1, true, false}}) {
        SCOPED_TRACE(std::string(threshold) + " " + range + " " + std::to_string(step));
        enter(form2.Edit2, threshold);
        enter(form2.Edit5, range);
        form1.PaintBox1->zoomTo(step);
        form1.ScrollBox1->horizontalScrollBar()->setValue(0);
        form1.ScrollBox1->verticalScrollBar()->setValue(0);
        const QImage shown = grabbed(viewport());
        const double zoom = form1.PaintBox1->zoom();
        // On black (row 5) and on white (row 15), in each half.
        for (const int t : {5, 15})
            for (const auto& [x, inFocus] : {std::pair{100, near}, std::pair{240, far}}) {
                const QPoint at(int((x + 0.5) * zoom), int((t + 0.5) * zoom));
                EXPECT_EQ(tinted(shown, at, *form1.currentImage, x, t), inFocus) << x << ", " << t;
            }
    }
    // Drawing only: the picture that Save, Copy and Defocus use is untouched.
    EXPECT_TRUE(samePixels(*form1.currentImage, *before));
}

TEST_F(FocusArea, ThePreviewBoxShowsItOverTheUnprocessedPictureOnly) {
    enter(form2.Edit2, "200");
    form2.previewLeft = 150;  // columns 150 ... 332 in the box
    QImage box = grabbed(form2.PaintBox2);
    EXPECT_FALSE(tinted(box, {20, 5}, *form1.currentImage, 170, 5));
    EXPECT_TRUE(tinted(box, {120, 15}, *form1.currentImage, 270, 15));
    // A rendered preview is shown as it is.
    form2.Button2->click();
    box = grabbed(form2.PaintBox2);
    EXPECT_EQ(box.pixel(120, 15), pictureColor(*form2.previewImage, 120, 15).rgb());
}

TEST_F(FocusArea, GoesWithTheMaskOrTheTick) {
    enter(form2.Edit2, "40");
    ASSERT_TRUE(tinted(grabbed(viewport()), {100, 5}, *form1.currentImage, 100, 5));
    form2.CheckBoxFocusArea->setChecked(false);
    EXPECT_FALSE(tinted(grabbed(viewport()), {100, 5}, *form1.currentImage, 100, 5));
    form2.CheckBoxFocusArea->setChecked(true);
    form1.installImage(copyOf(*form1.currentImage));  // a new picture drops the mask
    EXPECT_FALSE(tinted(grabbed(viewport()), {100, 5}, *form1.currentImage, 100, 5));
    EXPECT_FALSE(tinted(grabbed(form2.PaintBox2), {100, 5}, *form1.currentImage, 100, 5));
}

TEST_F(Focus, DefocusAndPreviewPassFocusRangeAndOcclusion) {
    // Bright points at two depths in blocks, so occlusion and the focus range both change
    // the result.
    auto image = randomImage(96, 64, 3);
    for (std::uint8_t* p = image->bits; p < image->bits + image->stride * image->height; ++p)
        *p = *p > 245 ? 255 : *p / 8;
    const auto depths = makeImage(
        96, 64, [](int x, int r, int) { return std::uint8_t((x / 16 + r / 16) % 2 ? 230 : 20); });
    testing_support::TempDir dir;
    MaskMan masks;
    ASSERT_TRUE(testing_support::saveBitmap(*form2.diaphragms.shape, dir / "shape.bmp"));
    ASSERT_TRUE(masks.Load((dir / "shape.bmp").c_str()));
    form2.CheckBoxDOF->setChecked(true);
    enter(form2.Edit2, "125");
    const DofSettings plain{depths.get(), 125.0, 2.0};
    const auto withoutNew = rendered(*image, masks, 0.1, 1.0, 1, &plain);
    struct Case {
        const char* range;
        int choice;
        int focusRange;
        Occlusion occlusion;
    };
    for (const auto& [range, choice, focusRange, occlusion] :
         {Case{"40", 0, 40, Occlusion::Off}, Case{"0", 1, 0, Occlusion::BrightNear},
          Case{"300", 2, 255, Occlusion::DarkNear}}) {
        SCOPED_TRACE(range);
        enter(form2.Edit5, range);
        form2.ComboBox1->setCurrentIndex(choice);
        DofSettings dof = plain;
        dof.focusRange = focusRange;
        dof.occlusion = occlusion;
        const auto expected = rendered(*image, masks, 0.1, 1.0, 1, &dof);
        EXPECT_FALSE(samePixels(*expected, *withoutNew));
        form1.installImage(copyOf(*image));
        form2.setDepthMask(copyOf(*depths));
        form2.Button2->click();  // the whole picture fits the preview region
        EXPECT_TRUE(samePixels(*form2.previewImage, *expected));
        form1.Blur1->trigger();
        EXPECT_TRUE(samePixels(*form1.currentImage, *expected));
    }
}

}  // namespace
