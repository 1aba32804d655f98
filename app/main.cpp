// Bokavo's desktop program: the application object, the two windows, the event loop.

#include <exception>

#include "ui/Unit1.h"
#include "ui/Unit2.h"
#include "ui/application.h"

int main(int argc, char** argv) {
    BokavoApplication app(argc, argv);
    try {
        TForm1 Form1;
        TForm2 Form2(Form1);
        Form1.show();
        Form2.show();
        app.exec();
    } catch (const DefaultDiaphragmMissing& error) {
        // Without a diaphragm there is nothing to defocus with.
        reportMissingDiaphragm(error);
        return 1;
    } catch (...) {
        showException(std::current_exception());
    }
    return 0;
}
