// Figures that compare engine results with the synthetic camera's ground truth.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>

namespace Vy::Synth {

struct DepthScore {
    double medianRelativeError = 0.0;  // over pixels valid in both
    double shareOver5Percent = 0.0;    // of those pixels, relative error > 5%
    double texturedValidShare = 0.0;   // textured truth pixels with a valid estimate
    size_t validCount = 0;
    size_t texturedCount = 0;
};

// estimated: virtual depth, invalid where <= 0 or not finite; truth: > 0 where a surface is.
// Pixels are scored where the truth is textured (mask non-zero).
DepthScore scoreDepth(const cv::Mat1f& estimated, const cv::Mat1f& truth, const cv::Mat1b& textured);

// Peak signal-to-noise ratio (dB, peak 16383) of a against b over mask pixels;
// infinity when equal, NaN when the mask is empty.
double psnr14(const cv::Mat1w& a, const cv::Mat1w& b, const cv::Mat1b& mask);

}  // namespace Vy::Synth
