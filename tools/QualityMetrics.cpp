#include "QualityMetrics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace Vy::Synth {

DepthScore scoreDepth(const cv::Mat1f& estimated, const cv::Mat1f& truth, const cv::Mat1b& textured) {
    DepthScore score;
    std::vector<double> errors;
    for (int j = 0; j < truth.rows; ++j)
        for (int i = 0; i < truth.cols; ++i) {
            if (!textured(j, i) || !(truth(j, i) > 0.0f)) continue;
            ++score.texturedCount;
            const float e = estimated(j, i);
            if (!std::isfinite(e) || e <= 0.0f) continue;
            errors.push_back(std::abs(e - truth(j, i)) / truth(j, i));
        }
    score.validCount = errors.size();
    if (score.texturedCount > 0) score.texturedValidShare = double(errors.size()) / score.texturedCount;
    if (errors.empty()) {
        score.medianRelativeError = std::numeric_limits<double>::quiet_NaN();
        return score;
    }
    const size_t over = std::count_if(errors.begin(), errors.end(), [](double e) { return e > 0.05; });
    score.shareOver5Percent = double(over) / errors.size();
    std::nth_element(errors.begin(), errors.begin() + errors.size() / 2, errors.end());
    score.medianRelativeError = errors[errors.size() / 2];
    return score;
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
    return 10.0 * std::log10(16383.0 * 16383.0 / (sum / count));
}

}  // namespace Vy::Synth
