// The session layer's events need a Qt event loop on the main thread.
#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    // Whatever runs these tests: search this machine only, never broadcast,
    // and keep to ports of our own.
    setenv("CI", "1", 1);
    setenv("DUNEBOLT_SEARCH_ADDRESS", "127.0.0.1", 1);
    setenv("DUNEBOLT_PORT_BASE", "47800", 0);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
