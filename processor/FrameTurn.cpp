#include "FrameTurn.h"

#include <opencv2/core.hpp>
#include <utility>

#include "FrameRecorder.h"
#include "FrameReduction.h"
#include "PixelStorage.h"
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
        // Turned into fresh memory in one pass: the image's own pixels may be the engine's.
        const CVyImageFormat format = own.GetFormat();
        const cv::Mat source(format.height, format.width, matTypeOf(format), const_cast<void*>(own.GetPixelData()));
        auto storage = Vy::PixelStorage::Allocate(format.GetByteSize(), false);
        turned.view = cv::Mat(format.height, format.width, matTypeOf(format), storage->MutableData());
        cv::rotate(source, turned.view, cv::ROTATE_180);
        const CVyImage original = std::move(own);
        own = CVyImage::FromStorage(format, std::move(storage), turned.view.data);
        own.timeStamp = original.timeStamp;
        own.frameId = original.frameId;
        own.significantBits = original.significantBits;
    }
    return turned;
}
