#include "race/setupworld.h"

#include <numbers>

#include "cars/cars.h"
#include "cars/move.h"
#include "net/u_multiplayer.h"
#include "race/racestate.h"
#include "race/remotecars.h"
#include "race/spiel.h"
#include "world/track.h"
#include "world/u_heightmap.h"

namespace spiel {

TGeometry ShadowMesh, ArrowMesh, GateLeftMesh, GateRightMesh, GateTopMesh, SkyMesh;
std::array<std::unique_ptr<TGfxTexture>, 3> TreeTextures;
std::unique_ptr<TGfxTexture> GateGridTexture, GateTopTexture, SkyTexture;
std::array<D3DLVERTEX, 4> WaterQuad;
TScreenSprite SpeedPanel, TimePanel, ListPanel;
bsp::TQuadtreeBuild QuadtreeBuild;

namespace {

// Near and far bound the view; no fog, so the far plane is the horizon.
constexpr float FieldOfView = std::numbers::pi_v<float> / 4;
constexpr float AspectFactor = 0.7853982f;
constexpr float NearPlane = 50, FarPlane = 25000;

float Ground(float x, float z) { return u_heightmap::GetHeight(x, z); }

// The model's frames as meshes, scaled; the model itself is not kept.
void LoadMeshes(const char* file, float sx, float sy, float sz,
                std::initializer_list<std::pair<const char*, TGeometry*>> frames)
{
    TXObject model;
    LoadXObject(model, file);
    ScaleXObject(model, sx, sy, sz);
    for (const auto& [frame, mesh] : frames) GetXGeometry(model, frame, *mesh);
}

std::unique_ptr<TGfxTexture> StartTexture(TGfxEngine& engine, const std::string& image, uint32_t flags)
{
    auto t = std::make_unique<TGfxTexture>(engine, engine.parent());
    t->Image = image;
    t->Flags = flags;
    t->AutoStart = true;  // back with the engine when it restarts (a resized window)
    t->Start();
    return t;
}

D3DLVERTEX WaterCorner(float x, float z, float tu, float tv)
{
    D3DLVERTEX v;
    v.x = x, v.z = z;
    v.color = 0x00FFFFFF;
    v.tu = tu, v.tv = tv;
    return v;
}

void LoadTerrain(const std::string& baseDir)
{
    u_heightmap::TD3DHeightSurfaceTerrain& t = u_heightmap::Terrain;
    t.FileName = baseDir + "images/height.bmp";
    t.TexRepeatU = t.TexRepeatV = 20;
    t.StepX = t.StepZ = 4;
    t.ScaleX = t.ScaleZ = 100;
    t.HeightScale = 5;
    t.Origin = {-12800, 0, -12800};
    u_heightmap::LoadHeightmap(t);
    u_heightmap::BuildCellTable(t);
}

}  // namespace

void SetupTrack(const std::string& baseDir)
{
    XFileProgramDir = baseDir;
    for (TPlayerRec& r : PlayerTable) cars::InitCar(r);
    PlayerTable[0].Id = u_multiplayer::LocalPlayerId();
    move::CameraTarget = {0, 0, 0};
    move::CameraEye = {0, 1000, -1000};
    u_multiplayer::KeepSessionAlive();
    LoadTerrain(baseDir);
    track::PlaceTrees(baseDir + "images/treemap.bmp", Ground);
    u_multiplayer::KeepSessionAlive();
    track::PlaceGates(Ground);
    PlayerTable[0].NextGate = 0;
    UpdateGoalPos();
}

void SetupWorld(TGfxEngine& engine)
{
    const std::string& baseDir = engine.BaseDir;
    SetCurrentEngine(&engine);
    SetRenderDefaults();
    D3DMATRIX projection;
    ProjectionMatrix(projection, FieldOfView, AspectFactor, NearPlane, FarPlane);
    engine.Device()->SetTransform(D3DTRANSFORMSTATE_PROJECTION, projection);

    SetupTrack(baseDir);
    remotecars::Reset();
    // An installed program directory is not the player's to write: a cache
    // shipped there is used when it fits, else the player's own.
    QuadtreeBuild = bsp::BuildTerrainQuadtree(u_heightmap::Terrain, bsp::PlayerQuadtreeCachePath(),
                                              bsp::QuadtreeCachePath(baseDir));
    u_multiplayer::KeepSessionAlive();

    LoadMeshes("schatten.x", 130, 1, 170, {{"Rechteck01", &ShadowMesh}});
    for (D3DVERTEX& v : *ShadowMesh.Vertices) v.x -= 5, v.y += 5, v.z += 10;
    for (int i = 0; i < 3; ++i)
        TreeTextures[i] = StartTexture(engine, "tree" + std::to_string(i + 1) + ".bmp", d3dTRANSPARENTWHITE);
    LoadMeshes("pfeil.x", 1, 1, 1, {{"pfeil", &ArrowMesh}});
    LoadMeshes("tor.x", 4, 4, 4, {{"torl", &GateLeftMesh}, {"torr", &GateRightMesh}, {"toro", &GateTopMesh}});
    GateGridTexture = StartTexture(engine, "torgitter.bmp", d3dTRANSPARENTBLACK);
    GateTopTexture = StartTexture(engine, "toroben.bmp", d3dTRANSPARENTBLACK);

    u_multiplayer::KeepSessionAlive();
    LoadMeshes("himmel.x", 3000, 1000, 3000, {{"himmel", &SkyMesh}});
    SkyTexture = StartTexture(engine, "himmel.bmp", 0);
    WaterQuad = {WaterCorner(-30000, -30000, 0, 0), WaterCorner(-30000, 30000, 0, 30),
                 WaterCorner(30000, -30000, 30, 0), WaterCorner(30000, 30000, 30, 30)};

    LoadScreenSprite(SpeedPanel, "speed.bmp");
    LoadScreenSprite(TimePanel, "time.bmp");
    LoadScreenSprite(ListPanel, "leer.bmp");
}

void ReleaseWorld()
{
    for (auto& t : TreeTextures) t.reset();
    GateGridTexture.reset();
    GateTopTexture.reset();
    SkyTexture.reset();
    for (TScreenSprite* s : {&SpeedPanel, &TimePanel, &ListPanel}) s->Texture.reset();
}

}  // namespace spiel
