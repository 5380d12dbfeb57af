#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "cars/cars.h"
#include "cars/move.h"
#include "cars/u_collisiondetection.h"

using namespace u_collisiondetection;

namespace {

constexpr float kPi = std::numbers::pi_v<float>;

// Level ground at height h everywhere.
cars::THeightFunc Flat(float h)
{
    return [h](float, float, D3DVECTOR* n) {
        if (n) *n = {0, 1, 0};
        return h;
    };
}

// Ground falling along +z with slope angle a.
cars::THeightFunc SlopeZ(float a)
{
    return [a](float, float z, D3DVECTOR* n) {
        if (n) *n = {0, std::cos(a), std::sin(a)};
        return -std::tan(a) * z;
    };
}

spiel::TPlayerRec Drive(spiel::TPlayerRec car, move::TControls in, int frames, double dt, const cars::THeightFunc& h,
                    bool locked = false)
{
    float raceTime = 0;
    for (int i = 0; i < frames; ++i) move::DriveStep(car, in, dt, locked, raceTime, h);
    return car;
}

}  // namespace

TEST(PointInBox, InsideOutsideAndOnFaces)
{
    EXPECT_TRUE(PointInBox({0, 25, 0}, TreeBox));
    EXPECT_FALSE(PointInBox({15, 25, 0}, TreeBox));  // on a face counts as outside
    EXPECT_FALSE(PointInBox({0, 0, 0}, TreeBox));
    EXPECT_FALSE(PointInBox({0, 25, 16}, TreeBox));
    EXPECT_FALSE(PointInBox({0, 51, 0}, TreeBox));
    // A rotated and moved car box.
    D3DMATRIX w = CarMatrix(0.1f, -0.2f, 1.0f, {500, 30, -200});
    TBox car = TransformBox(cars::CarHull, w);
    EXPECT_TRUE(PointInBox(TransformVector(D3DVECTOR{0, 60, 0}, w), car));
    EXPECT_TRUE(PointInBox(TransformVector(D3DVECTOR{69, 124, 109}, w), car));
    EXPECT_FALSE(PointInBox(TransformVector(D3DVECTOR{71, 60, 0}, w), car));
    EXPECT_FALSE(PointInBox(TransformVector(D3DVECTOR{0, 60, -101}, w), car));
}

TEST(PointInBox, TreeAndCarBoxesTouch)
{
    TBox car = TransformBox(cars::CarHull, CarMatrix(0, 0, 0, {0, 0, 0}));
    // A tree inside the car's body: none of the car's points is inside the
    // small tree box, but the tree's points are inside the car.
    TBox tree = ShiftBox(TreeBox, {0, 10, 0});
    EXPECT_FALSE(BoxesTouch(car, tree, false));
    EXPECT_TRUE(BoxesTouch(car, tree, true));
    EXPECT_FALSE(BoxesTouch(car, ShiftBox(TreeBox, {200, 0, 0}), true));
}

TEST(GateCrossing, BothDirectionsOnPlaneAndOutsideTheOpening)
{
    D3DMATRIX gate = RotateYMatrix(0.7853982f) * TranslateMatrix(400, 20, 900);
    auto at = [&](float x, float z) { return TransformVector(D3DVECTOR{x, 0, z}, gate); };
    float before = GateSide(gate, at(0, -40));
    float after = GateSide(gate, at(0, 40));
    EXPECT_LT(before * after, 0);
    EXPECT_TRUE(GateCrossed(gate, at(0, 40), before));   // forwards
    EXPECT_TRUE(GateCrossed(gate, at(0, -40), after));   // backwards
    EXPECT_FALSE(GateCrossed(gate, at(0, 40), after));   // same side
    // Exactly on the middle plane: side 0, and moving on counts nothing.
    float on = GateSide(gate, TransformVector(D3DVECTOR{0, 0, 0}, gate));
    EXPECT_NEAR(on, 0, 1e-3 * 600000);
    EXPECT_FALSE(GateCrossed(gate, at(0, 40), 0.0f));
    // Outside the opening: more than 500 from the centre across the gate.
    EXPECT_FALSE(GateCrossed(gate, at(520, 40), GateSide(gate, at(520, -40))));
    EXPECT_TRUE(GateCrossed(gate, at(480, 40), GateSide(gate, at(480, -40))));
    // The height of the car does not matter.
    EXPECT_TRUE(GateCrossed(gate, TransformVector(D3DVECTOR{0, 5000, 40}, gate), before));
}

TEST(CarModel, ShadowLiesOnTheGround)
{
    std::vector<D3DVERTEX> mesh(100);
    for (int i = 0; i < 100; ++i) mesh[i].x = static_cast<float>(i);
    std::array<D3DVERTEX, cars::MaxShadowVertices> out;
    auto ridge = [](float x, float, D3DVECTOR*) { return x > 50 ? 40.0f : 0.0f; };
    int n = cars::ShadowPositions(mesh.data(), static_cast<int>(mesh.size()), TranslateMatrix(10, 500, 0), ridge, out);
    EXPECT_EQ(n, 82);
    EXPECT_FLOAT_EQ(out[0].x, 10);
    EXPECT_FLOAT_EQ(out[0].y, 2);
    EXPECT_FLOAT_EQ(out[60].y, 42);
}

TEST(Tilt, SpeedLimitExamplesAndClampedArcCosine)
{
    auto level = cars::ComputeTilt({0, 0, 1}, 50, 0, 0, {0, 1, 0});
    EXPECT_NEAR(level.SpeedLimit, 140, 1e-3);
    auto down = cars::ComputeTilt({0, 0, 1}, 50, 0, 0, {0, std::cos(0.1f), std::sin(0.1f)});
    EXPECT_NEAR(down.SpeedLimit, 155, 1e-2);
    EXPECT_NEAR(down.TiltTarget.x, 0.1f, 1e-4);
    auto lock = cars::ComputeTilt({0, 0, 1}, 100, kPi / 6, 0, {0, 1, 0});
    EXPECT_NEAR(lock.SpeedLimit, 113.82f, 1e-2);
    auto steep = cars::ComputeTilt({0, 0, 1}, 100, kPi / 6, 0, {0, 0.3f, -0.95f});
    EXPECT_FLOAT_EQ(steep.SpeedLimit, 40);
    // Ground standing upright along the nose: the product of the two unit
    // vectors rounds to just above 1, where the arc cosine alone is NaN.
    const D3DVECTOR nose{0.1f, 0, 0.77f};
    ASSERT_TRUE(std::isnan(std::acos(DotProduct(Normalize(nose), Normalize(nose)))));
    auto edge = cars::ComputeTilt(nose, 10, 0, 0, nose);
    EXPECT_NEAR(edge.TiltTarget.x, kPi / 2, 1e-3);
    EXPECT_FALSE(std::isnan(edge.SpeedLimit));
    // Ground falling to the left (−x) raises the roll target.
    auto left = cars::ComputeTilt({0, 0, 1}, 10, 0, 0, {-std::sin(0.2f), std::cos(0.2f), 0});
    EXPECT_NEAR(left.TiltTarget.z, 0.2f, 1e-4);
}

TEST(Driving, AcceleratesToTheLimitAndSettles)
{
    move::ResetDriving();
    spiel::TPlayerRec car;
    car = Drive(car, {.Up = true}, 1, 0.1, Flat(0));
    EXPECT_NEAR(car.Speed, 3.5f, 1e-4);
    car = Drive(car, {.Up = true}, 999, 0.01, Flat(0));
    EXPECT_NEAR(car.Speed, 140, 2);
    EXPECT_NEAR(move::SpeedLimit, 140, 1e-3);
    EXPECT_GT(car.Pos.z, 100);
    EXPECT_NEAR(car.Pos.x, 0, 1e-3);
}

TEST(Driving, RestBandReverseAndSteering)
{
    move::ResetDriving();
    spiel::TPlayerRec car;
    car.Speed = 10;
    car = Drive(car, {}, 1, 0.02, Flat(0));
    EXPECT_NEAR(car.Speed, 9.5f, 1e-4);
    car = Drive(car, {}, 20, 0.02, Flat(0));
    EXPECT_NEAR(car.Speed, 0.001f, 1e-6);  // within 0.1 of zero it rests at 0.001
    car = Drive(car, {.Down = true}, 200, 0.01, Flat(0));
    EXPECT_FLOAT_EQ(car.Speed, -40);
    EXPECT_LT(car.Pos.z, 0);
    // Left and right both held steers right, up and down both accelerates.
    spiel::TPlayerRec s;
    s = Drive(s, {.Up = true, .Down = true, .Left = true, .Right = true}, 10, 0.01, Flat(0));
    EXPECT_NEAR(s.Steer, 0.2f, 1e-5);
    EXPECT_GT(s.Speed, 3);
    s = Drive(s, {.Right = true}, 100, 0.01, Flat(0));
    EXPECT_NEAR(s.Steer, kPi / 6, 1e-6);
    s = Drive(s, {}, 100, 0.01, Flat(0));
    EXPECT_FLOAT_EQ(s.Steer, 0);
    // A car at exactly 0 keeps its heading whatever the steering.
    spiel::TPlayerRec z;
    z = Drive(z, {.Right = true}, 10, 0.01, Flat(0), true);
    EXPECT_FLOAT_EQ(z.Heading, 0);
    EXPECT_FLOAT_EQ(z.Pos.x, 0);
    EXPECT_FLOAT_EQ(z.Pos.z, 0);
}

TEST(Driving, ReversingDownhillRaisesTheNose)
{
    move::ResetDriving();
    spiel::TPlayerRec car;  // nose towards −z is uphill here: ground falls along +z
    car.Heading = kPi;
    car = Drive(car, {.Down = true}, 100, 0.01, SlopeZ(0.1f));
    EXPECT_LT(car.Speed, 0);
    EXPECT_NEAR(move::TiltTarget.x, -0.1f, 1e-3);
    EXPECT_LT(car.Pitch, 0);
}

TEST(Camera, FollowsBehindAndAboveTheCar)
{
    move::CameraEye = {0, 1000, -1000};
    int calls = 0;
    move::OnViewMatrix = [&](const D3DMATRIX&) { ++calls; };
    D3DMATRIX world = CarMatrix(0, 0, 0, {0, 0, 0});
    move::UpdateCamera(world, {0, 0, 0}, 0.02, Flat(0));
    EXPECT_NEAR(move::CameraTarget.z, -770, 1e-3);
    EXPECT_NEAR(move::CameraTarget.y, 300, 1e-3);
    EXPECT_NEAR(move::CameraEye.z, -1000 + (230) * 0.04f, 1e-2);
    EXPECT_EQ(calls, 1);
    // Under a hill the target is lifted above the ground.
    move::UpdateCamera(world, {0, 0, 0}, 0.02, Flat(900));
    EXPECT_FLOAT_EQ(move::CameraTarget.y, 1000);
    move::OnViewMatrix = nullptr;
}

TEST(Camera, AnEyeOnTheCarKeepsTheLastView)
{
    int calls = 0;
    move::OnViewMatrix = [&](const D3DMATRIX&) { ++calls; };
    move::CameraEye = {0, 1000, -1000};
    D3DMATRIX world = CarMatrix(0, 0, 0, {0, 0, 0});
    move::UpdateCamera(world, {0, 0, 0}, 0.02, Flat(0));
    const D3DMATRIX last = move::ViewMatrix;
    // No time passed and the eye stands on the car: no direction to look in.
    move::CameraEye = {5, 0, 5};
    move::UpdateCamera(world, {5, 0, 5}, 0, Flat(0));
    EXPECT_TRUE(move::ViewMatrix == last);
    EXPECT_EQ(calls, 1);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_FALSE(std::isnan(move::ViewMatrix.m[r][c]));
    move::OnViewMatrix = nullptr;
}
