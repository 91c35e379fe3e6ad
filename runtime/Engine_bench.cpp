// Per-frame time of every display pipeline on what users replay: the first
// frame of the synthetic camera's scenes (demo, planes, slanted, particles, and
// the multifocus scene through its three lens types and through one) at
// 1024, 2048 and 4096 square, with the shipped settings and the sequence's white
// image, as the program runs them. One fronto-parallel plane stays as a
// reference row, and a memcpy of the raw bytes gives the scale.
//
// Scenes are rendered once into <build>/bench-scenes/ and read from there later.
//   engine_bench [--benchmark_filter=demo/type:1/side:2048] [--benchmark_repetitions=3]
// Counters: cpu_ms (process CPU time per frame, all threads) beside the wall time;
// items_per_second is frames per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "CCuda.h"
#include "CCudaCompute.h"
#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "IImageAccess.h"
#include "ProfileMeasurement.h"
#include "SequenceGenerator.h"
#include "engine/SyntheticPlane.h"

namespace {

namespace fs = std::filesystem;
using namespace Vy::Engine;

// multifocus-middle: the multifocus scene through its middle lens type alone (single focus).
const std::vector<std::string> kScenes = {"demo",  "planes",     "slanted",          "particles",
                                          "plane", "multifocus", "multifocus-middle"};
constexpr double kMiddleFocalLength = 0.542;  // mm, the multifocus camera's type 2
const std::vector<int> kSides = {1024, 2048, 4096};

struct Frame {
    CCalibration calibration;
    CVyImage raw;
    CVyImage white;  // empty for the reference plane
};

// A copy that owns its pixels (the reader's images are views into its mapping).
CVyImage Owned(const CVyImage& image) {
    CVyImage copy;
    if (!image.IsEmpty()) {
        copy.Create(image.GetWidth(), image.GetHeight(), image.GetPixelType(), image.GetDataType(),
                    image.GetPixelData());
    }
    return copy;
}

fs::path binaryDirectory() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::current_path() : self.parent_path();
}

// The first frame of a preset at one size, rendered into the cache when missing.
Frame LoadSceneFrame(const std::string& scene, int side) {
    Frame frame;
    if (scene == "plane") {
        frame.calibration = Synthetic::MakeCalibration(side);
        frame.raw = Synthetic::RenderPlane(frame.calibration, 4.0, Synthetic::Texture);
        return frame;
    }
    const fs::path cache = binaryDirectory().parent_path() / "bench-scenes";
    const fs::path file = cache / (scene + "-" + std::to_string(side) + ".rays");
    if (!fs::exists(file)) {
        std::cerr << "engine_bench: rendering " << file.string() << " (once)\n";
        Vy::Synth::CreateOptions options;
        options.preset = scene == "multifocus-middle" ? "multifocus" : scene;
        if (scene == "multifocus-middle") {
            options.focalLengths = {kMiddleFocalLength};
        }
        options.size = side;
        options.frames = 1;
        options.truth = false;
        const fs::path partial = file.string() + ".partial";
        Vy::Synth::createSequence(partial.string(), options, nullptr);
        fs::rename(partial, file);
    }
    CSeqFileReader reader;
    reader.Open(file.c_str(), 0);
    CRayImage image;
    reader.StartReading(image);
    reader.ReadFrame(image);
    frame.calibration = reader.GetCalibration();
    frame.white = Owned(image.GetWhiteImage());
    frame.raw = Owned(image);
    return frame;
}

const Frame& SceneFrame(const std::string& scene, int side) {
    static std::map<std::pair<std::string, int>, std::unique_ptr<Frame>> frames;
    auto& frame = frames[{scene, side}];
    if (!frame) {
        frame = std::make_unique<Frame>(LoadSceneFrame(scene, side));
    }
    return *frame;
}

// Display types: 0 pre-processed, 1 total focus, 2 depth colour code, 3 refocus,
// 4 total focus and the profile measurement.
void RunPipeline(CCudaCompute& engine, IImageAccess& access, int type, CVyImage& result) {
    engine.Compute_PreProcess();
    if (type == 0) {
        access.GetImage(Vy::ImageIdPreProcessed, result);
        return;
    }
    if (type == 3) {
        engine.Compute_RefocusBasic();
        access.GetImage(Vy::ImageIdRefocused, result);
        return;
    }
    engine.Compute_DepthRay();
    engine.Compute_DepthMap(LF::Space_VirtualImage);
    if (type == 2) {
        engine.Compute_Depth3D();
        engine.Compute_DepthColorCode(LF::Space_VirtualImage);
        access.GetImage(Vy::ImageIdDepthColorCoded, result);
        return;
    }
    engine.Compute_TotalFocus(LF::Space_VirtualImage);
    access.GetImage(Vy::ImageIdTotalFocus, result);
    if (type == 4) {
        const cv::Mat view(result.GetHeight(), result.GetWidth(), CV_16UC1, const_cast<void*>(result.GetPixelData()));
        benchmark::DoNotOptimize(Vy::Analysis::measureProfile(view).acceptedCount);
    }
}

void BM_Replay(benchmark::State& state, const std::string& scene) {
    const int type = static_cast<int>(state.range(0));
    const Frame& frame = SceneFrame(scene, static_cast<int>(state.range(1)));
    CCudaCompute engine;
    engine.SetCudaDevice(CCuda::GetDevice(0));
    engine.ApplyCalibration(frame.calibration, true);
    engine.GetParams().ImportParameterFromFile((binaryDirectory() / "CurrentSettings-2019-08-09.vyset").c_str());
    if (!frame.white.IsEmpty()) {
        engine.SetWhiteImage(frame.white);
    }
    auto& access = *static_cast<IImageAccess*>(engine.GetInterface(1));
    CVyImage result;
    // The first frame builds the lookups and matching tables; it is not what a frame costs.
    engine.UploadRawImage(frame.raw);
    RunPipeline(engine, access, type, result);
    const std::clock_t cpuStart = std::clock();
    for (auto _ : state) {
        engine.UploadRawImage(frame.raw);
        RunPipeline(engine, access, type, result);
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

}  // namespace

int main(int argc, char** argv) {
    CCuda::EnumerateCudaDevices();
    for (const std::string& scene : kScenes) {
        auto* bench = benchmark::RegisterBenchmark(scene.c_str(), BM_Replay, scene);
        bench->ArgNames({"type", "side"})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
        for (int side : kSides) {
            for (int type = 0; type <= 4; ++type) {
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
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
