// Height bitmaps and scratch folders for the world tests.
#pragma once

#include <unistd.h>
#include <QImage>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>

namespace terrain_files {

// A folder of its own for each test, removed afterwards.
struct TScratch {
    std::filesystem::path Dir;
    TScratch()
    {
        static int serial = 0;
        Dir = std::filesystem::temp_directory_path() /
              ("dunebolt_world_" + std::to_string(getpid()) + "_" + std::to_string(serial++));
        std::filesystem::remove_all(Dir);
        std::filesystem::create_directories(Dir);
    }
    ~TScratch()
    {
        std::error_code ec;
        std::filesystem::remove_all(Dir, ec);
    }
    std::string Path(const std::string& name) const { return (Dir / name).string(); }
};

// A 24-bit BMP whose pixel (column x, row y) has grey grey(x, y).
inline std::string WriteGreyBitmap(const std::string& path, int w, int h, const std::function<int(int, int)>& grey)
{
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int g = grey(x, y) & 0xFF;
            img.setPixel(x, y, qRgb(g, g, g));
        }
    img.save(QString::fromStdString(path), "BMP");
    return path;
}

// Rolling hills: every sampled vertex at its own height.
inline int Hills(int x, int y)
{
    return static_cast<int>(128 + 90 * std::sin(x / 17.0) * std::cos(y / 23.0) + 30 * std::sin((x + y) / 41.0));
}

}  // namespace terrain_files
