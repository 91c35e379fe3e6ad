#include "FrameTurn.h"

#include <iostream>
#include <opencv2/core.hpp>

#include "FrameRecorder.h"
#include "FrameReduction.h"
#include "VyTypes.h"

namespace {

// Whether the image is a 16-bit single-channel luminance image (the pre-processed raw image).
bool isWide(const CVyImage& image) {
    const CVyImageFormat& format = image.GetFormat();
    return !image.IsEmpty() && format.pixelType == Vy::PixelTypeLuminance && format.GetBitDepth() == 16 &&
           format.GetChannelCount() == 1;
}

// The OpenCV element type that wraps an image's samples without reading past them.
int matTypeOf(const CVyImageFormat& format) {
    const int depth = format.GetBitDepth() == 16 ? CV_16U : CV_8U;
    const int channels = format.GetChannelCount();
    if (channels <= 0) {
        return format.pixelType == Vy::PixelTypeLuminance ? CV_16UC1 : CV_8UC3;
    }
    return CV_MAKETYPE(depth, channels);
}

}  // namespace

void FrameTurn::consume(CVyImage& image, const FrameInfo& /*info*/) {
    const StageClock::Span span(rotateClock);
    turned = Turned{};
    if (isWide(image)) {
        // Read in place: nothing writes the samples, so an image shared with the
        // engine is not copied, and only the reduced frames are turned.
        turned.wide = true;
        turned.view = cv::Mat(image.GetHeight(), image.GetWidth(), CV_16UC1, const_cast<void*>(image.GetPixelData()));
        try {
            turned.recording = FrameReduction::recordingFrame(turned.view, FrameRecorder::kVideoSide);
        } catch (const std::exception& exception) {
            turned.failure = exception.what();
        }
        return;
    }
    const CVyImageFormat& format = image.GetFormat();
    if (!image.IsEmpty()) {
        turned.view = cv::Mat(format.height, format.width, matTypeOf(format), image.GetPixelDataForWrite());
    }
    if (turned.view.empty()) {
        std::cout << "image empty" << std::endl;
    } else {
        cv::rotate(turned.view, turned.view, cv::ROTATE_180);
    }
}
