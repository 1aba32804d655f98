// The Defocus command with the settings window's parameters, its question and its
// progress display, and the preview with its panning.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QImage>
#include <QMouseEvent>
#include <QStatusBar>
#include <QTest>
#include <string>
#include <tuple>
#include <vector>

#include "tests/settings_support.h"

namespace {

using gui_support::pictureColor;
using settings_support::BothWindows;
using settings_support::rendered;
using testing_support::makeImage;
using testing_support::randomImage;
using testing_support::samePixels;

const QString kBlendQuestion = QStringLiteral("Blend switch not checked, coninue?");

// A picture with bright points on a dark ground, so the diaphragm's shape shows.
std::unique_ptr<dib24> starryImage(int width, int height, std::uint32_t seed) {
    auto image = randomImage(width, height, seed);
    for (int r = 0; r < height; ++r)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                std::uint8_t& byte = image->bits[std::size_t(r) * image->stride + 3 * x + c];
                byte = byte > 250 ? 255 : byte / 8;
            }
    return image;
}

// Depth that grows from left to right.
std::unique_ptr<dib24> depthRamp(int width, int height) {
    return makeImage(width, height,
                     [width](int x, int, int) { return std::uint8_t(x * 255 / width); });
}

// Records the status bar's text every time it is painted.
class StatusBarPaints : public QObject {
public:
    explicit StatusBarPaints(QStatusBar* bar) : bar_(bar) { bar->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) texts.push_back(bar_->currentMessage().toStdString());
        return false;
    }
    std::vector<std::string> texts;

private:
    QStatusBar* bar_;
};

class DefocusCommand : public BothWindows {
protected:
    void SetUp() override {
        BothWindows::SetUp();
        // The renderer's diaphragm as the settings window has it, for the expected results.
        ASSERT_TRUE(masks.Load(form2Diaphragm().c_str()));
    }

    std::string form2Diaphragm() {
        const std::string path = (dir / "diaphragm.bmp").string();
        EXPECT_TRUE(testing_support::saveBitmap(*form2.diaphragms.shape, path));
        return path;
    }

    // Installs `image` in the main window and keeps a copy of its pixels in `source`.
    void install(std::unique_ptr<dib24> image) {
        source = image->copy();
        form1.installImage(std::move(image));
    }

    void expectImage(const dib24& expected) {
        ASSERT_NE(form1.currentImage, nullptr);
        EXPECT_TRUE(samePixels(*form1.currentImage, expected));
    }

    testing_support::TempDir dir;
    MaskMan masks;
    std::unique_ptr<dib24> source;
};

TEST_F(DefocusCommand, WithoutAnImageNothingHappens) {
    form1.Blur1->trigger();
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "");
    EXPECT_TRUE(prompts.boxes.empty());
}

TEST_F(DefocusCommand, RunsWithTheBoxesParametersAndSaysDone) {
    install(starryImage(60, 40, 1));
    form2.Edit1->setText("0.3");
    form2.Edit4->setText("2.0");
    form1.Blur1->trigger();
    expectImage(*rendered(*source, masks, 0.3, 2.0, 1, nullptr));
    EXPECT_FALSE(samePixels(*form1.currentImage, *source));
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "done");
    EXPECT_TRUE(prompts.boxes.empty());
    // The view shows the result; the command installs nothing.
    const QImage view = form1.ScrollBox1->viewport()->grab().toImage();
    EXPECT_EQ(view.pixel(30, 20), pictureColor(*form1.currentImage, 30, 20).rgb());
    EXPECT_EQ(form2.LabelGInfo->text(), "60 x 40");
}

TEST_F(DefocusCommand, EveryProgressTextIsPaintedInTheStatusBar) {
    install(starryImage(30, 12, 2));
    StatusBarPaints paints(form1.StatusBar1);
    form1.Blur1->trigger();
    std::vector<std::string> expected;
    for (int r = 0; r < 12; ++r)
        expected.push_back("Processing line (" + std::to_string(r) + " / 12)");
    expected.push_back("done");
    EXPECT_EQ(paints.texts, expected);
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "done");
}

TEST_F(DefocusCommand, ParametersBeyondTheWindowsBoundsAreUsedAsTyped) {
    install(starryImage(40, 30, 3));
    form2.Edit1->setText("-3");
    form2.Edit4->setText("0");
    form1.Blur1->trigger();
    expectImage(*rendered(*source, masks, 0.0, 1e-8, 1, nullptr));

    // A density typed as 1.5 and not confirmed: the main window's menu takes the
    // activation, the box keeps its text, and the run uses 1.5.
    install(starryImage(40, 30, 4));
    form2.Edit4->setText("1.0");
    focus(form2.Edit1);
    type(form2.Edit1, "1.5");
    activate(&form1);
    form1.Blur1->trigger();
    EXPECT_EQ(form2.Edit1->text(), "1.5");
    expectImage(*rendered(*source, masks, 1.5, 1.0, 1, nullptr));
}

TEST_F(DefocusCommand, DepthOfFieldWithoutBlendAsksAndCancelLeavesEverything) {
    install(starryImage(50, 30, 5));
    form2.setDepthMask(depthRamp(50, 30));
    form2.CheckBoxDOF->setChecked(true);
    form2.CheckBoxBlend->setChecked(false);
    form1.StatusBar1->showMessage("earlier text");
    prompts.boxAnswer = QMessageBox::Cancel;
    form1.Blur1->trigger();
    gui_support::expectOnlyBox(prompts, {.owner = &form1,
                                         .caption = "Warning",
                                         .text = kBlendQuestion,
                                         .icon = QMessageBox::Warning,
                                         .buttons = QMessageBox::Ok | QMessageBox::Cancel});
    expectImage(*source);
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "earlier text");

    prompts.boxAnswer = QMessageBox::Ok;
    form2.Edit2->setText("100");
    form2.Edit3->setText("3.5");
    form1.Blur1->trigger();
    EXPECT_EQ(prompts.boxes.size(), 2u);
    const DofSettings dof{form2.depthMask.get(), 100.0, 3.5};
    expectImage(*rendered(*source, masks, 0.1, 1.0, 0, &dof));
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "done");
}

TEST_F(DefocusCommand, DepthOfFieldNeedsBothTheMaskAndTheSwitch) {
    // A mask but the switch off: no question, no depth of field.
    install(starryImage(50, 30, 6));
    form2.setDepthMask(depthRamp(50, 30));
    form2.CheckBoxBlend->setChecked(false);
    form1.Blur1->trigger();
    EXPECT_TRUE(prompts.boxes.empty());
    expectImage(*rendered(*source, masks, 0.1, 1.0, 0, nullptr));

    // The switch on but no mask (a new image dropped it): the same.
    install(starryImage(50, 30, 7));
    form2.CheckBoxDOF->setChecked(true);
    form1.Blur1->trigger();
    EXPECT_TRUE(prompts.boxes.empty());
    expectImage(*rendered(*source, masks, 0.1, 1.0, 0, nullptr));

    // Both, with blend on: depth of field without a question.
    install(starryImage(50, 30, 8));
    form2.setDepthMask(depthRamp(50, 30));
    form2.CheckBoxBlend->setChecked(true);
    form1.Blur1->trigger();
    EXPECT_TRUE(prompts.boxes.empty());
    const DofSettings dof{form2.depthMask.get(), 0.0, 2.0};
    expectImage(*rendered(*source, masks, 0.1, 1.0, 1, &dof));
}

TEST_F(DefocusCommand, ThresholdIsTheIntegerPartOfTheText) {
    install(starryImage(64, 24, 9));
    form2.setDepthMask(depthRamp(64, 24));
    form2.CheckBoxDOF->setChecked(true);
    form2.Edit2->setText("12.7");
    form1.Blur1->trigger();
    const DofSettings dof12{form2.depthMask.get(), 12.0, 2.0};
    expectImage(*rendered(*source, masks, 0.1, 1.0, 1, &dof12));
    const DofSettings dof13{form2.depthMask.get(), 12.7, 2.0};
    EXPECT_FALSE(samePixels(*form1.currentImage, *rendered(*source, masks, 0.1, 1.0, 1, &dof13)));
}

TEST_F(DefocusCommand, FocusRangeAndOcclusionReachTheRendererFromDefocusAndPreview) {
    // Bright points at depths 20 and 230 in blocks, both out of focus: occlusion either way
    // and the focus range each change the result.
    auto depths =
        makeImage(96, 64, [](int x, int r, int) { return (x / 16 + r / 16) % 2 ? 230 : 20; });
    form2.CheckBoxDOF->setChecked(true);
    form2.Edit2->setText("125");
    for (const auto& [range, choice, dof] :
         {std::tuple{"40", 0, DofSettings{depths.get(), 125.0, 2.0, 40, Occlusion::Off}},
          std::tuple{"0", 1, DofSettings{depths.get(), 125.0, 2.0, 0, Occlusion::BrightNear}},
          std::tuple{"300", 2, DofSettings{depths.get(), 125.0, 2.0, 255, Occlusion::DarkNear}}}) {
        install(starryImage(96, 64, 16));
        form2.setDepthMask(depths->copy());
        form2.Edit5->setText(range);  // used as typed, within 0 ... 255
        form2.ComboBox1->setCurrentIndex(choice);
        const auto expected = rendered(*source, masks, 0.1, 1.0, 1, &dof);
        const DofSettings plain{depths.get(), 125.0, 2.0};
        EXPECT_FALSE(samePixels(*expected, *rendered(*source, masks, 0.1, 1.0, 1, &plain)));
        form2.Button2->click();  // the whole picture fits the preview region
        EXPECT_TRUE(samePixels(*form2.previewImage, *expected)) << range;
        form1.Blur1->trigger();
        expectImage(*expected);
    }
}

TEST_F(DefocusCommand, RunningTwiceDefocusesTheResultAgain) {
    install(starryImage(40, 20, 10));
    form1.Blur1->trigger();
    form1.Blur1->trigger();
    expectImage(
        *rendered(*rendered(*source, masks, 0.1, 1.0, 1, nullptr), masks, 0.1, 1.0, 1, nullptr));
}

// Undo and Redo.

TEST_F(DefocusCommand, UndoAndRedoStepThroughTwoRunsChangingOnlyThePixels) {
    install(starryImage(60, 40, 20));
    form2.setDepthMask(depthRamp(60, 40));
    const dib24* shown = form1.currentImage.get();
    form2.Edit1->setText("0.3");
    form1.Blur1->trigger();
    const auto first = form1.currentImage->copy();
    form2.Edit1->setText("0.7");
    form1.Blur1->trigger();
    const auto second = form1.currentImage->copy();
    // Beyond the first and the last step the commands do nothing.
    const std::vector<std::pair<QAction*, const dib24*>> steps{
        {form1.UndoU1, first.get()}, {form1.UndoU1, source.get()}, {form1.UndoU1, source.get()},
        {form1.RedoR1, first.get()}, {form1.RedoR1, second.get()}, {form1.RedoR1, second.get()},
        {form1.UndoU1, first.get()}};
    for (const auto& [action, expected] : steps) {
        action->trigger();
        expectImage(*expected);
        const QImage view = form1.ScrollBox1->viewport()->grab().toImage();
        EXPECT_EQ(view.pixel(31, 17), pictureColor(*expected, 31, 17).rgb());
    }
    EXPECT_EQ(form1.currentImage.get(), shown);
    EXPECT_NE(form2.depthMask, nullptr);
    EXPECT_EQ(form2.LabelGInfo->text(), "60 x 40");

    // A run after an undo replaces what Redo would have applied.
    form1.Blur1->trigger();
    form1.RedoR1->trigger();
    expectImage(*rendered(*first, masks, 0.7, 1.0, 1, nullptr));
    form1.UndoU1->trigger();
    expectImage(*first);
}

TEST_F(DefocusCommand, UndoKeepsTheRunsThatFitItsLimitAndANewPictureClearsThem) {
    install(starryImage(40, 30, 21));
    // Room for two pictures: of three runs the first cannot be undone.
    form1.history = DefocusHistory(2 * source->pixelBytes());
    form1.Blur1->trigger();
    const auto first = form1.currentImage->copy();
    form1.Blur1->trigger();
    form1.Blur1->trigger();
    for (int i = 0; i < 3; ++i) form1.UndoU1->trigger();
    expectImage(*first);

    install(starryImage(40, 30, 22));
    form1.UndoU1->trigger();
    form1.RedoR1->trigger();
    expectImage(*source);
    // Whatever the limit, the last run can be undone.
    form1.history = DefocusHistory(1);
    form1.Blur1->trigger();
    form1.UndoU1->trigger();
    expectImage(*source);
}

TEST_F(DefocusCommand, WithoutMemoryForTheUndoCopyTheRunGoesOnAndSaysSo) {
    install(starryImage(40, 30, 23));
    form1.Blur1->trigger();
    // The renderer takes no image of the picture's size; the copy for Undo does.
    const std::size_t limit = dib24::sectionLimit;
    dib24::sectionLimit = form1.currentImage->pixelBytes() - 1;
    form1.Blur1->trigger();
    dib24::sectionLimit = limit;
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "done (too little memory to keep an undo step)");
    const auto twice =
        rendered(*rendered(*source, masks, 0.1, 1.0, 1, nullptr), masks, 0.1, 1.0, 1, nullptr);
    expectImage(*twice);
    // Undo cannot put back the picture from before that run, so it has nothing to undo.
    form1.UndoU1->trigger();
    expectImage(*twice);
}

TEST_F(DefocusCommand, UndoAndRedoAreGreyedWithNothingToTakeBackAndSayWhatTheyDid) {
    install(starryImage(30, 20, 25));
    // After each command: Undo and Redo enabled, and the status bar's text.
    for (const auto& [command, undo, redo, said] :
         std::vector<std::tuple<QAction*, bool, bool, QString>>{
             {nullptr, false, false, ""},
             {form1.Blur1, true, false, "done"},
             {form1.Blur1, true, false, "done"},
             {form1.UndoU1, true, true, "Undone"},
             {form1.UndoU1, false, true, "Undone"},
             {form1.RedoR1, true, true, "Redone"},
             {form1.Blur1, true, false, "done"}}) {
        if (command) command->trigger();
        SCOPED_TRACE(command ? command->text().toStdString() : "start");
        EXPECT_EQ(form1.UndoU1->isEnabled(), undo);
        EXPECT_EQ(form1.RedoR1->isEnabled(), redo);
        EXPECT_EQ(form1.StatusBar1->currentMessage(), said);
    }
    install(starryImage(30, 20, 26));  // a new picture takes the steps along
    EXPECT_FALSE(form1.UndoU1->isEnabled());
}

TEST_F(DefocusCommand, DepthOfFieldThatCannotApplyIsGreyedAndTheRunSaysSo) {
    install(starryImage(50, 30, 27));
    EXPECT_FALSE(form2.CheckBoxDOF->isEnabled());
    form2.setDepthMask(depthRamp(50, 30));
    form2.CheckBoxDOF->click();
    ASSERT_TRUE(form2.CheckBoxDOF->isChecked());
    // A picture of another size drops the mask: the switch is greyed and keeps its tick.
    install(starryImage(40, 30, 28));
    EXPECT_FALSE(form2.CheckBoxDOF->isEnabled());
    EXPECT_TRUE(form2.CheckBoxDOF->isChecked());
    form1.Blur1->trigger();
    expectImage(*rendered(*source, masks, 0.1, 1.0, 1, nullptr));
    EXPECT_EQ(form1.StatusBar1->currentMessage(),
              "done, without depth of field: no depth mask (ZMask) of the picture's size is "
              "loaded");
    // The size question says what OK does.
    form2.setDepthMask(depthRamp(20, 15));
    ASSERT_EQ(prompts.boxes.size(), 1u);
    EXPECT_EQ(prompts.boxes[0].detail,
              "The picture is 40 \u00d7 30 pixels, the mask 20 \u00d7 15. OK resizes the mask "
              "to the picture's size.");
    EXPECT_TRUE(form2.CheckBoxDOF->isEnabled());
}

TEST_F(DefocusCommand, TheViewIsPaintedBeforeTheRunStarts) {
    install(starryImage(30, 12, 24));
    form1.StatusBar1->showMessage("before");
    QCoreApplication::processEvents();
    // Every paint of the view records what the status bar says at that moment.
    StatusBarPaints paints(form1.StatusBar1);
    form1.PaintBox1->installEventFilter(&paints);
    form1.Blur1->trigger();
    ASSERT_GE(paints.texts.size(), 2u);
    EXPECT_EQ(paints.texts[0], "before");
    EXPECT_EQ(paints.texts[1], "Processing line (0 / 12)");
}

// The preview box.

class Preview : public DefocusCommand {
protected:
    // A button press, moves and a release on the preview box, as the mouse sends them.
    void press(QPoint at, Qt::MouseButton button = Qt::LeftButton) {
        send(QEvent::MouseButtonPress, at, button, button);
        held_ = button;
    }
    void moveTo(QPoint at) {
        send(QEvent::MouseMove, at, Qt::NoButton, held_ ? Qt::MouseButtons(held_) : Qt::NoButton);
    }
    void release(QPoint at) {
        send(QEvent::MouseButtonRelease, at, held_, Qt::NoButton);
        held_ = Qt::NoButton;
    }

    QImage box() { return form2.PaintBox2->grab().toImage().convertToFormat(QImage::Format_RGB32); }

    // The box shows `image` from (left, top) at its top-left corner, black beyond it.
    void expectBoxShows(const dib24& image, int left, int top) {
        const QImage shown = box();
        for (int y = 0; y < shown.height(); y += 3)
            for (int x = 0; x < shown.width(); x += 3) {
                const bool inside = left + x < image.width && top + y < image.height;
                const QRgb expected =
                    inside ? pictureColor(image, left + x, top + y).rgb() : qRgb(0, 0, 0);
                ASSERT_EQ(shown.pixel(x, y), expected) << "at " << x << ", " << y;
            }
    }

private:
    void send(QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons buttons) {
        QMouseEvent event(type, QPointF(at), QPointF(form2.PaintBox2->mapToGlobal(at)), button,
                          buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(form2.PaintBox2, &event);
    }
    Qt::MouseButton held_ = Qt::NoButton;
};

TEST_F(Preview, TheBoxShowsThePictureAsItIsAfterEveryChange) {
    const QString file = QString::fromStdString((dir / "open.bmp").string());
    ASSERT_TRUE(testing_support::saveBitmap(*starryImage(300, 200, 29), file.toStdString()));
    prompts.fileAnswers = {file};
    install(starryImage(300, 200, 30));
    form1.CopyC1->trigger();
    for (QAction* change : {form1.Blur1, form1.UndoU1, form1.RedoR1, form1.PasteP1, form1.OpenO1}) {
        SCOPED_TRACE(change->text().toStdString());
        form2.Button2->click();  // a rendered preview on screen
        change->trigger();
        EXPECT_EQ(form2.previewImage, nullptr);
        expectBoxShows(*form1.currentImage, form2.previewLeft, form2.previewTop);
    }
    EXPECT_TRUE(prompts.boxes.empty());
}

TEST_F(Preview, AShiftClickOnTheMainPictureMovesTheRegionThere) {
    install(randomImage(2000, 1500, 31));
    form1.PaintBox1->zoomTo(-4);  // a quarter: the point in the view, and the region's corner
    for (const auto& [at, corner] : {std::pair{QPoint(250, 200), QPoint(1002 - 91, 802 - 91)},
                                     {QPoint(499, 374), QPoint(1817, 1317)}}) {
        form2.Button2->click();
        QTest::mouseClick(form1.PaintBox1, Qt::LeftButton, Qt::ShiftModifier, at);
        EXPECT_EQ(QPoint(form2.previewLeft, form2.previewTop), corner);
        EXPECT_EQ(form2.previewImage, nullptr);
    }
    // Without Shift a click picks nothing.
}

TEST_F(Preview, WithoutAnImageNothingHappensAndTheBoxStaysBlack) {
    press({50, 50});
    moveTo({10, 10});
    release({10, 10});
    form2.Button2->click();
    EXPECT_FALSE(form2.dragging);
    EXPECT_EQ(form2.previewImage, nullptr);
    EXPECT_EQ(form2.previewLeft, 0);
    const QImage shown = box();
    EXPECT_EQ(shown.pixel(0, 0), qRgb(0, 0, 0));
    EXPECT_EQ(shown.pixel(182, 182), qRgb(0, 0, 0));
}

TEST_F(Preview, ANewImageShowsItsSizeAndItsTopLeftCorner) {
    install(randomImage(640, 480, 11));
    EXPECT_EQ(form2.LabelGInfo->text(), "640 x 480");
    EXPECT_EQ(form2.previewLeft, 0);
    EXPECT_EQ(form2.previewTop, 0);
    expectBoxShows(*source, 0, 0);
}

TEST_F(Preview, PanningStaysWithinTheImageAndStoresNoOvershoot) {
    install(randomImage(1000, 500, 12));
    press({100, 100});
    EXPECT_TRUE(form2.dragging);
    moveTo({60, 90});  // the image follows the pointer
    EXPECT_EQ(form2.previewLeft, 40);
    EXPECT_EQ(form2.previewTop, 10);
    expectBoxShows(*source, 40, 10);
    moveTo({-5000, -5000});
    EXPECT_EQ(form2.previewLeft, 817);
    EXPECT_EQ(form2.previewTop, 317);
    expectBoxShows(*source, 817, 317);
    moveTo({-4990, -4995});  // back at once
    EXPECT_EQ(form2.previewLeft, 807);
    EXPECT_EQ(form2.previewTop, 312);
    moveTo({5000, 5000});
    EXPECT_EQ(form2.previewLeft, 0);
    EXPECT_EQ(form2.previewTop, 0);
    release({5000, 5000});
    EXPECT_FALSE(form2.dragging);
    moveTo({0, 0});  // a move with no button held changes nothing
    EXPECT_EQ(form2.previewLeft, 0);
    EXPECT_EQ(form2.previewTop, 0);
}

TEST_F(Preview, ASmallImageCannotBePannedAndRendersWhole) {
    install(starryImage(100, 80, 13));
    press({50, 50}, Qt::RightButton);
    moveTo({0, 0});
    release({0, 0});
    EXPECT_EQ(form2.previewLeft, 0);
    EXPECT_EQ(form2.previewTop, 0);
    form2.Button2->click();
    ASSERT_NE(form2.previewImage, nullptr);
    const auto expected = rendered(*source, masks, 0.1, 1.0, 1, nullptr);
    EXPECT_TRUE(samePixels(*form2.previewImage, *expected));
    expectBoxShows(*expected, 0, 0);
    expectImage(*source);  // the main image is never changed
}

TEST_F(Preview, RendersTheRegionAloneWithDepthOfFieldWhenSwitchedOn) {
    install(starryImage(400, 300, 14));
    form2.setDepthMask(depthRamp(400, 300));
    press({150, 150});
    moveTo({50, 100});
    release({50, 100});
    ASSERT_EQ(form2.previewLeft, 100);
    ASSERT_EQ(form2.previewTop, 50);
    const auto region = source->cropped(183, 183, 100, 50);
    const auto maskRegion = form2.depthMask->cropped(183, 183, 100, 50);
    form2.Edit1->setText("0.4");
    form2.Edit2->setText("60");
    form2.CheckBoxBlend->setChecked(false);

    // With the mask but without the switch: no depth of field, and no question.
    form2.Button2->click();
    EXPECT_TRUE(prompts.boxes.empty());
    ASSERT_NE(form2.previewImage, nullptr);
    EXPECT_TRUE(samePixels(*form2.previewImage, *rendered(*region, masks, 0.4, 1.0, 0, nullptr)));
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "done");

    form2.CheckBoxDOF->setChecked(true);
    form2.Button2->click();
    EXPECT_TRUE(prompts.boxes.empty());
    const DofSettings dof{maskRegion.get(), 60.0, 2.0};
    const auto expected = rendered(*region, masks, 0.4, 1.0, 0, &dof);
    EXPECT_TRUE(samePixels(*form2.previewImage, *expected));
    expectBoxShows(*expected, 0, 0);
    expectImage(*source);
}

TEST_F(Preview, APressDiscardsTheRenderedPreview) {
    install(starryImage(300, 300, 15));
    form2.Button2->click();
    ASSERT_NE(form2.previewImage, nullptr);
    press({10, 10});
    EXPECT_EQ(form2.previewImage, nullptr);
    release({10, 10});
    expectBoxShows(*source, 0, 0);
}

TEST_F(Preview, ANewImageResetsRegionPreviewAndMask) {
    install(starryImage(500, 400, 16));
    form2.setDepthMask(depthRamp(500, 400));
    press({100, 100});
    moveTo({20, 40});
    release({20, 40});
    form2.Button2->click();
    ASSERT_NE(form2.previewImage, nullptr);
    ASSERT_EQ(form2.previewLeft, 80);

    install(randomImage(320, 240, 17));
    EXPECT_EQ(form2.previewImage, nullptr);
    EXPECT_EQ(form2.depthMask, nullptr);
    EXPECT_EQ(form2.maskThumbnail, nullptr);
    EXPECT_EQ(form2.previewLeft, 0);
    EXPECT_EQ(form2.previewTop, 0);
    EXPECT_EQ(form2.LabelGInfo->text(), "320 x 240");
    expectBoxShows(*source, 0, 0);
}

TEST_F(Preview, ANewDiaphragmLeavesTheRenderedPreview) {
    install(starryImage(200, 200, 18));
    form2.Button2->click();
    const dib24* preview = form2.previewImage.get();
    auto square = randomImage(5, 5, 19);
    ASSERT_TRUE(testing_support::saveBitmap(*square, dir / "five.bmp"));
    prompts.fileAnswers.push_back(QString::fromStdString((dir / "five.bmp").string()));
    form2.Button1->click();
    EXPECT_EQ(form2.diaphragms.shape->width, 5);
    EXPECT_EQ(form2.previewImage.get(), preview);
}

}  // namespace
