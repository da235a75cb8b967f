// Test entry of the widget tests: one QApplication on the offscreen platform.
#include <QApplication>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

// Set while tests run here (not in a death test's child, whose start-up is to end it).
bool testing_here = true;

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // A window that ends the process where it should open would otherwise pass with exit status 0.
    for (int i = 1; i < argc; ++i)
        testing_here = testing_here && !std::strstr(argv[i], "internal_run_death_test");
    std::atexit([] { if (testing_here) std::_Exit(3); });
    ::testing::InitGoogleTest(&argc, argv);
    // Death tests run the start-up to its exit in a fresh process of this binary.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    QApplication application(argc, argv);
    int failed = RUN_ALL_TESTS();
    testing_here = false;
    return failed;
}
