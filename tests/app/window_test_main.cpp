#include <QApplication>
#include <gtest/gtest.h>

// Widgets need one application object for the whole program, created before any test.
int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
