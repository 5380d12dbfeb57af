#include "cars/move.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "net/u_multiplayer.h"
#include "race/spiel.h"
#include "world/u_heightmap.h"

namespace move {

TDriveHooks DriveHooks;
float SpeedLimit = 100.0f;
D3DVECTOR TiltTarget;
D3DVECTOR CameraTarget;
D3DVECTOR CameraEye{0, 1000, -1000};
D3DMATRIX ViewMatrix = IdentityMatrix();
std::function<void(const D3DMATRIX&)> OnViewMatrix;

namespace {

// Set by ResetDriving: the gate sides still hold the previous race's.
bool GateSidesStale = true;

}  // namespace

void ResetDriving()
{
    SpeedLimit = 100.0f;
    TiltTarget = {};
    GateSidesStale = true;
}

float TerrainHeight(float x, float z, D3DVECTOR* normal)
{
    const float h = u_heightmap::GetHeight(x, z);
    if (normal) *normal = u_heightmap::TerrainNormal;
    return h;
}

// In this order: controls and the driving itself, then on the host the
// referee (which may move any car), then every car's gate sides for the next
// crossing test, the camera on the car as it now stands, the car state out.
void DriveCar()
{
    const TControls in = DriveHooks.ReadControls ? DriveHooks.ReadControls() : TControls{};
    spiel::TPlayerRec& me = spiel::PlayerTable[0];
    DriveStep(me, in, spiel::FrameTime, spiel::ControlsLocked != 0, spiel::RaceTime, TerrainHeight);

    // The crossing test compares against sides of this race only.
    if (GateSidesStale) {
        spiel::RecordGateSides();
        GateSidesStale = false;
    }
    if (spiel::FirstFrameDrawn == 1 && DriveHooks.IsHost && DriveHooks.IsHost()) spiel::RefereeStep();
    spiel::RecordGateSides();
    UpdateCamera();
    u_multiplayer::SendCarState();
}

void DriveStep(spiel::TPlayerRec& car, const TControls& in, double frameTime, bool controlsLocked, float& raceTime,
               const cars::THeightFunc& height)
{
    constexpr float twoPi = 2 * std::numbers::pi_v<float>;
    constexpr float steerLimit = std::numbers::pi_v<float> / 6;
    constexpr float bound = 12400;
    const float dt = static_cast<float>(frameTime);

    if (!controlsLocked) raceTime += dt;

    if (in.Right) {
        car.Steer += 2 * dt;
    } else if (in.Left) {
        car.Steer -= 2 * dt;
    } else if (car.Steer < -dt) {
        car.Steer += 2 * dt;
    } else if (car.Steer > dt) {
        car.Steer -= 2 * dt;
    } else {
        car.Steer = 0;
    }
    if (car.Steer > steerLimit) car.Steer = steerLimit;
    if (car.Steer < -steerLimit) car.Steer = -steerLimit;

    if (!controlsLocked && car.Finished == 0) {
        if (in.Up) {
            car.Speed += 35 * dt;
        } else if (in.Down) {
            car.Speed -= 70 * dt;
        } else if (car.Speed > 5 * dt) {
            car.Speed -= 25 * dt;
        } else if (car.Speed < -5 * dt) {
            car.Speed += 25 * dt;
        } else {
            car.Speed = 0.001f;  // at rest a car creeps, never exactly 0
        }
        if (car.Speed > SpeedLimit) car.Speed -= 150 * dt;
        if (car.Speed < -40) car.Speed = -40;
    }
    // A finished car brakes to rest and stays there.
    if (car.Finished != 0) car.Speed = std::max(car.Speed - 70 * dt, 0.0f);

    if (car.Speed != 0) car.Heading += car.Steer * car.Speed * dt * 0.03f;
    car.WheelAngle += car.Speed * dt * 0.4f;
    if (car.WheelAngle > twoPi) car.WheelAngle -= twoPi;
    if (car.WheelAngle < 0) car.WheelAngle += twoPi;

    const float dx = std::sin(car.Heading) * car.Speed * dt * 10;
    const float dz = std::cos(car.Heading) * car.Speed * dt * 10;
    D3DVECTOR normal{0, 1, 0};
    const float g = height(car.Pos.x + dx, car.Pos.z + dz, &normal);
    car.Move = {dx, 0, dz};
    if (dx != 0 || dz != 0) {
        const cars::TTilt t = cars::ComputeTilt(car.Move, car.Speed, car.Steer, car.Heading, normal);
        TiltTarget = t.TiltTarget;
        SpeedLimit = t.SpeedLimit;
    }
    car.Move.y = g - car.Pos.y;

    // The world ends at the bound: a car driving against it stays on it, and
    // its move is what it really moved.
    const D3DVECTOR from = car.Pos;
    car.Pos += car.Move;
    car.Pos.x = std::clamp(car.Pos.x, -bound, bound);
    car.Pos.z = std::clamp(car.Pos.z, -bound, bound);
    car.Move.x = car.Pos.x - from.x;
    car.Move.z = car.Pos.z - from.z;

    car.Pitch += (TiltTarget.x - car.Pitch) * dt * 6;
    car.Roll += (TiltTarget.z - car.Roll) * dt * 6;
}

void UpdateCamera()
{
    const spiel::TPlayerRec& me = spiel::PlayerTable[0];
    UpdateCamera(me.World, me.Pos, spiel::FrameTime, TerrainHeight);
}

void UpdateCamera(const D3DMATRIX& carWorld, const D3DVECTOR& carPos, double frameTime, const cars::THeightFunc& height)
{
    const D3DVECTOR a = TransformVector(D3DVECTOR{0, 0, 110}, carWorld);
    const D3DVECTOR b = TransformVector(D3DVECTOR{0, 0, -110}, carWorld);
    const D3DVECTOR c = TransformVector(D3DVECTOR{-70, 0, -110}, carWorld);
    CameraTarget = b + 3.0f * (b - a);
    const D3DVECTOR n = Normalize(CrossProduct(a - b, c - b));
    CameraTarget = CameraTarget - 300.0f * n;
    const float g = height(CameraTarget.x, CameraTarget.z, nullptr);
    if (CameraTarget.y < g) CameraTarget.y = g + 100;
    const float k = 2 * static_cast<float>(std::min(frameTime, 0.1));
    CameraEye += (CameraTarget - CameraEye) * k;
    // An eye on the car itself has no view direction: keep the last matrix.
    if (::ViewMatrix(ViewMatrix, CameraEye, carPos, D3DVECTOR{0, 1, 0}) && OnViewMatrix) OnViewMatrix(ViewMatrix);
}

}  // namespace move
