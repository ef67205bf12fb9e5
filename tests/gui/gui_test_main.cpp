#include <gtest/gtest.h>

#include <QStandardPaths>

#include "app/flashkit_application.h"

// The window tests need one application object for the whole run: the program's own, so that
// errors escaping event delivery are handled as in the program.
int main(int argc, char** argv) {
    // Headless unless the caller asks for a real display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Settings and other per-user files go to Qt's test locations, never to the user's own.
    QStandardPaths::setTestModeEnabled(true);
    fk::FlashKitApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
