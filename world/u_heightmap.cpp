#include "world/u_heightmap.h"

#include "world/bmpfile.h"

#include <cmath>

namespace u_heightmap {

TD3DHeightSurfaceTerrain Terrain;
float GridSizeX = 25600.0f;
float GridSizeZ = 25600.0f;
int32_t GridCellsX = 64;
int32_t GridCellsZ = 64;
std::array<std::array<TCell, CellTableSide>, CellTableSide> CellTable{};
D3DVECTOR TerrainNormal{0, 1, 0};

namespace {

// The drivable area: outside it the ground is flat at 0.
constexpr float HeightBound = 12400.0f;

[[noreturn]] void Fail(const std::string& file, const std::string& what)
{
    throw EHeightmapError("height map " + file + ": " + what);
}

D3DVECTOR Position(const D3DVERTEX& v) { return {v.x, v.y, v.z}; }

// arccos as atan2(√(1 − t²), t): t a hair beyond ±1 gives NaN, which makes
// the inside test fail just as a degenerate direction does.
float ArcCos(float t) { return std::atan2(std::sqrt(1.0f - t * t), t); }

}  // namespace

void LoadHeightmap(TD3DHeightSurfaceTerrain& t)
{
    if (t.ScaleX == 0) t.ScaleX = 1.0f;
    if (t.ScaleZ == 0) t.ScaleZ = 1.0f;
    if (t.HeightScale == 0) t.HeightScale = 1.0f;
    t.VertexCount = 0;
    t.IndexCount = 0;
    t.Columns = 0;
    t.Rows = 0;

    if (t.StepX < 1 || t.StepZ < 1)
        Fail(t.FileName, "sampling steps " + std::to_string(t.StepX) + " x " + std::to_string(t.StepZ) +
                             " (each must be at least 1)");
    // The grid's size comes from the headers, so that a bitmap too large for
    // the arrays is refused before its pixels are decoded.
    bmpfile::TBmpHeader header;
    std::string error;
    if (!bmpfile::ReadHeader(t.FileName, header, error)) Fail(t.FileName, error);
    const int32_t columns = header.Width / t.StepX;
    const int32_t rows = header.Height / t.StepZ;
    // The arrays hold 4096 vertices (a 256 × 256 bitmap at step 4); a grid
    // needs at least one cell to have any ground.
    if (columns < 2 || rows < 2 || static_cast<int64_t>(columns) * rows > MaxTerrainVertices)
        Fail(t.FileName, std::to_string(header.Width) + " x " + std::to_string(header.Height) + " pixels at step " +
                             std::to_string(t.StepX) + " x " + std::to_string(t.StepZ) + " give a grid of " +
                             std::to_string(columns) + " x " + std::to_string(rows) +
                             " vertices; at least 2 x 2 and at most " + std::to_string(MaxTerrainVertices) +
                             " vertices fit");
    const QImage bitmap = bmpfile::Decode(t.FileName, error);
    if (bitmap.isNull()) Fail(t.FileName, error);
    if (bitmap.width() != header.Width || bitmap.height() != header.Height)
        Fail(t.FileName, "decoded as " + std::to_string(bitmap.width()) + " x " + std::to_string(bitmap.height()) +
                             " pixels, its headers say " + std::to_string(header.Width) + " x " +
                             std::to_string(header.Height));
    t.Columns = columns;
    t.Rows = rows;

    int32_t n = 0;
    for (int32_t i = 0; i < columns; ++i) {
        for (int32_t j = 0; j < rows; ++j) {
            const int grey = qRed(bitmap.pixel(t.StepX * i, t.StepZ * j));
            D3DVERTEX& v = t.Vertices[n++];
            v.x = static_cast<float>(static_cast<double>(t.StepX * i) * t.ScaleX + t.Origin.x);
            v.y = static_cast<float>(static_cast<double>(grey) * t.HeightScale + t.Origin.y);
            v.z = static_cast<float>(static_cast<double>(t.StepZ * j) * t.ScaleZ + t.Origin.z);
            v.nx = 0;
            v.ny = 1;
            v.nz = 0;
            v.tu = static_cast<float>(static_cast<double>(i) / columns * t.TexRepeatU);
            v.tv = static_cast<float>(static_cast<double>(j) / rows * t.TexRepeatV);
        }
    }
    t.VertexCount = n;

    int32_t k = 0;
    for (int32_t i = 0; i < columns - 1; ++i) {
        for (int32_t j = 0; j < rows - 1; ++j) {
            const auto low = static_cast<uint16_t>(i * rows + j);
            const auto right = static_cast<uint16_t>((i + 1) * rows + j);
            const auto up = static_cast<uint16_t>(low + 1);
            const auto diag = static_cast<uint16_t>(right + 1);
            for (uint16_t idx : {up, right, low, up, diag, right}) t.Indices[k++] = idx;
        }
    }
    t.IndexCount = k;

    // Each triangle writes its face normal to its corners; a shared vertex
    // keeps the last one (flat shading per triangle, not averaged).
    for (int32_t tri = 0; tri + 2 < k; tri += 3) {
        D3DVERTEX& a = t.Vertices[t.Indices[tri]];
        D3DVERTEX& b = t.Vertices[t.Indices[tri + 1]];
        D3DVERTEX& c = t.Vertices[t.Indices[tri + 2]];
        const D3DVECTOR nrm = Normalize(CrossProduct(Position(b) - Position(a), Position(c) - Position(a)));
        for (D3DVERTEX* v : {&a, &b, &c}) {
            v->nx = nrm.x;
            v->ny = nrm.y;
            v->nz = nrm.z;
        }
    }
}

int32_t CellOf(float p, float s, int32_t n)
{
    // In double: a point a hair off a cell boundary must not be rounded onto
    // it before the nearest cell is chosen.
    const double cell = std::nearbyint((double(s) / 2 + double(p) - double(s) / (2.0 * n)) / double(s) * n);
    if (!std::isfinite(cell) || std::fabs(cell) > 1e9) return -1;
    return static_cast<int32_t>(cell);
}

void BuildCellTable(const TD3DHeightSurfaceTerrain& t)
{
    GridSizeX = 25600.0f;
    GridSizeZ = 25600.0f;
    GridCellsX = t.StepX > 0 ? 256 / t.StepX : CellTableSide;
    GridCellsZ = t.StepZ > 0 ? 256 / t.StepZ : CellTableSide;
    if (GridCellsX > CellTableSide) GridCellsX = CellTableSide;
    if (GridCellsZ > CellTableSide) GridCellsZ = CellTableSide;
    for (auto& column : CellTable) column.fill(TCell{});

    const int32_t quads = t.IndexCount / 6;
    for (int32_t q = 0; q < quads; ++q) {
        float minX = INFINITY, minZ = INFINITY;
        for (int k = 0; k < 6; ++k) {
            const uint16_t idx = t.Indices[6 * q + k];
            if (idx >= t.VertexCount) continue;
            minX = std::fmin(minX, t.Vertices[idx].x);
            minZ = std::fmin(minZ, t.Vertices[idx].z);
        }
        const float fx = std::nearbyint((GridSizeX / 2 + minX) / GridSizeX * static_cast<float>(GridCellsX));
        const float fz = std::nearbyint((GridSizeZ / 2 + minZ) / GridSizeZ * static_cast<float>(GridCellsZ));
        if (!(fx >= 0 && fx < CellTableSide && fz >= 0 && fz < CellTableSide)) continue;
        CellTable[static_cast<int>(fx)][static_cast<int>(fz)] =
            TCell{static_cast<uint32_t>(6 * q), static_cast<uint32_t>(q)};
    }
}

float GetHeight(float X, float Z)
{
    // Written so that NaN coordinates also count as outside.
    if (!(std::fabs(Z) < HeightBound && std::fabs(X) < HeightBound)) {
        TerrainNormal = {0, 1, 0};
        return 0;
    }
    const int32_t cx = CellOf(X, GridSizeX, GridCellsX);
    const int32_t cz = CellOf(Z, GridSizeZ, GridCellsZ);
    uint32_t first = 0;
    if (cx >= 0 && cx < CellTableSide && cz >= 0 && cz < CellTableSide) first = CellTable[cx][cz].FirstIndex;
    if (first + 6 > static_cast<uint32_t>(MaxTerrainIndices)) first = 0;

    const TD3DHeightSurfaceTerrain& t = Terrain;
    D3DVECTOR P[6];
    for (int k = 0; k < 6; ++k) {
        const uint16_t idx = t.Indices[first + k];
        if (idx >= MaxTerrainVertices) {
            TerrainNormal = {0, 1, 0};
            return 0;
        }
        P[k] = Position(t.Vertices[idx]);
    }

    // Inside triangle 1 when the angles its corners span around the point
    // add up to a full turn. A point on a corner of triangle 1 has a zero
    // direction there, the sum is NaN and triangle 2 is taken.
    D3DVECTOR D[3];
    for (int k = 0; k < 3; ++k) D[k] = Normalize(D3DVECTOR{P[k].x - X, 0, P[k].z - Z});
    const float sum = ArcCos(DotProduct(D[0], D[1])) + ArcCos(DotProduct(D[1], D[2])) + ArcCos(DotProduct(D[0], D[2]));
    const D3DVECTOR* tri = std::fabs(sum - 6.28f) < 0.01f ? &P[0] : &P[3];

    const D3DVECTOR n = CrossProduct(tri[1] - tri[0], tri[2] - tri[0]);
    TerrainNormal = n;
    const float d = -DotProduct(n, tri[0]);
    return (n.x * X + n.z * Z + d) / (-n.y);
}

}  // namespace u_heightmap
