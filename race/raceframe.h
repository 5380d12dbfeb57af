// One frame of the race, run by the engine's idle event as often as the
// machine allows: the clock, the driving step, the scene and the HUD, the
// start handshake's "spielbereit" and "losfahren", the start and end clocks,
// the finish test, and the frame shown or the race ended.
#pragma once

#include <cstdint>
#include <functional>

#include "race/spiel.h"

namespace spiel {

// What the frame needs from the window: the session's host, the racers the
// host waits for, the laps of this race, drawing and showing the frame, and
// the screen work at the end of the race. A player without a screen (a
// bot) leaves Draw and Present unset.
struct TRaceFrameHooks {
    std::function<void()> Draw;
    std::function<uint32_t()> HostId;
    std::function<int32_t()> RacerCount;
    std::function<int()> Laps;
    std::function<void()> Present;
    IRaceEnd* RaceEnd = nullptr;
};
extern TRaceFrameHooks RaceFrameHooks;

// Nothing outside the racing phase; the frame in which the race ends is
// drawn but not shown.
void RaceFrame();

}  // namespace spiel
