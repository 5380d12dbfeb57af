#include "platform/gfx/gfxengine.h"
