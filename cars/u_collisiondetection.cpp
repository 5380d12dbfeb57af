#include "cars/u_collisiondetection.h"

#include <cstddef>
#include <span>

#include "cars/referee.h"
#include "race/spiel.h"

namespace u_collisiondetection {

const TBox TreeBox{{{-15, 0, -15},
                    {15, 0, -15},
                    {15, 0, 15},
                    {-15, 0, 15},
                    {-15, 50, -15},
                    {15, 50, -15},
                    {15, 50, 15},
                    {-15, 50, 15},
                    {0, 0, -15},
                    {0, 0, 15},
                    {0, 50, -15},
                    {0, 50, 15}}};
const TBox PostBoxLeft{{{-600, 0, -50},
                        {-500, 0, -50},
                        {-500, 0, 50},
                        {-600, 0, 50},
                        {-600, 600, -50},
                        {-500, 600, -50},
                        {-500, 600, 50},
                        {-600, 600, 50},
                        {-550, 0, -50},
                        {-550, 0, 50},
                        {-550, 600, -50},
                        {-550, 600, 50}}};
const TBox PostBoxRight{{{500, 0, -50},
                         {600, 0, -50},
                         {600, 0, 50},
                         {500, 0, 50},
                         {500, 600, -50},
                         {600, 600, -50},
                         {600, 600, 50},
                         {500, 600, 50},
                         {550, 0, -50},
                         {550, 0, 50},
                         {550, 600, -50},
                         {550, 600, 50}}};
const std::array<D3DVECTOR, 9> GateFrame{{{-500, 0, -50},
                                          {-500, 600, -50},
                                          {-500, 0, 50},
                                          {500, 0, 50},
                                          {500, 600, 50},
                                          {500, 0, -50},
                                          {-500, 0, 0},
                                          {-500, 600, 0},
                                          {500, 0, 0}}};

namespace {

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
    for (std::size_t i = 0; i < box.size(); ++i) out[i] = TransformVector(box[i], m);
    return out;
}

TBox ShiftBox(const TBox& box, const D3DVECTOR& d)
{
    TBox out;
    for (std::size_t i = 0; i < box.size(); ++i) out[i] = box[i] + d;
    return out;
}

D3DMATRIX CarMatrix(float roll, float pitch, float heading, const D3DVECTOR& pos)
{
    return RotateZMatrix(roll) * RotateXMatrix(pitch) * RotateYMatrix(heading) * TranslateMatrix(pos);
}

TGatePoints GatePoints(const D3DMATRIX& w)
{
    TGatePoints p;
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = TransformVector(GateFrame[i], w);
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

void DetectCollisions()
{
    // Gate crossings go through the race's gate pass, which counts them and
    // sends "nexttor" or "updatemygoal"; put-backs go out as set-position.
    DetectCollisionsOn(std::span(spiel::PlayerTable), spiel::RefereeWorld(), spiel::RefereeSends());
}

}  // namespace u_collisiondetection
