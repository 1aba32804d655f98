// The settings window: its layout and how it fits the font, the parameter boxes and their
// normal form, Enter, Escape and leaving a box, and showing and hiding the window.

#include <gtest/gtest.h>
#include <locale.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <cfloat>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/numbers.h"
#include "tests/settings_support.h"

namespace {

using settings_support::BothWindows;

struct Placed {
    QWidget* widget;
    QWidget* parent;
    QRect geometry;
};

// Every control of the layout with its container and its place there.
std::vector<Placed> layoutOf(TForm2& f) {
    return {{f.GroupBox3, &f, {8, 8, 337, 225}},
            {f.Panel2, f.GroupBox3, {8, 24, 185, 185}},
            {f.PaintBox2, f.Panel2, {1, 1, 183, 183}},
            {f.Button2, f.GroupBox3, {208, 184, 113, 25}},
            {f.GroupBox4, f.GroupBox3, {208, 24, 113, 57}},
            {f.Panel1, &f, {8, 240, 129, 129}},
            {f.PaintBox1, f.Panel1, {1, 1, 127, 127}},
            {f.GroupBox2, &f, {160, 240, 185, 97}},
            {f.Edit1, f.GroupBox2, {96, 24, 81, 20}},
            {f.Edit4, f.GroupBox2, {96, 48, 81, 20}},
            {f.CheckBoxBlend, f.GroupBox2, {8, 72, 153, 17}},
            {f.Button1, &f, {216, 344, 129, 25}},
            {f.Panel3, &f, {8, 384, 129, 129}},
            {f.PaintBox3, f.Panel3, {1, 1, 127, 127}},
            {f.GroupBox1, &f, {160, 384, 185, 97}},
            {f.CheckBoxDOF, f.GroupBox1, {16, 24, 137, 17}},
            {f.Edit2, f.GroupBox1, {80, 48, 97, 20}},
            {f.Edit3, f.GroupBox1, {80, 72, 97, 20}},
            // The two depth-mask buttons sit below the DOF group, which holds three more
            // rows than the original layout.
            {f.Button4, &f, {216, 560, 129, 25}},
            {f.Button3, &f, {216, 592, 129, 25}}};
}

TEST(SettingsWindowLayout, ControlsCarryTheirCaptionsAndDefaults) {
    TForm1 form1;
    TForm2 form2(form1);
    EXPECT_EQ(form2.windowTitle(), "Defocus settings");
    const std::vector<std::pair<QString, QString>> captions{
        {form2.GroupBox3->title(), "Preview image"},
        {form2.Button2->text(), "Preview"},
        {form2.GroupBox4->title(), "Info"},
        {form2.Label5->text(), "Image size"},
        {form2.LabelGInfo->text(), "N/A"},
        {form2.GroupBox2->title(), "Base settings"},
        {form2.Label1->text(), "Paint density:"},
        {form2.Label4->text(), "Gamma scaling:"},
        {form2.CheckBoxBlend->text(), "Blend with source image"},
        {form2.Button1->text(), "Diaphragm shape"},
        {form2.GroupBox1->title(), "DOF settings"},
        {form2.CheckBoxDOF->text(), "Use DOF with ZMask"},
        {form2.Label2->text(), "Threshold:"},
        {form2.Label3->text(), "Dist. scaling:"},
        {form2.Button4->text(), "Load ZMask"},
        {form2.Button3->text(), "ZMask from clipboard"},
        // Before the first showing the boxes hold the layout's texts.
        {form2.Edit1->text(), "0.1"},
        {form2.Edit4->text(), "1.0"},
        {form2.Edit2->text(), "0"},
        {form2.Edit3->text(), "2.0"}};
    for (const auto& [shown, expected] : captions) EXPECT_EQ(shown, expected);
    EXPECT_TRUE(form2.CheckBoxBlend->isChecked());
    EXPECT_FALSE(form2.CheckBoxDOF->isChecked());
    EXPECT_EQ(form2.Label1->parentWidget(), form2.GroupBox2);
    EXPECT_EQ(form2.Label2->parentWidget(), form2.GroupBox1);
    EXPECT_EQ(form2.LabelGInfo->parentWidget(), form2.GroupBox4);
    EXPECT_EQ(form1.Form2, &form2);
    EXPECT_EQ(form2.Form1, &form1);
    ASSERT_TRUE(form2.diaphragms.shape);  // the default diaphragm beside the program
}

TEST(SettingsWindowLayout, IsAToolWindowOfFixedSizeAtItsPlace) {
    TForm1 form1;
    TForm2 form2(form1);
    EXPECT_EQ(form2.windowType(), Qt::Tool);
    EXPECT_TRUE(form2.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(form2.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(form2.minimumSize(), form2.maximumSize());
    EXPECT_GE(form2.width(), 352);
    EXPECT_GE(form2.height(), 551);
    EXPECT_EQ(form2.pos(), QPoint(616, 91));
    // Closing it never ends the program; only the main window does.
    EXPECT_FALSE(form2.testAttribute(Qt::WA_QuitOnClose));
}

TEST(SettingsWindowLayout, TabOrderFollowsTheGroups) {
    TForm1 form1;
    TForm2 form2(form1);
    const std::vector<QWidget*> expected{
        form2.Button2,           form2.Edit1,   form2.Edit4,  form2.CheckBoxBlend, form2.Button1,
        form2.CheckBoxDOF,       form2.Edit2,   form2.Edit3,  form2.Edit5,         form2.ComboBox1,
        form2.CheckBoxFocusArea, form2.Button4, form2.Button3};
    std::vector<QWidget*> chain;
    QWidget* w = form2.Button2;
    do {
        if (w->focusPolicy() & Qt::TabFocus) chain.push_back(w);
        w = w->nextInFocusChain();
    } while (w != form2.Button2 && chain.size() < 50);
    EXPECT_EQ(chain, expected);
}

// No control shows less than its text needs, none leaves its container or lies over
// another, and controls inside a group box stay below its title.
void expectEveryTextFits(TForm2& form2) {
    for (QWidget* w : form2.findChildren<QWidget*>()) {
        SCOPED_TRACE(w->objectName().toStdString());
        const QRect g = w->geometry();
        if (qobject_cast<QLabel*>(w) || qobject_cast<QAbstractButton*>(w)) {
            EXPECT_GE(g.width(), w->sizeHint().width());
            EXPECT_GE(g.height(), w->sizeHint().height());
        }
        if (qobject_cast<QLineEdit*>(w)) {
            EXPECT_GE(g.height(), w->sizeHint().height());
        }
        if (auto* box = qobject_cast<QGroupBox*>(w)) {
            EXPECT_GE(g.width(), box->minimumSizeHint().width());
        }
        QWidget* parent = w->parentWidget();
        EXPECT_TRUE(QRect(QPoint(0, 0), parent->size()).contains(g));
        if (auto* box = qobject_cast<QGroupBox*>(parent)) {
            EXPECT_GE(g.top(), box->contentsRect().top());
        }
        for (QWidget* other :
             parent->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (other == w) continue;
            EXPECT_FALSE(g.intersects(other->geometry())) << other->objectName().toStdString();
        }
    }
}

// Sets the application's font for the life of the object.
class ApplicationFont {
public:
    explicit ApplicationFont(int pixelSize) : previous_(QApplication::font()) {
        QFont font = previous_;
        font.setPixelSize(pixelSize);
        QApplication::setFont(font);
    }
    ~ApplicationFont() { QApplication::setFont(previous_); }

private:
    QFont previous_;
};

TEST(SettingsWindowLayout, ASmallFontKeepsEveryPlaceAndWidth) {
    ApplicationFont small(8);
    TForm1 form1;
    TForm2 form2(form1);
    EXPECT_EQ(form2.width(), 352);
    for (const Placed& placed : layoutOf(form2)) {
        SCOPED_TRACE(placed.widget->objectName().toStdString());
        EXPECT_EQ(placed.widget->parentWidget(), placed.parent);
        EXPECT_EQ(placed.widget->pos(), placed.geometry.topLeft());
        EXPECT_EQ(placed.widget->width(), placed.geometry.width());
        // Qt's styles draw no edit box lower than about 22 pixels, whatever the font; the
        // group box whose last row is an edit box may grow with it.
        if (qobject_cast<QLineEdit*>(placed.widget) || placed.widget == form2.GroupBox1) {
            EXPECT_GE(placed.widget->height(), placed.geometry.height());
        } else {
            EXPECT_EQ(placed.widget->height(), placed.geometry.height());
        }
    }
    // Labels sit where the layout puts them and are as large as their text.
    EXPECT_EQ(form2.Label1->pos(), QPoint(16, 27));
    EXPECT_EQ(form2.Label4->pos(), QPoint(8, 51));
    EXPECT_EQ(form2.Label2->pos(), QPoint(16, 51));
    EXPECT_EQ(form2.Label3->pos(), QPoint(8, 75));
    EXPECT_EQ(form2.Label5->pos(), QPoint(8, 16));
    EXPECT_EQ(form2.LabelGInfo->pos(), QPoint(24, 32));
    EXPECT_EQ(form2.Label1->size(), form2.Label1->sizeHint());
    expectEveryTextFits(form2);
}

TEST(SettingsWindowLayout, TheDesktopFontFitsWithoutClipping) {
    TForm1 form1;
    TForm2 form2(form1);
    expectEveryTextFits(form2);
    // The preview and the thumbnails never change size; the arrangement stays: the edit
    // boxes of a group stay in one column, the buttons in one column, right-aligned with
    // the group boxes.
    EXPECT_EQ(form2.PaintBox2->size(), QSize(183, 183));
    EXPECT_EQ(form2.PaintBox1->size(), QSize(127, 127));
    EXPECT_EQ(form2.PaintBox3->size(), QSize(127, 127));
    EXPECT_EQ(form2.Edit1->x(), form2.Edit4->x());
    EXPECT_EQ(form2.Edit2->x(), form2.Edit3->x());
    const int right = form2.GroupBox3->geometry().right();
    for (QWidget* w : std::vector<QWidget*>{form2.GroupBox2, form2.GroupBox1, form2.Button1,
                                            form2.Button4, form2.Button3})
        EXPECT_EQ(w->geometry().right(), right) << w->objectName().toStdString();
    EXPECT_EQ(form2.Button1->x(), form2.Button3->x());
}

class LargerFont : public testing::TestWithParam<int> {};

TEST_P(LargerFont, GrowsControlsAndWindowWithoutClipping) {
    ApplicationFont large(GetParam());
    TForm1 form1;
    TForm2 form2(form1);
    expectEveryTextFits(form2);
    EXPECT_GT(form2.width(), 352);
    EXPECT_EQ(form2.minimumSize(), form2.maximumSize());
    EXPECT_EQ(form2.PaintBox2->size(), QSize(183, 183));
    EXPECT_EQ(form2.PaintBox1->size(), QSize(127, 127));
    // The boxes show their normal form whole, and the size label a large picture's size.
    form2.validateParameters();
    for (QLineEdit* edit : {form2.Edit1, form2.Edit2, form2.Edit3, form2.Edit4})
        EXPECT_GT(edit->width(), edit->fontMetrics().horizontalAdvance(edit->text()));
    form2.LabelGInfo->setText("99999 x 99999");
    EXPECT_GE(form2.LabelGInfo->width(), form2.LabelGInfo->sizeHint().width());
}

INSTANTIATE_TEST_SUITE_P(PixelSizes, LargerFont, testing::Values(16, 20, 26));

TEST_F(BothWindows, FirstShowingNormalisesTheDefaults) {
    EXPECT_EQ(form2.Edit1->text(), "0.100000");
    EXPECT_EQ(form2.Edit4->text(), "1.000000");
    EXPECT_EQ(form2.Edit2->text(), "0");
    EXPECT_EQ(form2.Edit3->text(), "2.000000");
    EXPECT_TRUE(form2.CheckBoxBlend->isChecked());
    EXPECT_FALSE(form2.CheckBoxDOF->isChecked());
    EXPECT_EQ(form2.Edit5->text(), "0");
    EXPECT_EQ(form2.ComboBox1->currentText(), "Off");
    EXPECT_FALSE(form2.CheckBoxFocusArea->isChecked());
}

// One typed text and the box's text after Enter.
struct Normalised {
    const char* box;
    const char* typed;
    std::string expected;
};

void PrintTo(const Normalised& row, std::ostream* out) {
    *out << row.box << " '" << row.typed << "'";
}

class Normalisation : public BothWindows, public testing::WithParamInterface<Normalised> {
protected:
    QLineEdit* box(const std::string& name) {
        if (name == "density") return form2.Edit1;
        if (name == "threshold") return form2.Edit2;
        if (name == "distance") return form2.Edit3;
        if (name == "focus range") return form2.Edit5;
        return form2.Edit4;
    }
};

TEST_P(Normalisation, EnterWritesTheNormalForm) {
    QLineEdit* edit = box(GetParam().box);
    type(edit, QString::fromUtf8(GetParam().typed));
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(edit->text().toStdString(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Density, Normalisation,
    testing::Values(
        Normalised{"density", "1.5", "1.000000"}, Normalised{"density", "-0.2", "0.000000"},
        Normalised{"density", "0.25", "0.250000"}, Normalised{"density", "letters", "0.000000"},
        Normalised{"density", "0,5", "0.000000"},  // the comma ends the number
        Normalised{"density", "  .5x", "0.500000"}, Normalised{"density", "", "0.000000"},
        Normalised{"density", "inf", "0.000000"}, Normalised{"density", "nan", "0.000000"},
        Normalised{"density", "0x1p-1", "0.000000"}));

INSTANTIATE_TEST_SUITE_P(
    Threshold, Normalisation,
    testing::Values(Normalised{"threshold", "300", "255"}, Normalised{"threshold", "-7", "0"},
                    Normalised{"threshold", "12.9", "12"}, Normalised{"threshold", "", "0"},
                    Normalised{"threshold", "128", "128"}, Normalised{"threshold", "0x40", "0"},
                    Normalised{"threshold", "99999999999999999999", "255"},
                    Normalised{"threshold", "-99999999999999999999", "0"}));

INSTANTIATE_TEST_SUITE_P(FocusRange, Normalisation,
                         testing::Values(Normalised{"focus range", "300", "255"},
                                         Normalised{"focus range", "-7", "0"},
                                         Normalised{"focus range", "12.9", "12"},
                                         Normalised{"focus range", "", "0"}));

INSTANTIATE_TEST_SUITE_P(
    DistanceAndGamma, Normalisation,
    testing::Values(Normalised{"distance", "-1", "0.000000"},
                    Normalised{"distance", "3", "3.000000"},
                    Normalised{"distance", "2.5e1", "25.000000"},
                    Normalised{"distance", "1e200", formatFixed(1e200)},
                    // Beyond the double range: the largest number, which reads back as one.
                    Normalised{"distance", "1e400", formatFixed(DBL_MAX)},
                    Normalised{"gamma", "-1", "0.000000"}, Normalised{"gamma", "0", "0.000000"},
                    Normalised{"gamma", "2.2", "2.200000"},
                    Normalised{"gamma", "INF", "0.000000"}));

TEST_F(BothWindows, EnterNormalisesAllFourBoxesAndIsNotInserted) {
    form2.Edit1->setText("7");
    form2.Edit2->setText("-3");
    form2.Edit4->setText("-2");
    QSignalSpy returns(form2.Edit3, &QLineEdit::returnPressed);
    type(form2.Edit3, "4.5");
    QTest::keyClick(form2.Edit3, Qt::Key_Enter);  // the key pad's Enter too
    QTest::keyClick(form2.Edit3, Qt::Key_Return);
    EXPECT_EQ(form2.Edit1->text(), "1.000000");
    EXPECT_EQ(form2.Edit2->text(), "0");
    EXPECT_EQ(form2.Edit3->text(), "4.500000");
    EXPECT_EQ(form2.Edit4->text(), "0.000000");
    EXPECT_EQ(returns.count(), 0);  // the box never saw the key
}

TEST_F(BothWindows, EscapeTakesBackTheLastChangeWithoutNormalising) {
    form2.Edit2->setText("300");
    type(form2.Edit1, "0.75");
    ASSERT_EQ(form2.Edit1->text(), "0.75");
    QTest::keyClick(form2.Edit1, Qt::Key_Escape);
    EXPECT_EQ(form2.Edit1->text(), "0.100000");
    EXPECT_EQ(form2.Edit2->text(), "300");
}

TEST_F(BothWindows, LeavingABoxForAnotherControlNormalises) {
    focus(form2.Edit1);
    type(form2.Edit1, "1.5");
    form2.Edit2->setText("300");
    QTest::keyClick(form2.Edit1, Qt::Key_Tab);
    EXPECT_TRUE(form2.Edit4->hasFocus());
    EXPECT_EQ(form2.Edit1->text(), "1.000000");
    EXPECT_EQ(form2.Edit2->text(), "255");

    type(form2.Edit4, "-5");
    form2.Button2->setFocus(Qt::MouseFocusReason);
    EXPECT_EQ(form2.Edit4->text(), "0.000000");
}

TEST_F(BothWindows, TurningToTheMainWindowLeavesTheTypedText) {
    focus(form2.Edit1);
    type(form2.Edit1, "1.5");
    activate(&form1);
    EXPECT_FALSE(form2.Edit1->hasFocus());
    EXPECT_EQ(form2.Edit1->text(), "1.5");
    EXPECT_EQ(form2.readBaseParameters().density, 1.5);
    // Back in the settings window the box has the focus again and still the typed text.
    activate(&form2);
    EXPECT_TRUE(form2.Edit1->hasFocus());
    EXPECT_EQ(form2.Edit1->text(), "1.5");
}

TEST_F(BothWindows, ConsumersApplyOnlyLowerBounds) {
    form2.Edit1->setText("-3");
    form2.Edit4->setText("0");
    form2.Edit2->setText("12.7");
    form2.Edit3->setText("-1.5");
    form2.CheckBoxBlend->setChecked(false);
    // The numbers go to the renderer as typed; it applies the lower bounds (the Defocus
    // command's tests show the bytes).
    const BaseParameters base = form2.readBaseParameters();
    EXPECT_EQ(base.density, -3.0);
    EXPECT_EQ(base.gamma, 0.0);
    EXPECT_EQ(base.blend, 0);
    const DofSettings dof = form2.readDofSettings(nullptr);
    EXPECT_EQ(dof.threshold, 12.0);
    EXPECT_EQ(dof.distScaling, -1.5);

    form2.Edit1->setText("2.5");
    form2.Edit2->setText("1000");
    EXPECT_EQ(form2.readBaseParameters().density, 2.5);
    EXPECT_EQ(form2.readDofSettings(nullptr).threshold, 1000.0);
}

// Switches the C library and Qt to a German locale, whose decimal separator is a comma,
// for the life of the object.
class CommaLocale {
public:
    CommaLocale() : previousQt_(QLocale()) {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    }
    ~CommaLocale() { QLocale::setDefault(previousQt_); }
    bool cLibraryUsesComma() const { return cLibrary_.active(); }

private:
    QLocale previousQt_;
    testing_support::CommaLocale cLibrary_;
};

TEST_F(BothWindows, ACommaLocaleChangesNothing) {
    CommaLocale german;
    if (!german.cLibraryUsesComma())
        ADD_FAILURE() << "no German locale for the C library (the package 'locales' has localedef)";
    form2.Edit1->setText("0.5");
    form2.Edit2->setText("12,9");
    form2.Edit3->setText("1,5");
    form2.Edit4->setText("2.25");
    form2.validateParameters();
    EXPECT_EQ(form2.Edit1->text(), "0.500000");
    EXPECT_EQ(form2.Edit2->text(), "12");
    EXPECT_EQ(form2.Edit3->text(), "1.000000");
    EXPECT_EQ(form2.Edit4->text(), "2.250000");
    EXPECT_EQ(form2.readBaseParameters().gamma, 2.25);
}

TEST_F(BothWindows, SettingsShowsTheHiddenWindowAgainAndNormalises) {
    form2.close();
    EXPECT_FALSE(form2.isVisible());
    EXPECT_EQ(form1.Form2, &form2);  // closing only hides it
    form2.Edit1->setText("4");
    form2.Edit3->setText("abc");
    form1.Settings1->trigger();
    EXPECT_TRUE(form2.isVisible());
    EXPECT_TRUE(QTest::qWaitForWindowActive(&form2));
    EXPECT_EQ(form2.Edit1->text(), "1.000000");
    EXPECT_EQ(form2.Edit3->text(), "0.000000");

    // Already on screen, it is only brought forward; the boxes stay as they are.
    form2.Edit1->setText("4");
    activate(&form1);
    form1.Settings1->trigger();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&form2));
    EXPECT_EQ(form2.Edit1->text(), "4");
}

TEST_F(BothWindows, ClosingTheMainWindowEndsTheProgramWithTheSettingsOnScreen) {
    bool settingsShown = false;
    QTimer::singleShot(0, &form1, [this, &settingsShown] {
        settingsShown = form2.isVisible();
        form1.close();
    });
    QTimer::singleShot(5000, [] { QCoreApplication::exit(7); });  // in case nothing ends it
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_TRUE(settingsShown);
}

}  // namespace
