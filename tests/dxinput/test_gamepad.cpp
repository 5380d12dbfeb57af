// Game controllers: SDL's virtual game controller stands in for a real one,
// plugged in and pulled out while the input component is read.
#include "platform/dxinput/dxinput.h"

#include <SDL.h>
#include <gtest/gtest.h>
#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

namespace {

// A virtual controller with the standard buttons and axes, at rest.
class VirtualPad {
public:
    explicit VirtualPad(const char* name)
    {
        SDL_VirtualJoystickDesc desc{};
        desc.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
        desc.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
        desc.naxes = SDL_CONTROLLER_AXIS_MAX;
        desc.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
        desc.axis_mask = (1u << SDL_CONTROLLER_AXIS_MAX) - 1;
        desc.button_mask = (1u << SDL_CONTROLLER_BUTTON_MAX) - 1;
        desc.name = name;
        index_ = SDL_JoystickAttachVirtualEx(&desc);
        joystick_ = SDL_JoystickOpen(index_);
    }
    ~VirtualPad() { PullOut(); }
    bool Attached() const { return joystick_ != nullptr; }
    void Axis(SDL_GameControllerAxis axis, int16_t value) { SDL_JoystickSetVirtualAxis(joystick_, axis, value); }
    void Button(SDL_GameControllerButton button, bool down) { SDL_JoystickSetVirtualButton(joystick_, button, down); }
    void PullOut()
    {
        if (!joystick_) return;
        SDL_JoystickClose(joystick_);
        SDL_JoystickDetachVirtual(index_);
        joystick_ = nullptr;
    }

private:
    int index_ = -1;
    SDL_Joystick* joystick_ = nullptr;
};

TDXInputStates Only(std::initializer_list<int> states)
{
    TDXInputStates s;
    for (int i : states) s.set(size_t(i));
    return s;
}

void Key(QWidget& w, QEvent::Type type, Qt::Key key)
{
    QKeyEvent e(type, key, Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}

}  // namespace

TEST(Gamepad, AControllerDrivesBesideTheKeyboardAndCanBePluggedInAndOut)
{
    QWidget window;
    TDXInput input(&window);
    input.UseDirectInput = false;  // the window's key events
    input.Joystick.Enabled = true;
    EXPECT_EQ(input.GamepadName(), "");  // starts SDL's controllers: none yet

    auto pad = std::make_unique<VirtualPad>("Testpad");
    ASSERT_TRUE(pad->Attached()) << SDL_GetError();
    EXPECT_EQ(input.GamepadName(), "Testpad");

    constexpr int16_t Min = -32768, Max = 32767;
    const auto none = SDL_CONTROLLER_BUTTON_INVALID;
    const struct {
        SDL_GameControllerAxis axis;
        int16_t value, rest;
        SDL_GameControllerButton button;
        TDXInputStates expected;
    } cases[] = {
        {SDL_CONTROLLER_AXIS_LEFTX, Min, 0, none, Only({StateLeft})},
        {SDL_CONTROLLER_AXIS_LEFTX, Max, 0, none, Only({StateRight})},
        {SDL_CONTROLLER_AXIS_LEFTX, 6000, 0, none, Only({})},  // barely off centre
        {SDL_CONTROLLER_AXIS_TRIGGERRIGHT, Max, Min, none, Only({StateUp})},
        {SDL_CONTROLLER_AXIS_TRIGGERLEFT, Max, Min, none, Only({StateDown})},
        {SDL_CONTROLLER_AXIS_INVALID, 0, 0, SDL_CONTROLLER_BUTTON_A, Only({StateUp})},
        {SDL_CONTROLLER_AXIS_INVALID, 0, 0, SDL_CONTROLLER_BUTTON_B, Only({StateDown})},
        {SDL_CONTROLLER_AXIS_INVALID, 0, 0, SDL_CONTROLLER_BUTTON_DPAD_LEFT, Only({StateLeft})},
        {SDL_CONTROLLER_AXIS_INVALID, 0, 0, SDL_CONTROLLER_BUTTON_DPAD_RIGHT, Only({StateRight})},
    };
    for (const auto& c : cases) {
        if (c.axis != SDL_CONTROLLER_AXIS_INVALID) pad->Axis(c.axis, c.value);
        if (c.button != none) pad->Button(c.button, true);
        input.UpdateStates();
        EXPECT_EQ(input.ActiveStates, c.expected) << "axis " << c.axis << " button " << c.button;
        if (c.axis != SDL_CONTROLLER_AXIS_INVALID) pad->Axis(c.axis, c.rest);
        if (c.button != none) pad->Button(c.button, false);
        input.UpdateStates();
        EXPECT_TRUE(input.ActiveStates.none()) << "axis " << c.axis << " button " << c.button;
    }

    // The pad's gas and the keyboard's steering together; pulled out in the
    // middle of it, the keyboard alone is left.
    pad->Button(SDL_CONTROLLER_BUTTON_A, true);
    Key(window, QEvent::KeyPress, Qt::Key_Left);
    input.UpdateStates();
    EXPECT_EQ(input.ActiveStates, Only({StateUp, StateLeft}));
    pad->PullOut();
    input.UpdateStates();
    EXPECT_EQ(input.ActiveStates, Only({StateLeft}));
    EXPECT_EQ(input.GamepadName(), "");

    // Plugged in again: it drives again without any setting.
    pad = std::make_unique<VirtualPad>("Testpad 2");
    pad->Button(SDL_CONTROLLER_BUTTON_B, true);
    input.UpdateStates();
    EXPECT_EQ(input.ActiveStates, Only({StateDown, StateLeft}));
    EXPECT_EQ(input.GamepadName(), "Testpad 2");
    Key(window, QEvent::KeyRelease, Qt::Key_Left);
}
