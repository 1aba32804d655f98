// Entry of the window tests: one application object for all of them, on Qt's offscreen
// platform unless the environment names another, and on a screen scaled by
// BOKAVO_TEST_SCALE_FACTOR where a test program is built with it.

#include <gtest/gtest.h>

#include "ui/application.h"

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#ifdef BOKAVO_TEST_SCALE_FACTOR
    qputenv("QT_SCALE_FACTOR", BOKAVO_TEST_SCALE_FACTOR);
#endif
    BokavoApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
