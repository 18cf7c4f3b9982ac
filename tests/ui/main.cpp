// The window tests' own main: a QApplication on the offscreen platform (unless the caller
// chose another), then every test GoogleTest was asked to run.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // The phone would open a terminal for Vaultra on a desktop; the tests answer it themselves.
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
