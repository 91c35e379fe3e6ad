// Calibration from a white image for a camera nobody described to us: the grid
// found in the white image, the optics from a file (or the defaults), and a depth
// range from the optics or the scene frames. raystool calibrate and
// import --calibrate both come here, so they take and refuse the same inputs.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "CCalibration.h"
#include "GridCalibrator.h"

namespace Vy::Synth {

// Pitch hints the grid finder takes (px); 0 = none, search every pitch.
constexpr double kPitchHintMin = 5.0, kPitchHintMax = 400.0;

// Throws CVyException(operation, "--pitch-hint H", ...) for a hint outside 0 or kPitchHintMin..kPitchHintMax.
void checkPitchHint(double hint, const std::string& operation);

struct CameraCalibration {
    CCalibration calibration;
    GridEstimate grid;
    std::string rangeLine;  // where the depth range came from (chooseDepthRange)
    std::string typesLine;  // where the lens types were placed (multi-focus arrays only)
};

// white: the white image (8- or 16-bit grey, bits significant); frames: scene frames for the
// depth range, or none: then the white image is measured as a scene (it may be a frame). opticsFile empty = the default
// optics. Refusals are CVyException with operation (e.g. "calibrate") and the file at fault.
CameraCalibration calibrateCamera(const cv::Mat& white, const std::string& whiteName,
                                  const std::vector<cv::Mat>& frames, const std::string& framesName, int bits,
                                  double pitchHint, const std::string& opticsFile, const std::string& operation);

}  // namespace Vy::Synth
