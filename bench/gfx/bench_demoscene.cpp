// Times the demo scene at 640 × 480: frames per second as the race runs
// them (the engine's idle event, presenting every frame), then frame by
// frame the share spent in our code, in GL calls and the driver's
// rasterising, in the text painter and in presenting; and how many
// allocations each part makes per frame.
//
//   xvfb-run -a -s '-screen 0 1024x768x24' build/bench/gfx/gfx_bench_demoscene [seconds]
#include "../../tests/gfx/demoscene.h"

#include <QApplication>
#include <QOpenGLFunctions_3_3_Core>
#include <QOpenGLVersionFunctionsFactory>
#include <QOpenGLWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>

// Allocations made on the main thread, where the engine and the game run;
// the driver's own worker threads are not ours.
thread_local long t_allocations = 0;
struct TMainCount {
    long load() const { return t_allocations; }
} g_allocations;

void* operator new(std::size_t n)
{
    ++t_allocations;

    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

int main(int argc, char** argv)
{
    const double seconds = (argc > 1) ? std::atof(argv[1]) : 5.0;
    GfxSetDefaultSurfaceFormat();
    QApplication app(argc, argv);
    QWidget win;
    win.setFixedSize(640, 480);
    win.show();
    QTemporaryDir scratch;
    TGfxEngine engine(&win);
    engine.Loaded();
    TDemoScene scene(engine, &win, std::string(DUNEBOLT_BIN_DIR) + "/", scratch.path().toStdString() + "/");
    engine.OnAfterStart = [&](TGfxEngine*) { scene.Setup(); };
    for (int i = 0; i < 20 && !win.isVisible(); ++i) QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    using Clock = std::chrono::steady_clock;
    auto ms = [](Clock::time_point t) {
        return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
    };

    // 1. As the race runs: the idle event draws and presents each frame.
    long frames = 0;
    engine.OnIdle = [&](TGfxEngine* e, bool& done) {
        done = false;
        scene.Render(ms(Clock::now()));
        e->Present();
        ++frames;
    };
    try {
        engine.StartAll();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "start failed: %s\n", e.what());
        return 1;
    }
    Clock::time_point t0;
    QTimer::singleShot(500, [&] {  // after a warm-up
        frames = 0;
        t0 = Clock::now();
    });
    QTimer::singleShot(int(500 + seconds * 1000), &app, &QCoreApplication::quit);
    app.exec();
    const double loopSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const double fps = double(frames) / loopSeconds;
    engine.OnIdle = nullptr;

    // 2. Frame by frame with the parts timed apart; glFinish makes the
    // driver's deferred rasterising part of the frame it belongs to.
    auto* view = static_cast<QOpenGLWidget*>(engine.View());
    auto* gl = QOpenGLVersionFunctionsFactory::get<QOpenGLFunctions_3_3_Core>(view->context());
    TGfxDevice& dev = *engine.Device();
    const int n = 200;
    double tScene = 0, tGL = 0, tFinish = 0, tText = 0, tPresent = 0;
    long aScene = 0, aText = 0, aPresent = 0;
    for (int i = -20; i < n; ++i) {
        const bool counted = i >= 0;
        dev.GLSeconds = 0;
        dev.TimeGLCalls = true;
        long a0 = g_allocations.load();
        auto c0 = Clock::now();
        scene.RenderScene(ms(c0));
        auto c1 = Clock::now();
        long a1 = g_allocations.load();
        engine.MakeTargetCurrent();
        gl->glFinish();
        auto c2 = Clock::now();
        long a2 = g_allocations.load();
        scene.RenderText();
        engine.MakeTargetCurrent();
        gl->glFinish();
        auto c3 = Clock::now();
        long a3 = g_allocations.load();
        engine.Present();
        QCoreApplication::processEvents();
        gl->glFinish();
        auto c4 = Clock::now();
        long a4 = g_allocations.load();
        dev.TimeGLCalls = false;
        if (!counted) continue;
        tScene += std::chrono::duration<double>(c1 - c0).count();
        tGL += dev.GLSeconds;
        tFinish += std::chrono::duration<double>(c2 - c1).count();
        tText += std::chrono::duration<double>(c3 - c2).count();
        tPresent += std::chrono::duration<double>(c4 - c3).count();
        aScene += a1 - a0;
        aText += (a3 - a2) + (a2 - a1);
        aPresent += a4 - a3;
    }
    const double total = tScene + tFinish + tText + tPresent;
    const double ours = tScene - tGL;
    auto pct = [&](double t) { return 100.0 * t / total; };
    std::printf("demo scene 640 x 480, %s\n",
                engine.D3DDevices().empty() ? "?" : TGfxEngine::DeviceText(engine.D3DDevices()[0]).c_str());
    std::printf("draw calls per frame:            %d\n", scene.DrawCalls());
    std::printf("frames per second (idle loop):   %.1f  (%ld frames in %.2f s)\n", fps, frames, loopSeconds);
    std::printf("frame by frame, mean of %d:      %.2f ms (%.1f fps)\n", n, 1000 * total / n, n / total);
    std::printf("  our code (scene, device):      %.2f ms  %5.1f %%\n", 1000 * ours / n, pct(ours));
    std::printf("  GL calls (upload, draw):       %.2f ms  %5.1f %%\n", 1000 * tGL / n, pct(tGL));
    std::printf("  driver rasterising (finish):   %.2f ms  %5.1f %%\n", 1000 * tFinish / n, pct(tFinish));
    std::printf("  HUD text (QPainter):           %.2f ms  %5.1f %%\n", 1000 * tText / n, pct(tText));
    std::printf("  present (blit, compose):       %.2f ms  %5.1f %%\n", 1000 * tPresent / n, pct(tPresent));
    std::printf("  our code : driver ratio        1 : %.1f\n", (tGL + tFinish) / ours);
    std::printf("allocations per frame: scene %.2f, text %.2f, present %.2f\n", double(aScene) / n, double(aText) / n,
                double(aPresent) / n);
    // Where the scene's allocations come from: the engine's calls alone.
    {
        D3DTLVERTEX v[4] = {};
        for (auto& x : v) x.rhw = 0.5f;
        long a = g_allocations.load();
        for (int i = 0; i < 100; ++i) dev.DrawPrimitive(D3DPT_TRIANGLESTRIP, D3DFVF_TLVERTEX, v, 4);
        // The first draws of a new state compile the driver's shader variant.
        std::printf("allocations in 100 device draws: %ld (the driver's shader compiler)\n", g_allocations.load() - a);
        a = g_allocations.load();
        for (int i = 0; i < 100; ++i) dev.DrawPrimitive(D3DPT_TRIANGLESTRIP, D3DFVF_TLVERTEX, v, 4);
        std::printf("allocations in 100 more device draws: %ld\n", g_allocations.load() - a);
        a = g_allocations.load();
        for (int i = 0; i < 100; ++i) dev.SetTransform(D3DTRANSFORMSTATE_WORLD, IdentityMatrix());
        std::printf("allocations in 100 transforms: %ld\n", g_allocations.load() - a);
        a = g_allocations.load();
        for (int i = 0; i < 100; ++i) engine.ClearRecViewPort(0);
        std::printf("allocations in 100 clears: %ld\n", g_allocations.load() - a);
        TXObject car;
        LoadXObject(car, std::string(DUNEBOLT_BIN_DIR) + "/3dobjects/auto1.x");
        GfxDrawXModel(engine, *car.XFile);
        a = g_allocations.load();
        for (int i = 0; i < 100; ++i) GfxDrawXModel(engine, *car.XFile);
        std::printf("allocations in 100 model draws: %ld\n", g_allocations.load() - a);
    }
    engine.StopAll();
    return 0;
}
