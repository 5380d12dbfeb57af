// The car modules: the car model (a record set up for a race, its wheels
// and placement, tilt and top speed, shadow), the collision module (boxes,
// gate crossings, the host's referee step on the race's own tables) and the
// driving model (the driving step, the camera, the local car's frame over a
// terrain loaded from a bitmap).
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <cmath>
#include <fstream>
#include <numbers>
#include <optional>
#include <tuple>

#include "cars/autopilot.h"
#include "cars/cars.h"
#include "cars/move.h"
#include "cars/u_collisiondetection.h"
#include "race/spiel.h"
#include "world/u_heightmap.h"

using namespace u_collisiondetection;

namespace {

constexpr float kPi = std::numbers::pi_v<float>;

// The race's tables as a race starts: every record reset with the car's
// collision box, record 0 the local player (Id 7), the gates in a row along
// +z from 2000 on, taken in order, and the trees left empty at the origin (as
// a short tree map leaves them).
void FreshRace()
{
    spiel::PlayerTable.fill({});
    for (auto& r : spiel::PlayerTable) r.Hull = cars::CarHull;
    spiel::PlayerTable[0].Id = 7;
    for (int g = 0; g < spiel::RaceGateCount; ++g)
        track::GateTable[g] = {{0, 0, 2000.0f * (g + 1)}, 0, TranslateMatrix(0, 0, 2000.0f * (g + 1))};
    track::TreeTable.fill({.Pos = {}, .Used = false});
    spiel::GateOrder = {0, 1, 2, 3, 4};
    spiel::ResetRaceGlobals();
    move::ResetDriving();
    spiel::FrameTime = 0.02;
    spiel::FirstFrameDrawn = 1;
    move::DriveHooks = {};
}

// The host's referee step over the race's tables, gate crossings going
// through the race's gate rule; returns the set-position messages it sent.
std::vector<std::string> Referee()
{
    std::vector<std::string> sent;
    const auto setPosition = [&](D3DVECTOR p, uint8_t stop, uint32_t id) {
        sent.push_back(std::to_string(id) + " " + std::to_string(stop) + " " + std::to_string(std::lround(p.x)) + "," +
                       std::to_string(std::lround(p.y)) + "," + std::to_string(std::lround(p.z)));
    };
    DetectCollisions(spiel::PlayerTable, {track::GateTable, track::TreeTable}, {spiel::GatePass, setPosition});
    return sent;
}

// A plane through the origin rising by tan(ax) along +x and tan(az) along +z.
cars::THeightFunc Plane(float ax, float az, float h = 0)
{
    return [=](float x, float z, D3DVECTOR* n) {
        if (n) *n = Normalize({-std::tan(ax), 1, -std::tan(az)});
        return h + std::tan(ax) * x + std::tan(az) * z;
    };
}

// The ground rises along +x by one grey level (5 units) per pixel (100 units).
void LoadSlopedTerrain()
{
    QTemporaryDir dir;
    QImage img(256, 256, QImage::Format_RGB32);
    for (int i = 0; i < 256 * 256; ++i) img.setPixel(i % 256, i / 256, qRgb(i % 256, i % 256, i % 256));
    u_heightmap::Terrain.FileName = dir.filePath("height.bmp").toStdString();
    ASSERT_TRUE(img.save(dir.filePath("height.bmp"), "BMP"));
    u_heightmap::LoadHeightmap(u_heightmap::Terrain);
    u_heightmap::BuildCellTable(u_heightmap::Terrain);
}

void ExpectNear(const D3DMATRIX& a, const D3DMATRIX& b)
{
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(a.m[i / 4][i % 4], b.m[i / 4][i % 4], 1e-4) << "element " << i;
}

}  // namespace

TEST(InitCar, ResetsTheRecordAndGivesEachCarItsOwnModel)
{
    // A body with four wheels at x = 10 × their number, each with two caps
    // except wheel 2, whose second is missing and simply skipped.
    std::string text = "xof 0303txt 0032\nFrame body {\nMesh { 3; 0;0;0;, 1;0;0;, 0;0;1;; 1; 3;0,1,2;; }\n";
    for (const std::string name : cars::WheelFrameNames)
        if (name != "x3ds_rad2kap2")
            text += "Frame " + name + " {FrameTransformMatrix{1,0,0,0,0,1,0,0,0,0,1,0," + name[8] + "0,30,0,1;;}}\n";
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath("3dobjects"));
    std::ofstream(dir.filePath("3dobjects/auto1.x").toStdString()) << text + "}\n";
    XFileProgramDir = dir.path().toStdString() + "/";

    spiel::TPlayerRec a, b;
    a.Speed = a.Steer = a.WheelAngle = a.Pitch = a.Heading = a.Roll = 2;
    a.Pos = a.SafePos = a.Move = {1, 2, 3};
    a.Id = a.NextGate = a.GatesPassed = a.Finished = a.InUse = 3;
    cars::InitCar(a);
    cars::InitCar(b);
    EXPECT_EQ(std::tie(a.Id, a.Speed, a.Steer, a.WheelAngle, a.Pitch, a.Heading, a.Roll, a.NextGate, a.GatesPassed),
              std::make_tuple(0u, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0, 0));
    EXPECT_EQ(
        std::tie(a.Pos, a.SafePos, a.Move, a.Finished, a.InUse, a.Animate, a.Hull),
        std::make_tuple(D3DVECTOR{}, D3DVECTOR{}, D3DVECTOR{}, uint8_t{0}, uint8_t{0}, uint8_t{1}, cars::CarHull));
    ASSERT_TRUE(a.Car && b.Car && a.Car->XFile != b.Car->XFile);

    // Front wheels (1 and 2) steer, all turn; the car
    // is placed by roll, pitch, heading, then position.
    std::tie(a.Steer, a.WheelAngle, a.Roll, a.Pitch, a.Heading, a.Pos) =
        std::make_tuple(0.5f, 1.0f, 0.1f, -0.2f, 2.0f, D3DVECTOR{100, 50, -300});
    cars::UpdateCarMatrices(a);
    for (const std::string name : cars::WheelFrameNames) {
        const D3DMATRIX* m = a.Car->XFile->FrameMatrix(name);
        const float steer = (name[8] <= '2') ? 0.5f : 0.0f;
        const D3DMATRIX spun = RotateYMatrix(kPi / 2 + steer) * TranslateMatrix((name[8] - '0') * 10.0f, 30, 0);
        if (m) ExpectNear(*m, RotateZMatrix(1) * spun);
        EXPECT_EQ(m == nullptr, name == "x3ds_rad2kap2") << name;
    }
    ExpectNear(a.World, RotateZMatrix(0.1f) * RotateXMatrix(-0.2f) * RotateYMatrix(2) * TranslateMatrix(100, 50, -300));

    // Without the file the record is reset all the same and has no model.
    QFile::remove(dir.filePath("3dobjects/auto1.x"));
    EXPECT_THROW(cars::InitCar(b), EXFileError);
    EXPECT_EQ(b.Car, nullptr);
    XFileProgramDir.clear();
}

TEST(CarModel, TheShadowLiesTwoUnitsOverTheGround)
{
    std::vector<D3DVERTEX> mesh(100);
    for (int i = 0; i < 100; ++i) mesh[i].x = static_cast<float>(i);
    std::array<D3DVERTEX, cars::MaxShadowVertices> out;
    const auto ridge = [](float x, float, D3DVECTOR*) { return x > 50 ? 40.0f : 0.0f; };
    EXPECT_EQ(cars::ShadowPositions(mesh.data(), 100, TranslateMatrix(10, 500, 0), ridge, out), 82);
    EXPECT_EQ(std::make_tuple(out[0].x, out[0].y, out[60].y), std::make_tuple(10.0f, 2.0f, 42.0f));
}

// Twelve points: the bottom corners, the top ones in the same order, then
// the middles of the bottom and top edges across x. A slip in any one
// coordinate breaks the cuboid.
TEST(Boxes, AreCuboidsWithTheirPointsInOrder)
{
    // Each point's x, y and z: the box's low (0) or high (1) value, or the middle of x (m).
    const char* const points[] = {"000", "100", "101", "001", "010", "110", "111", "011", "m00", "m01", "m10", "m11"};
    const auto pick = [](char c, float lo, float hi) { return c == '0' ? lo : c == '1' ? hi : (lo + hi) / 2; };
    for (const TBox* box : {&TreeBox, &PostBoxLeft, &PostBoxRight, &cars::CarHull}) {
        const D3DVECTOR lo = (*box)[0], hi = (*box)[6];
        for (int i = 0; i < 12; ++i) {
            const char* p = points[i];
            const D3DVECTOR expected{pick(p[0], lo.x, hi.x), pick(p[1], lo.y, hi.y), pick(p[2], lo.z, hi.z)};
            EXPECT_EQ((*box)[i], expected) << "point " << i;
        }
    }
}

// Half a unit inside and outside each face of a tree box, and on it.
TEST(Boxes, APointIsInsideOnlyStrictlyWithinAllSixFaces)
{
    const TBox box = ShiftBox(TreeBox, {40, 5, -70});
    const D3DVECTOR mid = (box[0] + box[6]) / 2, half = box[6] - mid;
    for (const D3DVECTOR face : {D3DVECTOR{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {-1, 0, 0}, {0, -1, 0}, {0, 0, -1}})
        for (const float depth : {0.5f, 0.0f, -0.5f})
            EXPECT_EQ(PointInBox(mid + ComponentProduct(face, half) - depth * face, box), depth > 0) << depth;
    // A tree inside a car's body: only the tree's points are inside the other.
    const TBox car = cars::CarHull, tree = ShiftBox(TreeBox, {0, 10, 0});
    EXPECT_EQ(std::make_tuple(BoxesTouch(car, tree, false), BoxesTouch(tree, car, false), BoxesTouch(car, tree, true)),
              std::make_tuple(false, true, true));
}

// Positions in the gate's own space (x across the opening, z through it);
// the side before the step as a sign, positive in front (z < 0).
TEST(Gates, ACrossingFlipsTheMiddlePlaneSideWithinTheOpening)
{
    const D3DMATRIX gate = RotateYMatrix(kPi / 4) * TranslateMatrix(400, 20, 900);
    const struct {
        float x, y, z, before;
        bool crossed;
    } cases[] = {
        {0, 0, 40, 1, true},        {0, 0, -40, -1, true},        {0, 0, 40, -1, false},
        {0, 0, 40, 0, false},       {0, 0, -40, 0, false},        {480, 0, 40, 1, true},
        {-480, 0, -40, -1, true},   {500.5f, 0, -40, -1, false},  {500.5f, 600, 40, 1, false},
        {500.5f, 0, 40, 1, false},  {-500.5f, 0, -40, -1, false}, {-500.5f, 600, -40, -1, false},
        {-500.5f, 0, 40, 1, false}, {-499, 0, 0.5f, 1, true},     {-499, 600, 0.5f, 1, true},
        {499, 0, 0.5f, 1, true},
    };
    for (const auto& c : cases) {
        const D3DVECTOR at = TransformVector(D3DVECTOR{c.x, c.y, c.z}, gate);
        EXPECT_EQ(GateCrossed(gate, at, c.before), c.crossed) << c.x << " " << c.y << " " << c.z;
        EXPECT_LT(GateSide(gate, at) * c.z, 0) << c.x << " " << c.y << " " << c.z;
    }
    // A hair past the middle plane is past it; on it is on neither side.
    EXPECT_TRUE(GateCrossed(IdentityMatrix(), {0, 0, -1e-6f}, -1));
    EXPECT_FALSE(GateCrossed(IdentityMatrix(), {0, 0, 0}, 1));
}

// Each case: one car after its driving step, the trees that stand, maybe a
// second car (record 1, Id 8). Records: 0 the host's own car (Id 7), 2 another
// player's (Id 9). The unused trees and the records without a player stand at
// the origin, inside most of these cars, and take no part.
TEST(Referee, ObstaclesAndOtherCarsPutACarBack)
{
    const std::vector<D3DVECTOR> five{{-80, 0, 0}, {-40, 0, 0}, {0, 0, 0}, {40, 0, 0}, {80, 0, 0}};
    const std::string back = "9 1 0,0,-110";
    // pos and move after the step (the safe position is pos − move); hit: an
    // obstacle's, which keeps the safe position.
    const struct {
        int index;
        D3DVECTOR pos, move;
        float heading;
        std::vector<D3DVECTOR> trees;
        std::optional<D3DVECTOR> other;
        D3DVECTOR expected;
        bool hit;
        std::vector<std::string> sends;
        // clang-format off
    } cases[] = {
        // Into a tree: the own car stops 10 behind its safe position, back
        // along the whole move, its rise too; without a move, at the safe
        // position itself. Another player's goes back to it here and is told
        // to go 10 behind and stop.
        {0, {0, 20, -50}, {0, 30, 150}, 0, {{0, 0, 0}}, {}, {0, -11.96116f, -209.80581f}, true, {}},
        {0, {0, 0, 0}, {}, 0, {{0, 0, 0}}, {}, {0, 0, 0}, true, {}},
        {2, {0, 0, -50}, {0, 0, 150}, 0, {{0, 0, 0}}, {}, {0, 0, -200}, true, {"9 1 0,0,-210"}},
        {0, {5000, 0, 4950}, {0, 0, 150}, 0, {{5000, 0, 5000}}, {}, {5000, 0, 4790}, true, {}},
        // Every tree within reach answers; reach is measured from where the
        // car was put back.
        {2, {0, 0, 0}, {0, 0, 100}, 0, five, {}, {0, 0, -100}, true, {back, back, back, back, back}},
        {2, {0, 0, 0}, {0, 0, 200}, 0, five, {}, {0, 0, -200}, true, {"9 1 0,0,-210"}},
        // Into the left and the right post of gate 0.
        {0, {-700, 10, 2000}, {200, 0, 0}, kPi / 2, {}, {}, {-910, 10, 2000}, true, {}},
        {0, {700, 10, 2000}, {-200, 0, 0}, -kPi / 2, {}, {}, {910, 10, 2000}, true, {}},
        // Cars: into the car ahead or beside the part of the move towards it
        // is undone; corner to corner either part alone frees them, so the
        // move stays, and the other car is told it stays.
        {0, {5, 0, 10}, {5, 0, 10}, 0, {}, D3DVECTOR{20, 10, 215}, {5, 0, 0}, false, {"7 0 5,0,0", "8 0 20,10,215"}},
        {0, {10, 0, 10}, {10, 0, 10}, 0, {}, D3DVECTOR{145, 10, 215}, {10, 0, 10}, false, {"8 0 145,10,215"}},
        {0, {15, 0, 10}, {15, 0, 10}, 0, {}, D3DVECTOR{150, 10, 20}, {0, 0, 10}, false, {"7 0 0,0,10", "8 0 150,10,20"}},
        // A car state that is not a number disturbs no one.
        {0, {1.1f, 0, 0}, {3.2f, 0, 0}, 0, {}, D3DVECTOR{NAN, 0, 0}, {1.1f, 0, 0}, false, {}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        FreshRace();
        spiel::TPlayerRec& r = spiel::PlayerTable[c.index];
        if (c.index == 2) r.Id = 9;
        std::tie(r.Speed, r.Heading, r.Pos, r.Move, r.SafePos) =
            std::make_tuple(50.0f, c.heading, c.pos, c.move, c.pos - c.move);
        for (size_t t = 0; t < c.trees.size(); ++t) track::TreeTable[t] = {.Pos = c.trees[t]};
        if (c.other) std::tie(spiel::PlayerTable[1].Id, spiel::PlayerTable[1].Pos) = std::make_tuple(8u, *c.other);
        EXPECT_EQ(Referee(), c.sends);
        EXPECT_NEAR(Magnitude(r.Pos - c.expected), 0, 1e-4);
        EXPECT_EQ(r.SafePos, c.hit ? c.pos - c.move : r.Pos);
        EXPECT_EQ(r.Speed, (c.hit && c.index == 0) ? 0.0f : 50.0f);
    }
}

// Expected values by the rules: steering 2/s up to π/6 and back; throttle
// 35/s, brake 70/s, drag 25/s, at rest within 5·dt (creeping at 0.001); 150/s
// off above the top speed (100 at a race's start); reversing down to −40;
// finished cars brake to rest; heading turns by steer × speed × 0.03 per second;
// 10 units per second and unit of speed; wheels turn 0.4 per unit, within
// [0, 2π); the world ends at ±12400.
TEST(DriveStep, FollowsTheDrivingRules)
{
    struct TStart {
        float Speed = 0, Steer = 0, Heading = 0;
        D3DVECTOR Pos{};
        uint8_t Finished = 0;
    };
    const struct {
        TStart car;
        move::TControls in;
        bool locked;
        int steps;
        double dt;
        float speed, steer, heading, x, z, wheel;
        // clang-format off
    } cases[] = {
        {{.Speed = 10}, {.Down = true}, false, 1, 0.1, 3, 0, 0, 0, 3, 0.12f},
        {{.Speed = 0.11f}, {}, false, 1, 0.02, -0.39f, 0, 0, 0, -0.078f, 6.28007f},
        {{.Speed = -0.11f}, {}, false, 1, 0.02, 0.39f, 0, 0, 0, 0.078f, 0.00312f},
        {{.Speed = 1.25f}, {}, false, 1, 0.25, 0.001f, 0, 0, 0, 0.0025f, 0.0001f},
        {{.Speed = -1.25f}, {}, false, 1, 0.25, 0.001f, 0, 0, 0, 0.0025f, 0.0001f},
        {{.Speed = -39.5f}, {.Down = true}, false, 1, 0.01, -40, 0, 0, 0, -4, 6.12319f},
        {{.Speed = 120}, {.Up = true}, false, 1, 0.01, 118.85f, 0, 0, 0, 11.885f, 0.4754f},
        {{}, {true, true, true, true}, false, 1, 0.1, 3.5f, 0.2f, 0.0021f, 0.00735f, 3.5f, 0.14f},
        {{}, {.Left = true}, false, 1, 0.1, 0.001f, -0.2f, 0, 0, 0.001f, 0.00004f},
        {{.Steer = 0.5f}, {.Right = true}, false, 1, 0.1, 0.001f, kPi / 6, 0, 0, 0.001f, 0.00004f},
        {{.Steer = -0.5f}, {.Left = true}, false, 1, 0.1, 0.001f, -kPi / 6, 0, 0, 0.001f, 0.00004f},
        {{.Steer = 0.3f}, {}, false, 1, 0.1, 0.001f, 0.1f, 0, 0, 0.001f, 0.00004f},
        {{.Steer = -0.3f}, {}, false, 1, 0.1, 0.001f, -0.1f, 0, 0, 0.001f, 0.00004f},
        {{.Steer = 0.25f}, {}, false, 1, 0.25, 0.001f, 0, 0, 0, 0.0025f, 0.0001f},
        {{.Steer = -0.25f}, {}, false, 1, 0.25, 0.001f, 0, 0, 0, 0.0025f, 0.0001f},
        {{.Speed = 50, .Finished = 1}, {.Up = true}, false, 1, 0.1, 43, 0, 0, 0, 43, 1.72f},
        {{.Speed = -5, .Finished = 1}, {.Down = true}, false, 1, 0.1, 0, 0, 0, 0, 0, 0},
        {{}, {.Up = true, .Right = true}, true, 10, 0.01, 0, 0.2f, 0, 0, 0, 0},
        // A quarter of a circle of radius 10·v / (0.03·v·π/6) ≈ 637 to the
        // right, walked in 200 steps; reversing on left lock turns right too.
        {{.Speed = 50, .Steer = kPi / 6}, {.Right = true}, true, 200, 0.01, 50, kPi / 6, kPi / 2, 639.1165f, 634.1165f, 2.30089f},
        {{.Speed = -40, .Steer = -kPi / 6}, {.Left = true}, true, 100, 0.01, -40, -kPi / 6, 0.62832f, -122.7587f, -373.8125f, 2.84956f},
        // Outside, moving in along z: back on the bound across x, inside on z.
        {{.Speed = 50, .Heading = kPi / 4, .Pos = {12405, 0, -12405}}, {}, false, 1, 0.02, 49.5f, 0, kPi / 4, 12400, -12398, 0.396f},
        {{.Speed = 50, .Heading = -kPi / 4, .Pos = {-12405, 0, 12405}}, {}, false, 1, 0.02, 49.5f, 0, -kPi / 4, -12400, 12400, 0.396f},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        move::ResetDriving();
        spiel::TPlayerRec car;
        std::tie(car.Speed, car.Steer, car.Heading, car.Pos, car.Finished) =
            std::tie(c.car.Speed, c.car.Steer, c.car.Heading, c.car.Pos, c.car.Finished);
        float raceTime = 0;
        for (int i = 0; i < c.steps; ++i) move::DriveStep(car, c.in, c.dt, c.locked, raceTime, Plane(0, 0));
        EXPECT_NEAR(car.Speed, c.speed, 1e-4);
        EXPECT_NEAR(car.Steer, c.steer, 1e-5);
        EXPECT_NEAR(car.Heading, c.heading, 1e-4);
        EXPECT_NEAR(car.Pos.x, c.x, 2e-3 + 1e-4 * std::fabs(c.x));
        EXPECT_NEAR(car.Pos.z, c.z, 2e-3 + 1e-4 * std::fabs(c.z));
        EXPECT_NEAR(car.WheelAngle, c.wheel, 1e-4);
        EXPECT_NEAR(raceTime, (c.locked ? 0.0 : c.steps * c.dt), 1e-6);
        // The move is what the car really moved, also against the bound.
        EXPECT_TRUE(c.steps > 1 || car.Move == car.Pos - c.car.Pos);
    }
}

// On sloping ground the car ends the step on it, and its pitch and roll
// (here from 0.2 and 0.1) close 6/s of the gap to the slope along its nose
// and across it. The top speed: 140, plus 150 per radian downhill, less half
// of |steer| × speed, at least 40. A car that does not move keeps the
// targets it had (0 at a race's start).
TEST(DriveStep, FollowsTheGroundAndTiltsTowardsIt)
{
    const struct {
        cars::THeightFunc ground;
        float heading, speed, steer;
        bool locked;
        float y, pitch, roll, limit;
    } cases[] = {
        {Plane(0, -0.1f), 0, 10, 0, false, -0.75251f, 0.14f, 0.04f, 155},
        {Plane(0, -0.1f), kPi, -10, 0, false, -0.75251f, 0.02f, 0.04f, 125},
        {Plane(0.2f, 0), 0, 10, 0, false, 0, 0.08f, 0.16f, 140},
        {Plane(0, 0), 0, 10, 0.5f, false, 0, 0.08f, 0.04f, 138.875f},
        {Plane(0, 1.2f), 0, 10, 0, false, 19.29114f, -0.64f, 0.04f, 40},
        {Plane(0, -0.1f, 30), 0, 0, 0, true, 30, 0.08f, 0.04f, 100},
    };
    for (const auto& c : cases) {
        move::ResetDriving();
        spiel::TPlayerRec car;
        std::tie(car.Speed, car.Steer, car.Heading, car.Pitch, car.Roll) =
            std::make_tuple(c.speed, c.steer, c.heading, 0.2f, 0.1f);
        float raceTime = 0;
        move::DriveStep(car, {}, 0.1, c.locked, raceTime, c.ground);
        EXPECT_NEAR(car.Pos.y, c.y, 1e-4);
        EXPECT_NEAR(car.Pitch, c.pitch, 1e-5);
        EXPECT_NEAR(car.Roll, c.roll, 1e-5);
        EXPECT_NEAR(move::SpeedLimit, c.limit, 1e-3);
    }
    // Ground standing upright along the nose: the product rounds past 1.
    EXPECT_NEAR(cars::ComputeTilt({0.1f, 0, 0.77f}, 10, 0, 0, {0.1f, 0, 0.77f}).SpeedLimit, 375.6194f, 1e-2);
}

TEST(Camera, FollowsBehindAndAboveTheCarWithTheWorldUp)
{
    int views = 0;
    move::OnViewMatrix = [&](const D3DMATRIX&) { ++views; };
    move::CameraEye = {0, 1000, -1000};
    // The car faces +x: the camera aims 770 behind it and 300 up, and the
    // eye moves 2 × the frame time of the way there, with the world's up.
    const D3DMATRIX car = u_collisiondetection::CarMatrix(0, 0, kPi / 2, {});
    move::UpdateCamera(car, {}, 0.02, Plane(0, 0));
    EXPECT_NEAR(Magnitude(move::CameraTarget - D3DVECTOR{-770, 300, 0}), 0, 1e-3);
    EXPECT_NEAR(Magnitude(move::CameraEye - D3DVECTOR{-30.8f, 972, -960}), 0, 1e-3);
    EXPECT_NEAR(TransformVector(D3DVECTOR{0, 100, 0}, move::ViewMatrix).x, 0, 1e-3);
    // Under a hill the target goes 100 over the ground; a long frame counts
    // as 0.1 s.
    move::UpdateCamera(car, {}, 5.0, Plane(0, 0, 900));
    EXPECT_NEAR(Magnitude(move::CameraEye - D3DVECTOR{-178.64f, 977.6f, -768}), 0, 1e-3);
    // An eye on the car has no direction to look in: the last view stays.
    const D3DMATRIX last = move::ViewMatrix;
    move::CameraEye = {};
    move::UpdateCamera(car, {}, 0, Plane(0, 0));
    EXPECT_TRUE(move::ViewMatrix == last);
    EXPECT_EQ(views, 2);
    move::OnViewMatrix = nullptr;
}

// The terrain rises along +x: a car driving along +z has it falling to its
// left.
TEST(DriveCar, TheLocalCarsFrameOverTheTerrain)
{
    LoadSlopedTerrain();
    FreshRace();
    spiel::TPlayerRec &me = spiel::PlayerTable[0], &other = spiel::PlayerTable[4];
    other.Id = 77;
    bool host = true;
    move::DriveHooks = {[] { return move::TControls{.Up = true}; }, [&] { return host; }};
    int views = 0;
    move::OnViewMatrix = [&](const D3DMATRIX&) { ++views; };
    move::CameraEye = {0, 1000, 0};
    // The previous race left both cars past gate 0, the new one puts them in
    // front of it: only sides of this race count.
    spiel::ControlsLocked = 1;
    other.Pos.x = 300;
    me.Pos.z = other.Pos.z = 2500;
    move::DriveCar();
    me.Pos.z = other.Pos.z = 1700;
    move::ResetDriving();
    // Locked: no throttle.
    for (int i = 0; i < 10; ++i) move::DriveCar();
    EXPECT_EQ(me.Speed, 0);
    EXPECT_EQ(me.GatesPassed + other.GatesPassed, 0);

    // The host counts its own pass and the other car's, on the ground, with
    // the camera on every frame.
    spiel::ControlsLocked = 0;
    me.Speed = 100;
    other.Pos = {300, 0, 2100};
    for (int i = 0; i < 30; ++i) move::DriveCar();
    EXPECT_EQ(std::tie(me.GatesPassed, other.GatesPassed), std::make_tuple(1, 1));
    EXPECT_EQ(spiel::GoalPos, (track::GateTable[1].Pos + D3DVECTOR{0, 100, 0}));
    EXPECT_NEAR(spiel::RaceTime, 0.6f, 1e-4);
    EXPECT_NEAR(me.Pos.y, u_heightmap::GetHeight(me.Pos.x, me.Pos.z), 0.5);
    EXPECT_GT(me.Roll, 0.01f);
    EXPECT_EQ(views, 41);
    // Not the host: the same drive through gate 1 counts nothing here.
    host = false;
    me.Pos = {0, 0, 3700};
    for (int i = 0; i < 30; ++i) move::DriveCar();
    EXPECT_GT(me.Pos.z, 4100);
    EXPECT_EQ(me.GatesPassed, 1);
    move::OnViewMatrix = nullptr;
}

// The autopilot on a slope through the race's own gates, the host
// refereeing: a lap from the grid, and a car nosed into a tree backs out.
TEST(Autopilot, DrivesALapThroughTheGatesAndBacksOutOfATree)
{
    LoadSlopedTerrain();
    FreshRace();
    track::PlaceGates(u_heightmap::GetHeight);
    spiel::GateOrder = {3, 1, 4, 0, 2};
    spiel::UpdateGoalPos();
    spiel::TPlayerRec& me = spiel::PlayerTable[0];
    me.Pos = {-1600, 0, -2000};
    const move::TDriveHooks pilot{[] { return autopilot::DriveLocalCar(spiel::FrameTime); }, [] { return true; }};
    move::DriveHooks = pilot;
    float seconds = 0;
    for (; seconds < 300 && me.GatesPassed < 5; seconds += 0.02f) move::DriveCar();
    EXPECT_EQ(me.GatesPassed, 5) << "at " << me.Pos.x << "," << me.Pos.z << " after " << seconds << " s";
    EXPECT_LT(seconds, 120);

    // A tree straight ahead, the next gate behind it: the car runs into it,
    // backs out and goes round.
    FreshRace();
    track::TreeTable[0] = {.Pos = {400, u_heightmap::GetHeight(400, 0), 0}};
    me.Pos = me.SafePos = {400, 0, -200};
    autopilot::LocalDriver() = {};
    move::DriveHooks = pilot;
    for (int frame = 0; frame < 800; ++frame) move::DriveCar();
    EXPECT_GT(Magnitude(me.Pos - track::TreeTable[0].Pos), 300);
    EXPECT_GE(me.GatesPassed, 1);
}
