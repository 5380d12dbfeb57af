// The landscape: the height map (grey level × 5 = height; pixel column c,
// row r is world x = 100 c − 12800, z = 100 r − 12800) and the tree map
// (pixel row r, column c is world x = 100 r − 12800, z = 100 c − 12800:
// the tree map is read transposed).
#pragma once

#include <array>
#include <vector>

#include "tools/makedata/bitmaps.h"

namespace makedata {

struct TPoint2 {
    float x = 0, z = 0;
};

// The five gates at their fixed world positions, by gate number.
constexpr std::array<TPoint2, 5> GatePositions{
    {{400, 900}, {-6000, 8000}, {8000, 8000}, {6000, -8000}, {-9000, -7000}}};
// The start grid: up to ten cars 200 apart from x −1600 to 200 at z −2000.
constexpr TPoint2 GridFirst{-1600, -2000};
constexpr TPoint2 GridLast{200, -2000};

struct TSegment {
    TPoint2 a, b;
};
// Every straight line a car may want to drive: each gate to each other gate
// (the host draws the order at random) and the start grid to each gate,
// plus the grid itself.
std::vector<TSegment> CourseLines();
float DistanceToSegment(TPoint2 p, const TSegment& s);

// Terrain height in grey levels (0 … 255) at a world point.
float TerrainGrey(float x, float z);
// The valley floor level in grey levels.
constexpr float ValleyFloorGrey = 26;

TImage MakeHeightMap();
TImage MakeTreeMap();

}  // namespace makedata
