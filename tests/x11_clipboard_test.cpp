// The clipboard between Bokavo and another X11 program (xclip), on a private Xvfb server
// that this test program starts itself, so it runs without a desktop.

#include <gtest/gtest.h>

#include <QBuffer>
#include <QClipboard>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMimeData>
#include <QProcess>
#include <QTimer>
#include <cstdlib>
#include <string>

#include "image/dib_block.h"
#include "tests/gui_support.h"
#include "tests/test_bitmaps.h"
#include "tests/xvfb_server.h"
#include "ui/Unit1.h"
#include "ui/application.h"

namespace {

using gui_support::AnsweredPrompts;
using gui_support::pictureColor;
using testing_support::TempDir;

QByteArray bytesOf(const std::vector<std::uint8_t>& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

QByteArray pngOf(const QImage& picture) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(picture.save(&buffer, "PNG"));
    return png;
}

// Runs xclip to completion while the event loop keeps serving the clipboard; its output.
QByteArray xclipOutput(const QStringList& arguments) {
    QProcess xclip;
    QEventLoop loop;
    QObject::connect(&xclip, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    xclip.start("xclip", arguments);
    if (!xclip.waitForStarted()) {
        ADD_FAILURE() << "xclip did not start";
        return {};
    }
    if (xclip.state() != QProcess::NotRunning) loop.exec();
    EXPECT_EQ(xclip.state(), QProcess::NotRunning) << "xclip did not finish";
    EXPECT_EQ(xclip.exitCode(), 0) << xclip.readAllStandardError().toStdString();
    return xclip.readAllStandardOutput();
}

// xclip owning the clipboard with one picture type, until the object goes.
class XclipOffer {
public:
    XclipOffer(const QString& type, const QByteArray& bytes) {
        const QString path = QString::fromStdString((dir_ / "offer").string());
        testing_support::writeFileBytes(dir_ / "offer",
                                        std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
        xclip_.start("xclip", {"-quiet", "-selection", "clipboard", "-t", type, "-i", path});
        EXPECT_TRUE(xclip_.waitForStarted()) << "xclip did not start";
        // Ready once this program has lost the clipboard and sees the type offered.
        QClipboard* clipboard = QGuiApplication::clipboard();
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 10000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            if (clipboard->ownsClipboard()) continue;
            const QMimeData* data = clipboard->mimeData();
            if (data && data->formats().contains(type)) return;
        }
        ADD_FAILURE() << "xclip never offered " << type.toStdString();
    }
    ~XclipOffer() {
        xclip_.kill();
        xclip_.waitForFinished();
    }

private:
    TempDir dir_;
    QProcess xclip_;
};

class X11Clipboard : public testing::Test {
protected:
    AnsweredPrompts prompts;
    TForm1 form;
};

TEST_F(X11Clipboard, AnotherProgramReadsTheCopiedBitmapByteForByteAndAsPng) {
    const auto image = testing_support::randomImage(37, 23, 1);
    form.installImage(testing_support::randomImage(37, 23, 1));
    form.CopyC1Click();
    EXPECT_TRUE(prompts.boxes.empty());

    const QByteArray targets = xclipOutput({"-selection", "clipboard", "-t", "TARGETS", "-o"});
    EXPECT_TRUE(targets.contains("image/bmp")) << targets.toStdString();
    EXPECT_TRUE(targets.contains("image/png")) << targets.toStdString();

    EXPECT_EQ(xclipOutput({"-selection", "clipboard", "-t", "image/bmp", "-o"}),
              bytesOf(packBmp(*image)));

    const QImage png =
        QImage::fromData(xclipOutput({"-selection", "clipboard", "-t", "image/png", "-o"}), "PNG");
    ASSERT_EQ(png.size(), QSize(37, 23));
    for (int t = 0; t < 23; ++t)
        for (int x = 0; x < 37; ++x)
            ASSERT_EQ(png.pixel(x, t), pictureColor(*image, x, t).rgb()) << x << "," << t;
}

TEST_F(X11Clipboard, ALargePictureCrossesInPieces) {
    // Far beyond one X request, so the transfer runs incrementally.
    const auto image = testing_support::randomImage(700, 500, 2);
    form.installImage(testing_support::randomImage(700, 500, 2));
    form.CopyC1Click();
    EXPECT_EQ(xclipOutput({"-selection", "clipboard", "-t", "image/bmp", "-o"}),
              bytesOf(packBmp(*image)));
}

TEST_F(X11Clipboard, PastesABitmapAnotherProgramOffers) {
    const auto image = testing_support::randomImage(29, 31, 3);
    XclipOffer offer("image/bmp", bytesOf(packBmp(*image)));
    form.PasteP1Click();
    EXPECT_TRUE(prompts.boxes.empty());
    ASSERT_NE(form.currentImage, nullptr);
    EXPECT_TRUE(testing_support::samePixels(*form.currentImage, *image));
}

TEST_F(X11Clipboard, PastesAPngAnotherProgramOffersLaidOverWhite) {
    QImage picture(4, 3, QImage::Format_ARGB32);
    picture.fill(qRgba(20, 40, 60, 255));
    picture.setPixel(3, 2, qRgba(0, 0, 0, 0));
    XclipOffer offer("image/png", pngOf(picture));
    form.PasteP1Click();
    EXPECT_TRUE(prompts.boxes.empty());
    ASSERT_NE(form.currentImage, nullptr);
    ASSERT_EQ(form.currentImage->width, 4);
    ASSERT_EQ(form.currentImage->height, 3);
    EXPECT_EQ(pictureColor(*form.currentImage, 0, 0), QColor(20, 40, 60));
    EXPECT_EQ(pictureColor(*form.currentImage, 3, 2), QColor(255, 255, 255));
}

TEST_F(X11Clipboard, PastesA6000By6000PngAnotherProgramOffers) {
    // 137 MiB once decoded: more than Qt's own default limit of 128 MiB.
    QImage picture(6000, 6000, QImage::Format_RGB32);
    picture.fill(qRgb(70, 90, 110));
    XclipOffer offer("image/png", pngOf(picture));
    form.PasteP1Click();
    EXPECT_TRUE(prompts.boxes.empty());
    ASSERT_NE(form.currentImage, nullptr);
    EXPECT_EQ(form.currentImage->width, 6000);
    EXPECT_EQ(pictureColor(*form.currentImage, 5999, 5999), QColor(70, 90, 110));
}

TEST_F(X11Clipboard, RefusesA32BitBitmapAnotherProgramOffers) {
    form.installImage(testing_support::randomImage(5, 5, 4));
    const dib24* shown = form.currentImage.get();
    const testing_support::HandMade data{.width = 3,
                                         .height = 2,
                                         .bitCount = 32,
                                         .rows = std::vector<std::uint8_t>(3 * 2 * 4, 0x40)};
    XclipOffer offer("image/bmp", bytesOf(testing_support::bitmapFile(data)));
    form.PasteP1Click();
    ASSERT_EQ(prompts.boxes.size(), 1u);
    EXPECT_EQ(prompts.boxes[0].text, "Cannot read clipboard, maybe not supported format.");
    EXPECT_EQ(prompts.boxes[0].caption, "Error");
    EXPECT_EQ(form.currentImage.get(), shown);
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    return gui_support::runOnXvfb("X11 clipboard tests", [&] {
        qputenv("QT_QPA_PLATFORM", "xcb");
        BokavoApplication app(argc, argv);
        return RUN_ALL_TESTS();
    });
}
