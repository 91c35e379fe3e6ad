// Reads a flat calibration target in a frame with the engine: the plate's virtual depth,
// robustly over the middle of the view, and (when it carries a checkerboard) the size of its
// squares in the virtual image, from the corners OpenCV finds in the total focus.
#pragma once

#include <memory>
#include <opencv2/core.hpp>

#include "CCalibration.h"
#include "DepthEngine.h"

namespace Vy::Synth {

// The middle of the view the plate's depth is taken over: this share of the width and height.
constexpr double kPlateCentre = 0.4;
// A plate is found when at least this share of the middle has a depth.
constexpr double kLeastPlateShare = 0.15;
// Depths within this share of the searched span (in 1 / v) from either end are piled at that end.
constexpr double kSearchEndShare = 0.02;

struct PlateReading {
    double virtualDepth = 0.0;  // median of the middle's valid depths; 0 = none
    double validShare = 0.0;    // share of the middle's pixels with a depth
    double nearEnd = 0.0;       // share of those depths piled at the near end of the search
    double farEnd = 0.0;        // ... and at the far end
    double squarePixels = 0.0;  // a board square's side in sensor pixels of the virtual image; 0 = no board
    int corners = 0;            // inner corners the detector found
};

class PlateMeter {
public:
    // search: the virtual depths the plate is looked for at. innerCorners: the board's inner corners
    // (columns - 1 x rows - 1); empty = no board is looked for.
    PlateMeter(const CCalibration& calibration, const cv::Mat& white, int bits, DepthRange search,
               cv::Size innerCorners);
    PlateReading read(const cv::Mat& frame);
    DepthRange search() const { return search_; }

private:
    DepthEngine engine_;
    DepthRange search_;
    cv::Size innerCorners_;
};

// The median distance between neighbouring corners of a grid of `size` corners (row by row), px.
double medianCornerSpacing(const std::vector<cv::Point2f>& corners, cv::Size size);

}  // namespace Vy::Synth
