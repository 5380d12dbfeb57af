// The head-up display panels and the two full-window pictures.
#pragma once

#include "tools/makedata/bitmaps.h"

namespace makedata {

// Drawn at their own size with white as the transparent colour.
TImage MakeSpeedPanel();  // speed.bmp, 221 × 29, at the lower right
TImage MakeTimePanel();   // time.bmp, 221 × 29, at the lower left
TImage MakeListPanel();   // leer.bmp, 153 × 135, faint box behind the standings

// 640 × 480 backgrounds of the start page and the lobby.
TImage MakeMainMenu();
TImage MakeLobby();

}  // namespace makedata
