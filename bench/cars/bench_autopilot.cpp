// Lap times of the autopilot on the generated course, alone on the track,
// for each bot skill and at several frame rates (the host draws at 10 to 60
// frames a second, a bot steps at 60): every one of the 120 gate orders, two
// laps from the first place of the start grid, the host's referee putting
// the car back from trees and posts. Prints the median and the spread, and
// against them the least time any driver could take: straight lines from
// gate to gate at the flat-ground top speed.
//
//   bench_autopilot [PROGRAM_DIR]   (default: the build's program directory)
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/bot.h"
#include "cars/autopilot.h"
#include "cars/move.h"
#include "race/racestate.h"
#include "race/setupworld.h"
#include "race/spiel.h"

namespace {

// Seconds for laps of the course in this gate order; 0: not done in 10 minutes.
float RaceTime(const std::array<uint32_t, 5>& order, int laps, double frameTime, float topSpeed)
{
    spiel::PlayerTable[0] = {};
    cars::InitCar(spiel::PlayerTable[0]);
    spiel::PlayerTable[0].Id = 1;
    spiel::PlayerTable[0].Pos = spiel::StartGridPosition(0);
    spiel::GateOrder = order;
    spiel::ResetRaceGlobals();
    move::ResetDriving();
    spiel::FirstFrameDrawn = 1;
    spiel::FrameTime = frameTime;
    spiel::UpdateGoalPos();
    autopilot::LocalDriver() = {};
    autopilot::LocalDriver().TopSpeed = topSpeed;
    for (double t = 0; t < 600; t += frameTime) {
        move::DriveCar();
        if (spiel::PlayerTable[0].GatesPassed >= laps * spiel::RaceGateCount) return float(t);
    }
    return 0;
}

// Seconds along straight lines from the grid through the gates, at 1000
// units a second (speed 100).
float StraightLineTime(const std::array<uint32_t, 5>& order, int laps)
{
    D3DVECTOR at = spiel::StartGridPosition(0);
    double length = 0;
    for (int lap = 0; lap < laps; ++lap)
        for (uint32_t g : order) {
            const D3DVECTOR gate = track::GateTable[g].Pos;
            length += std::hypot(gate.x - at.x, gate.z - at.z);
            at = gate;
        }
    return float(length / 1000);
}

}  // namespace

int main(int argc, char** argv)
{
    spiel::SetupTrack(argc > 1 ? std::string(argv[1]) + "/" : std::string(DUNEBOLT_BIN_DIR) + "/");
    move::DriveHooks.ReadControls = [] { return autopilot::DriveLocalCar(spiel::FrameTime); };
    move::DriveHooks.IsHost = [] { return true; };
    std::vector<std::array<uint32_t, 5>> orders;
    std::array<uint32_t, 5> order{0, 1, 2, 3, 4};
    do orders.push_back(order);
    while (std::next_permutation(order.begin(), order.end()));

    std::vector<float> bounds;
    for (const auto& o : orders) bounds.push_back(StraightLineTime(o, 2));
    std::sort(bounds.begin(), bounds.end());
    std::printf("straight lines at top speed: best %.1fs, median %.1fs, worst %.1fs\n", bounds.front(),
                bounds[bounds.size() / 2], bounds.back());
    std::printf("%-10s %5s  %8s %8s %8s %8s  %s\n", "skill", "fps", "best", "median", "p90", "worst", "unfinished");
    for (const auto& [name, skill] :
         {std::pair{"schwer", TBotSkill::Pro}, {"mittel", TBotSkill::Advanced}, {"leicht", TBotSkill::Beginner}})
        for (const int fps : {60, 20, 10}) {
            if (skill != TBotSkill::Pro && fps != 60) continue;
            std::vector<float> times;
            int unfinished = 0;
            for (const auto& o : orders) {
                const float t = RaceTime(o, 2, 1.0 / fps, BotTopSpeed(skill));
                if (t > 0)
                    times.push_back(t);
                else
                    ++unfinished;
            }
            std::sort(times.begin(), times.end());
            const auto at = [&](double q) {
                return times.empty() ? 0.0f : times[size_t(q * double(times.size() - 1))];
            };
            std::printf("%-10s %5d  %7.1fs %7.1fs %7.1fs %7.1fs  %d of %zu\n", name, fps, at(0), at(0.5), at(0.9),
                        at(1), unfinished, orders.size());
        }
}
