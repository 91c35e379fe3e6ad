// Per-frame time of the engine in every display type on what users replay: the
// first frame of the synthetic camera's scenes (demo, planes, slanted, particles,
// and the multifocus scene through its three lens types and through one) at
// 1024, 2048 and 4096 square, with the shipped settings and the sequence's white
// image, as the program runs them. One fronto-parallel plane stays as a
// reference row, and a memcpy of the raw bytes gives the scale. Display type 4
// is type 1's engine steps and the profile measurement, which
// profile_measurement_bench times on the same frames.
//
// Scenes are rendered once into <build>/bench-scenes/ and read from there later.
//   engine_bench [--benchmark_filter=demo/type:1/side:2048] [--benchmark_repetitions=3]
// Counters: cpu_ms (process CPU time per frame, all threads) beside the wall time;
// items_per_second is frames per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include "BenchReplay.h"
#include "BenchScenes.h"

namespace {

const std::vector<std::string> kScenes = {"demo",  "planes",     "slanted",          "particles",
                                          "plane", "multifocus", "multifocus-middle"};
const std::vector<int> kSides = {1024, 2048, 4096};
constexpr int kLastType = 3;

void BM_Replay(benchmark::State& state, const std::string& scene) {
    const int type = static_cast<int>(state.range(0));
    const Vy::Bench::SceneFrame* frame = nullptr;
    try {
        frame = &Vy::Bench::CachedSceneFrame(scene, static_cast<int>(state.range(1)));
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return;
    }
    Vy::Bench::ReplayEngine engine(*frame);
    CVyImage result;
    // The first frame builds the lookups and matching tables; it is not what a frame costs.
    engine.Run(type, result);
    const std::clock_t cpuStart = std::clock();
    for (auto _ : state) {
        engine.Run(type, result);
        benchmark::DoNotOptimize(result.GetPixelData());
    }
    state.counters["cpu_ms"] = 1000.0 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC /
                               static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
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

const bool kRegistered = [] {
    for (const std::string& scene : kScenes) {
        auto* bench = benchmark::RegisterBenchmark(scene.c_str(), BM_Replay, scene);
        bench->ArgNames({"type", "side"})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
        for (int side : kSides) {
            for (int type = 0; type <= kLastType; ++type) {
                bench->Args({type, side});
            }
        }
    }
    benchmark::RegisterBenchmark("memcpy", BM_MemcpyRawBytes)
        ->ArgName("side")
        ->Arg(1024)
        ->Arg(2048)
        ->Arg(4096)
        ->Unit(benchmark::kMillisecond);
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
