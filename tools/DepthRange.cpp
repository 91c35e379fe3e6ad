#include "DepthRange.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "CVyException.h"
#include "DepthEngine.h"
#include "VyTypes.h"

namespace Vy::Synth {
namespace {

// Share of the virtual image that may be seen by one micro-image only.
constexpr double kSeenOnce = 0.1;
// Search steps of the wide search (the engine's default gives 16 over its usual range).
constexpr int kSearchSteps = 48;

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", v);
    return text;
}

}  // namespace

bool hasDepthRange(const CCalibration& c) {
    return c.virtualDepthMin > 1.0 && c.virtualDepthMax > c.virtualDepthMin && std::isfinite(c.virtualDepthMax);
}

DepthRange rangeFromOptics(const CCalibration& c, const std::string& source) {
    const double pitch = c.lensPitch, radius = c.microImageRadius, b = c.mlaToSensor;
    if (!(pitch > 0 && radius > 0 && b > 0))
        throw CVyException("calibrate", source, "optics need the lens pitch, micro-image radius and mlaToSensor");
    // Blur circle over micro-image diameter at depth v: (pitch / 2 radius) |1/v - 1/v_t|; in w = 1/v
    // each type is usable within half of this of its own w_t.
    const double reach = kUsableBlur * 2 * radius / pitch;
    double wLow = 1e9, wHigh = -1e9;
    for (int type = 0; type < std::max(1, c.microLensTypes); ++type) {
        const double f = c.LensFocalLength(type);
        if (!(f > 0))
            throw CVyException("calibrate", source, "microlens type " + std::to_string(type) + " has no focal length");
        const double w = 1.0 - b / f;
        wLow = std::min(wLow, w - reach);
        wHigh = std::max(wHigh, w + reach);
    }
    // Only one lens sees the points within r of its centre: its neighbours' micro-images reach
    // v radius from their own centres, one pitch away.
    const double cell = pitch * pitch * (c.gridType == "square" ? 1.0 : std::sqrt(3.0) / 2);
    const double once = std::sqrt(kSeenOnce * cell / kPi);
    const double stereo = (pitch - once) / radius;
    double low = std::max({stereo, wHigh < 1.0 ? 1.0 / wHigh : 1.0, 1.0 + 1e-3});
    if (c.mainFocalLength > 0 && c.mainLensToMla > 0) {
        const double infinity = (c.mainFocalLength - c.mainLensToMla) / b;
        low = std::max(low, infinity);
    }
    const double high = wLow > 1.0 / kDeepestVirtualDepth ? 1.0 / wLow : kDeepestVirtualDepth;
    if (!(high > low * 1.05))
        throw CVyException("calibrate", source,
                           "no virtual depth where a lens type images sharply, two lenses see a point and an object "
                           "can lie (sharp beyond " +
                               number(low) + ", up to " + number(high) + ")");
    return {low, high};
}

int significantBits(const cv::Mat& image) {
    if (image.depth() != CV_16U) return 8;
    double largest = 0;
    cv::minMaxLoc(image, nullptr, &largest);
    int bits = 10;
    while (bits < 16 && largest >= double(1 << bits)) ++bits;
    return bits;
}

SceneDepths measureSceneDepths(const CCalibration& calibration, const cv::Mat& white,
                               const std::vector<cv::Mat>& frames, int bits, DepthRange search,
                               const std::string& source) {
    if (frames.empty()) throw CVyException("calibrate", source, "no frames to measure the depth range on");
    DepthEngine engine(calibration, white, bits, search, kSearchSteps);
    std::vector<float> depths;
    size_t pixels = 0;
    for (const cv::Mat& frame : frames) {
        const cv::Mat1f depth = engine.depth(frame);
        const float* v = depth.ptr<float>();
        const size_t n = depth.total();
        pixels += n;
        for (size_t k = 0; k < n; ++k)
            if (v[k] > 0 && std::isfinite(v[k])) depths.push_back(v[k]);
    }
    SceneDepths s;
    s.searched = search;
    s.frames = static_cast<int>(frames.size());
    s.validShare = pixels ? double(depths.size()) / pixels : 0.0;
    if (depths.size() < std::max<size_t>(100, pixels / 100)) return s;
    const auto at = [&](double share) {
        const size_t k = std::min(depths.size() - 1, static_cast<size_t>(share * depths.size()));
        std::nth_element(depths.begin(), depths.begin() + k, depths.end());
        return double(depths[k]);
    };
    s.used = {at(0.005), at(0.995)};
    // One search step in 1/v at either end.
    const double step = (1.0 / search.min - 1.0 / search.max) / (kSearchSteps - 1);
    size_t lowEnd = 0, highEnd = 0;
    for (float v : depths) {
        if (1.0 / v >= 1.0 / search.min - step) ++lowEnd;
        if (1.0 / v <= 1.0 / search.max + step) ++highEnd;
    }
    s.lowEnd = double(lowEnd) / depths.size();
    s.highEnd = double(highEnd) / depths.size();
    // Depths piled at an end are not the scene's: a white image's flat micro-images match best at the
    // farthest search step, and a scene beyond the search ends there too.
    s.measured = std::max(s.lowEnd, s.highEnd) <= kPiledShare;
    return s;
}

DepthRange rangeAround(const SceneDepths& d) {
    const double wLow = 1.0 / d.used.max, wHigh = 1.0 / d.used.min;
    // Generous: depths within about two search steps of an end are found less well (the refinement
    // and the consistency check reach past it), so the scene's depths stay clear of the ends.
    const double margin = std::max(kLeastMargin, kMarginShare * (wHigh - wLow));
    const double low = std::max(d.searched.min, 1.0 / (wHigh + margin));
    const double high =
        wLow - margin > 1.0 / d.searched.max ? std::min(d.searched.max, 1.0 / (wLow - margin)) : d.searched.max;
    return {low, high};
}

RangeChoice chooseDepthRange(const CCalibration& calibration, const std::string& opticsFile, const cv::Mat& white,
                             const std::vector<cv::Mat>& frames, int bits, const std::string& framesName) {
    const auto text = [](DepthRange r) { return number(r.min) + ".." + number(r.max); };
    const std::string keys = " (virtualDepthMin/virtualDepthMax)";
    if (!opticsFile.empty() && hasDepthRange(calibration)) {
        const DepthRange given{calibration.virtualDepthMin, calibration.virtualDepthMax};
        return {given, "virtual depth range " + text(given) + keys + " as " + opticsFile + " gives it"};
    }
    const DepthRange search = opticsFile.empty() ? kWideSearch : rangeFromOptics(calibration, opticsFile);
    const std::string from = opticsFile.empty() ? text(search) + ", the widest search"
                                                : text(search) + ", the range of the optics in " + opticsFile;
    if (!frames.empty()) {
        const SceneDepths d = measureSceneDepths(calibration, white, frames, bits, search, framesName);
        if (d.measured) {
            const DepthRange r = rangeAround(d);
            return {r, "virtual depth range " + text(r) + keys + ": a margin around the depths of " + framesName +
                           " (" + text(d.used) + "; searched " + from + ")"};
        }
        const double piled = std::max(d.lowEnd, d.highEnd);
        const std::string why = piled > kPiledShare ? framesName + " has " + number(100 * piled) +
                                                          " % of its depths at an end of the search, so it does not "
                                                          "tell the range (a white image, or a scene beyond it)"
                                                    : framesName + " shows too little texture";
        return {search, "virtual depth range " + text(search) + keys + ": " + from + "; " + why +
                            "; give scene frames to narrow it"};
    }
    return {search, "virtual depth range " + text(search) + keys + ": " + from + "; give scene frames to narrow it"};
}

}  // namespace Vy::Synth
