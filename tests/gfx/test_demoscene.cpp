// The demo scene from the generated data: drawn, presented, captured.
#include "demoscene.h"
#include "gfxtest.h"

#include <QOpenGLWidget>

TEST_F(GfxWindowTest, DemoSceneDrawsTheGeneratedWorld) {
    TDemoScene scene(*engine, win.get(), std::string(DUNEBOLT_BIN_DIR) + "/", Dir() + "/");
    std::string setupError;
    engine->OnAfterStart = [&](TGfxEngine*) {
        try {
            scene.Setup();
        } catch (const std::exception& e) {
            setupError = e.what();
        }
    };
    Start();
    ASSERT_EQ(setupError, "");
    scene.Render(123456);
    const QImage frame = engine->GrabRenderSurface();
    engine->Present();
    QCoreApplication::processEvents();
    const QImage shown = static_cast<QOpenGLWidget*>(engine->View())->grabFramebuffer();

    EXPECT_GT(scene.DrawCalls(), 12) << "sky, water, terrain nodes, car, trees, gate, panels";
    // Nothing left at the clear colour in the sky or on the ground.
    const QColor grey(184, 184, 184);
    EXPECT_NE(QColor(frame.pixel(320, 20)), grey);
    EXPECT_NE(QColor(frame.pixel(320, 400)), grey);
    // The presented frame is the drawn one.
    EXPECT_EQ(QColor(shown.pixel(100, 300)), QColor(frame.pixel(100, 300)));
    EXPECT_EQ(QColor(shown.pixel(600, 470)), QColor(frame.pixel(600, 470)));
    // Stopping releases every GL object of the scene's surfaces and textures.
    engine->StopAll();
    EXPECT_EQ(GfxLiveGLObjects(), 0);
}
