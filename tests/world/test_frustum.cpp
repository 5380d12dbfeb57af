#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "terrain_files.h"
#include "world/bsp.h"
#include "world/frustum.h"

using namespace bsp;

namespace {

// The race's projection: field of view π/4, aspect π/4, near 50, far 25000.
D3DMATRIX RaceProjection()
{
    D3DMATRIX p;
    ProjectionMatrix(p, 3.14159265f / 4, 0.7853982f, 50, 25000);
    return p;
}

D3DMATRIX LookAt(D3DVECTOR eye, D3DVECTOR at)
{
    D3DMATRIX v;
    EXPECT_TRUE(ViewMatrix(v, eye, at, {0, 1, 0}));
    return v;
}

}  // namespace

TEST(Frustum, PlanesAreNormalisedAndFaceOutward)
{
    ExtractFrustumPlanes(LookAt({0, 0, 0}, {0, 0, 1}), RaceProjection());
    for (const TPlane& p : FrustumPlanes) EXPECT_NEAR(std::sqrt(p.a * p.a + p.b * p.b + p.c * p.c), 1.0f, 1e-5f);
    // A point straight ahead is inside every plane; one behind is outside
    // the near plane; one beyond 25000 outside the far plane.
    auto side = [](const TPlane& p, D3DVECTOR v) { return p.a * v.x + p.b * v.y + p.c * v.z + p.d; };
    for (const TPlane& p : FrustumPlanes) EXPECT_LT(side(p, {0, 0, 1000}), 0.0f);
    EXPECT_GT(side(FrustumPlanes[4], {0, 0, -100}), 0.0f);
    EXPECT_GT(side(FrustumPlanes[5], {0, 0, 26000}), 0.0f);
    EXPECT_GT(side(FrustumPlanes[0], {-5000, 0, 1000}), 0.0f);  // left
    EXPECT_GT(side(FrustumPlanes[1], {5000, 0, 1000}), 0.0f);   // right
    EXPECT_GT(side(FrustumPlanes[2], {0, 5000, 1000}), 0.0f);   // top
    EXPECT_GT(side(FrustumPlanes[3], {0, -5000, 1000}), 0.0f);  // bottom
}

TEST(Frustum, BoxesBehindAroundAndInFrontOfTheCamera)
{
    const D3DMATRIX view = LookAt({1000, 500, -2000}, {1000, 500, 0});
    const D3DMATRIX proj = RaceProjection();
    // Wholly behind the camera.
    EXPECT_EQ(BoxInFrustum({900, 400, -3000}, {1100, 600, -2500}, view, proj), BoxOutside);
    // Containing the camera.
    EXPECT_EQ(BoxInFrustum({900, 400, -2100}, {1100, 600, -1900}, view, proj), BoxPartly);
    // Small, in the middle of the view.
    EXPECT_EQ(BoxInFrustum({990, 490, 0}, {1010, 510, 20}, view, proj), BoxInside);
    // Far off to the side, and beyond the far plane.
    EXPECT_EQ(BoxInFrustum({-20000, 400, 0}, {-19000, 600, 100}, view, proj), BoxOutside);
    EXPECT_EQ(BoxInFrustum({900, 400, 24000}, {1100, 600, 24500}, view, proj), BoxOutside);
    // Reaching across the far plane.
    EXPECT_EQ(BoxInFrustum({900, 400, 20000}, {1100, 600, 30000}, view, proj), BoxPartly);
    // The two-argument test uses the planes last extracted.
    ExtractFrustumPlanes(view, proj);
    EXPECT_EQ(BoxInFrustum({990, 490, 0}, {1010, 510, 20}), BoxInside);
}

namespace {

int Triangles(const std::vector<const TKnoten*>& nodes)
{
    int n = 0;
    for (const TKnoten* k : nodes) n += k->IndexCount / 3;
    return n;
}

}  // namespace

TEST(Frustum, QuadtreeDrawsOnlyVisibleNodesAndWholeNodesOnce)
{
    terrain_files::TScratch s;
    u_heightmap::TD3DHeightSurfaceTerrain t;
    t.FileName = terrain_files::WriteGreyBitmap(s.Path("h.bmp"), 256, 256, terrain_files::Hills);
    u_heightmap::LoadHeightmap(t);
    BuildTerrainQuadtree(t, s.Path("quadtree.dat"));
    const D3DMATRIX proj = RaceProjection();

    // Nothing: looking away from the terrain, out beyond its edge.
    std::vector<const TKnoten*> drawn;
    DrawQuadtree(QuadtreeRoot.get(), LookAt({0, 500, 13000}, {0, 500, 20000}), proj,
                 [&](const TKnoten& k) { drawn.push_back(&k); });
    EXPECT_TRUE(drawn.empty());

    // High above one quadrant, looking down: that quadrant's node lies
    // wholly inside and is drawn whole, in one piece.
    drawn.clear();
    DrawQuadtree(QuadtreeRoot.get(), LookAt({6400, 20000, 6400}, {6400, 0, 6401}), proj,
                 [&](const TKnoten& k) { drawn.push_back(&k); });
    const TKnoten* quadrant = QuadtreeRoot->Children[1].get();
    ASSERT_NE(quadrant, nullptr);
    EXPECT_EQ(std::count(drawn.begin(), drawn.end(), quadrant), 1);
    for (const TKnoten* k : drawn) EXPECT_TRUE(k == quadrant || k->BoxMax.x <= 0 || k->BoxMax.z <= 0);

    // A driver's view: some nodes, every one visible, none empty, none
    // drawn twice, and fewer triangles than the whole terrain.
    drawn.clear();
    const D3DMATRIX view = LookAt({-2000, 1200, -2000}, {0, 600, 0});
    DrawQuadtree(QuadtreeRoot.get(), view, proj, [&](const TKnoten& k) { drawn.push_back(&k); });
    ASSERT_FALSE(drawn.empty());
    std::set<const TKnoten*> unique(drawn.begin(), drawn.end());
    EXPECT_EQ(unique.size(), drawn.size());
    ExtractFrustumPlanes(view, proj);
    for (const TKnoten* k : drawn) {
        EXPECT_GT(k->IndexCount, 0);
        EXPECT_NE(BoxInFrustum(k->BoxMin, k->BoxMax), BoxOutside);
    }
    EXPECT_LT(Triangles(drawn), t.IndexCount / 3);
    // The node under the camera's target is among them.
    bool target = false;
    for (const TKnoten* k : drawn)
        if (k->BoxMin.x <= 0 && k->BoxMax.x >= 0 && k->BoxMin.z <= 0 && k->BoxMax.z >= 0) target = true;
    EXPECT_TRUE(target);

    // The selection alone gives the same list.
    std::vector<const TKnoten*> selected;
    SelectQuadtreeNodes(QuadtreeRoot.get(), selected);
    EXPECT_EQ(selected, drawn);
    SelectQuadtreeNodes(nullptr, selected);
    EXPECT_EQ(selected.size(), drawn.size());
}
