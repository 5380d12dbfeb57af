// The car model: setting a car up in its player record, its collision box,
// the wheel frames and world matrix, the shadow's ground positions, the tilt
// and top speed from the ground.
#pragma once

#include <array>
#include <functional>
#include <vector>

#include "cars/u_collisiondetection.h"
#include "platform/d3d/d3dtypes.h"
#include "platform/xfile/xfile.h"
#include "race/racestate.h"

namespace cars {

// The car model file, looked up in the model directory.
inline constexpr const char* CarModelFile = "auto1.x";

// Resets rec for a new race (position, speed, angles, moves, counters, the
// collision box; Animate 1) and gives it its own freshly loaded car model,
// then builds its matrices. GateSide is left as it is. Each record keeps one
// model object for the whole program, reloaded at every race start.
// Throws EXFileError when the model cannot be read; the record's fields are
// reset all the same and its Car stays null.
void InitCar(spiel::TPlayerRec& rec);

// Turns rec's wheel frames by its Steer and WheelAngle and rebuilds its
// World from Roll, Pitch, Heading and Pos. A record without a model only
// gets its World.
void UpdateCarMatrices(spiel::TPlayerRec& rec);

// The local car's pitch and roll targets and top speed (move::TiltTarget,
// move::SpeedLimit) from its Move, Speed, Steer and Heading and the ground
// normal of the last height query (u_heightmap::TerrainNormal).
void UpdateTilt();

// The box tested against the view frustum before a car is drawn.
void CarVisibilityBox(const D3DVECTOR& pos, D3DVECTOR& boxMin, D3DVECTOR& boxMax);

// Car space: x right, y up, z forward, origin on the ground under the car.
extern const u_collisiondetection::TBox CarHull;
// The wheel frames, wheel 1 with its two caps first; wheels 1 and 2 steer.
extern const std::array<const char*, 12> WheelFrameNames;

// Sets every wheel frame present to Rz(wheelAngle) × Ry(a) × T(t), t its own
// translation, a = π/2 + steer at the front and π/2 at the rear. Missing
// frames are skipped; repeating it gives the same result.
void UpdateWheelFrames(TXFileModel& model, float steer, float wheelAngle);

// Ground height at (x, z); fills normal with the ground's normal there when
// it is not null. The terrain module provides the real one.
using THeightFunc = std::function<float(float x, float z, D3DVECTOR* normal)>;

// The shadow's vertex positions: each mesh vertex placed by world and set on
// the ground 2 units up; only the position is filled in. At most
// MaxShadowVertices are taken; returns how many.
constexpr int MaxShadowVertices = 82;
int ShadowPositions(const D3DVERTEX* mesh, int count, const D3DMATRIX& world, const THeightFunc& height,
                    std::array<D3DVERTEX, MaxShadowVertices>& out);

// Whether a shadow mesh can be drawn from the shadow buffer: at most
// MaxShadowVertices vertices, counts within its arrays, every index naming
// one of its vertices.
bool ShadowMeshFits(const TGeometry& shadowMesh);

// Draws rec's car with the current engine (inside the scene): nothing when
// its box lies wholly outside the view frustum of the device's view and
// projection. Otherwise rebuilds its matrices (Animate), draws the model with
// its World, then shadowMesh (in car space, the world setup's) as a shadow
// that darkens the ground to 60 %; a shadow mesh that does not fit is left
// out. Leaves the world transform at the identity, blending off and a white
// material. Returns whether the car was drawn. Needs the graphics layer.
bool DrawCar(spiel::TPlayerRec& rec, const TGeometry& shadowMesh);

struct TTilt {
    D3DVECTOR TiltTarget;  // x: pitch target, z: roll target
    float SpeedLimit = 100;
};
// The slope along the nose (move, reversed when reversing) and across the
// left side, from the ground normal, and the top speed they allow.
TTilt ComputeTilt(const D3DVECTOR& move, float speed, float steer, float heading, const D3DVECTOR& groundNormal);

}  // namespace cars
