// The head-up display's text layer, written on the render surface after the
// scene: the standings, speed and race time, the start banners, the winner
// line with the seconds left, and the music's fade in and out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace spiel {

// What the text needs from outside the race: the session's name of a player
// ("" once the player has left) and the music's PCM level 0 … 100.
struct THudHooks {
    std::function<std::string(uint32_t id)> PlayerName;
    std::function<void(int level)> SetMusicLevel;
};
extern THudHooks HudHooks;

// One line of the standings: a record index and its gate count.
struct TStanding {
    int Record = 0;
    int32_t GatesPassed = 0;
};
// The records holding a player, most gates first; equal counts keep record
// order, so the local player comes first among equals.
std::vector<TStanding> Standings();

// One text of the layer: its cell's top-left corner (or, when Centred, the
// middle of its top edge), the font's character height in pixels, and its
// colour 0xRRGGBB.
struct THudText {
    int X = 0, Y = 0;
    bool Centred = false;
    int Height = 0;
    uint32_t Colour = 0;
    std::string Text;
};
// What the layer shows this frame, placed by the panels' HudOffsetX and
// HudOffsetY; sets the music level while it fades in or out.
std::vector<THudText> HudTexts();

// Writes HudTexts on the current engine's canvas and gives the canvas back.
void DrawHud();

}  // namespace spiel
