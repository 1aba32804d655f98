// The main window: the displayed image in a black scrolling view that zooms, the menu with
// the file, clipboard, defocus, undo and zoom commands, the status bar, and files dropped
// from the desktop.
#pragma once

#include <QMainWindow>
#include <QPointF>
#include <QString>
#include <memory>

#include "defocus/defocus.h"
#include "image/dib24.h"
#include "pictures/picture_file.h"
#include "ui/command_run.h"
#include "ui/defocus_history.h"
#include "ui/live_preview.h"
#include "ui_Unit1.h"

class QLabel;
class QStatusBar;
class TForm2;

// Shows a run's progress in a status bar: "Processing line (r / H)" for each row, then
// "done". Each text is painted at once, also while the renderer runs on the window's own
// thread (when memory is too short for the worker's copies); no other event is let through
// then, so the windows take no input meanwhile.
class SBNotifyer : public Notifyer {
public:
    explicit SBNotifyer(QStatusBar* statusBar) : statusBar(statusBar) {}
    virtual ~SBNotifyer() = default;

    void Notify(int row, int rows) override;
    void Done() override;

    QStatusBar* statusBar;  // not owned
};

// Reads the picture file at `path` (pictures/picture_file.h); null with the reason in
// `whyNot` when it cannot be opened or read.
std::unique_ptr<dib24> readPictureFile(const QString& path, std::string* whyNot = nullptr,
                                       PictureMetadata* metadata = nullptr);

// The depth map that the photo file at `path` carries (pictures/picture_file.h).
PhotoDepth readPhotoDepthFile(const QString& path);

class TForm1 : public QMainWindow, public Ui_TForm1 {
    Q_OBJECT

public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Takes `image` (never null) as the displayed image, with the metadata of the file
    // `path` it came from (none for a pasted picture); the previous one is deleted with the
    // steps of Undo and Redo, the view shows the new image at actual size from its top-left
    // corner, and the settings window is told.
    void installImage(std::unique_ptr<dib24> image, PictureMetadata metadata = {},
                      const QString& path = {});

    // Reads a picture file and installs it; a file that cannot be read shows "Cannot load
    // image" with the reason in a box owned by `owner` and leaves everything as it was.
    // The depth map of a portrait photo becomes the depth mask (see loadDepthOfPhoto).
    void openImageFile(QWidget* owner, const QString& path);

    // Menu commands.
    void OpenO1Click();
    void Saveas1Click();
    void SaveZMask1Click();  // the settings window's depth mask, as a grey picture
    void QuitQ1Click();
    void CopyC1Click();
    void PasteP1Click();
    void Blur1Click();
    void UndoU1Click();
    void RedoR1Click();
    void Settings1Click();
    // A double-click on the picture at `at` (in PaintBox1's coordinates) puts the focus at
    // the depth mask's depth there.
    void PaintBox1DblClick(QPointF at);
    // A Shift+click on the picture at `at` moves the preview box's part there.
    void PaintBox1ShiftClick(QPointF at);

    // The displayed image: null until the first image is installed, never null after.
    std::unique_ptr<dib24> currentImage;
    // The camera's metadata of the file currentImage was opened from, written into the
    // pictures saved from it; empty for a pasted picture.
    PictureMetadata currentMetadata;

    // The settings window, not owned: it registers itself here and must go before this
    // window does. Null while there is none.
    TForm2* Form2 = nullptr;

    // The pictures that Undo and Redo of Defocus put back.
    DefocusHistory history;

    // File > "Save ZMask as", made here rather than in the layout.
    QAction* SaveZMask1 = nullptr;
    // The permanent field at the right of the status bar: the picture's file name (or that
    // it was pasted), its size and the zoom.
    QLabel* LabelPictureInfo;
    // The effect shown in the view while "Live preview(&L)" is ticked.
    std::unique_ptr<LivePreview> livePreview;

    // The Defocus or preview being rendered, and the commands greyed meanwhile.
    CommandRun commandRun;
    std::vector<QObject*> commandsToGrey();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // The photo at `path` was just installed: its depth map, when it carries one, becomes
    // the depth mask, and the status bar says so, or says why the map cannot be used.
    void loadDepthOfPhoto(const QString& path);
    // The pixels of currentImage changed (Defocus, Undo, Redo): the view, the preview box
    // and the Undo and Redo items follow.
    void pixelsChanged();
    // Undo and Redo are available exactly when there is a step to take back or reapply.
    void updateUndoRedo();
    void updatePictureInfo();

    QString pictureName_;  // the file name of currentImage; empty for a pasted picture
};
