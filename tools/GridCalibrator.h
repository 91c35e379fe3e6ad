// Finds the hexagonal micro-image grid in a white image (a uniformly lit,
// defocused frame): pitch, rotation, offset and micro-image radius.
#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "CCalibration.h"

namespace Vy::Synth {

struct GridEstimate {
    double pitch = 0.0;                   // px between neighbouring micro-image centres
    double rotation = 0.0;                // rad
    double offsetX = 0.0, offsetY = 0.0;  // centre of micro-image (0, 0), within one cell of the corner
    double radius = 0.0;                  // px, usable micro-image radius
    int centresUsed = 0;                  // micro-images whose centre entered the fit
    double residualRms = 0.0;             // px, fitted grid against the measured centres
};

// white: 8- or 16-bit grey. pitchHint (px, 0 = none) narrows the search.
// Throws CVyException naming source when the image shows no hexagonal grid.
GridEstimate findGrid(const cv::Mat& white, double pitchHint, const std::string& source);

// A calibration block for a grid found in a white image, the optics taken from optics
// (its grid fields are ignored; its principal point only when its sensor size matches).
// With the optics' exitPupilDistance 0 (unknown) the micro-image grid stands for the lens
// grid; with one, the lens grid is derived from it (docs/camera-model.md).
CCalibration calibrationFromGrid(const GridEstimate& grid, int32_t width, int32_t height, const CCalibration& optics);

// The optics a white image cannot give, used when no optics file is given
// (the synthetic camera's: 5.5 um pixels, B 0.35 mm, 50 mm main lens).
CCalibration defaultOptics();

// Draws the grid's micro-image centres and circles on the white image (8-bit BGR).
cv::Mat drawOverlay(const cv::Mat& white, const GridEstimate& grid);

}  // namespace Vy::Synth
