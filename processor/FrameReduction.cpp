#include "FrameReduction.h"

#include <algorithm>
#include <cstdint>
#include <opencv2/imgproc.hpp>

#include "VyTypes.h"

namespace FrameReduction {

cv::Mat recordingFrame(const cv::Mat& wide, int videoSide) {
    CV_Assert(wide.type() == CV_16UC1 && wide.isContinuous());
    // The same conversion and resize as the turned frame gets, in another
    // order: per sample they commute with the turn exactly, and a halving
    // resize averages 2 x 2 blocks, which the turn maps onto 2 x 2 blocks.
    cv::Mat narrow;
    wide.convertTo(narrow, CV_8U, 1.0 / Vy::kTo8BitDivisor, 0.0);
    if (wide.cols == 2 * videoSide && wide.rows == 2 * videoSide) {
        cv::Mat half;
        cv::resize(narrow, half, cv::Size(videoSide, videoSide), 0, 0, cv::INTER_LINEAR);
        narrow = half;
    }
    cv::rotate(narrow, narrow, cv::ROTATE_180);
    return narrow;
}

void displayFrame(const cv::Mat& wide, cv::Mat& out) {
    CV_Assert(wide.type() == CV_16UC1 && wide.isContinuous());
    CV_Assert(out.type() == CV_8UC1 && out.size() == wide.size() && out.isContinuous());
    // The top 8 of the 14 bits, anything above the range saturating.
    const size_t count = wide.total();
    const uint16_t* from = wide.ptr<uint16_t>();
    uint8_t* to = out.ptr<uint8_t>();
    for (size_t i = 0; i < count; ++i) {
        to[i] = static_cast<uint8_t>(std::min(from[i] >> Vy::kTo8BitShift, 255));
    }
    cv::rotate(out, out, cv::ROTATE_180);
}

}  // namespace FrameReduction
