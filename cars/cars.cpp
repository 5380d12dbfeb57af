#include "cars/cars.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <numbers>

#include "cars/move.h"
#include "world/u_heightmap.h"

namespace cars {

namespace {

// One model object per record, so every car's wheels turn on their own.
// Kept for the program; a new race reloads the file into the same object.
std::map<const spiel::TPlayerRec*, std::unique_ptr<TXObject>> CarModels;

}  // namespace

const u_collisiondetection::TBox CarHull{{{-70, 0, -100},
                                          {70, 0, -100},
                                          {70, 0, 110},
                                          {-70, 0, 110},
                                          {-70, 125, -100},
                                          {70, 125, -100},
                                          {70, 125, 110},
                                          {-70, 125, 110},
                                          {0, 0, -100},
                                          {0, 0, 110},
                                          {0, 125, -100},
                                          {0, 125, 110}}};

const std::array<const char*, 12> WheelFrameNames{"x3ds_rad1",     "x3ds_rad1kap1", "x3ds_rad1kap2", "x3ds_rad2",
                                                  "x3ds_rad2kap1", "x3ds_rad2kap2", "x3ds_rad3",     "x3ds_rad3kap1",
                                                  "x3ds_rad3kap2", "x3ds_rad4",     "x3ds_rad4kap1", "x3ds_rad4kap2"};

void UpdateWheelFrames(TXFileModel& model, float steer, float wheelAngle)
{
    constexpr float quarter = std::numbers::pi_v<float> / 2;
    for (size_t i = 0; i < WheelFrameNames.size(); ++i) {
        D3DMATRIX* m = model.FrameMatrix(WheelFrameNames[i]);
        if (!m) continue;
        const bool front = i < 6;
        D3DVECTOR t{m->_41, m->_42, m->_43};
        *m = RotateZMatrix(wheelAngle) * RotateYMatrix(front ? quarter + steer : quarter) * TranslateMatrix(t);
    }
}

int ShadowPositions(const D3DVERTEX* mesh, int count, const D3DMATRIX& world, const THeightFunc& height,
                    std::array<D3DVERTEX, MaxShadowVertices>& out)
{
    const int n = std::clamp(count, 0, MaxShadowVertices);
    for (int i = 0; i < n; ++i) {
        const D3DVECTOR w = TransformVector(D3DVECTOR{mesh[i].x, mesh[i].y, mesh[i].z}, world);
        out[i] = D3DVERTEX{};
        out[i].x = w.x;
        out[i].y = height(w.x, w.z, nullptr) + 2;
        out[i].z = w.z;
    }
    return n;
}

bool ShadowMeshFits(const TGeometry& g)
{
    if (!g.Vertices || !g.Indices) return false;
    if (g.VertexCount < 0 || g.VertexCount > MaxShadowVertices) return false;
    if (static_cast<size_t>(g.VertexCount) > g.Vertices->size()) return false;
    if (g.IndexCount < 0 || static_cast<size_t>(g.IndexCount) > g.Indices->size()) return false;
    for (int32_t i = 0; i < g.IndexCount; ++i)
        if ((*g.Indices)[i] >= g.VertexCount) return false;
    return true;
}

namespace {

// Rounding can push a dot product of unit vectors just past ±1, where the
// arc cosine gives NaN and the NaN would spread into the car's matrices.
float SafeAcos(float d) { return std::acos(std::clamp(d, -1.0f, 1.0f)); }

}  // namespace

TTilt ComputeTilt(const D3DVECTOR& move, float speed, float steer, float heading, const D3DVECTOR& groundNormal)
{
    constexpr float quarter = std::numbers::pi_v<float> / 2;
    TTilt r;
    D3DVECTOR f = Normalize(move);
    if (speed < 0) f = -f;
    D3DVECTOR n = Normalize(groundNormal);
    r.TiltTarget.x = quarter - SafeAcos(DotProduct(f, n));
    r.SpeedLimit = 140 + 150 * r.TiltTarget.x - 0.5f * std::fabs(steer) * speed;
    if (r.SpeedLimit < 40) r.SpeedLimit = 40;
    // The car's left side, (−cos h, 0, sin h), taken directly rather than by
    // normalising a vector scaled by the frame time.
    D3DVECTOR s{-std::cos(heading), 0, std::sin(heading)};
    r.TiltTarget.z = quarter - SafeAcos(DotProduct(s, n));
    r.TiltTarget.y = 0;
    return r;
}

void InitCar(spiel::TPlayerRec& rec)
{
    rec.Id = 0;
    rec.Car = nullptr;
    rec.Pos = {};
    rec.SafePos = rec.Pos;
    rec.Spare = rec.Steer = rec.WheelAngle = 0;
    rec.Pitch = rec.Heading = rec.Roll = 0;
    rec.Push = {};
    rec.Move = {};
    rec.Speed = 0;
    rec.World = IdentityMatrix();
    rec.Animate = 1;
    for (size_t i = 0; i < rec.Hull.size(); ++i) rec.Hull[i] = CarHull[i];
    rec.NextGate = 0;
    rec.GatesPassed = 0;
    rec.Reserved = 0;
    rec.Finished = 0;
    rec.InUse = 0;

    std::unique_ptr<TXObject>& model = CarModels[&rec];
    if (!model) model = std::make_unique<TXObject>();
    LoadXObject(*model, CarModelFile);  // throws EXFileError; Car then stays null
    rec.Car = model.get();
    UpdateCarMatrices(rec);
}

void UpdateCarMatrices(spiel::TPlayerRec& rec)
{
    if (rec.Car && rec.Car->XFile) UpdateWheelFrames(*rec.Car->XFile, rec.Steer, rec.WheelAngle);
    rec.World = u_collisiondetection::CarMatrix(rec.Roll, rec.Pitch, rec.Heading, rec.Pos);
}

void UpdateTilt()
{
    const spiel::TPlayerRec& me = spiel::PlayerTable[0];
    const TTilt t = ComputeTilt(me.Move, me.Speed, me.Steer, me.Heading, u_heightmap::TerrainNormal);
    move::TiltTarget = t.TiltTarget;
    move::SpeedLimit = t.SpeedLimit;
}

void CarVisibilityBox(const D3DVECTOR& pos, D3DVECTOR& boxMin, D3DVECTOR& boxMax)
{
    boxMin = pos - D3DVECTOR{110, 0, 110};
    boxMax = pos + D3DVECTOR{110, 120, 110};
}

}  // namespace cars
