#pragma once

#include "platform/dxinput/dxinput.h"

#include <memory>

// The X server's whole keyboard, read in the background (XQueryKeymap).
// Null when the application does not run on X11 or the display cannot be opened.
std::unique_ptr<TKeyboardSource> OpenX11Keyboard();
