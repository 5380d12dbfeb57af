// The input component: its key table and its update rule, fed by the
// window's key events.
#include "platform/dxinput/dxinput.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>
#include <gtest/gtest.h>

namespace {

uint32_t WordAt(const std::array<uint8_t, KeyAssignsBytes>& bytes, size_t state, size_t slot)
{
    const size_t at = (state * 3 + slot) * 4;
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
           uint32_t(bytes[at + 3]) << 24;
}

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

TEST(KeyAssigns, TheGameTableInItsStoredForm)
{
    const auto bytes = EncodeKeyAssigns(GameKeyAssigns());
    static_assert(sizeof(bytes) == 432);
    EXPECT_EQ(WordAt(bytes, StateUp, 0), 0x26u);
    EXPECT_EQ(WordAt(bytes, StateDown, 0), 0x28u);
    EXPECT_EQ(WordAt(bytes, StateLeft, 0), 0x25u);
    EXPECT_EQ(WordAt(bytes, StateRight, 0), 0x27u);
    EXPECT_EQ(WordAt(bytes, StateButton1, 0), 0x20u);
    int bound = 0;
    for (size_t state = 0; state < 36; ++state)
        for (size_t slot = 0; slot < 3; ++slot)
            bound += WordAt(bytes, state, slot) != 0;
    EXPECT_EQ(bound, 5);
}

TEST(KeyAssigns, StoredFormIsLittleEndianAndRoundTrips)
{
    TKeyAssigns assigns{};
    assigns[StateButton32][2] = -2;
    assigns[StateRight][1] = 0x12345678;
    const auto bytes = EncodeKeyAssigns(assigns);
    EXPECT_EQ(bytes[431], 0xFF);
    EXPECT_EQ(bytes[428], 0xFE);
    const size_t at = (StateRight * 3 + 1) * 4;
    EXPECT_EQ(bytes[at], 0x78);
    EXPECT_EQ(bytes[at + 3], 0x12);
    EXPECT_EQ(DecodeKeyAssigns(bytes), assigns);
}

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
    input.UpdateStates();  // gone in the first update after the release
    EXPECT_EQ(input.ActiveStates, Only({StateLeft, StateRight}));

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
