#include <QApplication>

#include <gtest/gtest.h>

// Every test runs inside an application object, as the program does, on the
// offscreen platform unless a display is chosen.
int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // Death tests run their statement in a fresh copy of the program, never a bare fork.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
