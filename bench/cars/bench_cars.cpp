// The host's referee step for a full race (ten cars, 100 trees, five gates)
// and one driving step of the local car, on the race's own tables over a
// terrain loaded from a bitmap. The tree pass is also timed as it would be
// without the 150-unit distance check (every car against every tree with the
// full box test), and the ratio printed.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <QImage>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "cars/cars.h"
#include "cars/move.h"
#include "cars/u_collisiondetection.h"
#include "race/racestate.h"
#include "race/spiel.h"
#include "world/u_heightmap.h"

using namespace u_collisiondetection;
using track::GateCount;
using track::TreeCount;

namespace {

// Rolling hills from a real bitmap, as the race builds its terrain.
void LoadHills()
{
    const auto dir = std::filesystem::temp_directory_path() / ("dunebolt_bench_cars_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "height.bmp").string();
    QImage img(256, 256, QImage::Format_RGB32);
    for (int x = 0; x < 256; ++x)
        for (int y = 0; y < 256; ++y) {
            const int g = static_cast<int>(128 + 60 * std::sin(x * 0.05) * std::cos(y * 0.04));
            img.setPixel(x, y, qRgb(g, g, g));
        }
    img.save(QString::fromStdString(file), "BMP");
    u_heightmap::Terrain = u_heightmap::TD3DHeightSurfaceTerrain{};
    u_heightmap::Terrain.FileName = file;
    u_heightmap::LoadHeightmap(u_heightmap::Terrain);
    u_heightmap::BuildCellTable(u_heightmap::Terrain);
    std::filesystem::remove_all(dir);
}

// Ten cars in pairs side by side among a grid of trees, every other pair
// close to a tree, all moving; the five gates of the race.
void SetUpRace()
{
    const std::array<D3DVECTOR, GateCount> gatePos{
        {{400, 0, 900}, {-6000, 0, 8000}, {8000, 0, 8000}, {6000, 0, -8000}, {-9000, 0, -7000}}};
    const std::array<float, GateCount> yaw{0.7853982f, -0.5235988f, -0.5235988f, -0.7853982f, 1.7453293f};
    for (int g = 0; g < GateCount; ++g) {
        track::GateTable[g].Pos = gatePos[g];
        track::GateTable[g].Yaw = yaw[g];
        track::GateTable[g].World = RotateYMatrix(yaw[g]) * TranslateMatrix(gatePos[g]);
    }
    spiel::GateOrder = {3, 1, 4, 0, 2};
    for (int t = 0; t < TreeCount; ++t)
        track::TreeTable[t].Pos = {-4500.0f + (t % 10) * 1000, 0, -4500.0f + (t / 10) * 1000};
    for (int i = 0; i < spiel::MaxPlayers; ++i) {
        spiel::TPlayerRec& r = spiel::PlayerTable[i];
        r = spiel::TPlayerRec{};
        r.Id = 100 + i;
        for (int k = 0; k < 12; ++k) r.Hull[k] = cars::CarHull[k];
        r.Pos = {-4500.0f + (i / 2) * 2000 + (i % 2) * 260, 0, -4500.0f + ((i / 2) % 2) * 120};
        r.SafePos = r.Pos;
        r.Heading = 0.1f * i;
        r.Move = {std::sin(r.Heading) * 8, 0, std::cos(r.Heading) * 8};
    }
    spiel::RecordGateSides();
}

void BM_DetectCollisions(benchmark::State& state)
{
    SetUpRace();
    const auto start = spiel::PlayerTable;
    for (auto _ : state) {
        spiel::PlayerTable = start;
        spiel::RefereeStep();
        spiel::RecordGateSides();
        benchmark::DoNotOptimize(spiel::PlayerTable);
    }
}
BENCHMARK(BM_DetectCollisions);

// The reference: the tree pass without its distance check.
void BM_TreesWithoutDistanceCheck(benchmark::State& state)
{
    SetUpRace();
    for (auto _ : state) {
        int hits = 0;
        for (const spiel::TPlayerRec& r : spiel::PlayerTable) {
            const TBox car = CarBox(r);
            for (const track::TTreeRec& t : track::TreeTable)
                if (BoxesTouch(car, ShiftBox(TreeBox, t.Pos), true)) ++hits;
        }
        benchmark::DoNotOptimize(hits);
    }
}
BENCHMARK(BM_TreesWithoutDistanceCheck);

void BM_DriveCar(benchmark::State& state)
{
    SetUpRace();
    spiel::PlayerTable[0].Pos = {-3000, 0, -3000};
    spiel::FrameTime = 0.01;
    spiel::ControlsLocked = 0;
    spiel::FirstFrameDrawn = 1;
    move::ResetDriving();
    move::DriveHooks.ReadControls = [] { return move::TControls{.Up = true, .Right = true}; };
    move::DriveHooks.IsHost = [] { return false; };
    for (auto _ : state) {
        move::DriveCar();
        benchmark::DoNotOptimize(spiel::PlayerTable[0]);
    }
    state.counters["speed"] = spiel::PlayerTable[0].Speed;
}
BENCHMARK(BM_DriveCar);

// The same step on the host, which also referees all ten cars.
void BM_DriveCarOnTheHost(benchmark::State& state)
{
    SetUpRace();
    spiel::FrameTime = 0.01;
    spiel::ControlsLocked = 0;
    spiel::FirstFrameDrawn = 1;
    move::ResetDriving();
    move::DriveHooks.ReadControls = [] { return move::TControls{.Up = true}; };
    move::DriveHooks.IsHost = [] { return true; };
    const auto start = spiel::PlayerTable;
    for (auto _ : state) {
        spiel::PlayerTable = start;
        move::DriveCar();
        benchmark::DoNotOptimize(spiel::PlayerTable[0]);
    }
}
BENCHMARK(BM_DriveCarOnTheHost);

// Prints the usual table, then each step's share of a 60-frames-per-second
// frame and the tree pass reference's ratio to the whole referee step.
class TRatioReporter : public benchmark::ConsoleReporter {
public:
    // Plain text: the figures usually end up in a log.
    TRatioReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration) ns_[r.benchmark_name()] = r.GetAdjustedRealTime();
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        const double frame = 1e9 / 60;
        for (const auto& [name, ns] : ns_)
            std::printf("%-32s %10.0f ns  %6.3f %% of a 60 Hz frame\n", name.c_str(), ns, 100 * ns / frame);
        if (ns_.count("BM_DetectCollisions") && ns_.count("BM_TreesWithoutDistanceCheck"))
            std::printf("tree pass without distance check / whole referee step: %.1f\n",
                        ns_["BM_TreesWithoutDistanceCheck"] / ns_["BM_DetectCollisions"]);
    }

private:
    std::map<std::string, double> ns_;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    LoadHills();
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
