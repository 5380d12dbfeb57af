// Drawing a car through the real graphics layer (OpenGL under Xvfb): the
// body, the shadow darkening the ground to 60 %, the frustum test and the
// states left behind.
#include <gtest/gtest.h>

#include <QApplication>
#include <QColor>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>

#include "cars/cars.h"
#include "platform/gfx/D3DEngine.h"
#include "platform/gfx/gfxdevice.h"
#include "platform/gfx/gfxengine.h"
#include "race/racestate.h"
#include "world/u_heightmap.h"

namespace {

// A car whose body is a red square 60 × 60 on top (y 125), and the wheel
// frames without meshes.
const char* kCar = R"(xof 0303txt 0032
Material Red { 1.0;0.0;0.0;1.0;; 0.0; 0.0;0.0;0.0;; 0.0;0.0;0.0;; }
Frame body {
  Mesh roof {
    4; -30;125;-30;, -30;125;30;, 30;125;30;, 30;125;-30;;
    1; 4;0,1,2,3;;
    MeshNormals { 1; 0;1;0;; 1; 4;0,0,0,0;; }
    MeshMaterialList { 1; 1; 0;; {Red} }
  }
  Frame x3ds_rad1 { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, -60,30,80,1;; } }
  Frame x3ds_rad3 { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, -60,30,-80,1;; } }
}
)";

// The shadow: a rectangle 200 × 300 in car space, two triangles.
TGeometry ShadowRect(int extraVertices = 0)
{
    TGeometry g;
    g.Vertices = std::make_shared<std::vector<D3DVERTEX>>(4 + extraVertices);
    const float c[4][2] = {{-100, -150}, {-100, 150}, {100, 150}, {100, -150}};
    for (int i = 0; i < 4; ++i) {
        (*g.Vertices)[i].x = c[i][0];
        (*g.Vertices)[i].z = c[i][1];
        (*g.Vertices)[i].ny = 1;
    }
    g.VertexCount = 4 + extraVertices;
    g.Indices = std::make_shared<std::vector<uint16_t>>(std::vector<uint16_t>{0, 1, 2, 0, 2, 3});
    g.IndexCount = 6;
    return g;
}

class DrawCarTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        std::filesystem::create_directories(Dir() + "/3dobjects");
        std::ofstream(Dir() + "/3dobjects/auto1.x") << kCar;
        XFileProgramDir = Dir() + "/";
        // Level ground at height 0 from a black bitmap.
        QImage flat(256, 256, QImage::Format_RGB32);
        flat.fill(Qt::black);
        ASSERT_TRUE(flat.save(QString::fromStdString(Dir() + "/height.bmp"), "BMP"));
        u_heightmap::Terrain = u_heightmap::TD3DHeightSurfaceTerrain{};
        u_heightmap::Terrain.FileName = Dir() + "/height.bmp";
        u_heightmap::LoadHeightmap(u_heightmap::Terrain);
        u_heightmap::BuildCellTable(u_heightmap::Terrain);

        win = std::make_unique<QWidget>();
        win->setFixedSize(640, 480);
        win->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(win.get()));
        engine = new TGfxEngine(win.get());
        engine->PathImages = Dir() + "/";
        engine->Path3DxFiles = Dir() + "/";
        engine->Loaded();
        engine->StartAll();
        ASSERT_TRUE(engine->Active());
        SetCurrentEngine(engine);
        SetRenderDefaults();
        TGfxDevice& d = *engine->Device();
        // Looking straight down from 1000 above the origin, +x to the right,
        // +z up the screen.
        D3DMATRIX view, proj;
        ASSERT_TRUE(ViewMatrix(view, {0, 1000, 0}, {0, 0, 0}, {0, 0, 1}));
        ASSERT_TRUE(ProjectionMatrix(proj, std::numbers::pi_v<float> / 4, 0.75f, 50, 25000));
        d.SetTransform(D3DTRANSFORMSTATE_VIEW, view);
        d.SetTransform(D3DTRANSFORMSTATE_PROJECTION, proj);
        d.SetRenderState(D3DRENDERSTATE_CULLMODE, D3DCULL_NONE);
        d.SetRenderState(D3DRENDERSTATE_LIGHTING, 1);
        d.SetRenderState(D3DRENDERSTATE_AMBIENT, 0xFFFFFFFF);
        d.Clear(D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFFC8C8C8, 1.0f);
        cars::InitCar(car);
    }
    void TearDown() override
    {
        SetCurrentEngine(nullptr);
        delete engine;
        win.reset();
        XFileProgramDir.clear();
    }
    std::string Dir() const { return dir.path().toStdString(); }
    QColor Pixel(int x, int y) { return QColor(engine->GrabRenderSurface().pixel(x, y)); }

    QTemporaryDir dir;
    std::unique_ptr<QWidget> win;
    TGfxEngine* engine = nullptr;
    spiel::TPlayerRec car;
};

::testing::AssertionResult Near(QColor got, int r, int g, int b, int tol = 3)
{
    if (std::abs(got.red() - r) <= tol && std::abs(got.green() - g) <= tol && std::abs(got.blue() - b) <= tol)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got (" << got.red() << ", " << got.green() << ", " << got.blue()
                                         << "), expected (" << r << ", " << g << ", " << b << ")";
}

}  // namespace

TEST_F(DrawCarTest, BodyThenShadowAtSixtyPercentAndStatesAfter)
{
    ASSERT_NE(car.Car, nullptr);
    car.WheelAngle = 1.0f;  // drawn with the matrices of this moment
    EXPECT_TRUE(cars::DrawCar(car, ShadowRect()));
    EXPECT_TRUE(Near(Pixel(320, 240), 255, 0, 0));      // the roof, over its shadow
    EXPECT_TRUE(Near(Pixel(366, 240), 120, 120, 120));  // shadow only: 200 × 0.6
    EXPECT_TRUE(Near(Pixel(320, 160), 120, 120, 120));  // 140 ahead of the origin
    EXPECT_TRUE(Near(Pixel(410, 240), 200, 200, 200));  // beyond the shadow
    const D3DMATRIX wheel = *car.Car->XFile->FrameMatrix("x3ds_rad1");
    EXPECT_NEAR(wheel._41, -60, 1e-4);
    EXPECT_NEAR(wheel._12, std::sin(1.0f), 1e-5);  // Rz(1) × Ry(π/2): row 1 is (0, sin 1, −cos 1)

    TGfxDevice& d = *engine->Device();
    D3DMATRIX w;
    d.GetTransform(D3DTRANSFORMSTATE_WORLD, w);
    EXPECT_TRUE(w == IdentityMatrix());
    uint32_t blend = 1;
    d.GetRenderState(D3DRENDERSTATE_ALPHABLENDENABLE, blend);
    EXPECT_EQ(blend, 0u);
    D3DMATERIAL7 m;
    d.GetMaterial(m);
    EXPECT_EQ(m.diffuse.r, 1);
    EXPECT_EQ(m.ambient.a, 1);
    EXPECT_EQ(d.GetTexture(0), nullptr);
}

TEST_F(DrawCarTest, TurnedCarAndItsShadowFollowTheWorldMatrix)
{
    car.Heading = std::numbers::pi_v<float> / 2;  // the long side now along x
    EXPECT_TRUE(cars::DrawCar(car, ShadowRect()));
    EXPECT_TRUE(Near(Pixel(400, 240), 120, 120, 120));  // 140 along x
    EXPECT_TRUE(Near(Pixel(320, 160), 200, 200, 200));  // 140 along z: no shadow
    EXPECT_NEAR(car.World._31, 1, 1e-6);                // the car's z axis points along x
}

TEST_F(DrawCarTest, OutsideTheViewNothingIsDrawn)
{
    car.Pos = {9000, 0, 0};
    car.WheelAngle = 2.0f;
    const D3DMATRIX before = car.World;
    EXPECT_FALSE(cars::DrawCar(car, ShadowRect()));
    EXPECT_TRUE(Near(Pixel(320, 240), 200, 200, 200));
    EXPECT_TRUE(car.World == before);  // keeps the matrices of its last drawing
    // Partly inside counts as inside: the edge of the view at x ≈ 552.
    car.Pos = {600, 0, 0};
    EXPECT_TRUE(cars::DrawCar(car, ShadowRect()));
    EXPECT_TRUE(Near(Pixel(635, 240), 120, 120, 120));
}

TEST_F(DrawCarTest, AShadowMeshThatDoesNotFitIsLeftOut)
{
    // 83 vertices do not fit the buffer; an index past the vertices would
    // make the device read beyond them.
    EXPECT_TRUE(cars::DrawCar(car, ShadowRect(79)));
    TGeometry bad = ShadowRect();
    (*bad.Indices)[4] = 9;
    EXPECT_TRUE(cars::DrawCar(car, bad));
    EXPECT_TRUE(cars::DrawCar(car, TGeometry{}));
    EXPECT_TRUE(Near(Pixel(320, 240), 255, 0, 0));
    EXPECT_TRUE(Near(Pixel(366, 240), 200, 200, 200));
    // The same mesh within the limit draws.
    EXPECT_TRUE(cars::DrawCar(car, ShadowRect(78)));
    EXPECT_TRUE(Near(Pixel(366, 240), 120, 120, 120));
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::strstr(argv[i], "gtest_list_tests")) return RUN_ALL_TESTS();
    GfxSetDefaultSurfaceFormat();
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
