// Times the race frame at 640 × 480 with the world set up and ten cars on
// the grid, the camera behind record 0: the world setup with and without
// the quadtree cache, frames per second as the race runs them (the engine's
// idle event, presenting every frame), then frame by frame the share spent
// in our code, in GL calls and the driver's rasterising, in the text painter
// and in presenting; and how many allocations each part makes per frame.
//
//   xvfb-run -a -s '-screen 0 1024x768x24' build/bench/gfx/gfx_bench_raceframe [seconds]
#include <filesystem>
#include "../../tests/gfx/racescene.h"
#include "platform/gfx/gfxdevice.h"
#include "race/hud.h"
#include "race/render.h"
#include "race/setupworld.h"

#include <QApplication>
#include <QEventLoop>
#include <QOpenGLFunctions_3_3_Core>
#include <QOpenGLVersionFunctionsFactory>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>

#include <sys/resource.h>

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
    TGfxEngine engine(&win);
    engine.Loaded();
    const std::string dataDir = std::string(DUNEBOLT_BIN_DIR) + "/";
    TRaceScene scene(engine, &win, dataDir);
    using Clock = std::chrono::steady_clock;
    auto since = [](Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); };
    // The world setup, first without "quadtree.dat" (it is built and
    // written to the player's cache), then with it.
    double setupBuild = 0, setupCache = 0;
    bool built = false, read = false;
    engine.OnAfterStart = [&](TGfxEngine*) {
        std::filesystem::remove(dataDir + "quadtree.dat");
        std::filesystem::remove(bsp::PlayerQuadtreeCachePath());
        auto t = Clock::now();
        scene.Setup();
        setupBuild = since(t);
        built = !spiel::QuadtreeBuild.CacheRead;
        t = Clock::now();
        scene.Setup();
        setupCache = since(t);
        read = spiel::QuadtreeBuild.CacheRead;
    };
    for (int i = 0; i < 20 && !win.isVisible(); ++i) QCoreApplication::processEvents();
    QCoreApplication::processEvents();
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
    // A loop of its own: the application's quit would close the window.
    QEventLoop loop;
    QTimer::singleShot(int(500 + seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
    const double loopSeconds = since(t0);
    const double fps = double(frames) / loopSeconds;
    engine.OnIdle = nullptr;

    // 2. Frame by frame with the parts timed apart; glFinish makes the
    // driver's deferred rasterising part of the frame it belongs to.
    engine.MakeTargetCurrent();
    auto* gl = QOpenGLVersionFunctionsFactory::get<QOpenGLFunctions_3_3_Core>(QOpenGLContext::currentContext());
    TGfxDevice& dev = *engine.Device();
    const int n = 200;
    // Processor time of every thread, the driver's included: on a shared
    // machine it moves less with the other load than the clock does.
    auto cpuSeconds = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        auto s = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
        return s(u.ru_utime) + s(u.ru_stime);
    };
    double cpu0 = 0;
    int drawCalls = 0;
    GLuint fragments = 0;
    double tScene = 0, tGL = 0, tFinish = 0, tText = 0, tPresent = 0;
    long aScene = 0, aText = 0, aPresent = 0;
    for (int i = -20; i < n; ++i) {
        const bool counted = i >= 0;
        if (i == 0) cpu0 = cpuSeconds();
        dev.GLSeconds = 0;
        dev.TimeGLCalls = true;
        long a0 = g_allocations.load();
        auto c0 = Clock::now();
        render::TickCount = [&] { return ms(c0); };
        // Once, outside the timed frames: the fragments the scene writes,
        // which the clock on a shared machine cannot show reliably.
        const bool countFragments = i == -1;
        unsigned query = 0;
        if (countFragments) {
            engine.MakeTargetCurrent();
            gl->glGenQueries(1, &query);
            gl->glBeginQuery(GL_SAMPLES_PASSED, query);
        }
        render::RenderFrame();
        if (countFragments) {
            engine.MakeTargetCurrent();
            gl->glEndQuery(GL_SAMPLES_PASSED);
            gl->glGetQueryObjectuiv(query, GL_QUERY_RESULT, &fragments);
            gl->glDeleteQueries(1, &query);
        }
        drawCalls = dev.DrawCalls();
        auto c1 = Clock::now();
        long a1 = g_allocations.load();
        engine.MakeTargetCurrent();
        gl->glFinish();
        auto c2 = Clock::now();
        long a2 = g_allocations.load();
        spiel::DrawHud();
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
    const double cpu = cpuSeconds() - cpu0;
    const double total = tScene + tFinish + tText + tPresent;
    const double ours = tScene - tGL;
    auto pct = [&](double t) { return 100.0 * t / total; };
    std::printf("race frame 640 x 480, ten cars on the grid, %s\n",
                engine.D3DDevices().empty() ? "?" : TGfxEngine::DeviceText(engine.D3DDevices()[0]).c_str());
    std::printf("world setup: %.3f s building the quadtree%s, %.3f s with the cache%s\n", setupBuild,
                built ? "" : " (?)", setupCache, read ? "" : " (not read!)");
    std::printf("draw calls per frame:            %d\n", drawCalls);
    std::printf("fragments passing the depth test: %u (%.2f per pixel)\n", fragments,
                double(fragments) / (640.0 * 480.0));
    std::printf("frames per second (idle loop):   %.1f  (%ld frames in %.2f s)\n", fps, frames, loopSeconds);
    std::printf("frame by frame, mean of %d:      %.2f ms (%.1f fps)\n", n, 1000 * total / n, n / total);
    std::printf("  processor time, all threads:   %.2f ms\n", 1000 * cpu / n);
    std::printf("  our code (scene, device):      %.2f ms  %5.1f %%\n", 1000 * ours / n, pct(ours));
    std::printf("  GL calls (upload, draw):       %.2f ms  %5.1f %%\n", 1000 * tGL / n, pct(tGL));
    std::printf("  driver rasterising (finish):   %.2f ms  %5.1f %%\n", 1000 * tFinish / n, pct(tFinish));
    std::printf("  HUD text (QPainter):           %.2f ms  %5.1f %%\n", 1000 * tText / n, pct(tText));
    std::printf("  present (blit, compose):       %.2f ms  %5.1f %%\n", 1000 * tPresent / n, pct(tPresent));
    std::printf("allocations per frame: scene %.2f, text %.2f, present %.2f\n", double(aScene) / n, double(aText) / n,
                double(aPresent) / n);
    engine.StopAll();
    return 0;
}
