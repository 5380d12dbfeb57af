#include <gtest/gtest.h>

#include <cmath>
#include <span>

#include "cars/move.h"
#include "cars/referee.h"
#include "cars/u_collisiondetection.h"
#include "race/racestate.h"
#include "race/spiel.h"

using namespace spiel;
namespace uc = u_collisiondetection;

namespace {

// A fresh race: an empty table with the local player 1000, the gates on a
// line along x, gate order 3 1 4 0 2, globals as at the end of the countdown.
void NewRace()
{
    PlayerTable = {};
    PlayerTable[0].Id = 1000;
    for (int g = 0; g < uc::GateCount; ++g) {
        GateTable[g].Pos = {2000.0f * g, 10.0f * g, 0};
        GateTable[g].Yaw = 0;
        GateTable[g].World = RotateYMatrix(0) * TranslateMatrix(GateTable[g].Pos);
    }
    GateOrder = {3, 1, 4, 0, 2};
    ResetRaceGlobals();
    UpdateGoalPos();
}

D3DVECTOR Raised(int gate) { return GateTable[gate].Pos + D3DVECTOR{0, 100, 0}; }

}  // namespace

TEST(RaceState, GlobalsAtTheEndOfTheCountdown)
{
    GamePhase = PhaseRacing;
    ControlsLocked = 1;
    PlayReadySent = 1;
    PlayReadyCount = 4;
    StartClock = 6.1f;
    WinnerId = 7;
    EndClock = 3;
    RaceTime = 55;
    MyFinishTime = 50;
    FinishOrder = {7, 8, 0};
    FinishTimes = {1, 2, 0};
    FirstFrameDrawn = 1;
    move::SpeedLimit = 12;
    ResetRaceGlobals();
    EXPECT_EQ(GamePhase, PhaseGraphicsReady);
    EXPECT_EQ(ControlsLocked, 0);
    EXPECT_EQ(PlayReadySent, 0);
    EXPECT_EQ(PlayReadyCount, 0);
    EXPECT_EQ(StartClock, -2.0f);
    EXPECT_EQ(WinnerId, 0u);
    EXPECT_EQ(EndClock, -1.0f);
    EXPECT_EQ(RaceTime, 0.0f);
    EXPECT_EQ(MyFinishTime, 0.0f);
    EXPECT_EQ(FinishOrder.size(), 1u);
    EXPECT_EQ(FinishTimes.size(), 1u);
    // Not reset: the host's checks run from the first frame of later races.
    EXPECT_EQ(FirstFrameDrawn, 1);
    // The driving model starts from its own start values again.
    EXPECT_NE(move::SpeedLimit, 12.0f);
}

TEST(RaceState, RecordLookupClaimsAndLeaving)
{
    NewRace();
    EXPECT_EQ(FindRecord(1000), 0);
    EXPECT_EQ(FindRecord(1000, 1), -1);
    EXPECT_EQ(ActiveRecordCount(), 1);
    EXPECT_TRUE(RecordTakesPart(0));
    EXPECT_FALSE(RecordTakesPart(1));

    // Start positions: among the first N records, Id equal or 0.
    EXPECT_EQ(ClaimStartPositionRecord(1000, 3), 0);
    EXPECT_EQ(ClaimStartPositionRecord(2000, 3), 1);
    EXPECT_EQ(ClaimStartPositionRecord(3000, 3), 2);
    EXPECT_EQ(ClaimStartPositionRecord(4000, 3), -1);
    EXPECT_EQ(ClaimStartPositionRecord(2000, 3), 1);
    EXPECT_EQ(ClaimStartPositionRecord(5000, 0), -1);
    EXPECT_EQ(ClaimStartPositionRecord(5000, 50), 3);  // at most ten records
    EXPECT_EQ(ActiveRecordCount(), 4);

    // Car states: records 1..9, the sender's own or a free one.
    EXPECT_EQ(ClaimCarStateRecord(3000), 2);
    EXPECT_EQ(PlayerTable[2].InUse, 1);
    EXPECT_EQ(ClaimCarStateRecord(6000), 4);
    EXPECT_EQ(ClaimCarStateRecord(6000), 4);

    // A player who leaves frees the Id but not the slot.
    PlayerLeft(6000);
    EXPECT_EQ(PlayerTable[4].Id, 0u);
    EXPECT_EQ(PlayerTable[4].InUse, 1);
    EXPECT_EQ(ClaimCarStateRecord(7000), 5);
    EXPECT_EQ(ActiveRecordCount(), 5);
    PlayerLeft(1000);  // record 0 is never given up
    EXPECT_EQ(PlayerTable[0].Id, 1000u);

    // The four free slots fill up; then no record qualifies, the left
    // player's slot included.
    for (uint32_t id = 8000; id < 8004; ++id) EXPECT_GT(ClaimCarStateRecord(id), 5);
    EXPECT_EQ(ClaimCarStateRecord(9999), -1);
    EXPECT_EQ(PlayerTable[4].Id, 0u);
    EXPECT_EQ(ActiveRecordCount(), 9);
}

TEST(Gates, InOrderTheyCountAndTheArrowMovesOn)
{
    NewRace();
    PlayerTable[1].Id = 2000;
    EXPECT_EQ(GoalPos, Raised(3));
    EXPECT_FALSE(GatePass(0, 1));  // out of order: nothing changes
    EXPECT_EQ(PlayerTable[0].NextGate, 0);
    EXPECT_EQ(PlayerTable[0].GatesPassed, 0);
    EXPECT_EQ(GoalPos, Raised(3));

    EXPECT_TRUE(GatePass(0, 3));
    EXPECT_EQ(PlayerTable[0].NextGate, 1);
    EXPECT_EQ(PlayerTable[0].GatesPassed, 1);
    EXPECT_EQ(GoalPos, Raised(1));
    EXPECT_FALSE(GatePass(0, 3));  // the same gate again
    for (int g : {1, 4, 0}) EXPECT_TRUE(GatePass(0, g));
    EXPECT_EQ(GoalPos, Raised(2));
    EXPECT_TRUE(GatePass(0, 2));  // the fifth wraps to the first
    EXPECT_EQ(PlayerTable[0].NextGate, 0);
    EXPECT_EQ(PlayerTable[0].GatesPassed, 5);
    EXPECT_EQ(GoalPos, Raised(3));

    // Another car: its own counters, the arrow stays.
    EXPECT_FALSE(GatePass(1, 0));
    EXPECT_TRUE(GatePass(1, 3));
    EXPECT_EQ(PlayerTable[1].NextGate, 1);
    EXPECT_EQ(PlayerTable[1].GatesPassed, 1);
    EXPECT_EQ(GoalPos, Raised(3));
    // A record without a player, and nonsense, change nothing.
    EXPECT_FALSE(GatePass(5, 3));
    EXPECT_FALSE(GatePass(-1, 3));
    EXPECT_FALSE(GatePass(10, 3));
    EXPECT_FALSE(GatePass(0, 7));
}

TEST(Gates, NextTorAndUpdateMyGoal)
{
    NewRace();
    PlayerTable[3].Id = 2000;
    OnNextTor();
    EXPECT_EQ(PlayerTable[0].NextGate, 1);
    EXPECT_EQ(PlayerTable[0].GatesPassed, 1);
    EXPECT_EQ(GoalPos, Raised(1));

    // The host ignores "updatemygoal"; another program counts once each.
    EXPECT_FALSE(OnUpdateMyGoal(2000, true));
    EXPECT_EQ(PlayerTable[3].GatesPassed, 0);
    EXPECT_TRUE(OnUpdateMyGoal(2000, false));
    EXPECT_TRUE(OnUpdateMyGoal(2000, false));
    EXPECT_EQ(PlayerTable[3].GatesPassed, 2);
    EXPECT_EQ(PlayerTable[3].NextGate, 0);  // not tracked for other cars
    EXPECT_FALSE(OnUpdateMyGoal(4242, false));
    EXPECT_FALSE(OnUpdateMyGoal(1000, false));  // the local record is not among 1..9
    EXPECT_FALSE(OnUpdateMyGoal(0, false));

    // A gate order entry that is no gate leaves the arrow where it is.
    GateOrder[1] = 9;
    const D3DVECTOR before = GoalPos;
    UpdateGoalPos();
    EXPECT_EQ(GoalPos, before);
}

TEST(Finish, OneLapAfterFiveGatesInRecordOrder)
{
    NewRace();
    PlayerTable[2].Id = 2000;
    PlayerTable[5].Id = 3000;
    PlayerTable[7].Id = 4000;
    PlayerTable[7].GatesPassed = 40;
    PlayerTable[7].Id = 0;  // left the race: no longer tested
    RaceTime = 42.5f;

    PlayerTable[2].GatesPassed = 4;
    EXPECT_EQ(FinishTest(1), 0);
    EXPECT_EQ(EndClock, -1.0f);

    // Two in the same frame: appended in record order, the lower the winner.
    PlayerTable[2].GatesPassed = 5;
    PlayerTable[5].GatesPassed = 6;
    EXPECT_EQ(FinishTest(1), 2);
    EXPECT_EQ(WinnerId, 2000u);
    EXPECT_EQ(EndClock, 0.0f);
    EXPECT_EQ(FinishOrder, (std::vector<uint32_t>{2000, 3000, 0}));
    EXPECT_EQ(FinishTimes, (std::vector<float>{42.5f, 42.5f, 0}));
    EXPECT_EQ(FinishTest(1), 0);  // each finishes once

    // The end clock runs; a later finisher is appended with its time and
    // does not restart it.
    FrameTime = 0.25;
    AdvanceEndClock();
    AdvanceEndClock();
    EXPECT_FLOAT_EQ(EndClock, 0.5f);
    RaceTime = 47.0f;
    PlayerTable[0].GatesPassed = 5;
    EXPECT_EQ(FinishTest(1), 1);
    EXPECT_FLOAT_EQ(EndClock, 0.5f);
    EXPECT_EQ(WinnerId, 2000u);
    EXPECT_EQ(MyFinishTime, 47.0f);
    EXPECT_EQ(FinishOrder.size(), 4u);
    EXPECT_EQ(FinishOrder[2], 1000u);
    EXPECT_EQ(FinishTimes[2], 47.0f);
    EXPECT_EQ(Finishers().size(), 3u);
}

TEST(Finish, LapsAreGatesDividedByFive)
{
    NewRace();
    PlayerTable[0].GatesPassed = 14;
    EXPECT_EQ(FinishTest(3), 0);
    PlayerTable[0].GatesPassed = 15;
    EXPECT_EQ(FinishTest(3), 1);
    EXPECT_EQ(WinnerId, 1000u);
}

namespace {

// The window's part of the end of the race, as the lobby will do it: it
// sees the race state already back in the lobby phase.
struct TResultsSeen : IRaceEnd {
    int Calls = 0;
    uint32_t Winner = 0;
    std::vector<TFinisher> Rows;
    uint8_t PhaseSeen = 99;
    void RaceEnded(uint32_t winnerId, const std::vector<TFinisher>& finishers) override
    {
        ++Calls;
        Winner = winnerId;
        Rows = finishers;
        PhaseSeen = GamePhase;
    }
};

}  // namespace

TEST(Finish, TheRaceEndsTenSecondsAfterTheFirstFinish)
{
    NewRace();
    GamePhase = PhaseRacing;
    for (int i = 1; i < MaxPlayers; ++i) PlayerTable[i].Id = 2000 + i;
    // A host alone finishing, others later: eleven finishers cannot happen,
    // but ten do and the results list at most ten rows.
    for (int i = 0; i < MaxPlayers; ++i) PlayerTable[i].GatesPassed = 5;
    RaceTime = 61.0f;
    EXPECT_EQ(FinishTest(1), 10);
    EXPECT_EQ(FinishOrder.size(), 11u);

    FrameTime = 3.0;
    for (int frame = 0; frame < 3; ++frame) {
        AdvanceEndClock();
        EXPECT_FALSE(RaceOver());
    }
    AdvanceEndClock();
    EXPECT_TRUE(RaceOver());

    TResultsSeen screen;
    EndRace(&screen);
    EXPECT_EQ(GamePhase, PhaseMenu);
    EXPECT_EQ(PlayerTable[0].Finished, 1);
    EXPECT_EQ(screen.Calls, 1);
    EXPECT_EQ(screen.PhaseSeen, PhaseMenu);
    EXPECT_EQ(screen.Winner, 1000u);
    ASSERT_EQ(screen.Rows.size(), 10u);
    EXPECT_EQ(screen.Rows[0].Id, 1000u);
    EXPECT_EQ(screen.Rows[9].Id, 2009u);
    EXPECT_EQ(screen.Rows[9].Time, 61.0f);

    // An empty race ends with no rows, and without a screen too.
    NewRace();
    EXPECT_TRUE(Finishers().empty());
    EndRace(nullptr);
    EXPECT_EQ(GamePhase, PhaseMenu);
    EXPECT_EQ(PlayerTable[0].Finished, 1);

    // The end clock does not run before anybody finished.
    NewRace();
    AdvanceEndClock();
    EXPECT_EQ(EndClock, -1.0f);
    EXPECT_FALSE(RaceOver());
}

TEST(FormatRaceTime, MinutesAndSecondsHalvesToEven)
{
    EXPECT_EQ(FormatRaceTime(0), "00:00");
    EXPECT_EQ(FormatRaceTime(3), "00:03");
    EXPECT_EQ(FormatRaceTime(65.4f), "01:05");
    EXPECT_EQ(FormatRaceTime(59.6f), "01:00");
    EXPECT_EQ(FormatRaceTime(3725), "02:05");
    EXPECT_EQ(FormatRaceTime(2.5f), "00:02");
    EXPECT_EQ(FormatRaceTime(3.5f), "00:04");
    EXPECT_EQ(FormatRaceTime(599.5f), "10:00");
    EXPECT_EQ(FormatRaceTime(3599.4f), "59:59");
    EXPECT_EQ(FormatRaceTime(3600), "00:00");  // hours dropped
    EXPECT_EQ(FormatRaceTime(7384), "03:04");
    EXPECT_EQ(FormatRaceTime(std::nanf("")), "00:00");
    EXPECT_EQ(FormatRaceTime(INFINITY), "00:00");
}
