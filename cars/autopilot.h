// A driver for the local car: turns the race state into the four control
// states the driving step reads instead of the keyboard. It steers for the
// next gate's opening along the gate's own axis, keeps the throttle down,
// brakes before a sharp turn and backs out when it is stuck against a tree
// or a post. Tests race with it; the bots drive with it.
#pragma once

#include "cars/move.h"
#include "race/racestate.h"
#include "world/track.h"

namespace autopilot {

// What the driver remembers between frames.
struct TState {
    float Watch = 0;        // seconds since the last progress check
    D3DVECTOR WatchedPos;   // where the car was then
    float Reverse = 0;      // seconds of backing out still to go
    float Dodge = 0;        // then seconds of heading off to one side
    float DodgeSide = 1;    // which side, taken in turn
    float SinceGate = 0;    // seconds since the car last passed a gate
    float Downhill = 0;     // seconds of heading down the slope still to go
    int32_t Gates = 0;      // its gate count then
    float TopSpeed = 1e9f;  // the driver's own limit: weaker drivers lift off sooner
};

// The controls for car on its way through gate this frame (frameTime seconds).
move::TControls Drive(const spiel::TPlayerRec& car, const track::TGateRec& gate, double frameTime, TState& state);

// The local car (record 0) towards the next gate of its race, with the
// local driver's state.
move::TControls DriveLocalCar(double frameTime);
TState& LocalDriver();

}  // namespace autopilot
