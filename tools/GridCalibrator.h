// Finds the micro-image grid (hexagonal or square) in a white image (a uniformly
// lit, defocused frame) or in a bright scene frame: pitch, rotation, offset and
// micro-image radius.
#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "CCalibration.h"

namespace Vy::Synth {

enum class GridKind { Hex, Square };

struct GridEstimate {
    GridKind kind = GridKind::Hex;
    double pitch = 0.0;                   // px between neighbouring micro-image centres
    double rotation = 0.0;                // rad; hex within +-30 degrees, square within +-45
    double offsetX = 0.0, offsetY = 0.0;  // centre of micro-image (0, 0), within one cell of the corner
    double radius = 0.0;                  // px, usable micro-image radius
    int centresUsed = 0;                  // micro-images whose centre entered the fit
    int darkLenses = 0;                   // measured micro-images left out as far darker than their neighbours
    double residualRms = 0.0;             // px, the measured centres about the fitted grid
    // Median share of a micro-image's light variation that the mean micro-image does not
    // explain: near 0 in a white image, 0.1 and more where each micro-image shows a scene.
    double sceneContent = 0.0;

    // The calibration's name of the grid: "hex" or "square".
    const char* typeName() const { return kind == GridKind::Square ? "square" : "hex"; }
    // Centre of micro-image (i, j): offset + i a1 + j a2, a1 = pitch (cos r, sin r) and
    // a2 = a1 turned by 60 degrees (hex) or 90 degrees (square).
    cv::Point2d centre(double i, double j) const;
    // Whether the image looked like a scene frame rather than a white image.
    bool looksLikeScene() const { return sceneContent > kSceneContent; }
    static constexpr double kSceneContent = 0.05;
};

// Pitches the search covers without a hint (px).
constexpr double kMinGridPitch = 5.0;
constexpr double kMaxGridPitch = 400.0;

// image: 8- or 16-bit grey. pitchHint (px, 0 = none; else kMinGridPitch..kMaxGridPitch)
// narrows the search to +-10 %. Throws CVyException naming source when the image shows no
// hexagonal or square grid, saying what was looked for.
GridEstimate findGrid(const cv::Mat& image, double pitchHint, const std::string& source);

// A calibration block for a grid found in a white image, the optics taken from optics
// (its grid fields are ignored; its principal point only when its sensor size matches).
// With the optics' exitPupilDistance 0 (unknown) the micro-image grid stands for the lens
// grid; with one, the lens grid is derived from it (docs/camera-model.md). Throws CVyException
// for a square grid: the engine takes hexagonal grids only.
CCalibration calibrationFromGrid(const GridEstimate& grid, int32_t width, int32_t height, const CCalibration& optics);

// The optics a white image cannot give, used when no optics file is given
// (the synthetic camera's: 5.5 um pixels, B 0.35 mm, 50 mm main lens).
CCalibration defaultOptics();

// Draws the grid's micro-image centres and circles on the image (8-bit BGR).
cv::Mat drawOverlay(const cv::Mat& image, const GridEstimate& grid);

}  // namespace Vy::Synth
