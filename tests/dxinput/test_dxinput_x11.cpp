// The background reader on a real X server: the arrows drive whichever
// window has the focus. Keys are pressed with xdotool (XTEST).
#include "platform/dxinput/dxinput.h"

#include <gtest/gtest.h>
#include <QGuiApplication>
#include <QProcess>
#include <QWidget>

namespace {

bool Xdotool(const QStringList& args) { return QProcess::execute("xdotool", args) == 0; }

class X11Keys : public testing::Test {
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() != "xcb")
            GTEST_SKIP() << "needs an X server (the test command runs one with xvfb-run)";
    }
    void TearDown() override { Xdotool({"keyup", "Up", "Left", "space"}); }
};

}  // namespace

TEST_F(X11Keys, ArrowsAreReadWhileAnotherWindowHasTheFocus)
{
    // Keys already down when the component is made count from its first update.
    ASSERT_TRUE(Xdotool({"keydown", "Left", "space"}));
    QWidget window;  // never shown, so never the active window
    TDXInput input(&window);
    ASSERT_TRUE(input.ReadsInBackground());
    EXPECT_FALSE(window.isActiveWindow());
    input.UpdateStates();
    EXPECT_EQ(input.ActiveStates.to_ulong(), (1ul << StateLeft) | (1ul << StateButton1));

    ASSERT_TRUE(Xdotool({"keyup", "Left", "space"}));
    ASSERT_TRUE(Xdotool({"keydown", "Up"}));
    input.UpdateStates();
    EXPECT_EQ(input.ActiveStates.to_ulong(), 1ul << StateUp);
    EXPECT_EQ(input.Keyboard.KeyStates[VK_UP], 0x80);

    ASSERT_TRUE(Xdotool({"keyup", "Up"}));
    input.UpdateStates();
    EXPECT_TRUE(input.ActiveStates.none());
}
