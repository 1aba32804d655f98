// Defocus and the preview rendered on the worker: the window goes on meanwhile with the
// changing commands greyed, and Esc or closing the window stops the run.

#include <gtest/gtest.h>

#include <QStatusBar>
#include <QTimer>
#include <functional>

#include "tests/settings_support.h"

namespace {

using testing_support::makeImage;
using testing_support::samePixels;

class BackgroundRun : public settings_support::BothWindows {
protected:
    void SetUp() override {
        BothWindows::SetUp();
        // A bright picture under a wide solid diaphragm: a run takes long enough to be
        // stopped by hand.
        form1.installImage(testing_support::randomImage(700, 500, 1));
        ASSERT_TRUE(
            form2.diaphragms.Install(makeImage(161, 161, [](int, int, int) { return 255; })));
        source = form1.currentImage->copy();
        form1.PaintBox1->installEventFilter(&paints);
    }

    // Starts the command with `start`, and at every tick of a timer while it runs: checks
    // the greying, asks for a repaint of the view, and once the view was painted during the
    // run, ends it with `end`.
    void runAndEnd(const std::function<void()>& start, const std::function<void()>& end) {
        QTimer tick;
        tick.setInterval(5);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            if (!form1.commandRun.running()) return;
            ++ticks;
            greyed = !form1.Blur1->isEnabled() && !form1.OpenO1->isEnabled() &&
                     !form1.Saveas1->isEnabled() && !form2.isEnabled() &&
                     form1.ZoomoutO1->isEnabled();
            if (paints.duringRun == 0)
                form1.PaintBox1->update();
            else
                end();
        });
        tick.start();
        start();
        tick.stop();
        EXPECT_GT(ticks, 0);
        EXPECT_GT(paints.duringRun, 0);
        EXPECT_TRUE(greyed);
        EXPECT_FALSE(form1.commandRun.running());
        EXPECT_TRUE(form1.Blur1->isEnabled());
        EXPECT_TRUE(form2.isEnabled());
        EXPECT_EQ(form1.StatusBar1->currentMessage(), "Defocus stopped");
        EXPECT_TRUE(samePixels(*form1.currentImage, *source));
        EXPECT_EQ(form1.history.undoSteps(), 0u);
    }

    struct PaintsDuringRun : QObject {
        explicit PaintsDuringRun(TForm1& form) : form(form) {}
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint && form.commandRun.running()) ++duringRun;
            return false;
        }
        TForm1& form;
        int duringRun = 0;
    } paints{form1};
    std::unique_ptr<dib24> source;
    int ticks = 0;
    bool greyed = false;
};

TEST_F(BackgroundRun, EscStopsADefocusAndLeavesThePictureAndTheHistory) {
    runAndEnd([&] { form1.Blur1->trigger(); }, [&] { QTest::keyClick(&form1, Qt::Key_Escape); });
    // Esc with nothing running does nothing; the next run goes to its end.
    QTest::keyClick(&form1, Qt::Key_Escape);
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "Defocus stopped");
    form2.Edit1->setText("0");
    form1.Blur1->trigger();
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "done");
    EXPECT_EQ(form1.history.undoSteps(), 1u);
}

TEST_F(BackgroundRun, EscInTheSettingsWindowStopsThePreview) {
    runAndEnd([&] { form2.Button2->click(); }, [&] { QTest::keyClick(&form2, Qt::Key_Escape); });
    EXPECT_EQ(form2.previewImage, nullptr);
}

TEST_F(BackgroundRun, ClosingTheWindowStopsTheRunAndCloses) {
    runAndEnd([&] { form1.Blur1->trigger(); }, [&] { form1.close(); });
    EXPECT_FALSE(form1.isVisible());
}

}  // namespace
