#include "world/frustum.h"

#include <cmath>

namespace bsp {

std::array<TPlane, 6> FrustumPlanes{};

namespace {

struct TColumn {
    float x, y, z, w;
};

TColumn Column(const D3DMATRIX& m, int c) { return {m.m[0][c], m.m[1][c], m.m[2][c], m.m[3][c]}; }

// −(c4 + sign × c), normalised on its (a, b, c).
TPlane Plane(const TColumn& c4, const TColumn& c, float sign)
{
    TPlane p{-(c4.x + sign * c.x), -(c4.y + sign * c.y), -(c4.z + sign * c.z), -(c4.w + sign * c.w)};
    const float len = std::sqrt(p.a * p.a + p.b * p.b + p.c * p.c);
    p.a /= len;
    p.b /= len;
    p.c /= len;
    p.d /= len;
    return p;
}

}  // namespace

void ExtractFrustumPlanes(const D3DMATRIX& view, const D3DMATRIX& projection)
{
    const D3DMATRIX m = MatrixMultiply(view, projection);
    const TColumn c1 = Column(m, 0), c2 = Column(m, 1), c3 = Column(m, 2), c4 = Column(m, 3);
    FrustumPlanes[0] = Plane(c4, c1, 1);   // left
    FrustumPlanes[1] = Plane(c4, c1, -1);  // right
    FrustumPlanes[2] = Plane(c4, c2, -1);  // top
    FrustumPlanes[3] = Plane(c4, c2, 1);   // bottom
    FrustumPlanes[4] = Plane(c4, c3, 1);   // near
    FrustumPlanes[5] = Plane(c4, c3, -1);  // far
}

int BoxInFrustum(const D3DVECTOR& boxMin, const D3DVECTOR& boxMax)
{
    bool partial = false;
    for (const TPlane& pl : FrustumPlanes) {
        // P: the corner deepest inside this plane; Q: the one farthest out.
        const D3DVECTOR p{pl.a < 0 ? boxMax.x : boxMin.x, pl.b < 0 ? boxMax.y : boxMin.y,
                          pl.c < 0 ? boxMax.z : boxMin.z};
        const D3DVECTOR q{pl.a < 0 ? boxMin.x : boxMax.x, pl.b < 0 ? boxMin.y : boxMax.y,
                          pl.c < 0 ? boxMin.z : boxMax.z};
        if (pl.a * p.x + pl.b * p.y + pl.c * p.z + pl.d > 0) return BoxOutside;
        if (pl.a * q.x + pl.b * q.y + pl.c * q.z + pl.d >= 0) partial = true;
    }
    return partial ? BoxPartly : BoxInside;
}

int BoxInFrustum(const D3DVECTOR& boxMin, const D3DVECTOR& boxMax, const D3DMATRIX& view, const D3DMATRIX& projection)
{
    ExtractFrustumPlanes(view, projection);
    return BoxInFrustum(boxMin, boxMax);
}

}  // namespace bsp
