// Test entry for window tests: a real QApplication, offscreen unless a display is asked for.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>


int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
