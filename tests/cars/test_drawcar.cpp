// Drawing a car through the real graphics layer (OpenGL under Xvfb), seen
// from 1000 straight above on level ground: the body over its shadow, the
// shadow darkening the ground to 60 %, the view test, and the states left
// for what is drawn next.
#include <filesystem>
#include <fstream>
#include <numbers>
#include <tuple>

#include "cars/cars.h"
#include "gfxtest.h"
#include "platform/gfx/gfxdevice.h"
#include "world/u_heightmap.h"

namespace {

// The body is a red square 60 × 60 at the height of the roof (125); the
// wheel frame has no mesh.
const char* kCar = R"(xof 0303txt 0032
Material Red { 1.0;0.0;0.0;1.0;; 0.0; 0.0;0.0;0.0;; 0.0;0.0;0.0;; }
Frame body { Mesh roof { 4; -30;125;-30;, -30;125;30;, 30;125;30;, 30;125;-30;; 1; 4;0,1,2,3;;
  MeshNormals { 1; 0;1;0;; 1; 4;0,0,0,0;; } MeshMaterialList { 1; 1; 0;; {Red} } }
  Frame x3ds_rad1 { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, -60,30,80,1;; } } })";

// The shadow in car space: 200 across and 300 along, two triangles, and
// extra vertices that no triangle uses.
TGeometry ShadowRect(int extra = 0)
{
    TGeometry g{std::make_shared<std::vector<uint16_t>>(std::vector<uint16_t>{0, 1, 2, 0, 2, 3}), 6,
                std::make_shared<std::vector<D3DVERTEX>>(4 + extra), 4 + extra};
    for (int i = 0; i < 4; ++i) (*g.Vertices)[i] = {(i < 2) ? -100.0f : 100.0f, 0, (i % 3) ? 150.0f : -150.0f};
    return g;
}

class DrawCar : public GfxWindowTest {
protected:
    void SetUp() override
    {
        GfxWindowTest::SetUp();
        std::filesystem::create_directories(Dir() + "/3dobjects");
        std::ofstream(Dir() + "/3dobjects/auto1.x") << kCar;
        XFileProgramDir = Dir() + "/";
        WriteBitmap(File("height.bmp"), Solid(256, 256, Qt::black));
        u_heightmap::Terrain.FileName = Dir() + "/height.bmp";
        u_heightmap::LoadHeightmap(u_heightmap::Terrain);
        u_heightmap::BuildCellTable(u_heightmap::Terrain);
        Start();
        SetRenderDefaults();
        D3DMATRIX view, proj;
        ASSERT_TRUE(ViewMatrix(view, {0, 1000, 0}, {0, 0, 0}, {0, 0, 1}));  // +x right, +z up the screen
        ASSERT_TRUE(ProjectionMatrix(proj, std::numbers::pi_v<float> / 4, 0.75f, 50, 25000));
        Device().SetTransform(D3DTRANSFORMSTATE_VIEW, view);
        Device().SetTransform(D3DTRANSFORMSTATE_PROJECTION, proj);
        Device().SetRenderState(D3DRENDERSTATE_CULLMODE, D3DCULL_NONE);
        Device().SetRenderState(D3DRENDERSTATE_LIGHTING, 1);
        Device().SetRenderState(D3DRENDERSTATE_AMBIENT, 0xFFFFFFFF);
        Device().Clear(D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFFC8C8C8, 1.0f);
        cars::InitCar(car);
    }
    TGfxDevice& Device() { return *engine->Device(); }

    spiel::TPlayerRec car;
};

}  // namespace

TEST_F(DrawCar, TheBodyOverItsShadowAndCleanStatesAfter)
{
    car.WheelAngle = 1;  // drawn with the matrices of this moment
    EXPECT_TRUE(cars::DrawCar(car, ShadowRect()));
    EXPECT_EQ(Pixel(320, 240), QColor(255, 0, 0));
    EXPECT_TRUE(Near(Pixel(366, 240), 120, 120, 120));  // beside the body: 200 × 0.6
    EXPECT_TRUE(Near(Pixel(320, 160), 120, 120, 120));  // 140 ahead of the origin
    EXPECT_TRUE(Near(Pixel(410, 240), 200, 200, 200));  // beyond the shadow
    EXPECT_NEAR(car.Car->XFile->FrameMatrix("x3ds_rad1")->_12, std::sin(1.0f), 1e-5);
    D3DMATRIX world;
    Device().GetTransform(D3DTRANSFORMSTATE_WORLD, world);
    EXPECT_TRUE(world == IdentityMatrix());
    uint32_t blend = 1;
    Device().GetRenderState(D3DRENDERSTATE_ALPHABLENDENABLE, blend);
    EXPECT_EQ(blend, 0u);
    D3DMATERIAL7 m;
    Device().GetMaterial(m);
    EXPECT_EQ(std::make_tuple(m.diffuse.r, m.ambient.a), std::make_tuple(1.0f, 1.0f));
    EXPECT_EQ(Device().GetTexture(0), nullptr);
}

TEST_F(DrawCar, NothingOutsideTheViewAndNoShadowMeshThatDoesNotFit)
{
    car.Pos = {9000, 0, 0};
    EXPECT_FALSE(cars::DrawCar(car, ShadowRect()));
    EXPECT_TRUE(Near(Pixel(320, 240), 200, 200, 200));
    // Partly inside counts as inside: the edge of the view is at x ≈ 552.
    car.Pos = {600, 0, 0};
    EXPECT_TRUE(cars::DrawCar(car, ShadowRect()));
    EXPECT_TRUE(Near(Pixel(635, 240), 120, 120, 120));
    // 83 vertices do not fit the buffer, and an index past the vertices
    // would make the device read beyond them: the body alone is drawn.
    car.Pos = {};
    TGeometry bad = ShadowRect();
    (*bad.Indices)[4] = 9;
    for (const TGeometry& g : {ShadowRect(79), bad, TGeometry{}}) EXPECT_TRUE(cars::DrawCar(car, g));
    EXPECT_TRUE(Near(Pixel(366, 240), 200, 200, 200));
    EXPECT_TRUE(cars::DrawCar(car, ShadowRect(78)));
    EXPECT_TRUE(Near(Pixel(366, 240), 120, 120, 120));
}
