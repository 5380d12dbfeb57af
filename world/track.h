// The track's fixed objects as the world setup places them: the five gates
// and the hundred trees, their collision points, and the tree billboard they
// share. The race reads these tables (arrow, drawing, finish) and the
// collision module tests the cars against them; this module knows nothing
// of either.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/d3d/d3dtypes.h"

namespace track {

constexpr int GateCount = 5;
constexpr int TreeCount = 100;

struct TGateRec {
    D3DVECTOR Pos;
    float Yaw = 0;
    D3DMATRIX World = IdentityMatrix();  // Ry(Yaw) × T(Pos)
};

struct TTreeRec {
    int32_t Kind = 0;  // which of the three tree pictures
    D3DVECTOR Pos;     // foot of the tree
    D3DMATRIX World = IdentityMatrix();
    bool Used = true;  // records left empty by a short tree map take no part
};

// The gates by gate number and the trees, refilled at every race start.
extern std::array<TGateRec, GateCount> GateTable;
extern std::array<TTreeRec, TreeCount> TreeTable;

// Twelve points of a box: four bottom corners −x−z, +x−z, +x+z, −x+z; the
// four top corners in the same order; then the middles of the bottom −z,
// bottom +z, top −z and top +z edges.
using TBox = std::array<D3DVECTOR, 12>;

// A tree's trunk and the gate's posts in object space, and the gate's nine
// plane points (the opening runs along x from −500 to 500, 600 high).
extern const TBox TreeBox;
extern const TBox PostBoxLeft;
extern const TBox PostBoxRight;
extern const std::array<D3DVECTOR, 9> GateFrame;

// Places the five gates at their fixed spots on the ground given by height
// (gates 3 and 4 sunk by 15 and 25) and forms their world matrices.
using THeight = float (*)(float x, float z);
void PlaceGates(THeight height);

// Fills TreeTable from the tree map in scan order (pixel column outer, row
// inner): every non-white pixel is a tree, pure red kind 0, dark green kind
// 1, pure blue kind 2, any other colour the kind of the tree before it. A
// pixel's row runs along world x, its column along z, 100 units each; the
// foot stands 15 below the ground. Pixels past the hundredth are left out,
// records no pixel fills are marked unused. Returns the number of non-white
// pixels; throws std::runtime_error when the file cannot be read or is not a BMP.
int PlaceTrees(const std::string& treeMapFile, THeight height);

// Two crossed quads, 640 wide and 800 high, standing on the tree's foot.
extern const std::array<D3DLVERTEX, 8> TreeVertices;
extern const std::array<uint16_t, 12> TreeIndices;

}  // namespace track
