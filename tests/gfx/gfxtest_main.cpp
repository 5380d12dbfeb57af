// Runs the graphics tests inside a QApplication (they need an X display
// with OpenGL: xvfb-run). Listing the tests needs neither.
#include "platform/gfx/gfxengine.h"

#include <gtest/gtest.h>
#include <QApplication>

#include <cstring>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::strstr(argv[i], "gtest_list_tests")) return RUN_ALL_TESTS();
    GfxSetDefaultSurfaceFormat();
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
