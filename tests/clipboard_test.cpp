// Copy and paste through Qt's clipboard within the program, and the conversion of other
// picture types into a 24-bit packed bitmap.

#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QTest>

#include "image/bmp_records.h"
#include "image/dib_block.h"
#include "tests/gui_support.h"
#include "tests/test_bitmaps.h"
#include "ui/Unit1.h"
#include "ui/clipboard_formats.h"

namespace {

using clipboard_formats::packedDibFromPicture;
using gui_support::AnsweredPrompts;
using gui_support::pictureColor;

const QString kPasteError = QStringLiteral("Cannot read clipboard, maybe not supported format.");

QByteArray bytesOf(const std::vector<std::uint8_t>& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

void offer(const QString& type, const QByteArray& bytes) {
    auto* data = new QMimeData;
    data->setData(type, bytes);
    QGuiApplication::clipboard()->setMimeData(data);
}

class Clipboard : public testing::Test {
protected:
    void SetUp() override { QGuiApplication::clipboard()->clear(); }

    void expectPasteRefused() {
        form.installImage(testing_support::randomImage(7, 7, 99));
        const dib24* shown = form.currentImage.get();
        form.PasteP1->trigger();
        gui_support::expectOnlyBox(prompts, {.owner = nullptr,
                                             .caption = "Error",
                                             .text = kPasteError,
                                             .icon = QMessageBox::Critical,
                                             .buttons = QMessageBox::Ok});
        EXPECT_EQ(form.currentImage.get(), shown);
    }

    AnsweredPrompts prompts;
    TForm1 form;
};

TEST_F(Clipboard, CopyOffersTheBitmapFileAndAPngOfTheSamePicture) {
    const auto image = testing_support::randomImage(5, 3, 1);
    form.installImage(testing_support::randomImage(5, 3, 1));
    form.CopyC1->trigger();
    EXPECT_TRUE(prompts.boxes.empty());

    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    ASSERT_NE(data, nullptr);
    EXPECT_TRUE(data->formats().contains("image/bmp"));
    EXPECT_TRUE(data->formats().contains("image/png"));
    const QByteArray file = data->data("image/bmp");
    EXPECT_EQ(file, bytesOf(packBmp(*image)));
    // A file header, then exactly the 40-byte header and the rows as held.
    ASSERT_EQ(file.size(), 14 + 40 + 3 * 16);
    EXPECT_EQ(file.left(2), "BM");
    EXPECT_EQ(file.mid(54), QByteArray(reinterpret_cast<const char*>(image->bits), 3 * 16));

    const QImage png = QImage::fromData(data->data("image/png"), "PNG");
    ASSERT_EQ(png.size(), QSize(5, 3));
    for (int t = 0; t < 3; ++t)
        for (int x = 0; x < 5; ++x) EXPECT_EQ(png.pixel(x, t), pictureColor(*image, x, t).rgb());
}

TEST_F(Clipboard, CopyThenPasteGivesBackTheSamePixels) {
    const auto image = testing_support::randomImage(31, 17, 2);
    form.installImage(testing_support::randomImage(31, 17, 2));
    form.show();
    QApplication::setActiveWindow(&form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    QTest::keyClick(&form, Qt::Key_C, Qt::ControlModifier);
    form.installImage(testing_support::randomImage(3, 3, 3));
    QTest::keyClick(&form, Qt::Key_V, Qt::ControlModifier);
    ASSERT_NE(form.currentImage, nullptr);
    EXPECT_TRUE(testing_support::samePixels(*form.currentImage, *image));
    EXPECT_TRUE(prompts.boxes.empty());
}

TEST_F(Clipboard, CopyWithoutAnImageLeavesTheClipboardAlone) {
    QGuiApplication::clipboard()->setText("kept");
    form.CopyC1->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "kept");
    EXPECT_TRUE(prompts.boxes.empty());
}

TEST_F(Clipboard, CopyOfAnImageWithoutPixelsShowsTheWriteError) {
    QGuiApplication::clipboard()->setText("kept");
    form.installImage(std::make_unique<dib24>(0, 0));
    form.CopyC1->trigger();
    ASSERT_EQ(prompts.boxes.size(), 1u);
    EXPECT_EQ(prompts.boxes[0].text, "Cannot write clipboard");
    EXPECT_EQ(prompts.boxes[0].caption, "Error");
    EXPECT_EQ(prompts.boxes[0].icon, QMessageBox::Critical);
    EXPECT_EQ(prompts.boxes[0].owner, nullptr);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "kept");
}

TEST_F(Clipboard, PasteWithNothingOnTheClipboardShowsTheReadErrorEvenWithoutAnImage) {
    form.PasteP1->trigger();
    ASSERT_EQ(prompts.boxes.size(), 1u);
    EXPECT_EQ(prompts.boxes[0].text, kPasteError);
    EXPECT_EQ(form.currentImage, nullptr);
}

TEST_F(Clipboard, PasteOfTextIsRefused) {
    QGuiApplication::clipboard()->setText("a picture, honestly");
    expectPasteRefused();
}

// Every refusal of the block reader shows the same box (dib_decode_test.cpp has them all).
TEST_F(Clipboard, PasteOfABitmapTheReaderRefusesIsRefused) {
    using testing_support::HandMade;
    const HandMade refused[] = {
        {.width = 2, .height = 2, .bitCount = 32, .rows = std::vector<std::uint8_t>(16, 0x7F)},
        // 2 rows of 8 bytes, 3 missing.
        {.width = 2, .height = 2, .rows = std::vector<std::uint8_t>(8 * 2 - 3, 0x11)},
    };
    for (const HandMade& data : refused) {
        offer("image/bmp", bytesOf(testing_support::bitmapFile(data)));
        expectPasteRefused();
        prompts.boxes.clear();
    }
}

// A picture file on the clipboard that the codec refuses: the box adds the codec's reason.
TEST_F(Clipboard, PasteOfATruncatedPngGivesTheCodecsReason) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImage picture(40, 30, QImage::Format_RGB32);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) picture.setPixel(x, y, qRgb(x * 6, y * 8, (x * y) % 256));
    picture.save(&buffer, "PNG");
    offer("image/png", png.left(png.size() / 2));
    form.PasteP1->trigger();
    ASSERT_EQ(prompts.boxes.size(), 1u);
    EXPECT_EQ(prompts.boxes[0].text, kPasteError);
    EXPECT_TRUE(prompts.boxes[0].detail.startsWith("damaged or truncated PNG file ("))
        << prompts.boxes[0].detail.toStdString();
}

TEST_F(Clipboard, PasteReadsRowsAfterALongerInfoHeaderAndAColourTable) {
    // 24-bit, 2 x 2, with a 108-byte header and a two-entry table the rows must skip.
    const testing_support::HandMade data{.width = 2,
                                         .height = 2,
                                         .clrUsed = 2,
                                         .headerSize = 108,
                                         .table = {{9, 9, 9, 0}, {8, 8, 8, 0}},
                                         .rows = {1, 2, 3, 4, 5, 6, 0, 0,  // bottom row
                                                  7, 8, 9, 10, 11, 12, 0, 0}};
    offer("image/bmp", bytesOf(testing_support::bitmapFile(data)));
    form.PasteP1->trigger();
    EXPECT_TRUE(prompts.boxes.empty());
    ASSERT_NE(form.currentImage, nullptr);
    EXPECT_EQ(pictureColor(*form.currentImage, 0, 1), QColor(3, 2, 1));
    EXPECT_EQ(pictureColor(*form.currentImage, 1, 1), QColor(6, 5, 4));
    EXPECT_EQ(pictureColor(*form.currentImage, 0, 0), QColor(9, 8, 7));
    EXPECT_EQ(pictureColor(*form.currentImage, 1, 0), QColor(12, 11, 10));
}

TEST_F(Clipboard, PasteOfAnotherPictureTypeLaysItOverWhite) {
    QImage picture(3, 2, QImage::Format_ARGB32);
    picture.setPixel(0, 0, qRgba(10, 20, 30, 255));
    picture.setPixel(1, 0, qRgba(0, 0, 0, 0));
    picture.setPixel(2, 0, qRgba(255, 0, 0, 128));
    picture.setPixel(0, 1, qRgba(1, 2, 3, 255));
    picture.setPixel(1, 1, qRgba(200, 100, 50, 255));
    picture.setPixel(2, 1, qRgba(0, 0, 0, 255));
    auto* data = new QMimeData;
    data->setImageData(picture);
    QGuiApplication::clipboard()->setMimeData(data);

    form.PasteP1->trigger();
    EXPECT_TRUE(prompts.boxes.empty());
    ASSERT_NE(form.currentImage, nullptr);
    const dib24& pasted = *form.currentImage;
    ASSERT_EQ(pasted.width, 3);
    ASSERT_EQ(pasted.height, 2);
    EXPECT_EQ(pictureColor(pasted, 0, 0), QColor(10, 20, 30));
    EXPECT_EQ(pictureColor(pasted, 1, 0), QColor(255, 255, 255));
    EXPECT_EQ(pictureColor(pasted, 0, 1), QColor(1, 2, 3));
    EXPECT_EQ(pictureColor(pasted, 1, 1), QColor(200, 100, 50));
    // Half-transparent red over white: full red, about half of green and blue.
    const QColor pink = pictureColor(pasted, 2, 0);
    EXPECT_EQ(pink.red(), 255);
    EXPECT_NEAR(pink.green(), 127, 1);
    EXPECT_NEAR(pink.blue(), 127, 1);
}

TEST(PackedDibFromPicture, WritesA24BitHeaderAndPaddedRowsBottomUp) {
    QImage picture(2, 3, QImage::Format_RGB32);
    for (int t = 0; t < 3; ++t)
        for (int x = 0; x < 2; ++x) picture.setPixel(x, t, qRgb(10 * t + x, 100 + t, 200 + x));
    const std::vector<std::uint8_t> block = packedDibFromPicture(picture);
    const std::size_t stride = 8;  // 2 pixels of 3 bytes, padded to 8
    ASSERT_EQ(block.size(), 40 + 3 * stride);
    const BITMAPINFOHEADER header = bmp::decodeInfoHeader(block.data());
    EXPECT_EQ(header.biSize, 40u);
    EXPECT_EQ(header.biWidth, 2);
    EXPECT_EQ(header.biHeight, 3);
    EXPECT_EQ(header.biPlanes, 1);
    EXPECT_EQ(header.biBitCount, 24);
    EXPECT_EQ(header.biCompression, 0u);
    EXPECT_EQ(header.biClrUsed, 0u);
    for (int r = 0; r < 3; ++r) {
        const int t = 2 - r;
        const std::uint8_t* row = block.data() + 40 + r * stride;
        for (int x = 0; x < 2; ++x) {
            EXPECT_EQ(row[3 * x + 0], 200 + x);
            EXPECT_EQ(row[3 * x + 1], 100 + t);
            EXPECT_EQ(row[3 * x + 2], 10 * t + x);
        }
        EXPECT_EQ(row[6], 0);
        EXPECT_EQ(row[7], 0);
    }
    EXPECT_TRUE(packedDibFromPicture(QImage()).empty());
}

}  // namespace
