#pragma once
// Turns a runtime image into something a window can show: an 8-bit cv::Mat, one channel
// (luminance) or three in BGR order. The result owns its pixels.

#include <opencv2/core.hpp>

class IImage;

namespace Viewer {

// 8-bit luminance and BGR are copied as they are, RGB is swapped, alpha is dropped, and 16-bit
// samples keep the top 8 bits of their 14-bit range (value / 64, saturated at 255).
// False (out left empty) for an empty image or an unsupported layout.
bool toDisplayable(const IImage& image, cv::Mat& out);

}  // namespace Viewer
