#include "race/raceframe.h"

#include "cars/move.h"
#include "net/u_multiplayer.h"
#include "platform/d3d/frameclock.h"

namespace spiel {

TRaceFrameHooks RaceFrameHooks;

namespace {

// Controls unlock at "GO!"; the start clock stops a little after the
// banner is gone.
constexpr float GoTime = 4.0f;
constexpr float StartClockEnd = 6.0f;

template <class T, class F>
T Ask(const F& hook, T otherwise)
{
    return hook ? hook() : otherwise;
}

}  // namespace

void RaceFrame()
{
    using namespace u_multiplayer;
    if (GamePhase != PhaseRacing) return;
    FrameTime = FrameClockElapsed();
    move::DriveCar();
    if (RaceFrameHooks.Draw) RaceFrameHooks.Draw();
    FirstFrameDrawn = 1;
    if (PlayReadySent == 0) {
        PlayReadySent = 1;
        SendText(CmdSpielBereit, KindCommand, Ask(RaceFrameHooks.HostId, 0u), false);
    }
    // The host releases the start once every racer has drawn a frame; its
    // own copy of "losfahren" starts its clock inside the send.
    if (SessionIsHost() && StartClock < -1.0f && Ask(RaceFrameHooks.RacerCount, 1) <= PlayReadyCount) {
        StartClock = -1.0f;
        SendText(CmdLosfahren, KindCommand, 0, true);
    }
    if (StartClock >= 0.0f && StartClock <= StartClockEnd) StartClock = float(StartClock + FrameTime);
    if (StartClock >= GoTime) ControlsLocked = 0;
    FinishTest(Ask(RaceFrameHooks.Laps, 3));
    AdvanceEndClock();
    if (RaceOver()) {
        EndRace(RaceFrameHooks.RaceEnd);
        return;
    }
    if (RaceFrameHooks.Present) RaceFrameHooks.Present();
}

}  // namespace spiel
