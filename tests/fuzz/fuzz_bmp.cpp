// libFuzzer target: a world bitmap as the race start reads it, through the
// BMP reader into the height map (its grid, cells and heights) and the tree
// map.
#include "tests/fuzz/fuzz_file.h"
#include "world/bmpfile.h"
#include "world/track.h"
#include "world/u_heightmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = FuzzInputFile(data, size, ".bmp");
    bmpfile::TBmpHeader header;
    std::string error;
    if (bmpfile::ReadHeader(path, header, error)) bmpfile::Decode(path, error);

    u_heightmap::TD3DHeightSurfaceTerrain& t = u_heightmap::Terrain;
    t.FileName = path;
    try {
        u_heightmap::LoadHeightmap(t);
    } catch (const u_heightmap::EHeightmapError&) {
    }
    u_heightmap::BuildCellTable(t);
    for (float x = -13000; x < 13000; x += 1700) u_heightmap::GetHeight(x, x / 3);
    try {
        track::PlaceTrees(path, u_heightmap::GetHeight);
    } catch (const std::runtime_error&) {
    }
    return 0;
}
