// The driving model of the local car and the chase camera.
#pragma once

#include <functional>

#include "cars/cars.h"
#include "platform/d3d/d3dtypes.h"

namespace move {

// The driving state of one car, as the player record holds it.
struct TCarDrive {
    float Speed = 0;
    D3DVECTOR Pos;
    float Steer = 0, WheelAngle = 0;
    float Pitch = 0, Heading = 0, Roll = 0;
    D3DVECTOR Move;
    uint8_t Finished = 0;
};

// The four control states of this frame.
struct TControls {
    bool Up = false, Down = false, Left = false, Right = false;
};

// Current top speed and the pitch (x) and roll (z) the car tends to;
// recomputed by each step that moves the car.
extern float SpeedLimit;
extern D3DVECTOR TiltTarget;
// Back to their program-start values; the world setup calls this so a race
// does not start from the previous race's slope and limit.
void ResetDriving();

// Steps 2…15 of the driving step: clock, steering, throttle, heading, wheel
// spin, displacement over the ground, tilt, world bound, smoothing.
// raceTime advances while the controls are free.
void DriveStep(TCarDrive& car, const TControls& in, double frameTime, bool controlsLocked, float& raceTime,
               const cars::THeightFunc& height);

// The chase camera.
extern D3DVECTOR CameraTarget;
extern D3DVECTOR CameraEye;
extern D3DMATRIX ViewMatrix;
// Called with the new view matrix when set (the engine's view transform).
extern std::function<void(const D3DMATRIX&)> OnViewMatrix;
// Places the camera from the car's world matrix and position.
void UpdateCamera(const D3DMATRIX& carWorld, const D3DVECTOR& carPos, double frameTime,
                  const cars::THeightFunc& height);

}  // namespace move
