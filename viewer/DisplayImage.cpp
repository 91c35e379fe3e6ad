#include "DisplayImage.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

#include "IImage.h"
#include "VyTypes.h"

namespace Viewer {
namespace {

// 14-bit samples in 16-bit words: the top 8 of the 14 bits, anything above the range saturates.
cv::Mat fourteenBitToEight(const cv::Mat& wide) {
    cv::Mat narrow(wide.rows, wide.cols, CV_MAKETYPE(CV_8U, wide.channels()));
    const size_t count = wide.total() * wide.channels();
    const uint16_t* from = wide.ptr<uint16_t>();
    uint8_t* to = narrow.ptr<uint8_t>();
    for (size_t i = 0; i < count; ++i) to[i] = static_cast<uint8_t>(std::min(from[i] >> Vy::kTo8BitShift, 255));
    return narrow;
}

int channelsOf(uint32_t pixelType) {
    switch (pixelType) {
        case Vy::PixelTypeLuminance:
            return 1;
        case Vy::PixelTypeRGB:
        case Vy::PixelTypeBGR:
            return 3;
        case Vy::PixelTypeRGBA:
        case Vy::PixelTypeBGRA:
            return 4;
        default:
            return 0;
    }
}

}  // namespace

bool toDisplayable(const IImage& image, cv::Mat& out) {
    out.release();
    const int width = image.GetWidth(), height = image.GetHeight();
    const void* pixels = image.GetPixelData();
    const uint32_t pixelType = image.GetPixelType(), dataType = image.GetDataType();
    const int channels = channelsOf(pixelType);
    if (width <= 0 || height <= 0 || pixels == nullptr || channels == 0) return false;

    // A view over the caller's pixels; everything below copies out of it.
    cv::Mat source;
    if (dataType == Vy::DataTypeUnsignedByte)
        source = cv::Mat(height, width, CV_MAKETYPE(CV_8U, channels), const_cast<void*>(pixels));
    else if (dataType == Vy::DataTypeUnsignedShort)
        source = cv::Mat(height, width, CV_MAKETYPE(CV_16U, channels), const_cast<void*>(pixels));
    else
        return false;
    cv::Mat narrow = source.depth() == CV_16U ? fourteenBitToEight(source) : source;

    switch (pixelType) {
        case Vy::PixelTypeRGB:
            cv::cvtColor(narrow, out, cv::COLOR_RGB2BGR);
            break;
        case Vy::PixelTypeRGBA:
            cv::cvtColor(narrow, out, cv::COLOR_RGBA2BGR);
            break;
        case Vy::PixelTypeBGRA:
            cv::cvtColor(narrow, out, cv::COLOR_BGRA2BGR);
            break;
        default:
            out = narrow.data == source.data ? narrow.clone() : narrow;
            break;
    }
    return true;
}

}  // namespace Viewer
