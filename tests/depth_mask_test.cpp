// The diaphragm shape and the depth mask: their buttons, dialogs and messages, the size
// question, the thumbnails and where they are drawn.

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <fstream>
#include <new>

#include "support/default_diaphragm.h"
#include "tests/settings_support.h"
#include "ui/dib24_qt.h"

namespace {

using gui_support::pictureColor;
using settings_support::BothWindows;
using testing_support::makeImage;
using testing_support::randomImage;
using testing_support::samePixels;
using testing_support::TempDir;

const QString kDiaphragmError = QStringLiteral("Cannot open diaphragm image");
const QString kMaskError = QStringLiteral("Cannot open mask image");
const QString kSizeQuestion = QStringLiteral("Image & Mask size not match, continue?");

QImage shown(QWidget* box) {
    return box->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Every pixel of the box is black except inside `area`, where it shows `image` with its
// top-left corner at `area`'s.
void expectShownAt(QWidget* box, const dib24& image, QPoint corner) {
    const QImage pixels = shown(box);
    ASSERT_EQ(pixels.size(), box->size());
    for (int y = 0; y < pixels.height(); ++y) {
        for (int x = 0; x < pixels.width(); ++x) {
            const int u = x - corner.x(), t = y - corner.y();
            const bool inside = u >= 0 && t >= 0 && u < image.width && t < image.height;
            const QRgb expected = inside ? pictureColor(image, u, t).rgb() : qRgb(0, 0, 0);
            ASSERT_EQ(pixels.pixel(x, y), expected) << "at " << x << ", " << y;
        }
    }
}

class Diaphragm : public BothWindows {
protected:
    QString savedSquare(const std::string& name, int side, std::uint32_t seed) {
        auto image = randomImage(side, side, seed);
        EXPECT_TRUE(testing_support::saveBitmap(*image, dir / name));
        return QString::fromStdString((dir / name).string());
    }
    TempDir dir;
};

TEST_F(Diaphragm, ChoosingAShapeReplacesItAndDrawsItCentred) {
    const auto shape = randomImage(31, 31, 1);
    prompts.fileAnswers.push_back(savedSquare("small.bmp", 31, 1));
    form2.Button1->click();
    ASSERT_EQ(prompts.dialogs.size(), 1u);
    EXPECT_EQ(prompts.dialogs[0].owner, &form2);
    EXPECT_EQ(prompts.dialogs[0].mode, QFileDialog::AcceptOpen);
    EXPECT_EQ(prompts.dialogs[0].filter, "Bitmap image (*.bmp)");
    EXPECT_EQ(prompts.dialogs[0].defaultSuffix, "bmp");
    EXPECT_TRUE(prompts.boxes.empty());
    ASSERT_TRUE(form2.diaphragms.shape);
    EXPECT_TRUE(samePixels(*form2.diaphragms.shape, *shape));
    expectShownAt(form2.PaintBox1, *shape, {48, 48});

    // A shape larger than the box shows its middle: (127 - 200) / 2 is cut to -36.
    const auto large = randomImage(200, 200, 2);
    prompts.fileAnswers.push_back(savedSquare("large.bmp", 200, 2));
    form2.Button1->click();
    expectShownAt(form2.PaintBox1, *large, {-36, -36});
}

TEST_F(Diaphragm, TheFirstDialogOpensInTheGalleryLaterOnesWhereTheUserWas) {
    prompts.fileAnswers.push_back(savedSquare("a.bmp", 9, 3));
    form2.Button1->click();
    form2.Button1->click();
    ASSERT_EQ(prompts.dialogs.size(), 2u);
    EXPECT_EQ(prompts.dialogs[0].directory, QString::fromStdString(diaphragmGalleryFolder()));
    EXPECT_EQ(prompts.dialogs[1].directory, QString());
    // Load ZMask opens the dialog wherever it usually does.
    form1.installImage(randomImage(4, 4, 4));
    form2.Button4->click();
    ASSERT_EQ(prompts.dialogs.size(), 3u);
    EXPECT_EQ(prompts.dialogs[2].directory, QString());
}

TEST_F(Diaphragm, CancellingKeepsTheShapeAndShowsNothing) {
    const dib24* before = form2.diaphragms.shape.get();
    form2.Button1->click();
    EXPECT_EQ(prompts.dialogs.size(), 1u);
    EXPECT_EQ(form2.diaphragms.shape.get(), before);
    EXPECT_TRUE(prompts.boxes.empty());
}

TEST_F(Diaphragm, RefusedFilesShowTheErrorAndKeepTheShapeAndItsCopies) {
    ASSERT_NE(form2.diaphragms.GetMask(7), nullptr);
    const dib24* before = form2.diaphragms.shape.get();
    const std::size_t copies = form2.diaphragms.scaled.size();

    auto wide = randomImage(20, 10, 5);
    ASSERT_TRUE(testing_support::saveBitmap(*wide, dir / "wide.bmp"));
    std::ofstream(dir / "text.bmp") << "not a bitmap";
    for (const char* name : {"wide.bmp", "text.bmp", "missing.bmp"}) {
        SCOPED_TRACE(name);
        prompts.boxes.clear();
        prompts.fileAnswers.push_back(QString::fromStdString((dir / name).string()));
        form2.Button1->click();
        gui_support::expectOnlyBox(prompts, {.owner = &form2,
                                             .caption = "Error",
                                             .text = kDiaphragmError,
                                             .icon = QMessageBox::Critical,
                                             .buttons = QMessageBox::Ok});
        EXPECT_EQ(form2.diaphragms.shape.get(), before);
        EXPECT_EQ(form2.diaphragms.scaled.size(), copies);
    }
}

TEST_F(Diaphragm, APictureOfAnyFormatIsTakenAndARefusalGivesItsReason) {
    QImage square(9, 9, QImage::Format_RGB32);
    square.fill(qRgb(40, 80, 120));
    ASSERT_TRUE(square.save(QString::fromStdString((dir / "square.png").string())));
    auto wide = randomImage(20, 10, 5);
    ASSERT_TRUE(testing_support::saveBitmap(*wide, dir / "wide.bmp"));
    for (const char* name : {"square.png", "wide.bmp"})
        prompts.fileAnswers.push_back(QString::fromStdString((dir / name).string()));
    form2.Button1->click();
    EXPECT_EQ(form2.diaphragms.shape->width, 9);
    EXPECT_EQ(pictureColor(*form2.diaphragms.shape, 4, 4), QColor(40, 80, 120));
    form2.Button1->click();
    ASSERT_EQ(prompts.boxes.size(), 1u);
    EXPECT_EQ(prompts.boxes[0].text, kDiaphragmError);
    EXPECT_EQ(prompts.boxes[0].detail, "not square");
    EXPECT_EQ(form2.diaphragms.shape->width, 9);
}

class DepthMask : public BothWindows {
protected:
    QString saved(const std::string& name, const dib24& image) {
        EXPECT_TRUE(testing_support::saveBitmap(image, dir / name));
        return QString::fromStdString((dir / name).string());
    }
    TempDir dir;
};

TEST_F(DepthMask, ButtonsDoNothingWithoutAnImage) {
    copyToClipboard(*randomImage(5, 5, 6), nullptr);
    form2.Button4->click();
    form2.Button3->click();
    EXPECT_TRUE(prompts.dialogs.empty());
    EXPECT_TRUE(prompts.boxes.empty());
    EXPECT_EQ(form2.depthMask, nullptr);
    EXPECT_EQ(form2.maskThumbnail, nullptr);
}

TEST_F(DepthMask, AMaskOfTheImagesSizeIsInstalledWithoutAQuestion) {
    form1.installImage(randomImage(300, 200, 7));
    const auto mask = randomImage(300, 200, 8);
    prompts.fileAnswers.push_back(saved("mask.bmp", *mask));
    form2.Button4->click();
    ASSERT_EQ(prompts.dialogs.size(), 1u);
    EXPECT_EQ(prompts.dialogs[0].owner, &form2);
    EXPECT_EQ(prompts.dialogs[0].filter, "Bitmap image (*.bmp)");
    EXPECT_TRUE(prompts.boxes.empty());
    ASSERT_NE(form2.depthMask, nullptr);
    EXPECT_TRUE(samePixels(*form2.depthMask, *mask));
    ASSERT_NE(form2.maskThumbnail, nullptr);
    const auto thumbnail = mask->resized(127, 84);
    EXPECT_TRUE(samePixels(*form2.maskThumbnail, *thumbnail));
    // (127 - 127) / 2 = 0 and (127 - 84) / 2 = 21.
    expectShownAt(form2.PaintBox3, *thumbnail, {0, 21});
}

TEST_F(DepthMask, AnotherSizeIsResizedAfterOkAndDroppedAfterCancel) {
    form1.installImage(randomImage(60, 40, 9));
    const auto first = randomImage(60, 40, 10);
    form2.setDepthMask(testing_support::randomImage(60, 40, 10));
    const dib24* installed = form2.depthMask.get();
    const dib24* thumbnail = form2.maskThumbnail.get();

    const auto other = randomImage(30, 50, 11);
    const QString path = saved("other.bmp", *other);
    prompts.boxAnswer = QMessageBox::Cancel;
    prompts.fileAnswers.push_back(path);
    form2.Button4->click();
    gui_support::expectOnlyBox(prompts, {.owner = &form2,
                                         .caption = "Warning",
                                         .text = kSizeQuestion,
                                         .icon = QMessageBox::Warning,
                                         .buttons = QMessageBox::Ok | QMessageBox::Cancel});
    EXPECT_EQ(form2.depthMask.get(), installed);
    EXPECT_EQ(form2.maskThumbnail.get(), thumbnail);
    EXPECT_TRUE(samePixels(*form2.depthMask, *first));

    prompts.boxAnswer = QMessageBox::Ok;
    prompts.fileAnswers.push_back(path);
    form2.Button4->click();
    ASSERT_EQ(prompts.boxes.size(), 2u);
    ASSERT_NE(form2.depthMask, nullptr);
    EXPECT_TRUE(samePixels(*form2.depthMask, *other->resized(60, 40)));
    EXPECT_EQ(form2.maskThumbnail->width, 60);
    EXPECT_EQ(form2.maskThumbnail->height, 40);
}

TEST_F(DepthMask, AnUnreadableFileShowsTheErrorAndKeepsTheMask) {
    form1.installImage(randomImage(8, 8, 12));
    form2.setDepthMask(randomImage(8, 8, 13));
    const dib24* installed = form2.depthMask.get();
    std::ofstream(dir / "text.bmp") << "no picture";
    for (const char* name : {"text.bmp", "missing.bmp"}) {
        SCOPED_TRACE(name);
        prompts.boxes.clear();
        prompts.fileAnswers.push_back(QString::fromStdString((dir / name).string()));
        form2.Button4->click();
        ASSERT_EQ(prompts.boxes.size(), 1u);
        EXPECT_EQ(prompts.boxes[0].text, kMaskError);
        EXPECT_EQ(prompts.boxes[0].caption, "Error");
        EXPECT_EQ(prompts.boxes[0].owner, &form2);
        EXPECT_EQ(form2.depthMask.get(), installed);
    }
    // A cancelled dialog shows nothing.
    prompts.boxes.clear();
    form2.Button4->click();
    EXPECT_TRUE(prompts.boxes.empty());
    EXPECT_EQ(form2.depthMask.get(), installed);
}

TEST_F(DepthMask, TheClipboardGivesAMaskOrSilentlyNothing) {
    form1.installImage(randomImage(20, 10, 14));
    const auto mask = randomImage(20, 10, 15);
    ASSERT_TRUE(copyToClipboard(*mask, nullptr));
    form2.Button3->click();
    ASSERT_NE(form2.depthMask, nullptr);
    EXPECT_TRUE(samePixels(*form2.depthMask, *mask));
    EXPECT_TRUE(prompts.boxes.empty());

    const dib24* installed = form2.depthMask.get();
    QGuiApplication::clipboard()->setText("no picture");
    form2.Button3->click();
    EXPECT_TRUE(prompts.boxes.empty());
    EXPECT_EQ(form2.depthMask.get(), installed);
}

TEST_F(DepthMask, ANewImageDropsTheMaskAndBlackensItsBox) {
    form1.installImage(randomImage(50, 50, 16));
    form2.setDepthMask(randomImage(50, 50, 17));
    form1.installImage(randomImage(50, 50, 18));
    EXPECT_EQ(form2.depthMask, nullptr);
    EXPECT_EQ(form2.maskThumbnail, nullptr);
    const QImage box = shown(form2.PaintBox3);
    for (int y = 0; y < box.height(); y += 5)
        for (int x = 0; x < box.width(); x += 5) ASSERT_EQ(box.pixel(x, y), qRgb(0, 0, 0));
}

TEST_F(DepthMask, RunningOutOfMemoryLeavesTheOldMaskAndThumbnail) {
    form1.installImage(randomImage(300, 200, 19));
    form2.setDepthMask(randomImage(300, 200, 20));
    const dib24* installed = form2.depthMask.get();
    const dib24* thumbnail = form2.maskThumbnail.get();
    auto sameSize = randomImage(300, 200, 21);
    auto smaller = randomImage(30, 20, 22);

    const std::size_t limit = dib24::sectionLimit;
    dib24::sectionLimit = 1000;  // no thumbnail and no resized mask fits now
    EXPECT_THROW(form2.setDepthMask(std::move(sameSize)), std::bad_alloc);
    EXPECT_THROW(form2.setDepthMask(std::move(smaller)), std::bad_alloc);
    dib24::sectionLimit = limit;
    EXPECT_EQ(form2.depthMask.get(), installed);
    EXPECT_EQ(form2.maskThumbnail.get(), thumbnail);
}

struct ThumbnailCase {
    int width, height;
    int thumbWidth, thumbHeight;
};

void PrintTo(const ThumbnailCase& c, std::ostream* out) {
    *out << c.width << " x " << c.height;
}

class Thumbnail : public BothWindows, public testing::WithParamInterface<ThumbnailCase> {};

TEST_P(Thumbnail, KeepsTheRatioWithinTheBoxAndIsDrawnCentred) {
    const ThumbnailCase c = GetParam();
    auto uniform = [](int w, int h) {
        return makeImage(w, h, [](int x, int r, int ch) { return std::uint8_t(x + 3 * r + ch); });
    };
    form1.installImage(uniform(c.width, c.height));
    form2.setDepthMask(uniform(c.width, c.height));
    ASSERT_NE(form2.maskThumbnail, nullptr);
    EXPECT_EQ(form2.maskThumbnail->width, c.thumbWidth);
    EXPECT_EQ(form2.maskThumbnail->height, c.thumbHeight);
    expectShownAt(form2.PaintBox3, *form2.maskThumbnail,
                  {(127 - c.thumbWidth) / 2, (127 - c.thumbHeight) / 2});
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Thumbnail,
    testing::Values(ThumbnailCase{640, 480, 127, 95}, ThumbnailCase{300, 200, 127, 84},
                    ThumbnailCase{150, 400, 47, 127}, ThumbnailCase{100, 50, 100, 50},
                    ThumbnailCase{128, 128, 127, 127}, ThumbnailCase{127, 127, 127, 127},
                    ThumbnailCase{1, 1, 1, 1},
                    // The ratio makes a side of 0: it stays 1 pixel.
                    ThumbnailCase{20000, 100, 127, 1}, ThumbnailCase{100, 20000, 1, 127}));

}  // namespace
