// The view frustum test: six planes from the view and projection matrices,
// and whether a box lies outside, partly inside or wholly inside them.
#pragma once

#include <array>

#include "platform/d3d/d3dtypes.h"

namespace bsp {

// a·x + b·y + c·z + d > 0 means outside; (a, b, c) has length 1.
struct TPlane {
    float a = 0, b = 0, c = 0, d = 0;
};

// Left, right, top, bottom, near, far. The near plane is clip-space
// z = −w, behind the camera's real near plane: conservative there.
extern std::array<TPlane, 6> FrustumPlanes;

// Recomputes FrustumPlanes from the view and projection transforms the
// engine has set (world to clip space is view × projection).
void ExtractFrustumPlanes(const D3DMATRIX& view, const D3DMATRIX& projection);

constexpr int BoxOutside = 0;
constexpr int BoxPartly = 1;
constexpr int BoxInside = 2;

// Tests the box [boxMin, boxMax] against the current FrustumPlanes.
int BoxInFrustum(const D3DVECTOR& boxMin, const D3DVECTOR& boxMax);
// Extracts the planes from view and projection first, as every test of the
// frame does, then tests.
int BoxInFrustum(const D3DVECTOR& boxMin, const D3DVECTOR& boxMax, const D3DMATRIX& view, const D3DMATRIX& projection);

}  // namespace bsp
