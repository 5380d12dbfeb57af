// The world's bitmaps are BMP files, checked by their headers before any
// pixel is decoded: other formats under a .bmp name, sides past the limit
// and pixel rows the file does not hold are refused with the figures.
#include "world/track.h"
#include "world/u_heightmap.h"

#include <gtest/gtest.h>
#include <QImage>
#include <QTemporaryDir>

#include <fstream>

namespace {

// A 16 × 16 grey ramp saved as fmt.
std::string Save(const QTemporaryDir& dir, const char* name, const char* fmt)
{
    QImage img(16, 16, QImage::Format_RGB32);
    for (int x = 0; x < 16; ++x)
        for (int y = 0; y < 16; ++y) img.setPixel(x, y, qRgb(x * 16, x * 16, x * 16));
    const QString path = dir.filePath(name);
    EXPECT_TRUE(img.save(path, fmt));
    return path.toStdString();
}

// A BMP's 54 header bytes claiming width × height at 24 bits, and no pixels.
std::string Headers(const QTemporaryDir& dir, const char* name, int32_t width, int32_t height)
{
    unsigned char h[54] = {'B', 'M'};
    auto put = [&](int at, uint32_t v) {
        for (int i = 0; i < 4; ++i) h[at + i] = static_cast<unsigned char>(v >> (8 * i));
    };
    put(2, 54);
    put(10, 54);
    put(14, 40);
    put(18, static_cast<uint32_t>(width));
    put(22, static_cast<uint32_t>(height));
    h[26] = 1;
    h[28] = 24;
    const std::string path = dir.filePath(name).toStdString();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(h), sizeof h);
    return path;
}

std::string HeightmapError(const std::string& path)
{
    u_heightmap::TD3DHeightSurfaceTerrain t;
    t.FileName = path;
    t.StepX = 4;
    t.StepZ = 4;
    try {
        u_heightmap::LoadHeightmap(t);
    } catch (const u_heightmap::EHeightmapError& e) {
        return e.what();
    }
    return "";
}

std::string TreemapError(const std::string& path)
{
    try {
        track::PlaceTrees(path, [](float, float) { return 0.0f; });
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(WorldBitmaps, OnlyBmpFilesWithinTheirHeadersLimitsAreRead)
{
    QTemporaryDir dir;
    struct Case {
        std::string path;
        std::string error;  // a part of the message; "" when it is read
    };
    const Case cases[] = {
        {Save(dir, "ramp.bmp", "BMP"), ""},
        {Save(dir, "png.bmp", "PNG"), "not a BMP"},
        {Save(dir, "ppm.bmp", "PPM"), "not a BMP"},
        {Headers(dir, "wide.bmp", 100000, 16), "100000 x 16 pixels"},
        {Headers(dir, "tall.bmp", 16, -2147483647 - 1), "16 x 2147483648 pixels"},
        {Headers(dir, "empty.bmp", 16, 16), "need 822 bytes; the file has 54"},
    };
    for (const Case& c : cases) {
        const std::string h = HeightmapError(c.path), t = TreemapError(c.path);
        if (c.error.empty()) {
            EXPECT_EQ(h, "") << c.path;
            EXPECT_EQ(t, "") << c.path;
        } else {
            EXPECT_NE(h.find(c.error), std::string::npos) << c.path << ": " << h;
            EXPECT_NE(t.find(c.error), std::string::npos) << c.path << ": " << t;
        }
    }
}

}  // namespace
