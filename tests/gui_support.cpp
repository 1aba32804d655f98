#include "tests/gui_support.h"

#include <gtest/gtest.h>

#include <utility>

namespace gui_support {

AnsweredPrompts::AnsweredPrompts() {
    previousBoxes_ = prompts::setMessageBoxAnswerer([this](const prompts::MessageBoxRequest& r) {
        boxes.push_back(r);
        return boxAnswer;
    });
    previousDialogs_ = prompts::setFileDialogAnswerer([this](const prompts::FileDialogRequest& r) {
        dialogs.push_back(r);
        if (fileAnswers.empty()) return QString();
        QString answer = std::move(fileAnswers.front());
        fileAnswers.pop_front();
        return answer;
    });
}

AnsweredPrompts::~AnsweredPrompts() {
    prompts::setMessageBoxAnswerer(std::move(previousBoxes_));
    prompts::setFileDialogAnswerer(std::move(previousDialogs_));
}

void expectOnlyBox(const AnsweredPrompts& prompts, const prompts::MessageBoxRequest& expected) {
    ASSERT_EQ(prompts.boxes.size(), 1u);
    const prompts::MessageBoxRequest& box = prompts.boxes[0];
    EXPECT_EQ(box.owner, expected.owner);
    EXPECT_EQ(box.caption, expected.caption);
    EXPECT_EQ(box.text, expected.text);
    EXPECT_EQ(box.icon, expected.icon);
    EXPECT_EQ(box.buttons, expected.buttons);
}

QColor pictureColor(const dib24& image, int x, int t) {
    const std::uint8_t* p = image.row(t) + 3 * x;
    return QColor(p[2], p[1], p[0]);
}

}  // namespace gui_support
