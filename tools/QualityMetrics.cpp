#include "QualityMetrics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "VyTypes.h"

namespace Vy::Synth {

DepthScore scoreDepth(const cv::Mat1f& estimated, const cv::Mat1f& truth, const cv::Mat1b& textured,
                      const cv::Mat1b& nearEdge) {
    DepthScore score;
    std::vector<double> errors;
    const bool split = !nearEdge.empty();
    for (int j = 0; j < truth.rows; ++j)
        for (int i = 0; i < truth.cols; ++i) {
            if (!textured(j, i) || !(truth(j, i) > 0.0f)) continue;
            ++score.texturedCount;
            const float e = estimated(j, i);
            if (!std::isfinite(e) || e <= 0.0f) continue;
            const double error = std::abs(e - truth(j, i)) / truth(j, i);
            errors.push_back(error);
            const bool near = split && nearEdge(j, i);
            score.nearEdgeValidCount += near;
            if (error > 0.05) ++(near ? score.nearEdgeOverCount : score.elsewhereOverCount);
        }
    score.validCount = errors.size();
    if (score.texturedCount > 0) score.texturedValidShare = double(errors.size()) / score.texturedCount;
    if (errors.empty()) {
        score.medianRelativeError = std::numeric_limits<double>::quiet_NaN();
        return score;
    }
    const size_t over = score.nearEdgeOverCount + score.elsewhereOverCount;
    score.shareOver5Percent = double(over) / errors.size();
    score.shareOver5NearEdge = double(score.nearEdgeOverCount) / errors.size();
    score.shareOver5Elsewhere = double(score.elsewhereOverCount) / errors.size();
    std::nth_element(errors.begin(), errors.begin() + errors.size() / 2, errors.end());
    score.medianRelativeError = errors[errors.size() / 2];
    return score;
}

cv::Mat1b depthEdgeZone(const cv::Mat1f& truth, double radius, double relativeJump) {
    // distanceTransform measures the way to the nearest zero: jump pixels are the zeros.
    cv::Mat1b notJump(truth.size(), uint8_t{255});
    auto jumps = [relativeJump](float a, float b) {
        if ((a > 0.0f) != (b > 0.0f)) return true;
        if (!(a > 0.0f)) return false;
        return std::abs(a - b) > relativeJump * std::min(a, b);
    };
    for (int j = 0; j < truth.rows; ++j)
        for (int i = 0; i < truth.cols; ++i) {
            if (i + 1 < truth.cols && jumps(truth(j, i), truth(j, i + 1))) notJump(j, i) = notJump(j, i + 1) = 0;
            if (j + 1 < truth.rows && jumps(truth(j, i), truth(j + 1, i))) notJump(j, i) = notJump(j + 1, i) = 0;
        }
    if (cv::countNonZero(notJump) == static_cast<int>(notJump.total())) return cv::Mat1b(truth.size(), uint8_t{0});
    cv::Mat1f distance;
    cv::distanceTransform(notJump, distance, cv::DIST_L2, cv::DIST_MASK_PRECISE);
    return distance <= radius;
}

double psnr14(const cv::Mat1w& a, const cv::Mat1w& b, const cv::Mat1b& mask) {
    double sum = 0.0;
    size_t count = 0;
    for (int j = 0; j < a.rows; ++j)
        for (int i = 0; i < a.cols; ++i) {
            if (!mask(j, i)) continue;
            const double d = double(a(j, i)) - double(b(j, i));
            sum += d * d;
            ++count;
        }
    if (count == 0) return std::numeric_limits<double>::quiet_NaN();
    if (sum == 0.0) return std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(double{Vy::kFullScale14} * Vy::kFullScale14 / (sum / count));
}

std::vector<DepthBandPsnr> psnrByDepth(const cv::Mat1w& a, const cv::Mat1w& b, const cv::Mat1f& depth,
                                       const cv::Mat1b& mask, int bands, double minShare) {
    const cv::Mat1b used = mask & (depth > 0.0f);
    double lo = 0.0, hi = 0.0;
    if (bands < 1 || cv::countNonZero(used) == 0) return {};
    cv::minMaxLoc(depth, &lo, &hi, nullptr, nullptr, used);
    // Uniform in 1/v, far (small v) first; the nearest depth falls in the last band.
    const double wFar = 1.0 / lo, wNear = 1.0 / hi, step = (wFar - wNear) / bands;
    std::vector<double> squares(bands, 0.0);
    std::vector<size_t> counts(bands, 0);
    for (int j = 0; j < a.rows; ++j)
        for (int i = 0; i < a.cols; ++i) {
            if (!used(j, i)) continue;
            const int band =
                step > 0.0 ? std::clamp(static_cast<int>((wFar - 1.0 / depth(j, i)) / step), 0, bands - 1) : 0;
            const double d = double(a(j, i)) - double(b(j, i));
            squares[band] += d * d;
            ++counts[band];
        }
    const size_t total = static_cast<size_t>(cv::countNonZero(used));
    std::vector<DepthBandPsnr> result;
    for (int band = 0; band < bands; ++band) {
        if (counts[band] == 0 || counts[band] < minShare * total) continue;
        DepthBandPsnr r;
        r.low = 1.0 / (wFar - step * band);
        r.high = 1.0 / (wFar - step * (band + 1));
        r.count = counts[band];
        r.psnr = squares[band] == 0.0
                     ? std::numeric_limits<double>::infinity()
                     : 10.0 * std::log10(double{Vy::kFullScale14} * Vy::kFullScale14 / (squares[band] / counts[band]));
        result.push_back(r);
    }
    return result;
}

}  // namespace Vy::Synth
