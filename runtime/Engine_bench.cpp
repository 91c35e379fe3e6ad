// Per-frame time of the display pipelines at several raw sizes, next to a
// memcpy of the same raw bytes for scale. Run: engine_bench [--benchmark_repetitions=3]
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <vector>

#include "CCudaCompute.h"
#include "IImageAccess.h"
#include "engine/SyntheticPlane.h"

namespace {

using namespace Vy::Engine;

struct Scene {
    CCalibration calibration;
    CVyImage raw;
};

const Scene& SceneOfSide(int32_t side) {
    static std::map<int32_t, std::unique_ptr<Scene>> scenes;
    auto& scene = scenes[side];
    if (!scene) {
        scene = std::make_unique<Scene>();
        scene->calibration = Synthetic::MakeCalibration(side);
        scene->raw = Synthetic::RenderPlane(scene->calibration, 4.0, Synthetic::Texture);
    }
    return *scene;
}

// Display types: 0 pre-processed, 1 and 4 total focus, 2 depth colour code, 3 refocus.
uint32_t RunPipeline(CCudaCompute& engine, int type) {
    engine.Compute_PreProcess();
    if (type == 0) {
        return Vy::ImageIdPreProcessed;
    }
    if (type == 3) {
        engine.Compute_RefocusBasic();
        return Vy::ImageIdRefocused;
    }
    engine.Compute_DepthRay();
    engine.Compute_DepthMap(LF::Space_VirtualImage);
    if (type == 2) {
        engine.Compute_Depth3D();
        engine.Compute_DepthColorCode(LF::Space_VirtualImage);
        return Vy::ImageIdDepthColorCoded;
    }
    engine.Compute_TotalFocus(LF::Space_VirtualImage);
    return Vy::ImageIdTotalFocus;
}

void BM_DisplayType(benchmark::State& state) {
    const int type = static_cast<int>(state.range(0));
    const Scene& scene = SceneOfSide(static_cast<int32_t>(state.range(1)));
    CCudaCompute engine;
    engine.ApplyCalibration(scene.calibration, true);
    auto* access = static_cast<IImageAccess*>(engine.GetInterface(1));
    CVyImage result;
    // The first frame builds the matching tables; it is not what a frame costs.
    engine.UploadRawImage(scene.raw);
    access->GetImage(RunPipeline(engine, type), result);
    // Process CPU time (all threads) per frame: comparable on a machine others are loading too.
    const std::clock_t cpuStart = std::clock();
    for (auto _ : state) {
        engine.UploadRawImage(scene.raw);
        access->GetImage(RunPipeline(engine, type), result);
        benchmark::DoNotOptimize(result.GetPixelData());
    }
    state.counters["cpu_ms_per_frame"] = 1000.0 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC /
                                         static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("frames/s = items_per_second");
}

void BM_MemcpyRawBytes(benchmark::State& state) {
    const size_t bytes = static_cast<size_t>(state.range(0)) * state.range(0);
    std::vector<uint8_t> from(bytes, 1), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

BENCHMARK(BM_DisplayType)
    ->ArgNames({"type", "side"})
    ->ArgsProduct({{0, 1, 2, 3, 4}, {1024, 2048, 4096}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_MemcpyRawBytes)->ArgName("side")->Arg(1024)->Arg(2048)->Arg(4096)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
