// Rendering through the device emulation on the real GL pipeline: pixels of
// known places of the render surface.
#include "gfxtest.h"

#include <cmath>
#include <numbers>

namespace {

D3DTLVERTEX TL(float x, float y, float z, uint32_t color, float u = 0, float v = 0)
{
    return {x, y, z, 0.5f, color, 0, u, v};
}

// A screen rectangle as a strip: top-left, top-right, bottom-left, bottom-right.
void Rect(TGfxDevice& d, float x, float y, float w, float h, float z, uint32_t color)
{
    D3DTLVERTEX v[4] = {TL(x, y, z, color, 0, 0), TL(x + w, y, z, color, 1, 0), TL(x, y + h, z, color, 0, 1),
                        TL(x + w, y + h, z, color, 1, 1)};
    ASSERT_EQ(d.DrawPrimitive(D3DPT_TRIANGLESTRIP, D3DFVF_TLVERTEX, v, 4), D3D_OK);
}

// Colour from the vertices alone, whatever texture is set.
void VertexColourOnly(TGfxDevice& d)
{
    d.SetTexture(0, nullptr);
    d.SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
    d.SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_DIFFUSE);
    d.SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
    d.SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_DIFFUSE);
}

}  // namespace

TEST_F(GfxWindowTest, ClearFillsViewportAndPresentShowsIt)
{
    Start();
    engine->ClearRecViewPort(GfxRGB(184, 184, 184));
    EXPECT_TRUE(Near(Pixel(5, 5), 184, 184, 184, 0));
    EXPECT_TRUE(Near(Pixel(639, 479), 184, 184, 184, 0));
    // Not yet presented: the window does not show it.
    engine->Present();
    QCoreApplication::processEvents();
    EXPECT_TRUE(Near(Shown(320, 240), 184, 184, 184, 0));
    // A frame drawn but not presented is never seen.
    engine->ClearRecViewPort(GfxRGB(10, 200, 30));
    QCoreApplication::processEvents();
    EXPECT_TRUE(Near(Shown(320, 240), 184, 184, 184, 0));
    engine->Present();
    QCoreApplication::processEvents();
    EXPECT_TRUE(Near(Shown(320, 240), 10, 200, 30, 0));
    // Shown again, the window shows the last frame without a present.
    win->hide();
    win->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(win.get()));
    QTest::qWait(100);
    EXPECT_TRUE(Near(Shown(320, 240), 10, 200, 30, 0));
}

TEST_F(GfxWindowTest, TexturedQuadIsModulatedByTheDirectionalLight)
{
    WriteBitmap(File("stone.bmp"), Solid(4, 4, QColor(200, 100, 40)));
    Start();
    TGfxTexture tex(*engine);
    tex.Image = "stone.bmp";
    tex.Start();
    TGfxDevice& d = *engine->Device();
    SetRenderDefaults();
    D3DMATRIX proj;
    ASSERT_TRUE(ProjectionMatrix(proj, float(std::numbers::pi / 4), 0.75f, 1, 100));
    d.SetTransform(D3DTRANSFORMSTATE_PROJECTION, proj);
    d.SetTransform(D3DTRANSFORMSTATE_VIEW, IdentityMatrix());
    TGfxLight light(*engine);
    light.DiffuseColor = 0x808080;  // 0.5
    light.AmbientColor = 0x404040;  // 0.25
    light.DirectionX = 0, light.DirectionY = 0, light.DirectionZ = 1;
    light.Start();
    engine->SetMaterial(1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0);
    d.SetRenderState(D3DRENDERSTATE_LIGHTING, 1);
    d.SetTexture(0, tex.Surface());
    // Left quad faces the camera (normal −z), right quad faces away (+z);
    // both wound clockwise as seen from the camera.
    auto quad = [&](float x0, float nz) {
        D3DVERTEX v[4];
        const float xs[4] = {x0, x0 + 2, x0, x0 + 2}, ys[4] = {1, 1, -1, -1};
        for (int i = 0; i < 4; ++i) {
            v[i].x = xs[i], v[i].y = ys[i], v[i].z = 10;
            v[i].nz = nz;
            v[i].tu = float(i & 1), v[i].tv = float(i >> 1);
        }
        const uint16_t idx[6] = {0, 1, 2, 2, 1, 3};
        ASSERT_EQ(d.DrawIndexedPrimitive(D3DPT_TRIANGLELIST, D3DFVF_VERTEX, v, 4, idx, 6), D3D_OK);
    };
    engine->ClearRecViewPort(0);
    d.BeginScene();
    quad(-3, -1);
    quad(1, 1);
    d.EndScene();
    // Lit: 0.25 ambient + 0.5 diffuse; turned away: ambient only.
    EXPECT_TRUE(Near(Pixel(320 - 160, 240), 150, 75, 30));
    EXPECT_TRUE(Near(Pixel(320 + 160, 240), 50, 25, 10));
    // Lighting off: the texture as it is (D3DVERTEX has a white diffuse).
    d.SetRenderState(D3DRENDERSTATE_LIGHTING, 0);
    engine->ClearRecViewPort(0);
    quad(-3, -1);
    EXPECT_TRUE(Near(Pixel(320 - 160, 240), 200, 100, 40));
}

TEST_F(GfxWindowTest, SpriteOpacity255IsOpaqueAnd128Blends)
{
    WriteBitmap(File("panel.bmp"), Solid(8, 8, QColor(255, 0, 0)));
    Start();
    SetRenderDefaults();
    TScreenSprite sprite;
    LoadScreenSprite(sprite, "panel.bmp");
    engine->ClearRecViewPort(GfxRGB(0, 0, 255));
    engine->Device()->BeginScene();
    DrawScreenSprite(sprite, 10, 10, 100, 50, 255);
    DrawScreenSprite(sprite, 200, 10, 100, 50, 128);
    engine->Device()->EndScene();
    EXPECT_TRUE(Near(Pixel(50, 30), 255, 0, 0, 0));
    // Stage-0 alpha blends the texture alpha with the factor's: a = f + f(1 − f).
    const double f = 128.0 / 255.0, a = f + f * (1 - f);
    EXPECT_TRUE(Near(Pixel(250, 30), int(std::lround(255 * a)), 0, int(std::lround(255 * (1 - a))), 2));
    // Outside the sprites the background stays.
    EXPECT_TRUE(Near(Pixel(150, 30), 0, 0, 255, 0));
    // The sprite leaves the texture factor opaque and blending off.
    uint32_t v = 0;
    engine->Device()->GetRenderState(D3DRENDERSTATE_TEXTUREFACTOR, v);
    EXPECT_EQ(v, 0xFF000000u);
    engine->Device()->GetRenderState(D3DRENDERSTATE_ALPHABLENDENABLE, v);
    EXPECT_EQ(v, 0u);
}

TEST_F(GfxWindowTest, TransparentWhiteHidesOnlyExactWhite)
{
    QImage white = Solid(2, 1, Qt::white), black = Solid(2, 1, Qt::black);
    white.setPixel(1, 0, qRgb(254, 255, 255));
    black.setPixel(1, 0, qRgb(0, 0, 1));
    WriteBitmap(File("tree.bmp"), white);
    WriteBitmap(File("gate.bmp"), black);
    Start();
    SetRenderDefaults();
    TGfxDevice& d = *engine->Device();
    d.SetTextureStageState(0, D3DTSS_MAGFILTER, D3DTFG_POINT);
    d.SetRenderState(D3DRENDERSTATE_ALPHATESTENABLE, 1);
    d.SetRenderState(D3DRENDERSTATE_ALPHAREF, 8);
    d.SetRenderState(D3DRENDERSTATE_ALPHAFUNC, D3DCMP_GREATEREQUAL);
    TScreenSprite whiteSprite, blackSprite;
    LoadScreenSprite(whiteSprite, "tree.bmp");
    blackSprite.Texture = std::make_shared<TGfxTexture>(*engine);
    blackSprite.Texture->Image = "gate.bmp";
    blackSprite.Texture->Flags = d3dTRANSPARENTBLACK;
    blackSprite.Texture->Start();
    for (int i = 0; i < 4; ++i) blackSprite.V[i].tu = float(i & 1), blackSprite.V[i].tv = float(i >> 1);
    engine->ClearRecViewPort(GfxRGB(0, 0, 200));
    DrawScreenSprite(whiteSprite, 0, 0, 200, 100, 255);
    DrawScreenSprite(blackSprite, 0, 200, 200, 100, 255);
    EXPECT_TRUE(Near(Pixel(50, 50), 0, 0, 200, 0)) << "exact white is transparent";
    EXPECT_TRUE(Near(Pixel(150, 50), 254, 255, 255, 0)) << "near white is drawn";
    EXPECT_TRUE(Near(Pixel(50, 250), 0, 0, 200, 0)) << "exact black is transparent";
    EXPECT_TRUE(Near(Pixel(150, 250), 0, 0, 1, 0)) << "near black is drawn";
}

TEST_F(GfxWindowTest, CounterClockwiseCullingHidesBackFaces)
{
    Start();
    TGfxDevice& d = *engine->Device();
    VertexColourOnly(d);
    engine->ClearRecViewPort(0);
    // Clockwise on screen (y down): top-left, top-right, bottom-left.
    D3DTLVERTEX front[3] = {TL(100, 100, 0.5f, 0xFF00FF00), TL(200, 100, 0.5f, 0xFF00FF00),
                            TL(100, 200, 0.5f, 0xFF00FF00)};
    D3DTLVERTEX back[3] = {TL(400, 100, 0.5f, 0xFFFF0000), TL(400, 200, 0.5f, 0xFFFF0000),
                           TL(500, 100, 0.5f, 0xFFFF0000)};
    d.DrawPrimitive(D3DPT_TRIANGLELIST, D3DFVF_TLVERTEX, front, 3);
    d.DrawPrimitive(D3DPT_TRIANGLELIST, D3DFVF_TLVERTEX, back, 3);
    EXPECT_TRUE(Near(Pixel(120, 120), 0, 255, 0, 0));
    EXPECT_TRUE(Near(Pixel(420, 120), 0, 0, 0, 0));
    // D3DCULL_NONE (the trees) shows both.
    d.SetRenderState(D3DRENDERSTATE_CULLMODE, D3DCULL_NONE);
    d.DrawPrimitive(D3DPT_TRIANGLELIST, D3DFVF_TLVERTEX, back, 3);
    EXPECT_TRUE(Near(Pixel(420, 120), 255, 0, 0, 0));

    // The same through the 3D transform: ground triangles seen from above
    // are front faces when wound clockwise seen from above.
    d.SetRenderState(D3DRENDERSTATE_CULLMODE, D3DCULL_CCW);
    d.SetRenderState(D3DRENDERSTATE_LIGHTING, 0);
    D3DMATRIX view, proj;
    ASSERT_TRUE(ViewMatrix(view, {0, 100, 0}, {0, 0, 0.01f}, {0, 1, 0}));
    ASSERT_TRUE(ProjectionMatrix(proj, float(std::numbers::pi / 2), 0.75f, 1, 1000));
    d.SetTransform(D3DTRANSFORMSTATE_VIEW, view);
    d.SetTransform(D3DTRANSFORMSTATE_PROJECTION, proj);
    d.SetTransform(D3DTRANSFORMSTATE_WORLD, IdentityMatrix());
    D3DLVERTEX g[4];
    const float gx[4] = {-50, 50, -50, 50}, gz[4] = {50, 50, -50, -50};
    for (int i = 0; i < 4; ++i) g[i].x = gx[i], g[i].z = gz[i], g[i].color = 0xFFFFFF00;
    const uint16_t up[3] = {0, 1, 2}, down[3] = {0, 2, 1};
    engine->ClearRecViewPort(0);
    d.DrawIndexedPrimitive(D3DPT_TRIANGLELIST, D3DFVF_LVERTEX, g, 4, up, 3);
    EXPECT_TRUE(Near(Pixel(300, 220), 255, 255, 0, 0)) << "front face seen from above";
    engine->ClearRecViewPort(0);
    d.DrawIndexedPrimitive(D3DPT_TRIANGLELIST, D3DFVF_LVERTEX, g, 4, down, 3);
    EXPECT_TRUE(Near(Pixel(300, 220), 0, 0, 0, 0)) << "back face culled";
}

TEST_F(GfxWindowTest, DepthTestAndBlendFactors)
{
    Start();
    TGfxDevice& d = *engine->Device();
    VertexColourOnly(d);
    // The depth test keeps the nearer surface.
    engine->ClearRecViewPort(0);
    Rect(d, 0, 0, 200, 200, 0.3f, 0xFFFF0000);
    Rect(d, 100, 100, 200, 200, 0.6f, 0xFF00FF00);
    EXPECT_TRUE(Near(Pixel(150, 150), 255, 0, 0, 0)) << "nearer red stays";
    EXPECT_TRUE(Near(Pixel(250, 250), 0, 255, 0, 0));
    d.SetRenderState(D3DRENDERSTATE_ZENABLE, 0);
    Rect(d, 100, 100, 200, 200, 0.6f, 0xFF0000FF);
    EXPECT_TRUE(Near(Pixel(150, 150), 0, 0, 255, 0)) << "depth test off";

    // Each blend factor takes effect by itself.
    d.SetRenderState(D3DRENDERSTATE_ALPHABLENDENABLE, 1);
    d.SetRenderState(D3DRENDERSTATE_SRCBLEND, D3DBLEND_ONE);
    d.SetRenderState(D3DRENDERSTATE_DESTBLEND, D3DBLEND_ZERO);
    engine->ClearRecViewPort(GfxRGB(0, 0, 255));
    Rect(d, 0, 0, 100, 100, 0.5f, 0xFFFF0000);
    EXPECT_TRUE(Near(Pixel(50, 50), 255, 0, 0, 0)) << "the background replaced";
    d.SetRenderState(D3DRENDERSTATE_DESTBLEND, D3DBLEND_ONE);
    Rect(d, 0, 0, 100, 100, 0.5f, 0xFF00FF00);
    EXPECT_TRUE(Near(Pixel(50, 50), 255, 255, 0, 0)) << "the second square adds";
}

// The device builds a program per combination of these states: values set
// once hold in every program drawn with afterwards, and back in the first.
// The alpha test as the game sets it: greater or equal to the reference.
TEST_F(GfxWindowTest, AlphaTestAndStatesSetOnceHoldAcrossTheStatesThatChangeTheProgram)
{
    Start();
    TGfxDevice& d = *engine->Device();
    VertexColourOnly(d);
    d.SetRenderState(D3DRENDERSTATE_TEXTUREFACTOR, 0x80FF00FFu);
    d.SetRenderState(D3DRENDERSTATE_ALPHAREF, 0x40);
    d.SetRenderState(D3DRENDERSTATE_ALPHAFUNC, D3DCMP_GREATEREQUAL);
    engine->ClearRecViewPort(0);
    // Colour from the factor: magenta.
    d.SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TFACTOR);
    Rect(d, 0, 0, 100, 100, 0.5f, 0xFF00FF00);
    EXPECT_TRUE(Near(Pixel(50, 50), 255, 0, 255, 0));
    // The alpha test on: alpha 0x3F fails and 0x40 passes the reference set
    // before this program existed.
    d.SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_DIFFUSE);
    d.SetRenderState(D3DRENDERSTATE_ALPHATESTENABLE, 1);
    Rect(d, 0, 0, 100, 100, 0.5f, 0x3F00FF00);
    EXPECT_TRUE(Near(Pixel(50, 50), 255, 0, 255, 0)) << "alpha 0x3F fails";
    Rect(d, 200, 0, 100, 100, 0.5f, 0x4000FF00);
    EXPECT_TRUE(Near(Pixel(250, 50), 0, 255, 0, 0)) << "alpha 0x40 passes";
    // Back to the first program, the test off: drawn with the factor set.
    d.SetRenderState(D3DRENDERSTATE_ALPHATESTENABLE, 0);
    d.SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TFACTOR);
    Rect(d, 200, 0, 100, 100, 0.5f, 0x3F00FF00);
    EXPECT_TRUE(Near(Pixel(250, 50), 255, 0, 255, 0));
}

TEST_F(GfxWindowTest, MipLevelChosenBySizeShowsItsOwnBitmap)
{
    WriteBitmap(File("w1.bmp"), Solid(64, 64, QColor(255, 0, 0)));
    // A level of the wrong size is scaled to half the one above.
    WriteBitmap(File("w2.bmp"), Solid(20, 20, QColor(0, 255, 0)));
    WriteBitmap(File("w3.bmp"), Solid(16, 16, QColor(0, 0, 255)));
    TGfxSurface water(*engine, win.get());
    water.SurfaceType = dxstMipMaps;
    water.Images = {"w1.bmp", "w2.bmp", "w3.bmp"};
    water.AutoStart = true;
    Start();
    ASSERT_TRUE(water.Active()) << "the window's surfaces start with the engine";
    ASSERT_NE(water.Surface(0), nullptr);
    EXPECT_EQ(water.Surface(0)->levels, 3);
    TGfxDevice& d = *engine->Device();
    d.SetTexture(0, water.Surface(0));
    d.SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
    d.SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
    d.SetTextureStageState(0, D3DTSS_MINFILTER, D3DTFN_POINT);
    d.SetTextureStageState(0, D3DTSS_MAGFILTER, D3DTFG_POINT);
    d.SetTextureStageState(0, D3DTSS_MIPFILTER, D3DTFP_POINT);
    engine->ClearRecViewPort(0);
    // The whole texture on 64, 32 and 16 pixels: one texel per pixel at
    // level 0, 1 and 2 (the smaller the rectangle, the farther away).
    Rect(d, 0, 0, 64, 64, 0.5f, 0xFFFFFFFF);
    Rect(d, 100, 0, 32, 32, 0.5f, 0xFFFFFFFF);
    Rect(d, 200, 0, 16, 16, 0.5f, 0xFFFFFFFF);
    EXPECT_TRUE(Near(Pixel(30, 30), 255, 0, 0, 0));
    EXPECT_TRUE(Near(Pixel(115, 15), 0, 255, 0, 0));
    EXPECT_TRUE(Near(Pixel(207, 7), 0, 0, 255, 0));
    // The game's LOD bias of −1.3 picks the finer level sooner.
    SetRenderDefaults();
    d.SetTextureStageState(0, D3DTSS_COLORARG2, D3DTA_TEXTURE);
    d.SetTextureStageState(0, D3DTSS_MIPFILTER, D3DTFP_POINT);
    engine->ClearRecViewPort(0);
    Rect(d, 200, 0, 16, 16, 0.5f, 0xFFFFFFFF);
    const QColor c = Pixel(207, 7);
    EXPECT_EQ(c.blue(), 0) << "level 2 no longer chosen";
    EXPECT_GT(c.red() + c.green(), 200);
}

TEST_F(GfxWindowTest, BadDrawsAreRefused)
{
    Start();
    TGfxDevice& d = *engine->Device();
    D3DTLVERTEX v[3] = {};
    const uint16_t bad[3] = {0, 1, 3};
    EXPECT_EQ(d.DrawIndexedPrimitive(D3DPT_TRIANGLELIST, D3DFVF_TLVERTEX, v, 3, bad, 3), DDERR_INVALIDPARAMS);
    EXPECT_EQ(d.DrawPrimitive(D3DPRIMITIVETYPE(99), D3DFVF_TLVERTEX, v, 3), D3DERR_INVALIDPRIMITIVETYPE);
    EXPECT_EQ(d.DrawPrimitive(D3DPT_TRIANGLELIST, 0x1234, v, 3), DDERR_INVALIDPARAMS);
    EXPECT_EQ(d.DrawPrimitive(D3DPT_TRIANGLELIST, D3DFVF_TLVERTEX, nullptr, 3), DDERR_INVALIDPARAMS);
    EXPECT_EQ(d.SetRenderState(D3DRENDERSTATETYPE(400), 1), DDERR_INVALIDPARAMS);
    EXPECT_EQ(d.SetTextureStageState(9, D3DTSS_COLOROP, 1), DDERR_INVALIDPARAMS);
}
