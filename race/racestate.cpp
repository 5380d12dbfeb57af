#include "race/racestate.h"

namespace spiel {

std::array<TPlayerRec, MaxPlayers> PlayerTable{};

uint8_t GamePhase = PhaseMenu;
uint8_t ControlsLocked = 0;
uint8_t PlayReadySent = 0;
int32_t PlayReadyCount = 0;
namespace {
// Who has said "spielbereit" in this race; reset with PlayReadyCount.
std::array<uint32_t, MaxPlayers> PlayReadyIds{};
}  // namespace
float StartClock = -2.0f;
uint32_t WinnerId = 0;
float EndClock = -1.0f;
float RaceTime = 0;
float MyFinishTime = 0;
std::vector<uint32_t> FinishOrder(1, 0);
std::vector<float> FinishTimes(1, 0.0f);
uint8_t FirstFrameDrawn = 0;
double FrameTime = 0;
std::array<uint32_t, RaceGateCount> GateOrder{0, 1, 2, 3, 4};
D3DVECTOR GoalPos;

void ResetRaceGlobals()
{
    GamePhase = PhaseGraphicsReady;
    ControlsLocked = 0;
    PlayReadySent = 0;
    PlayReadyCount = 0;
    PlayReadyIds.fill(0);
    StartClock = -2.0f;
    WinnerId = 0;
    EndClock = -1.0f;
    RaceTime = 0;
    MyFinishTime = 0;
    FinishOrder.assign(1, 0);
    FinishTimes.assign(1, 0.0f);
}

int FindRecord(uint32_t id, int first, int last)
{
    if (first < 0) first = 0;
    if (last > MaxPlayers - 1) last = MaxPlayers - 1;
    for (int i = first; i <= last; ++i)
        if (PlayerTable[i].Id == id) return i;
    return -1;
}

int ClaimCarStateRecord(uint32_t sender)
{
    for (int i = 1; i < MaxPlayers; ++i) {
        TPlayerRec& r = PlayerTable[i];
        // A record whose player left (Id 0, InUse 1) stays out for the race.
        const bool free = r.Id == 0 && r.InUse == 0;
        if (!free && r.Id != sender) continue;
        r.InUse = 1;
        r.Id = sender;
        return i;
    }
    return -1;
}

int ClaimStartPositionRecord(uint32_t playerId, int sessionPlayers)
{
    const int n = sessionPlayers < MaxPlayers ? sessionPlayers : MaxPlayers;
    for (int i = 0; i < n; ++i) {
        TPlayerRec& r = PlayerTable[i];
        if (r.Id != 0 && r.Id != playerId) continue;
        r.Id = playerId;
        return i;
    }
    return -1;
}

void PlayerLeft(uint32_t id)
{
    if (id == 0) return;
    for (int i = 1; i < MaxPlayers; ++i)
        if (PlayerTable[i].Id == id) PlayerTable[i].Id = 0;
}

int ActiveRecordCount()
{
    int n = 0;
    for (const TPlayerRec& r : PlayerTable)
        if (r.Id != 0) ++n;
    return n;
}

bool RecordTakesPart(int index)
{
    if (index == 0) return true;
    if (index < 0 || index >= MaxPlayers) return false;
    return PlayerTable[index].Id != 0;
}

}  // namespace spiel

namespace spiel {

bool CountPlayReady(uint32_t playerId)
{
    if (playerId == 0 || PlayReadyCount < 0 || PlayReadyCount >= MaxPlayers) return false;
    for (int i = 0; i < PlayReadyCount; ++i)
        if (PlayReadyIds[i] == playerId) return false;
    PlayReadyIds[PlayReadyCount++] = playerId;
    return true;
}

}  // namespace spiel
