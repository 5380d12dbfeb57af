#include "race/render.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>
#include <vector>

#include "cars/cars.h"
#include "cars/move.h"
#include "platform/gfx/D3DEngine.h"
#include "platform/gfx/gfxdevice.h"
#include "platform/gfx/gfxengine.h"
#include "race/racestate.h"
#include "race/remotecars.h"
#include "race/setupworld.h"
#include "world/bsp.h"
#include "world/frustum.h"
#include "world/track.h"

namespace render {

TGfxSurface* WaterSurface = nullptr;
TGfxSurface* GroundSurface = nullptr;
std::function<uint32_t()> TickCount = [] {
    using namespace std::chrono;
    return uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
};
int32_t HudOffsetX = 0, HudOffsetY = 0;

namespace {

const uint32_t ClearGrey = GfxRGB(184, 184, 184);

TGfxEngine* Engine() { return CurrentEngine(); }
TGfxDevice& Device() { return *Engine()->Device(); }

void DrawMesh(uint32_t fvf, const TGeometry& g)
{
    if (!g.Vertices || !g.Indices || g.IndexCount <= 0) return;
    Device().DrawIndexedPrimitive(D3DPT_TRIANGLELIST, fvf, g.Vertices->data(), uint32_t(g.VertexCount),
                                  g.Indices->data(), uint32_t(g.IndexCount));
}

TDDSurface* TextureOf(const std::unique_ptr<TGfxTexture>& t) { return t ? t->Surface() : nullptr; }
TDDSurface* TextureOf(const TGfxSurface* s) { return s ? s->Surface(0) : nullptr; }

// The camera's place in the world: the view matrix is a rotation R and a
// translation t with eye x R + t = 0.
D3DVECTOR ViewEye(const D3DMATRIX& v)
{
    return {-(v._41 * v._11 + v._42 * v._12 + v._43 * v._13), -(v._41 * v._21 + v._42 * v._22 + v._43 * v._23),
            -(v._41 * v._31 + v._42 * v._32 + v._43 * v._33)};
}

bool Visible(const D3DVECTOR& lo, const D3DVECTOR& hi) { return bsp::BoxInFrustum(lo, hi) != bsp::BoxOutside; }

// Cut-out pictures: blended, alpha-tested, seen from both sides.
void CutOutStates(bool on)
{
    TGfxDevice& dev = Device();
    dev.SetRenderState(D3DRENDERSTATE_ALPHABLENDENABLE, on);
    dev.SetRenderState(D3DRENDERSTATE_SRCBLEND, D3DBLEND_SRCALPHA);
    dev.SetRenderState(D3DRENDERSTATE_DESTBLEND, D3DBLEND_INVSRCALPHA);
    dev.SetRenderState(D3DRENDERSTATE_ALPHATESTENABLE, on);
    dev.SetRenderState(D3DRENDERSTATE_ALPHAREF, 8);
    dev.SetRenderState(D3DRENDERSTATE_ALPHAFUNC, D3DCMP_GREATEREQUAL);
    dev.SetRenderState(D3DRENDERSTATE_CULLMODE, on ? D3DCULL_NONE : D3DCULL_CCW);
}

void DrawSky(uint32_t tick)
{
    TGfxDevice& dev = Device();
    const float a = float(tick) * 0.00003f;
    const D3DVECTOR& eye = move::CameraEye;
    dev.SetRenderState(D3DRENDERSTATE_LIGHTING, 0);
    dev.SetTransform(D3DTRANSFORMSTATE_WORLD, RotateYMatrix(a) * TranslateMatrix(eye.x, 0, eye.z));
    dev.SetTexture(0, TextureOf(spiel::SkyTexture));
    DrawMesh(D3DFVF_VERTEX, spiel::SkyMesh);
}

// The plane circles with radius 100 once every π seconds.
void DrawWater(uint32_t tick)
{
    TGfxDevice& dev = Device();
    const float b = float(tick) * 0.002f, s = 100 * std::sin(b), c = 100 * std::cos(b);
    const float x[4] = {-30000, -30000, 30000, 30000}, z[4] = {-30000, 30000, -30000, 30000};
    for (int i = 0; i < 4; ++i) spiel::WaterQuad[i].x = x[i] + s, spiel::WaterQuad[i].z = z[i] + c;
    dev.SetTransform(D3DTRANSFORMSTATE_WORLD, IdentityMatrix());
    dev.SetTexture(0, TextureOf(WaterSurface));
    // Ground at water level lies in the water's plane: the water wins there
    // instead of flickering against it.
    dev.SetRenderState(D3DRENDERSTATE_ZBIAS, 1);
    dev.DrawPrimitive(D3DPT_TRIANGLESTRIP, D3DFVF_LVERTEX, spiel::WaterQuad.data(), 4);
    dev.SetRenderState(D3DRENDERSTATE_ZBIAS, 0);
    dev.SetRenderState(D3DRENDERSTATE_LIGHTING, 1);
}

void DrawTerrain()
{
    TGfxDevice& dev = Device();
    dev.SetTransform(D3DTRANSFORMSTATE_WORLD, IdentityMatrix());
    dev.SetTexture(0, TextureOf(GroundSurface));
    Engine()->SetMaterial(1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0);
    D3DMATRIX view;
    dev.GetTransform(D3DTRANSFORMSTATE_VIEW, view);
    // Nearest first: a hill then hides the ground behind it from the depth
    // test before that ground is shaded. The nodes do not overlap, so the
    // order does not change the picture. The frustum planes are this
    // frame's (RenderFrame).
    std::vector<const bsp::TKnoten*> nodes;
    bsp::SelectQuadtreeNodes(bsp::QuadtreeRoot.get(), nodes);
    const D3DVECTOR eye = ViewEye(view);
    auto distance = [&](const bsp::TKnoten* n) {
        const D3DVECTOR c{std::clamp(eye.x, n->BoxMin.x, n->BoxMax.x), std::clamp(eye.y, n->BoxMin.y, n->BoxMax.y),
                          std::clamp(eye.z, n->BoxMin.z, n->BoxMax.z)};
        const D3DVECTOR d = c - eye;
        return DotProduct(d, d);
    };
    std::stable_sort(nodes.begin(), nodes.end(),
                     [&](const bsp::TKnoten* a, const bsp::TKnoten* b) { return distance(a) < distance(b); });
    for (const bsp::TKnoten* n : nodes)
        dev.DrawIndexedPrimitive(D3DPT_TRIANGLELIST, D3DFVF_VERTEX, n->Vertices.data(), uint32_t(n->VertexCount),
                                 n->Indices.data(), uint32_t(n->IndexCount));
}

void DrawCars()
{
    cars::DrawCar(spiel::PlayerTable[0], spiel::ShadowMesh);
    const double now = remotecars::NowMs();
    for (int i = 1; i < spiel::MaxPlayers; ++i) {
        const spiel::TPlayerRec& r = spiel::PlayerTable[i];
        if (r.Id == 0) continue;
        // The others' cars glide between their states; the record stays as
        // the last state left it.
        const remotecars::TPose p =
            remotecars::Drawn(i, {r.Pos, r.Steer, r.WheelAngle, r.Pitch, r.Heading, r.Roll}, now);
        spiel::TPlayerRec drawn = r;
        drawn.Pos = p.Pos, drawn.Steer = p.Steer, drawn.WheelAngle = p.WheelAngle;
        drawn.Pitch = p.Pitch, drawn.Heading = p.Heading, drawn.Roll = p.Roll;
        cars::DrawCar(drawn, spiel::ShadowMesh);
    }
}

// 100 above and 70 behind the local car, its +z axis towards the next gate.
void DrawArrow()
{
    TGfxDevice& dev = Device();
    const D3DVECTOR p = TransformVector({0, 100, -70}, spiel::PlayerTable[0].World);
    dev.SetTransform(D3DTRANSFORMSTATE_WORLD,
                     RotateYMatrix(std::numbers::pi_v<float>) * PointAtMatrix(p, spiel::GoalPos));
    dev.SetTexture(0, nullptr);
    Engine()->SetMaterial(1, 1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0);
    DrawMesh(D3DFVF_VERTEX, spiel::ArrowMesh);
}

void DrawHudPanels()
{
    TGfxDevice& dev = Device();
    const QSize size = Engine()->RenderSize();
    HudOffsetX = size.width() - 640;
    HudOffsetY = size.height() - 480;
    dev.SetTextureStageState(0, D3DTSS_MAGFILTER, D3DTFG_POINT);
    dev.SetRenderState(D3DRENDERSTATE_ALPHATESTENABLE, 1);
    dev.SetRenderState(D3DRENDERSTATE_ALPHAREF, 8);
    dev.SetRenderState(D3DRENDERSTATE_ALPHAFUNC, D3DCMP_GREATEREQUAL);
    DrawScreenSprite(spiel::SpeedPanel, float(419 + HudOffsetX), float(451 + HudOffsetY), 221, 29, 255);
    DrawScreenSprite(spiel::TimePanel, 0, float(451 + HudOffsetY), 221, 29, 255);
    dev.SetRenderState(D3DRENDERSTATE_ALPHATESTENABLE, 0);
    // The translucent box behind the standings.
    DrawScreenSprite(spiel::ListPanel, float(455 + HudOffsetX), 30, 153, 135, 30);
    dev.SetTextureStageState(0, D3DTSS_MAGFILTER, D3DTFG_LINEAR);
}

}  // namespace

void DrawTrees()
{
    TGfxDevice& dev = Device();
    dev.SetRenderState(D3DRENDERSTATE_LIGHTING, 0);
    CutOutStates(true);
    for (track::TTreeRec& t : track::TreeTable) {
        if (!t.Used || !Visible(t.Pos + D3DVECTOR{-320, 0, -320}, t.Pos + D3DVECTOR{320, 800, 320})) continue;
        t.World = TranslateMatrix(t.Pos);
        dev.SetTexture(0, TextureOf(spiel::TreeTextures[size_t(t.Kind) % 3]));
        dev.SetTransform(D3DTRANSFORMSTATE_WORLD, t.World);
        dev.DrawIndexedPrimitive(D3DPT_TRIANGLELIST, D3DFVF_LVERTEX, track::TreeVertices.data(), 8,
                                 track::TreeIndices.data(), 12);
    }
    CutOutStates(false);
    dev.SetRenderState(D3DRENDERSTATE_LIGHTING, 1);
}

void DrawGates()
{
    TGfxDevice& dev = Device();
    CutOutStates(true);
    for (track::TGateRec& g : track::GateTable) {
        if (!Visible(g.Pos + D3DVECTOR{-600, 0, -600}, g.Pos + D3DVECTOR{600, 700, 600})) continue;
        g.World = RotateYMatrix(g.Yaw) * TranslateMatrix(g.Pos);
        // The gate's vertices are read as pre-lit: the normal's bytes stand
        // where that format keeps its colours.
        dev.SetTexture(0, TextureOf(spiel::GateGridTexture));
        Engine()->SetMaterial(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
        dev.SetTransform(D3DTRANSFORMSTATE_WORLD, g.World);
        DrawMesh(D3DFVF_LVERTEX, spiel::GateLeftMesh);
        DrawMesh(D3DFVF_LVERTEX, spiel::GateRightMesh);
        dev.SetTexture(0, TextureOf(spiel::GateTopTexture));
        Engine()->SetMaterial(1, 1, 1, 1, 1, 1, 0, 0, 0, 0.3f, 0.3f, 0.3f, 40);
        DrawMesh(D3DFVF_LVERTEX, spiel::GateTopMesh);
    }
    CutOutStates(false);
}

D3DMATRIX PointAtMatrix(const D3DVECTOR& p, const D3DVECTOR& t)
{
    // Straight above or below there is no horizontal turn to take.
    static D3DVECTOR lastR{-1, 0, 0}, lastD{0, 0, -1};
    const D3DVECTOR d = Normalize(t - p);
    const D3DVECTOR up{0, 1, 0};
    const D3DVECTOR u = up - d * DotProduct(d, up);
    if (std::isfinite(d.x + d.y + d.z) && Magnitude(u) > 1e-6f) {
        lastD = d;
        lastR = CrossProduct(Normalize(u), d);
    }
    D3DMATRIX m = IdentityMatrix();
    m._11 = -lastR.x, m._12 = -lastR.y, m._13 = -lastR.z;
    m._31 = -lastD.x, m._32 = -lastD.y, m._33 = -lastD.z;
    m._41 = p.x, m._42 = p.y, m._43 = p.z;
    return m;
}

void RenderFrame()
{
    TGfxEngine* engine = Engine();
    if (!engine || !engine->Active() || !engine->Device()) return;
    TGfxDevice& dev = Device();
    const uint32_t tick = TickCount();
    engine->ClearRecViewPort(ClearGrey);
    dev.BeginScene();
    D3DMATRIX view, projection;
    dev.GetTransform(D3DTRANSFORMSTATE_VIEW, view);
    dev.GetTransform(D3DTRANSFORMSTATE_PROJECTION, projection);
    bsp::ExtractFrustumPlanes(view, projection);
    // The terrain first: the sky and the water it covers then fail the depth
    // test before they are shaded. All three are opaque, so the picture is
    // the one the order sky, water, terrain gives.
    dev.SetRenderState(D3DRENDERSTATE_LIGHTING, 1);
    DrawTerrain();
    DrawSky(tick);
    DrawWater(tick);
    DrawCars();
    DrawTrees();
    DrawGates();
    DrawArrow();
    DrawHudPanels();
    dev.EndScene();
}

}  // namespace render
