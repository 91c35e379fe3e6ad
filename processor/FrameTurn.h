// Every picture leaves the program turned by 180 degrees. The turn is made once
// per frame for the outputs that show or record it: the frame turned, or, for a
// 16-bit luminance image, read in place and reduced to the recording frame
// (turned), so that nothing full-size is copied or turned.
#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "CVyImage.h"

struct TurnedFrame {
    // A 16-bit luminance image: `image` and `view` hold the unturned samples and
    // `recording` the reduced frame.
    bool wide = false;
    // The turned image (unturned when wide); empty for an empty image.
    CVyImage image;
    // image's samples as OpenCV sees them; empty for an empty image.
    cv::Mat view;
    // Wide only: the recorder's 8-bit frame, turned; empty when the reduction failed.
    cv::Mat recording;
    // Wide only: why the reduction failed; empty when it did not.
    std::string failure;
};

// The frame turned for the outputs; image's pixels are copied only where others share them.
TurnedFrame turnFrame(CVyImage image);
