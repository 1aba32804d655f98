// Bokavo's desktop program: the application object, the main window, the event loop.

#include <exception>

#include "ui/Unit1.h"
#include "ui/application.h"

int main(int argc, char** argv) {
    BokavoApplication app(argc, argv);
    try {
        TForm1 Form1;
        Form1.show();
        app.exec();
    } catch (...) {
        showException(std::current_exception());
    }
    return 0;
}
