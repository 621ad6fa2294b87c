// Runs GoogleTest inside a QCoreApplication so that tests can spin the main
// thread's event loop (sockets, timers, processes).
#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
