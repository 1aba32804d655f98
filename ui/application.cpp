#include "ui/application.h"

#include <QString>
#include <new>

#include "ui/prompts.h"

BokavoApplication::BokavoApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Bokavo"));
    setDesktopFileName(QStringLiteral("org.bokavo.Bokavo"));
}

bool BokavoApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        showException(std::current_exception());
        // The handler did not finish; the event counts as handled so nobody acts on it twice.
        return true;
    }
}

void showException(std::exception_ptr exception) {
    QString text;
    try {
        std::rethrow_exception(exception);
    } catch (const std::bad_alloc&) {
        text = QStringLiteral("Out of memory");
    } catch (const std::exception& e) {
        text = QString::fromLocal8Bit(e.what());
    } catch (...) {
        text = QStringLiteral("Unknown error");
    }
    prompts::MessageBoxRequest request;
    request.caption = QStringLiteral("Bokavo");
    request.text = text;
    request.icon = QMessageBox::Critical;
    request.buttons = QMessageBox::Ok;
    prompts::showMessageBox(request);
}
