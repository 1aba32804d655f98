#include "tests/gui_support.h"

#include <gtest/gtest.h>

#include <utility>

#include "image/bmp_records.h"

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

std::vector<std::uint8_t> bitmapFile(std::int32_t width, std::int32_t height,
                                     std::uint16_t bitCount, std::uint32_t headerSize,
                                     const std::vector<std::uint8_t>& table,
                                     const std::vector<std::uint8_t>& rows) {
    const std::uint32_t offBits =
        static_cast<std::uint32_t>(bmp::kFileHeaderSize + headerSize + table.size());
    std::vector<std::uint8_t> file(offBits + rows.size(), 0);
    file[0] = 'B';
    file[1] = 'M';
    bmp::writeLE32(&file[2], static_cast<std::uint32_t>(file.size()));
    bmp::writeLE32(&file[10], offBits);
    BITMAPINFOHEADER header;
    header.biSize = headerSize;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = bitCount;
    header.biCompression = bmp::kCompressionRGB;
    header.biClrUsed = static_cast<std::uint32_t>(table.size() / 4);
    bmp::encodeInfoHeader(header, &file[bmp::kFileHeaderSize]);
    std::copy(table.begin(), table.end(), file.begin() + bmp::kFileHeaderSize + headerSize);
    std::copy(rows.begin(), rows.end(), file.begin() + offBits);
    return file;
}

}  // namespace gui_support
