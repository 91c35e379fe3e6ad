// Time to measure one total-focus frame, without and with the particle table
// (depth, size, tracks): on the total focus the engine makes of the synthetic
// camera's scenes (the frames engine_bench times, rendered once into
// <build>/bench-scenes/), and on a grid of small discs of the given side length.
//   profile_measurement_bench [--benchmark_filter=demo/table:0/side:2048]
// Scene rows: <scene>/table:<0|1>/side:<sensor side>, cpu_ms the process CPU time
// per frame, items_per_second frames per second. A display type 4 frame costs
// engine_bench's type 1 and this row's time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <exception>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "BenchReplay.h"
#include "BenchScenes.h"
#include "CalibrationSamples.h"
#include "ParticleTable.h"
#include "ProfileMeasurement.h"
#include "ProfileSettings.h"

namespace {

const std::vector<std::string> kScenes = {"demo", "particles"};
const std::vector<int> kSides = {1024, 2048, 4096};

// The particle table of one frame as the processor makes it: its rows, their tracks and their text.
size_t particleTable(const cv::Mat& totalFocus, const cv::Mat& depth, const Vy::Analysis::ProfileResult& result,
                     const Vy::Analysis::TableGeometry& geometry, Vy::Analysis::ParticleTracker& tracker,
                     double timeMs) {
    std::vector<Vy::Analysis::ParticleRow> rows =
        Vy::Analysis::measureParticles(totalFocus, depth, result.blobs, geometry);
    Vy::Analysis::trackParticles(tracker, timeMs, rows);
    std::string text;
    for (const Vy::Analysis::ParticleRow& row : rows) {
        text += Vy::Analysis::formatParticleRow(row);
    }
    benchmark::DoNotOptimize(text.data());
    return rows.size();
}

// What the measurement reads in type 4: the frame's total focus and, for the table, its virtual depth.
struct MeasuredFrame {
    cv::Mat totalFocus;  // CV_16UC1
    cv::Mat depth;       // CV_32FC1, empty when the engine gave none of the total focus's size
    CCalibration calibration;
};

MeasuredFrame EngineOutput(const Vy::Bench::SceneFrame& frame) {
    Vy::Bench::ReplayEngine engine(frame);
    CVyImage totalFocus, depth;
    engine.Run(1, totalFocus);
    engine.Images().GetImage(Vy::ImageIdVirtualDepth, depth);
    MeasuredFrame measured;
    measured.calibration = frame.calibration;
    measured.totalFocus =
        cv::Mat(totalFocus.GetHeight(), totalFocus.GetWidth(), CV_16UC1, const_cast<void*>(totalFocus.GetPixelData()))
            .clone();
    if (depth.GetFormat().GetBitDepth() == 32 && depth.GetWidth() == totalFocus.GetWidth() &&
        depth.GetHeight() == totalFocus.GetHeight()) {
        measured.depth =
            cv::Mat(depth.GetHeight(), depth.GetWidth(), CV_32FC1, const_cast<void*>(depth.GetPixelData())).clone();
    }
    return measured;
}

// The measurement of one frame as the processor runs it in display type 4, with the
// shipped settings (which leave the measurement's keys at their defaults).
void BM_SceneMeasurement(benchmark::State& state, const std::string& scene) {
    const bool table = state.range(0) != 0;
    MeasuredFrame frame;
    try {
        frame = EngineOutput(Vy::Bench::CachedSceneFrame(scene, static_cast<int>(state.range(1))));
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return;
    }
    const Vy::Analysis::ProfileSettings settings;
    const Vy::Analysis::TableGeometry geometry{
        frame.calibration, std::max(1, frame.calibration.sensorWidth / frame.totalFocus.cols), settings.edgeShare};
    Vy::Analysis::ParticleTracker tracker(settings.tracking);
    double timeMs = 0.0;
    int accepted = 0;
    size_t rows = 0;
    const std::clock_t cpuStart = std::clock();
    for (auto _ : state) {
        const Vy::Analysis::ProfileResult result = Vy::Analysis::measureProfile(frame.totalFocus, settings.bounds);
        accepted = result.acceptedCount;
        if (table) {
            timeMs += 40.0;
            rows = particleTable(frame.totalFocus, frame.depth, result, geometry, tracker, timeMs);
        }
        benchmark::DoNotOptimize(result.annotated.data);
    }
    state.counters["cpu_ms"] = 1000.0 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC /
                               static_cast<double>(std::max<benchmark::IterationCount>(1, state.iterations()));
    state.counters["accepted"] = accepted;
    state.counters["rows"] = static_cast<double>(rows);
    state.SetItemsProcessed(state.iterations());
}

// Discs on a grid one per 60 x 60 pixels, as dense as the synthetic particle scenes.
cv::Mat discFrame(int side, int* discs) {
    cv::Mat frame(side, side, CV_16UC1, cv::Scalar(500));
    *discs = 0;
    for (int y = 20; y < side - 20; y += 60) {
        for (int x = 20; x < side - 20; x += 60) {
            cv::circle(frame, cv::Point(x, y), 2 + (*discs)++ % 8, cv::Scalar(12000), cv::FILLED);
        }
    }
    return frame;
}

void BM_MeasureProfile(benchmark::State& state) {
    int discs = 0;
    const cv::Mat frame = discFrame(static_cast<int>(state.range(0)), &discs);
    int accepted = 0;
    for (auto _ : state) {
        accepted = Vy::Analysis::measureProfile(frame).acceptedCount;
        benchmark::DoNotOptimize(accepted);
    }
    state.counters["discs"] = discs;
    state.counters["accepted"] = accepted;
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_MeasureProfileWithTable(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    int discs = 0;
    const cv::Mat frame = discFrame(side, &discs);
    const cv::Mat depth(frame.size(), CV_32FC1, cv::Scalar(3.5f));
    const Vy::Analysis::TableGeometry geometry{Vy::Test::SmallCalibration(2 * side, 2 * side), 2, 0.35};
    Vy::Analysis::ParticleTracker tracker;
    double timeMs = 0.0;
    size_t rows = 0;
    for (auto _ : state) {
        const Vy::Analysis::ProfileResult result = Vy::Analysis::measureProfile(frame);
        timeMs += 40.0;
        rows = particleTable(frame, depth, result, geometry, tracker, timeMs);
    }
    state.counters["discs"] = discs;
    state.counters["rows"] = static_cast<double>(rows);
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The scene rows first, then the disc grids.
const bool kRegistered = [] {
    for (const std::string& scene : kScenes) {
        auto* bench = benchmark::RegisterBenchmark(scene.c_str(), BM_SceneMeasurement, scene);
        bench->ArgNames({"table", "side"})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
        for (int side : kSides) {
            bench->Args({0, side})->Args({1, side});
        }
    }
    for (auto* bench : {benchmark::RegisterBenchmark("BM_MeasureProfile", BM_MeasureProfile),
                        benchmark::RegisterBenchmark("BM_MeasureProfileWithTable", BM_MeasureProfileWithTable)}) {
        bench->Arg(512)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond);
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
