// The drawing half of the cars module: the car body and its shadow through
// the graphics engine layer. Kept apart from cars.cpp so that the rule
// modules build and link without the graphics layer.
#include <array>

#include "cars/cars.h"
#include "platform/gfx/D3DEngine.h"
#include "platform/gfx/gfxdevice.h"
#include "platform/gfx/gfxengine.h"
#include "world/frustum.h"
#include "world/u_heightmap.h"

namespace cars {

namespace {

D3DMATERIAL7 Material(D3DCOLORVALUE diffuse, D3DCOLORVALUE ambient)
{
    D3DMATERIAL7 m;
    m.diffuse = diffuse;
    m.ambient = ambient;
    m.specular = {0, 0, 0, 0};
    m.emissive = {0, 0, 0, 0};
    m.power = 0;
    return m;
}

float GroundHeight(float x, float z, D3DVECTOR*) { return u_heightmap::GetHeight(x, z); }

}  // namespace

bool DrawCar(spiel::TPlayerRec& rec, const TGeometry& shadowMesh)
{
    TGfxEngine* engine = CurrentEngine();
    TGfxDevice* dev = engine ? engine->Device() : nullptr;
    if (!dev) return false;

    // Wholly outside the view: neither car nor shadow.
    D3DVECTOR boxMin, boxMax;
    CarVisibilityBox(rec.Pos, boxMin, boxMax);
    D3DMATRIX view, projection;
    dev->GetTransform(D3DTRANSFORMSTATE_VIEW, view);
    dev->GetTransform(D3DTRANSFORMSTATE_PROJECTION, projection);
    if (bsp::BoxInFrustum(boxMin, boxMax, view, projection) == bsp::BoxOutside) return false;

    if (rec.Animate == 1)
        UpdateCarMatrices(rec);
    else
        rec.Animate = 1;

    dev->SetTransform(D3DTRANSFORMSTATE_WORLD, rec.World);
    if (rec.Car && rec.Car->XFile) GfxDrawXModel(*engine, *rec.Car->XFile);

    // The shadow on the ground under each of its vertices, built on the stack.
    // A mesh the buffer cannot hold, or with an index past its vertices, is
    // not drawn: the device would read beyond the vertices given.
    std::array<D3DVERTEX, MaxShadowVertices> shadow;
    const bool withShadow = ShadowMeshFits(shadowMesh);
    int n = 0;
    if (withShadow)
        n = ShadowPositions(shadowMesh.Vertices->data(), shadowMesh.VertexCount, rec.World, GroundHeight, shadow);

    dev->SetTransform(D3DTRANSFORMSTATE_WORLD, IdentityMatrix());
    dev->SetTexture(0, nullptr);
    dev->SetMaterial(Material({0, 0, 0, 0.6f}, {0, 0, 0, 0}));
    // Black at alpha 0.6 with these factors leaves the ground at 60 %.
    dev->SetRenderState(D3DRENDERSTATE_SRCBLEND, D3DBLEND_ONE);
    dev->SetRenderState(D3DRENDERSTATE_DESTBLEND, D3DBLEND_SRCALPHA);
    dev->SetRenderState(D3DRENDERSTATE_ALPHABLENDENABLE, 1);
    if (withShadow && shadowMesh.IndexCount > 0)
        dev->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, D3DFVF_VERTEX, shadow.data(), static_cast<uint32_t>(n),
                                  shadowMesh.Indices->data(), static_cast<uint32_t>(shadowMesh.IndexCount));
    dev->SetRenderState(D3DRENDERSTATE_ALPHABLENDENABLE, 0);
    dev->SetMaterial(Material({1, 1, 1, 1}, {1, 1, 1, 1}));
    return true;
}

}  // namespace cars
