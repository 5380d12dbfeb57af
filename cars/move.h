// The driving model of the local car and the chase camera.
#pragma once

#include <functional>

#include "cars/cars.h"
#include "platform/d3d/d3dtypes.h"
#include "race/racestate.h"

namespace move {

// The four control states of this frame.
struct TControls {
    bool Up = false, Down = false, Left = false, Right = false;
};

// What the driving step needs from the window: the input component, updated
// and read once per step, and whether this program is the session's host.
// Unset: no key is down, not the host.
struct TDriveHooks {
    std::function<TControls()> ReadControls;
    std::function<bool()> IsHost;
};
extern TDriveHooks DriveHooks;

// Current top speed and the pitch (x) and roll (z) the car tends to;
// recomputed by each step that moves the car horizontally.
extern float SpeedLimit;
extern D3DVECTOR TiltTarget;
// Back to their program-start values, and the gate sides marked stale, so a
// race starts neither from the previous race's slope and limit nor from the
// sides its cars had at the previous race's end. The race start calls it
// beside spiel::ResetRaceGlobals.
void ResetDriving();

// The whole per-frame step of the local car (record 0 of the player table):
// controls, the driving itself over the terrain (u_heightmap::GetHeight),
// on the host the referee step (spiel::RefereeStep), every car's gate sides
// (spiel::RecordGateSides), the chase camera and the car state to the other
// players. The first step after ResetDriving
// records fresh gate sides before the referee compares against them.
void DriveCar();

// The driving itself, on any record: clock, steering, throttle, heading,
// wheel spin, displacement over the ground, tilt, world bound, smoothing.
// raceTime advances while the controls are free; height gives the ground and
// its normal. Moves TiltTarget and SpeedLimit like the local car does.
void DriveStep(spiel::TPlayerRec& car, const TControls& in, double frameTime, bool controlsLocked, float& raceTime,
               const cars::THeightFunc& height);

// The terrain of the race as a height function (u_heightmap::GetHeight and
// the normal it leaves in TerrainNormal).
float TerrainHeight(float x, float z, D3DVECTOR* normal);

// The chase camera.
extern D3DVECTOR CameraTarget;
extern D3DVECTOR CameraEye;
extern D3DMATRIX ViewMatrix;
// Called with the new view matrix when it is set (the engine's view
// transform, D3DTRANSFORMSTATE_VIEW).
extern std::function<void(const D3DMATRIX&)> OnViewMatrix;
// Places the camera behind and above the local car from its World (the
// matrix of its last drawing) and Pos, smoothed by FrameTime.
void UpdateCamera();
// The same for any car matrix, position, frame time and ground.
void UpdateCamera(const D3DMATRIX& carWorld, const D3DVECTOR& carPos, double frameTime,
                  const cars::THeightFunc& height);

}  // namespace move
