// libFuzzer target: the "quadtree.dat" cache as the race start reads it, for
// a small terrain of its own: a cache that fits builds the tree from its
// lines, any other is refused and the tree built by search.
#include <QImage>

#include "tests/fuzz/fuzz_file.h"
#include "world/bsp.h"
#include "world/u_heightmap.h"

namespace {

// What drawing relies on: every node's indices name its own vertices.
void Check(const bsp::TKnoten* node)
{
    if (!node) return;
    if (node->IndexCount != static_cast<int32_t>(node->Indices.size())) __builtin_trap();
    for (uint16_t i : node->Indices)
        if (i >= node->Vertices.size()) __builtin_trap();
    for (const auto& child : node->Children) Check(child.get());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // 48 × 48 pixels at step 4: a grid of 12 × 12 vertices over hills, enough
    // for the root to be split once.
    QImage map(48, 48, QImage::Format_RGB32);
    for (int x = 0; x < 48; ++x)
        for (int y = 0; y < 48; ++y) map.setPixel(x, y, qRgb((x * 7 + y * 13) % 256, 0, 0));
    const uint8_t none = 0;
    u_heightmap::Terrain.FileName = FuzzInputFile(&none, 0, ".bmp");
    map.save(QString::fromStdString(u_heightmap::Terrain.FileName), "BMP");
    u_heightmap::LoadHeightmap(u_heightmap::Terrain);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = FuzzInputFile(data, size, ".dat");
    bsp::BuildTerrainQuadtree(u_heightmap::Terrain, "", path);
    Check(bsp::QuadtreeRoot.get());
    return 0;
}
