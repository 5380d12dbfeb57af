// GoogleTest entry for tests that need a QApplication. Listing the tests
// (test discovery at build time) needs no display, so no application then.
#include <gtest/gtest.h>
#include <QApplication>
#include <QTemporaryDir>

#include <memory>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Settings (the chosen keys) go to a folder of the run's own, never the
    // user's, and every run starts without any.
    QTemporaryDir config;
    if (!config.isValid() || !qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit())) return 1;
    std::unique_ptr<QApplication> app;
    if (!GTEST_FLAG_GET(list_tests)) app = std::make_unique<QApplication>(argc, argv);
    return RUN_ALL_TESTS();
}
