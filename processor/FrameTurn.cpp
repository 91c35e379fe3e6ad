#include "FrameTurn.h"

#include <opencv2/core.hpp>
#include <utility>

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

TurnedFrame turnFrame(CVyImage image) {
    TurnedFrame turned;
    turned.image = std::move(image);
    CVyImage& own = turned.image;
    if (isWide(own)) {
        // Read in place: nothing writes the samples, so an image shared with the
        // engine is not copied, and only the reduced frames are turned.
        turned.wide = true;
        turned.view = cv::Mat(own.GetHeight(), own.GetWidth(), CV_16UC1, const_cast<void*>(own.GetPixelData()));
        try {
            turned.recording = FrameReduction::recordingFrame(turned.view, FrameRecorder::kVideoSide);
        } catch (const std::exception& exception) {
            turned.failure = exception.what();
        }
        return turned;
    }
    if (!own.IsEmpty()) {
        const CVyImageFormat& format = own.GetFormat();
        turned.view = cv::Mat(format.height, format.width, matTypeOf(format), own.GetPixelDataForWrite());
        cv::rotate(turned.view, turned.view, cv::ROTATE_180);
    }
    return turned;
}
