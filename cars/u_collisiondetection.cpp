#include "cars/u_collisiondetection.h"

#include <algorithm>

namespace u_collisiondetection {

namespace {

// Only obstacles this near a car's origin (world units) can touch it: a
// tree within 150, another car within 300.
constexpr float TreeReach = 150;
constexpr float CarReach = 300;

bool Inner(const D3DVECTOR& p, const D3DVECTOR& n, const D3DVECTOR& r) { return DotProduct(n, p - r) < 0; }

float PlaneValue(const D3DVECTOR& a, const D3DVECTOR& b, const D3DVECTOR& c, const D3DVECTOR& p)
{
    return DotProduct(CrossProduct(b - a, c - a), p - a);
}

}  // namespace

TBoxFaces BoxFaces(const TBox& c)
{
    TBoxFaces f;
    f.N = {CrossProduct(c[1] - c[0], c[2] - c[0]), CrossProduct(c[6] - c[4], c[5] - c[4]),
           CrossProduct(c[6] - c[2], c[3] - c[2]), CrossProduct(c[4] - c[0], c[1] - c[0]),
           CrossProduct(c[5] - c[1], c[2] - c[1]), CrossProduct(c[3] - c[0], c[4] - c[0])};
    f.R = {c[0], c[4], c[2], c[0], c[1], c[0]};
    return f;
}

bool PointInFaces(const D3DVECTOR& p, const TBoxFaces& f)
{
    for (int i = 0; i < 6; ++i)
        if (!Inner(p, f.N[i], f.R[i])) return false;
    return true;
}

bool AnyPointInside(const TBox& points, const TBoxFaces& f)
{
    for (const auto& p : points)
        if (PointInFaces(p, f)) return true;
    return false;
}

bool PointInBox(const D3DVECTOR& p, const TBox& c) { return PointInFaces(p, BoxFaces(c)); }

bool BoxesTouch(const TBox& a, const TBox& b, bool bothWays)
{
    if (AnyPointInside(a, BoxFaces(b))) return true;
    return bothWays && AnyPointInside(b, BoxFaces(a));
}

TBox TransformBox(const TBox& box, const D3DMATRIX& m)
{
    TBox out;
    std::ranges::transform(box, out.begin(), [&](const D3DVECTOR& p) { return TransformVector(p, m); });
    return out;
}

TBox ShiftBox(const TBox& box, const D3DVECTOR& d)
{
    TBox out;
    std::ranges::transform(box, out.begin(), [&](const D3DVECTOR& p) { return p + d; });
    return out;
}

D3DMATRIX CarMatrix(float roll, float pitch, float heading, const D3DVECTOR& pos)
{
    return RotateZMatrix(roll) * RotateXMatrix(pitch) * RotateYMatrix(heading) * TranslateMatrix(pos);
}

TGatePoints GatePoints(const D3DMATRIX& w)
{
    TGatePoints p;
    std::ranges::transform(GateFrame, p.begin(), [&](const D3DVECTOR& f) { return TransformVector(f, w); });
    return p;
}

float GateSide(const TGatePoints& p, const D3DVECTOR& pos) { return PlaneValue(p[6], p[7], p[8], pos); }

bool GateCrossed(const TGatePoints& p, const D3DVECTOR& pos, float previousSide)
{
    const float d1 = PlaneValue(p[0], p[1], p[2], pos);
    const float d2 = PlaneValue(p[3], p[4], p[5], pos);
    const float d3 = PlaneValue(p[6], p[7], p[8], pos);
    if (!(d1 >= 0 && d2 >= 0)) return false;
    return (d3 > 0 && previousSide < 0) || (d3 < 0 && previousSide > 0);
}

float GateSide(const D3DMATRIX& w, const D3DVECTOR& pos) { return GateSide(GatePoints(w), pos); }

bool GateCrossed(const D3DMATRIX& w, const D3DVECTOR& pos, float previousSide)
{
    return GateCrossed(GatePoints(w), pos, previousSide);
}

D3DVECTOR PushBackPosition(const D3DVECTOR& safePos, const D3DVECTOR& move)
{
    if (move.x == 0 && move.y == 0 && move.z == 0) return safePos;
    return safePos - 10.0f * Normalize(move);
}

TBox CarBox(const spiel::TPlayerRec& r) { return TransformBox(r.Hull, CarMatrix(r.Roll, r.Pitch, r.Heading, r.Pos)); }

namespace {

using spiel::MaxPlayers;
using spiel::TPlayerRec;
using track::GateCount;

bool TakesPart(const TPlayerRec& r, int index) { return index == 0 || r.Id != 0; }

// Trees and posts: the host's own car stops and is put back; another car is
// put back in the host's table and told where to go, stopped.
void ObstacleResponse(TPlayerRec& r, int index, const TRefereeSends& sends)
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
TPlacedGates PlaceGates(std::span<const track::TGateRec, GateCount> gates)
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

}  // namespace

void DetectCollisions(TPlayerTable table, const TRefereeWorld& w, const TRefereeSends& sends)
{
    const TPlacedGates placed = PlaceGates(w.Gates);
    // Gate crossings: whether one counts is the race's rule.
    for (int i = 0; i < MaxPlayers; ++i) {
        const TPlayerRec& r = table[i];
        if (!TakesPart(r, i)) continue;
        for (int g = 0; g < GateCount; ++g)
            if (GateCrossed(placed.Points[g], r.Pos, r.GateSide[g]) && sends.GatePass) sends.GatePass(i, g);
    }

    // Car boxes once, from the positions after the gate pass; later passes
    // use them even after a car has been put back. Every record gets one;
    // only those of cars taking part are ever tested.
    std::array<TBox, MaxPlayers> boxes{};
    std::array<TBoxFaces, MaxPlayers> faces{};
    std::array<bool, MaxPlayers> hit{};
    for (int i = 0; i < MaxPlayers; ++i) {
        boxes[i] = CarBox(table[i]);
        faces[i] = BoxFaces(boxes[i]);
    }

    // Trees: every tree within 150 is tested, also after a hit.
    for (int i = 0; i < MaxPlayers; ++i) {
        TPlayerRec& r = table[i];
        if (!TakesPart(r, i)) continue;
        for (const track::TTreeRec& t : w.Trees) {
            if (!t.Used) continue;
            // Written so that a position that is not a number (a bad car state
            // from the wire) counts as far from everything.
            if (!(SquareMagnitude(r.Pos - t.Pos) < TreeReach * TreeReach)) continue;
            const TBox b = ShiftBox(TreeBox, t.Pos);
            if (AnyPointInside(boxes[i], BoxFaces(b)) || AnyPointInside(b, faces[i])) {
                ObstacleResponse(r, i, sends);
                hit[i] = true;
            }
        }
    }

    // Posts: only the car's points, no distance check.
    for (int i = 0; i < MaxPlayers; ++i) {
        TPlayerRec& r = table[i];
        if (!TakesPart(r, i)) continue;
        for (int g = 0; g < GateCount; ++g) {
            if (AnyPointInside(boxes[i], placed.LeftFaces[g]) || AnyPointInside(boxes[i], placed.RightFaces[g])) {
                ObstacleResponse(r, i, sends);
                hit[i] = true;
            }
        }
    }

    for (int i = 0; i < MaxPlayers; ++i)
        if (!hit[i]) table[i].SafePos = table[i].Pos;

    // Cars against cars: car i undoes its move and keeps what of it does
    // not run into car j; car j answers for itself in its own turn.
    for (int i = 0; i < MaxPlayers; ++i) {
        TPlayerRec& a = table[i];
        if (a.Id == 0) continue;
        for (int j = 0; j < MaxPlayers; ++j) {
            if (j == i) continue;
            const TPlayerRec& b = table[j];
            if (b.Id == 0) continue;
            if (!(SquareMagnitude(a.Pos - b.Pos) < CarReach * CarReach)) continue;
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

void UpdateGateSides(TPlayerTable table, std::span<const track::TGateRec, GateCount> gates)
{
    std::array<TGatePoints, GateCount> points;
    for (int g = 0; g < GateCount; ++g) points[g] = GatePoints(gates[g].World);
    for (int i = 0; i < MaxPlayers; ++i) {
        TPlayerRec& r = table[i];
        if (!TakesPart(r, i)) continue;
        for (int g = 0; g < GateCount; ++g) r.GateSide[g] = GateSide(points[g], r.Pos);
    }
}

}  // namespace u_collisiondetection
