// The main window: start-up state, menu, image view and scrolling, and the file and drop
// commands with their messages.

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QStatusTipEvent>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <exiv2/exiv2.hpp>
#include <filesystem>
#include <fstream>
#include <functional>

#include "tests/gui_support.h"
#include "tests/test_bitmaps.h"
#include "ui/Unit1.h"

namespace {

using gui_support::AnsweredPrompts;
using gui_support::pictureColor;
using testing_support::TempDir;

const QString kLoadError = QStringLiteral("Cannot load image");

std::unique_ptr<dib24> coded(int width, int height, std::uint32_t seed) {
    return testing_support::randomImage(width, height, seed);
}

QString saved(const TempDir& dir, const std::string& name, const dib24& image) {
    const auto path = dir / name;
    EXPECT_TRUE(testing_support::saveBitmap(image, path));
    return QString::fromStdString(path.string());
}

TEST(MainWindowLayout, AsksForItsPlaceAndSizeBeforeItIsShown) {
    // The window system may place it otherwise once it is shown.
    const TForm1 form;
    EXPECT_EQ(form.pos(), QPoint(56, 139));
    EXPECT_EQ(form.size(), QSize(538, 482));
}

using MainWindow = gui_support::ShownMainWindow;

TEST_F(MainWindow, StartsBlackWithTitleEmptyStatusBarAndNoImage) {
    EXPECT_EQ(form.windowTitle(), "Bokavo ver.0.32");
    EXPECT_EQ(QApplication::applicationName(), "Bokavo");
    EXPECT_EQ(QGuiApplication::desktopFileName(), "org.bokavo.Bokavo");
    EXPECT_EQ(form.StatusBar1->currentMessage(), "");
    EXPECT_EQ(form.currentImage, nullptr);
    const QImage shown = view();
    ASSERT_FALSE(shown.isNull());
    for (int y = 0; y < shown.height(); y += 7)
        for (int x = 0; x < shown.width(); x += 7) ASSERT_EQ(shown.pixel(x, y), qRgb(0, 0, 0));
    EXPECT_FALSE(form.ScrollBox1->horizontalScrollBar()->isVisible());
    EXPECT_FALSE(form.ScrollBox1->verticalScrollBar()->isVisible());
}

TEST_F(MainWindow, MenusHoldEveryItemInOrderWithItsCaptionAndShortcut) {
    ASSERT_EQ(form.MainMenu1->actions().size(), 3);
    EXPECT_EQ(form.File1->title(), "File(&F)");
    EXPECT_EQ(form.ProcessP1->title(), "Edit(&E)");
    EXPECT_EQ(form.ViewV1->title(), "View(&V)");
    const QList<QAction*> file{form.OpenO1, form.Saveas1, form.SaveZMask1, form.N1, form.QuitQ1};
    const QList<QAction*> edit{form.UndoU1, form.RedoR1,  form.N4, form.Blur1,    form.N3,
                               form.CopyC1, form.PasteP1, form.N2, form.Settings1};
    const QList<QAction*> view{form.ZoominI1, form.ZoomoutO1, form.ActualsizeA1, form.FittowindowF1,
                               form.LivepreviewL1};
    EXPECT_EQ(form.File1->actions(), file);
    EXPECT_EQ(form.ProcessP1->actions(), edit);
    EXPECT_EQ(form.ViewV1->actions(), view);

    using Keys = QList<QKeySequence>;
    const std::vector<std::tuple<QAction*, QString, Keys>> items{
        {form.OpenO1, "Open(&O)", {QKeySequence("Ctrl+O")}},
        {form.Saveas1, "Save as(&S)", {QKeySequence("Ctrl+S")}},
        {form.SaveZMask1, "Save ZMask as(&M)", {QKeySequence("Ctrl+Alt+S")}},
        {form.QuitQ1, "Quit(&Q)", {}},
        {form.UndoU1, "Undo(&U)", {QKeySequence("Ctrl+Z")}},
        {form.RedoR1, "Redo(&R)", {QKeySequence("Ctrl+Shift+Z"), QKeySequence("Ctrl+Y")}},
        {form.Blur1, "Defocus(&D)", {QKeySequence("Ctrl+D")}},
        {form.CopyC1, "Copy(&C)", {QKeySequence(Qt::CTRL | Qt::Key_C)}},
        {form.PasteP1, "Paste(&P)", {QKeySequence(Qt::CTRL | Qt::Key_V)}},
        {form.Settings1, "Settings(&S)", {}},
        {form.ZoominI1, "Zoom in(&I)", {QKeySequence("Ctrl++"), QKeySequence("Ctrl+=")}},
        {form.ZoomoutO1, "Zoom out(&O)", {QKeySequence("Ctrl+-")}},
        {form.ActualsizeA1, "Actual size(&A)", {QKeySequence("Ctrl+1")}},
        {form.FittowindowF1, "Fit to window(&F)", {QKeySequence("Ctrl+0")}}};
    for (const auto& [action, caption, keys] : items) {
        EXPECT_EQ(action->text(), caption);
        EXPECT_EQ(action->shortcuts(), keys) << caption.toStdString();
        // With nothing to take back, Undo and Redo are greyed.
        EXPECT_EQ(action->isEnabled(), action != form.UndoU1 && action != form.RedoR1)
            << caption.toStdString();
        EXPECT_FALSE(action->isCheckable()) << caption.toStdString();
    }
    for (QAction* separator : {form.N1, form.N2, form.N3, form.N4})
        EXPECT_TRUE(separator->isSeparator());
}

TEST_F(MainWindow, StatusBarTextIsNotClearedByMenuHover) {
    form.StatusBar1->showMessage("done");
    QStatusTipEvent hover{QString()};
    QCoreApplication::sendEvent(&form, &hover);
    EXPECT_EQ(form.StatusBar1->currentMessage(), "done");
}

TEST_F(MainWindow, SmallImageShowsAtTopLeftWithBlackAroundAndNoScrollBars) {
    const auto image = coded(100, 50, 1);
    form.installImage(coded(100, 50, 1));
    const QImage shown = view();
    EXPECT_EQ(shown.pixel(0, 0), pictureColor(*image, 0, 0).rgb());
    EXPECT_EQ(shown.pixel(99, 49), pictureColor(*image, 99, 49).rgb());
    EXPECT_EQ(shown.pixel(42, 17), pictureColor(*image, 42, 17).rgb());
    EXPECT_EQ(shown.pixel(100, 10), qRgb(0, 0, 0));
    EXPECT_EQ(shown.pixel(10, 50), qRgb(0, 0, 0));
    EXPECT_EQ(shown.pixel(shown.width() - 1, shown.height() - 1), qRgb(0, 0, 0));
    EXPECT_FALSE(form.ScrollBox1->horizontalScrollBar()->isVisible());
    EXPECT_FALSE(form.ScrollBox1->verticalScrollBar()->isVisible());
}

TEST_F(MainWindow, LargeImageScrollsOverExactlyItsOwnSize) {
    const auto image = coded(2000, 1500, 2);
    form.installImage(coded(2000, 1500, 2));
    QCoreApplication::processEvents();
    QScrollBar* horizontal = form.ScrollBox1->horizontalScrollBar();
    QScrollBar* vertical = form.ScrollBox1->verticalScrollBar();
    EXPECT_EQ(horizontal->maximum() + horizontal->pageStep(), 2000);
    EXPECT_EQ(vertical->maximum() + vertical->pageStep(), 1500);

    horizontal->setValue(321);
    vertical->setValue(654);
    QImage shown = view();
    EXPECT_EQ(shown.pixel(0, 0), pictureColor(*image, 321, 654).rgb());
    EXPECT_EQ(shown.pixel(50, 60), pictureColor(*image, 371, 714).rgb());

    // Scrolled to the end, the view's bottom-right pixel is the picture's.
    horizontal->setValue(horizontal->maximum());
    vertical->setValue(vertical->maximum());
    shown = view();
    const int w = shown.width(), h = shown.height();
    EXPECT_EQ(w, horizontal->pageStep());
    EXPECT_EQ(h, vertical->pageStep());
    EXPECT_EQ(shown.pixel(w - 1, h - 1), pictureColor(*image, 1999, 1499).rgb());
    EXPECT_EQ(shown.pixel(0, 0), pictureColor(*image, 2000 - w, 1500 - h).rgb());
}

TEST_F(MainWindow, InstallingASmallerImageShrinksTheScrollRanges) {
    form.installImage(coded(2000, 1500, 3));
    QCoreApplication::processEvents();
    const auto small = coded(40, 30, 4);
    form.installImage(coded(40, 30, 4));
    const QImage shown = view();
    EXPECT_EQ(form.ScrollBox1->horizontalScrollBar()->maximum(), 0);
    EXPECT_EQ(form.ScrollBox1->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(shown.pixel(39, 29), pictureColor(*small, 39, 29).rgb());
    EXPECT_EQ(shown.pixel(40, 29), qRgb(0, 0, 0));
}

TEST_F(MainWindow, OpenInstallsTheChosenFile) {
    const auto image = coded(13, 9, 5);
    prompts.fileAnswers.push_back(saved(dir, "a.bmp", *image));
    form.OpenO1->trigger();
    ASSERT_EQ(prompts.dialogs.size(), 1u);
    EXPECT_EQ(prompts.dialogs[0].mode, QFileDialog::AcceptOpen);
    EXPECT_EQ(prompts.dialogs[0].owner, &form);
    EXPECT_EQ(prompts.dialogs[0].filter, "Bitmap file (*.bmp)");
    EXPECT_EQ(prompts.dialogs[0].defaultSuffix, "bmp");
    expectSameImage(*image);
    EXPECT_TRUE(prompts.boxes.empty());
    EXPECT_EQ(view().pixel(12, 8), pictureColor(*image, 12, 8).rgb());
}

TEST_F(MainWindow, CancelledDialogsChangeNothingAndShowNoMessage) {
    form.OpenO1->trigger();
    EXPECT_EQ(form.currentImage, nullptr);

    form.installImage(coded(8, 8, 6));
    const dib24* shown = form.currentImage.get();
    form.OpenO1->trigger();
    form.Saveas1->trigger();
    EXPECT_EQ(prompts.dialogs.size(), 3u);
    EXPECT_EQ(form.currentImage.get(), shown);
    EXPECT_TRUE(prompts.boxes.empty());
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(MainWindow, UnreadableFilesShowTheLoadErrorAndKeepTheImage) {
    form.installImage(coded(300, 200, 7));
    QCoreApplication::processEvents();
    const dib24* shown = form.currentImage.get();
    const int range = form.ScrollBox1->horizontalScrollBar()->maximum();

    std::ofstream(dir / "text.bmp") << "This is not a bitmap.\n";
    const QString notThere = QString::fromStdString((dir / "missing.bmp").string());
    const QString folder = QString::fromStdString(dir.path().string());
    for (const QString& path :
         {QString::fromStdString((dir / "text.bmp").string()), notThere, folder}) {
        SCOPED_TRACE(path.toStdString());
        prompts.boxes.clear();
        prompts.fileAnswers.push_back(path);
        form.OpenO1->trigger();
        gui_support::expectOnlyBox(prompts, {.owner = &form,
                                             .caption = "Error",
                                             .text = kLoadError,
                                             .icon = QMessageBox::Critical,
                                             .buttons = QMessageBox::Ok});
        EXPECT_EQ(form.currentImage.get(), shown);
        EXPECT_EQ(form.ScrollBox1->horizontalScrollBar()->maximum(), range);
    }
}

TEST_F(MainWindow, CommandsThatNeedAnImageShowNothingWithoutOne) {
    form.Saveas1->trigger();
    form.CopyC1->trigger();
    form.Blur1->trigger();
    EXPECT_TRUE(prompts.dialogs.empty());
    EXPECT_TRUE(prompts.boxes.empty());
}

TEST_F(MainWindow, SaveWritesTheImageAndReplacesAnExistingFileWithoutAQuestion) {
    const auto image = coded(17, 11, 8);
    form.installImage(coded(17, 11, 8));
    const auto target = dir / "out.bmp";
    std::ofstream(target) << "old contents";
    prompts.fileAnswers.push_back(QString::fromStdString(target.string()));
    form.Saveas1->trigger();

    ASSERT_EQ(prompts.dialogs.size(), 1u);
    EXPECT_EQ(prompts.dialogs[0].mode, QFileDialog::AcceptSave);
    EXPECT_EQ(prompts.dialogs[0].filter, "Bitmap file (*.bmp)");
    EXPECT_EQ(prompts.dialogs[0].defaultSuffix, "bmp");
    EXPECT_TRUE(prompts.boxes.empty());
    const auto written = testing_support::loadBitmap(target);
    ASSERT_NE(written, nullptr);
    EXPECT_TRUE(testing_support::samePixels(*written, *image));
    // Only the file itself is left in the folder: no temporary file stays behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST_F(MainWindow, SaveIntoAMissingFolderShowsTheSaveError) {
    form.installImage(coded(4, 4, 9));
    prompts.fileAnswers.push_back(QString::fromStdString((dir / "no" / "such.bmp").string()));
    form.Saveas1->trigger();
    gui_support::expectOnlyBox(prompts, {.owner = &form,
                                         .caption = "Error",
                                         .text = "Cannot save file",
                                         .icon = QMessageBox::Critical,
                                         .buttons = QMessageBox::Ok});
}

// The camera's make as the metadata of the file at `path` names it, or nothing.
std::string cameraMake(const std::filesystem::path& path) {
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(path.string());
    image->readMetadata();
    const auto make = image->exifData().findKey(Exiv2::ExifKey("Exif.Image.Make"));
    return make == image->exifData().end() ? std::string() : make->toString();
}

TEST_F(MainWindow, SavesAnOpenedPhotoInTheChosenFormatWithItsMetadata) {
    const std::filesystem::path pictures = BOKAVO_PICTURES_DIR;
    for (const auto& path : {pictures / "camera.jpg", dir / "photo.png", dir / "photo.jpg"})
        prompts.fileAnswers.push_back(QString::fromStdString(path.string()));
    form.OpenO1->trigger();
    form.Saveas1->trigger();
    form.Saveas1->trigger();
    ASSERT_EQ(prompts.dialogs.size(), 3u);
    EXPECT_EQ(prompts.dialogs[0].filters.first(),
              "All pictures (*.bmp *.png *.jpg *.jpeg *.tif *.tiff *.webp *.heic *.heif *.avif)");
    EXPECT_EQ(prompts.dialogs[0].filters.mid(1),
              QStringList({"Bitmap file (*.bmp)", "All files (*)"}));
    EXPECT_EQ(prompts.dialogs[1].filters.first(), "Bitmap file (*.bmp)");
    EXPECT_EQ(prompts.dialogs[1].filters.size(), 5);
    EXPECT_TRUE(prompts.boxes.empty());
    ASSERT_EQ(form.currentImage->width, 30);  // upright
    EXPECT_EQ(cameraMake(dir / "photo.png"), "Bokavo Test Camera");
    EXPECT_EQ(cameraMake(dir / "photo.jpg"), "Bokavo Test Camera");

    // A pasted picture has no metadata of its own.
    form.CopyC1->trigger();
    form.PasteP1->trigger();
    prompts.fileAnswers.push_back(QString::fromStdString((dir / "pasted.jpg").string()));
    form.Saveas1->trigger();
    EXPECT_EQ(cameraMake(dir / "pasted.jpg"), "");
}

TEST_F(MainWindow, ErrorBoxesGiveTheReasonAsTheirDetail) {
    std::ofstream(dir / "text.bmp") << "This is not a bitmap.\n";
    prompts.fileAnswers = {QString::fromStdString((dir / "text.bmp").string()),
                           QString::fromStdString((dir / "no" / "such.jpg").string())};
    form.OpenO1->trigger();
    form.installImage(coded(4, 4, 9));
    form.Saveas1->trigger();
    ASSERT_EQ(prompts.boxes.size(), 2u);
    EXPECT_EQ(prompts.boxes[0].detail,
              "not a bitmap file, nor a PNG, JPEG, TIFF, WebP or HEIC picture");
    EXPECT_TRUE(prompts.boxes[1].detail.startsWith("cannot create a temporary file in"));
}

TEST_F(MainWindow, TheStatusBarsFieldNamesThePictureItsSizeAndTheZoom) {
    const QString nowhere = QString::fromStdString((dir / "no" / "such.png").string());
    prompts.fileAnswers = {saved(dir, "photo.bmp", *coded(600, 400, 15)), nowhere};
    for (const auto& [step, shown] : std::vector<std::pair<std::function<void()>, QString>>{
             {[&] { form.OpenO1->trigger(); }, "photo.bmp \u2014 600 \u00d7 400 \u2014 100 %"},
             {[&] { form.ZoominI1->trigger(); }, "photo.bmp \u2014 600 \u00d7 400 \u2014 141 %"},
             {[&] { form.PaintBox1->zoomTo(-10); }, "photo.bmp \u2014 600 \u00d7 400 \u2014 3.1 %"},
             {[&] { form.CopyC1->trigger(), form.PasteP1->trigger(); },
              "Pasted picture \u2014 600 \u00d7 400 \u2014 100 %"}}) {
        step();
        EXPECT_EQ(form.LabelPictureInfo->text(), shown);
    }
    // The file dialogs say what they are for, and the save error names the file above
    // the reason.
    form.Saveas1->trigger();
    EXPECT_EQ(prompts.dialogs.at(0).title, "Open picture");
    EXPECT_EQ(prompts.dialogs.at(1).title, "Save picture as");
    EXPECT_EQ(prompts::informativeText(prompts.boxes.at(0)),
              nowhere + "\n" + prompts.boxes[0].detail);
}

TEST_F(MainWindow, QuitEndsTheEventLoopWithStatusZero) {
    QTimer::singleShot(0, &form, [this] { form.QuitQ1->trigger(); });
    QTimer::singleShot(5000, [] { QCoreApplication::exit(7); });  // in case Quit does nothing
    EXPECT_EQ(QCoreApplication::exec(), 0);
}

// Drops.

std::unique_ptr<QMimeData> urlList(const QList<QUrl>& urls) {
    auto data = std::make_unique<QMimeData>();
    data->setUrls(urls);
    return data;
}

bool dragEnterAccepted(TForm1& form, const QMimeData& data) {
    QDragEnterEvent enter(QPoint(20, 60), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    enter.ignore();
    QCoreApplication::sendEvent(&form, &enter);
    return enter.isAccepted();
}

// A drag that enters the window and is dropped there, as a file manager does it.
void drop(TForm1& form, const QMimeData& data) {
    dragEnterAccepted(form, data);
    QDropEvent event(QPointF(20, 60), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&form, &event);
    QCoreApplication::processEvents();
}

TEST_F(MainWindow, DropOpensOnlyTheFirstLocalFile) {
    const auto first = coded(21, 14, 10);
    const auto second = coded(5, 5, 11);
    const QString firstPath = saved(dir, "first.bmp", *first);
    const QString secondPath = saved(dir, "second.bmp", *second);
    const auto data =
        urlList({QUrl("https://example.org/picture.bmp"), QUrl::fromLocalFile(firstPath),
                 QUrl::fromLocalFile(secondPath), QUrl::fromLocalFile("/no/such.bmp")});
    EXPECT_TRUE(form.acceptDrops());
    EXPECT_TRUE(dragEnterAccepted(form, *data));
    drop(form, *data);
    expectSameImage(*first);
    EXPECT_TRUE(prompts.boxes.empty());
    EXPECT_EQ(view().pixel(20, 13), pictureColor(*first, 20, 13).rgb());
}

TEST_F(MainWindow, DropTriesAnyFileWhateverItsName) {
    const auto image = coded(6, 3, 12);
    const QString path = saved(dir, "picture.dat", *image);
    drop(form, *urlList({QUrl::fromLocalFile(path)}));
    expectSameImage(*image);
}

TEST_F(MainWindow, DropOfANonBitmapShowsTheLoadErrorOwnedByTheWindow) {
    form.installImage(coded(9, 9, 13));
    const dib24* shown = form.currentImage.get();
    std::ofstream(dir / "notes.txt") << "text";
    drop(form, *urlList({QUrl::fromLocalFile(QString::fromStdString((dir / "notes.txt").string())),
                         QUrl::fromLocalFile(saved(dir, "good.bmp", *coded(2, 2, 14)))}));
    ASSERT_EQ(prompts.boxes.size(), 1u);
    EXPECT_EQ(prompts.boxes[0].text, kLoadError);
    EXPECT_EQ(prompts.boxes[0].caption, "Error");
    EXPECT_EQ(prompts.boxes[0].owner, &form);
    EXPECT_EQ(form.currentImage.get(), shown);
}

TEST_F(MainWindow, DragsWithoutLocalFilesAreRefused) {
    auto text = std::make_unique<QMimeData>();
    text->setText("/tmp/picture.bmp");
    EXPECT_FALSE(dragEnterAccepted(form, *text));
    EXPECT_FALSE(dragEnterAccepted(form, *urlList({QUrl("https://example.org/a.bmp")})));
    drop(form, *urlList({QUrl("https://example.org/a.bmp")}));
    EXPECT_EQ(form.currentImage, nullptr);
    EXPECT_TRUE(prompts.boxes.empty());
}

}  // namespace
