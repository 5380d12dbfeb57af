// The input component fed by the window's key events (the game's keys and
// the update rule), game controllers through SDL's virtual one plugged in
// and pulled out while it is read, and the player's key file (the test main
// gives every run a config folder of its own).
#include "platform/dxinput/dxinput.h"
#include "platform/dxinput/keyassigns.h"

#include <SDL.h>
#include <gtest/gtest.h>
#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

#include <cstdlib>
#include <fstream>

namespace {

void Key(QWidget& w, QEvent::Type type, Qt::Key key)
{
    QKeyEvent e(type, key, Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}

TDXInputStates Only(std::initializer_list<int> states)
{
    TDXInputStates s;
    for (int i : states) s.set(size_t(i));
    return s;
}

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

}  // namespace

TEST(DXInput, StatesFollowTheKeysOfItsWindowAcrossUpdates)
{
    QWidget window, child(&window);
    EXPECT_THROW(TDXInput{&child}, EDXInputError) << "the owner must be a window";
    EXPECT_THROW(TDXInput{nullptr}, EDXInputError);
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

// The file lies under the XDG config folder, else under the home folder.
// Chosen keys last across starts; a missing file gives the arrows silently,
// a corrupt one gives them and says why.
TEST(KeyAssigns, ChosenKeysSurviveARestartAndAMissingOrCorruptFileGivesTheArrows)
{
    const std::string config = std::getenv("XDG_CONFIG_HOME");
    setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(KeyAssignsPath(), std::filesystem::path(std::getenv("HOME")) / ".config/dunebolt/keys.conf");
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    const auto file = KeyAssignsPath();
    EXPECT_EQ(file, std::filesystem::path(config) / "dunebolt/keys.conf");
    std::filesystem::remove(file);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ReadKeyAssigns(file), GameKeyAssigns());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    TKeyAssigns chosen = GameKeyAssigns();
    AssignKey(chosen, StateUp, 'W');
    AssignKey(chosen, StateDown, VK_NUMPAD0 + 2);
    AssignKey(chosen, StateRight, VK_SPACE);  // also StateButton1's key, which nothing reads
    std::string error;
    ASSERT_TRUE(WriteKeyAssigns(file, chosen, error)) << error;
    EXPECT_EQ(ReadKeyAssigns(file), chosen);

    const std::string rest = "StateDown 0x28\nStateLeft 0x25\nStateRight 0x27\n";
    const std::pair<std::string, std::string> cases[] = {
        {"\x7f\x45LF\x02\x01", "line 1: unknown action"},
        {"# no keys\n", "StateUp is missing"},
        {"StateUp zz\n" + rest, "line 1: \"StateUp zz\" is not an action followed by one key code"},
        {"StateUp 0x100\n" + rest, "from 1 to 255"},
        {"StateUp 87 88\n" + rest, "from 1 to 255"},
        {"StateUp\n" + rest, "from 1 to 255"},
        {"StateUp 0x57\n" + rest + "StateUp 0x58\n", "line 5: StateUp is given twice"},
        {"StateUp 0x25\n" + rest, "StateUp and StateLeft share one key"},
    };
    for (const auto& [text, why] : cases) {
        std::ofstream(file, std::ios::trunc) << text;
        testing::internal::CaptureStderr();
        EXPECT_EQ(ReadKeyAssigns(file), GameKeyAssigns()) << text;
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find(file.string() + ": "), std::string::npos) << said;
        EXPECT_NE(said.find(why), std::string::npos) << said;
    }
    std::filesystem::remove(file);
}
