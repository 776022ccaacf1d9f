// GoogleTest entry for the output tests: hand-overs to the main thread need a Qt application object.
#include <QCoreApplication>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // Trace lines carry local time; the expected texts are written for UTC, however the tests are run.
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
