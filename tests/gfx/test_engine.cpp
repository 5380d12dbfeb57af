// The engine component: its lists and combo boxes, start and stop, the
// error routine, full-screen modes and activation, models.
#include "gfxtest.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QMessageBox>
#include <QTimer>

#include <fstream>
#include <numbers>
#include <regex>

namespace {

// The main window's filter: no 8- or 24-bit modes, nothing under 640 × 480.
void WindowFilter(TGfxEngine*, const TGfxVideoMode& m, bool& accept)
{
    if (m.BitsPerPixel == 8 || m.BitsPerPixel == 24 || m.Width < 640 || m.Height < 480) accept = false;
}

// A 2 × 2 square at depth z from x 0 to 2, facing the camera.
std::string Square(const char* name, const char* z, const char* material)
{
    return std::string("Mesh ") + name + " { 4; 0;1;" + z + ";, 2;1;" + z + ";, 2;-1;" + z + ";, 0;-1;" + z +
           ";; 1; 4;0,1,2,3;; MeshNormals { 1; 0;0;-1;; 1; 4;0,0,0,0;; } MeshMaterialList { 1; 1; 0;; {" + material +
           "} } }\n";
}

// An opaque red square on the left, and in a child frame on the right a
// half transparent blue one in front of an opaque green one.
const std::string kModel = std::string("xof 0303txt 0032\n") +
                           "Material Red { 1;0;0;1;; 0; 0;0;0;; 0;0;0;; }\n"
                           "Material Blue { 0;0;1;0.5;; 0; 0;0;0;; 0;0;0;; }\n"
                           "Material Green { 0;1;0;1;; 0; 0;0;0;; 0;0;0;; }\n"
                           "Frame body { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, -3,0,0,1;; }\n" +
                           Square("red", "10", "Red") +
                           "Frame glass { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 4,0,0,1;; }\n" +
                           Square("blue", "9", "Blue") + Square("green", "10", "Green") + "} }\n";

}  // namespace

TEST_F(GfxWindowTest, ListsAndTheirComboTexts)
{
    QComboBox drivers(win.get()), devices(win.get()), modes(win.get()), zbuffers(win.get());
    engine->ComboBoxDrivers = &drivers;
    engine->ComboBoxD3DDevices = &devices;
    engine->ComboBoxVideoModes = &modes;
    engine->ComboBoxZBuffer = &zbuffers;
    engine->OnAcceptVideoMode = WindowFilter;
    engine->Loaded();
    ASSERT_GE(drivers.count(), 1);
    ASSERT_EQ(devices.count(), 1);
    EXPECT_TRUE(devices.itemText(0).startsWith("OpenGL 3.3 Core, ")) << devices.itemText(0).toStdString();
    ASSERT_GE(zbuffers.count(), 2);
    EXPECT_EQ(zbuffers.itemText(1).toStdString(), "Z Buffer Depth:16, Stencil Depth:0");

    // "Windowed" at the desktop's size, then the full-screen modes the
    // filter let through, none larger than the screen.
    ASSERT_GE(modes.count(), 3);
    EXPECT_EQ(modes.itemText(0).toStdString(), "Windowed");
    EXPECT_EQ(modes.itemText(1).toStdString(), "640 x 480 x 16");
    const std::regex text(R"((\d+) x (\d+) x (16|32))");
    const auto& list = engine->VideoModes();
    ASSERT_EQ(int(list.size()), modes.count());
    EXPECT_EQ(list[0].Width, 1024);  // the Xvfb screen of the test run
    for (int i = 1; i < modes.count(); ++i) {
        std::smatch m;
        const std::string t = modes.itemText(i).toStdString();
        ASSERT_TRUE(std::regex_match(t, m, text)) << t;
        EXPECT_TRUE(std::stoi(m[1]) >= 640 && std::stoi(m[2]) >= 480 && list[size_t(i)].Width <= 1024) << t;
        EXPECT_EQ(list[size_t(i)].Windowed, 0);
    }
    // Choosing in the combo box selects the entry.
    EXPECT_FALSE(engine->IsFullScreenMode());
    modes.setCurrentIndex(2);
    EXPECT_EQ(engine->SelectedVideoMode(), 2);
    EXPECT_TRUE(engine->IsFullScreenMode());
    zbuffers.setCurrentIndex(1);
    modes.setCurrentIndex(0);
    Start();
    EXPECT_EQ(engine->UsedZBuffer(), 1);
    engine->StopAll();
    engine->UseZBuffer = false;
    Start();
    EXPECT_EQ(engine->UsedZBuffer(), -1);
    engine->StopAll();

    // Without a filter the small modes are offered too; rejecting all empties the list.
    engine->OnAcceptVideoMode = nullptr;
    engine->GetVideoModes();
    EXPECT_EQ(modes.itemText(1).toStdString(), "320 x 200 x 16");
    engine->OnAcceptVideoMode = [](TGfxEngine*, const TGfxVideoMode&, bool& accept) { accept = false; };
    engine->GetVideoModes();
    EXPECT_EQ(modes.count(), 0);
    EXPECT_THROW(engine->StartAll(), EGfxError);
    EXPECT_FALSE(engine->Active());
}

TEST_F(GfxWindowTest, RepeatedStartsAndStopsLeakNothing)
{
    TGfxSurface karte(*engine, win.get());
    karte.SurfaceType = dxstMipMaps;
    karte.AutoStart = true;
    karte.Images = {"b1.bmp", "b2.bmp"};
    WriteBitmap(File("b1.bmp"), Solid(32, 32, Qt::darkGreen));
    WriteBitmap(File("b2.bmp"), Solid(16, 16, Qt::green));
    TGfxLight light(*engine, win.get());
    int afterStart = 0, afterStop = 0;
    engine->OnAfterStart = [&](TGfxEngine* e) {
        ++afterStart;
        EXPECT_TRUE(e->Active());
        EXPECT_TRUE(karte.Active());
        EXPECT_TRUE(light.Active());
    };
    engine->OnAfterStop = [&](TGfxEngine*) { ++afterStop; };
    const int baseline = GfxLiveGLObjects();
    const int children = int(win->children().size());
    for (int i = 0; i < 10; ++i) {
        engine->StartAll();
        engine->StartAll();  // a second start while running does nothing
        ASSERT_TRUE(engine->Active());
        engine->ClearRecViewPort(GfxRGB(i, 0, 0));
        engine->Present();
        engine->StopAll();
        ASSERT_EQ(GfxLiveGLObjects(), baseline) << "start " << i;
        ASSERT_FALSE(karte.Active());
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(afterStart, 10);
    EXPECT_EQ(afterStop, 10);
    EXPECT_EQ(int(win->children().size()), children);
    EXPECT_EQ(engine->SurfaceCount(), 0);
}

TEST_F(GfxWindowTest, MissingOrBrokenFilesStopTheEngineWithItsErrorText)
{
    const char notABitmap[] = "BM\x10\0\0\0garbage garbage";
    std::ofstream(Dir() + "/broken.bmp") << std::string(notABitmap, sizeof notABitmap - 1);
    std::ofstream(Dir() + "/bad.x") << "xof 0303txt 0032\nFrame a { Frame b {";
    std::ofstream(Dir() + "/notex.x") << "xof 0303txt 0032\nMesh m { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,1,2;; "
                                         "MeshMaterialList { 1; 1; 0;; Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; "
                                         "TextureFilename { \"gone.bmp\"; } } } }";
    auto load = [&](const std::string& file) {
        if (file.ends_with(".bmp")) {
            TGfxTexture texture(*engine);
            texture.Image = file;
            texture.Start();
        } else {
            TGfxXFile model(*engine);
            model.SetXFile(file);
            model.Start();
        }
    };
    const std::pair<const char*, const char*> cases[] = {
        {"nothere.bmp", "TGfxTexture: cannot create a texture from nothere.bmp\nFile not found"},
        {"broken.bmp", "not a readable bitmap"},
        {"auto9.x", "auto9.x"},
        {"bad.x", "bad.x"},
        {"notex.x", "gone.bmp"},
    };
    for (const auto& [file, error] : cases) {
        Start();
        try {
            load(file);
            ADD_FAILURE() << file << ": no error";
        } catch (const EGfxError& e) {
            EXPECT_EQ(std::string(e.what()), engine->LastErrorText());
        }
        EXPECT_NE(engine->LastErrorText().find(error), std::string::npos) << engine->LastErrorText();
        EXPECT_FALSE(engine->Active()) << file;
        EXPECT_EQ(GfxLiveGLObjects(), 0) << file;
    }

    // With ExceptionIgnore the engine keeps running.
    engine->ExceptionIgnore = true;
    Start();
    EXPECT_THROW(load("nothere.bmp"), EGfxError);
    EXPECT_TRUE(engine->Active());
}

TEST_F(GfxWindowTest, ExceptionInTheIdleEventEndsInTheExceptionBox)
{
    QString shown;
    int exceptions = 0;
    engine->OnException = [&](TGfxEngine*) { ++exceptions; };
    engine->OnIdle = [&](TGfxEngine* e, bool& done) {
        done = false;
        TGfxTexture t(*e);
        t.Image = "missing.bmp";
        t.Start();
    };
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->windowTitle() + "|" + box->text();
            box->accept();
        }
    });
    closer.start(20);
    Start();
    for (int i = 0; i < 100 && shown.isEmpty(); ++i) QTest::qWait(20);
    EXPECT_EQ(shown.section('|', 0, 0), "Exception");
    EXPECT_TRUE(shown.contains("missing.bmp\nFile not found\nTGfxTexture")) << shown.toStdString();
    EXPECT_EQ(exceptions, 1);
    EXPECT_FALSE(engine->Active());
}

TEST_F(GfxWindowTest, WindowedEngineKeepsRunningWhenTheFocusGoes)
{
    Start();
    engine->ApplicationDeactivated();
    EXPECT_TRUE(engine->Active());
    engine->AlwaysStopOnDeActivating = true;
    engine->ApplicationDeactivated();
    EXPECT_FALSE(engine->Active());
    engine->ApplicationActivated();
    EXPECT_TRUE(engine->Active());
    EXPECT_EQ(engine->RenderSize(), QSize(640, 480));
    EXPECT_EQ(engine->SourceRect, QRect(0, 0, 640, 480));
    EXPECT_EQ(engine->DestRect, QRect(win->mapToGlobal(QPoint(0, 0)), QSize(640, 480)));
}

TEST_F(GfxWindowTest, ModelDrawsOpaqueThenBlendedAndRestoresStates)
{
    std::ofstream(Dir() + "/model.x") << kModel;
    Start();
    TGfxXFile model(*engine);
    model.SetXFile("model.x");
    model.Start();
    ASSERT_TRUE(model.Active());

    TGfxDevice& d = *engine->Device();
    SetRenderDefaults();
    D3DMATRIX proj;
    ASSERT_TRUE(ProjectionMatrix(proj, float(std::numbers::pi / 4), 0.75f, 1, 100));
    d.SetTransform(D3DTRANSFORMSTATE_PROJECTION, proj);
    const D3DMATRIX world = TranslateMatrix(0, 0, 0);
    d.SetTransform(D3DTRANSFORMSTATE_WORLD, world);
    D3DMATERIAL7 mat;
    mat.diffuse = {0.1f, 0.2f, 0.3f, 1};
    d.SetMaterial(mat);
    d.SetRenderState(D3DRENDERSTATE_SRCBLEND, D3DBLEND_ONE);
    d.SetRenderState(D3DRENDERSTATE_DESTBLEND, D3DBLEND_ZERO);
    engine->ClearRecViewPort(0);
    // Lit only by the material's ambient term: light the model fully.
    d.SetRenderState(D3DRENDERSTATE_LIGHTING, 1);
    d.SetRenderState(D3DRENDERSTATE_AMBIENT, 0xFFFFFFFF);
    model.Draw();
    // Red opaque on the left (x −3..−1), at x 1..3 the blue glass in front
    // of the green square, blended over it although drawn before it.
    EXPECT_TRUE(Near(Pixel(200, 240), 255, 0, 0, 2));
    EXPECT_TRUE(Near(Pixel(440, 240), 0, 128, 128, 3));
    D3DMATERIAL7 after;
    d.GetMaterial(after);
    EXPECT_EQ(after.diffuse.g, 0.2f);
    for (auto [state, value] : {std::pair{D3DRENDERSTATE_SRCBLEND, uint32_t(D3DBLEND_ONE)},
                                {D3DRENDERSTATE_DESTBLEND, uint32_t(D3DBLEND_ZERO)},
                                {D3DRENDERSTATE_ALPHABLENDENABLE, 0u}}) {
        uint32_t v = 99;
        d.GetRenderState(state, v);
        EXPECT_EQ(v, value) << state;
    }
    D3DMATRIX w;
    d.GetTransform(D3DTRANSFORMSTATE_WORLD, w);
    EXPECT_TRUE(w == world);
}
