// The race state and the race's rules: the player table's records, gates
// and laps, the finish and the end of a race, the race time as shown.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>

#include "race/racestate.h"
#include "race/remotecars.h"
#include "race/spiel.h"

using namespace spiel;

namespace {

// A fresh race: the local player 1000, gate g at (2000·g, 10·g, 0), gate
// order 3 1 4 0 2, globals as at the end of the countdown.
void NewRace()
{
    PlayerTable = {};
    PlayerTable[0].Id = 1000;
    for (int g = 0; g < RaceGateCount; ++g) track::GateTable[g].Pos = {2000.0f * g, 10.0f * g, 0};
    GateOrder = {3, 1, 4, 0, 2};
    ResetRaceGlobals();
    UpdateGoalPos();
}

D3DVECTOR Raised(int gate) { return track::GateTable[gate].Pos + D3DVECTOR{0, 100, 0}; }

// The window's part of the end of a race: what it was told, and the phase
// the race state was in by then.
struct TResultsSeen : IRaceEnd {
    std::vector<std::string> Seen;
    void RaceEnded(uint32_t winnerId, const std::vector<TFinisher>& finishers) override
    {
        std::string s = "phase " + std::to_string(GamePhase) + " winner " + std::to_string(winnerId);
        for (const TFinisher& f : finishers) s += ", " + std::to_string(f.Id) + " " + std::to_string(f.Time);
        Seen.push_back(s);
    }
};

}  // namespace

TEST(RaceState, RecordsAreClaimedFoundAndLeft)
{
    NewRace();
    // Start positions: the first of the first N records (at most ten) whose
    // Id is the player's or 0.
    const struct {
        uint32_t id;
        int players, record;
    } starts[] = {{1000, 3, 0}, {2000, 3, 1}, {3000, 3, 2}, {4000, 3, -1}, {2000, 3, 1}, {5000, 0, -1}, {5000, 50, 3}};
    for (const auto& s : starts) EXPECT_EQ(ClaimStartPositionRecord(s.id, s.players), s.record) << s.id;
    // Car states: records 1..9, the sender's own or one not used in this
    // race; a player who leaves frees the Id but not the record.
    EXPECT_EQ(std::make_tuple(ClaimCarStateRecord(3000), ClaimCarStateRecord(6000), ClaimCarStateRecord(6000)),
              std::make_tuple(2, 4, 4));
    PlayerLeft(6000);
    PlayerLeft(1000);  // record 0 is never given up
    EXPECT_EQ(ClaimCarStateRecord(7000), 5);
    for (uint32_t id = 8000; id < 8004; ++id) EXPECT_EQ(ClaimCarStateRecord(id), static_cast<int>(id - 7994));
    EXPECT_EQ(ClaimCarStateRecord(9999), -1);
    EXPECT_EQ(ActiveRecordCount(), 9);
    EXPECT_EQ(std::make_tuple(FindRecord(1000), FindRecord(1000, 1), FindRecord(8003, 0, 8), FindRecord(8003)),
              std::make_tuple(0, -1, -1, 9));
    EXPECT_EQ(std::make_tuple(RecordTakesPart(0), RecordTakesPart(4), RecordTakesPart(9), RecordTakesPart(10)),
              std::make_tuple(true, false, true, false));
}

TEST(Gates, OnlyTheNextGateCountsAndTheArrowPointsBeyondIt)
{
    NewRace();
    PlayerTable[1].Id = 2000;
    PlayerTable[9].Id = 9000;
    EXPECT_EQ(GoalPos, Raised(3));
    // Record, gate; whether it counts, then record 0's next gate and the
    // gate the arrow points at.
    const struct {
        int record, gate;
        bool counts;
        int next, arrow;
    } passes[] = {
        {0, 1, false, 0, 3},  {0, 3, true, 1, 1},   {0, 3, false, 1, 1}, {0, 1, true, 2, 4}, {0, 4, true, 3, 0},
        {0, 0, true, 4, 2},   {0, 2, true, 0, 3},   {1, 0, false, 0, 3}, {1, 3, true, 0, 3}, {5, 3, false, 0, 3},
        {-1, 3, false, 0, 3}, {10, 3, false, 0, 3}, {0, 7, false, 0, 3},
    };
    for (const auto& p : passes) {
        EXPECT_EQ(GatePass(p.record, p.gate), p.counts) << p.record << " " << p.gate;
        EXPECT_EQ(PlayerTable[0].NextGate, p.next);
        EXPECT_EQ(GoalPos, Raised(p.arrow));
    }
    EXPECT_EQ(std::make_tuple(PlayerTable[0].GatesPassed, PlayerTable[1].NextGate, PlayerTable[1].GatesPassed),
              std::make_tuple(5, 1, 1));

    // "nexttor": the host saw this car pass its next gate. A gate order entry
    // that is no gate leaves the arrow; a next gate beyond the order counts
    // nothing.
    OnNextTor();
    EXPECT_EQ(std::make_pair(PlayerTable[0].GatesPassed, GoalPos), std::make_pair(6, Raised(1)));
    GateOrder[2] = 5;
    EXPECT_TRUE(GatePass(0, 1));
    EXPECT_EQ(GoalPos, Raised(1));
    PlayerTable[1].NextGate = 5;
    for (int g = 0; g < RaceGateCount; ++g) EXPECT_FALSE(GatePass(1, g));
    PlayerTable[0].NextGate = 7;
    UpdateGoalPos();
    EXPECT_EQ(GoalPos, Raised(1));
    PlayerTable[0].NextGate = 3;

    // "updatemygoal" from a sender: the host has counted it already; any
    // other program counts a gate for the sender's record among 1..9.
    const struct {
        uint32_t sender;
        bool host, counted;
    } updates[] = {{2000, true, false},  {2000, false, true},  {9000, false, true},
                   {4242, false, false}, {1000, false, false}, {0, false, false}};
    for (const auto& u : updates) EXPECT_EQ(OnUpdateMyGoal(u.sender, u.host), u.counted) << u.sender;
    EXPECT_EQ(std::make_tuple(PlayerTable[1].GatesPassed, PlayerTable[1].NextGate), std::make_tuple(2, 5));
}

TEST(Finish, LapsTheEndClockAndTheResultsAndTheNextRaceStartsAfresh)
{
    NewRace();
    GamePhase = PhaseRacing;
    FirstFrameDrawn = 1;
    PlayerTable[2].Id = 2000;
    PlayerTable[5].Id = 3000;
    PlayerTable[7].GatesPassed = 40;  // its player left
    PlayerTable[2].GatesPassed = 4;
    RaceTime = 42.5f;
    FrameTime = 3.0;
    EXPECT_EQ(FinishTest(1), 0);
    AdvanceEndClock();
    EXPECT_FALSE(RaceOver());

    // A lap is five gates. Two in one frame: in record order, the first wins.
    PlayerTable[2].GatesPassed = 5;
    PlayerTable[5].GatesPassed = 6;
    EXPECT_EQ(FinishTest(1), 2);
    EXPECT_EQ(FinishTest(1), 0);
    EXPECT_EQ(WinnerId, 2000u);

    // Ten seconds after the first finish the race is over; a later finisher
    // neither wins nor restarts the clock.
    for (int frame = 0; frame < 3; ++frame) {
        AdvanceEndClock();
        EXPECT_FALSE(RaceOver());
    }
    RaceTime = 47;
    PlayerTable[9].Id = 4000;
    PlayerTable[9].GatesPassed = 14;
    EXPECT_EQ(FinishTest(3), 0);
    PlayerTable[9].GatesPassed = 15;
    EXPECT_EQ(FinishTest(3), 1);
    AdvanceEndClock();
    EXPECT_TRUE(RaceOver());
    EXPECT_EQ(std::make_tuple(WinnerId, PlayerTable[2].Finished, PlayerTable[0].Finished, MyFinishTime),
              std::make_tuple(2000u, uint8_t{1}, uint8_t{0}, 0.0f));

    // The local player, not through, counts as finished once it is over.
    TResultsSeen screen;
    EndRace(&screen);
    EXPECT_EQ(screen.Seen,
              std::vector<std::string>{"phase 0 winner 2000, 2000 42.500000, 3000 42.500000, 4000 47.000000"});
    EXPECT_EQ(PlayerTable[0].Finished, 1);

    // The next race: waiting for "bereit" with the controls free, nobody
    // finished, no winner, its clocks not running; the host's checks still
    // run from its first frame.
    NewRace();
    EXPECT_EQ(std::make_tuple(GamePhase, ControlsLocked, StartClock, RaceTime, WinnerId, FirstFrameDrawn),
              std::make_tuple(PhaseGraphicsReady, uint8_t{0}, -2.0f, 0.0f, 0u, uint8_t{1}));
    EXPECT_TRUE(Finishers().empty());
    AdvanceEndClock();
    EXPECT_FALSE(RaceOver());
    // The local player finishing keeps its own time.
    RaceTime = 33;
    PlayerTable[0].GatesPassed = 5;
    EXPECT_EQ(FinishTest(1), 1);
    EXPECT_EQ(std::make_pair(WinnerId, MyFinishTime), std::make_pair(1000u, 33.0f));
}

TEST(StartGrid, ARowAcrossTheValley200Apart)
{
    for (int i : {0, 1, 2, 9}) {
        const D3DVECTOR p = StartGridPosition(i);
        EXPECT_EQ(std::make_pair(p.x, p.z), std::make_pair(-1600.0f + 200.0f * float(i), -2000.0f)) << i;
    }
}

TEST(FormatRaceTime, MinutesAndSecondsRoundedHalvesToEven)
{
    const std::pair<float, const char*> cases[] = {
        {0, "00:00"},    {65.4f, "01:05"},    {59.6f, "01:00"},   {3725, "02:05"}, {2.5f, "00:02"},
        {3.5f, "00:04"}, {599.5f, "10:00"},   {3599.4f, "59:59"}, {3600, "00:00"}, {7384, "03:04"},
        {NAN, "00:00"},  {INFINITY, "00:00"}, {2e15f, "00:00"},
    };
    for (const auto& [t, text] : cases) EXPECT_EQ(FormatRaceTime(t), text) << t;
}

// A car at 1 unit per ms along x, its states sent every second frame of a
// 60 Hz sender and seen at the frames of an 85 Hz receiver, which also
// draws it; every fifth state lost in the second case. Drawn where the
// last state put it, the car stands and jumps; drawn between states, its
// speed from frame to frame stays near the true one.
TEST(RemoteCars, GlideAtAnEvenSpeedAndJumpToANewPlace)
{
    // One state in lostEvery lost; the largest frame's speed over the mean.
    for (const auto& [lostEvery, maxJump] : {std::pair{0, 1.25}, {5, 1.6}}) {
        remotecars::Reset();
        const double sendEvery = 2000.0 / 60, frame = 1000.0 / 85;
        double nextSend = 0, lastDrawn = 0, sum = 0, maxStep = 0;
        int sent = 0, steps = 0;
        for (double t = frame; t < 3000; t += frame) {
            for (; nextSend <= t; nextSend += sendEvery)
                if (lostEvery == 0 || ++sent % lostEvery != 0) remotecars::Received(1, {{float(nextSend), 0, 0}}, t);
            const double x = remotecars::Drawn(1, {}, t).Pos.x;
            if (t > 500) {
                sum += x - lastDrawn, maxStep = std::max(maxStep, x - lastDrawn), ++steps;
                EXPECT_NEAR(x, t - remotecars::DelayMs, 40) << t;
            }
            lastDrawn = x;
        }
        EXPECT_LT(maxStep / (sum / steps), maxJump) << "one state in " << lostEvery << " lost";
    }
    // A set position is drawn at once; a heading across ±π turns the short way.
    remotecars::Reset();
    remotecars::Received(2, {{0, 0, 0}, 0, 0, 0, 3.1f}, 0);
    remotecars::Received(2, {{10, 0, 0}, 0, 0, 0, -3.1f}, 30);
    EXPECT_NEAR(std::abs(remotecars::Drawn(2, {}, 15 + remotecars::DelayMs).Heading), 3.14f, 0.02f);
    remotecars::Received(2, {{5000, 0, 0}}, 60);
    EXPECT_EQ(remotecars::Drawn(2, {}, 61).Pos.x, 5000);
    EXPECT_EQ(remotecars::Drawn(3, {{7, 0, 0}}, 61).Pos.x, 7) << "nothing received: the record's own";
}
