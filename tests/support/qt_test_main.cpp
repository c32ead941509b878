// Test entry for window tests: a real QApplication, offscreen unless a display is asked for.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "shell/qt/window_hosts.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    // The windows are hosted as in the program, whether or not a test runs it.
    connectWindowHosts();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
