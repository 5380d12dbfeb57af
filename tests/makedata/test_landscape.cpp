// The height map and the tree map as the world setup reads them: valleys
// under the gates and the start grid, water at the edges, and 100 trees that
// stand beside, never on, the lines a car drives.
#include <gtest/gtest.h>

#include <QImage>

#include <cmath>

#include "datafiles.h"

using namespace datatest;

namespace {

const TPoint GridFirst{-1600, -2000}, GridLast{200, -2000};

QImage HeightMap()
{
    static QImage img = LoadImage("images/height.bmp");
    return img;
}

// Every line a car may drive: any gate to any other (the order is drawn at
// random) and the start grid to any gate.
std::vector<std::pair<TPoint, TPoint>> CourseLines()
{
    std::vector<std::pair<TPoint, TPoint>> lines;
    for (size_t i = 0; i < Gates.size(); ++i)
        for (size_t j = i + 1; j < Gates.size(); ++j)
            lines.push_back({Gates[i], Gates[j]});
    for (const TPoint& g : Gates)
        for (float x = GridFirst.x; x <= GridLast.x; x += 200)
            lines.push_back({{x, -2000}, g});
    return lines;
}

}  // namespace

TEST(HeightMap, IsGreyAndFallsToWaterLevelAtTheEdges)
{
    QImage img = HeightMap();
    ASSERT_EQ(img.width(), 256);
    ASSERT_EQ(img.height(), 256);
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            QRgb p = img.pixel(x, y);
            ASSERT_TRUE(qRed(p) == qGreen(p) && qGreen(p) == qBlue(p)) << x << "," << y;
        }
    // The outer ring of the map, and of the terrain mesh (vertices 0 and 63
    // at x or z = −12800 and 12400), is at height 0.
    TTerrain t(img);
    for (int k = 0; k < 64; ++k) {
        EXPECT_EQ(t.VertexHeight(k, 0), 0) << k;
        EXPECT_EQ(t.VertexHeight(k, 63), 0) << k;
        EXPECT_EQ(t.VertexHeight(0, k), 0) << k;
        EXPECT_EQ(t.VertexHeight(63, k), 0) << k;
    }
    for (int k = 0; k < 256; ++k) {
        EXPECT_EQ(qRed(img.pixel(k, 0)), 0);
        EXPECT_EQ(qRed(img.pixel(k, 255)), 0);
        EXPECT_EQ(qRed(img.pixel(0, k)), 0);
        EXPECT_EQ(qRed(img.pixel(255, k)), 0);
    }
}

TEST(HeightMap, EveryGateStandsOnLevelGroundInAValley)
{
    TTerrain t(HeightMap());
    for (size_t g = 0; g < Gates.size(); ++g) {
        const TPoint c = Gates[g];
        const float centre = t.Height(c.x, c.z);
        EXPECT_GT(centre, 20) << "gate " << g << " above the water";
        EXPECT_LT(centre, 300) << "gate " << g << " in a valley";
        // The footprint of posts and opening: 600 either side along the
        // gate's x, 100 before and behind along its z, after the yaw.
        const float cs = std::cos(GateYaw[g]), sn = std::sin(GateYaw[g]);
        float lo = centre, hi = centre;
        for (float a = -600; a <= 600; a += 50)
            for (float b = -100; b <= 100; b += 50) {
                float h = t.Height(c.x + a * cs + b * sn, c.z - a * sn + b * cs);
                lo = std::min(lo, h);
                hi = std::max(hi, h);
            }
        EXPECT_LT(hi - lo, 15) << "gate " << g;
        // Lower than the land around it: the hills rise within 3000 units.
        float around = 0;
        for (int k = 0; k < 16; ++k) {
            float a = k * 0.3926991f;
            around = std::max(around, t.Height(c.x + 3000 * std::cos(a), c.z + 3000 * std::sin(a)));
        }
        EXPECT_GT(around, centre + 150) << "gate " << g;
    }
}

TEST(HeightMap, StartGridIsLevel)
{
    TTerrain t(HeightMap());
    float lo = 1e9f, hi = -1e9f;
    for (float x = GridFirst.x - 150; x <= GridLast.x + 150; x += 25)
        for (float z = -2150; z <= -1850; z += 25) {
            float h = t.Height(x, z);
            lo = std::min(lo, h);
            hi = std::max(hi, h);
        }
    EXPECT_GT(lo, 20);
    EXPECT_LT(hi - lo, 10);
}

TEST(HeightMap, EveryCourseLineIsAGentleDriveAboveTheWater)
{
    TTerrain t(HeightMap());
    for (const auto& [a, b] : CourseLines()) {
        const float len = std::hypot(b.x - a.x, b.z - a.z);
        float worstSlope = 0, lowest = 1e9f, highest = 0;
        float prev = t.Height(a.x, a.z);
        for (float s = 100; s <= len; s += 100) {
            float f = s / len;
            float h = t.Height(a.x + (b.x - a.x) * f, a.z + (b.z - a.z) * f);
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

TEST(TreeMap, HoldsExactlyOneHundredTreesOfTheThreeColours)
{
    QImage img = LoadImage("images/treemap.bmp");
    ASSERT_EQ(img.width(), 256);
    ASSERT_EQ(img.height(), 256);
    int trees = 0, kinds[3] = {0, 0, 0};
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            QRgb p = img.pixel(x, y) & 0xFFFFFF;
            if (p == 0xFFFFFF)
                continue;
            ++trees;
            // QRgb is 0xRRGGBB: pure red, dark green (0x008000), pure blue.
            if (p == 0xFF0000)
                ++kinds[0];
            else if (p == 0x008000)
                ++kinds[1];
            else if (p == 0x0000FF)
                ++kinds[2];
            else
                ADD_FAILURE() << "colour " << std::hex << p << " at " << std::dec << x << "," << y;
        }
    EXPECT_EQ(trees, 100);
    for (int k : kinds)
        EXPECT_GT(k, 5);
}

TEST(TreeMap, TreesStayClearOfEveryCourseLineAndTheGridOnDryLand)
{
    QImage img = LoadImage("images/treemap.bmp");
    TTerrain t(HeightMap());
    const auto lines = CourseLines();
    // Half a billboard (320) plus half a car (70) and a margin.
    const float clearance = 900;
    int checked = 0;
    for (int row = 0; row < 256; ++row)
        for (int col = 0; col < 256; ++col) {
            if ((img.pixel(col, row) & 0xFFFFFF) == 0xFFFFFF)
                continue;
            // The tree map is read transposed: the row gives world x.
            const TPoint p{row * 100.0f - 12800, col * 100.0f - 12800};
            ++checked;
            for (const auto& [a, b] : lines)
                EXPECT_GE(DistanceToSegment(p, a, b), clearance) << "tree at " << p.x << "," << p.z;
            EXPECT_GE(DistanceToSegment(p, GridFirst, GridLast), clearance);
            EXPECT_GT(t.Height(p.x, p.z), 100) << "tree at " << p.x << "," << p.z << " on a slope, not in water";
        }
    EXPECT_EQ(checked, 100);
}
