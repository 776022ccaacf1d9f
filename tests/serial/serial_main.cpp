// GoogleTest entry for the serial tests: the receive thread hands its poll to the main thread,
// and socat runs as a child process, so a Qt application object must exist.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
