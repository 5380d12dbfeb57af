// The host's collision and gate passes over a player table, written against
// the record's field names (Id, Speed, Pos, SafePos, Move, Hull, GateSide,
// NextGate, GatesPassed, Pitch, Heading, Roll) so that the race state's
// PlayerTable and test tables run the same code.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>

#include "cars/u_collisiondetection.h"

namespace u_collisiondetection {

constexpr int GateCount = 5;
constexpr int TreeCount = 100;

struct TGateRec {
    D3DVECTOR Pos;
    float Yaw = 0;
    D3DMATRIX World = IdentityMatrix();  // Ry(Yaw) × T(Pos)
};

struct TTreeRec {
    int32_t Kind = 0;
    D3DVECTOR Pos;
    D3DMATRIX World = IdentityMatrix();
    bool Used = true;  // records left empty by a short tree map take no part
};

// What the passes tell the other programs, and the gate pass bookkeeping's
// messages; unset members send nothing (no session open).
struct TRefereeSends {
    std::function<void()> UpdateMyGoal;                         // "updatemygoal" to all
    std::function<void(uint32_t id)> NextTor;                   // "nexttor" to one player
    std::function<void(D3DVECTOR pos, uint8_t stop, uint32_t id)> SetPosition;
    // When set, every crossing of a gate (record index, gate number) goes
    // here instead, and the race's own bookkeeping decides whether it counts
    // and what it sends.
    std::function<bool(int index, int gate)> GatePass;
};

struct TRefereeWorld {
    std::span<const TGateRec, GateCount> Gates;
    std::span<const TTreeRec, TreeCount> Trees;
    std::span<const uint32_t, GateCount> GateOrder;
    D3DVECTOR* GoalPos = nullptr;
};

template <class Rec>
bool TakesPart(const Rec& r, int index)
{
    return index == 0 || r.Id != 0;
}

template <class Rec>
TBox CarBox(const Rec& r)
{
    TBox hull;
    for (int i = 0; i < 12; ++i) hull[i] = r.Hull[i];
    return TransformBox(hull, CarMatrix(r.Roll, r.Pitch, r.Heading, r.Pos));
}

// Trees and posts: the host's own car stops and is put back; another car is
// put back in the host's table and told where to go, stopped.
template <class Rec>
void ObstacleResponse(Rec& r, int index, const TRefereeSends& sends)
{
    if (index == 0) {
        r.Speed = 0;
        r.Pos = PushBackPosition(r.SafePos, r.Move);
    } else {
        r.Pos = r.SafePos;
        if (sends.SetPosition) sends.SetPosition(PushBackPosition(r.SafePos, r.Move), 1, r.Id);
    }
}

// The world's fixed solids placed once per step: each gate's plane points
// and its two posts with their faces.
struct TPlacedGates {
    std::array<TGatePoints, GateCount> Points;
    std::array<TBox, GateCount> Left, Right;
    std::array<TBoxFaces, GateCount> LeftFaces, RightFaces;
};
inline TPlacedGates PlaceGates(std::span<const TGateRec, GateCount> gates)
{
    TPlacedGates p;
    for (int g = 0; g < GateCount; ++g) {
        p.Points[g] = GatePoints(gates[g].World);
        p.Left[g] = TransformBox(PostBoxLeft, gates[g].World);
        p.Right[g] = TransformBox(PostBoxRight, gates[g].World);
        p.LeftFaces[g] = BoxFaces(p.Left[g]);
        p.RightFaces[g] = BoxFaces(p.Right[g]);
    }
    return p;
}

// Gate pass: a crossing of the record's next gate advances its counters and
// tells the owner; any other crossing changes nothing.
template <class Rec, size_t N>
void RunGatePass(std::span<Rec, N> table, const TRefereeWorld& w, const TPlacedGates& placed,
                 const TRefereeSends& sends)
{
    for (int i = 0; i < static_cast<int>(N); ++i) {
        Rec& r = table[i];
        if (!TakesPart(r, i)) continue;
        for (int g = 0; g < GateCount; ++g) {
            if (!GateCrossed(placed.Points[g], r.Pos, r.GateSide[g])) continue;
            if (sends.GatePass) {
                sends.GatePass(i, g);
                continue;
            }
            // NextGate only ever holds 0..4 here; the order comes off the wire.
            if (r.NextGate < 0 || r.NextGate >= GateCount) continue;
            if (static_cast<uint32_t>(g) != w.GateOrder[r.NextGate]) continue;
            r.NextGate += 1;
            if (r.NextGate == GateCount) r.NextGate = 0;
            r.GatesPassed += 1;
            if (i == 0) {
                const uint32_t next = w.GateOrder[r.NextGate];
                if (w.GoalPos && next < GateCount) *w.GoalPos = w.Gates[next].Pos + D3DVECTOR{0, 100, 0};
                if (sends.UpdateMyGoal) sends.UpdateMyGoal();
            } else if (sends.NextTor) {
                sends.NextTor(r.Id);
            }
        }
    }
}

// The whole referee step, passes in order: gates, car boxes, trees, posts,
// safe positions, cars against cars.
template <class Rec, size_t N>
void DetectCollisionsOn(std::span<Rec, N> table, const TRefereeWorld& w, const TRefereeSends& sends)
{
    const TPlacedGates placed = PlaceGates(w.Gates);
    RunGatePass(table, w, placed, sends);

    // Car boxes once, from the positions after the gate pass; later passes
    // use them even after a car has been put back.
    std::array<TBox, N> boxes{};
    std::array<TBoxFaces, N> faces{};
    std::array<uint8_t, N> hit{};
    for (int i = 0; i < static_cast<int>(N); ++i) {
        if (!TakesPart(table[i], i)) continue;
        boxes[i] = CarBox(table[i]);
        faces[i] = BoxFaces(boxes[i]);
    }

    // Trees: every tree within 150 is tested, also after a hit.
    for (int i = 0; i < static_cast<int>(N); ++i) {
        Rec& r = table[i];
        if (!TakesPart(r, i)) continue;
        for (const TTreeRec& t : w.Trees) {
            if (!t.Used) continue;
            // Written so that a position that is not a number (a bad car state
            // from the wire) counts as far from everything.
            if (!(SquareMagnitude(r.Pos - t.Pos) < 22500)) continue;
            const TBox b = ShiftBox(TreeBox, t.Pos);
            if (AnyPointInside(boxes[i], BoxFaces(b)) || AnyPointInside(b, faces[i])) {
                ObstacleResponse(r, i, sends);
                hit[i] = 1;
            }
        }
    }

    // Posts: only the car's points, no distance check.
    for (int i = 0; i < static_cast<int>(N); ++i) {
        Rec& r = table[i];
        if (!TakesPart(r, i)) continue;
        for (int g = 0; g < GateCount; ++g) {
            if (AnyPointInside(boxes[i], placed.LeftFaces[g]) || AnyPointInside(boxes[i], placed.RightFaces[g])) {
                ObstacleResponse(r, i, sends);
                hit[i] = 1;
            }
        }
    }

    for (size_t i = 0; i < N; ++i)
        if (!hit[i]) table[i].SafePos = table[i].Pos;

    // Cars against cars: car i undoes its move and keeps what of it does
    // not run into car j; car j answers for itself in its own turn.
    for (int i = 0; i < static_cast<int>(N); ++i) {
        Rec& a = table[i];
        if (a.Id == 0) continue;
        for (int j = 0; j < static_cast<int>(N); ++j) {
            if (j == i) continue;
            const Rec& b = table[j];
            if (b.Id == 0) continue;
            if (!(SquareMagnitude(a.Pos - b.Pos) < 90000)) continue;
            a.Pos = a.Pos - a.Move;
            const auto freeOf = [&](const D3DVECTOR& shift) {
                const TBox s = ShiftBox(boxes[i], shift);
                return !AnyPointInside(s, faces[j]) && !AnyPointInside(boxes[j], BoxFaces(s));
            };
            const bool freeZ = freeOf({0, 0, -a.Move.z});
            const bool freeX = freeOf({-a.Move.x, 0, 0});
            if (freeZ && freeX) {
                a.Pos += a.Move;
                continue;
            }
            if (freeZ) a.Pos += D3DVECTOR{a.Move.x, a.Move.y, 0};
            if (freeX) a.Pos += D3DVECTOR{0, a.Move.y, a.Move.z};
            a.SafePos = a.Pos;
            if (sends.SetPosition) sends.SetPosition(a.Pos, 0, a.Id);
        }
    }
}

// Records every taking-part car's side of every gate's middle plane; also
// called at race start so the first test compares against fresh sides.
template <class Rec, size_t N>
void UpdateGateSidesOn(std::span<Rec, N> table, std::span<const TGateRec, GateCount> gates)
{
    std::array<TGatePoints, GateCount> points;
    for (int g = 0; g < GateCount; ++g) points[g] = GatePoints(gates[g].World);
    for (int i = 0; i < static_cast<int>(N); ++i) {
        Rec& r = table[i];
        if (!TakesPart(r, i)) continue;
        for (int g = 0; g < GateCount; ++g) r.GateSide[g] = GateSide(points[g], r.Pos);
    }
}

}  // namespace u_collisiondetection
