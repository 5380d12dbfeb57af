// The track's fixed objects as the world setup places them: the gates and
// the trees. The race keeps their tables (spiel::GateTable, spiel::TreeTable)
// and the collision module tests the cars against them; this header knows
// nothing of either.
#pragma once

#include <cstdint>

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
    int32_t Kind = 0;
    D3DVECTOR Pos;
    D3DMATRIX World = IdentityMatrix();
    bool Used = true;  // records left empty by a short tree map take no part
};

}  // namespace track
