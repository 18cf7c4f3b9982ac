// A QApplication on the offscreen platform unless the caller chose another.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <QApplication>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // The phone would open a terminal for Vaultra on a desktop; the tests answer it themselves.
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    // Nothing reaches the user's session bus; a test that needs one starts its own.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/dialo-tests-have-no-bus", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
