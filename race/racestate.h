// The race state every program keeps for itself: the player table and the
// race globals that carry a race through its phases. No window header here:
// the dispatcher, the race frame and the cars all read and write this state.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/d3d/d3dtypes.h"

// The car's loaded model object (the .x reader's record).
struct TXObject;

namespace spiel {

// The session admits at most ten players, so the table has ten records.
constexpr int MaxPlayers = 10;
constexpr int RaceGateCount = 5;
constexpr int HullPointCount = 12;

// One player's car as this program knows it.
struct TPlayerRec {
    uint32_t Id = 0;          // session player id; 0 = no player
    TXObject* Car = nullptr;  // the car's model object (InitCar)
    float Speed = 0;          // signed; negative while reversing
    D3DVECTOR SafePos;        // where the collision step puts it back
    D3DVECTOR Pos;            // position of the car's origin
    float Spare = 0;          // always 0; carried in the car state
    float Steer = 0;          // within ±π/6
    float WheelAngle = 0;
    float Pitch = 0;
    float Heading = 0;  // forward = (sin Heading, 0, cos Heading)
    float Roll = 0;
    D3DVECTOR Push;  // extra displacement; stays zero
    D3DVECTOR Move;  // displacement of the last driving step
    uint32_t Reserved = 0;
    std::array<D3DVECTOR, HullPointCount> Hull{};  // car-space collision points
    std::array<float, RaceGateCount> GateSide{};   // last signed side per gate number
    int32_t NextGate = 0;                          // position in GateOrder of the next gate
    int32_t GatesPassed = 0;                       // laps completed = GatesPassed / 5
    uint8_t Finished = 0;
    uint8_t Animate = 0;                 // 1 from set-up on: rebuild the matrices
    D3DMATRIX World = IdentityMatrix();  // the car's world matrix
    uint8_t InUse = 0;                   // claimed by a car state in this race
};

// Record 0 is always the local player; 1..9 the others. A record holds a
// player while its Id is not 0. Lives for the program; every record is reset
// by InitCar at each race start (the world setup), record 0's Id set then.
extern std::array<TPlayerRec, MaxPlayers> PlayerTable;

// Game phases.
constexpr uint8_t PhaseMenu = 0;            // start screen, lobby or results
constexpr uint8_t PhaseStartAnnounced = 1;  // "go!": the lobby countdown runs
constexpr uint8_t PhaseGraphicsReady = 2;   // world built, waiting for "bereit"
constexpr uint8_t PhaseLockedOut = 3;       // joined a game already running
constexpr uint8_t PhaseRacing = 4;

// The race globals, one set per program. They live for the program;
// ResetRaceGlobals gives them their values for a new race at the end of the
// lobby countdown (FirstFrameDrawn, FrameTime, GateOrder and GoalPos excepted).
extern uint8_t GamePhase;
extern uint8_t ControlsLocked;  // 1: the local car cannot be driven, RaceTime stands
extern uint8_t PlayReadySent;   // "spielbereit" sent in this race
extern int32_t PlayReadyCount;  // players whose "spielbereit" arrived (host)
extern float StartClock;        // −2 waiting, −1 released, then 0 … a little over 6
extern uint32_t WinnerId;       // first player seen to finish; 0 = nobody yet
extern float EndClock;          // −1 not running; from the first finish on counts to 10
extern float RaceTime;          // seconds the local player has raced
extern float MyFinishTime;      // RaceTime at which the local player finished
// Ids and local race times of the finishers in the order seen, each with one
// spare element at the end (finishers = size − 1).
extern std::vector<uint32_t> FinishOrder;
extern std::vector<float> FinishTimes;
extern uint8_t FirstFrameDrawn;  // 0 at program start, 1 after the first race frame; never cleared
extern double FrameTime;         // seconds between the last two race frames
extern std::array<uint32_t, RaceGateCount> GateOrder;  // gate numbers in racing order ("torliste:")
extern D3DVECTOR GoalPos;                              // the arrow's target: next gate + 100 up

// The values the race globals take at the end of the lobby countdown, after
// the world is built: phase 2, controls free, clocks waiting, no winner, no
// finishers. The race start resets the driving model beside it
// (move::ResetDriving), so a race never inherits the previous race's slope,
// speed limit or gate sides.
void ResetRaceGlobals();

// Counts a "spielbereit" from that player, once per player and race, so
// that one program cannot release the start for all; false if counted before.
bool CountPlayReady(uint32_t playerId);

// Index of the first record among first … last (inclusive) whose Id is id;
// −1 if none.
int FindRecord(uint32_t id, int first = 0, int last = MaxPlayers - 1);

// The record a car state from sender goes to: the first of 1..9 that has the
// sender's Id, or Id 0 and InUse 0. Claims it (InUse 1, Id sender); −1 if none.
int ClaimCarStateRecord(uint32_t sender);

// The record a start position for playerId goes to: the first of the first
// sessionPlayers records (at most ten) whose Id is 0 or playerId. Sets its Id;
// −1 if none (also with no session players).
int ClaimStartPositionRecord(uint32_t playerId, int sessionPlayers);

// A player left during the race: every record 1..9 with that Id gets Id 0
// and keeps InUse, so it is never claimed again in this race.
void PlayerLeft(uint32_t id);

// Records 0..9 with Id ≠ 0 (the standings).
int ActiveRecordCount();

// Whether record index takes part in the standings, the finish test and the
// host's checks: record 0 always, the others while they hold a player.
bool RecordTakesPart(int index);

}  // namespace spiel
