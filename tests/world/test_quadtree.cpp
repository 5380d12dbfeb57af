#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "terrain_files.h"
#include "world/bsp.h"
#include "world/u_heightmap.h"

using namespace bsp;
using terrain_files::TScratch;
using u_heightmap::TD3DHeightSurfaceTerrain;

namespace {

TD3DHeightSurfaceTerrain LoadFrom(const std::string& file)
{
    TD3DHeightSurfaceTerrain t;
    t.FileName = file;
    u_heightmap::LoadHeightmap(t);
    return t;
}

std::vector<std::string> FileLines(const std::string& path, bool* allCrLf = nullptr)
{
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> lines;
    bool crlf = !text.empty() && text.ends_with("\r\n");
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (line.empty() || line.back() != '\r') crlf = false;
        else line.pop_back();
        lines.push_back(line);
        pos = end + 1;
    }
    if (allCrLf) *allCrLf = crlf;
    return lines;
}

void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::unique_ptr<TKnoten> TakeRoot() { return std::move(QuadtreeRoot); }

// Every leaf's triangle count, and the shape of the levels.
void CollectLeaves(const TKnoten* n, int level, std::multiset<int>& leafTriangles, std::vector<int>& perLevel)
{
    if (!n) return;
    if (static_cast<int>(perLevel.size()) <= level) perLevel.resize(level + 1);
    perLevel[level] += 1;
    if (!n->Children[0] && n->IndexCount > 0) leafTriangles.insert(n->IndexCount / 3);
    for (const auto& c : n->Children) CollectLeaves(c.get(), level + 1, leafTriangles, perLevel);
}

// The tree of the standard terrain: 101 nodes in five levels, 64 leaves of
// 128, 144 or 162 triangles, a cache of 128502 lines starting -1 -1 -1 0;
// read back, the cache gives the identical tree.
void CheckStandardTree(const TD3DHeightSurfaceTerrain& t, const TScratch& s)
{
    const std::string cache = QuadtreeCachePath(s.Dir.string() + "/");
    TQuadtreeBuild first = BuildTerrainQuadtree(t, cache);
    EXPECT_FALSE(first.CacheRead);
    EXPECT_FALSE(first.CacheRejected);
    EXPECT_TRUE(first.CacheWritten) << first.CacheError;
    auto built = TakeRoot();
    ASSERT_TRUE(built);

    EXPECT_EQ(CountNodes(built.get()), 101);
    EXPECT_EQ(CountLeaves(built.get()), 64);
    std::multiset<int> leaves;
    std::vector<int> perLevel;
    CollectLeaves(built.get(), 0, leaves, perLevel);
    EXPECT_EQ(perLevel, (std::vector<int>{1, 4, 16, 16, 64}));
    EXPECT_EQ(leaves.size(), 64u);
    for (int n : leaves) EXPECT_TRUE(n == 128 || n == 144 || n == 162) << n;
    EXPECT_EQ(built->IndexCount, t.IndexCount);
    EXPECT_EQ(built->VertexCount, t.VertexCount);

    bool crlf = false;
    const std::vector<std::string> lines = FileLines(cache, &crlf);
    EXPECT_TRUE(crlf);
    ASSERT_EQ(lines.size(), 128502u);
    EXPECT_EQ(lines[0], "-1");
    EXPECT_EQ(lines[1], "-1");
    EXPECT_EQ(lines[2], "-1");
    EXPECT_EQ(lines[3], "0");

    TQuadtreeBuild second = BuildTerrainQuadtree(t, cache);
    EXPECT_TRUE(second.CacheRead);
    EXPECT_FALSE(second.CacheWritten);
    EXPECT_TRUE(SameTree(built.get(), QuadtreeRoot.get()));
    EXPECT_EQ(FileLines(cache), lines);
}

}  // namespace

TEST(Quadtree, SyntheticTerrainHasTheStandardShapeAndCache)
{
    TScratch s;
    const auto t = LoadFrom(terrain_files::WriteGreyBitmap(s.Path("h.bmp"), 256, 256, terrain_files::Hills));
    CheckStandardTree(t, s);
}

TEST(Quadtree, GeneratedTerrainHasTheStandardShapeAndCache)
{
    const std::string file = std::string(DUNEBOLT_BIN_DIR) + "/images/height.bmp";
    if (!std::filesystem::exists(file)) GTEST_SKIP() << file << " not generated in this build";
    TScratch s;
    CheckStandardTree(LoadFrom(file), s);
}

TEST(Quadtree, HashAndLinearSearchBuildTheSameTreeAndLines)
{
    TScratch s;
    const auto t = LoadFrom(terrain_files::WriteGreyBitmap(s.Path("h.bmp"), 256, 256, terrain_files::Hills));
    QuadtreeSearch = TVertexSearch::Linear;
    BuildTerrainQuadtree(t, s.Path("linear.dat"));
    auto linear = TakeRoot();
    QuadtreeSearch = TVertexSearch::Hash;
    BuildTerrainQuadtree(t, s.Path("hash.dat"));
    EXPECT_TRUE(SameTree(linear.get(), QuadtreeRoot.get()));
    EXPECT_EQ(FileLines(s.Path("linear.dat")), FileLines(s.Path("hash.dat")));

    // The root's box spans the mesh, heights included.
    EXPECT_LT(QuadtreeRoot->BoxMin.y, QuadtreeRoot->BoxMax.y);
    EXPECT_FLOAT_EQ(QuadtreeRoot->BoxMin.x, -12800);
    EXPECT_FLOAT_EQ(QuadtreeRoot->BoxMax.z, 12400);
}

TEST(Quadtree, FindVertexComparesPositionsOnly)
{
    std::vector<D3DVERTEX> list(3);
    list[0] = {1, 2, 3, 0, 1, 0, 0.5f, 0.5f};
    list[1] = {4, 5, 6};
    list[2] = {1, 2, 3, 9, 9, 9, 9, 9};
    EXPECT_EQ(FindVertex({1, 2, 3, 7, 7, 7, 7, 7}, list), 0);
    EXPECT_EQ(FindVertex({4, 5, 6}, list), 1);
    EXPECT_EQ(FindVertex({4, 5, 7}, list), -1);
    EXPECT_EQ(FindVertex({-0.0f, 0, 0}, {D3DVERTEX{0, 0, 0}}), 0);
    EXPECT_EQ(FindVertex({std::nanf(""), 0, 0}, {D3DVERTEX{std::nanf(""), 0, 0}}), -1);
}

namespace {

// n separate triangles in a row along x, all inside [0, 1000] × [1, 4].
void Strip(int n, std::vector<D3DVERTEX>& v, std::vector<uint16_t>& ix)
{
    for (int t = 0; t < n; ++t) {
        const float x = 1.0f + t * (998.0f / n);
        for (D3DVERTEX c : {D3DVERTEX{x, 0, 1}, D3DVERTEX{x, 0, 4}, D3DVERTEX{x + 0.5f, 0, 1}}) {
            ix.push_back(static_cast<uint16_t>(v.size()));
            v.push_back(c);
        }
    }
}

std::unique_ptr<TKnoten> BuildRaw(const std::vector<D3DVERTEX>& v, const std::vector<uint16_t>& ix, int32_t minX,
                                  int32_t maxX, int32_t maxZ, int32_t minZ)
{
    QuadtreeLoaded = false;
    QuadtreeLine = 0;
    QuadtreeList.clear();
    std::unique_ptr<TKnoten> root;
    BuildQuadtree(root, nullptr, minX, maxX, maxZ, minZ, 0, v.data(), ix.data(), static_cast<int32_t>(v.size()),
                  static_cast<int32_t>(ix.size()));
    return root;
}

}  // namespace

TEST(Quadtree, SplitsAbove600Indices)
{
    std::vector<D3DVERTEX> v;
    std::vector<uint16_t> ix;
    Strip(200, v, ix);
    auto leaf = BuildRaw(v, ix, 0, 1000, 10, 0);
    EXPECT_EQ(leaf->IndexCount, 600);
    EXPECT_EQ(CountNodes(leaf.get()), 1);

    v.clear();
    ix.clear();
    Strip(201, v, ix);
    auto split = BuildRaw(v, ix, 0, 1000, 10, 0);
    EXPECT_EQ(split->IndexCount, 603);
    ASSERT_TRUE(split->Children[0]);
    // The strip lies in the low-z half: children 2 and 3 hold it.
    EXPECT_EQ(split->Children[0]->IndexCount, 0);
    EXPECT_GT(split->Children[2]->IndexCount, 0);
    EXPECT_GT(split->Children[3]->IndexCount, 0);
    EXPECT_EQ(split->Children[2]->IndexCount + split->Children[3]->IndexCount, 603);
    EXPECT_EQ(QuadtreeList.size(), static_cast<size_t>(QuadtreeLine));
}

TEST(Quadtree, TrianglesOnASplitLineGoToBothSidesAndCrossersToTheHighSide)
{
    std::vector<D3DVERTEX> v;
    std::vector<uint16_t> ix;
    Strip(200, v, ix);  // enough to force a split
    // A triangle touching x = 500 from the low side, and one crossing it.
    const uint16_t base = static_cast<uint16_t>(v.size());
    for (D3DVERTEX c : {D3DVERTEX{490, 0, 1}, D3DVERTEX{500, 0, 2}, D3DVERTEX{495, 0, 3}, D3DVERTEX{499, 0, 1},
                        D3DVERTEX{501, 0, 2}, D3DVERTEX{499, 0, 3}})
        v.push_back(c);
    for (int k = 0; k < 6; ++k) ix.push_back(static_cast<uint16_t>(base + k));
    auto root = BuildRaw(v, ix, 0, 1000, 10, 0);
    ASSERT_TRUE(root->Children[2]);
    auto has = [](const TKnoten& n, float x, float z) {
        for (size_t t = 0; t < n.Indices.size(); t += 3)
            for (int k = 0; k < 3; ++k) {
                const D3DVERTEX& c = n.Vertices[n.Indices[t + k]];
                if (c.x == x && c.z == z) return true;
            }
        return false;
    };
    const TKnoten& low = *root->Children[2];
    const TKnoten& high = *root->Children[3];
    EXPECT_TRUE(has(low, 500, 2));
    EXPECT_TRUE(has(high, 500, 2));
    EXPECT_FALSE(has(low, 501, 2));
    EXPECT_TRUE(has(high, 501, 2));
    // Each position is kept once per node.
    for (size_t i = 0; i < high.Vertices.size(); ++i)
        EXPECT_EQ(FindVertex(high.Vertices[i], high.Vertices), static_cast<int32_t>(i));
}

class QuadtreeCache : public ::testing::Test {
protected:
    void SetUp() override
    {
        terrain = LoadFrom(terrain_files::WriteGreyBitmap(s.Path("h.bmp"), 256, 256, terrain_files::Hills));
        cache = s.Path("quadtree.dat");
        ASSERT_TRUE(BuildTerrainQuadtree(terrain, cache).CacheWritten);
        good = FileLines(cache);
        reference = TakeRoot();
    }
    std::string Join(const std::vector<std::string>& lines)
    {
        std::string text;
        for (const auto& l : lines) text += l + "\r\n";
        return text;
    }
    // The damaged file is rejected, the tree built by search and the file
    // written afresh.
    void ExpectRebuilt(const std::string& damaged, const char* reason)
    {
        WriteText(cache, damaged);
        const TQuadtreeBuild b = BuildTerrainQuadtree(terrain, cache);
        EXPECT_FALSE(b.CacheRead) << reason;
        EXPECT_TRUE(b.CacheRejected) << reason;
        EXPECT_TRUE(b.CacheWritten) << reason;
        EXPECT_NE(b.CacheError.find(reason), std::string::npos) << b.CacheError;
        EXPECT_TRUE(SameTree(reference.get(), QuadtreeRoot.get())) << reason;
        EXPECT_EQ(FileLines(cache), good) << reason;
    }
    TScratch s;
    TD3DHeightSurfaceTerrain terrain;
    std::string cache;
    std::vector<std::string> good;
    std::unique_ptr<TKnoten> reference;
};

TEST_F(QuadtreeCache, ThatDoesNotFitTheTerrainIsRebuiltAndRewritten)
{
    auto lines = good;
    lines.pop_back();
    ExpectRebuilt(Join(lines), "too few lines");

    lines = good;
    lines.push_back("0");
    ExpectRebuilt(Join(lines), "too many lines");

    lines = good;
    lines[1000] = "12a";
    ExpectRebuilt(Join(lines), "line 1001 is not an integer");

    lines = good;
    lines[5] = "";
    ExpectRebuilt(Join(lines), "line 6 is not an integer");

    lines = good;
    lines[3] = "99999";
    ExpectRebuilt(Join(lines), "out of range");

    lines = good;
    lines[3] = "-2";
    ExpectRebuilt(Join(lines), "out of range");

    lines = good;
    lines[3] = "99999999999999";
    ExpectRebuilt(Join(lines), "not an integer");

    // An index in range that names a vertex somewhere else: a cache written
    // for another terrain.
    lines = good;
    ASSERT_EQ(lines[3], "0");
    lines[3] = "1";
    ExpectRebuilt(Join(lines), "not at the corner");

    ExpectRebuilt("", "too few lines");
    ExpectRebuilt(std::string("\0\1\2garbage", 10), "not an integer");
}

TEST_F(QuadtreeCache, WithLineFeedsOnlyIsReadAsWell)
{
    std::string text;
    for (const auto& l : good) text += l + "\n";
    WriteText(cache, text);
    const TQuadtreeBuild b = BuildTerrainQuadtree(terrain, cache);
    EXPECT_TRUE(b.CacheRead) << b.CacheError;
    EXPECT_TRUE(SameTree(reference.get(), QuadtreeRoot.get()));
}

TEST_F(QuadtreeCache, ThatCannotBeWrittenLeavesTheTreeIntact)
{
    const std::string nowhere = s.Path("no/such/dir/quadtree.dat");
    const TQuadtreeBuild b = BuildTerrainQuadtree(terrain, nowhere);
    EXPECT_FALSE(b.CacheWritten);
    EXPECT_FALSE(b.CacheError.empty());
    EXPECT_TRUE(SameTree(reference.get(), QuadtreeRoot.get()));
}
