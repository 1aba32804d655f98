// Helpers for the window tests: answering message boxes and file dialogs in the user's
// stead, checking the boxes shown, a shown main window, and comparing what a widget shows
// with an image's pixels.
#pragma once

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QScrollBar>
#include <QString>
#include <QTest>
#include <QWheelEvent>
#include <cstdint>
#include <deque>
#include <vector>

#include "image/dib24.h"
#include "tests/test_bitmaps.h"
#include "ui/Unit1.h"
#include "ui/prompts.h"

namespace gui_support {

// While it lives, message boxes and file dialogs are not shown but recorded and answered:
// every box with `boxAnswer`, every file dialog with the next of `fileAnswers` (an empty
// string, or no answer left, is a cancel).
class AnsweredPrompts {
public:
    AnsweredPrompts();
    ~AnsweredPrompts();
    AnsweredPrompts(const AnsweredPrompts&) = delete;
    AnsweredPrompts& operator=(const AnsweredPrompts&) = delete;

    std::vector<prompts::MessageBoxRequest> boxes;
    std::vector<prompts::FileDialogRequest> dialogs;
    QMessageBox::StandardButton boxAnswer = QMessageBox::Ok;
    std::deque<QString> fileAnswers;

private:
    prompts::MessageBoxAnswerer previousBoxes_;
    prompts::FileDialogAnswerer previousDialogs_;
};

// A shown main window, as the user sees it, with its boxes and dialogs answered and a
// folder for its files.
class ShownMainWindow : public testing::Test {
protected:
    void SetUp() override {
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    }

    // What the image view shows now.
    QImage view() {
        QCoreApplication::processEvents();
        return form.ScrollBox1->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }

    // The wheel turned over `at` in the viewport, sent to `target` (events that a program
    // sends do not travel on to the parents, as the window system's do).
    void wheel(QPoint at, int angle, Qt::KeyboardModifiers modifiers, QWidget* target) {
        QWidget* viewport = form.ScrollBox1->viewport();
        QWheelEvent event(target->mapFrom(viewport, QPointF(at)), viewport->mapToGlobal(at),
                          QPoint(), QPoint(0, angle), Qt::NoButton, modifiers, Qt::NoScrollPhase,
                          false);
        QCoreApplication::sendEvent(target, &event);
    }

    QScrollBar* horizontal() { return form.ScrollBox1->horizontalScrollBar(); }
    QScrollBar* vertical() { return form.ScrollBox1->verticalScrollBar(); }

    void expectSameImage(const dib24& expected) {
        ASSERT_NE(form.currentImage, nullptr);
        EXPECT_TRUE(testing_support::samePixels(*form.currentImage, expected));
    }

    AnsweredPrompts prompts;
    TForm1 form;
    testing_support::TempDir dir;
};

// Expects that exactly one message box was shown, and that it is `expected`: the same
// owner, caption, text, icon and buttons.
void expectOnlyBox(const AnsweredPrompts& prompts, const prompts::MessageBoxRequest& expected);

// The colour of the picture's pixel in column x of the row t rows below its top edge.
QColor pictureColor(const dib24& image, int x, int t);

}  // namespace gui_support
