#include "DepthColorMap.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "CameraModel.h"

namespace Vy::Engine {
namespace {

constexpr int kTableSize = 1024;

const std::array<Bgr, kTableSize>& ColorTable() {
    static const std::array<Bgr, kTableSize> table = [] {
        std::array<Bgr, kTableSize> t{};
        for (int i = 0; i < kTableSize; ++i) {
            t[i] = DepthColor(static_cast<float>(i) / (kTableSize - 1));
        }
        return t;
    }();
    return table;
}

}  // namespace

Bgr DepthColor(float t) {
    const float hue = std::clamp(t, 0.0f, 1.0f) * 4.0f;  // 0 red, 1 yellow, 2 green, 3 cyan, 4 blue
    const int sector = std::min(3, static_cast<int>(hue));
    const auto ramp = static_cast<uint8_t>(std::lround((hue - sector) * 255.0f));
    const auto fall = static_cast<uint8_t>(255 - ramp);
    switch (sector) {
        case 0:
            return {0, ramp, 255};
        case 1:
            return {0, 255, fall};
        case 2:
            return {ramp, 255, 0};
        default:
            return {255, fall, 0};
    }
}

void ColorCodeDistances(const float* distance, size_t count, float nearMm, float farMm, ThreadPool& pool,
                        uint8_t* out) {
    const auto& table = ColorTable();
    const float span = farMm > nearMm ? farMm - nearMm : 1.0f;
    const float toIndex = (kTableSize - 1) / span;
    pool.ParallelFor(count, 1 << 15, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            const float z = distance[i];
            Bgr color;
            if (z > 0.0f) {
                const float position = std::clamp((z - nearMm) * toIndex, 0.0f, float(kTableSize - 1));
                color = table[static_cast<size_t>(position + 0.5f)];
            }
            out[3 * i] = color.b;
            out[3 * i + 1] = color.g;
            out[3 * i + 2] = color.r;
        }
    });
}

DistanceRange MeasurableDistances(const CCalibration& calibration, double searchMin, double searchMax) {
    double low = calibration.virtualDepthMin, high = calibration.virtualDepthMax;
    if (!(high > low && low > 1.0) || calibration.mainFocalLength <= 0.0 || calibration.mlaToSensor <= 0.0) {
        return {};
    }
    if (std::max(low, searchMin) < std::min(high, searchMax)) {
        low = std::max(low, searchMin);
        high = std::min(high, searchMax);
    }
    const double nearMm = Model::distanceFromVirtualDepth(calibration, high);
    const double farMm = Model::distanceFromVirtualDepth(calibration, low);
    // A virtual depth whose image lies inside the focal length has no real distance.
    if (!(nearMm > 0.0 && farMm > nearMm && std::isfinite(farMm))) {
        return {};
    }
    return {nearMm, farMm};
}

}  // namespace Vy::Engine
