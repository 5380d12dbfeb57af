#include "datafiles.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>

namespace datatest {

const std::vector<std::string> GeneratedFiles{
    "3dobjects/auto1.x", "3dobjects/himmel.x", "3dobjects/pfeil.x", "3dobjects/schatten.x", "3dobjects/tor.x",
    "musik/musik.mp3", "images/boden1.bmp", "images/boden2.bmp", "images/boden3.bmp", "images/cboden.bmp",
    "images/cfenster.bmp", "images/chaube.bmp", "images/crad.bmp", "images/cseite.bmp", "images/height.bmp",
    "images/himmel.bmp", "images/leer.bmp", "images/lobby.bmp", "images/mainmenu.bmp", "images/rad.bmp",
    "images/speed.bmp", "images/time.bmp", "images/torgitter.bmp", "images/toroben.bmp", "images/tree1.bmp",
    "images/tree2.bmp", "images/tree3.bmp", "images/treemap.bmp", "images/wasser.bmp", "images/wasser2.bmp",
    "images/wasser3.bmp", "images/wasser4.bmp", "images/wasser5.bmp"};

std::string BinPath(const std::string& relative) { return std::string(DUNEBOLT_BIN_DIR) + "/" + relative; }

std::vector<unsigned char> ReadBytes(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

QImage LoadImage(const std::string& relative)
{
    QImage img(QString::fromStdString(BinPath(relative)));
    return img;
}

TTerrain::TTerrain(const QImage& heightMap)
{
    for (int i = 0; i < 64; ++i)
        for (int j = 0; j < 64; ++j)
            H[i][j] = 5.0f * static_cast<float>(qRed(heightMap.pixel(4 * i, 4 * j)));
}

float TTerrain::Height(float x, float z) const
{
    if (std::fabs(x) >= 12400 || std::fabs(z) >= 12400)
        return 0;
    float fx = (x + 12800) / 400, fz = (z + 12800) / 400;
    int i = std::clamp(static_cast<int>(std::floor(fx)), 0, 62), j = std::clamp(static_cast<int>(std::floor(fz)), 0, 62);
    float u = fx - i, v = fz - j;
    // Cell split along the diagonal from (i, j+1) to (i+1, j): the corners
    // low (i, j), right (i+1, j), up (i, j+1) and diag (i+1, j+1).
    float low = H[i][j], right = H[i + 1][j], up = H[i][j + 1], diag = H[i + 1][j + 1];
    if (u + v <= 1)
        return low + (right - low) * u + (up - low) * v;
    return diag + (up - diag) * (1 - u) + (right - diag) * (1 - v);
}

float DistanceToSegment(TPoint p, TPoint a, TPoint b)
{
    float dx = b.x - a.x, dz = b.z - a.z;
    float len2 = dx * dx + dz * dz;
    float t = (len2 > 0) ? std::clamp(((p.x - a.x) * dx + (p.z - a.z) * dz) / len2, 0.0f, 1.0f) : 0.0f;
    return std::hypot(p.x - (a.x + t * dx), p.z - (a.z + t * dz));
}

}  // namespace datatest
