// Time to measure one total-focus frame of the given side length holding a grid of small discs.
#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

#include "ProfileMeasurement.h"

static void BM_MeasureProfile(benchmark::State& state)
{
    const int side = static_cast<int>(state.range(0));
    cv::Mat frame(side, side, CV_16UC1, cv::Scalar(500));
    int discs = 0;
    for (int y = 20; y < side - 20; y += 40) {
        for (int x = 20; x < side - 20; x += 40) {
            cv::circle(frame, cv::Point(x, y), 2 + discs++ % 5, cv::Scalar(12000), cv::FILLED);
        }
    }
    int accepted = 0;
    for (auto _ : state) {
        accepted = Vy::Analysis::measureProfile(frame).acceptedCount;
        benchmark::DoNotOptimize(accepted);
    }
    state.counters["discs"] = discs;
    state.counters["accepted"] = accepted;
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MeasureProfile)->Arg(512)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
