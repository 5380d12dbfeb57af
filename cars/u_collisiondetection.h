// The collision module: point-in-box and gate crossings on boxes of twelve
// points (four bottom corners −x−z, +x−z, +x+z, −x+z; the four top corners in
// the same order; then the middles of the bottom −z, bottom +z, top −z and
// top +z edges), and the host's referee step over the player table.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>

#include "platform/d3d/d3dtypes.h"
#include "race/racestate.h"
#include "world/track.h"

namespace u_collisiondetection {

using track::TBox;

// Object-space boxes and the gate's nine plane points: the track's.
using track::GateFrame;
using track::PostBoxLeft;
using track::PostBoxRight;
using track::TreeBox;

// Strictly inside all six faces; a point on a face is outside.
bool PointInBox(const D3DVECTOR& p, const TBox& box);
// One of a's points inside b, or (bothWays) one of b's points inside a.
bool BoxesTouch(const TBox& a, const TBox& b, bool bothWays);

// A box's six faces (bottom, top, front, rear, right, left) as normal and
// reference corner, formed once so that testing a point against a box that
// is used many times is six dot products.
struct TBoxFaces {
    std::array<D3DVECTOR, 6> N;
    std::array<D3DVECTOR, 6> R;
};
TBoxFaces BoxFaces(const TBox& box);
bool PointInFaces(const D3DVECTOR& p, const TBoxFaces& f);
// One of the twelve points inside the faces, tested in order.
bool AnyPointInside(const TBox& points, const TBoxFaces& f);
TBox TransformBox(const TBox& box, const D3DMATRIX& m);
TBox ShiftBox(const TBox& box, const D3DVECTOR& d);

// The car's placement: Rz(roll) × Rx(pitch) × Ry(heading) × T(pos).
D3DMATRIX CarMatrix(float roll, float pitch, float heading, const D3DVECTOR& pos);

// Signed side of pos relative to a gate's middle plane (only the sign counts).
float GateSide(const D3DMATRIX& gateWorld, const D3DVECTOR& pos);
// The crossing test: pos between the side planes and the middle-plane side
// strictly opposite to previousSide (0 is opposite to nothing).
bool GateCrossed(const D3DMATRIX& gateWorld, const D3DVECTOR& pos, float previousSide);
// The same on the nine plane points already placed in the world.
using TGatePoints = std::array<D3DVECTOR, 9>;
TGatePoints GatePoints(const D3DMATRIX& gateWorld);
float GateSide(const TGatePoints& p, const D3DVECTOR& pos);
bool GateCrossed(const TGatePoints& p, const D3DVECTOR& pos, float previousSide);

// Where an obstacle puts a car back: 10 units behind its last collision-free
// position against its last move. A car that did not move has no direction
// to be pushed along, so it goes back to safePos itself.
D3DVECTOR PushBackPosition(const D3DVECTOR& safePos, const D3DVECTOR& move);

// A car's box in the world: its Hull placed by CarMatrix.
TBox CarBox(const spiel::TPlayerRec& r);

// What the referee step hands on; unset members are skipped.
struct TRefereeSends {
    // Record index crossed gate number gate: the race's gate rule decides
    // whether it counts and tells the players (spiel::GatePass).
    std::function<bool(int index, int gate)> GatePass;
    // Where a player's car goes, and with stop 1 that it stops there.
    std::function<void(D3DVECTOR pos, uint8_t stop, uint32_t id)> SetPosition;
};

// The track the cars are tested against.
struct TRefereeWorld {
    std::span<const track::TGateRec, track::GateCount> Gates;
    std::span<const track::TTreeRec, track::TreeCount> Trees;
};

using TPlayerTable = std::span<spiel::TPlayerRec, spiel::MaxPlayers>;

// The host's referee step over a player table (the race's, record 0 the
// host's own car), passes in order: gate crossings handed to GatePass, then
// cars put back from trees, posts and each other, other players told through
// SetPosition. A record takes part when it is record 0 or holds a player.
void DetectCollisions(TPlayerTable table, const TRefereeWorld& world, const TRefereeSends& sends);

// Records every taking-part record's side of every gate's middle plane, for
// the next crossing test.
void UpdateGateSides(TPlayerTable table, std::span<const track::TGateRec, track::GateCount> gates);

}  // namespace u_collisiondetection
