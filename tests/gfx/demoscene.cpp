#include "demoscene.h"

#include "world/bsp.h"
#include "world/frustum.h"
#include "world/u_heightmap.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QWidget>

#include <cmath>
#include <numbers>

namespace {

constexpr float kPi = std::numbers::pi_v<float>;

struct TTree {
    int Kind = 0;
    D3DVECTOR Pos;
};

const char* kWheelFrames[] = {"x3ds_rad1",     "x3ds_rad1kap1", "x3ds_rad1kap2", "x3ds_rad2",
                              "x3ds_rad2kap1", "x3ds_rad2kap2", "x3ds_rad3",     "x3ds_rad3kap1",
                              "x3ds_rad3kap2", "x3ds_rad4",     "x3ds_rad4kap1", "x3ds_rad4kap2"};

}  // namespace

struct TDemoScene::TData {
    TGeometry Sky, Shadow, GateLeft, GateRight, GateTop;
    std::unique_ptr<TGfxTexture> SkyTexture, GateGrid, GateTopTex, TreeTex[3];
    std::unique_ptr<TGfxXFile> Car;
    D3DMATRIX CarWorld, GateWorld, View, Proj;
    D3DVECTOR CarPos, Eye, GatePos;
    D3DLVERTEX Water[4];
    D3DLVERTEX TreeVertices[8];
    uint16_t TreeIndices[12] = {0, 1, 2, 1, 2, 3, 4, 5, 6, 5, 6, 7};
    std::vector<TTree> Trees;
    D3DVERTEX ShadowVertices[82];
    TScreenSprite SpeedPanel, TimePanel, ListPanel;
    std::vector<const bsp::TKnoten*> Nodes;
};

TDemoScene::TDemoScene(TGfxEngine& engine, QWidget* window, std::string dataDir, std::string scratchDir)
    : m_engine(engine), m_dataDir(std::move(dataDir)), m_scratchDir(std::move(scratchDir))
{
    // The window's own components, started with the engine.
    m_water = std::make_unique<TGfxSurface>(engine, window);
    m_water->SurfaceType = dxstMipMaps;
    m_water->Images = {"wasser.bmp", "wasser2.bmp", "wasser3.bmp", "wasser4.bmp", "wasser5.bmp"};
    m_water->AutoStart = true;
    m_ground = std::make_unique<TGfxSurface>(engine, window);
    m_ground->SurfaceType = dxstMipMaps;
    m_ground->Images = {"boden1.bmp", "boden2.bmp", "boden3.bmp"};
    m_ground->AutoStart = true;
    m_light = std::make_unique<TGfxLight>(engine, window);
    m_light->LightIndex = 0;
    m_light->LightType = D3DLIGHT_DIRECTIONAL;
    m_light->DirectionX = 1, m_light->DirectionY = -1, m_light->DirectionZ = 0;
    m_light->DiffuseColor = 0x80889B;
    m_light->SpecularColor = 0xAA8000;
    m_light->AmbientColor = 0x4F4F4F;
    m_light->Range = 1.8439088998879068e+18f;
    engine.BaseDir = m_dataDir;
    engine.PathImages = "images/";
    engine.Path3DxFiles = "3dobjects/";
}

TDemoScene::~TDemoScene() = default;

void TDemoScene::Setup()
{
    m_d = std::make_unique<TData>();
    TData& d = *m_d;
    SetCurrentEngine(&m_engine);
    SetRenderDefaults();
    TGfxDevice& dev = *m_engine.Device();
    ProjectionMatrix(d.Proj, kPi / 4, 0.7853982f, 50, 25000);
    dev.SetTransform(D3DTRANSFORMSTATE_PROJECTION, d.Proj);

    u_heightmap::Terrain.FileName = m_dataDir + "images/height.bmp";
    u_heightmap::LoadHeightmap(u_heightmap::Terrain);
    u_heightmap::BuildCellTable(u_heightmap::Terrain);
    bsp::BuildTerrainQuadtree(u_heightmap::Terrain, bsp::QuadtreeCachePath(m_scratchDir));
    d.Nodes.reserve(size_t(bsp::CountNodes(bsp::QuadtreeRoot.get())));

    auto geometry = [&](const char* file, const char* frame, float sx, float sy, float sz, TGeometry& out) {
        TXObject obj;
        LoadXObject(obj, m_dataDir + "3dobjects/" + file);
        ScaleXObject(obj, sx, sy, sz);
        GetXGeometry(obj, frame, out);
    };
    geometry("himmel.x", "himmel", 3000, 1000, 3000, d.Sky);
    geometry("schatten.x", "Rechteck01", 130, 1, 170, d.Shadow);
    for (auto& v : *d.Shadow.Vertices) v.x -= 5, v.y += 5, v.z += 10;
    geometry("tor.x", "torl", 4, 4, 4, d.GateLeft);
    geometry("tor.x", "torr", 4, 4, 4, d.GateRight);
    geometry("tor.x", "toro", 4, 4, 4, d.GateTop);

    auto texture = [&](const std::string& name, uint32_t flags) {
        auto t = std::make_unique<TGfxTexture>(m_engine);
        t->Image = name;
        t->Flags = flags;
        t->Start();
        return t;
    };
    d.SkyTexture = texture("himmel.bmp", 0);
    d.GateGrid = texture("torgitter.bmp", d3dTRANSPARENTBLACK);
    d.GateTopTex = texture("toroben.bmp", d3dTRANSPARENTBLACK);
    for (int i = 0; i < 3; ++i) d.TreeTex[i] = texture("tree" + std::to_string(i + 1) + ".bmp", d3dTRANSPARENTWHITE);

    const float tree[8][5] = {{-320, 0, 0, 1, 1}, {-320, 800, 0, 1, 0}, {320, 0, 0, 0, 1},  {320, 800, 0, 0, 0},
                              {0, 0, 320, 1, 1},  {0, 800, 320, 1, 0},  {0, 0, -320, 0, 1}, {0, 800, -320, 0, 0}};
    for (int i = 0; i < 8; ++i) {
        d.TreeVertices[i].x = tree[i][0], d.TreeVertices[i].y = tree[i][1], d.TreeVertices[i].z = tree[i][2];
        d.TreeVertices[i].color = 0xFFFFFFFF;
        d.TreeVertices[i].tu = tree[i][3], d.TreeVertices[i].tv = tree[i][4];
    }
    const QImage map(QString::fromStdString(m_dataDir + "images/treemap.bmp"));
    int kind = 0;
    for (int x = 0; x < map.width() && x < 256; ++x)
        for (int y = 0; y < map.height() && y < 256; ++y) {
            const QRgb c = map.pixel(x, y) & 0xFFFFFF;
            if (c == 0xFFFFFF) continue;
            if (c == 0xFF0000) kind = 0;
            if (c == 0x008000) kind = 1;
            if (c == 0x0000FF) kind = 2;
            TTree t;
            t.Kind = kind;
            t.Pos.x = float(y) * 100 - 12800;
            t.Pos.z = float(x) * 100 - 12800;
            t.Pos.y = u_heightmap::GetHeight(t.Pos.x, t.Pos.z) - 15;
            d.Trees.push_back(t);
        }

    const float water[4][4] = {
        {-30000, -30000, 0, 0}, {-30000, 30000, 0, 30}, {30000, -30000, 30, 0}, {30000, 30000, 30, 30}};
    for (int i = 0; i < 4; ++i) {
        d.Water[i].x = water[i][0], d.Water[i].z = water[i][1];
        d.Water[i].color = 0x00FFFFFF;
        d.Water[i].tu = water[i][2], d.Water[i].tv = water[i][3];
    }

    // Gate 0 and the car coming towards it along the gate's own z axis.
    const float yaw = 0.7853982f;
    d.GatePos = {400, u_heightmap::GetHeight(400, 900), 900};
    d.GateWorld = RotateYMatrix(yaw) * TranslateMatrix(d.GatePos);
    const D3DVECTOR fwd{std::sin(yaw), 0, std::cos(yaw)};
    d.CarPos = d.GatePos - fwd * 1500;
    d.CarPos.y = u_heightmap::GetHeight(d.CarPos.x, d.CarPos.z);
    d.CarWorld = RotateYMatrix(yaw) * TranslateMatrix(d.CarPos);
    d.Car = std::make_unique<TGfxXFile>(m_engine);
    d.Car->SetXFile("auto1.x");
    d.Car->Start();
    for (const char* name : kWheelFrames)
        if (D3DMATRIX* m = d.Car->FrameMatrix(name)) {
            const D3DVECTOR t{m->_41, m->_42, m->_43};
            const float steer = (name[8] == '1' || name[8] == '2') ? 0.25f : 0.0f;
            *m = RotateZMatrix(0.6f) * RotateYMatrix(kPi / 2 + steer) * TranslateMatrix(t);
        }
    // A chase camera behind and above the car.
    d.Eye = d.CarPos - fwd * 750;
    d.Eye.y = std::max(d.CarPos.y, u_heightmap::GetHeight(d.Eye.x, d.Eye.z)) + 330;
    ViewMatrix(d.View, d.Eye, d.CarPos + fwd * 400 + D3DVECTOR{0, 90, 0}, {0, 1, 0});

    LoadScreenSprite(d.SpeedPanel, "speed.bmp");
    LoadScreenSprite(d.TimePanel, "time.bmp");
    LoadScreenSprite(d.ListPanel, "leer.bmp");
}

void TDemoScene::RenderScene(uint32_t tick)
{
    TData& d = *m_d;
    TGfxDevice& dev = *m_engine.Device();
    dev.SetTransform(D3DTRANSFORMSTATE_VIEW, d.View);
    auto visible = [&](D3DVECTOR lo, D3DVECTOR hi) {
        return bsp::BoxInFrustum(lo, hi, d.View, d.Proj) != bsp::BoxOutside;
    };

    m_engine.ClearRecViewPort(GfxRGB(184, 184, 184));
    dev.BeginScene();
    // Sky, turning slowly and following the camera.
    const float a = float(tick) * 0.00003f;
    dev.SetRenderState(D3DRENDERSTATE_LIGHTING, 0);
    dev.SetTransform(D3DTRANSFORMSTATE_WORLD, RotateYMatrix(a) * TranslateMatrix(d.Eye.x, 0, d.Eye.z));
    dev.SetTexture(0, d.SkyTexture->Surface());
    dev.DrawIndexedPrimitive(D3DPT_TRIANGLELIST, D3DFVF_VERTEX, d.Sky.Vertices->data(), uint32_t(d.Sky.VertexCount),
                             d.Sky.Indices->data(), uint32_t(d.Sky.IndexCount));
    // Water, circling.
    const float b = float(tick) * 0.002f, s = 100 * std::sin(b), c = 100 * std::cos(b);
    const float wx[4] = {-30000, -30000, 30000, 30000}, wz[4] = {-30000, 30000, -30000, 30000};
    for (int i = 0; i < 4; ++i) d.Water[i].x = wx[i] + s, d.Water[i].z = wz[i] + c;
    dev.SetTransform(D3DTRANSFORMSTATE_WORLD, IdentityMatrix());
    dev.SetTexture(0, m_water->Surface(0));
    dev.DrawPrimitive(D3DPT_TRIANGLESTRIP, D3DFVF_LVERTEX, d.Water, 4);
    dev.SetRenderState(D3DRENDERSTATE_LIGHTING, 1);
    // Terrain: one draw per selected node.
    dev.SetTexture(0, m_ground->Surface(0));
    m_engine.SetMaterial(1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0);
    // (The node list is kept between frames so that a frame allocates nothing.)
    bsp::ExtractFrustumPlanes(d.View, d.Proj);
    d.Nodes.clear();
    bsp::SelectQuadtreeNodes(bsp::QuadtreeRoot.get(), d.Nodes);
    for (const bsp::TKnoten* n : d.Nodes)
        dev.DrawIndexedPrimitive(D3DPT_TRIANGLELIST, D3DFVF_VERTEX, n->Vertices.data(), uint32_t(n->VertexCount),
                                 n->Indices.data(), uint32_t(n->IndexCount));
    // The car and its shadow on the ground.
    if (visible(d.CarPos - D3DVECTOR{110, 0, 110}, d.CarPos + D3DVECTOR{110, 120, 110})) {
        dev.SetTransform(D3DTRANSFORMSTATE_WORLD, d.CarWorld);
        d.Car->Draw();
        const int n = std::min(d.Shadow.VertexCount, 82);
        for (int i = 0; i < n; ++i) {
            D3DVECTOR w;
            const D3DVERTEX& v = (*d.Shadow.Vertices)[size_t(i)];
            TransformVector({v.x, v.y, v.z}, d.CarWorld, w);
            d.ShadowVertices[i].x = w.x;
            d.ShadowVertices[i].y = u_heightmap::GetHeight(w.x, w.z) + 2;
            d.ShadowVertices[i].z = w.z;
        }
        dev.SetTransform(D3DTRANSFORMSTATE_WORLD, IdentityMatrix());
        dev.SetTexture(0, nullptr);
        m_engine.SetMaterialAlpha(0, 0, 0, 0.6f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
        dev.SetRenderState(D3DRENDERSTATE_SRCBLEND, D3DBLEND_ONE);
        dev.SetRenderState(D3DRENDERSTATE_DESTBLEND, D3DBLEND_SRCALPHA);
        dev.SetRenderState(D3DRENDERSTATE_ALPHABLENDENABLE, 1);
        dev.DrawIndexedPrimitive(D3DPT_TRIANGLELIST, D3DFVF_VERTEX, d.ShadowVertices, uint32_t(n),
                                 d.Shadow.Indices->data(), uint32_t(d.Shadow.IndexCount));
        dev.SetRenderState(D3DRENDERSTATE_ALPHABLENDENABLE, 0);
        m_engine.SetMaterial(1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0);
    }
    // Trees, unlit, cut out by the alpha test.
    dev.SetRenderState(D3DRENDERSTATE_LIGHTING, 0);
    dev.SetRenderState(D3DRENDERSTATE_ALPHABLENDENABLE, 1);
    dev.SetRenderState(D3DRENDERSTATE_SRCBLEND, D3DBLEND_SRCALPHA);
    dev.SetRenderState(D3DRENDERSTATE_DESTBLEND, D3DBLEND_INVSRCALPHA);
    dev.SetRenderState(D3DRENDERSTATE_ALPHATESTENABLE, 1);
    dev.SetRenderState(D3DRENDERSTATE_ALPHAREF, 8);
    dev.SetRenderState(D3DRENDERSTATE_ALPHAFUNC, D3DCMP_GREATEREQUAL);
    dev.SetRenderState(D3DRENDERSTATE_CULLMODE, D3DCULL_NONE);
    for (const TTree& t : d.Trees) {
        if (!visible(t.Pos + D3DVECTOR{-320, 0, -320}, t.Pos + D3DVECTOR{320, 800, 320})) continue;
        dev.SetTexture(0, d.TreeTex[t.Kind]->Surface());
        dev.SetTransform(D3DTRANSFORMSTATE_WORLD, TranslateMatrix(t.Pos));
        dev.DrawIndexedPrimitive(D3DPT_TRIANGLELIST, D3DFVF_LVERTEX, d.TreeVertices, 8, d.TreeIndices, 12);
    }
    dev.SetRenderState(D3DRENDERSTATE_LIGHTING, 1);
    // The gate, lit, its vertices read as pre-lit.
    if (visible(d.GatePos + D3DVECTOR{-600, 0, -600}, d.GatePos + D3DVECTOR{600, 700, 600})) {
        dev.SetTransform(D3DTRANSFORMSTATE_WORLD, d.GateWorld);
        dev.SetTexture(0, d.GateGrid->Surface());
        m_engine.SetMaterial(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
        for (const TGeometry* g : {&d.GateLeft, &d.GateRight})
            dev.DrawIndexedPrimitive(D3DPT_TRIANGLELIST, D3DFVF_LVERTEX, g->Vertices->data(), uint32_t(g->VertexCount),
                                     g->Indices->data(), uint32_t(g->IndexCount));
        dev.SetTexture(0, d.GateTopTex->Surface());
        m_engine.SetMaterial(1, 1, 1, 1, 1, 1, 0, 0, 0, 0.3f, 0.3f, 0.3f, 40);
        dev.DrawIndexedPrimitive(D3DPT_TRIANGLELIST, D3DFVF_LVERTEX, d.GateTop.Vertices->data(),
                                 uint32_t(d.GateTop.VertexCount), d.GateTop.Indices->data(),
                                 uint32_t(d.GateTop.IndexCount));
    }
    dev.SetRenderState(D3DRENDERSTATE_CULLMODE, D3DCULL_CCW);
    dev.SetRenderState(D3DRENDERSTATE_ALPHATESTENABLE, 0);
    dev.SetRenderState(D3DRENDERSTATE_ALPHABLENDENABLE, 0);
    // The HUD panels.
    dev.SetTextureStageState(0, D3DTSS_MAGFILTER, D3DTFG_POINT);
    dev.SetRenderState(D3DRENDERSTATE_ALPHATESTENABLE, 1);
    dev.SetRenderState(D3DRENDERSTATE_ALPHAREF, 8);
    dev.SetRenderState(D3DRENDERSTATE_ALPHAFUNC, D3DCMP_GREATEREQUAL);
    DrawScreenSprite(d.SpeedPanel, 419, 451, 221, 29, 255);
    DrawScreenSprite(d.TimePanel, 0, 451, 221, 29, 255);
    dev.SetRenderState(D3DRENDERSTATE_ALPHATESTENABLE, 0);
    DrawScreenSprite(d.ListPanel, 455, 30, 153, 135, 30);
    dev.SetTextureStageState(0, D3DTSS_MAGFILTER, D3DTFG_LINEAR);
    m_drawCalls = dev.DrawCalls();
    dev.EndScene();
}

void TDemoScene::RenderText()
{
    QPainter* p = m_engine.Canvas();
    if (!p) return;
    p->setBrush(Qt::NoBrush);
    QFont f("verdana");
    f.setPixelSize(11);
    p->setFont(f);
    p->setPen(Qt::white);
    p->drawText(462, 35 + 11, "Spieler:");
    p->drawText(535, 35 + 11, "Tor/Runde:");
    p->drawText(462, 63 + 11, "Spieler 1");
    p->drawText(580, 63 + 11, "3/1");
    f.setPixelSize(21);
    p->setFont(f);
    p->setPen(QColor(65, 114, 180));
    p->drawText(582, 454 + 21, "57");
    p->drawText(10, 454 + 21, "01:23");
    f.setPixelSize(41);
    p->setFont(f);
    p->setPen(Qt::white);
    p->drawText(280, 200 + 41, "GO!");
    m_engine.ReleaseCanvas();
}

void TDemoScene::Render(uint32_t tick)
{
    RenderScene(tick);
    RenderText();
}
