// The 8-bit frames that leave the processor for a 16-bit luminance image,
// made from the unturned samples and turned by 180 degrees afterwards, so
// that only the reduced frame is turned and nothing full-size is copied.
// Each is the same, pixel for pixel, as turning the 16-bit image first and
// reducing it then.
#pragma once

#include <opencv2/core.hpp>

namespace FrameReduction {

// The frame handed to the recorder: value / 64 rounded and saturated at 255.
// When the image is exactly twice videoSide on each side it is also halved, as
// the recorder's resize would (the result is videoSide x videoSide); otherwise
// it keeps the image's size and the recorder resizes it.
// wide: CV_16UC1, continuous.
cv::Mat recordingFrame(const cv::Mat& wide, int videoSide);

// The viewer's frame: the top 8 of the 14 bits (value >> 6, saturated at 255),
// turned. out must be CV_8UC1 of wide's size, continuous (it may wrap other memory).
void displayFrame(const cv::Mat& wide, cv::Mat& out);

}  // namespace FrameReduction
