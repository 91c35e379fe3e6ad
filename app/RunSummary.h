// The closing summary and the live progress line of a run.
#pragma once

#include <cstdint>
#include <string>

struct RunCounts {
    uint64_t read = 0;
    uint64_t processed = 0;
    uint64_t recorded = 0;
    uint64_t published = 0;
    uint64_t dropped = 0;
    double seconds = 0.0;
};

// One line: the counts, the elapsed time, the average rate and the output files.
std::string summaryLine(const RunCounts& counts, const std::string& videoPath, const std::string& logPath,
                        const std::string& chartPath);
// Milliseconds per frame of each stage: "per frame (ms): read 0.02, compute 24.10, ...".
struct StageMilliseconds {
    double read = 0.0;     // reader thread, per frame read
    double compute = 0.0;  // processor thread, per frame processed
    double measure = 0.0;
    double rotate = 0.0;
    double show = 0.0;
    double record = 0.0;
    double publish = 0.0;  // LCM runs
    double encode = 0.0;   // recorder thread, per frame recorded
};
std::string stageLine(const StageMilliseconds& stages);

// "frame K of N, F fps, M:SS left, queue Q" for the progress line (", paused" instead of the time left).
std::string progressText(uint64_t processed, uint64_t total, double seconds, uint32_t queued, bool paused);
