#include "ui/Unit1.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QList>
#include <QMimeData>
#include <QMouseEvent>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <cmath>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "image/save_file.h"
#include "ui/Unit2.h"
#include "ui/defocus_jobs.h"
#include "ui/dib24_qt.h"
#include "ui/prompts.h"

namespace {

const QString kBitmapFilter = QStringLiteral("Bitmap file (*.bmp)");

// A file name as the system's file functions take it.
std::string localName(const QString& path) {
    const QByteArray local = QFile::encodeName(path);
    return std::string(local.constData(), static_cast<std::size_t>(local.size()));
}

// The first local file among dropped URLs; others in the same drop are ignored.
std::optional<QString> firstLocalFile(const QMimeData* data) {
    if (!data || !data->hasUrls()) return std::nullopt;
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile()) return url.toLocalFile();
    }
    return std::nullopt;
}

}  // namespace

TForm1::TForm1(QWidget* parent) : QMainWindow(parent) {
    setupUi(this);
    // The layout gives the size; a top-level window's place is set here. The window system
    // may still place it elsewhere.
    move(56, 139);
    connect(OpenO1, &QAction::triggered, this, &TForm1::OpenO1Click);
    connect(Saveas1, &QAction::triggered, this, &TForm1::Saveas1Click);
    connect(QuitQ1, &QAction::triggered, this, &TForm1::QuitQ1Click);
    connect(CopyC1, &QAction::triggered, this, &TForm1::CopyC1Click);
    connect(PasteP1, &QAction::triggered, this, &TForm1::PasteP1Click);
    connect(Blur1, &QAction::triggered, this, &TForm1::Blur1Click);
    connect(UndoU1, &QAction::triggered, this, &TForm1::UndoU1Click);
    connect(RedoR1, &QAction::triggered, this, &TForm1::RedoR1Click);
    connect(Settings1, &QAction::triggered, this, &TForm1::Settings1Click);
    SaveZMask1 = new QAction(QStringLiteral("Save ZMask as(&M)"), this);
    SaveZMask1->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_S));
    File1->insertAction(N1, SaveZMask1);
    connect(SaveZMask1, &QAction::triggered, this, &TForm1::SaveZMask1Click);

    // The view zooms about its middle from the menu; Ctrl with the wheel zooms about the
    // pointer.
    PaintBox1->setScrollArea(ScrollBox1);
    connect(ZoominI1, &QAction::triggered, this, [this] { PaintBox1->zoomBy(1); });
    connect(ZoomoutO1, &QAction::triggered, this, [this] { PaintBox1->zoomBy(-1); });
    connect(ActualsizeA1, &QAction::triggered, this, [this] { PaintBox1->zoomTo(0); });
    connect(PaintBox1, &PictureView::zoomChanged, this, &TForm1::updatePictureInfo);
    connect(FittowindowF1, &QAction::triggered, PaintBox1, &PictureView::fitToWindow);
    // Actions hold one shortcut in the layout; these answer to a second one as well.
    ZoominI1->setShortcuts({ZoominI1->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Equal)});
    RedoR1->setShortcuts({RedoR1->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Y)});
    livePreview = std::make_unique<LivePreview>(*this);
    connect(LivepreviewL1, &QAction::toggled, livePreview.get(), &LivePreview::setOn);
    // A Defocus or a preview box's render stops the live preview first.
    commandRun.onRunning = [this](bool running) { livePreview->pause(running); };
    // Double-clicks on the picture pick the focus; those beside it reach the viewport.
    PaintBox1->installEventFilter(this);
    setAcceptDrops(true);
    LabelPictureInfo = new QLabel(StatusBar1);
    LabelPictureInfo->setObjectName(QStringLiteral("LabelPictureInfo"));
    StatusBar1->addPermanentWidget(LabelPictureInfo);
    updateUndoRedo();
}

TForm1::~TForm1() = default;

void TForm1::installImage(std::unique_ptr<dib24> image, PictureMetadata metadata,
                          const QString& path) {
    history.clear();
    updateUndoRedo();
    currentImage = std::move(image);
    currentMetadata = std::move(metadata);
    pictureName_ = QFileInfo(path).fileName();
    PaintBox1->setPicture(currentImage.get());
    if (Form2) Form2->mainImageChanged(currentImage.get());
}

void TForm1::pixelsChanged() {
    PaintBox1->pictureChanged();
    if (Form2) Form2->mainImagePixelsChanged();
    updateUndoRedo();
}

void TForm1::updateUndoRedo() {
    UndoU1->setEnabled(history.undoSteps() > 0);
    RedoR1->setEnabled(history.redoSteps() > 0);
}

void TForm1::updatePictureInfo() {
    if (!currentImage) {
        LabelPictureInfo->clear();
        return;
    }
    // Whole percents from 10 % on, one decimal below (1:32 is 3.1 %).
    const double percent = PaintBox1->zoom() * 100;
    const QString zoom =
        percent >= 10 ? QString::number(std::lround(percent)) : QString::number(percent, 'f', 1);
    LabelPictureInfo->setText(
        QStringLiteral("%1 \u2014 %2 \u00d7 %3 \u2014 %4 %")
            .arg(pictureName_.isEmpty() ? QStringLiteral("Pasted picture") : pictureName_)
            .arg(currentImage->width)
            .arg(currentImage->height)
            .arg(zoom));
    // Laid out and painted now: a status bar left to the next pass of the event loop
    // (which repaints the whole bar for a new layout) would be painted along with whatever
    // paints first, such as the view before a Defocus run.
    QCoreApplication::sendPostedEvents(StatusBar1, QEvent::LayoutRequest);
    StatusBar1->repaint();
}

std::unique_ptr<dib24> readPictureFile(const QString& path, std::string* whyNot,
                                       PictureMetadata* metadata) {
    return readPicture(localName(path), whyNot, metadata);
}

PhotoDepth readPhotoDepthFile(const QString& path) {
    return readPhotoDepth(localName(path));
}

void TForm1::openImageFile(QWidget* owner, const QString& path) {
    std::string why;
    PictureMetadata metadata;
    auto image = readPictureFile(path, &why, &metadata);
    if (!image) {
        prompts::showError(owner, QStringLiteral("Cannot load image"), QString::fromStdString(why),
                           path);
        return;
    }
    installImage(std::move(image), std::move(metadata), path);
    loadDepthOfPhoto(path);
}

void TForm1::loadDepthOfPhoto(const QString& path) {
    if (!Form2) return;
    PhotoDepth depth = readPhotoDepthFile(path);
    if (depth.status == PhotoDepth::Status::Unusable) {
        StatusBar1->showMessage(QStringLiteral("The photo's depth map cannot be used: ") +
                                QString::fromStdString(depth.why));
        return;
    }
    if (depth.status != PhotoDepth::Status::Read) return;
    const int width = depth.mask->width, height = depth.mask->height;
    Form2->setPhotoDepthMask(std::move(depth.mask));
    StatusBar1->showMessage(
        QStringLiteral("Depth map of the photo loaded as ZMask (%1 x %2)").arg(width).arg(height));
}

void TForm1::OpenO1Click() {
    const QString path =
        prompts::choosePictureToOpen(this, kBitmapFilter, {}, QStringLiteral("Open picture"));
    if (path.isEmpty()) return;
    openImageFile(this, path);
}

void TForm1::Saveas1Click() {
    if (!currentImage) return;
    const QString path =
        prompts::choosePictureToSave(this, kBitmapFilter, QStringLiteral("Save picture as"));
    if (path.isEmpty()) return;
    // The format follows the name's extension. Written beside the target and renamed over
    // it only when complete, so a failed save never destroys the file that was there; a
    // signal that ends the program meanwhile removes the half-written file first.
    const SaveSignalGuard undoOnSignal;
    std::string why;
    if (!writePicture(*currentImage, localName(path), &currentMetadata, kDefaultQuality, &why))
        prompts::showError(this, QStringLiteral("Cannot save file"), QString::fromStdString(why),
                           path);
}

void TForm1::SaveZMask1Click() {
    if (!Form2 || !Form2->depthMask) {
        StatusBar1->showMessage(QStringLiteral("Load a depth mask (ZMask) to save it"));
        return;
    }
    const QString path = prompts::choosePictureToSave(this, kBitmapFilter,
                                                      QStringLiteral("Save depth mask (ZMask) as"));
    if (path.isEmpty()) return;
    const SaveSignalGuard undoOnSignal;
    std::string why;
    if (!writeGreyPicture(*Form2->depthMask, localName(path), kDefaultQuality, &why))
        prompts::showError(this, QStringLiteral("Cannot save file"), QString::fromStdString(why),
                           path);
}

void TForm1::QuitQ1Click() {
    // Ends the event loop at once, without a question, and a run in progress with it; the
    // program then returns 0.
    commandRun.stop();
    QCoreApplication::exit(0);
}

void TForm1::CopyC1Click() {
    if (!currentImage) return;
    if (!copyToClipboard(*currentImage, this)) {
        prompts::showError(nullptr, QStringLiteral("Cannot write clipboard"));
    }
}

void TForm1::PasteP1Click() {
    auto image = std::make_unique<dib24>(1, 1);
    std::string why;
    if (!pasteFromClipboard(*image, nullptr, &why)) {
        prompts::showError(nullptr,
                           QStringLiteral("Cannot read clipboard, maybe not supported format."),
                           QString::fromStdString(why));
        return;
    }
    installImage(std::move(image));
}

void TForm1::Blur1Click() {
    if (!currentImage || !Form2 || commandRun.running()) return;
    const BaseParameters base = Form2->readBaseParameters();
    SBNotifyer notifyer(StatusBar1);
    const bool depthOfField = Form2->depthOfFieldUsed();
    // Ticked, but the mask it needs is not there: the run goes without, and says so.
    const QString withoutDepth = Form2->CheckBoxDOF->isChecked() && !depthOfField
                                     ? QStringLiteral(
                                           ", without depth of field: no depth mask "
                                           "(ZMask) of the picture's size is loaded")
                                     : QString();
    if (depthOfField && !base.blend &&
        !prompts::askToContinue(this, QStringLiteral("Blend switch not checked, coninue?")))
        return;
    DofSettings dof;
    if (depthOfField) dof = Form2->readDofSettings(Form2->depthMask.get());
    // The menu bar and the view are painted now, without the menu or the question that
    // covered them, before the status bar shows the first progress text. Qt repaints a
    // widget without its opaque children, so the black viewport and the picture on it are
    // repainted each.
    MainMenu1->repaint();
    ScrollBox1->viewport()->repaint();
    PaintBox1->repaint();
    // Without memory for the copy the run goes on, and the older steps go as well: Undo
    // could no longer put back the picture from before this run.
    std::unique_ptr<dib24> before = currentImage->copy();
    if (!before) history.clear();
    // The worker renders a copy of the picture, with copies of the depth mask and the
    // diaphragm, while the window goes on; the result and the picture then change places,
    // so the copy holds the picture from before for Undo.
    std::unique_ptr<dib24> mask = before && depthOfField ? Form2->depthMask->copy() : nullptr;
    if (before && (mask || !depthOfField)) {
        RenderJob job = renderJobOf(*Form2, std::move(before), std::move(mask));
        job.reportProgress = true;
        RenderResult result = commandRun.run(std::move(job), commandsToGrey(), StatusBar1);
        if (result.failure) std::rethrow_exception(result.failure);
        if (result.stopped) {
            StatusBar1->showMessage(QStringLiteral("Defocus stopped"));
            return;
        }
        currentImage->swap(*result.image);
        history.recordDefocus(std::move(result.image));
        StatusBar1->showMessage(QStringLiteral("done") + withoutDepth);
        pixelsChanged();
        return;
    }
    // Without memory for the copies the run takes place here, on the window's thread; the
    // image changes only if the whole run succeeds (running out of memory reaches the
    // application's exception box).
    DefocusImage(*currentImage, Form2->diaphragms, base.density, base.gamma,
                 Form2->diaphragms.shape->width, base.blend, depthOfField ? &dof : nullptr,
                 &notifyer);
    if (before) {
        history.recordDefocus(std::move(before));
        StatusBar1->showMessage(QStringLiteral("done") + withoutDepth);
    } else {
        StatusBar1->showMessage(QStringLiteral("done (too little memory to keep an undo step)") +
                                withoutDepth);
    }
    pixelsChanged();
}

std::vector<QObject*> TForm1::commandsToGrey() {
    std::vector<QObject*> commands{OpenO1, Saveas1, PasteP1, Blur1, UndoU1, RedoR1};
    if (Form2) commands.push_back(Form2);
    return commands;
}

void TForm1::closeEvent(QCloseEvent* event) {
    // A run in progress is stopped; the window then closes as usual.
    commandRun.stop();
    QMainWindow::closeEvent(event);
}

void TForm1::UndoU1Click() {
    // Only the pixels change, as with Defocus: the settings window keeps its depth mask and
    // size label.
    if (!currentImage || !history.undo(*currentImage)) return;
    StatusBar1->showMessage(QStringLiteral("Undone"));
    pixelsChanged();
}

void TForm1::RedoR1Click() {
    if (!currentImage || !history.redo(*currentImage)) return;
    StatusBar1->showMessage(QStringLiteral("Redone"));
    pixelsChanged();
}

void TForm1::Settings1Click() {
    if (!Form2) return;
    Form2->show();
    Form2->raise();
    Form2->activateWindow();
}

void TForm1::PaintBox1DblClick(QPointF at) {
    const std::optional<QPoint> pixel = PaintBox1->pixelAt(at);
    if (!pixel || !Form2 || commandRun.running()) return;
    const int depth = Form2->pickFocus(*pixel);
    if (depth < 0) {
        StatusBar1->showMessage(QStringLiteral("Load a depth mask (ZMask) to pick the focus"));
        return;
    }
    StatusBar1->showMessage(
        QStringLiteral("Focus at depth %1 (%2, %3)").arg(depth).arg(pixel->x()).arg(pixel->y()));
}

void TForm1::PaintBox1ShiftClick(QPointF at) {
    const std::optional<QPoint> pixel = PaintBox1->pixelAt(at);
    if (pixel && Form2) Form2->showPreviewAt(*pixel);
}

void SBNotifyer::Notify(int row, int rows) {
    statusBar->showMessage(QStringLiteral("Processing line (%1 / %2)").arg(row).arg(rows));
    // Painted now: the event loop may not run until the renderer returns.
    statusBar->repaint();
}

void SBNotifyer::Done() {
    statusBar->showMessage(QStringLiteral("done"));
    statusBar->repaint();
}

bool TForm1::event(QEvent* event) {
    // The status bar holds one text that only the program sets; menu hovering would
    // otherwise replace it with the (empty) status tips of the menu items.
    if (event->type() == QEvent::StatusTip) return true;
    return QMainWindow::event(event);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == PaintBox1 && event->type() == QEvent::MouseButtonDblClick) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton) {
            PaintBox1DblClick(mouse->position());
            return true;
        }
    }
    if (watched == PaintBox1 && event->type() == QEvent::MouseButtonPress) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton && mouse->modifiers() & Qt::ShiftModifier) {
            PaintBox1ShiftClick(mouse->position());
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
    if (firstLocalFile(event->mimeData())) event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event) {
    const std::optional<QString> path = firstLocalFile(event->mimeData());
    if (!path || commandRun.running()) return;
    event->acceptProposedAction();
    // Opened once the drop has finished, so a message box does not keep the program the
    // file came from waiting for the end of the drag.
    QTimer::singleShot(0, this, [this, file = *path] { openImageFile(this, file); });
}
