// The host's referee step for a full race (ten cars, 100 trees, five gates)
// and one driving step of the local car. The referee is also timed with every
// tree given the box tests, the simpler check the distance test saves.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>

#include "cars/cars.h"
#include "cars/move.h"
#include "cars/referee.h"

using namespace u_collisiondetection;

namespace {

struct Rec {
    uint32_t Id = 0;
    float Speed = 0;
    D3DVECTOR SafePos, Pos;
    float Pitch = 0, Heading = 0, Roll = 0;
    D3DVECTOR Move;
    D3DVECTOR Hull[12];
    float GateSide[5]{};
    int32_t NextGate = 0, GatesPassed = 0;
};

struct Race {
    std::array<TGateRec, GateCount> gates;
    std::array<TTreeRec, TreeCount> trees;
    std::array<uint32_t, GateCount> order{3, 1, 4, 0, 2};
    D3DVECTOR goal;
    std::array<Rec, 10> table;
    TRefereeSends sends;
    int messages = 0;

    Race()
    {
        for (int g = 0; g < GateCount; ++g) {
            gates[g].Pos = {-6000.0f + g * 3000, 0, 2000};
            gates[g].Yaw = 0.3f * g;
            gates[g].World = RotateYMatrix(gates[g].Yaw) * TranslateMatrix(gates[g].Pos);
        }
        // A grid of trees; the cars drive among them, some of them close.
        for (int t = 0; t < TreeCount; ++t) trees[t].Pos = {-4500.0f + (t % 10) * 1000, 0, -4500.0f + (t / 10) * 1000};
        for (int i = 0; i < 10; ++i) {
            Rec& r = table[i];
            r.Id = 100 + i;
            for (int k = 0; k < 12; ++k) r.Hull[k] = cars::CarHull[k];
            // Pairs of cars side by side, every other pair near a tree.
            r.Pos = {-4500.0f + (i / 2) * 2000 + (i % 2) * 260, 0, -4500.0f + ((i / 2) % 2) * 120};
            r.SafePos = r.Pos;
            r.Heading = 0.1f * i;
            r.Move = {std::sin(r.Heading) * 8, 0, std::cos(r.Heading) * 8};
        }
        sends.UpdateMyGoal = [this] { ++messages; };
        sends.NextTor = [this](uint32_t) { ++messages; };
        sends.SetPosition = [this](D3DVECTOR, uint8_t, uint32_t) { ++messages; };
        UpdateGateSidesOn(std::span<Rec, 10>(table), std::span<const TGateRec, GateCount>(gates));
    }
};

void BM_DetectCollisions(benchmark::State& state)
{
    Race race;
    const auto start = race.table;
    const TRefereeWorld w{race.gates, race.trees, race.order, &race.goal};
    for (auto _ : state) {
        race.table = start;
        DetectCollisionsOn(std::span<Rec, 10>(race.table), w, race.sends);
        UpdateGateSidesOn(std::span<Rec, 10>(race.table), std::span<const TGateRec, GateCount>(race.gates));
        benchmark::DoNotOptimize(race.table);
    }
    state.counters["messages_per_step"] =
        benchmark::Counter(static_cast<double>(race.messages) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_DetectCollisions);

// The tree pass as it would be without the 150-unit distance check: every
// car against every tree with the full box test.
void BM_TreesWithoutDistanceCheck(benchmark::State& state)
{
    Race race;
    for (auto _ : state) {
        int hits = 0;
        for (const Rec& r : race.table) {
            TBox car = CarBox(r);
            for (const TTreeRec& t : race.trees)
                if (BoxesTouch(car, ShiftBox(TreeBox, t.Pos), true)) ++hits;
        }
        benchmark::DoNotOptimize(hits);
    }
}
BENCHMARK(BM_TreesWithoutDistanceCheck);

void BM_DriveStep(benchmark::State& state)
{
    move::ResetDriving();
    auto hills = [](float x, float z, D3DVECTOR* n) {
        if (n) *n = Normalize(D3DVECTOR{-0.05f * std::cos(x * 0.001f), 1, 0.05f * std::sin(z * 0.001f)});
        return 50 * std::sin(x * 0.001f) + 50 * std::cos(z * 0.001f);
    };
    spiel::TPlayerRec car;
    const move::TControls in{.Up = true, .Right = true};
    float raceTime = 0;
    for (auto _ : state) {
        move::DriveStep(car, in, 0.01, false, raceTime, hills);
        benchmark::DoNotOptimize(car);
    }
    state.counters["speed"] = car.Speed;
}
BENCHMARK(BM_DriveStep);

}  // namespace

BENCHMARK_MAIN();
