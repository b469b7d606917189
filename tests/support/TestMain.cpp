#include "platform/desktop/Locale.h"

#include <QApplication>

#include <gtest/gtest.h>

#include "support/Skip.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Every test runs inside an application object, as the program does, on the
// offscreen platform unless a display is chosen.
int main(int argc, char* argv[]) {
    // --locale=NAME runs the tests as on a desktop of that locale, which must exist.
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--locale=", 9) == 0) {
            if (!std::setlocale(LC_ALL, argv[i] + 9)) {
                std::fprintf(stderr,
                             "There is no locale %s here: the tests would run in another one.\n",
                             argv[i] + 9);
                if (kestrove::test::everyCaseMustRun())
                    return 1;
            }
            qputenv("LC_ALL", argv[i] + 9);
        }
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication application(argc, argv);
    kestrove::desktop::UseCNumberFormat(); // as the program does
    ::testing::InitGoogleTest(&argc, argv);
    // Death tests run their statement in a fresh copy of the program, never a bare fork.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
