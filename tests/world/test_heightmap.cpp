#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "terrain_files.h"
#include "world/u_heightmap.h"

using namespace u_heightmap;
using terrain_files::TScratch;
using terrain_files::WriteGreyBitmap;

namespace {

// Loads a bitmap into the race's terrain and builds the cell table, as the
// world setup does.
void LoadTerrain(const std::string& file)
{
    Terrain = TD3DHeightSurfaceTerrain{};
    Terrain.FileName = file;
    LoadHeightmap(Terrain);
    BuildCellTable(Terrain);
}

D3DVECTOR VertexPos(int i, int j)
{
    const D3DVERTEX& v = Terrain.Vertices[i * Terrain.Rows + j];
    return {v.x, v.y, v.z};
}

// The plane through three points at (x, z).
float PlaneHeight(D3DVECTOR a, D3DVECTOR b, D3DVECTOR c, float x, float z)
{
    const D3DVECTOR n = CrossProduct(b - a, c - a);
    return a.y - (n.x * (x - a.x) + n.z * (z - a.z)) / n.y;
}

}  // namespace

TEST(Heightmap, GridLayoutIndicesAndTextureCoordinates)
{
    TScratch s;
    // Grey rises along the image's columns (x) and rows (z) differently.
    LoadTerrain(WriteGreyBitmap(s.Path("h.bmp"), 256, 256, [](int x, int y) { return x / 4 + 2 * (y / 8); }));
    EXPECT_EQ(Terrain.Columns, 64);
    EXPECT_EQ(Terrain.Rows, 64);
    EXPECT_EQ(Terrain.VertexCount, 4096);
    EXPECT_EQ(Terrain.IndexCount, 23814);

    // Vertex (i, j) at i × Rows + j, from pixel (4i, 4j), 400 apart.
    const D3DVERTEX& v = Terrain.Vertices[5 * 64 + 9];
    EXPECT_FLOAT_EQ(v.x, 5 * 400 - 12800);
    EXPECT_FLOAT_EQ(v.z, 9 * 400 - 12800);
    EXPECT_FLOAT_EQ(v.y, 5.0f * (20 / 4 + 2 * (36 / 8)));
    EXPECT_FLOAT_EQ(v.tu, 5.0f / 64 * 20);
    EXPECT_FLOAT_EQ(v.tv, 9.0f / 64 * 20);
    EXPECT_FLOAT_EQ(Terrain.Vertices[63 * 64].tu, 63.0f / 64 * 20);

    // Quad (i, j) = i × 63 + j: up, right, low, up, diag, right.
    const int i = 7, j = 11, q = i * 63 + j;
    const uint16_t low = i * 64 + j, right = (i + 1) * 64 + j;
    const uint16_t expect[6] = {uint16_t(low + 1), right, low, uint16_t(low + 1), uint16_t(right + 1), right};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(Terrain.Indices[6 * q + k], expect[k]) << k;

    // Normals are unit length and point up.
    for (int k : {0, 777, 4095}) {
        const D3DVERTEX& n = Terrain.Vertices[k];
        EXPECT_NEAR(std::sqrt(n.nx * n.nx + n.ny * n.ny + n.nz * n.nz), 1.0f, 1e-5f);
        EXPECT_GT(n.ny, 0.0f);
    }
}

TEST(Heightmap, SharedVertexKeepsTheLastTrianglesNormal)
{
    TScratch s;
    // One raised pixel at vertex (10, 10) makes the faces around it differ.
    LoadTerrain(
        WriteGreyBitmap(s.Path("h.bmp"), 256, 256, [](int x, int y) { return (x == 40 && y == 40) ? 200 : 0; }));
    const int vi = 10 * 64 + 10;
    // Find the last triangle in index order that uses the vertex.
    int last = -1;
    for (int t = 0; t < Terrain.IndexCount; t += 3)
        for (int k = 0; k < 3; ++k)
            if (Terrain.Indices[t + k] == vi) last = t;
    ASSERT_GE(last, 0);
    auto pos = [](int idx) {
        const D3DVERTEX& v = Terrain.Vertices[idx];
        return D3DVECTOR{v.x, v.y, v.z};
    };
    const D3DVECTOR n = Normalize(CrossProduct(pos(Terrain.Indices[last + 1]) - pos(Terrain.Indices[last]),
                                               pos(Terrain.Indices[last + 2]) - pos(Terrain.Indices[last])));
    EXPECT_FLOAT_EQ(Terrain.Vertices[vi].nx, n.x);
    EXPECT_FLOAT_EQ(Terrain.Vertices[vi].ny, n.y);
    EXPECT_FLOAT_EQ(Terrain.Vertices[vi].nz, n.z);
    EXPECT_NE(n.x, 0.0f);
}

TEST(Heightmap, FlatGroundEverywhereInsideTheBounds)
{
    TScratch s;
    LoadTerrain(WriteGreyBitmap(s.Path("h.bmp"), 256, 256, [](int, int) { return 77; }));
    for (float x : {-12399.0f, -5000.5f, 0.0f, 123.4f, 12399.9f})
        for (float z : {-12399.0f, -800.0f, 0.0f, 7777.7f, 12399.9f}) {
            EXPECT_FLOAT_EQ(GetHeight(x, z), 385.0f) << x << "," << z;
            EXPECT_EQ(TerrainNormal, (D3DVECTOR{0, 160000, 0}));
        }
}

TEST(Heightmap, OutsideTheBoundsIsZeroAndUp)
{
    TScratch s;
    LoadTerrain(WriteGreyBitmap(s.Path("h.bmp"), 256, 256, [](int, int) { return 100; }));
    const float nan = std::nanf("");
    // Including the strip −12800 < x ≤ −12400 where the mesh exists.
    for (auto [x, z] : {std::pair{12400.0f, 0.0f},
                        {-12400.0f, 0.0f},
                        {0.0f, 12400.0f},
                        {-12600.0f, 500.0f},
                        {0.0f, -12799.0f},
                        {30000.0f, 30000.0f},
                        {nan, 0.0f},
                        {0.0f, nan},
                        {INFINITY, 0.0f}}) {
        GetHeight(100, 100);  // leave a non-default normal behind
        EXPECT_EQ(GetHeight(x, z), 0.0f) << x << "," << z;
        EXPECT_EQ(TerrainNormal, (D3DVECTOR{0, 1, 0}));
    }
    EXPECT_FLOAT_EQ(GetHeight(12399.0f, -12399.0f), 500.0f);
}

TEST(Heightmap, InteriorPointsTakeTheContainingTrianglesPlane)
{
    TScratch s;
    LoadTerrain(WriteGreyBitmap(s.Path("h.bmp"), 256, 256, terrain_files::Hills));
    const int i = 20, j = 33;  // cell (20, 33): x from −4800, z from 400
    const D3DVECTOR low = VertexPos(i, j), right = VertexPos(i + 1, j), up = VertexPos(i, j + 1),
                    diag = VertexPos(i + 1, j + 1);
    const float x0 = low.x, z0 = low.z;
    // Triangle 1 (up, right, low) is the low-x, low-z half; triangle 2 the other.
    const float h1 = GetHeight(x0 + 100, z0 + 100);
    EXPECT_NEAR(h1, PlaneHeight(up, right, low, x0 + 100, z0 + 100), 1e-2f);
    const D3DVECTOR n1 = CrossProduct(right - up, low - up);
    EXPECT_EQ(TerrainNormal, n1);
    const float h2 = GetHeight(x0 + 300, z0 + 300);
    EXPECT_NEAR(h2, PlaneHeight(up, diag, right, x0 + 300, z0 + 300), 1e-2f);
    EXPECT_EQ(TerrainNormal, CrossProduct(diag - up, right - up));
    EXPECT_GT(TerrainNormal.y, 0.0f);
    // Continuous across the diagonal from up to right.
    const float a = GetHeight(x0 + 199.5f, z0 + 199.5f);
    const float b = GetHeight(x0 + 200.5f, z0 + 200.5f);
    EXPECT_NEAR(a, b, std::fabs(up.y - right.y) / 100 + 1.0f);
    // At the cell's centre both planes agree on the diagonal.
    EXPECT_NEAR(GetHeight(x0 + 200.01f, z0 + 199.99f), (up.y + right.y) / 2, 0.5f);
}

TEST(Heightmap, CellTieRuleAndTable)
{
    // Cell boundaries: the even neighbour wins a tie.
    EXPECT_EQ(CellOf(400 * 10 - 12800, 25600, 64), 10);
    EXPECT_EQ(CellOf(400 * 11 - 12800, 25600, 64), 10);
    EXPECT_EQ(CellOf(400 * 12 - 12800, 25600, 64), 12);
    EXPECT_EQ(CellOf(400 * 11 - 12800 + 1, 25600, 64), 11);
    EXPECT_EQ(CellOf(-12799, 25600, 64), 0);
    EXPECT_EQ(CellOf(std::nanf(""), 25600, 64), -1);

    TScratch s;
    LoadTerrain(WriteGreyBitmap(s.Path("h.bmp"), 256, 256, terrain_files::Hills));
    EXPECT_FLOAT_EQ(GridSizeX, 25600);
    EXPECT_EQ(GridCellsX, 64);
    EXPECT_EQ(GridCellsZ, 64);
    for (int i : {0, 1, 31, 62})
        for (int j : {0, 2, 47, 62}) {
            const uint32_t q = i * 63 + j;
            EXPECT_EQ(CellTable[i][j].Quad, q);
            EXPECT_EQ(CellTable[i][j].FirstIndex, 6 * q);
        }
    // The last row and column are covered by no quad.
    EXPECT_EQ(CellTable[63][5].FirstIndex, 0u);
    EXPECT_EQ(CellTable[5][63].Quad, 0u);
}

TEST(Heightmap, AGridVertexTakesTriangleTwoOfTheTieCell)
{
    TScratch s;
    LoadTerrain(WriteGreyBitmap(s.Path("h.bmp"), 256, 256, terrain_files::Hills));
    // Vertex (11, 13): odd on both axes, so the tie cell is (10, 12), whose
    // triangle 2 (up, diag, right) has the vertex as its diag corner.
    const D3DVECTOR v = VertexPos(11, 13);
    const float h = GetHeight(v.x, v.z);
    const D3DVECTOR up = VertexPos(10, 13), diag = VertexPos(11, 13), right = VertexPos(11, 12);
    EXPECT_EQ(TerrainNormal, CrossProduct(diag - up, right - up));
    EXPECT_NEAR(h, v.y, 1e-2f);

    // Vertex (12, 14): even on both axes, cell (12, 14) where it is the
    // low corner of triangle 1. Its direction is zero, the sum NaN, so
    // triangle 2 is used: its plane at the point is not the vertex's height.
    const D3DVECTOR w = VertexPos(12, 14);
    const float hw = GetHeight(w.x, w.z);
    const D3DVECTOR up2 = VertexPos(12, 15), diag2 = VertexPos(13, 15), right2 = VertexPos(13, 14);
    EXPECT_EQ(TerrainNormal, CrossProduct(diag2 - up2, right2 - up2));
    EXPECT_NEAR(hw, PlaneHeight(up2, diag2, right2, w.x, w.z), 1e-2f);
}

TEST(Heightmap, BadBitmapsGiveAClearError)
{
    TScratch s;
    auto expectError = [](const std::string& file, std::initializer_list<const char*> parts) {
        TD3DHeightSurfaceTerrain t;
        t.FileName = file;
        try {
            LoadHeightmap(t);
            ADD_FAILURE() << "no error for " << file;
        } catch (const EHeightmapError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(file), std::string::npos) << what;
            for (const char* p : parts) EXPECT_NE(what.find(p), std::string::npos) << what;
        }
        EXPECT_EQ(t.VertexCount, 0);
        EXPECT_EQ(t.IndexCount, 0);
    };
    expectError(s.Path("missing.bmp"), {"missing"});
    {
        std::ofstream f(s.Path("garbage.bmp"), std::ios::binary);
        f << "BM this is not a bitmap at all";
    }
    expectError(s.Path("garbage.bmp"), {"unreadable"});
    {
        // A real bitmap header cut short.
        WriteGreyBitmap(s.Path("cut.bmp"), 256, 256, terrain_files::Hills);
        std::filesystem::resize_file(s.Path("cut.bmp"), 40);
    }
    expectError(s.Path("cut.bmp"), {"unreadable"});
    expectError(WriteGreyBitmap(s.Path("big.bmp"), 300, 260, [](int, int) { return 1; }), {"300 x 260", "75 x 65"});
    expectError(WriteGreyBitmap(s.Path("tiny.bmp"), 6, 256, [](int, int) { return 1; }), {"6 x 256", "1 x 64"});

    // A smaller bitmap that fits is a smaller terrain.
    TD3DHeightSurfaceTerrain t;
    t.FileName = WriteGreyBitmap(s.Path("small.bmp"), 128, 64, [](int, int) { return 2; });
    LoadHeightmap(t);
    EXPECT_EQ(t.Columns, 32);
    EXPECT_EQ(t.Rows, 16);
    EXPECT_EQ(t.IndexCount, 31 * 15 * 6);

    // Zero scales become 1.
    TD3DHeightSurfaceTerrain z;
    z.FileName = t.FileName;
    z.ScaleX = 0;
    z.HeightScale = 0;
    LoadHeightmap(z);
    EXPECT_FLOAT_EQ(z.ScaleX, 1.0f);
    EXPECT_FLOAT_EQ(z.Vertices[1 * z.Rows].x, 4.0f - 12800);
    EXPECT_FLOAT_EQ(z.Vertices[0].y, 2.0f);
}
