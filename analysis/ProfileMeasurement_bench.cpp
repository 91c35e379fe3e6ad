// Time to measure one total-focus frame of the given side length holding a grid of
// small discs, without and with the particle table (depth, size, tracks).
#include <benchmark/benchmark.h>

#include <opencv2/imgproc.hpp>

#include "CalibrationSamples.h"
#include "ParticleTable.h"
#include "ProfileMeasurement.h"

namespace {

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
        std::vector<Vy::Analysis::ParticleRow> table =
            Vy::Analysis::measureParticles(frame, depth, result.blobs, geometry);
        timeMs += 40.0;
        Vy::Analysis::trackParticles(tracker, timeMs, table);
        std::string text;
        for (const Vy::Analysis::ParticleRow& row : table) {
            text += Vy::Analysis::formatParticleRow(row);
        }
        rows = table.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["discs"] = discs;
    state.counters["rows"] = static_cast<double>(rows);
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_MeasureProfile)->Arg(512)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeasureProfileWithTable)->Arg(512)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
