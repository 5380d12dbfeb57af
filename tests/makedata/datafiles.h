// Helpers of the data-file tests: where the files are, reading them, and
// the terrain as the game builds it from the height map.
#pragma once

#include <QImage>

#include <array>
#include <string>
#include <vector>

namespace datatest {

// The 33 generated files of the start-up check, in its order (the two
// music modules are built elsewhere).
extern const std::vector<std::string> GeneratedFiles;

std::string BinPath(const std::string& relative);
std::vector<unsigned char> ReadBytes(const std::string& path);
QImage LoadImage(const std::string& relative);

struct TPoint {
    float x, z;
};
constexpr std::array<TPoint, 5> Gates{{{400, 900}, {-6000, 8000}, {8000, 8000}, {6000, -8000}, {-9000, -7000}}};
constexpr std::array<float, 5> GateYaw{0.7853982f, -0.5235988f, -0.5235988f, -0.7853982f, 1.7453293f};

// The game's terrain: vertex (i, j) at x = 400 i − 12800, z = 400 j − 12800
// with the height 5 × the red byte of pixel (4 i, 4 j); heights between the
// vertices on the two triangles of each cell, 0 outside ±12400.
class TTerrain {
public:
    explicit TTerrain(const QImage& heightMap);
    float VertexHeight(int i, int j) const { return H[i][j]; }
    float Height(float x, float z) const;

private:
    float H[64][64];
};

float DistanceToSegment(TPoint p, TPoint a, TPoint b);

}  // namespace datatest
