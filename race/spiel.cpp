#include "race/spiel.h"

#include <cmath>
#include <cstdio>

#include "cars/u_collisiondetection.h"
#include "net/u_multiplayer.h"
#include "world/u_heightmap.h"

namespace spiel {

namespace uc = u_collisiondetection;

namespace {

void SendUpdateMyGoal()
{
    u_multiplayer::SendText(u_multiplayer::CmdUpdateMyGoal, u_multiplayer::KindCommand, 0, false);
}

void SendNextTor(uint32_t id)
{
    u_multiplayer::SendText(u_multiplayer::CmdNextTor, u_multiplayer::KindCommand, id, false);
}

// Advance a record past its next gate, wrapping after the fifth.
void StepGate(TPlayerRec& r)
{
    r.NextGate += 1;
    r.GatesPassed += 1;
    if (r.NextGate >= RaceGateCount) r.NextGate = 0;
}

}  // namespace

void UpdateGoalPos()
{
    const int32_t next = PlayerTable[0].NextGate;
    if (next < 0 || next >= RaceGateCount) return;
    const uint32_t gate = GateOrder[next];
    if (gate >= static_cast<uint32_t>(track::GateCount)) return;
    GoalPos = track::GateTable[gate].Pos + D3DVECTOR{0, 100, 0};
}

void AdvanceOwnGate()
{
    StepGate(PlayerTable[0]);
    UpdateGoalPos();
    SendUpdateMyGoal();
}

bool GatePass(int index, int gate)
{
    if (index < 0 || index >= MaxPlayers || !RecordTakesPart(index)) return false;
    TPlayerRec& r = PlayerTable[index];
    if (r.NextGate < 0 || r.NextGate >= RaceGateCount) return false;
    if (gate < 0 || static_cast<uint32_t>(gate) != GateOrder[r.NextGate]) return false;
    if (index == 0) {
        AdvanceOwnGate();
    } else {
        StepGate(r);
        SendNextTor(r.Id);
    }
    return true;
}

void OnNextTor() { AdvanceOwnGate(); }

bool OnUpdateMyGoal(uint32_t sender, bool thisProgramIsHost)
{
    if (thisProgramIsHost || sender == 0) return false;
    const int i = FindRecord(sender, 1, MaxPlayers - 1);
    if (i < 0) return false;
    PlayerTable[i].GatesPassed += 1;
    return true;
}

void RefereeStep()
{
    uc::TRefereeSends sends;
    sends.GatePass = GatePass;
    sends.SetPosition = u_multiplayer::SendSetPosition;
    uc::DetectCollisions(PlayerTable, {track::GateTable, track::TreeTable}, sends);
}

void RecordGateSides() { uc::UpdateGateSides(PlayerTable, track::GateTable); }

int FinishTest(int laps)
{
    int found = 0;
    for (int i = 0; i < MaxPlayers; ++i) {
        TPlayerRec& r = PlayerTable[i];
        if (r.Id == 0 || r.Finished != 0) continue;
        if (laps > r.GatesPassed / RaceGateCount) continue;
        if (WinnerId == 0) WinnerId = r.Id;
        if (EndClock == -1.0f) EndClock = 0.0f;
        r.Finished = 1;
        if (i == 0) MyFinishTime = RaceTime;
        // The last element is the spare: fill it, then add the new spare.
        if (FinishOrder.empty()) FinishOrder.push_back(0);
        if (FinishTimes.size() != FinishOrder.size()) FinishTimes.resize(FinishOrder.size(), 0.0f);
        FinishOrder.back() = r.Id;
        FinishTimes.back() = RaceTime;
        FinishOrder.push_back(0);
        FinishTimes.push_back(0.0f);
        ++found;
    }
    return found;
}

void AdvanceEndClock()
{
    if (EndClock >= 0.0f) EndClock = static_cast<float>(EndClock + FrameTime);
}

bool RaceOver() { return EndClock >= 10.0f; }

std::vector<TFinisher> Finishers()
{
    std::vector<TFinisher> rows;
    const size_t n = FinishOrder.empty() ? 0 : FinishOrder.size() - 1;
    for (size_t k = 0; k < n && k < static_cast<size_t>(MaxResultRows); ++k)
        rows.push_back({FinishOrder[k], k < FinishTimes.size() ? FinishTimes[k] : 0.0f});
    return rows;
}

void EndRace(IRaceEnd* screen)
{
    PlayerTable[0].Finished = 1;
    GamePhase = PhaseMenu;
    if (screen) screen->RaceEnded(WinnerId, Finishers());
}

std::string FormatRaceTime(float t)
{
    // Beyond this a float has no fraction left and the hour count would not
    // fit; such a time (and NaN or infinity) has no sensible display.
    if (!std::isfinite(t) || std::fabs(t) > 1e15f) return "00:00";
    // rint rounds to nearest with halves to even (the default rounding mode).
    const long long h = std::llrint(t) / 3600;
    t = t - 3600.0f * static_cast<float>(h);
    const long long m = std::llrint(t) / 60;
    t = t - 60.0f * static_cast<float>(m);
    const long long s = std::llrint(t);
    auto two = [](long long v) {
        std::string d = std::to_string(v);
        if (d.size() == 1) d.insert(d.begin(), '0');
        return d;
    };
    return two(m) + ":" + two(s);
}

D3DVECTOR StartGridPosition(int i)
{
    const float x = float(i) * 200 - 1600, z = -2000;
    return {x, u_heightmap::GetHeight(x, z), z};
}

}  // namespace spiel
