// The input component: its key table and its update rule, fed by the
// window's key events.
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
    window.show();
    TDXInput input(&window);
    input.UseDirectInput = false;  // the window's key events

    input.UpdateStates();
    EXPECT_TRUE(input.ActiveStates.none());

    Key(window, QEvent::KeyPress, Qt::Key_Up);
    for (int frame = 0; frame < 5; ++frame) {  // held over many frames
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
}

TEST(DXInput, AKeyPressedAndReleasedBetweenUpdatesIsNotSeen)
{
    QWidget window;
    TDXInput input(&window);
    input.UseDirectInput = false;
    Key(window, QEvent::KeyPress, Qt::Key_Down);
    Key(window, QEvent::KeyRelease, Qt::Key_Down);
    input.UpdateStates();
    EXPECT_TRUE(input.ActiveStates.none());
}

TEST(DXInput, DisabledOrUnboundKeyboardGivesNoStates)
{
    QWidget window;
    TDXInput input(&window);
    input.UseDirectInput = false;
    Key(window, QEvent::KeyPress, Qt::Key_Up);

    input.Keyboard.BindInputStates = false;
    input.UpdateStates();
    EXPECT_TRUE(input.ActiveStates.none());
    EXPECT_TRUE(input.Keyboard.States[StateUp]);  // the device still saw it

    input.Keyboard.BindInputStates = true;
    input.Keyboard.Enabled = false;
    input.UpdateStates();
    EXPECT_TRUE(input.ActiveStates.none());
    EXPECT_EQ(input.Keyboard.KeyStates[VK_UP], 0);

    input.Keyboard.Enabled = true;
    input.UpdateStates();
    EXPECT_EQ(input.ActiveStates, Only({StateUp}));
    Key(window, QEvent::KeyRelease, Qt::Key_Up);
}

TEST(DXInput, SecondKeyOfAStateCounts)
{
    QWidget window;
    TDXInput input(&window);
    input.UseDirectInput = false;
    input.Keyboard.Assigns[StateDown][2] = 'S';
    Key(window, QEvent::KeyPress, Qt::Key_S);
    input.UpdateStates();
    EXPECT_EQ(input.ActiveStates, Only({StateDown}));
    Key(window, QEvent::KeyRelease, Qt::Key_S);
}
