// Entry of the window tests: one application object for all of them, on Qt's offscreen
// platform unless the environment names another.

#include <gtest/gtest.h>

#include "ui/application.h"

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    BokavoApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
