#include "tools/makedata/terrain.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace makedata {
namespace {

constexpr int MapSize = 256;
constexpr float PixelUnits = 100;  // world units per pixel
constexpr float MapOrigin = -12800;

// Valleys: flat floor out to FloorHalfWidth from a course line, full hill
// height from HillDistance on.
constexpr float FloorHalfWidth = 550;
constexpr float HillDistance = 2000;
constexpr float GateClearing = 600;

// Trees stand on the valley sides, clear of the course lines by more than
// half a billboard (320) plus a car and a margin.
constexpr float TreeLineClearance = 1100;
constexpr float TreeMaxLineDistance = 3600;
constexpr float TreeSpacing = 420;
constexpr int TreeCount = 100;

float CoastDistance(float x, float z)
{
    // A rounded square, so the island fills the map but its corners are
    // not cut off by the map's edge.
    float ax = std::fabs(x) / 10000.0f, az = std::fabs(z) / 10000.0f;
    return 10000.0f * std::pow(std::pow(ax, 6.0f) + std::pow(az, 6.0f), 1.0f / 6.0f);
}

float LandMask(float x, float z)
{
    float wobble = (Fbm(x / 3000.0f, z / 3000.0f, 71, 3) - 0.5f) * 1000.0f;
    return 1.0f - SmoothStep(10200.0f, 11800.0f, CoastDistance(x, z) + wobble);
}

float HillGrey(float x, float z)
{
    // Round hills mixed with sharper dune crests.
    float n = Fbm(x / 6500.0f + 3.1f, z / 6500.0f - 1.7f, 11, 5);
    float ridge = 1.0f - std::fabs(2.0f * Fbm(x / 4200.0f - 5.3f, z / 4200.0f + 2.9f, 23, 4) - 1.0f);
    float h = 0.65f * SmoothStep(0.25f, 0.8f, n) + 0.35f * ridge * ridge;
    return 55.0f + 175.0f * h;
}

float Nearest(const std::vector<TSegment>& lines, float x, float z)
{
    float best = std::numeric_limits<float>::max();
    for (const TSegment& s : lines) best = std::min(best, DistanceToSegment({x, z}, s));
    return best;
}

// Distance to the nearest valley axis (a course line) or gate clearing.
float LineDistance(float x, float z)
{
    static const std::vector<TSegment> lines = CourseLines();
    float best = Nearest(lines, x, z);
    // A level clearing around each gate, wider than its posts whatever the
    // direction they stand in.
    for (const TPoint2& g : GatePositions)
        best = std::min(best, std::max(0.0f, std::hypot(x - g.x, z - g.z) - GateClearing));
    return best;
}

TPoint2 MapPixelToWorld(int column, int row) { return {column * PixelUnits + MapOrigin, row * PixelUnits + MapOrigin}; }

}  // namespace

std::vector<TSegment> CourseLines()
{
    std::vector<TSegment> lines;
    for (size_t i = 0; i < GatePositions.size(); ++i)
        for (size_t j = i + 1; j < GatePositions.size(); ++j) lines.push_back({GatePositions[i], GatePositions[j]});
    const TPoint2 gridMiddle{(GridFirst.x + GridLast.x) / 2, GridFirst.z};
    for (const TPoint2& g : GatePositions) {
        // The fan from the grid's ends and middle covers every start slot.
        lines.push_back({GridFirst, g});
        lines.push_back({gridMiddle, g});
        lines.push_back({GridLast, g});
    }
    lines.push_back({GridFirst, GridLast});
    return lines;
}

float DistanceToSegment(TPoint2 p, const TSegment& s)
{
    float dx = s.b.x - s.a.x, dz = s.b.z - s.a.z;
    float len2 = dx * dx + dz * dz;
    float t = (len2 > 0) ? std::clamp(((p.x - s.a.x) * dx + (p.z - s.a.z) * dz) / len2, 0.0f, 1.0f) : 0.0f;
    return std::hypot(p.x - (s.a.x + t * dx), p.z - (s.a.z + t * dz));
}

float TerrainGrey(float x, float z)
{
    // The floor rolls gently, but lies level around the gates and the grid
    // so that posts and cars stand on flat ground.
    float rolling = (Fbm(x / 8000.0f, z / 8000.0f, 5, 2) - 0.5f) * 24.0f;
    float level = 1.0f;
    for (const TPoint2& g : GatePositions)
        level = std::min(level, SmoothStep(900.0f, 2200.0f, std::hypot(x - g.x, z - g.z)));
    level = std::min(level, SmoothStep(600.0f, 2000.0f, DistanceToSegment({x, z}, {GridFirst, GridLast})));
    float floor = ValleyFloorGrey + rolling * level;
    float hill = std::max(HillGrey(x, z), floor);
    // The valley sides wander a little so the hills do not look ruled.
    float wander = (Fbm(x / 2500.0f, z / 2500.0f, 31, 3) - 0.5f) * 1400.0f;
    float v = SmoothStep(FloorHalfWidth, HillDistance + wander, LineDistance(x, z));
    float h = floor + (hill - floor) * v;
    return std::clamp(h * LandMask(x, z), 0.0f, 255.0f);
}

TImage MakeHeightMap()
{
    TImage img(MapSize, MapSize);
    for (int row = 0; row < MapSize; ++row)
        for (int col = 0; col < MapSize; ++col) {
            TPoint2 w = MapPixelToWorld(col, row);
            float g = std::round(TerrainGrey(w.x, w.z)) / 255.0f;
            img.At(col, row) = {g, g, g};
        }
    return img;
}

TImage MakeTreeMap()
{
    // Clusters of trees on the valley sides: pick a centre where a tree may
    // stand, then scatter a few trees around it.
    struct TTree {
        int row, col, kind;
    };
    std::vector<TTree> trees;
    auto allowed = [&](int row, int col) {
        if (row < 0 || col < 0 || row >= MapSize || col >= MapSize) return false;
        // Transposed: the row gives world x, the column world z.
        float x = row * PixelUnits + MapOrigin, z = col * PixelUnits + MapOrigin;
        float d = LineDistance(x, z);
        if (d < TreeLineClearance || d > TreeMaxLineDistance) return false;
        float grey = TerrainGrey(x, z);
        if (grey < ValleyFloorGrey + 8 || grey > 190 || LandMask(x, z) < 0.98f) return false;
        for (const TTree& t : trees)
            if (std::hypot(static_cast<float>(t.row - row), static_cast<float>(t.col - col)) * PixelUnits < TreeSpacing)
                return false;
        return true;
    };
    auto kindAt = [](int row, int col, uint32_t cluster) {
        float x = row * PixelUnits + MapOrigin, z = col * PixelUnits + MapOrigin;
        // Palms low down near the track, the others higher up, mixed.
        if (TerrainGrey(x, z) < 75 && Hash01(static_cast<int>(cluster), 1, 9) < 0.7f) return 0;
        return (Hash01(row, col, 13 + cluster) < 0.5f) ? 1 : 2;
    };
    TRandom rnd(20240601u);
    uint32_t cluster = 0;
    for (int attempt = 0; attempt < 200000 && static_cast<int>(trees.size()) < TreeCount; ++attempt) {
        int row = static_cast<int>(rnd.Uniform() * MapSize);
        int col = static_cast<int>(rnd.Uniform() * MapSize);
        if (!allowed(row, col)) continue;
        ++cluster;
        int size = 2 + static_cast<int>(rnd.Uniform() * 5);
        trees.push_back({row, col, kindAt(row, col, cluster)});
        for (int k = 0; k < 40 && size > 1 && static_cast<int>(trees.size()) < TreeCount; ++k) {
            float a = rnd.Range(0, 6.2831853f), r = rnd.Range(4.5f, 11.0f);
            int tr = row + static_cast<int>(std::lround(r * std::cos(a)));
            int tc = col + static_cast<int>(std::lround(r * std::sin(a)));
            if (allowed(tr, tc)) {
                trees.push_back({tr, tc, kindAt(tr, tc, cluster)});
                --size;
            }
        }
    }
    if (static_cast<int>(trees.size()) != TreeCount)
        throw std::runtime_error("treemap: only " + std::to_string(trees.size()) + " of 100 trees placed");

    // Windows colour values 0x0000FF (red), 0x008000 (dark green) and
    // 0xFF0000 (blue) pick tree1, tree2 and tree3.
    const TColor kinds[3] = {{1, 0, 0}, {0, 128.0f / 255.0f, 0}, {0, 0, 1}};
    TImage img(MapSize, MapSize, {1, 1, 1});
    for (const TTree& t : trees) img.At(t.col, t.row) = kinds[t.kind];
    return img;
}

}  // namespace makedata
