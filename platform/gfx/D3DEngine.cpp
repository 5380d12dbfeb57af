#include "platform/gfx/D3DEngine.h"

#include "platform/d3d/frameclock.h"

#include <algorithm>
#include <cstring>

namespace {
TGfxEngine* g_engine = nullptr;

uint32_t FloatBits(float f)
{
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}
}  // namespace

void SetCurrentEngine(TGfxEngine* engine)
{
    g_engine = engine;
    ResetFrameClock();
}

TGfxEngine* CurrentEngine() { return g_engine; }

void SetRenderDefaults()
{
    TGfxDevice* d = g_engine ? g_engine->Device() : nullptr;
    if (!d) return;
    d->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
    d->SetTextureStageState(0, D3DTSS_COLORARG2, D3DTA_DIFFUSE);
    d->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_MODULATE);
    d->SetTextureStageState(0, D3DTSS_MINFILTER, D3DTFN_LINEAR);
    d->SetTextureStageState(0, D3DTSS_MAGFILTER, D3DTFG_LINEAR);
    d->SetTextureStageState(1, D3DTSS_MAGFILTER, D3DTFG_LINEAR);
    d->SetTextureStageState(0, D3DTSS_MIPFILTER, D3DTFP_LINEAR);
    d->SetTextureStageState(0, D3DTSS_MIPMAPLODBIAS, FloatBits(-1.3f));
    d->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_BLENDFACTORALPHA);
    d->SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_TEXTURE);
    d->SetTextureStageState(0, D3DTSS_ALPHAARG2, D3DTA_TFACTOR);
    d->SetRenderState(D3DRENDERSTATE_DITHERENABLE, 0);
    d->SetRenderState(D3DRENDERSTATE_SPECULARENABLE, 0);
    d->SetRenderState(D3DRENDERSTATE_NORMALIZENORMALS, 1);
    d->SetRenderState(D3DRENDERSTATE_ZENABLE, 1);
    d->SetRenderState(D3DRENDERSTATE_SHADEMODE, D3DSHADE_GOURAUD);
    d->SetRenderState(D3DRENDERSTATE_FILLMODE, D3DFILL_SOLID);
    d->SetRenderState(D3DRENDERSTATE_CULLMODE, D3DCULL_CCW);
    d->SetRenderState(D3DRENDERSTATE_SRCBLEND, D3DBLEND_SRCALPHA);
    d->SetRenderState(D3DRENDERSTATE_DESTBLEND, D3DBLEND_INVSRCALPHA);
}

void LoadScreenSprite(TScreenSprite& sprite, const std::string& fileName)
{
    if (!g_engine) throw EGfxError("LoadScreenSprite: " + fileName + ": no current engine\n");
    auto tex = std::make_shared<TGfxTexture>(*g_engine, g_engine->parent());
    tex->Image = fileName;
    tex->Flags = d3dTRANSPARENTWHITE;
    tex->AutoStart = true;  // back with the engine when it restarts
    tex->Start();
    sprite.Texture = std::move(tex);
    const float uv[4][2] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
    for (int i = 0; i < 4; ++i) {
        sprite.V[i].tu = uv[i][0];
        sprite.V[i].tv = uv[i][1];
    }
}

void DrawScreenSprite(TScreenSprite& sprite, float x, float y, float width, float height, int opacity)
{
    TGfxDevice* d = g_engine ? g_engine->Device() : nullptr;
    if (!d) return;
    const float px[4] = {x, x + width, x, x + width};
    const float py[4] = {y, y, y + height, y + height};
    for (int i = 0; i < 4; ++i) {
        D3DTLVERTEX& v = sprite.V[i];
        v.sx = px[i];
        v.sy = py[i];
        v.sz = 0;
        v.rhw = 0.5f;
        v.color = 0x00FFFFFF;
        v.specular = 0;
    }
    uint32_t zOn = 0;
    d->GetRenderState(D3DRENDERSTATE_ZENABLE, zOn);
    d->SetRenderState(D3DRENDERSTATE_ZENABLE, 0);
    d->SetRenderState(D3DRENDERSTATE_SRCBLEND, D3DBLEND_SRCALPHA);
    d->SetRenderState(D3DRENDERSTATE_DESTBLEND, D3DBLEND_INVSRCALPHA);
    d->SetTexture(0, sprite.Texture ? sprite.Texture->Surface() : nullptr);
    if (opacity != 255) {
        d->SetRenderState(D3DRENDERSTATE_ALPHABLENDENABLE, 1);
        d->SetRenderState(D3DRENDERSTATE_TEXTUREFACTOR, uint32_t(std::clamp(opacity, 0, 255)) << 24);
    }
    d->DrawPrimitive(D3DPT_TRIANGLESTRIP, D3DFVF_TLVERTEX, sprite.V, 4);
    d->SetRenderState(D3DRENDERSTATE_ALPHABLENDENABLE, 0);
    if (zOn) d->SetRenderState(D3DRENDERSTATE_ZENABLE, 1);
    d->SetRenderState(D3DRENDERSTATE_TEXTUREFACTOR, 0xFF000000u);
}
