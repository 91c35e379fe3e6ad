#include "DepthRangeCheck.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

void DepthRangeCheck::setRange(double low, double high, int steps) {
    searchLow_ = low;
    searchHigh_ = high;
    // A quarter of a search step in 1/v: the engine's refinement leaves depths inside the range
    // spread finer than that, while those it could not place farther out sit on the end itself.
    const double band = 0.25 * (1.0 / low - 1.0 / high) / std::max(1, steps - 1);
    lowBand_ = 1.0 / low - band;
    highBand_ = 1.0 / high + band;
    valid_ = low_ = high_ = 0;
    warned_ = false;
}

std::string DepthRangeCheck::add(const float* depth, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const float v = depth[i];
        if (!(v > 0.0f) || !std::isfinite(v)) continue;
        ++valid_;
        const double w = 1.0 / v;
        low_ += w >= lowBand_;
        high_ += w <= highBand_;
    }
    if (warned_ || valid_ == 0 || std::max(lowShare(), highShare()) <= kWarnShare) return "";
    warned_ = true;
    char line[512];
    std::snprintf(line, sizeof line,
                  "MarlinProfileProc: warning: %.1f %% of the depths lie at the far end and %.1f %% at the near end "
                  "of the searched virtual depth range %.3g..%.3g, so the scene reaches beyond it: widen the "
                  "calibration's virtualDepthMin/virtualDepthMax (raystool calibrate WHITE FRAME finds them) and the "
                  "settings' depth.virtual_min/depth.virtual_max to take them in",
                  100.0 * lowShare(), 100.0 * highShare(), searchLow_, searchHigh_);
    return line;
}
