// Total focus computed with the true depths: a yardstick for the renderer
// and its ground truth that does not depend on any depth estimate.
#pragma once

#include <opencv2/core.hpp>

#include "CCalibration.h"

namespace Vy::Synth {

// For each output pixel x with true virtual depth v > 1: the mean of raw / white
// at u = c + (x - c) / v over the lenses c whose micro-image holds u with white at
// least whiteMinimum of the brightest, weighted 1 - (|u - c| / reach)^2, times
// 16383. 0 where no lens sees the point. raw and white: 8- or 16-bit grey of the same depth.
cv::Mat1w referenceFocus(const CCalibration& calibration, const cv::Mat& raw, const cv::Mat& white,
                         const cv::Mat1f& virtualDepth, int scale, double whiteMinimum);

}  // namespace Vy::Synth
