// Helpers of the data-file tests: where the files are, reading them, and
// the course the landscape is laid out for.
#pragma once

#include <QImage>

#include <array>
#include <string>
#include <vector>

namespace datatest {

// The generated files of the start-up check, in its order: all but the two
// music modules, which are built elsewhere.
std::vector<std::string> GeneratedFiles();

std::string BinPath(const std::string& relative);
std::vector<unsigned char> ReadBytes(const std::string& path);
QImage LoadImage(const std::string& relative);

struct TPoint {
    float x, z;
};
constexpr std::array<TPoint, 5> Gates{{{400, 900}, {-6000, 8000}, {8000, 8000}, {6000, -8000}, {-9000, -7000}}};
constexpr std::array<float, 5> GateYaw{0.7853982f, -0.5235988f, -0.5235988f, -0.7853982f, 1.7453293f};

float DistanceToSegment(TPoint p, TPoint a, TPoint b);

}  // namespace datatest
