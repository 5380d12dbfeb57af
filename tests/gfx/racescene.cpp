#include "racescene.h"

#include "cars/cars.h"
#include "cars/move.h"
#include "race/hud.h"
#include "race/render.h"
#include "race/setupworld.h"
#include "race/spiel.h"

TRaceScene::TRaceScene(TGfxEngine& engine, QWidget* window, const std::string& dataDir) : m_engine(engine)
{
    auto mipMaps = [&](std::vector<std::string> images) {
        auto s = std::make_unique<TGfxSurface>(engine, window);
        s->SurfaceType = dxstMipMaps;
        s->Images = std::move(images);
        s->AutoStart = true;
        return s;
    };
    m_water = mipMaps({"wasser.bmp", "wasser2.bmp", "wasser3.bmp", "wasser4.bmp", "wasser5.bmp"});
    m_ground = mipMaps({"boden1.bmp", "boden2.bmp", "boden3.bmp"});
    m_light = std::make_unique<TGfxLight>(engine, window);
    m_light->DirectionX = 1, m_light->DirectionY = -1, m_light->DirectionZ = 0;
    m_light->DiffuseColor = 0x80889B;
    m_light->AmbientColor = 0x4F4F4F;
    engine.BaseDir = dataDir;
    engine.PathImages = "images/";
    engine.Path3DxFiles = "3dobjects/";
    render::WaterSurface = m_water.get();
    render::GroundSurface = m_ground.get();
    spiel::HudHooks.PlayerName = [](uint32_t id) { return "Spieler " + std::to_string(id); };
}

TRaceScene::~TRaceScene()
{
    spiel::ReleaseWorld();
    render::WaterSurface = render::GroundSurface = nullptr;
    spiel::HudHooks = {};
    move::OnViewMatrix = nullptr;
}

void TRaceScene::Setup(int cars)
{
    spiel::SetupWorld(m_engine);
    for (int i = 0; i < cars; ++i) {
        spiel::TPlayerRec& r = spiel::PlayerTable[size_t(i)];
        r.Id = uint32_t(i + 1);
        r.Pos = spiel::StartGridPosition(i);
        cars::UpdateCarMatrices(r);
    }
    move::OnViewMatrix = [this](const D3DMATRIX& view) {
        m_engine.Device()->SetTransform(D3DTRANSFORMSTATE_VIEW, view);
    };
    for (int i = 0; i < 60; ++i)
        move::UpdateCamera(spiel::PlayerTable[0].World, spiel::PlayerTable[0].Pos, 0.1, move::TerrainHeight);
}

void TRaceScene::Render(uint32_t tick)
{
    render::TickCount = [tick] { return tick; };
    render::RenderFrame();
    spiel::DrawHud();
}
