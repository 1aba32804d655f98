// Message boxes and file dialogs. Every window asks the user through these functions, so
// that the look of each box lives in one place and tests can answer in the user's stead.
#pragma once

#include <QFileDialog>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

namespace prompts {

// One modal message box as the user will see it.
struct MessageBoxRequest {
    QWidget* owner = nullptr;  // blocked while the box shows; null for an unowned box
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QString detail{};  // the box's informative text below the main text, such as a reason
    QString file{};    // the file the box is about, named above the detail; empty: none
};

// What the box shows below its main text: the file it is about, then the detail.
QString informativeText(const MessageBoxRequest& request);

// One modal file dialog.
struct FileDialogRequest {
    QWidget* owner = nullptr;
    QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
    QString filter;         // a single name filter, such as "Bitmap file (*.bmp)"
    QString defaultSuffix;  // appended to a typed name that has none
    QString directory;      // the folder it opens in; empty: the dialog's usual choice
    // Every filter offered, in order, the first one chosen at the start; `filter` is among
    // them. Empty: `filter` alone. When saving, choosing a filter makes its first
    // extension the one added to a typed name.
    QStringList filters{};
    QString title{};  // the dialog's caption; empty: the dialog's own ("Open", "Save As")
};

// Shows a modal message box and returns the button that answered it.
QMessageBox::StandardButton showMessageBox(const MessageBoxRequest& request);

// Errors: caption "Error", the error icon and one OK button; `detail`, when given, says
// why below the text, and `file` names the file it is about.
void showError(QWidget* owner, const QString& text, const QString& detail = {},
               const QString& file = {});

// Questions: caption "Warning", the warning icon, OK and Cancel, with `detail` below the
// text when given. True for OK; Cancel, Esc and closing the box all give false.
bool askToContinue(QWidget* owner, const QString& text, const QString& detail = {});

// The name of a bitmap file to read or to write, or an empty string when the user
// cancelled. The open dialog accepts names of files that do not exist (opening them then
// fails like any unreadable file), and the save dialog replaces an existing file without
// asking. The open dialog starts in `directory` when one is given. `title`, when given, is
// the dialog's caption.
QString chooseFileToOpen(QWidget* owner, const QString& filter, const QString& directory = {});
QString chooseFileToSave(QWidget* owner, const QString& filter);

// The same for pictures of every format read and written (pictures/picture_file.h), with the
// window's own bitmap filter `filter` among them. Opening offers "All pictures" first, then
// `filter`, then "All files"; saving offers `filter` first, then PNG, JPEG, TIFF and WebP.
QString choosePictureToOpen(QWidget* owner, const QString& filter, const QString& directory = {},
                            const QString& title = {});
QString choosePictureToSave(QWidget* owner, const QString& filter, const QString& title = {});

// Shows the box or dialog that a request describes and returns the user's answer. These
// are what the functions above call unless a test has put its own answerers in place.
QMessageBox::StandardButton runMessageBox(const MessageBoxRequest& request);
QString runFileDialog(const FileDialogRequest& request);

using MessageBoxAnswerer = std::function<QMessageBox::StandardButton(const MessageBoxRequest&)>;
using FileDialogAnswerer = std::function<QString(const FileDialogRequest&)>;

// Replaces the answerers; an empty function puts the real box or dialog back. Each returns
// the answerer it replaced.
MessageBoxAnswerer setMessageBoxAnswerer(MessageBoxAnswerer answerer);
FileDialogAnswerer setFileDialogAnswerer(FileDialogAnswerer answerer);

}  // namespace prompts
