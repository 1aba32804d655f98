// The settings window "Defocus settings": the defocus parameters in its edit and check
// boxes, the diaphragm shape and the depth mask with their thumbnails, and the preview,
// which renders a 183 x 183 region of the main image that the user pans with the mouse.
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/default_diaphragm.h"
#include "defocus/defocus.h"
#include "defocus/maskman.h"
#include "image/dib24.h"
#include "ui/focus_area.h"
#include "ui_Unit2.h"

class QKeyEvent;
class QLineEdit;
class QMouseEvent;
class QPoint;
class TForm1;

// The program cannot start without a diaphragm. what() names every place looked at and
// why each failed.
class DefaultDiaphragmMissing : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Says so before the program ends: the details on standard error, and the message box
// "Cannot open diaphragm image".
void reportMissingDiaphragm(const DefaultDiaphragmMissing& error);

// Paint density, gamma and blend as the Defocus command and the preview hand them to the
// renderer, read from the boxes at the moment of use; the renderer holds the numbers to
// their limits (defocus/defocus.h).
struct BaseParameters {
    double density = 0.0;
    double gamma = 1.0;
    int blend = 1;  // 1 or 0
};

class TForm2 : public QWidget, public Ui_TForm2 {
    Q_OBJECT

public:
    // The settings window of `mainWindow`, which it registers with. Loads the diaphragm
    // from the first of `diaphragmCandidates` that holds a square bitmap, and throws
    // DefaultDiaphragmMissing when none does.
    explicit TForm2(TForm1& mainWindow, const std::vector<std::string>& diaphragmCandidates =
                                            defaultDiaphragmCandidates());
    ~TForm2() override;

    // Writes every parameter box back in its normal form: density limited to 0 ... 1,
    // threshold and focus range to 0 ... 255, distance scaling and gamma to 0 and above;
    // the focus area follows the new values.
    void validateParameters();

    // The parameters as the renderer takes them; see BaseParameters.
    BaseParameters readBaseParameters() const;
    // Depth of field runs when a depth mask is installed and "Use DOF with ZMask" is checked.
    bool depthOfFieldUsed() const;
    // The depth of field record for `mask` with the numbers of the boxes as they stand
    // (the renderer holds them to their limits), the occlusion chosen and the default
    // tolerance.
    DofSettings readDofSettings(const dib24* mask) const;

    // Focus by pointing: "Threshold:" takes the depth mask's depth at picture pixel `pixel`
    // (counted from the top-left), "Use DOF with ZMask" is ticked and the boxes are
    // normalised. Returns that depth, or -1 (changing nothing) without a depth mask or
    // outside it.
    int pickFocus(QPoint pixel);

    // Shows the focus area in the main view and the preview box while "Show focus area" is
    // ticked and a depth mask is installed, for the boxes' present values and the
    // diaphragm's size, and hides it otherwise.
    void updateFocusArea();
    bool focusAreaShown() const { return focusAreaShown_; }

    // The main window installed `image` (it keeps it): the preview and the depth mask are
    // dropped, the size label shows the new size, the region returns to the top-left.
    void mainImageChanged(const dib24* image);
    // The main image's pixels changed in place (Defocus, Undo, Redo): a rendered preview
    // is dropped and the box shows the region of the picture as it is now.
    void mainImagePixelsChanged();
    // Moves the preview region so that main-image pixel `pixel` (counted from the top-left)
    // lies in its middle, as far as the image allows, and shows it unrendered.
    void showPreviewAt(QPoint pixel);

    // Installs `mask` as the depth mask. A mask of another size than the main image is
    // resized to it after the user agrees, and dropped otherwise. Running out of memory
    // throws std::bad_alloc before anything changed.
    void setDepthMask(std::unique_ptr<dib24> mask);

    // Installs a photo's own depth map (a nearness mask, pictures/picture_file.h) as the depth
    // mask: resized to the main image without a question, since a phone stores its map
    // smaller than the photo, and "Occlusion:" set to "Bright is near".
    void setPhotoDepthMask(std::unique_ptr<dib24> mask);

    // Handlers.
    void FormShow();
    void FormDestroy();
    void EditExit(QLineEdit* sender);
    // True when the key is consumed and the edit box does not see it.
    bool EditKeyPress(QLineEdit* sender, const QKeyEvent* key);
    void Button1Click();  // "Diaphragm shape"
    void Button2Click();  // "Preview"
    void Button3Click();  // "ZMask from clipboard"
    void Button4Click();  // "Load ZMask"

    std::unique_ptr<dib24> previewImage;   // the rendered region, or null
    std::unique_ptr<dib24> maskThumbnail;  // depthMask scaled for PaintBox3, or null
    std::int32_t previewLeft = 0;          // the region's top-left corner in main-image
    std::int32_t previewTop = 0;           // pixels, counted from the image's top row
    std::int32_t dragLastX = 0;            // pointer position at the last panning step,
    std::int32_t dragLastY = 0;            // in PaintBox2's coordinates
    bool dragging = false;
    MaskMan diaphragms;                // always holds a shape while the window lives
    // Of the main image's size, or null. A new mask replaces it and its pixels never change,
    // so that a render on the worker can go on reading the one it was given.
    std::shared_ptr<const dib24> depthMask;
    TForm1* Form1;                     // the main window, not owned

signals:
    // A parameter box was confirmed, a check box or the occlusion choice changed, or a new
    // diaphragm, depth mask or main image came in: what a render would give changed.
    void parametersChanged();
    // The depth mask was replaced or dropped.
    void depthMaskChanged();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void PaintBox1Paint();
    void PaintBox2Paint();
    void PaintBox3Paint();
    void PaintBox2MouseDown(int x, int y);
    void PaintBox2MouseMove(int x, int y);
    void PaintBox2MouseUp();

    // The main window's image, or null.
    const dib24* mainImage() const;

    // Installs `mask`, already of the main image's size, with its thumbnail.
    void installDepthMask(std::unique_ptr<dib24> mask);
    // "Use DOF with ZMask" can be used only while a depth mask is installed; without one it
    // is greyed and keeps its tick for the next mask.
    void updateDepthOfFieldSwitch();
    // The diaphragm's width beside its thumbnail.
    void updateShapeSize();

    // Until the user has picked a diaphragm file, "Diaphragm shape" opens the dialog in the
    // folder of delivered shapes.
    bool diaphragmPicked_ = false;

    bool focusAreaShown_ = false;
    FocusArea focusArea_;  // of depthMask, with the depths in focus when it was shown
};
