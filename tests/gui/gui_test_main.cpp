#include <gtest/gtest.h>

#include <QApplication>
#include <QStandardPaths>

// The window tests need one application object for the whole run.
int main(int argc, char** argv) {
    // Headless unless the caller asks for a real display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Settings and other per-user files go to Qt's test locations, never to the user's own.
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
