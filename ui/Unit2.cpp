#include "ui/Unit2.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QShowEvent>
#include <QWindow>
#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <exception>
#include <new>
#include <utility>

#include "support/numbers.h"
#include "ui/Unit1.h"
#include "ui/defocus_jobs.h"
#include "ui/dib24_qt.h"
#include "ui/fit_text.h"
#include "ui/focus_area.h"
#include "ui/prompts.h"

namespace {

const QString kBitmapFilter = QStringLiteral("Bitmap image (*.bmp)");
const QString kDiaphragmError = QStringLiteral("Cannot open diaphragm image");
// The item "Bright is near" of "Occlusion:", where a photo's nearness mask belongs.
constexpr int kBrightIsNear = 1;
// The value of Qt's X11 window-type property that stands for _NET_WM_WINDOW_TYPE_TOOLBAR.
constexpr int kX11ToolbarWindowType = 0x8;

std::string textOf(const QLineEdit* edit) {
    return edit->text().toStdString();
}

// "%f" of a value. A typed exponent beyond the double range reads as infinity, which would
// be written "inf" and read back as 0 next time; the largest finite number keeps it huge.
QString fixedText(double value) {
    return QString::fromStdString(formatFixed(std::clamp(value, -DBL_MAX, DBL_MAX)));
}

// The size of a depth mask's thumbnail in a box: the longer side fits the box (a square
// counts as tall), the other follows the ratio, cut toward zero, and nothing is enlarged.
// A side that the ratio makes 0 stays 1 pixel, so a long thin mask still gets a thumbnail.
QSize thumbnailSize(int width, int height, int boxWidth, int boxHeight) {
    int thumbWidth, thumbHeight;
    if (width > height) {
        thumbWidth = std::min(width, boxWidth);
        thumbHeight = static_cast<int>(height * (static_cast<double>(thumbWidth) / width));
    } else {
        thumbHeight = std::min(height, boxHeight);
        thumbWidth = static_cast<int>(width * (static_cast<double>(thumbHeight) / height));
    }
    return QSize(std::max(thumbWidth, 1), std::max(thumbHeight, 1));
}

// Sizes here are at least 1 and the sources hold pixels, so a missing result means the
// memory ran out; that travels as an exception to the application's exception box.
std::unique_ptr<dib24> resizedOrThrow(const dib24& image, int width, int height) {
    std::unique_ptr<dib24> result = image.resized(width, height);
    if (!result) throw std::bad_alloc();
    return result;
}

std::unique_ptr<dib24> croppedOrThrow(const dib24& image, int width, int height, int left,
                                      int top) {
    std::unique_ptr<dib24> result = image.cropped(width, height, left, top);
    if (!result->bits) throw std::bad_alloc();
    return result;
}

// Draws `image` unscaled and centred in a box of `box` size; the offsets are cut toward
// zero, so an image larger than the box shows its middle.
void drawCentred(QWidget* box, const dib24& image) {
    QPainter painter(box);
    const int left = (box->width() - image.width) / 2;
    const int top = (box->height() - image.height) / 2;
    draw(image, painter, left, top, image.width, image.height, 0, 0);
}

}  // namespace

void reportMissingDiaphragm(const DefaultDiaphragmMissing& error) {
    std::fprintf(stderr, "bokavo: %s: %s\n", kDiaphragmError.toUtf8().constData(), error.what());
    prompts::showError(nullptr, kDiaphragmError, QString::fromUtf8(error.what()));
}

TForm2::TForm2(TForm1& mainWindow, const std::vector<std::string>& diaphragmCandidates)
    : Form1(&mainWindow) {
    std::string whyNot;
    if (!loadFirstDiaphragm(diaphragms, diaphragmCandidates, &whyNot))
        throw DefaultDiaphragmMissing("no lmask.bmp could be loaded (" + whyNot + ")");

    setupUi(this);
    // On X11 Qt makes a tool window a utility window, which window managers give a minimise
    // box; openbox then also draws a maximise box beside it, although the fixed size allows
    // no maximising. Named a torn-off toolbar first, the window keeps only its close box
    // there as well. Qt reads this type when the window's flags are set, which is why the
    // window is created just before; other platforms ignore it.
    winId();
    windowHandle()->setProperty("_q_xcb_wm_window_type", kX11ToolbarWindowType);
    // A tool window with a small caption and only a close box, which hides it. It does
    // not keep the program running once the main window is closed.
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setAttribute(Qt::WA_QuitOnClose, false);
    move(616, 91);
    // The boxes start with the renderer's defaults. Where a text does not fit in the
    // desktop's font, its control grows; the window's size is then fixed. The boxes keep
    // room for their normal form ("0.100000"), the size label for a five-digit width and
    // height.
    const auto shortText = [](double value) { return QString::fromStdString(formatShort(value)); };
    QLineEdit* const boxes[] = {Edit1, Edit4, Edit2, Edit3, Edit5};
    const QString defaults[] = {shortText(kPaintDensity.initial), shortText(kGammaScaling.initial),
                                QString::number(DofSettings::kThreshold.initial),
                                shortText(DofSettings::kDistScaling.initial),
                                QString::number(DofSettings::kFocusRange.initial)};
    for (int i = 0; i < 5; ++i) boxes[i]->setText(defaults[i]);
    validateParameters();
    LabelGInfo->setText(QStringLiteral("99999 x 99999"));
    LabelShapeSize->setText(QStringLiteral("9999 px"));
    growToFitText(this);
    LabelGInfo->setText(QStringLiteral("N/A"));
    updateShapeSize();
    updateDepthOfFieldSwitch();
    for (int i = 0; i < 5; ++i) boxes[i]->setText(defaults[i]);

    connect(Button1, &QPushButton::clicked, this, &TForm2::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TForm2::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &TForm2::Button3Click);
    connect(Button4, &QPushButton::clicked, this, &TForm2::Button4Click);
    connect(CheckBoxFocusArea, &QCheckBox::toggled, this, &TForm2::updateFocusArea);
    for (QCheckBox* box : {CheckBoxBlend, CheckBoxDOF})
        connect(box, &QCheckBox::toggled, this, &TForm2::parametersChanged);
    connect(ComboBox1, &QComboBox::currentIndexChanged, this, &TForm2::parametersChanged);
    // The paint boxes and edit boxes have no classes of their own; their events come here.
    for (QWidget* box : {PaintBox1, PaintBox2, PaintBox3}) box->installEventFilter(this);
    for (QLineEdit* edit : {Edit1, Edit2, Edit3, Edit4, Edit5}) edit->installEventFilter(this);

    mainWindow.Form2 = this;
    connect(this, &TForm2::parametersChanged, mainWindow.livePreview.get(), &LivePreview::refresh);
    connect(this, &TForm2::depthMaskChanged, mainWindow.livePreview.get(),
            &LivePreview::depthMaskChanged);
}

TForm2::~TForm2() {
    // The main view's tint reads this window's depth mask.
    if (focusAreaShown_) Form1->PaintBox1->setOverlay({});
    FormDestroy();
    if (Form1->Form2 == this) Form1->Form2 = nullptr;
}

void TForm2::FormDestroy() {
    focusArea_.setMask(nullptr);
    previewImage.reset();
    depthMask.reset();
    maskThumbnail.reset();
}

void TForm2::showEvent(QShowEvent* event) {
    // A window restored by the window system is no new showing.
    if (!event->spontaneous()) FormShow();
    QWidget::showEvent(event);
}

void TForm2::FormShow() {
    validateParameters();
}

void TForm2::validateParameters() {
    const double density = readDecimal(textOf(Edit1));
    Edit1->setText(fixedText(density > 1 ? 1.0 : density >= 0 ? density : 0.0));

    const std::int32_t threshold = readInteger(textOf(Edit2));
    Edit2->setText(QString::fromStdString(formatInteger(std::clamp(threshold, 0, 255))));

    const double distScaling = readDecimal(textOf(Edit3));
    Edit3->setText(fixedText(distScaling >= 0 ? distScaling : 0.0));

    const double gamma = readDecimal(textOf(Edit4));
    Edit4->setText(fixedText(gamma >= 0 ? gamma : 0.0));

    const std::int32_t focusRange = readInteger(textOf(Edit5));
    Edit5->setText(
        QString::fromStdString(formatInteger(DofSettings::kFocusRange.clamp(focusRange))));

    updateFocusArea();
    emit parametersChanged();
}

BaseParameters TForm2::readBaseParameters() const {
    BaseParameters parameters;
    parameters.density = readDecimal(textOf(Edit1));
    parameters.gamma = readDecimal(textOf(Edit4));
    parameters.blend = CheckBoxBlend->isChecked() ? 1 : 0;
    return parameters;
}

bool TForm2::depthOfFieldUsed() const {
    return depthMask && CheckBoxDOF->isChecked();
}

DofSettings TForm2::readDofSettings(const dib24* mask) const {
    DofSettings dof;
    dof.depthMask = mask;
    dof.threshold = readInteger(textOf(Edit2));
    dof.distScaling = readDecimal(textOf(Edit3));
    dof.focusRange = readInteger(textOf(Edit5));
    // The items are in the order of the choices.
    constexpr Occlusion kOcclusions[] = {Occlusion::Off, Occlusion::BrightNear,
                                         Occlusion::DarkNear};
    dof.occlusion = kOcclusions[std::clamp(ComboBox1->currentIndex(), 0, 2)];
    return dof;
}

int TForm2::pickFocus(QPoint pixel) {
    if (!depthMask || pixel.x() < 0 || pixel.y() < 0 || pixel.x() >= depthMask->width ||
        pixel.y() >= depthMask->height)
        return -1;
    // Blue is the first byte of a pixel.
    const int depth = depthMask->row(pixel.y())[3 * pixel.x()];
    Edit2->setText(QString::number(depth));
    CheckBoxDOF->setChecked(true);
    validateParameters();
    return depth;
}

void TForm2::updateFocusArea() {
    const bool show = depthMask && CheckBoxFocusArea->isChecked();
    if (!show && !focusAreaShown_) return;
    focusAreaShown_ = show;
    PictureView* view = Form1->PaintBox1;
    if (show) {
        focusArea_.setDepths(
            depthsInFocus(readDofSettings(depthMask.get()), diaphragms.shape->width));
        view->setOverlay([this, view](QPainter& painter, const QRect& pixels) {
            focusArea_.paintOnView(painter, *view, pixels);
        });
    } else {
        view->setOverlay({});
    }
    PaintBox2->update();
}

void TForm2::EditExit(QLineEdit*) {
    validateParameters();
}

bool TForm2::EditKeyPress(QLineEdit* sender, const QKeyEvent* key) {
    switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            validateParameters();
            return true;
        case Qt::Key_Escape:
            sender->undo();
            return false;
        default:
            return false;
    }
}

const dib24* TForm2::mainImage() const {
    return Form1->currentImage.get();
}

void TForm2::updateDepthOfFieldSwitch() {
    CheckBoxDOF->setEnabled(depthMask != nullptr);
    CheckBoxDOF->setToolTip(depthMask ? QString()
                                      : QStringLiteral("Load a depth mask (ZMask) of the "
                                                       "picture's size to use depth of field"));
}

void TForm2::updateShapeSize() {
    LabelShapeSize->setText(QStringLiteral("%1 px").arg(diaphragms.shape->width));
}

void TForm2::mainImageChanged(const dib24* image) {
    previewImage.reset();
    focusArea_.setMask(nullptr);
    depthMask.reset();
    maskThumbnail.reset();
    LabelGInfo->setText(QStringLiteral("%1 x %2").arg(image->width).arg(image->height));
    previewTop = 0;
    previewLeft = 0;
    PaintBox2->update();
    PaintBox3->update();
    updateFocusArea();  // the mask is gone
    updateDepthOfFieldSwitch();
    emit depthMaskChanged();
    emit parametersChanged();
}

void TForm2::mainImagePixelsChanged() {
    previewImage.reset();
    PaintBox2->update();
}

void TForm2::showPreviewAt(QPoint pixel) {
    const dib24* image = mainImage();
    if (!image) return;
    previewLeft = std::clamp(pixel.x() - PaintBox2->width() / 2, 0,
                             std::max(0, image->width - PaintBox2->width()));
    previewTop = std::clamp(pixel.y() - PaintBox2->height() / 2, 0,
                            std::max(0, image->height - PaintBox2->height()));
    mainImagePixelsChanged();
}

// The diaphragm and the depth mask.

void TForm2::Button1Click() {
    const QString folder =
        diaphragmPicked_ ? QString() : QString::fromStdString(diaphragmGalleryFolder());
    const QString path = prompts::choosePictureToOpen(this, kBitmapFilter, folder,
                                                      QStringLiteral("Open diaphragm shape"));
    if (path.isEmpty()) return;
    diaphragmPicked_ = true;
    // A refused file leaves the shape and its scaled copies as they were.
    std::string why;
    std::unique_ptr<dib24> shape = readPictureFile(path, &why);
    if (!shape || !diaphragms.Install(std::move(shape), &why))
        prompts::showError(this, kDiaphragmError, QString::fromStdString(why), path);
    PaintBox1->update();
    updateShapeSize();
    updateFocusArea();  // the size of the diaphragm sets the kernel sizes
    emit parametersChanged();
}

void TForm2::Button4Click() {
    if (!mainImage()) return;
    const QString path = prompts::choosePictureToOpen(this, kBitmapFilter, {},
                                                      QStringLiteral("Open depth mask (ZMask)"));
    if (path.isEmpty()) return;
    const QString kMaskError = QStringLiteral("Cannot open mask image");
    // A portrait photo gives its depth map, not its own pixels.
    PhotoDepth depth = readPhotoDepthFile(path);
    if (depth.status == PhotoDepth::Status::Unusable) {
        prompts::showError(this, kMaskError, QString::fromStdString(depth.why), path);
        return;
    }
    if (depth.status == PhotoDepth::Status::Read) {
        // Only a map the user kept after the size question changes the occlusion.
        const dib24* before = depthMask.get();
        setDepthMask(std::move(depth.mask));
        if (depthMask.get() != before) ComboBox1->setCurrentIndex(kBrightIsNear);
        return;
    }
    std::string why;
    auto mask = readPictureFile(path, &why);
    if (!mask) {
        prompts::showError(this, kMaskError, QString::fromStdString(why), path);
        return;
    }
    setDepthMask(std::move(mask));
}

void TForm2::Button3Click() {
    if (!mainImage()) return;
    auto mask = std::make_unique<dib24>(1, 1);
    if (!pasteFromClipboard(*mask, nullptr)) return;
    setDepthMask(std::move(mask));
}

void TForm2::setDepthMask(std::unique_ptr<dib24> mask) {
    const dib24* image = mainImage();
    if (!image) return;  // a depth mask belongs to an image
    if (mask->width != image->width || mask->height != image->height) {
        const QString sizes =
            QStringLiteral(
                "The picture is %1 \u00d7 %2 pixels, the mask %3 \u00d7 %4. OK resizes "
                "the mask to the picture's size.")
                .arg(image->width)
                .arg(image->height)
                .arg(mask->width)
                .arg(mask->height);
        if (!prompts::askToContinue(this, QStringLiteral("Image & Mask size not match, continue?"),
                                    sizes))
            return;
        mask = resizedOrThrow(*mask, image->width, image->height);
    }
    installDepthMask(std::move(mask));
}

void TForm2::setPhotoDepthMask(std::unique_ptr<dib24> mask) {
    const dib24* image = mainImage();
    if (!image) return;
    if (mask->width != image->width || mask->height != image->height)
        mask = resizedOrThrow(*mask, image->width, image->height);
    installDepthMask(std::move(mask));
    ComboBox1->setCurrentIndex(kBrightIsNear);
}

void TForm2::installDepthMask(std::unique_ptr<dib24> mask) {
    // Both images exist before either is installed, so running out of memory leaves the
    // previous mask and its thumbnail in place.
    const QSize thumb =
        thumbnailSize(mask->width, mask->height, PaintBox3->width(), PaintBox3->height());
    std::unique_ptr<dib24> thumbnail = resizedOrThrow(*mask, thumb.width(), thumb.height());
    depthMask = std::move(mask);
    maskThumbnail = std::move(thumbnail);
    focusArea_.setMask(depthMask.get());
    PaintBox3->update();
    updateFocusArea();
    updateDepthOfFieldSwitch();
    emit depthMaskChanged();
    emit parametersChanged();
}

void TForm2::PaintBox1Paint() {
    if (diaphragms.shape) drawCentred(PaintBox1, *diaphragms.shape);
}

void TForm2::PaintBox3Paint() {
    if (maskThumbnail) drawCentred(PaintBox3, *maskThumbnail);
}

// The preview.

void TForm2::PaintBox2Paint() {
    QPainter painter(PaintBox2);
    if (previewImage) {
        draw(*previewImage, painter, 0, 0, previewImage->width, previewImage->height, 0, 0);
    } else if (const dib24* image = mainImage()) {
        // The region's top-left pixel lands on the box's top-left corner; the source y is
        // counted from the bottom row of the bottom-up image.
        draw(*image, painter, 0, 0, image->width, image->height, previewLeft, -previewTop);
        if (focusAreaShown_)
            focusArea_.paint(
                painter, 1.0,
                QRect(previewLeft, previewTop, PaintBox2->width(), PaintBox2->height()),
                QPoint(0, 0));
    }
}

void TForm2::PaintBox2MouseDown(int x, int y) {
    if (!mainImage()) return;
    previewImage.reset();
    dragging = true;
    dragLastX = x;
    dragLastY = y;
}

void TForm2::PaintBox2MouseMove(int x, int y) {
    const dib24* image = mainImage();
    if (!image || !dragging) return;
    // The image follows the pointer, and the region stays inside the image.
    previewLeft += dragLastX - x;
    previewTop += dragLastY - y;
    previewLeft = std::max(0, std::min(previewLeft, image->width - PaintBox2->width()));
    previewTop = std::max(0, std::min(previewTop, image->height - PaintBox2->height()));
    dragLastX = x;
    dragLastY = y;
    PaintBox2->update();
}

void TForm2::PaintBox2MouseUp() {
    if (mainImage()) dragging = false;
}

void TForm2::Button2Click() {
    const dib24* image = mainImage();
    if (!image || Form1->commandRun.running()) return;
    previewImage.reset();
    PaintBox2->update();
    // Rendered aside and shown only when complete, so a failed run leaves no half-made
    // preview on screen. The mask has the image's size, so its crop matches the region.
    std::unique_ptr<dib24> region =
        croppedOrThrow(*image, PaintBox2->width(), PaintBox2->height(), previewLeft, previewTop);
    std::unique_ptr<dib24> maskRegion =
        depthOfFieldUsed() ? croppedOrThrow(*depthMask, PaintBox2->width(), PaintBox2->height(),
                                            previewLeft, previewTop)
                           : nullptr;
    RenderJob job = renderJobOf(*this, std::move(region), std::move(maskRegion));
    job.reportProgress = true;
    RenderResult result =
        Form1->commandRun.run(std::move(job), Form1->commandsToGrey(), Form1->StatusBar1);
    if (result.failure) std::rethrow_exception(result.failure);
    if (result.stopped) {
        Form1->StatusBar1->showMessage(QStringLiteral("Defocus stopped"));
        return;
    }
    previewImage = std::move(result.image);
    PaintBox2->update();
}

bool TForm2::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Paint) {
        if (watched == PaintBox1) PaintBox1Paint();
        if (watched == PaintBox2) PaintBox2Paint();
        if (watched == PaintBox3) PaintBox3Paint();
        if (watched == PaintBox1 || watched == PaintBox2 || watched == PaintBox3) return true;
    }
    if (watched == PaintBox2) {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonDblClick: {
                const QPoint at = static_cast<QMouseEvent*>(event)->position().toPoint();
                PaintBox2MouseDown(at.x(), at.y());
                return true;
            }
            case QEvent::MouseMove: {
                const QPoint at = static_cast<QMouseEvent*>(event)->position().toPoint();
                PaintBox2MouseMove(at.x(), at.y());
                return true;
            }
            case QEvent::MouseButtonRelease:
                PaintBox2MouseUp();
                return true;
            default:
                break;
        }
    }
    if (auto* edit = qobject_cast<QLineEdit*>(watched)) {
        if (event->type() == QEvent::KeyPress)
            return EditKeyPress(edit, static_cast<QKeyEvent*>(event));
        if (event->type() == QEvent::FocusOut) {
            // Only a move of the focus to another control of this window confirms the
            // text. When the whole window loses activation (the user turns to the main
            // window's menu), the text stays as typed and is used so.
            const QWidget* next = QApplication::focusWidget();
            if (next && next != edit && next->window() == this) EditExit(edit);
        }
    }
    return QWidget::eventFilter(watched, event);
}
