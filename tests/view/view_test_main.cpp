// The window tests run inside one QApplication (offscreen).
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    // CTest sets the offscreen platform; the same when run by hand or listed.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
