#include "ui/prompts.h"

#include <QDir>
#include <QFontMetrics>
#include <QHeaderView>
#include <QRegularExpression>
#include <QScreen>
#include <QStringList>
#include <QTreeView>
#include <algorithm>
#include <utility>

namespace prompts {

namespace {

MessageBoxAnswerer& messageBoxAnswerer() {
    static MessageBoxAnswerer answerer;
    return answerer;
}

FileDialogAnswerer& fileDialogAnswerer() {
    static FileDialogAnswerer answerer;
    return answerer;
}

QString choose(const FileDialogRequest& request) {
    if (const FileDialogAnswerer& answerer = fileDialogAnswerer()) return answerer(request);
    return runFileDialog(request);
}

// The first extension of a name filter: "jpg" for "JPEG picture (*.jpg *.jpeg)"; empty
// for "All files (*)".
QString firstExtension(const QString& filter) {
    const qsizetype start = filter.indexOf(QStringLiteral("(*."));
    if (start < 0) return {};
    const qsizetype end = filter.indexOf(QRegularExpression(QStringLiteral("[ )]")), start + 3);
    return filter.mid(start + 3, end < 0 ? -1 : end - start - 3);
}

// Qt's own dialog opens so narrow that its size, type and date columns are cut ("PN...ge").
// It opens wide enough for them (within the screen), they keep the width of what they
// show, and the names take the rest.
void showColumnsWhole(QFileDialog& dialog) {
    const QFontMetrics metrics(dialog.font());
    QSize size(std::max(dialog.width(), metrics.averageCharWidth() * 130),
               std::max(dialog.height(), metrics.lineSpacing() * 28));
    if (const QScreen* screen = dialog.screen())
        size = size.boundedTo(screen->availableGeometry().size() * 9 / 10);
    dialog.resize(size);
    if (auto* files = dialog.findChild<QTreeView*>(QStringLiteral("treeView"))) {
        QHeaderView* header = files->header();
        header->setSectionResizeMode(0, QHeaderView::Stretch);
        for (int column = 1; column < header->count(); ++column)
            header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    }
}

}  // namespace

QMessageBox::StandardButton showMessageBox(const MessageBoxRequest& request) {
    if (const MessageBoxAnswerer& answerer = messageBoxAnswerer()) return answerer(request);
    return runMessageBox(request);
}

QString informativeText(const MessageBoxRequest& request) {
    if (request.file.isEmpty()) return request.detail;
    const QString file = QDir::toNativeSeparators(request.file);
    return request.detail.isEmpty() ? file : file + QLatin1Char('\n') + request.detail;
}

void showError(QWidget* owner, const QString& text, const QString& detail, const QString& file) {
    showMessageBox({owner, QStringLiteral("Error"), text, QMessageBox::Critical, QMessageBox::Ok,
                    detail, file});
}

bool askToContinue(QWidget* owner, const QString& text, const QString& detail) {
    const QMessageBox::StandardButton answer =
        showMessageBox({owner, QStringLiteral("Warning"), text, QMessageBox::Warning,
                        QMessageBox::Ok | QMessageBox::Cancel, detail});
    return answer == QMessageBox::Ok;
}

QString chooseFileToOpen(QWidget* owner, const QString& filter, const QString& directory) {
    return choose({owner, QFileDialog::AcceptOpen, filter, QStringLiteral("bmp"), directory});
}

QString chooseFileToSave(QWidget* owner, const QString& filter) {
    return choose({owner, QFileDialog::AcceptSave, filter, QStringLiteral("bmp"), {}});
}

QString choosePictureToOpen(QWidget* owner, const QString& filter, const QString& directory,
                            const QString& title) {
    FileDialogRequest request{owner, QFileDialog::AcceptOpen, filter, QStringLiteral("bmp"),
                              directory};
    request.title = title;
    request.filters = {
        QStringLiteral(
            "All pictures (*.bmp *.png *.jpg *.jpeg *.tif *.tiff *.webp *.heic *.heif *.avif)"),
        filter, QStringLiteral("All files (*)")};
    return choose(request);
}

QString choosePictureToSave(QWidget* owner, const QString& filter, const QString& title) {
    FileDialogRequest request{owner, QFileDialog::AcceptSave, filter, QStringLiteral("bmp"), {}};
    request.title = title;
    request.filters = {filter, QStringLiteral("PNG picture (*.png)"),
                       QStringLiteral("JPEG picture (*.jpg *.jpeg)"),
                       QStringLiteral("TIFF picture (*.tif *.tiff)"),
                       QStringLiteral("WebP picture (*.webp)")};
    return choose(request);
}

QMessageBox::StandardButton runMessageBox(const MessageBoxRequest& request) {
    QMessageBox box(request.icon, request.caption, request.text, request.buttons, request.owner);
    const QString below = informativeText(request);
    if (!below.isEmpty()) box.setInformativeText(below);
    // An owned box blocks only its owner window, as the owner is disabled on Windows; an
    // unowned one blocks the whole program while it waits.
    box.setWindowModality(request.owner ? Qt::WindowModal : Qt::ApplicationModal);
    // Esc and the close button answer Cancel where there is one, else the only button.
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

QString runFileDialog(const FileDialogRequest& request) {
    QFileDialog dialog(request.owner);
    dialog.setAcceptMode(request.mode);
    if (request.filters.isEmpty()) {
        dialog.setNameFilter(request.filter);
    } else {
        dialog.setNameFilters(request.filters);
        dialog.selectNameFilter(request.filters.first());
    }
    dialog.setDefaultSuffix(request.defaultSuffix);
    if (request.mode == QFileDialog::AcceptSave) {
        // A name typed without an extension gets the one of the chosen format.
        QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                         [&dialog](const QString& filter) {
                             const QString extension = firstExtension(filter);
                             if (!extension.isEmpty()) dialog.setDefaultSuffix(extension);
                         });
    }
    if (!request.directory.isEmpty()) dialog.setDirectory(request.directory);
    // A typed name need not exist when opening (reading it then fails with the usual
    // message), and an existing file is replaced without a question when saving.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setWindowModality(Qt::WindowModal);
    if (!request.title.isEmpty()) dialog.setWindowTitle(request.title);
    showColumnsWhole(dialog);
    if (dialog.exec() != QDialog::Accepted) return {};
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}

MessageBoxAnswerer setMessageBoxAnswerer(MessageBoxAnswerer answerer) {
    return std::exchange(messageBoxAnswerer(), std::move(answerer));
}

FileDialogAnswerer setFileDialogAnswerer(FileDialogAnswerer answerer) {
    return std::exchange(fileDialogAnswerer(), std::move(answerer));
}

}  // namespace prompts
