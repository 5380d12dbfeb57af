// The car side on the race's own tables: InitCar with a real model file, the
// driving step over a terrain loaded from a bitmap, and the host's referee
// step and gate sides on the player table.
#include <gtest/gtest.h>

#include <QImage>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <unistd.h>

#include "cars/cars.h"
#include "cars/move.h"
#include "cars/u_collisiondetection.h"
#include "race/racestate.h"
#include "race/spiel.h"
#include "world/u_heightmap.h"

namespace {

constexpr float kPi = std::numbers::pi_v<float>;

std::filesystem::path TempDir()
{
    auto dir = std::filesystem::temp_directory_path() / ("dunebolt_cars_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "3dobjects");
    return dir;
}

// A car body with the four wheels and their caps; wheel 2 has lost its
// second cap, which must simply be skipped.
std::string CarModelText(bool withAllCaps)
{
    std::string s = R"(xof 0303txt 0032
Frame body {
  FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1;; }
  Mesh { 4; -70;0;-100;, 70;0;-100;, 70;0;110;, -70;0;110;; 1; 4;0,1,2,3;; }
)";
    const float wx[4] = {-60, 60, -60, 60}, wz[4] = {80, 80, -80, -80};
    for (int w = 1; w <= 4; ++w) {
        const std::string t = std::to_string(wx[w - 1]) + "," + "30," + std::to_string(wz[w - 1]) + ",1";
        s += "  Frame x3ds_rad" + std::to_string(w) + " { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, " + t +
             ";; } }\n";
        for (int c = 1; c <= 2; ++c) {
            if (!withAllCaps && w == 2 && c == 2) continue;
            s += "  Frame x3ds_rad" + std::to_string(w) + "kap" + std::to_string(c) +
                 " { FrameTransformMatrix { 0,1,0,0, 1,0,0,0, 0,0,1,0, " + t + ";; } }\n";
        }
    }
    s += "}\n";
    return s;
}

void ExpectMatrixNear(const D3DMATRIX& a, const D3DMATRIX& b, float eps)
{
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(a.m[r][c], b.m[r][c], eps) << "element " << r + 1 << c + 1;
}

// A terrain from a real bitmap: the ground rises along +x by one grey level
// per pixel column (5 units per 100), level along z.
void LoadSlopedTerrain()
{
    const std::filesystem::path file = TempDir() / "height.bmp";
    QImage img(256, 256, QImage::Format_RGB32);
    for (int x = 0; x < 256; ++x)
        for (int y = 0; y < 256; ++y) img.setPixel(x, y, qRgb(x, x, x));
    ASSERT_TRUE(img.save(QString::fromStdString(file.string()), "BMP"));
    u_heightmap::Terrain = u_heightmap::TD3DHeightSurfaceTerrain{};
    u_heightmap::Terrain.FileName = file.string();
    u_heightmap::LoadHeightmap(u_heightmap::Terrain);
    u_heightmap::BuildCellTable(u_heightmap::Terrain);
}

// Five gates in a row across z = 0 … 8000, all facing along z, gate 0 first.
void PlaceGates()
{
    for (int g = 0; g < u_collisiondetection::GateCount; ++g) {
        auto& gate = spiel::GateTable[g];
        gate.Pos = {0, 0, 2000.0f * g};
        gate.Yaw = 0;
        gate.World = RotateYMatrix(gate.Yaw) * TranslateMatrix(gate.Pos);
    }
    spiel::GateOrder = {0, 1, 2, 3, 4};
}

// A fresh race table: every record reset, record 0 the local player, no
// trees near anything.
void FreshTable(uint32_t localId)
{
    for (auto& r : spiel::PlayerTable) {
        r = spiel::TPlayerRec{};
        for (size_t i = 0; i < r.Hull.size(); ++i) r.Hull[i] = cars::CarHull[i];
    }
    spiel::PlayerTable[0].Id = localId;
    for (auto& t : spiel::TreeTable) {
        t.Pos = {-12000, 0, -12000};
        t.Used = true;
    }
    PlaceGates();
    spiel::FrameTime = 0.02;
    spiel::ControlsLocked = 0;
    spiel::RaceTime = 0;
    spiel::FirstFrameDrawn = 1;
    move::ResetDriving();
    move::DriveHooks = {};
}

}  // namespace

TEST(InitCar, ResetsTheRecordAndGivesEachCarItsOwnModel)
{
    const auto dir = TempDir();
    std::ofstream(dir / "3dobjects" / "auto1.x") << CarModelText(true);
    XFileProgramDir = dir.string() + "/";

    spiel::TPlayerRec a, b;
    a.Id = 5;
    a.Speed = 80;
    a.Pos = a.SafePos = {10, 20, 30};
    a.Heading = 1;
    a.Move = {1, 2, 3};
    a.NextGate = 3;
    a.GatesPassed = 14;
    a.Finished = 1;
    a.InUse = 1;
    a.GateSide = {1, -2, 3, -4, 5};
    cars::InitCar(a);
    cars::InitCar(b);
    EXPECT_EQ(a.Id, 0u);
    EXPECT_EQ(a.Speed, 0);
    EXPECT_EQ(a.Pos, D3DVECTOR{});
    EXPECT_EQ(a.SafePos, D3DVECTOR{});
    EXPECT_EQ(a.Heading, 0);
    EXPECT_EQ(a.Move, D3DVECTOR{});
    EXPECT_EQ(a.NextGate, 0);
    EXPECT_EQ(a.GatesPassed, 0);
    EXPECT_EQ(a.Finished, 0);
    EXPECT_EQ(a.InUse, 0);
    EXPECT_EQ(a.Animate, 1);
    EXPECT_EQ(a.GateSide[1], -2);  // left for UpdateGateSides
    EXPECT_EQ(a.Hull[6], (D3DVECTOR{70, 125, 110}));
    EXPECT_EQ(a.Hull[9], (D3DVECTOR{0, 0, 110}));
    ExpectMatrixNear(a.World, IdentityMatrix(), 0);
    ASSERT_NE(a.Car, nullptr);
    ASSERT_NE(b.Car, nullptr);
    EXPECT_NE(a.Car, b.Car);
    EXPECT_NE(a.Car->XFile, b.Car->XFile);
    // Set up: wheels turned a quarter about the vertical, at their place.
    ExpectMatrixNear(*a.Car->XFile->FrameMatrix("x3ds_rad1"), RotateYMatrix(kPi / 2) * TranslateMatrix(-60, 30, 80),
                     1e-5f);

    // Turning one car's wheels leaves the other's alone.
    a.Steer = 0.5f;
    a.WheelAngle = 1.0f;
    cars::UpdateCarMatrices(a);
    ExpectMatrixNear(*a.Car->XFile->FrameMatrix("x3ds_rad2kap1"),
                     RotateZMatrix(1.0f) * RotateYMatrix(kPi / 2 + 0.5f) * TranslateMatrix(60, 30, 80), 1e-5f);
    ExpectMatrixNear(*a.Car->XFile->FrameMatrix("x3ds_rad4"),
                     RotateZMatrix(1.0f) * RotateYMatrix(kPi / 2) * TranslateMatrix(60, 30, -80), 1e-5f);
    ExpectMatrixNear(*b.Car->XFile->FrameMatrix("x3ds_rad2kap1"), RotateYMatrix(kPi / 2) * TranslateMatrix(60, 30, 80),
                     1e-5f);

    // The world matrix: roll, then pitch, then heading, then position.
    a.Roll = 0.1f;
    a.Pitch = -0.2f;
    a.Heading = 2.0f;
    a.Pos = {100, 50, -300};
    cars::UpdateCarMatrices(a);
    ExpectMatrixNear(a.World, RotateZMatrix(0.1f) * RotateXMatrix(-0.2f) * RotateYMatrix(2.0f) * TranslateMatrix(100, 50, -300),
                     1e-4f);
    // A point ahead of the car lies along its heading.
    D3DVECTOR ahead = TransformVector(D3DVECTOR{0, 0, 100}, RotateYMatrix(2.0f) * TranslateMatrix(100, 50, -300));
    EXPECT_NEAR(ahead.x, 100 + 100 * std::sin(2.0f), 1e-3);
    EXPECT_NEAR(ahead.z, -300 + 100 * std::cos(2.0f), 1e-3);

    // A new race reloads the same record's model from the file.
    TXObject* first = a.Car;
    cars::InitCar(a);
    EXPECT_EQ(a.Car, first);
    ExpectMatrixNear(*a.Car->XFile->FrameMatrix("x3ds_rad2kap1"), RotateYMatrix(kPi / 2) * TranslateMatrix(60, 30, 80),
                     1e-5f);
    XFileProgramDir.clear();
}

TEST(InitCar, MissingFramesAreSkippedAndAMissingModelIsAnError)
{
    const auto dir = TempDir() / "partial";
    std::filesystem::create_directories(dir / "3dobjects");
    std::ofstream(dir / "3dobjects" / "auto1.x") << CarModelText(false);
    XFileProgramDir = dir.string() + "/";
    spiel::TPlayerRec r;
    cars::InitCar(r);
    ASSERT_NE(r.Car, nullptr);
    EXPECT_EQ(r.Car->XFile->FindFrame("x3ds_rad2kap2"), nullptr);
    ExpectMatrixNear(*r.Car->XFile->FrameMatrix("x3ds_rad3kap1"), RotateYMatrix(kPi / 2) * TranslateMatrix(-60, 30, -80),
                     1e-5f);

    std::filesystem::remove(dir / "3dobjects" / "auto1.x");
    spiel::TPlayerRec lost;
    lost.Speed = 12;
    EXPECT_THROW(cars::InitCar(lost), EXFileError);
    EXPECT_EQ(lost.Car, nullptr);
    EXPECT_EQ(lost.Speed, 0);
    XFileProgramDir.clear();
}

TEST(DriveCar, DrivesOverTheLoadedTerrain)
{
    LoadSlopedTerrain();
    FreshTable(1);
    spiel::TPlayerRec& me = spiel::PlayerTable[0];
    me.Pos = {-5000, u_heightmap::GetHeight(-5000, 3000), 3000};
    me.Heading = kPi / 2;  // uphill, along +x
    move::TControls keys{.Up = true};
    move::DriveHooks.ReadControls = [&] { return keys; };
    int views = 0;
    move::OnViewMatrix = [&](const D3DMATRIX&) { ++views; };
    for (int i = 0; i < 200; ++i) {
        move::DriveCar();
        cars::UpdateCarMatrices(me);  // the drawing rebuilds the matrices
    }
    EXPECT_GT(me.Pos.x, -5000 + 100);
    EXPECT_NEAR(me.Pos.z, 3000, 1);
    // The car ends each step on the ground; climbing, its nose is raised.
    EXPECT_NEAR(me.Pos.y, u_heightmap::GetHeight(me.Pos.x, me.Pos.z), 0.5);
    EXPECT_LT(move::TiltTarget.x, 0);
    EXPECT_LT(me.Pitch, 0);
    EXPECT_LT(move::SpeedLimit, 140);
    EXPECT_NEAR(spiel::RaceTime, 200 * 0.02f, 1e-3);
    EXPECT_EQ(views, 200);
    // The camera is behind the car (towards −x) and above it.
    EXPECT_LT(move::CameraEye.x, me.Pos.x);
    EXPECT_GT(move::CameraEye.y, me.Pos.y);

    // Locked controls: no throttle, no race clock, but steering works.
    const float x = me.Pos.x;
    me.Speed = 0;
    spiel::ControlsLocked = 1;
    keys = {.Up = true, .Right = true};
    const float raceTime = spiel::RaceTime;
    for (int i = 0; i < 10; ++i) move::DriveCar();
    EXPECT_EQ(me.Speed, 0);
    EXPECT_FLOAT_EQ(me.Pos.x, x);
    EXPECT_EQ(spiel::RaceTime, raceTime);
    EXPECT_GT(me.Steer, 0.3f);
    move::OnViewMatrix = nullptr;
}

TEST(DriveCar, TheHostCountsItsOwnGateAndMovesTheArrow)
{
    LoadSlopedTerrain();
    FreshTable(1);
    spiel::TPlayerRec& me = spiel::PlayerTable[0];
    me.Pos = {0, 0, -300};
    me.Speed = 100;  // 20 units a frame along +z
    move::DriveHooks.ReadControls = [] { return move::TControls{.Up = true}; };
    move::DriveHooks.IsHost = [] { return true; };
    for (int i = 0; i < 25; ++i) move::DriveCar();
    EXPECT_GT(me.Pos.z, 100);
    EXPECT_EQ(me.GatesPassed, 1);
    EXPECT_EQ(me.NextGate, 1);
    EXPECT_EQ(spiel::GoalPos, (spiel::GateTable[1].Pos + D3DVECTOR{0, 100, 0}));

    // Not the host: the same drive through gate 1 counts nothing here.
    move::DriveHooks.IsHost = [] { return false; };
    me.Pos = {0, 0, 1700};
    for (int i = 0; i < 25; ++i) move::DriveCar();
    EXPECT_GT(me.Pos.z, 2100);
    EXPECT_EQ(me.GatesPassed, 1);
}

TEST(DriveCar, ARaceStartsFromFreshGateSides)
{
    LoadSlopedTerrain();
    FreshTable(1);
    spiel::TPlayerRec& me = spiel::PlayerTable[0];
    spiel::TPlayerRec& other = spiel::PlayerTable[4];
    other.Id = 77;
    move::DriveHooks.IsHost = [] { return true; };
    // Where the previous race left them: on the far side of gate 0.
    me.Pos = {0, 0, 500};
    other.Pos = {300, 0, 500};
    move::DriveCar();
    // The new race puts both in front of gate 0, standing.
    me.Pos = {0, 0, -500};
    me.Speed = 0;
    other.Pos = {300, 0, -500};

    // Without the race-start reset the stale sides count a pass at once.
    {
        auto saved = spiel::PlayerTable;
        move::DriveCar();
        EXPECT_EQ(me.GatesPassed, 1);
        EXPECT_EQ(other.GatesPassed, 1);
        spiel::PlayerTable = saved;
        spiel::GoalPos = {};
    }
    move::ResetDriving();
    spiel::ControlsLocked = 1;
    move::DriveCar();
    EXPECT_EQ(me.GatesPassed, 0);
    EXPECT_EQ(other.GatesPassed, 0);
    EXPECT_GT(me.GateSide[0], 0);  // in front of the gate: positive in gate space
}

TEST(UpdateTilt, ReadsTheLocalCarAndTheLastGroundNormal)
{
    FreshTable(1);
    spiel::TPlayerRec& me = spiel::PlayerTable[0];
    me.Move = {0, 0, 2};
    me.Speed = 100;
    me.Steer = kPi / 6;
    u_heightmap::TerrainNormal = {0, 3, 0};  // not normalised, as the query leaves it
    cars::UpdateTilt();
    EXPECT_NEAR(move::SpeedLimit, 113.82f, 1e-2);
    EXPECT_NEAR(move::TiltTarget.x, 0, 1e-6);
    me.Steer = 0;
    u_heightmap::TerrainNormal = {0, std::cos(0.1f), std::sin(0.1f)};
    cars::UpdateTilt();
    EXPECT_NEAR(move::SpeedLimit, 155, 1e-2);
    move::ResetDriving();
    EXPECT_FLOAT_EQ(move::SpeedLimit, 100);
}

TEST(DriveStep, RestCreepWorldBoundAndLockedTilt)
{
    LoadSlopedTerrain();
    move::ResetDriving();
    float raceTime = 0;
    // At rest a car creeps 0.01 units a second along its heading.
    spiel::TPlayerRec car;
    for (int i = 0; i < 100; ++i) move::DriveStep(car, {}, 0.01, false, raceTime, move::TerrainHeight);
    EXPECT_FLOAT_EQ(car.Speed, 0.001f);
    EXPECT_NEAR(car.Pos.z, 0.01f, 1e-6);
    EXPECT_NEAR(car.Pos.x, 0, 1e-9);

    // Past the bound: set back to 12400, that axis's motion dropped, and on
    // the ground that the height query gives outside the bound, 0.
    spiel::TPlayerRec edge;
    edge.Pos = {12405, 600, 3000};
    edge.Heading = kPi / 2;
    edge.Speed = 50;
    move::DriveStep(edge, {.Up = true}, 0.02, false, raceTime, move::TerrainHeight);
    EXPECT_FLOAT_EQ(edge.Pos.x, 12400);
    EXPECT_FLOAT_EQ(edge.Move.x, 0);
    EXPECT_FLOAT_EQ(edge.Pos.y, 0);
    // Back inside the bound the ground is the terrain's again.
    edge.Heading = -kPi / 2;
    for (int i = 0; i < 20; ++i) move::DriveStep(edge, {}, 0.02, false, raceTime, move::TerrainHeight);
    EXPECT_LT(edge.Pos.x, 12400);
    EXPECT_NEAR(edge.Pos.y, u_heightmap::GetHeight(edge.Pos.x, edge.Pos.z), 0.5);
    EXPECT_GT(edge.Pos.y, 1000);

    // Locked at speed 0: no horizontal move, the targets stay, and pitch and
    // roll keep approaching them.
    move::TiltTarget = {0.2f, 0, 0.1f};
    move::SpeedLimit = 77;
    spiel::TPlayerRec locked;
    locked.Pos = {-2000, 0, 0};
    for (int i = 0; i < 50; ++i)
        move::DriveStep(locked, {.Up = true}, 0.02, true, raceTime, move::TerrainHeight);
    EXPECT_EQ(locked.Pos.x, -2000);
    EXPECT_EQ(locked.Pos.z, 0);
    EXPECT_EQ(move::TiltTarget, (D3DVECTOR{0.2f, 0, 0.1f}));
    EXPECT_EQ(move::SpeedLimit, 77);
    EXPECT_NEAR(locked.Pitch, 0.2f * (1 - std::pow(1 - 0.12f, 50)), 1e-4);
    EXPECT_NEAR(locked.Roll, 0.1f * (1 - std::pow(1 - 0.12f, 50)), 1e-4);
    move::ResetDriving();
}
