// Watches the depth maps for a searched virtual-depth range that is too narrow
// for the scene: depths beyond it pile up at its ends, and the depth shown is
// then wrong without a word. One warning line says what to change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class DepthRangeCheck {
public:
    // Share of the valid depths at one end above which the range is taken as too narrow.
    static constexpr double kWarnShare = 0.05;

    // The searched range and the number of search steps (depth.steps); counts start again.
    void setRange(double low, double high, int steps);
    // Counts one depth map (virtual depth, 0 = invalid). Returns the warning line the first
    // time the share of the run's valid depths at an end is over kWarnShare, else "".
    std::string add(const float* depth, size_t count);

    // Shares of the valid depths counted so far at the low (far) and high (near) end.
    double lowShare() const { return valid_ ? double(low_) / valid_ : 0.0; }
    double highShare() const { return valid_ ? double(high_) / valid_ : 0.0; }

private:
    double searchLow_ = 0.0, searchHigh_ = 0.0;
    double lowBand_ = 0.0, highBand_ = 0.0;  // 1/v at or beyond which a depth counts as at an end
    uint64_t valid_ = 0, low_ = 0, high_ = 0;
    bool warned_ = false;
};
