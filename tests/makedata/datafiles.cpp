#include "datafiles.h"

#include "app/datafiles.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>

namespace datatest {

std::vector<std::string> GeneratedFiles()
{
    std::vector<std::string> files;
    for (const QString& f : RequiredDataFiles())
        if (!f.endsWith(".dll"))
            files.push_back(f.toStdString());
    return files;
}

std::string BinPath(const std::string& relative) { return std::string(DUNEBOLT_BIN_DIR) + "/" + relative; }

std::vector<unsigned char> ReadBytes(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

QImage LoadImage(const std::string& relative) { return QImage(QString::fromStdString(BinPath(relative))); }

float DistanceToSegment(TPoint p, TPoint a, TPoint b)
{
    float dx = b.x - a.x, dz = b.z - a.z;
    float len2 = dx * dx + dz * dz;
    float t = (len2 > 0) ? std::clamp(((p.x - a.x) * dx + (p.z - a.z) * dz) / len2, 0.0f, 1.0f) : 0.0f;
    return std::hypot(p.x - (a.x + t * dx), p.z - (a.z + t * dz));
}

}  // namespace datatest
