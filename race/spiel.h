// Gates, laps and finish: the gate rule (which crossing counts, the host's
// referee step hands every crossing to it), what "nexttor" and "updatemygoal"
// change, the finish test, the end clock, the state changes of the end of a
// race and the race time's display form.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "race/racestate.h"
#include "world/track.h"

namespace spiel {

static_assert(RaceGateCount == track::GateCount);

// GoalPos := gate GateOrder[record 0's NextGate] + 100 up. A gate order entry
// outside 0..4 leaves GoalPos as it is.
void UpdateGoalPos();

// Record 0 passed its next gate: advance and wrap NextGate, count the gate,
// move the arrow and send "updatemygoal" to all others. What the host does
// for its own car and every program does on "nexttor".
void AdvanceOwnGate();

// The host's gate pass: record index crossed gate number gate. Counts only
// when gate is the one the record must pass next; for another player's car
// it advances that record and sends "nexttor" to its owner. Returns whether
// the crossing counted.
bool GatePass(int index, int gate);

// "nexttor" received: the host has seen the local car pass its next gate.
void OnNextTor();

// "updatemygoal" received from sender. The host has already counted its own
// view of the pass and ignores it; any other program counts a gate for the
// sender's record among 1..9 (dropped when there is none). Returns whether a
// record was counted.
bool OnUpdateMyGoal(uint32_t sender, bool thisProgramIsHost);

// The host's referee step on the race's tables (the collision module's
// DetectCollisions): every crossing goes through GatePass, cars put back
// are sent set-position messages.
void RefereeStep();

// Records every taking-part car's side of every gate for the next crossing
// test (the collision module's UpdateGateSides). The race start calls it once
// the cars stand at their start positions, so that the first test of a race
// compares against sides of this race, not of the previous one.
void RecordGateSides();

// The finish test of one race frame with laps the number of laps: records in
// index order that hold a player and have not finished yet finish when
// laps ≤ GatesPassed / 5. The first finisher becomes the winner and starts
// the end clock; each is appended to FinishOrder/FinishTimes with this
// program's RaceTime. Returns the number of new finishers.
int FinishTest(int laps);

// The end clock advances by FrameTime once it runs.
void AdvanceEndClock();
// The race is over when the end clock has reached ten seconds.
bool RaceOver();

// One row of the results: who, and this program's race time when it saw
// the finish.
struct TFinisher {
    uint32_t Id = 0;
    float Time = 0;
};
constexpr int MaxResultRows = 10;
// The finishers in the order seen, at most ten.
std::vector<TFinisher> Finishers();

// The screen work of the end of a race (console line, lobby, results page,
// engine stop, music, the host's announcements), implemented by the window.
class IRaceEnd {
public:
    virtual ~IRaceEnd() = default;
    // Called once the race state shows the race as over; winnerId may name a
    // player who has left the session, finishers holds at most ten rows.
    virtual void RaceEnded(uint32_t winnerId, const std::vector<TFinisher>& finishers) = 0;
};

// End of the race: record 0 counts as finished and the game goes back to the
// lobby phase; then screen (when given) does the rest.
void EndRace(IRaceEnd* screen);

// Place i (0 …) of the start grid: a row across z = −2000, 200 apart from
// x = −1600, on the ground.
D3DVECTOR StartGridPosition(int i);

// Seconds as "mm:ss", whole hours dropped, each step rounded to the nearest
// integer with halves to even. A time that is not a finite number shows
// "00:00".
std::string FormatRaceTime(float t);

}  // namespace spiel
