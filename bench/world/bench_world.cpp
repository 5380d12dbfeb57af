// Quadtree build by hash against the linear vertex search it replaces, the
// build from the cache file, and the height query. Prints each figure and,
// in the same run, the ratios to the linear reference.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <QImage>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>

#include "world/bsp.h"
#include "world/u_heightmap.h"

namespace {

std::filesystem::path ScratchDir()
{
    static const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("dunebolt_bench_world_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    return dir;
}

// The generated terrain when the data have been made, else rolling hills.
const u_heightmap::TD3DHeightSurfaceTerrain& BenchTerrain()
{
    static u_heightmap::TD3DHeightSurfaceTerrain t = [] {
        u_heightmap::TD3DHeightSurfaceTerrain r;
        const std::string generated = std::string(DUNEBOLT_BIN_DIR) + "/images/height.bmp";
        if (std::filesystem::exists(generated)) {
            r.FileName = generated;
        } else {
            QImage img(256, 256, QImage::Format_RGB888);
            for (int y = 0; y < 256; ++y)
                for (int x = 0; x < 256; ++x) {
                    const int g = static_cast<int>(128 + 90 * std::sin(x / 17.0) * std::cos(y / 23.0));
                    img.setPixel(x, y, qRgb(g, g, g));
                }
            r.FileName = (ScratchDir() / "height.bmp").string();
            img.save(QString::fromStdString(r.FileName), "BMP");
        }
        std::printf("terrain: %s\n", r.FileName.c_str());
        u_heightmap::LoadHeightmap(r);
        return r;
    }();
    return t;
}

void BuildBySearch(benchmark::State& state, bsp::TVertexSearch search)
{
    const auto& t = BenchTerrain();
    const std::string cache = (ScratchDir() / "quadtree.dat").string();
    bsp::QuadtreeSearch = search;
    for (auto _ : state) {
        std::filesystem::remove(cache);
        const bsp::TQuadtreeBuild b = bsp::BuildTerrainQuadtree(t, cache);
        benchmark::DoNotOptimize(bsp::QuadtreeRoot.get());
        if (!b.CacheWritten) state.SkipWithError("cache not written");
    }
    bsp::QuadtreeSearch = bsp::TVertexSearch::Hash;
}

void BM_QuadtreeBuildLinear(benchmark::State& state) { BuildBySearch(state, bsp::TVertexSearch::Linear); }
void BM_QuadtreeBuildHash(benchmark::State& state) { BuildBySearch(state, bsp::TVertexSearch::Hash); }

void BM_QuadtreeBuildFromCache(benchmark::State& state)
{
    const auto& t = BenchTerrain();
    const std::string cache = (ScratchDir() / "quadtree.dat").string();
    std::filesystem::remove(cache);
    bsp::BuildTerrainQuadtree(t, cache);
    for (auto _ : state) {
        const bsp::TQuadtreeBuild b = bsp::BuildTerrainQuadtree(t, cache);
        benchmark::DoNotOptimize(bsp::QuadtreeRoot.get());
        if (!b.CacheRead) state.SkipWithError("cache not read");
    }
}

void BM_GetHeight(benchmark::State& state)
{
    u_heightmap::Terrain = BenchTerrain();
    u_heightmap::BuildCellTable(u_heightmap::Terrain);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> d(-12399.0f, 12399.0f);
    std::vector<std::pair<float, float>> points(4096);
    for (auto& p : points) p = {d(rng), d(rng)};
    size_t i = 0;
    for (auto _ : state) {
        const auto& p = points[i++ & 4095];
        benchmark::DoNotOptimize(u_heightmap::GetHeight(p.first, p.second));
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_QuadtreeBuildLinear)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_QuadtreeBuildHash)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_QuadtreeBuildFromCache)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_GetHeight)->Unit(benchmark::kNanosecond);

// Keeps each benchmark's time per iteration for the ratios.
class TRatioReporter : public benchmark::ConsoleReporter {
public:
    // CPU time: the machine is shared, and wall time counts other work.
    std::map<std::string, double> Seconds;
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs)
            if (!r.error_occurred)
                Seconds[r.benchmark_name()] = r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto get = [&](const char* name) {
        auto it = reporter.Seconds.find(name);
        return it == reporter.Seconds.end() ? NAN : it->second;
    };
    const double linear = get("BM_QuadtreeBuildLinear/min_time:1.000");
    const double hash = get("BM_QuadtreeBuildHash/min_time:1.000");
    const double cached = get("BM_QuadtreeBuildFromCache/min_time:1.000");
    const double height = get("BM_GetHeight");
    std::printf("\n(CPU time per build or query)\n");
    std::printf("quadtree build, linear search (reference): %10.3f ms\n", linear * 1e3);
    std::printf("quadtree build, hash of positions:         %10.3f ms  (%.1fx faster than linear)\n", hash * 1e3,
                linear / hash);
    std::printf("quadtree build, from quadtree.dat:         %10.3f ms  (%.1fx faster than linear, %.2fx of hash)\n",
                cached * 1e3, linear / cached, hash / cached);
    std::printf("GetHeight per query:                       %10.1f ns\n", height * 1e9);
    std::error_code ec;
    std::filesystem::remove_all(ScratchDir(), ec);
    benchmark::Shutdown();
    return 0;
}
