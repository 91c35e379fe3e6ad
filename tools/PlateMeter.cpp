#include "PlateMeter.h"

#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <vector>

namespace Vy::Synth {

PlateMeter::PlateMeter(const CCalibration& calibration, const cv::Mat& white, int bits, DepthRange search,
                       cv::Size innerCorners)
    : engine_(calibration, white, bits, search, 0), search_(search), innerCorners_(innerCorners) {}

double medianCornerSpacing(const std::vector<cv::Point2f>& corners, cv::Size size) {
    std::vector<double> gaps;
    const auto at = [&](int i, int j) { return corners[static_cast<size_t>(j) * size.width + i]; };
    for (int j = 0; j < size.height; ++j)
        for (int i = 0; i < size.width; ++i) {
            if (i + 1 < size.width) gaps.push_back(cv::norm(at(i + 1, j) - at(i, j)));
            if (j + 1 < size.height) gaps.push_back(cv::norm(at(i, j + 1) - at(i, j)));
        }
    if (gaps.empty()) return 0.0;
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    return gaps[gaps.size() / 2];
}

PlateReading PlateMeter::read(const cv::Mat& frame) {
    PlateReading r;
    const cv::Mat1f depth = engine_.depth(frame);
    const int w = depth.cols, h = depth.rows;
    const cv::Rect middle(static_cast<int>(w * (1 - kPlateCentre) / 2), static_cast<int>(h * (1 - kPlateCentre) / 2),
                          std::max(1, static_cast<int>(w * kPlateCentre)),
                          std::max(1, static_cast<int>(h * kPlateCentre)));
    std::vector<float> depths;
    for (int j = middle.y; j < middle.y + middle.height; ++j)
        for (int i = middle.x; i < middle.x + middle.width; ++i) {
            const float v = depth(j, i);
            if (v > 0 && std::isfinite(v)) depths.push_back(v);
        }
    r.validShare = double(depths.size()) / middle.area();
    if (!depths.empty()) {
        const double span = 1.0 / search_.min - 1.0 / search_.max;
        size_t nearEnd = 0, farEnd = 0;
        for (float v : depths) {
            if (1.0 / v <= 1.0 / search_.max + kSearchEndShare * span) ++nearEnd;
            if (1.0 / v >= 1.0 / search_.min - kSearchEndShare * span) ++farEnd;
        }
        r.nearEnd = double(nearEnd) / depths.size();
        r.farEnd = double(farEnd) / depths.size();
        std::nth_element(depths.begin(), depths.begin() + depths.size() / 2, depths.end());
        r.virtualDepth = depths[depths.size() / 2];
    }
    if (innerCorners_.empty() || r.validShare < kLeastPlateShare) return r;
    // The corner detector takes 8-bit images: the total focus with its brightest pixel at 255.
    const cv::Mat1w focus = engine_.totalFocus();
    double brightest = 0;
    cv::minMaxLoc(focus, nullptr, &brightest);
    cv::Mat grey;
    focus.convertTo(grey, CV_8U, brightest > 0 ? 255.0 / brightest : 1.0);
    std::vector<cv::Point2f> corners;
    if (!cv::findChessboardCornersSB(grey, innerCorners_, corners, cv::CALIB_CB_EXHAUSTIVE | cv::CALIB_CB_ACCURACY))
        return r;
    r.corners = static_cast<int>(corners.size());
    r.squarePixels = medianCornerSpacing(corners, innerCorners_) * engine_.outputScale();
    return r;
}

}  // namespace Vy::Synth
