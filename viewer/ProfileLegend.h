#pragma once
// The legend under the profile picture in the window: what its green and red
// outlines are, and how many of each the frame has.

#include <opencv2/core.hpp>
#include <string>

namespace Viewer {

// "5 accepted: 4 ellipses (green), 1 circle (red, too few points to fit); 9 rejected (not drawn)".
std::string profileLegendText(int ellipses, int circles, int rejected);

// The BGR picture with a strip below it holding that line, its counts in the outlines' colours.
cv::Mat withProfileLegend(const cv::Mat& picture, int ellipses, int circles, int rejected);

}  // namespace Viewer
