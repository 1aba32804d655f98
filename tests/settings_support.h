// The two windows as the program makes them, for the tests of the settings window, the
// Defocus command and the preview.
#pragma once

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QString>
#include <QTest>
#include <memory>

#include "defocus/defocus.h"
#include "defocus/maskman.h"
#include "image/dib24.h"
#include "tests/gui_support.h"
#include "tests/test_bitmaps.h"
#include "ui/Unit1.h"
#include "ui/Unit2.h"

namespace settings_support {

// Both windows shown, with message boxes and file dialogs answered by the test.
class BothWindows : public testing::Test {
protected:
    void SetUp() override {
        form1.show();
        form2.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form1));
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form2));
    }

    // Replaces the text of an edit box by typing, as the user does.
    static void type(QLineEdit* edit, const QString& text) {
        edit->selectAll();
        if (text.isEmpty())
            QTest::keyClick(edit, Qt::Key_Delete);
        else
            QTest::keyClicks(edit, text);
    }

    // Makes `window` the active window, as a click on it does.
    static void activate(QWidget* window) {
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window));
    }

    // Activates the window of `widget` and gives `widget` the keyboard focus.
    static void focus(QWidget* widget) {
        activate(widget->window());
        widget->setFocus(Qt::OtherFocusReason);
        EXPECT_TRUE(widget->hasFocus());
    }

    gui_support::AnsweredPrompts prompts;
    TForm1 form1;
    TForm2 form2{form1};
};

// What the renderer makes of a copy of `source` with the given arguments and the shape of
// `masks`.
inline std::unique_ptr<dib24> rendered(const dib24& source, MaskMan& masks, double density,
                                       double gamma, int blend, const DofSettings* dof) {
    auto result = source.copy();
    DefocusImage(*result, masks, density, gamma, masks.shape->width, blend, dof, nullptr);
    return result;
}

}  // namespace settings_support
