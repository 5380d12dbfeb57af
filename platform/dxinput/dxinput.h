// The input component: reads the keyboard in the background and turns keys
// into input states through a key assignment table. Main thread only;
// nothing is buffered, so keys pressed and released between two updates are
// not seen.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

class QWidget;
class TGamepads;

class EDXInputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum TDXInputState : int {
    StateUp,
    StateDown,
    StateLeft,
    StateRight,
    StateButton1,
    // StateButton2 … StateButton32 follow in order.
    StateButton32 = StateButton1 + 31,
};
constexpr int InputStateCount = 36;
using TDXInputStates = std::bitset<InputStateCount>;

// Windows virtual-key codes used by the key assignment table.
constexpr int32_t VK_SPACE = 0x20;
constexpr int32_t VK_LEFT = 0x25;
constexpr int32_t VK_UP = 0x26;
constexpr int32_t VK_RIGHT = 0x27;
constexpr int32_t VK_DOWN = 0x28;
// The rest of the keyboard, as both key sources map it.
constexpr int32_t VK_BACK = 0x08, VK_TAB = 0x09, VK_RETURN = 0x0D, VK_SHIFT = 0x10, VK_CONTROL = 0x11, VK_MENU = 0x12,
                  VK_PAUSE = 0x13, VK_CAPITAL = 0x14, VK_ESCAPE = 0x1B, VK_PRIOR = 0x21, VK_NEXT = 0x22, VK_END = 0x23,
                  VK_HOME = 0x24, VK_INSERT = 0x2D, VK_DELETE = 0x2E, VK_NUMPAD0 = 0x60, VK_F1 = 0x70;

// The virtual key of a Qt key (keypad: the key came from the number pad);
// 0 for a key neither key source reports.
int32_t VirtualKeyFromQtKey(int key, bool keypad = false);

// Three key codes per state, 0 = no key.
using TKeyAssigns = std::array<std::array<int32_t, 3>, InputStateCount>;

// The game's table: the four arrows drive, space is bound but never read.
TKeyAssigns GameKeyAssigns();

// Where key states come from: X11 reads the whole keyboard in the background;
// without X11 the window's own key events are followed.
class TKeyboardSource {
public:
    virtual ~TKeyboardSource() = default;
    // Fills 256 key states indexed by virtual-key code (bit 7 = down).
    // Returns false when the read failed.
    virtual bool Read(std::array<uint8_t, 256>& keyStates) = 0;
    virtual void Acquire() {}
    virtual void Unacquire() {}
    virtual bool Background() const = 0;
};

struct TDXInputKeyboard {
    bool Enabled = true;
    bool BindInputStates = true;
    bool ForceFeedback = false;
    TKeyAssigns Assigns{};
    TDXInputStates States;                 // renewed by each update
    std::array<uint8_t, 256> KeyStates{};  // by virtual-key code, bit 7 = down
};

// The game controllers (SDL's game controller interface), all of them read
// together; the other settings are the original component's and take no
// effect.
struct TDXInputJoystick {
    bool Enabled = false;
    bool BindInputStates = true;
    bool AutoCenter = true;
    int ID = 0;
    int DeadZoneX = 50, DeadZoneY = 50, DeadZoneZ = 50;
    int RangeX = 1000, RangeY = 1000, RangeZ = 1000;
    TDXInputStates States;
};

struct TDXInputMouse {
    bool Enabled = false;
    bool BindInputStates = false;
    TDXInputStates States;
};

class TDXInput {
public:
    // The owner must be a window: the keyboard follows its activation and,
    // without X11, its key events.
    explicit TDXInput(QWidget* owner);
    ~TDXInput();
    TDXInput(const TDXInput&) = delete;
    TDXInput& operator=(const TDXInput&) = delete;

    bool ActiveOnly = false;
    bool UseDirectInput = true;  // the background reader (X11) when there is one
    TDXInputKeyboard Keyboard;
    TDXInputJoystick Joystick;
    TDXInputMouse Mouse;

    // The states whose keys are down, as of the last UpdateStates.
    TDXInputStates ActiveStates;

    // Polls every device and renews ActiveStates.
    void UpdateStates();

    // Whether keys are read in the background (X11) or from window events.
    bool ReadsInBackground() const;

    // Takes in controllers plugged in or pulled out and returns the first
    // connected one's name; empty when there is none or the joystick is
    // disabled.
    std::string GamepadName();

private:
    void UpdateKeyboard();
    void UpdateJoystick();
    class WindowWatcher;

    QWidget* owner_;
    std::unique_ptr<TKeyboardSource> background_;  // X11; null when absent
    std::unique_ptr<TKeyboardSource> fallback_;    // the window's key events
    std::unique_ptr<WindowWatcher> watcher_;
    std::unique_ptr<TGamepads> gamepads_;  // started by the first read with the joystick enabled
    TDXInputStates previous_;
};
