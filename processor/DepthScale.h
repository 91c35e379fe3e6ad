// The colour bar of the depth picture: which colour means which distance.
#pragma once

#include <opencv2/core.hpp>
#include <string>

namespace DepthScale {

// A BGR bar height pixels tall: near (red) at the top, far (blue) at the bottom, with
// distances in mm written beside it at the ends and in between.
cv::Mat bar(int height, double nearMm, double farMm);

// The depth picture (BGR) with the bar to its right, for the window.
cv::Mat besidePicture(const cv::Mat& picture, const cv::Mat& bar);

// Writes the bar as a PNG at path ("<name>.png"), or at the first free "<name>-N.png" when
// a file of that name exists (it is never overwritten). Returns the path written; empty
// with the reason in error when it cannot.
std::string writePng(const std::string& path, double nearMm, double farMm, std::string& error);

}  // namespace DepthScale
