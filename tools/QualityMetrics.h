// Figures that compare engine results with the synthetic camera's ground truth.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <vector>

namespace Vy::Synth {

struct DepthScore {
    double medianRelativeError = 0.0;  // over pixels valid in both
    double shareOver5Percent = 0.0;    // of those pixels, relative error > 5%
    double texturedValidShare = 0.0;   // textured truth pixels with a valid estimate
    size_t validCount = 0;
    size_t texturedCount = 0;
    // Misses (relative error > 5%) split by where they lie, so leaks across
    // depth edges and misses on open surfaces are tracked apart. Both shares
    // are of all valid pixels and add up to shareOver5Percent.
    double shareOver5NearEdge = 0.0;
    double shareOver5Elsewhere = 0.0;
    size_t nearEdgeValidCount = 0;  // valid pixels inside the edge zone
    size_t nearEdgeOverCount = 0;   // of those, more than 5% off
    size_t elsewhereOverCount = 0;  // more than 5% off outside the edge zone
};

// estimated: virtual depth, invalid where <= 0 or not finite; truth: > 0 where a surface is.
// Pixels are scored where the truth is textured (mask non-zero). nearEdge
// (optional, e.g. from depthEdgeZone) marks the pixels whose misses count as
// near a depth edge; without it every miss counts as elsewhere.
DepthScore scoreDepth(const cv::Mat1f& estimated, const cv::Mat1f& truth, const cv::Mat1b& textured,
                      const cv::Mat1b& nearEdge = cv::Mat1b());

// Pixels (255) within radius pixels (Euclidean) of a true depth jump: two
// 4-neighbours whose depths differ by more than relativeJump of the smaller
// one, or a surface beside no surface (truth <= 0). Both sides of a jump count.
cv::Mat1b depthEdgeZone(const cv::Mat1f& truth, double radius, double relativeJump = 0.05);

// Peak signal-to-noise ratio (dB, peak 16383) of a against b over mask pixels;
// infinity when equal, NaN when the mask is empty.
double psnr14(const cv::Mat1w& a, const cv::Mat1w& b, const cv::Mat1b& mask);

// psnr14 over the mask pixels whose true virtual depth lies in one band, for
// `bands` bands uniform in 1/v from the least to the greatest depth under the
// mask (nearest last); bands holding fewer than minShare of those pixels are left out.
struct DepthBandPsnr {
    double low = 0.0, high = 0.0;  // virtual depths
    size_t count = 0;
    double psnr = 0.0;
};
std::vector<DepthBandPsnr> psnrByDepth(const cv::Mat1w& a, const cv::Mat1w& b, const cv::Mat1f& depth,
                                       const cv::Mat1b& mask, int bands, double minShare);

}  // namespace Vy::Synth
