// The live preview in the main view: exact at actual size and zoomed in, approximate and
// named so zoomed out, always the newest settings, and the picture itself never touched.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QImage>
#include <QScrollBar>
#include <QStatusBar>
#include <cmath>
#include <set>

#include "tests/settings_support.h"
#include "ui/zoomed_drawing.h"

namespace {

using testing_support::makeImage;
using testing_support::samePixels;

class LivePreviewTest : public settings_support::BothWindows {
protected:
    // A picture larger than the view, with bright points and a depth ramp, scrolled in.
    void install(int width, int height) {
        auto image = testing_support::randomImage(width, height, 3);
        for (int r = 0; r < height; ++r)
            for (int i = 0; i < 3 * width; ++i) {
                std::uint8_t& byte = image->bits[std::size_t(r) * image->stride + i];
                byte = byte > 250 ? 255 : byte / 8;
            }
        form1.installImage(std::move(image));
        form2.setDepthMask(makeImage(width, height, [=](int x, int r, int) {
            return std::uint8_t((x + r) * 255 / (width + height));
        }));
        source = form1.currentImage->copy();
        QCoreApplication::processEvents();  // the scroll area's new layout
    }

    QImage view() { return form1.ScrollBox1->viewport()->grab().toImage(); }

    // Waits until a result is shown and nothing renders any more; returns how many
    // different results were shown meanwhile.
    int waitForResult() {
        LivePreview& preview = *form1.livePreview;
        std::set<const dib24*> shown;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                if (preview.shownPart()) shown.insert(preview.shownPart());
                return preview.shownPart() && !preview.rendering() && !preview.due();
            },
            20000));
        return int(shown.size());
    }

    // What the view shows once Defocus has run with live preview off.
    QImage viewAfterDefocus() {
        form1.LivepreviewL1->setChecked(false);
        form1.Blur1->trigger();
        return view();
    }

    std::unique_ptr<dib24> source;
};

TEST_F(LivePreviewTest, AtActualSizeAndZoomedInTheViewShowsTheDefocusResultsBytes) {
    for (const int step : {0, 2, 3}) {
        install(1100, 900);
        form2.CheckBoxDOF->setChecked(true);
        form2.Edit2->setText("90");
        form2.ComboBox1->setCurrentIndex(2);
        form1.PaintBox1->zoomTo(step);
        form1.ScrollBox1->horizontalScrollBar()->setValue(310);
        form1.ScrollBox1->verticalScrollBar()->setValue(270);
        const QImage plain = view();
        form1.LivepreviewL1->trigger();
        waitForResult();
        const QImage previewed = view();
        EXPECT_TRUE(samePixels(*form1.currentImage, *source)) << step;
        EXPECT_NE(previewed, plain) << step;
        EXPECT_EQ(previewed, viewAfterDefocus()) << step;
    }
}

TEST_F(LivePreviewTest, AChangedBoxAbandonsTheRenderGoingAndOnlyTheNewestIsShown) {
    install(700, 500);
    ASSERT_TRUE(form2.diaphragms.Install(makeImage(61, 61, [](int, int, int) { return 255; })));
    form1.LivepreviewL1->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form1.livePreview->rendering(); }));
    form2.Edit1->setText("0.7");
    QTest::keyClick(form2.Edit1, Qt::Key_Return);
    EXPECT_EQ(waitForResult(), 1);
    EXPECT_EQ(view(), viewAfterDefocus());
}

TEST_F(LivePreviewTest, ZoomedOutItIsNamedApproximateAndOffShowsThePictureAgain) {
    install(1100, 900);
    form1.PaintBox1->zoomTo(-2);
    const QImage plain = view();
    form1.LivepreviewL1->trigger();
    waitForResult();
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "Live preview at 1:2 (approximate)");
    EXPECT_NE(view(), plain);
    form1.LivepreviewL1->trigger();
    EXPECT_EQ(view(), plain);
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "");
    EXPECT_TRUE(samePixels(*form1.currentImage, *source));
}

TEST_F(LivePreviewTest, FittedItRendersTheScreensPixelsWithTheDiaphragmShrunkByTheZoom) {
    install(2400, 1800);
    form2.CheckBoxDOF->setChecked(false);
    form1.FittowindowF1->trigger();
    const double zoom = form1.PaintBox1->zoom();
    ASSERT_LT(zoom, 0.5);  // the view draws from a reduced copy
    const int width = zoomedExtent(2400, zoom), height = zoomedExtent(1800, zoom);
    QCoreApplication::processEvents();  // the scroll bars go
    ASSERT_GE(form1.ScrollBox1->viewport()->width(), width);
    ASSERT_GE(form1.ScrollBox1->viewport()->height(), height);
    // The screen's pixels of the picture as a bitmap, rows from the top.
    auto shownPicture = [&](const QImage& shown) {
        return makeImage(width, height, [&](int x, int r, int c) {
            const QRgb pixel = shown.pixel(x, height - 1 - r);
            return std::uint8_t(c == 0 ? qBlue(pixel) : c == 1 ? qGreen(pixel) : qRed(pixel));
        });
    };
    const auto plain = shownPicture(view());
    MaskMan shrunk;
    const dib24& shape = *form2.diaphragms.shape;
    const int size = int(std::lround(shape.width * zoom));
    ASSERT_TRUE(shrunk.Install(shape.resized(size, size)));
    const BaseParameters base = form2.readBaseParameters();
    form1.LivepreviewL1->trigger();
    waitForResult();
    EXPECT_TRUE(samePixels(*shownPicture(view()),
                           *settings_support::rendered(*plain, shrunk, base.density, base.gamma,
                                                       base.blend, nullptr)));
    EXPECT_EQ(form1.StatusBar1->currentMessage(),
              QStringLiteral("Live preview at 1:%1 (approximate)").arg(std::lround(1 / zoom)));
    // With depth of field the worker reduces the depth mask alike.
    const QImage withoutDepth = view();
    const QString named = form1.StatusBar1->currentMessage();
    form2.CheckBoxDOF->setChecked(true);
    waitForResult();
    EXPECT_NE(view(), withoutDepth);
    EXPECT_EQ(form1.StatusBar1->currentMessage(), named);
}

TEST_F(LivePreviewTest, WithoutMemoryThePictureIsShownAndTheStatusBarSaysSo) {
    install(600, 400);
    const QImage plain = view();
    const std::size_t limit = dib24::sectionLimit;
    dib24::sectionLimit = 1000;
    form1.LivepreviewL1->trigger();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return form1.StatusBar1->currentMessage() == "Live preview needs more memory"; }));
    dib24::sectionLimit = limit;
    EXPECT_EQ(view(), plain);
}

}  // namespace
