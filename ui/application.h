// The application object: names the program and shows exceptions that escape an event
// handler instead of letting them end the process.
#pragma once

#include <QApplication>
#include <exception>

class BokavoApplication : public QApplication {
    Q_OBJECT

public:
    // Sets the application name "Bokavo" (the task-bar text, and the X11 window class)
    // and the desktop-file name "org.bokavo.Bokavo", the installed desktop entry by
    // which Wayland desktops find the program's icon; window titles stay as each window
    // sets them.
    BokavoApplication(int& argc, char** argv);

    // Delivers the event; an exception thrown while handling it (above all running out of
    // memory in the middle of a command) is shown in a message box and the event loop
    // goes on.
    bool notify(QObject* receiver, QEvent* event) override;
};

// The message box for an exception that nobody handled: caption "Bokavo", the error icon,
// one OK button, no owner window, and the exception's text ("Out of memory" for a failed
// allocation).
void showException(std::exception_ptr exception);
