#include "ReplayPace.h"

#include <cmath>

ReplayPace::Clock::time_point ReplayPace::dueAt(double timeMs, Clock::time_point now) {
    const double step = timeMs - lastStamp;
    const bool inStep = started && std::isfinite(timeMs) && step >= 0.0 && step <= kLongestGapMs;
    lastStamp = timeMs;
    if (inStep) {
        const auto due = startTime + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double, std::milli>(timeMs - startStamp));
        if (due + kLongestLate >= now) {
            return due;
        }
    }
    started = std::isfinite(timeMs);
    startTime = now;
    startStamp = timeMs;
    return now;
}
