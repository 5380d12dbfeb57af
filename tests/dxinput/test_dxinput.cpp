// The input component fed by the window's key events: the game's keys and
// the update rule.
#include "platform/dxinput/dxinput.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>
#include <gtest/gtest.h>

namespace {

void Key(QWidget& w, QEvent::Type type, Qt::Key key)
{
    QKeyEvent e(type, key, Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}

TDXInputStates Only(std::initializer_list<int> states)
{
    TDXInputStates s;
    for (int i : states)
        s.set(size_t(i));
    return s;
}

}  // namespace

TEST(DXInput, OwnerMustBeAWindow)
{
    QWidget window;
    QWidget child(&window);
    EXPECT_THROW(TDXInput{&child}, EDXInputError);
    EXPECT_THROW(TDXInput{nullptr}, EDXInputError);
    EXPECT_NO_THROW(TDXInput{&window});
}

TEST(DXInput, StatesFollowTheKeysAcrossUpdates)
{
    QWidget window;
    TDXInput input(&window);
    input.UseDirectInput = false;  // the window's key events

    // Pressed and released between two updates: never seen.
    Key(window, QEvent::KeyPress, Qt::Key_Down);
    Key(window, QEvent::KeyRelease, Qt::Key_Down);
    input.UpdateStates();
    EXPECT_TRUE(input.ActiveStates.none());

    Key(window, QEvent::KeyPress, Qt::Key_Up);
    for (int frame = 0; frame < 3; ++frame) {  // held over many frames
        input.UpdateStates();
        EXPECT_EQ(input.ActiveStates, Only({StateUp}));
    }
    Key(window, QEvent::KeyPress, Qt::Key_Left);
    Key(window, QEvent::KeyPress, Qt::Key_Right);
    input.UpdateStates();
    EXPECT_EQ(input.ActiveStates, Only({StateUp, StateLeft, StateRight}));

    Key(window, QEvent::KeyRelease, Qt::Key_Up);
    Key(window, QEvent::KeyPress, Qt::Key_Down);
    input.UpdateStates();  // gone in the first update after the release
    EXPECT_EQ(input.ActiveStates, Only({StateDown, StateLeft, StateRight}));

    Key(window, QEvent::KeyRelease, Qt::Key_Down);
    Key(window, QEvent::KeyRelease, Qt::Key_Left);
    Key(window, QEvent::KeyRelease, Qt::Key_Right);
    Key(window, QEvent::KeyPress, Qt::Key_Space);
    Key(window, QEvent::KeyPress, Qt::Key_A);  // bound to nothing
    input.UpdateStates();
    EXPECT_EQ(input.ActiveStates, Only({StateButton1}));
    EXPECT_EQ(input.Keyboard.KeyStates['A'], 0x80);
    EXPECT_EQ(input.Keyboard.KeyStates[VK_UP], 0);

    // A second key of a state counts as much as the first.
    input.Keyboard.Assigns[StateDown][2] = 'A';
    input.UpdateStates();
    EXPECT_EQ(input.ActiveStates, Only({StateDown, StateButton1}));
    Key(window, QEvent::KeyRelease, Qt::Key_A);
    Key(window, QEvent::KeyRelease, Qt::Key_Space);
}
