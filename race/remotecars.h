// Other players' cars as they are drawn. Car states arrive about every
// 25 ms, later by varying amounts, and some never arrive: drawn where the
// last state put them, cars would stand still for frames and then jump.
// Each remote car is drawn a little in the past instead, between two states
// already here, and carried on along its way when states are late. Only the
// drawing uses this: the player record, which the host referees and the
// finish test reads, keeps the last state as it came.
#pragma once

#include "platform/d3d/d3dtypes.h"

namespace remotecars {

// What a car state says of a car's place and attitude.
struct TPose {
    D3DVECTOR Pos;
    float Steer = 0, WheelAngle = 0, Pitch = 0, Heading = 0, Roll = 0;
};

// Cars are drawn this far behind the newest state: about two send
// intervals, so one lost state still leaves two to draw between.
constexpr double DelayMs = 60;
// Two states farther apart than this are a set position or a new start
// place: the car is drawn there at once.
constexpr float SnapDistance = 400;
// When states stop coming a car goes on at its last speed this long, then
// waits for the next state.
constexpr double MaxExtrapolationMs = 200;

// The state of the car in record (1 … 9) arrived at nowMs.
void Received(int record, const TPose& pose, double nowMs);
// Where to draw the car of record at nowMs; latest (the record's own pose)
// while nothing has arrived for it.
TPose Drawn(int record, const TPose& latest, double nowMs);
// Forgets every car's states, at the start of a race.
void Reset();
// The clock of arrivals and frames, in milliseconds.
double NowMs();

}  // namespace remotecars
