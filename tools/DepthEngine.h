// The engine as the calibration tools run it: a calibration, the white image when there is
// one, and a depth search over a given virtual-depth range with nothing filled in from
// neighbours (only what was matched counts). Frames are 8- or 16-bit grey.
#pragma once

#include <opencv2/core.hpp>

#include "CCalibration.h"
#include "CCudaCompute.h"
#include "DepthRange.h"

namespace Vy::Synth {

class DepthEngine {
public:
    // steps = 0 keeps the engine's own number of search steps. Throws CVyException for a
    // calibration the engine refuses.
    DepthEngine(const CCalibration& calibration, const cv::Mat& white, int bits, DepthRange search, int steps);

    // The frame's virtual depth on the output grid (0 = none): a view valid until the next call.
    cv::Mat1f depth(const cv::Mat& frame);
    // The total focus of the frame last given to depth() (16-bit, 14-bit range), a view as above.
    cv::Mat1w totalFocus();
    // Raw pixels per output pixel.
    int outputScale() const { return scale_; }

private:
    CCudaCompute engine_;
    int bits_;
    int scale_ = 2;
};

}  // namespace Vy::Synth
