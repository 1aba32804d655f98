#include "ui/prompts.h"

#include <QStringList>
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

}  // namespace

QMessageBox::StandardButton showMessageBox(const MessageBoxRequest& request) {
    if (const MessageBoxAnswerer& answerer = messageBoxAnswerer()) return answerer(request);
    return runMessageBox(request);
}

void showError(QWidget* owner, const QString& text) {
    showMessageBox({owner, QStringLiteral("Error"), text, QMessageBox::Critical, QMessageBox::Ok});
}

bool askToContinue(QWidget* owner, const QString& text) {
    const QMessageBox::StandardButton answer =
        showMessageBox({owner, QStringLiteral("Warning"), text, QMessageBox::Warning,
                        QMessageBox::Ok | QMessageBox::Cancel});
    return answer == QMessageBox::Ok;
}

QString chooseFileToOpen(QWidget* owner, const QString& filter, const QString& directory) {
    return choose({owner, QFileDialog::AcceptOpen, filter, QStringLiteral("bmp"), directory});
}

QString chooseFileToSave(QWidget* owner, const QString& filter) {
    return choose({owner, QFileDialog::AcceptSave, filter, QStringLiteral("bmp"), {}});
}

QMessageBox::StandardButton runMessageBox(const MessageBoxRequest& request) {
    QMessageBox box(request.icon, request.caption, request.text, request.buttons, request.owner);
    // An owned box blocks only its owner window, as the owner is disabled on Windows; an
    // unowned one blocks the whole program while it waits.
    box.setWindowModality(request.owner ? Qt::WindowModal : Qt::ApplicationModal);
    // Esc and the close button answer Cancel where there is one, else the only button.
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

QString runFileDialog(const FileDialogRequest& request) {
    QFileDialog dialog(request.owner);
    dialog.setAcceptMode(request.mode);
    dialog.setNameFilter(request.filter);
    dialog.setDefaultSuffix(request.defaultSuffix);
    if (!request.directory.isEmpty()) dialog.setDirectory(request.directory);
    // A typed name need not exist when opening (reading it then fails with the usual
    // message), and an existing file is replaced without a question when saving.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setWindowModality(Qt::WindowModal);
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
