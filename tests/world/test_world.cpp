// The terrain, its height query, the quadtree with its cache file, and the
// choice of nodes to draw, on height bitmaps written for each test and on
// the data generator's own.
#include <gtest/gtest.h>

#include <unistd.h>
#include <QImage>
#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <set>

#include "world/bsp.h"
#include "world/frustum.h"
#include "world/track.h"
#include "world/u_heightmap.h"

using namespace u_heightmap;
using namespace bsp;
namespace fs = std::filesystem;

namespace {

// A folder of its own for each test, removed afterwards.
struct TScratch {
    const fs::path Dir = fs::temp_directory_path() / ("dunebolt_world_" + std::to_string(getpid()));
    TScratch() { fs::create_directories(Dir); }
    ~TScratch() { fs::remove_all(Dir); }
    std::string Path(const std::string& name) const { return (Dir / name).string(); }
};

// A 24-bit BMP whose pixel (column x, row y) has grey grey(x, y).
std::string WriteGreyBitmap(const std::string& path, int w, int h, const std::function<int(int, int)>& grey)
{
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) img.setPixel(x, y, qRgb(grey(x, y), grey(x, y), grey(x, y)));
    img.save(QString::fromStdString(path), "BMP");
    return path;
}

// Rolling hills: every sampled vertex at its own height.
int Hills(int x, int y)
{
    return static_cast<int>(128 + 90 * std::sin(x / 17.0) * std::cos(y / 23.0) + 30 * std::sin((x + y) / 41.0));
}

// The race's terrain from a bitmap, with its cell table, as the world setup builds it.
void LoadTerrain(const std::string& file, int step = 4)
{
    Terrain = TD3DHeightSurfaceTerrain{};
    Terrain.FileName = file;
    Terrain.StepX = Terrain.StepZ = step;
    LoadHeightmap(Terrain);
    BuildCellTable(Terrain);
}

D3DVECTOR V(int i, int j)
{
    const D3DVERTEX& v = Terrain.Vertices[i * Terrain.Rows + j];
    return {v.x, v.y, v.z};
}

// A BMP's 54 header bytes claiming width x height at 24 bits, and no pixels.
std::string BmpHeaders(const std::string& path, int32_t width, int32_t height)
{
    unsigned char h[54] = {'B', 'M'};
    for (auto [at, v] : {std::pair{2, 54}, {10, 54}, {14, 40}, {18, width}, {22, height}, {26, 1}, {28, 24}})
        for (int i = 0; i < 4; ++i) h[at + i] = static_cast<unsigned char>(uint32_t(v) >> (8 * i));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(h), sizeof h);
    return path;
}

std::string FileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Nodes in the subtree, empty ones included.
int CountNodes(const TKnoten* node)
{
    if (node == nullptr) return 0;
    int n = 1;
    for (const auto& c : node->Children) n += CountNodes(c.get());
    return n;
}

// Two subtrees with equal shape, lists (all 32 bytes of every vertex) and boxes.
bool SameTree(const TKnoten* a, const TKnoten* b)
{
    if (a == nullptr || b == nullptr) return a == b;
    const auto bits = [](const D3DVERTEX& u, const D3DVERTEX& v) {
        return std::bit_cast<std::array<uint32_t, 8>>(u) == std::bit_cast<std::array<uint32_t, 8>>(v);
    };
    if (a->VertexCount != b->VertexCount || a->IndexCount != b->IndexCount || a->Indices != b->Indices ||
        !std::ranges::equal(a->Vertices, b->Vertices, bits) || !(a->BoxMin == b->BoxMin) || !(a->BoxMax == b->BoxMax))
        return false;
    for (int c = 0; c < 4; ++c)
        if (!SameTree(a->Children[c].get(), b->Children[c].get())) return false;
    return true;
}

// The tree over these triangles in the root's region, with no cache.
std::unique_ptr<TKnoten> Tree(const std::vector<D3DVERTEX>& v, const std::vector<uint16_t>& ix, int vertexCount)
{
    QuadtreeLoaded = false;
    QuadtreeList.clear();
    QuadtreeLine = 0;
    std::unique_ptr<TKnoten> root;
    BuildQuadtree(root, nullptr, -25600, 25600, 25600, -25600, 0, v.data(), ix.data(), vertexCount, int(ix.size()));
    return root;
}

// The tree of a height bitmap, built with a fresh cache file in s.
std::unique_ptr<TKnoten> BuildFrom(const std::string& bitmap, const TScratch& s, TQuadtreeBuild* build = nullptr)
{
    LoadTerrain(bitmap);
    const TQuadtreeBuild b = BuildTerrainQuadtree(Terrain, QuadtreeCachePath(s.Dir.string() + "/"));
    if (build) *build = b;
    return std::move(QuadtreeRoot);
}

// The race's view from eye to at: field of view π/4, aspect π/4, near 50,
// far 25000.
std::pair<D3DMATRIX, D3DMATRIX> View(D3DVECTOR eye, D3DVECTOR at)
{
    D3DMATRIX v, p;
    EXPECT_TRUE(ViewMatrix(v, eye, at, {0, 1, 0}));
    ProjectionMatrix(p, 3.14159265f / 4, 0.7853982f, 50, 25000);
    return {v, p};
}

}  // namespace

TEST(Heightmap, VerticesFlatShadedNormalsAndTheGroundAsThePlaneOfTheCellsTriangle)
{
    TScratch s;
    const std::string file = WriteGreyBitmap(s.Path("h.bmp"), 256, 256, Hills);
    LoadTerrain(file);
    EXPECT_EQ(std::make_tuple(Terrain.Columns * Terrain.Rows, Terrain.VertexCount, Terrain.IndexCount),
              std::make_tuple(64 * 64, 4096, 63 * 63 * 6));
    // Vertex (i, j) at i × Rows + j, from pixel (4i, 4j), 400 apart.
    const D3DVERTEX& v = Terrain.Vertices[5 * 64 + 9];
    EXPECT_EQ((D3DVECTOR{v.x, v.y, v.z}), (D3DVECTOR{5 * 400 - 12800, 5.0f * Hills(20, 36), 9 * 400 - 12800}));
    EXPECT_FLOAT_EQ(v.tu, 5.0f / 64 * 20);
    EXPECT_FLOAT_EQ(v.tv, 9.0f / 64 * 20);
    // Scales of 0 count as 1.
    Terrain.ScaleX = Terrain.ScaleZ = 0;
    LoadHeightmap(Terrain);
    EXPECT_EQ(std::make_pair(V(5, 9).x - V(0, 0).x, V(5, 9).z - V(0, 0).z), std::make_pair(20.0f, 36.0f));
    Terrain.ScaleX = Terrain.ScaleZ = 100;
    LoadHeightmap(Terrain);
    // Quad (i, j) = i × 63 + j: up, right, low, up, diag, right.
    const int low = 7 * 64 + 11, right = low + 64, q = 7 * 63 + 11;
    const std::vector<int> quad(&Terrain.Indices[6 * q], &Terrain.Indices[6 * q + 6]);
    EXPECT_EQ(quad, (std::vector<int>{low + 1, right, low, low + 1, right + 1, right}));
    // A shared vertex keeps the face normal of the last triangle that uses it.
    for (int vi : {0, 10 * 64 + 10, 4095}) {
        int last = 0;
        for (int t = 0; t < Terrain.IndexCount; ++t)
            if (Terrain.Indices[t] == vi) last = t - t % 3;
        const auto c = [&](int k) { return V(Terrain.Indices[last + k] / 64, Terrain.Indices[last + k] % 64); };
        const D3DVECTOR n = Normalize(CrossProduct(c(1) - c(0), c(2) - c(0)));
        const D3DVERTEX& w = Terrain.Vertices[vi];
        EXPECT_EQ((D3DVECTOR{w.nx, w.ny, w.nz}), n) << vi;
        EXPECT_GT(n.y, 0.5f);
    }
    // The ground: offsets from the low corner of cell (i, j); triangle 1 is (up, right,
    // low), triangle 2 (up, diag, right).
    const struct {
        int I, J;
        float Dx, Dz;
        bool Second;
    } points[] = {
        {20, 33, 100, 100, false}, {20, 33, 10, 380, false}, {20, 33, 300, 300, true},         {20, 33, 390, 30, true},
        {1, 1, 5, 5, false},       {62, 62, 390, 390, true}, {20, 33, 200.85f, 200.85f, true},  // 1.2 past the diagonal
        {10, 12, 400, 400, true},  // a vertex odd on both axes: the diagonal corner of the tie cell
        {12, 14, 0, 0, true},      // even on both axes: a zero direction to triangle 1's corner
    };
    const auto expectPlane = [](int i, int j, float dx, float dz, bool second) {
        const D3DVECTOR low = V(i, j), right = V(i + 1, j), up = V(i, j + 1), diag = V(i + 1, j + 1);
        const D3DVECTOR b = second ? diag : right, c = second ? right : low;
        const float x = low.x + dx, z = low.z + dz, h = GetHeight(x, z);
        const D3DVECTOR n = CrossProduct(b - up, c - up);
        EXPECT_EQ(TerrainNormal, n) << i << "," << j << " + " << dx << "," << dz;
        EXPECT_NEAR(h, up.y - (n.x * (x - up.x) + n.z * (z - up.z)) / n.y, 1e-2f);
    };
    for (const auto& [i, j, dx, dz, second] : points) expectPlane(i, j, dx, dz, second);
    // Outside |x|, |z| < 12400 the ground is 0 and level, also on the strip
    // −12800 < x ≤ −12400 where the mesh goes on.
    const std::pair<float, float> outside[] = {{12400, 0},  {-12400, 0}, {0, 12400}, {-12600, 500},
                                               {0, -12799}, {NAN, 0},    {0, NAN},   {INFINITY, 0}};
    for (auto [x, z] : outside) {
        EXPECT_EQ(GetHeight(x, z), 0.0f) << x << "," << z;
        EXPECT_EQ(TerrainNormal, (D3DVECTOR{0, 1, 0}));
    }
    // A cell whose indices name no vertex has no ground.
    Terrain.Indices[CellTable[20][33].FirstIndex] = 60000;
    EXPECT_EQ(GetHeight(V(20, 33).x + 100, V(20, 33).z + 100), 0.0f);
    EXPECT_EQ(TerrainNormal, (D3DVECTOR{0, 1, 0}));
    // Sampled every eighth pixel: 32 cells a side.
    LoadTerrain(file, 8);
    EXPECT_EQ(GridCellsX * GridCellsZ, 32 * 32);
    EXPECT_EQ(CellTable[3][5].Quad, 3 * 31u + 5);
    // Its first column and row of cells, 800 wide, reach inside the bound.
    expectPlane(0, 5, 500, 100, false);
    expectPlane(5, 0, 100, 500, false);
}

TEST(Heightmap, CellsTieToTheEvenOne)
{
    // A thousandth of a unit before a tie still belongs to the lower cell.
    const std::pair<float, int> cells[] = {{-8800, 10},  {-8400, 10},       {-8000, 12}, {-8399, 11}, {-12799, 0},
                                           {-1e-6f, 31}, {3999.99976f, 41}, {0, 32},     {NAN, -1}};
    for (auto [p, cell] : cells) EXPECT_EQ(CellOf(p, 25600, 64), cell) << p;
}

// The world's bitmaps are BMP files, checked by their headers before any
// pixel is decoded. The tree map refuses the same files as the height map,
// but has no size rule of its own (trees: false).
TEST(WorldBitmaps, ThoseThatCannotBeReadOrDoNotFitAreRefusedWithTheFigures)
{
    TScratch s;
    std::ofstream(s.Path("garbage.bmp")) << "BM this is not a bitmap at all";
    fs::resize_file(WriteGreyBitmap(s.Path("cut.bmp"), 256, 256, Hills), 40);
    QImage ramp(16, 16, QImage::Format_RGB32);
    ramp.fill(Qt::gray);
    for (const char* fmt : {"PNG", "PPM"}) ramp.save(QString::fromStdString(s.Path(fmt + std::string(".bmp"))), fmt);
    const struct {
        std::string file;
        int stepX;
        std::string part;
        bool trees;
    } bad[] = {
        {s.Path("missing.bmp"), 4, "missing", true},
        {s.Path("garbage.bmp"), 4, "unreadable", true},
        {s.Path("cut.bmp"), 4, "unreadable", true},
        {s.Path("PNG.bmp"), 4, "not a BMP", true},
        {s.Path("PPM.bmp"), 4, "not a BMP", true},
        {BmpHeaders(s.Path("wide.bmp"), 100000, 16), 4, "100000 x 16 pixels", true},
        {BmpHeaders(s.Path("tall.bmp"), 16, -2147483647 - 1), 4, "16 x 2147483648 pixels", true},
        {BmpHeaders(s.Path("empty.bmp"), 16, 16), 4, "need 822 bytes; the file has 54", true},
        {WriteGreyBitmap(s.Path("big.bmp"), 300, 260, Hills), 4,
         "300 x 260 pixels at step 4 x 4 give a grid of 75 x 65", false},
        {WriteGreyBitmap(s.Path("tiny.bmp"), 6, 256, Hills), 4, "6 x 256 pixels at step 4 x 4 give a grid of 1 x 64",
         false},
        {s.Path("big.bmp"), 0, "steps 0 x 4", false},
    };
    // The smallest bitmap at the finest steps is one quad; zero scales become 1.
    TD3DHeightSurfaceTerrain good;
    good.FileName = WriteGreyBitmap(s.Path("small.bmp"), 2, 2, [](int x, int) { return 2 + x; });
    good.StepX = good.StepZ = 1;
    good.ScaleX = good.HeightScale = 0;
    LoadHeightmap(good);
    EXPECT_EQ(std::tie(good.Columns, good.Rows, good.IndexCount, good.ScaleX), std::make_tuple(2, 2, 6, 1.0f));
    EXPECT_EQ((D3DVECTOR{good.Vertices[2].x, good.Vertices[2].y, good.Vertices[2].z}),
              (D3DVECTOR{1 - 12800, 3, -12800}));
    // A refused bitmap leaves no part of the terrain loaded before it.
    for (const auto& [file, stepX, part, trees] : bad) {
        TD3DHeightSurfaceTerrain t = good;
        t.FileName = file;
        std::tie(t.StepX, t.StepZ) = std::make_tuple(stepX, 4);
        std::string error, treeError;
        try {
            LoadHeightmap(t);
        } catch (const EHeightmapError& e) {
            error = e.what();
        }
        try {
            track::PlaceTrees(file, [](float, float) { return 0.0f; });
        } catch (const std::runtime_error& e) {
            treeError = e.what();
        }
        EXPECT_NE(error.find(part), std::string::npos) << file << ": " << error;
        EXPECT_EQ(treeError.find(part) != std::string::npos, trees) << file << ": " << treeError;
        EXPECT_NE(error.find(file), std::string::npos) << error;
        EXPECT_EQ(t.VertexCount + t.IndexCount + t.Columns + t.Rows, 0);
    }
}

TEST(Quadtree, TheGeneratedTerrainsTreeAndCacheFile)
{
    const std::string bitmap = std::string(DUNEBOLT_BIN_DIR) + "/images/height.bmp";
    if (!fs::exists(bitmap)) GTEST_SKIP() << bitmap << " not generated in this build";
    TScratch s;
    TQuadtreeBuild first, second;
    const auto tree = BuildFrom(bitmap, s, &first);
    EXPECT_TRUE(first.CacheWritten && !first.CacheRead && !first.CacheRejected) << first.CacheError;
    EXPECT_EQ(CountNodes(tree.get()), 101);

    // The cache: one line per corner visited, CR LF, pinned by its checksum.
    const std::string cache = FileText(QuadtreeCachePath(s.Dir.string() + "/"));
    uint64_t fnv = 14695981039346656037ull;
    for (unsigned char c : cache) fnv = (fnv ^ c) * 1099511628211ull;
    EXPECT_EQ(fnv, 5128457076683151321ull);

    // Read back, it gives the same tree; the search by scan, the same lines.
    EXPECT_TRUE(SameTree(tree.get(), BuildFrom(bitmap, s, &second).get()));
    EXPECT_TRUE(second.CacheRead && !second.CacheWritten);
    fs::remove(QuadtreeCachePath(s.Dir.string() + "/"));
    QuadtreeSearch = TVertexSearch::Linear;
    EXPECT_TRUE(SameTree(tree.get(), BuildFrom(bitmap, s).get()));
    QuadtreeSearch = TVertexSearch::Hash;
    EXPECT_EQ(FileText(QuadtreeCachePath(s.Dir.string() + "/")), cache);
}

TEST(Quadtree, ACacheThatDoesNotFitIsRebuiltAndAShippedOneThatFitsIsOnlyRead)
{
    TScratch s;
    const std::string bitmap = WriteGreyBitmap(s.Path("h.bmp"), 256, 256, Hills), cache = s.Path("quadtree.dat");
    const auto reference = BuildFrom(bitmap, s);
    const std::string good = FileText(cache);
    ASSERT_FALSE(SameTree(reference.get(), reference->Children[0].get())) << "the comparison can tell";
    TQuadtreeBuild b;
    auto line = [&](int n, const std::string& with) {  // line n (from 0) replaced
        std::string t = good;
        size_t a = 0;
        for (int k = 0; k < n; ++k) a = t.find('\n', a) + 1;
        return t.replace(a, t.find('\r', a) - a, with);
    };
    const std::pair<std::string, std::string> damaged[] = {
        {good.substr(0, good.rfind('\n', good.size() - 2) + 1), "too few lines"},
        {good + "0\r\n", "too many lines"},
        {line(1000, "12a"), "line 1001 is not an integer"},
        {line(5, ""), "line 6 is not an integer"},
        {line(3, "99999"), "out of range"},
        {line(3, "-2"), "out of range"},
        {line(3, "99999999999999"), "not an integer"},
        // Another vertex, in a leaf: nothing below it would notice.
        {line(std::count(good.begin(), good.end(), '\n') - 1, "0"), "not at the corner"},
    };
    for (const auto& [text, reason] : damaged) {
        std::ofstream(cache, std::ios::binary) << text;
        EXPECT_TRUE(SameTree(reference.get(), BuildFrom(bitmap, s, &b).get())) << reason;
        EXPECT_TRUE(b.CacheRejected && b.CacheWritten && !b.CacheRead) << reason;
        EXPECT_NE(b.CacheError.find(reason), std::string::npos) << b.CacheError;
        EXPECT_EQ(FileText(cache), good) << reason;
    }
    // One too large to be a cache is not read at all.
    fs::resize_file(cache, (64u << 20) + 1);
    EXPECT_TRUE(SameTree(reference.get(), BuildFrom(bitmap, s, &b).get()));
    EXPECT_NE(b.CacheError.find("too large"), std::string::npos) << b.CacheError;
    EXPECT_EQ(FileText(cache), good);
    // Line feeds alone are read as well, and a last line without one.
    std::string lf = good;
    std::erase(lf, '\r');
    lf.pop_back();
    std::ofstream(cache, std::ios::binary) << lf;
    EXPECT_TRUE(SameTree(reference.get(), BuildFrom(bitmap, s, &b).get()));
    EXPECT_TRUE(b.CacheRead) << b.CacheError;
    // A folder where the cache should be can be neither read nor replaced.
    fs::remove(cache);
    fs::create_directory(cache);
    b = BuildTerrainQuadtree(Terrain, cache);
    EXPECT_NE(b.CacheError.find("cannot be read; "), std::string::npos) << b.CacheError;
    EXPECT_NE(b.CacheError.find("cannot be replaced"), std::string::npos) << b.CacheError;
    EXPECT_TRUE(SameTree(reference.get(), QuadtreeRoot.get()));
    fs::remove(cache);
    // A cache that cannot be written leaves the tree intact.
    b = BuildTerrainQuadtree(Terrain, s.Path("h.bmp/quadtree.dat"));
    EXPECT_FALSE(b.CacheWritten || b.CacheError.empty());
    EXPECT_TRUE(SameTree(reference.get(), QuadtreeRoot.get()));
    // Beside a shipped cache.
    const std::string shipped = s.Path("bin/quadtree.dat"), own = s.Path("home/cache/dunebolt/quadtree.dat");
    // Nothing shipped: built, and written where the player's folder is made.
    b = BuildTerrainQuadtree(Terrain, own, shipped);
    EXPECT_TRUE(b.CacheWritten && !b.CacheRead) << b.CacheError;
    EXPECT_FALSE(fs::exists(s.Path("bin")));
    b = BuildTerrainQuadtree(Terrain, own, shipped);
    EXPECT_TRUE(b.CacheRead && !b.CacheWritten) << b.CacheError;
    // A shipped one that fits: nothing else is read or written.
    fs::create_directories(s.Path("bin"));
    fs::copy_file(own, shipped);
    fs::remove_all(s.Path("home"));
    b = BuildTerrainQuadtree(Terrain, own, shipped);
    EXPECT_TRUE(b.CacheRead && !b.CacheWritten) << b.CacheError;
    EXPECT_FALSE(fs::exists(s.Path("home")));
    // One for another terrain stays as it is; the player's is written.
    std::ofstream(shipped, std::ios::binary) << "0\r\n";
    b = BuildTerrainQuadtree(Terrain, own, shipped);
    EXPECT_TRUE(b.CacheRejected && b.CacheWritten && !b.CacheRead) << b.CacheError;
    EXPECT_TRUE(SameTree(reference.get(), QuadtreeRoot.get()));
    EXPECT_EQ(FileText(shipped), "0\r\n");
    EXPECT_EQ(FileText(own), good);
}

TEST(Quadtree, ThePlayersCacheIsUnderXdgCacheHomeElseUnderHome)
{
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const std::string xdgWas = xdg ? xdg : "";
    setenv("HOME", "/home/anna", 1);
    setenv("XDG_CACHE_HOME", "/var/cache/anna", 1);
    EXPECT_EQ(PlayerQuadtreeCachePath(), "/var/cache/anna/dunebolt/quadtree.dat");
    setenv("XDG_CACHE_HOME", "relative", 1);
    EXPECT_EQ(PlayerQuadtreeCachePath(), "/home/anna/.cache/dunebolt/quadtree.dat");
    unsetenv("XDG_CACHE_HOME");
    unsetenv("HOME");
    EXPECT_EQ(PlayerQuadtreeCachePath(), "");
    setenv("HOME", home.c_str(), 1);
    if (xdg) setenv("XDG_CACHE_HOME", xdgWas.c_str(), 1);
}

TEST(Quadtree, ANodeOf600IndicesIsALeafAndEveryBoxHoldsItsVertices)
{
    // n small triangles in a row, each with its own three corners.
    auto row = [](int n) {
        std::vector<D3DVERTEX> v;
        for (int t = 0; t < n; ++t)
            for (auto [dx, dz] : {std::pair{0.0f, 0.0f}, {100.0f, 0.0f}, {0.0f, 100.0f}})
                v.push_back({-25000.0f + 240.0f * float(t) + dx, float(t % 7), -20000 + dz});
        std::vector<uint16_t> ix(v.size());
        std::iota(ix.begin(), ix.end(), uint16_t{0});
        return Tree(v, ix, int(v.size()));
    };
    EXPECT_EQ(CountNodes(row(200).get()), 1);
    // A corner past the vertex count leaves its triangle out, though the
    // memory behind the count holds a vertex.
    const auto none = Tree(std::vector<D3DVERTEX>(4), {0, 1, 3}, 3);
    EXPECT_TRUE(!none || none->IndexCount == 0);
    // Corners are shared by position: −0 is 0, and 0 is not 1.
    const auto shared = Tree({{}, {1, 1, 1}, {-0.0f, 0, 0}, {0, 0, 1}}, {0, 1, 3, 2, 1, 3}, 4);
    ASSERT_TRUE(shared);
    EXPECT_EQ(shared->Indices, (std::vector<uint16_t>{0, 1, 2, 0, 1, 2}));
    // A pile on the middle point splits alike in all four quarters, each
    // down to the depth limit.
    std::vector<uint16_t> piled(603);
    std::iota(piled.begin(), piled.end(), uint16_t{0});
    const auto middle = Tree(std::vector<D3DVERTEX>(603), piled, 603);
    ASSERT_TRUE(middle);
    EXPECT_GT(CountNodes(middle->Children[0].get()), 40);
    for (int c = 1; c < 4; ++c) EXPECT_EQ(CountNodes(middle->Children[c].get()), CountNodes(middle->Children[0].get()));
    const auto split = row(201);
    EXPECT_EQ(CountNodes(split.get()), 5);  // the root and its four quarters
    std::function<void(const TKnoten*)> boxed = [&](const TKnoten* k) {
        if (!k || k->Vertices.empty()) return;
        D3DVECTOR lo{INFINITY, INFINITY, INFINITY}, hi{-INFINITY, -INFINITY, -INFINITY};
        for (const D3DVERTEX& v : k->Vertices)
            lo = {std::fmin(lo.x, v.x), std::fmin(lo.y, v.y), std::fmin(lo.z, v.z)},
            hi = {std::fmax(hi.x, v.x), std::fmax(hi.y, v.y), std::fmax(hi.z, v.z)};
        EXPECT_EQ(k->BoxMin, lo);
        EXPECT_EQ(k->BoxMax, hi);
        for (const auto& c : k->Children) boxed(c.get());
    };
    boxed(split.get());
}

TEST(Frustum, BoxesAroundTheView)
{
    // From (1000, 500, −2000) along +z.
    std::apply(ExtractFrustumPlanes, View({1000, 500, -2000}, {1000, 500, 0}));
    const struct {
        D3DVECTOR Min, Max;
        int Seen;
    } boxes[] = {
        {{990, 490, 0}, {1010, 510, 20}, BoxInside},         {{900, 400, -2100}, {1100, 600, -1900}, BoxPartly},
        {{900, 400, 20000}, {1100, 600, 30000}, BoxPartly},  {{900, 400, -3000}, {1100, 600, -2500}, BoxOutside},
        {{900, 400, 24000}, {1100, 600, 24500}, BoxOutside}, {{-20000, 400, 0}, {-19000, 600, 100}, BoxOutside},
        {{21000, 400, 0}, {22000, 600, 100}, BoxOutside},    {{900, 20000, 0}, {1100, 21000, 100}, BoxOutside},
        {{900, -21000, 0}, {1100, -20000, 100}, BoxOutside},
    };
    for (const auto& [min, max, seen] : boxes)
        EXPECT_EQ(BoxInFrustum(min, max), seen) << min.x << "," << min.y << "," << min.z;
}

TEST(Frustum, TheQuadtreeDrawsVisibleNodesWholeAndOnce)
{
    TScratch s;
    const auto tree = BuildFrom(WriteGreyBitmap(s.Path("h.bmp"), 256, 256, Hills), s);
    auto draw = [&](D3DVECTOR eye, D3DVECTOR at) {
        std::vector<const TKnoten*> drawn;
        const auto [view, projection] = View(eye, at);
        DrawQuadtree(tree.get(), view, projection, [&](const TKnoten& k) { drawn.push_back(&k); });
        return drawn;
    };
    // Looking away from the terrain, out beyond its edge: nothing.
    EXPECT_TRUE(draw({0, 500, 13000}, {0, 500, 20000}).empty());
    // High above one quadrant, looking down: that quadrant's node is wholly
    // inside, drawn whole, once.
    std::vector<const TKnoten*> drawn = draw({6400, 20000, 6400}, {6400, 0, 6401});
    EXPECT_EQ(std::count(drawn.begin(), drawn.end(), tree->Children[1].get()), 1);
    for (const TKnoten* k : drawn) EXPECT_TRUE(k == tree->Children[1].get() || k->BoxMax.x <= 0 || k->BoxMax.z <= 0);
    // A driver's view: the node under the target among them, none empty,
    // none twice, none outside the view, fewer triangles than the terrain.
    drawn = draw({-2000, 1200, -2000}, {0, 600, 0});
    EXPECT_EQ(std::set(drawn.begin(), drawn.end()).size(), drawn.size());
    int triangles = 0, underTarget = 0;
    for (const TKnoten* k : drawn) {
        EXPECT_GT(k->IndexCount, 0);
        EXPECT_NE(BoxInFrustum(k->BoxMin, k->BoxMax), BoxOutside);
        triangles += k->IndexCount / 3;
        underTarget += k->BoxMin.x <= 0 && k->BoxMax.x >= 0 && k->BoxMin.z <= 0 && k->BoxMax.z >= 0;
    }
    EXPECT_LT(triangles, Terrain.IndexCount / 3);
    EXPECT_GT(underTarget, 0);
}
