// The height map and the tree map as the world setup reads them: valleys
// under the gates and the start grid, water at the edges, and 100 trees that
// stand beside, never on, the lines a car drives. Heights come from the
// game's own terrain.
#include <gtest/gtest.h>

#include <QImage>

#include <cmath>

#include "datafiles.h"
#include "world/u_heightmap.h"

using namespace datatest;

namespace {

const TPoint GridFirst{-1600, -2000}, GridLast{200, -2000};

// The ground height at a point, of the terrain built from the generated map.
float Height(float x, float z)
{
    static const bool loaded = [] {
        u_heightmap::Terrain = u_heightmap::TD3DHeightSurfaceTerrain{};
        u_heightmap::Terrain.FileName = BinPath("images/height.bmp");
        u_heightmap::LoadHeightmap(u_heightmap::Terrain);
        u_heightmap::BuildCellTable(u_heightmap::Terrain);
        return true;
    }();
    return loaded ? u_heightmap::GetHeight(x, z) : 0;
}

// Every line a car may drive: any gate to any other (the order is drawn at
// random) and the start grid to any gate.
std::vector<std::pair<TPoint, TPoint>> CourseLines()
{
    std::vector<std::pair<TPoint, TPoint>> lines;
    for (size_t i = 0; i < Gates.size(); ++i)
        for (size_t j = i + 1; j < Gates.size(); ++j) lines.push_back({Gates[i], Gates[j]});
    for (const TPoint& g : Gates)
        for (float x = GridFirst.x; x <= GridLast.x; x += 200) lines.push_back({{x, -2000}, g});
    return lines;
}

// The lowest and highest ground on a grid of the box 2a × 2b about c, its
// a along x turned by yaw.
std::pair<float, float> Spread(TPoint c, float yaw, float a, float b, float step)
{
    const float cs = std::cos(yaw), sn = std::sin(yaw);
    float lo = 1e9f, hi = -1e9f;
    for (float u = -a; u <= a; u += step)
        for (float v = -b; v <= b; v += step) {
            const float h = Height(c.x + u * cs + v * sn, c.z - u * sn + v * cs);
            lo = std::min(lo, h);
            hi = std::max(hi, h);
        }
    return {lo, hi};
}

}  // namespace

TEST(HeightMap, FallsToWaterLevelAtTheEdges)
{
    // The terrain mesh's outer ring (vertices 0 and 63 at −12800 and 12400).
    Height(0, 0);
    const auto& t = u_heightmap::Terrain;
    ASSERT_EQ(t.Rows, 64);
    auto y = [&](int i, int j) { return t.Vertices[size_t(i * t.Rows + j)].y; };
    for (int k = 0; k < 64; ++k) EXPECT_EQ(y(k, 0) + y(k, 63) + y(0, k) + y(63, k), 0) << k;
}

TEST(HeightMap, EveryGateAndTheStartGridStandOnLevelGroundInAValley)
{
    const auto [gridLo, gridHi] =
        Spread({(GridFirst.x + GridLast.x) / 2, GridFirst.z}, 0, (GridLast.x - GridFirst.x) / 2 + 150, 150, 25);
    EXPECT_GT(gridLo, 20);
    EXPECT_LT(gridHi - gridLo, 10);
    for (size_t g = 0; g < Gates.size(); ++g) {
        const TPoint c = Gates[g];
        const float centre = Height(c.x, c.z);
        EXPECT_GT(centre, 20) << "gate " << g << " above the water";
        EXPECT_LT(centre, 300) << "gate " << g << " in a valley";
        // The footprint of posts and opening: 600 either side along the
        // gate's x, 100 before and behind along its z.
        const auto [lo, hi] = Spread(c, GateYaw[g], 600, 100, 50);
        EXPECT_LT(hi - lo, 15) << "gate " << g;
        // Lower than the land around it: the hills rise within 3000 units.
        float around = 0;
        for (int k = 0; k < 16; ++k) {
            float a = k * 0.3926991f;
            around = std::max(around, Height(c.x + 3000 * std::cos(a), c.z + 3000 * std::sin(a)));
        }
        EXPECT_GT(around, centre + 150) << "gate " << g;
    }
}

TEST(HeightMap, EveryCourseLineIsAGentleDriveAboveTheWater)
{
    for (const auto& [a, b] : CourseLines()) {
        const float len = std::hypot(b.x - a.x, b.z - a.z);
        float worstSlope = 0, lowest = 1e9f, highest = 0;
        float prev = Height(a.x, a.z);
        for (float s = 100; s <= len; s += 100) {
            float f = s / len;
            float h = Height(a.x + (b.x - a.x) * f, a.z + (b.z - a.z) * f);
            worstSlope = std::max(worstSlope, std::fabs(h - prev) / 100);
            lowest = std::min(lowest, h);
            highest = std::max(highest, h);
            prev = h;
        }
        EXPECT_LT(worstSlope, 0.08f) << a.x << "," << a.z << " to " << b.x << "," << b.z;
        EXPECT_GT(lowest, 20) << a.x << "," << a.z << " to " << b.x << "," << b.z;
        EXPECT_LT(highest, 300) << a.x << "," << a.z << " to " << b.x << "," << b.z;
    }
}

TEST(TreeMap, HundredTreesOfTheThreeKindsStandClearOfTheCourseOnDryLand)
{
    QImage img = LoadImage("images/treemap.bmp");
    const auto lines = CourseLines();
    // Half a billboard (320) plus half a car (70) and a margin.
    const float clearance = 900;
    int trees = 0, kinds[3] = {0, 0, 0};
    for (int row = 0; row < 256; ++row)
        for (int col = 0; col < 256; ++col) {
            const QRgb c = img.pixel(col, row) & 0xFFFFFF;
            if (c == 0xFFFFFF) continue;
            ++trees;
            // The three kinds: pure red, dark green, pure blue.
            const int kind = (c == 0xFF0000) ? 0 : (c == 0x008000) ? 1 : (c == 0x0000FF) ? 2 : -1;
            ASSERT_GE(kind, 0) << "colour " << std::hex << c;
            ++kinds[kind];
            // The tree map is read transposed: the row gives world x.
            const TPoint p{row * 100.0f - 12800, col * 100.0f - 12800};
            for (const auto& [a, b] : lines)
                EXPECT_GE(DistanceToSegment(p, a, b), clearance) << "tree at " << p.x << "," << p.z;
            EXPECT_GE(DistanceToSegment(p, GridFirst, GridLast), clearance);
            EXPECT_GT(Height(p.x, p.z), 100) << "tree at " << p.x << "," << p.z << " on a slope, not in water";
        }
    EXPECT_EQ(trees, 100);
    for (int k : kinds) EXPECT_GT(k, 5);
}
