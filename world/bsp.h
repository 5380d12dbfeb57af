// The terrain's quadtree: the mesh split into nodes with their own compact
// vertex and index lists, the "quadtree.dat" cache of the vertex searches,
// and the choice of nodes to draw for a view.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/d3d/d3dtypes.h"
#include "world/frustum.h"
#include "world/u_heightmap.h"

namespace bsp {

// One node. It owns its lists and its children.
struct TKnoten {
    std::vector<D3DVERTEX> Vertices;  // every vertex its triangles use, once, in order of first use
    std::vector<uint16_t> Indices;    // triangle list into Vertices
    int32_t VertexCount = 0;
    int32_t IndexCount = 0;
    D3DVECTOR BoxMin;  // zero for an empty node
    D3DVECTOR BoxMax;
    // 0: low x, high z; 1: high x, high z; 2: low x, low z; 3: high x, low z.
    // All empty in a leaf.
    std::array<std::unique_ptr<TKnoten>, 4> Children;
};

// The terrain's tree, rebuilt at every race start, read-only during the race.
extern std::unique_ptr<TKnoten> QuadtreeRoot;

// A node is split when it holds more than this many indices.
constexpr int32_t SplitIndexCount = 600;
// Nor below this depth: regions are then under one unit wide, and triangles
// piled on one point would otherwise be split for ever. The terrain's tree
// is four levels deep.
constexpr int32_t MaxQuadtreeLevel = 20;

// How a build without cache lines finds a corner among the node's vertices:
// a hash of positions (fast), or the linear FindVertex scan (the reference).
// Both give the same tree and the same cache lines.
enum class TVertexSearch { Hash, Linear };
extern TVertexSearch QuadtreeSearch;

// The cache state of one build: the lines read from or written to
// "quadtree.dat", one vertex-search result per triangle corner visited.
extern bool QuadtreeLoaded;
extern int32_t QuadtreeLine;
extern std::vector<int32_t> QuadtreeList;

// Raised inside a build that reads cache lines which do not fit the mesh.
class EQuadtreeCacheError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Index of the first vertex in list whose x, y and z equal v's exactly; −1
// if none. Normals and texture coordinates are not compared.
int32_t FindVertex(const D3DVERTEX& v, const std::vector<D3DVERTEX>& list);

// Fills node for the region [MinX, MaxX] × [MinZ, MaxZ] from the input
// triangles, then its four children. Below the root, a node whose parent
// holds at most SplitIndexCount indices is not created. With QuadtreeLoaded
// the corners are resolved from QuadtreeList (throwing EQuadtreeCacheError
// when a line is missing, out of range, or names a vertex at another
// position); otherwise by QuadtreeSearch, appending each result to
// QuadtreeList.
void BuildQuadtree(std::unique_ptr<TKnoten>& node, const TKnoten* parent, int32_t MinX, int32_t MaxX, int32_t MaxZ,
                   int32_t MinZ, int32_t Level, const D3DVERTEX* vertices, const uint16_t* indices, int32_t VertexCount,
                   int32_t IndexCount);

// Reads "quadtree.dat": one signed decimal per line (CR LF or LF). False,
// with the reason in error, when the file cannot be read or a line is not
// a 32-bit integer; lines is then unchanged.
bool ReadQuadtreeCache(const std::string& path, std::vector<int32_t>& lines, std::string* error = nullptr);
// Writes the lines, each followed by CR LF, through a temporary file so a
// reader never sees half a file. False when it cannot be written.
bool WriteQuadtreeCache(const std::string& path, const std::vector<int32_t>& lines, std::string* error = nullptr);

// What the race-start build did.
struct TQuadtreeBuild {
    bool CacheRead = false;      // the cache fitted and was used
    bool CacheRejected = false;  // a cache existed but did not fit; rebuilt
    bool CacheWritten = false;
    std::string CacheError;  // why it was rejected or not written
};

// The race-start sequence: build QuadtreeRoot for terrain's mesh over the
// region ±25600 from the first of shippedPath (read only; empty: none) and
// cachePath whose file fits the mesh, else by search; then writes cachePath
// (its folder created as needed; empty: nothing written). A cache that
// cannot be written leaves the tree intact.
TQuadtreeBuild BuildTerrainQuadtree(const u_heightmap::TD3DHeightSurfaceTerrain& terrain, const std::string& cachePath,
                                    const std::string& shippedPath = {});

// The cache file's path: baseDir (with its trailing '/') + "quadtree.dat".
std::string QuadtreeCachePath(const std::string& baseDir);
// The player's own copy, for a program directory the player cannot write:
// $XDG_CACHE_HOME/dunebolt/quadtree.dat, else ~/.cache/dunebolt/quadtree.dat
// (a relative XDG_CACHE_HOME is ignored, as the XDG rules say); empty when
// neither variable names a folder.
std::string PlayerQuadtreeCachePath();

// The nodes to draw for the current FrustumPlanes, in drawing order: a node
// wholly inside is drawn whole; a partly visible node descends into its
// children (or is drawn whole when it has none); empty nodes are never drawn.
void SelectQuadtreeNodes(const TKnoten* node, std::vector<const TKnoten*>& out);

// Draws the visible part of the tree under the given view and projection:
// draw is called for each selected node, once, in drawing order.
void DrawQuadtree(const TKnoten* node, const D3DMATRIX& view, const D3DMATRIX& projection,
                  const std::function<void(const TKnoten&)>& draw);

}  // namespace bsp
