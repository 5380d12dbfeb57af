#include "platform/dxinput/dxinput.h"

#include "platform/dxinput/gamepad.h"
#include "platform/dxinput/x11keyboard.h"

#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QWidget>

int32_t VirtualKeyFromQtKey(int key, bool keypad)
{
    // The number pad's digits are keys of their own, as the X11 reader sees them.
    if (keypad && key >= Qt::Key_0 && key <= Qt::Key_9) return int32_t(VK_NUMPAD0 + (key - Qt::Key_0));
    if (key >= Qt::Key_A && key <= Qt::Key_Z) return int32_t('A' + (key - Qt::Key_A));
    if (key >= Qt::Key_0 && key <= Qt::Key_9) return int32_t('0' + (key - Qt::Key_0));
    if (key >= Qt::Key_F1 && key <= Qt::Key_F12) return int32_t(VK_F1 + (key - Qt::Key_F1));
    switch (key) {
        case Qt::Key_Up:
            return VK_UP;
        case Qt::Key_Down:
            return VK_DOWN;
        case Qt::Key_Left:
            return VK_LEFT;
        case Qt::Key_Right:
            return VK_RIGHT;
        case Qt::Key_Space:
            return VK_SPACE;
        case Qt::Key_Backspace:
            return VK_BACK;
        case Qt::Key_Tab:
            return VK_TAB;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return VK_RETURN;
        case Qt::Key_Shift:
            return VK_SHIFT;
        case Qt::Key_Control:
            return VK_CONTROL;
        case Qt::Key_Alt:
            return VK_MENU;
        case Qt::Key_Pause:
            return VK_PAUSE;
        case Qt::Key_CapsLock:
            return VK_CAPITAL;
        case Qt::Key_Escape:
            return VK_ESCAPE;
        case Qt::Key_PageUp:
            return VK_PRIOR;
        case Qt::Key_PageDown:
            return VK_NEXT;
        case Qt::Key_End:
            return VK_END;
        case Qt::Key_Home:
            return VK_HOME;
        case Qt::Key_Insert:
            return VK_INSERT;
        case Qt::Key_Delete:
            return VK_DELETE;
        default:
            return 0;
    }
}

namespace {

// Follows the key events that reach the application's windows.
class WindowKeyboard final : public TKeyboardSource, public QObject {
public:
    WindowKeyboard() { QCoreApplication::instance()->installEventFilter(this); }
    ~WindowKeyboard() override
    {
        if (QCoreApplication::instance()) QCoreApplication::instance()->removeEventFilter(this);
    }

    bool Read(std::array<uint8_t, 256>& keyStates) override
    {
        for (size_t vk = 0; vk < 256; ++vk)
            if (down_[vk]) keyStates[vk] = 0x80;
        return true;
    }
    void Unacquire() override { down_.fill(false); }
    bool Background() const override { return false; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (!key->isAutoRepeat()) {
                const int32_t vk = VirtualKeyFromQtKey(key->key(), key->modifiers() & Qt::KeypadModifier);
                if (vk > 0 && vk < 256) down_[size_t(vk)] = event->type() == QEvent::KeyPress;
            }
        } else if (event->type() == QEvent::ApplicationDeactivate) {
            down_.fill(false);  // releases made elsewhere never arrive
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::array<bool, 256> down_{};
};

}  // namespace

// Watches the owner window: (re)acquires the keyboard when the window or the
// application becomes active.
class TDXInput::WindowWatcher final : public QObject {
public:
    WindowWatcher(QWidget* owner, TDXInput& input) : owner_(owner), input_(input) { owner_->installEventFilter(this); }
    ~WindowWatcher() override { owner_->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::WindowActivate || event->type() == QEvent::ActivationChange) {
            if (owner_->isActiveWindow()) {
                if (input_.background_) input_.background_->Acquire();
                input_.fallback_->Acquire();
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QWidget* owner_;
    TDXInput& input_;
};

TKeyAssigns GameKeyAssigns()
{
    TKeyAssigns assigns{};
    assigns[StateUp][0] = VK_UP;
    assigns[StateDown][0] = VK_DOWN;
    assigns[StateLeft][0] = VK_LEFT;
    assigns[StateRight][0] = VK_RIGHT;
    assigns[StateButton1][0] = VK_SPACE;
    return assigns;
}

TDXInput::TDXInput(QWidget* owner) : owner_(owner)
{
    if (!owner_ || !owner_->isWindow()) throw EDXInputError("TDXInput: the owner must be a window");
    Keyboard.Assigns = GameKeyAssigns();
    background_ = OpenX11Keyboard();
    fallback_ = std::make_unique<WindowKeyboard>();
    watcher_ = std::make_unique<WindowWatcher>(owner_, *this);
}

TDXInput::~TDXInput()
{
    if (background_) background_->Unacquire();
    fallback_->Unacquire();
}

bool TDXInput::ReadsInBackground() const { return UseDirectInput && background_; }

void TDXInput::UpdateKeyboard()
{
    Keyboard.KeyStates.fill(0);
    Keyboard.States.reset();
    if (!Keyboard.Enabled) return;
    if (ActiveOnly && !owner_->isActiveWindow()) return;

    TKeyboardSource& source = ReadsInBackground() ? *background_ : *fallback_;
    if (!source.Read(Keyboard.KeyStates)) {
        source.Acquire();
        if (!source.Read(Keyboard.KeyStates)) Keyboard.KeyStates.fill(0);  // a failed read: no key down this frame
    }

    for (int state = 0; state < InputStateCount; ++state)
        for (int32_t key : Keyboard.Assigns[size_t(state)])
            if (key > 0 && key < 256 && (Keyboard.KeyStates[size_t(key)] & 0x80)) {
                Keyboard.States.set(size_t(state));
                break;
            }
}

void TDXInput::UpdateJoystick()
{
    Joystick.States.reset();
    if (!Joystick.Enabled) return;
    if (!gamepads_) gamepads_ = std::make_unique<TGamepads>();
    Joystick.States = gamepads_->Poll();
}

std::string TDXInput::GamepadName()
{
    UpdateJoystick();
    return (gamepads_ && Joystick.Enabled) ? gamepads_->Name() : std::string();
}

void TDXInput::UpdateStates()
{
    TDXInputStates s;
    UpdateJoystick();
    if (Joystick.BindInputStates) s |= Joystick.States;
    UpdateKeyboard();
    if (Keyboard.BindInputStates) s |= Keyboard.States;
    // The mouse is disabled in this game: its set stays empty, but it takes
    // part in the union as configured.
    Mouse.States.reset();
    if (Mouse.BindInputStates) s |= Mouse.States;

    for (size_t i = 0; i < size_t(InputStateCount); ++i) {
        if (s[i] && !previous_[i])
            ActiveStates.set(i);
        else if (!s[i] && previous_[i])
            ActiveStates.reset(i);
    }
    previous_ = s;
}
