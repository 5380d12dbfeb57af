#include "platform/dxinput/x11keyboard.h"

#include <QGuiApplication>

// Xlib's macros (KeyPress, None, Bool …) clash with Qt's names: keep Xlib
// to this file.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace {

int32_t VirtualKeyFromKeysym(KeySym sym)
{
    if (sym >= XK_a && sym <= XK_z) return int32_t('A' + (sym - XK_a));
    if (sym >= XK_A && sym <= XK_Z) return int32_t('A' + (sym - XK_A));
    if (sym >= XK_0 && sym <= XK_9) return int32_t('0' + (sym - XK_0));
    if (sym >= XK_F1 && sym <= XK_F12) return int32_t(VK_F1 + (sym - XK_F1));
    if (sym >= XK_KP_0 && sym <= XK_KP_9) return int32_t(VK_NUMPAD0 + (sym - XK_KP_0));
    switch (sym) {
        case XK_Up:
            return VK_UP;
        case XK_Down:
            return VK_DOWN;
        case XK_Left:
            return VK_LEFT;
        case XK_Right:
            return VK_RIGHT;
        case XK_space:
            return VK_SPACE;
        case XK_BackSpace:
            return VK_BACK;
        case XK_Tab:
            return VK_TAB;
        case XK_Return:
        case XK_KP_Enter:
            return VK_RETURN;
        case XK_Shift_L:
        case XK_Shift_R:
            return VK_SHIFT;
        case XK_Control_L:
        case XK_Control_R:
            return VK_CONTROL;
        case XK_Alt_L:
        case XK_Alt_R:
            return VK_MENU;
        case XK_Pause:
            return VK_PAUSE;
        case XK_Caps_Lock:
            return VK_CAPITAL;
        case XK_Escape:
            return VK_ESCAPE;
        case XK_Prior:
            return VK_PRIOR;
        case XK_Next:
            return VK_NEXT;
        case XK_End:
            return VK_END;
        case XK_Home:
            return VK_HOME;
        case XK_Insert:
            return VK_INSERT;
        case XK_Delete:
            return VK_DELETE;
        default:
            return 0;
    }
}

// The whole keyboard of the X server, whichever window has the focus.
// Keycodes play the part of scan codes; each maps to one virtual key.
class X11Keyboard final : public TKeyboardSource {
public:
    ~X11Keyboard() override { XCloseDisplay(display_); }

    bool Read(std::array<uint8_t, 256>& keyStates) override
    {
        char keys[32] = {};
        XQueryKeymap(display_, keys);
        for (int code = 0; code < 256; ++code)
            if ((uint8_t(keys[code / 8]) >> (code % 8)) & 1) {
                const int32_t vk = vkOfKeycode_[size_t(code)];
                if (vk > 0 && vk < 256) keyStates[size_t(vk)] = 0x80;
            }
        return true;
    }
    bool Background() const override { return true; }

    explicit X11Keyboard(Display* display) : display_(display)
    {
        int minCode = 8, maxCode = 255;
        XDisplayKeycodes(display_, &minCode, &maxCode);
        for (int code = minCode; code <= maxCode && code < 256; ++code)
            vkOfKeycode_[size_t(code)] = VirtualKeyFromKeysym(XkbKeycodeToKeysym(display_, KeyCode(code), 0, 0));
    }

private:
    Display* display_;
    std::array<int32_t, 256> vkOfKeycode_{};
};

}  // namespace

std::unique_ptr<TKeyboardSource> OpenX11Keyboard()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return nullptr;
    return std::make_unique<X11Keyboard>(display);
}
