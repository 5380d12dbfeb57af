#include "world/bsp.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include <unistd.h>

namespace bsp {

std::unique_ptr<TKnoten> QuadtreeRoot;
TVertexSearch QuadtreeSearch = TVertexSearch::Hash;
bool QuadtreeLoaded = false;
int32_t QuadtreeLine = 0;
std::vector<int32_t> QuadtreeList;

namespace {

// The root's region: twice the terrain on each side.
constexpr int32_t RootExtent = 25600;
// No sane cache is near this; a bigger file is not read into memory.
constexpr std::uintmax_t MaxCacheBytes = 64u << 20;

bool SamePosition(const D3DVERTEX& a, const D3DVERTEX& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

// Positions keyed by their bits, with −0 taken as +0 so that the key agrees
// with float equality; positions with a NaN never equal anything.
struct TPosKey {
    uint32_t x, y, z;
    bool operator==(const TPosKey&) const = default;
};
struct TPosHash {
    size_t operator()(const TPosKey& k) const
    {
        uint64_t h = k.x * 0x9E3779B97F4A7C15ull;
        h ^= (h >> 29) + k.y * 0xBF58476D1CE4E5B9ull;
        h ^= (h >> 31) + k.z * 0x94D049BB133111EBull;
        return static_cast<size_t>(h ^ (h >> 32));
    }
};
uint32_t KeyBits(float f) { return std::bit_cast<uint32_t>(f == 0.0f ? 0.0f : f); }
bool HasNaN(const D3DVERTEX& v) { return std::isnan(v.x) || std::isnan(v.y) || std::isnan(v.z); }

using TVertexIndex = std::unordered_map<TPosKey, int32_t, TPosHash>;

bool Belongs(const D3DVERTEX* c[3], int32_t MinX, int32_t MaxX, int32_t MaxZ, int32_t MinZ)
{
    const auto minX = static_cast<float>(MinX), maxX = static_cast<float>(MaxX);
    const auto minZ = static_cast<float>(MinZ), maxZ = static_cast<float>(MaxZ);
    bool reachX = false, reachZ = false;
    for (int k = 0; k < 3; ++k) {
        if (c[k]->x > maxX || c[k]->z > maxZ) return false;
        if (c[k]->x >= minX) reachX = true;
        if (c[k]->z >= minZ) reachZ = true;
    }
    return reachX && reachZ;
}

int32_t CachedIndex(const D3DVERTEX& corner, const TKnoten& node)
{
    if (QuadtreeLine < 0 || static_cast<size_t>(QuadtreeLine) >= QuadtreeList.size())
        throw EQuadtreeCacheError("too few lines (" + std::to_string(QuadtreeList.size()) + ") for the terrain");
    const int32_t r = QuadtreeList[QuadtreeLine];
    const std::string where = "line " + std::to_string(QuadtreeLine + 1) + ": ";
    if (r < -1 || r >= static_cast<int32_t>(node.Vertices.size()))
        throw EQuadtreeCacheError(where + "vertex " + std::to_string(r) + " out of range (node has " +
                                  std::to_string(node.Vertices.size()) + ")");
    if (r >= 0 && !SamePosition(node.Vertices[r], corner))
        throw EQuadtreeCacheError(where + "vertex " + std::to_string(r) + " is not at the corner's position");
    return r;
}

}  // namespace

int32_t FindVertex(const D3DVERTEX& v, const std::vector<D3DVERTEX>& list)
{
    for (size_t i = 0; i < list.size(); ++i)
        if (SamePosition(list[i], v)) return static_cast<int32_t>(i);
    return -1;
}

void BuildQuadtree(std::unique_ptr<TKnoten>& node, const TKnoten* parent, int32_t MinX, int32_t MaxX, int32_t MaxZ,
                   int32_t MinZ, int32_t Level, const D3DVERTEX* vertices, const uint16_t* indices, int32_t VertexCount,
                   int32_t IndexCount)
{
    if (Level > 0 && parent != nullptr && parent->IndexCount <= SplitIndexCount) return;
    node = std::make_unique<TKnoten>();
    TKnoten& k = *node;

    const bool hashed = !QuadtreeLoaded && QuadtreeSearch == TVertexSearch::Hash;
    TVertexIndex index;
    if (hashed) index.reserve(static_cast<size_t>(VertexCount > 0 ? VertexCount : 0));

    for (int32_t t = 0; t + 2 < IndexCount; t += 3) {
        const D3DVERTEX* c[3];
        bool valid = true;
        for (int i = 0; i < 3; ++i) {
            const uint16_t idx = indices[t + i];
            if (idx >= VertexCount) valid = false;
            c[i] = valid ? &vertices[idx] : nullptr;
        }
        if (!valid || !Belongs(c, MinX, MaxX, MaxZ, MinZ)) continue;

        for (int i = 0; i < 3; ++i) {
            const D3DVERTEX& corner = *c[i];
            int32_t r;
            if (QuadtreeLoaded) {
                r = CachedIndex(corner, k);
            } else if (hashed) {
                r = -1;
                if (!HasNaN(corner)) {
                    const TPosKey key{KeyBits(corner.x), KeyBits(corner.y), KeyBits(corner.z)};
                    auto [it, added] = index.try_emplace(key, static_cast<int32_t>(k.Vertices.size()));
                    if (!added) r = it->second;
                }
            } else {
                r = FindVertex(corner, k.Vertices);
            }
            if (r == -1) {
                k.Vertices.push_back(corner);
                k.Indices.push_back(static_cast<uint16_t>(k.Vertices.size() - 1));
            } else {
                k.Indices.push_back(static_cast<uint16_t>(r));
            }
            if (!QuadtreeLoaded) QuadtreeList.push_back(r);
            QuadtreeLine += 1;
        }
    }
    k.IndexCount = static_cast<int32_t>(k.Indices.size());
    k.VertexCount = static_cast<int32_t>(k.Vertices.size());
    if (k.IndexCount <= 0 || k.VertexCount <= 0) return;

    k.BoxMin = k.BoxMax = {k.Vertices[0].x, k.Vertices[0].y, k.Vertices[0].z};
    for (const D3DVERTEX& v : k.Vertices) {
        k.BoxMin = {std::fmin(k.BoxMin.x, v.x), std::fmin(k.BoxMin.y, v.y), std::fmin(k.BoxMin.z, v.z)};
        k.BoxMax = {std::fmax(k.BoxMax.x, v.x), std::fmax(k.BoxMax.y, v.y), std::fmax(k.BoxMax.z, v.z)};
    }
    if (Level >= MaxQuadtreeLevel) return;
    // Integer division truncating toward zero, as the region bounds are.
    const int32_t midX = (MinX + MaxX) / 2;
    const int32_t midZ = (MaxZ + MinZ) / 2;
    const D3DVERTEX* v = k.Vertices.data();
    const uint16_t* ix = k.Indices.data();
    BuildQuadtree(k.Children[0], &k, MinX, midX, MaxZ, midZ, Level + 1, v, ix, k.VertexCount, k.IndexCount);
    BuildQuadtree(k.Children[1], &k, midX, MaxX, MaxZ, midZ, Level + 1, v, ix, k.VertexCount, k.IndexCount);
    BuildQuadtree(k.Children[2], &k, MinX, midX, midZ, MinZ, Level + 1, v, ix, k.VertexCount, k.IndexCount);
    BuildQuadtree(k.Children[3], &k, midX, MaxX, midZ, MinZ, Level + 1, v, ix, k.VertexCount, k.IndexCount);
}

bool ReadQuadtreeCache(const std::string& path, std::vector<int32_t>& lines, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error) *error = path + ": " + why;
        return false;
    };
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) return fail("cannot be read");
    if (size > MaxCacheBytes) return fail("too large (" + std::to_string(size) + " bytes)");
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail("cannot be opened");
    std::string text(static_cast<size_t>(size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(size));
    if (in.gcount() != static_cast<std::streamsize>(size)) return fail("read error");

    std::vector<int32_t> out;
    out.reserve(static_cast<size_t>(size / 3));
    size_t pos = 0;
    size_t lineNo = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ++lineNo;
        int32_t v = 0;
        const auto [ptr, err] = std::from_chars(line.data(), line.data() + line.size(), v);
        if (line.empty() || err != std::errc() || ptr != line.data() + line.size())
            return fail("line " + std::to_string(lineNo) + " is not an integer");
        out.push_back(v);
        pos = end + 1;
    }
    lines = std::move(out);
    return true;
}

bool WriteQuadtreeCache(const std::string& path, const std::vector<int32_t>& lines, std::string* error)
{
    std::string text;
    text.reserve(lines.size() * 5);
    for (int32_t v : lines) {
        text += std::to_string(v);
        text += "\r\n";
    }
    // Named for this process: two games on one machine may both write it.
    const std::string tmp = path + "." + std::to_string(getpid()) + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        if (!out) {
            std::error_code ec;
            std::filesystem::remove(tmp, ec);
            if (error) *error = tmp + ": cannot be written";
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        if (error) *error = path + ": cannot be replaced";
        return false;
    }
    return true;
}

TQuadtreeBuild BuildTerrainQuadtree(const u_heightmap::TD3DHeightSurfaceTerrain& terrain, const std::string& cachePath,
                                    const std::string& shippedPath)
{
    TQuadtreeBuild result;
    auto reset = [] {
        QuadtreeLine = 0;
        QuadtreeLoaded = false;
        QuadtreeList.clear();
    };
    auto buildRoot = [&] {
        QuadtreeRoot.reset();
        BuildQuadtree(QuadtreeRoot, nullptr, -RootExtent, RootExtent, RootExtent, -RootExtent, 0,
                      terrain.Vertices.data(), terrain.Indices.data(), terrain.VertexCount, terrain.IndexCount);
    };
    auto note = [&](const std::string& why) {
        if (!result.CacheError.empty()) result.CacheError += "; ";
        result.CacheError += why;
    };
    auto rejected = [&](const std::string& why) {
        result.CacheRejected = true;
        note(why);
    };
    // True when the file at path is there and fits: the tree is then built.
    auto buildFrom = [&](const std::string& path) {
        std::error_code ec;
        if (path.empty() || !std::filesystem::exists(path, ec)) return false;
        reset();
        std::string error;
        if (!ReadQuadtreeCache(path, QuadtreeList, &error)) {
            rejected(error);
            return false;
        }
        QuadtreeLoaded = true;
        try {
            buildRoot();
            if (static_cast<size_t>(QuadtreeLine) != QuadtreeList.size())
                throw EQuadtreeCacheError("too many lines (" + std::to_string(QuadtreeList.size()) +
                                          ", the terrain needs " + std::to_string(QuadtreeLine) + ")");
            return true;
        } catch (const EQuadtreeCacheError& e) {
            // A cache for another terrain, or a damaged one.
            rejected(path + ": " + e.what());
            reset();
            return false;
        }
    };

    result.CacheRead = buildFrom(shippedPath) || buildFrom(cachePath);
    if (!result.CacheRead) {
        reset();
        buildRoot();
        if (!cachePath.empty()) {
            std::error_code ec;
            std::filesystem::create_directories(std::filesystem::path(cachePath).parent_path(), ec);
            std::string writeError;
            result.CacheWritten = WriteQuadtreeCache(cachePath, QuadtreeList, &writeError);
            if (!result.CacheWritten) note(writeError);
        }
    }
    QuadtreeList.clear();
    QuadtreeList.shrink_to_fit();
    return result;
}

std::string QuadtreeCachePath(const std::string& baseDir) { return baseDir + "quadtree.dat"; }

std::string PlayerQuadtreeCachePath()
{
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/dunebolt/quadtree.dat";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.cache/dunebolt/quadtree.dat";
    return {};
}

void SelectQuadtreeNodes(const TKnoten* node, std::vector<const TKnoten*>& out)
{
    if (node == nullptr) return;
    const int r = BoxInFrustum(node->BoxMin, node->BoxMax);
    if (r == BoxInside) {
        if (node->IndexCount > 0) out.push_back(node);
    } else if (r == BoxPartly) {
        if (!node->Children[0]) {
            if (node->IndexCount > 0) out.push_back(node);
        } else {
            SelectQuadtreeNodes(node->Children[0].get(), out);
        }
        for (int c = 1; c < 4; ++c) SelectQuadtreeNodes(node->Children[c].get(), out);
    }
}

void DrawQuadtree(const TKnoten* node, const D3DMATRIX& view, const D3DMATRIX& projection,
                  const std::function<void(const TKnoten&)>& draw)
{
    ExtractFrustumPlanes(view, projection);
    std::vector<const TKnoten*> nodes;
    SelectQuadtreeNodes(node, nodes);
    if (!draw) return;
    for (const TKnoten* n : nodes) draw(*n);
}

}  // namespace bsp
