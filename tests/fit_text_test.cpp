// Fitting a fixed-position layout to the font: controls grow just enough, their
// neighbours and containers move and grow along, shared edges stay shared.

#include <gtest/gtest.h>

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

#include "ui/fit_text.h"

namespace {

template <typename Control>
Control* place(QWidget* parent, const QString& text, QRect geometry) {
    auto* control = new Control(text, parent);
    control->setGeometry(geometry);
    return control;
}

QLineEdit* edit(QWidget* parent, QRect geometry) {
    auto* box = new QLineEdit(parent);
    box->setGeometry(geometry);
    return box;
}

TEST(FitText, ALayoutWithRoomToSpareStaysAsItIs) {
    QWidget window;
    window.resize(400, 100);
    auto* button = place<QPushButton>(&window, "OK", {10, 10, 200, 40});
    auto* label = place<QLabel>(&window, "Name:", {10, 60, 10, 10});
    auto* box = edit(&window, {150, 56, 200, 30});
    growToFitText(&window);
    EXPECT_EQ(window.size(), QSize(400, 100));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    EXPECT_EQ(button->geometry(), QRect(10, 10, 200, 40));
    EXPECT_EQ(box->geometry(), QRect(150, 56, 200, 30));
    // A label takes exactly its text's size.
    EXPECT_EQ(label->geometry(), QRect(QPoint(10, 60), label->sizeHint()));
}

TEST(FitText, ALongLabelPushesItsBoxAndTheWindowKeepsItsMargin) {
    QWidget window;
    window.resize(120, 60);
    auto* label = place<QLabel>(&window, "A rather long caption:", {8, 12, 10, 10});
    auto* box = edit(&window, {40, 8, 60, 30});
    growToFitText(&window);
    const int labelEnd = 8 + label->sizeHint().width();
    EXPECT_EQ(box->geometry(), QRect(labelEnd + 6, 8, 60, 30));
    EXPECT_EQ(window.width(), box->geometry().right() + 1 + 20);
    EXPECT_EQ(window.height(), 60);
}

TEST(FitText, BoxesThatSharedAnEdgeStayInOneColumn) {
    QWidget window;
    window.resize(200, 80);
    place<QLabel>(&window, "x:", {8, 10, 10, 10});
    auto* first = edit(&window, {30, 6, 100, 30});
    auto* longLabel = place<QLabel>(&window, "A much longer caption:", {8, 46, 10, 10});
    auto* second = edit(&window, {30, 42, 100, 30});
    growToFitText(&window);
    EXPECT_EQ(first->x(), second->x());
    EXPECT_EQ(second->x(), 8 + longLabel->sizeHint().width() + 6);
    EXPECT_EQ(first->width(), 100);
    EXPECT_EQ(window.width(), second->geometry().right() + 1 + 70);
}

TEST(FitText, ButtonsRightAlignedWithAGroupStaySo) {
    QWidget window;
    window.resize(200, 120);
    auto* group = new QGroupBox("Group", &window);
    group->setGeometry(10, 10, 180, 60);
    auto* inside =
        place<QPushButton>(group, "A caption far too long for its button", {8, 24, 60, 25});
    auto* below = place<QPushButton>(&window, "Go", {110, 80, 80, 25});
    growToFitText(&window);
    EXPECT_GE(inside->width(), inside->sizeHint().width());
    EXPECT_EQ(group->geometry().right(), below->geometry().right());
    EXPECT_EQ(below->x(), 110);
    EXPECT_GE(group->width(), inside->geometry().right() + 1 + 8);
    EXPECT_EQ(window.width(), group->geometry().right() + 1 + 10);
}

TEST(FitText, AGroupWidenedToLineUpStretchesItsRightColumnButNoPictureBox) {
    QWidget window;
    window.resize(300, 200);
    auto* top = new QGroupBox("Top", &window);
    top->setGeometry(10, 10, 280, 100);
    auto* picture = new QFrame(top);
    picture->setGeometry(8, 20, 100, 72);
    auto* button = place<QPushButton>(top, "Go", {150, 67, 122, 25});
    auto* bottom = new QGroupBox("Bottom", &window);
    bottom->setGeometry(10, 120, 280, 70);
    place<QPushButton>(bottom, "A caption far too long for this rather narrow button",
                       {8, 30, 264, 25});
    growToFitText(&window);
    // The lower group grows; the upper one shares its right edge and is widened with it.
    EXPECT_GT(bottom->width(), 280);
    EXPECT_EQ(top->geometry().right(), bottom->geometry().right());
    // The button along the upper group's right margin reaches out and keeps the margin,
    // the picture box beside it keeps its size.
    EXPECT_EQ(button->x(), 150);
    EXPECT_EQ(button->geometry().right(), top->width() - 1 - 8);
    EXPECT_EQ(picture->geometry(), QRect(8, 20, 100, 72));
}

TEST(FitText, ControlsInAGroupStartBelowItsTitleAndTallOnesPushTheRowBelow) {
    QWidget window;
    window.resize(300, 200);
    QFont large = window.font();
    large.setPixelSize(30);
    auto* group = new QGroupBox("Title", &window);
    group->setFont(large);
    group->setGeometry(10, 10, 280, 150);
    auto* top = place<QPushButton>(group, "One", {10, 4, 100, 10});
    auto* next = place<QPushButton>(group, "Two", {10, 20, 100, 10});
    growToFitText(&window);
    EXPECT_GE(top->y(), group->contentsRect().top());
    EXPECT_GE(top->height(), top->sizeHint().height());
    EXPECT_GE(next->y(), top->geometry().bottom() + 1 + 2);
    EXPECT_FALSE(top->geometry().intersects(next->geometry()));
    EXPECT_LE(next->geometry().bottom(), group->height());
}

}  // namespace
