// The real message boxes and file dialogs as the user meets them, and the box that shows
// an exception escaping an event handler.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <functional>
#include <new>
#include <stdexcept>

#include "tests/gui_support.h"
#include "tests/test_bitmaps.h"
#include "ui/application.h"
#include "ui/prompts.h"

namespace {

// Runs `inspect` on the modal window that `open` shows, once it is on screen; `inspect`
// must close it. Gives up after a few seconds so a missing window cannot hang the tests.
template <typename Window>
void whenShown(const std::function<void(Window&)>& inspect) {
    auto* poll = new QTimer;
    // The count lives in the handler: this function returns long before the window shows.
    QObject::connect(poll, &QTimer::timeout, [poll, tries = 0, inspect]() mutable {
        if (auto* window = qobject_cast<Window*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            inspect(*window);
        } else if (++tries > 300) {
            poll->stop();
            poll->deleteLater();
            ADD_FAILURE() << "no modal window appeared";
            if (QWidget* other = QApplication::activeModalWidget()) other->close();
        }
    });
    poll->start(10);
}

struct BoxSeen {
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QWidget* parent = nullptr;
    Qt::WindowModality modality = Qt::NonModal;
};

BoxSeen inspectAndPress(QMessageBox& box, QMessageBox::StandardButton press) {
    BoxSeen seen{box.windowTitle(),     box.text(),         box.icon(),
                 box.standardButtons(), box.parentWidget(), box.windowModality()};
    box.button(press)->click();
    return seen;
}

TEST(MessageBoxes, ErrorsHaveCaptionErrorTheErrorIconAndOneOkButton) {
    QWidget owner;
    owner.show();
    BoxSeen seen;
    whenShown<QMessageBox>([&](QMessageBox& box) { seen = inspectAndPress(box, QMessageBox::Ok); });
    prompts::showError(&owner, "Cannot load image");
    EXPECT_EQ(seen.title, "Error");
    EXPECT_EQ(seen.text, "Cannot load image");
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
    EXPECT_EQ(seen.buttons, QMessageBox::Ok);
    EXPECT_EQ(seen.parent, &owner);
    EXPECT_EQ(seen.modality, Qt::WindowModal);
}

TEST(MessageBoxes, ErrorsWithoutOwnerBlockTheWholeProgram) {
    BoxSeen seen;
    whenShown<QMessageBox>([&](QMessageBox& box) { seen = inspectAndPress(box, QMessageBox::Ok); });
    prompts::showError(nullptr, "Cannot write clipboard");
    EXPECT_EQ(seen.text, "Cannot write clipboard");
    EXPECT_EQ(seen.parent, nullptr);
    EXPECT_EQ(seen.modality, Qt::ApplicationModal);
}

TEST(MessageBoxes, QuestionsHaveCaptionWarningTheWarningIconOkAndCancel) {
    QWidget owner;
    owner.show();
    BoxSeen seen;
    whenShown<QMessageBox>([&](QMessageBox& box) { seen = inspectAndPress(box, QMessageBox::Ok); });
    EXPECT_TRUE(prompts::askToContinue(&owner, "Blend switch not checked, coninue?"));
    EXPECT_EQ(seen.title, "Warning");
    EXPECT_EQ(seen.text, "Blend switch not checked, coninue?");
    EXPECT_EQ(seen.icon, QMessageBox::Warning);
    EXPECT_EQ(seen.buttons, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(seen.parent, &owner);

    whenShown<QMessageBox>([&](QMessageBox& box) { inspectAndPress(box, QMessageBox::Cancel); });
    EXPECT_FALSE(prompts::askToContinue(&owner, "Image & Mask size not match, continue?"));
    // Closing the box (Esc, the close button) answers Cancel.
    whenShown<QMessageBox>([](QMessageBox& box) { box.reject(); });
    EXPECT_FALSE(prompts::askToContinue(&owner, "Blend switch not checked, coninue?"));
}

struct DialogSeen {
    QStringList filters;
    QString defaultSuffix;
    QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
    QFileDialog::FileMode fileMode = QFileDialog::ExistingFile;
    bool asksBeforeOverwriting = true;
    QWidget* parent = nullptr;
};

DialogSeen inspect(const QFileDialog& dialog) {
    return {dialog.nameFilters(),
            dialog.defaultSuffix(),
            dialog.acceptMode(),
            dialog.fileMode(),
            !dialog.testOption(QFileDialog::DontConfirmOverwrite),
            dialog.parentWidget()};
}

TEST(FileDialogs, OpenDialogFiltersBitmapsAndCancelGivesNoName) {
    QWidget owner;
    owner.show();
    DialogSeen seen;
    whenShown<QFileDialog>([&](QFileDialog& dialog) {
        seen = inspect(dialog);
        dialog.reject();
    });
    EXPECT_EQ(prompts::chooseFileToOpen(&owner, "Bitmap file (*.bmp)"), QString());
    EXPECT_EQ(seen.filters, QStringList{"Bitmap file (*.bmp)"});
    EXPECT_EQ(seen.defaultSuffix, "bmp");
    EXPECT_EQ(seen.mode, QFileDialog::AcceptOpen);
    EXPECT_EQ(seen.fileMode, QFileDialog::AnyFile);
    EXPECT_EQ(seen.parent, &owner);
}

TEST(FileDialogs, SaveDialogAddsTheSuffixAndNeverAsksBeforeOverwriting) {
    testing_support::TempDir dir;
    const QString folder = QString::fromStdString(dir.path().string());
    DialogSeen seen;
    whenShown<QFileDialog>([&](QFileDialog& dialog) {
        seen = inspect(dialog);
        dialog.setDirectory(folder);
        // Typed into the name box, as the user does: selectFile leaves the box alone while
        // it has the focus, which it has once the dialog is the active window.
        auto* name = dialog.findChild<QLineEdit*>("fileNameEdit");
        if (!name) {
            ADD_FAILURE() << "the dialog has no file name box";
            dialog.reject();
            return;
        }
        name->setText("picture");
        QMetaObject::invokeMethod(&dialog, "accept");  // as the Save button does
    });
    EXPECT_EQ(prompts::chooseFileToSave(nullptr, "Bitmap file (*.bmp)"), folder + "/picture.bmp");
    EXPECT_EQ(seen.filters, QStringList{"Bitmap file (*.bmp)"});
    EXPECT_EQ(seen.mode, QFileDialog::AcceptSave);
    EXPECT_FALSE(seen.asksBeforeOverwriting);
}

TEST(FileDialogs, PictureSaveDialogAddsTheExtensionOfTheChosenFormat) {
    testing_support::TempDir dir;
    const QString folder = QString::fromStdString(dir.path().string());
    QStringList filters;
    whenShown<QFileDialog>([&](QFileDialog& dialog) {
        filters = dialog.nameFilters();
        dialog.setDirectory(folder);
        auto* types = dialog.findChild<QComboBox*>("fileTypeCombo");
        auto* name = dialog.findChild<QLineEdit*>("fileNameEdit");
        if (!types || !name) {
            ADD_FAILURE() << "the dialog has no file type or file name box";
            dialog.reject();
            return;
        }
        // Chosen with the keyboard as a user does, then a name typed without an extension.
        QTest::keyClick(types, Qt::Key_Down);
        QTest::keyClick(types, Qt::Key_Down);
        name->setText("picture");
        QMetaObject::invokeMethod(&dialog, "accept");
    });
    EXPECT_EQ(prompts::choosePictureToSave(nullptr, "Bitmap file (*.bmp)").toStdString(),
              (folder + "/picture.jpg").toStdString());
    EXPECT_EQ(filters.value(0), "Bitmap file (*.bmp)");
    EXPECT_EQ(filters.value(2), "JPEG picture (*.jpg *.jpeg)");
}

// An object whose event handler fails the way a command can.
class Failing : public QObject {
public:
    std::function<void()> onEvent;
    int handled = 0;

protected:
    bool event(QEvent* event) override {
        if (event->type() != QEvent::User) return QObject::event(event);
        ++handled;
        onEvent();
        return true;
    }
};

TEST(ExceptionBox, AnExceptionEscapingAHandlerIsShownAndTheLoopGoesOn) {
    ASSERT_NE(qobject_cast<BokavoApplication*>(QCoreApplication::instance()), nullptr);
    gui_support::AnsweredPrompts answered;
    Failing failing;

    failing.onEvent = [] { throw std::bad_alloc(); };
    QCoreApplication::postEvent(&failing, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    gui_support::expectOnlyBox(answered, {.owner = nullptr,
                                          .caption = "Bokavo",
                                          .text = "Out of memory",
                                          .icon = QMessageBox::Critical,
                                          .buttons = QMessageBox::Ok});

    failing.onEvent = [] { throw std::runtime_error("the disk is on fire"); };
    QEvent again(QEvent::User);
    QCoreApplication::sendEvent(&failing, &again);
    ASSERT_EQ(answered.boxes.size(), 2u);
    EXPECT_EQ(answered.boxes[1].text, "the disk is on fire");

    // The next event is handled as usual.
    failing.onEvent = [] {};
    QCoreApplication::postEvent(&failing, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    EXPECT_EQ(failing.handled, 3);
    EXPECT_EQ(answered.boxes.size(), 2u);
}

TEST(ExceptionBox, ShowsTheTextOfAnyException) {
    gui_support::AnsweredPrompts answered;
    showException(std::make_exception_ptr(std::logic_error("broken")));
    showException(std::make_exception_ptr(42));
    ASSERT_EQ(answered.boxes.size(), 2u);
    EXPECT_EQ(answered.boxes[0].text, "broken");
    EXPECT_EQ(answered.boxes[1].text, "Unknown error");
}

}  // namespace
