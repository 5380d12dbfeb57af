// The terrain: a grid of vertices whose heights come from a grey-scale
// bitmap, the cell table that maps a ground position to its two triangles,
// and the height query every placed or moving object asks.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/d3d/d3dtypes.h"

namespace u_heightmap {

// Enough for a 256 × 256 bitmap sampled every fourth pixel.
constexpr int MaxTerrainVertices = 4096;
constexpr int MaxTerrainIndices = 24576;

// Raised when the height bitmap cannot be read or does not fit; the text
// names the file and the numbers.
class EHeightmapError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The terrain mesh and the parameters that produced it. The bitmap itself
// lives only while LoadHeightmap runs.
struct TD3DHeightSurfaceTerrain {
    std::array<D3DVERTEX, MaxTerrainVertices> Vertices{};
    std::array<uint16_t, MaxTerrainIndices> Indices{};
    int32_t VertexCount = 0;
    int32_t IndexCount = 0;
    int32_t Columns = 0;       // vertices along x = width / StepX
    int32_t Rows = 0;          // vertices along z = height / StepZ
    float HeightScale = 5.0f;  // world units per grey level
    float ScaleX = 100.0f;     // world units per pixel along x
    float ScaleZ = 100.0f;
    std::string FileName;  // the height bitmap
    int32_t StepX = 4;     // sample every StepX-th pixel column
    int32_t StepZ = 4;
    float TexRepeatU = 20.0f;  // texture repeats across the terrain
    float TexRepeatV = 20.0f;
    D3DVECTOR Origin{-12800, 0, -12800};  // world position of vertex (0, 0)
};

// The one terrain of the race; filled by LoadHeightmap at every race start
// and unchanged during the race.
extern TD3DHeightSurfaceTerrain Terrain;

// Builds vertices, indices and normals from the bitmap FileName with the
// record's parameters, replacing earlier contents. Vertex (i, j) sits at
// index i × Rows + j; image columns run along x, rows along z. Throws
// EHeightmapError for a missing or unreadable file, a file that is not a
// BMP, a step below 1, or a bitmap whose grid does not fit the arrays, the
// last known from the headers before any pixel is decoded (the record is
// then left empty).
void LoadHeightmap(TD3DHeightSurfaceTerrain& t);

// The grid the cell table covers: a square of GridSizeX × GridSizeZ centred
// on the origin, GridCellsX × GridCellsZ cells. Set by BuildCellTable.
extern float GridSizeX, GridSizeZ;
extern int32_t GridCellsX, GridCellsZ;

constexpr int CellTableSide = 64;
struct TCell {
    uint32_t FirstIndex = 0;  // position in Indices of the cell's six indices
    uint32_t Quad = 0;        // the quad number
};
// [cell x][cell z]; cells no quad covers stay zero. Rebuilt at every race
// start by BuildCellTable.
extern std::array<std::array<TCell, CellTableSide>, CellTableSide> CellTable;

// Cell along one axis of extent s with n cells: the nearest integer to the
// exact value of (s/2 + p − s/(2n)) / s × n, ties to even.
int32_t CellOf(float p, float s, int32_t n);

// Sets the grid constants (25600 wide, 256 / StepX cells, at most 64) and
// fills the cell table from t's quads, each at the cell of its smallest x
// and z. Quads that fall outside the table are left out.
void BuildCellTable(const TD3DHeightSurfaceTerrain& t);

// The plane normal (not normalised) of the triangle the last GetHeight
// used, or (0, 1, 0) after a query outside the bounds.
extern D3DVECTOR TerrainNormal;

// Ground height of Terrain at (X, Z) through the cell table; sets
// TerrainNormal. Outside |X|, |Z| < 12400 (and for NaN) it is 0.
float GetHeight(float X, float Z);

}  // namespace u_heightmap
