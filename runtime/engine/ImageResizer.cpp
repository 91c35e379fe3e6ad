#include "ImageResizer.h"

#include <string>
#include <vector>

#include "CVyException.h"

namespace Vy::Engine {
namespace {

template <typename Sample>
void Shrink(const Sample* in, int32_t inWidth, int channels, int factor, int32_t outWidth, int32_t outHeight,
            Sample* out) {
    const uint32_t area = static_cast<uint32_t>(factor) * factor;
    const size_t rowLength = static_cast<size_t>(outWidth) * channels;
    std::vector<uint32_t> sums(rowLength);
    for (int32_t j = 0; j < outHeight; ++j) {
        std::fill(sums.begin(), sums.end(), 0u);
        for (int dy = 0; dy < factor; ++dy) {
            const Sample* row = in + (static_cast<size_t>(j) * factor + dy) * inWidth * channels;
            for (int32_t i = 0; i < outWidth; ++i) {
                for (int dx = 0; dx < factor; ++dx) {
                    const Sample* pixel = row + (static_cast<size_t>(i) * factor + dx) * channels;
                    for (int ch = 0; ch < channels; ++ch) {
                        sums[static_cast<size_t>(i) * channels + ch] += pixel[ch];
                    }
                }
            }
        }
        Sample* target = out + static_cast<size_t>(j) * rowLength;
        for (size_t k = 0; k < rowLength; ++k) {
            target[k] = static_cast<Sample>((sums[k] + area / 2) / area);
        }
    }
}

}  // namespace

void ResizeByArea(const CVyImage& source, int factor, CVyImage& target) {
    const char* operation = "CCudaCompute::ResizeImage";
    if (factor < 1) {
        throw CVyException(operation, "factor " + std::to_string(factor), "must be at least 1");
    }
    if (source.IsEmpty()) {
        throw CVyException(operation, "source image", "is empty");
    }
    const int bits = source.GetFormat().GetBitDepth();
    const int channels = source.GetFormat().GetChannelCount();
    const uint32_t dataType = source.GetDataType();
    if ((dataType != DataTypeUnsignedByte && dataType != DataTypeUnsignedShort) || channels < 1) {
        throw CVyException(operation, "source image", "only 8- and 16-bit unsigned images can be resized");
    }
    if (factor > 65536 / factor) {
        throw CVyException(operation, "factor " + std::to_string(factor), "is too large");
    }
    const int32_t width = source.GetWidth() / factor;
    const int32_t height = source.GetHeight() / factor;
    if (width < 1 || height < 1) {
        throw CVyException(
            operation, "factor " + std::to_string(factor),
            "is larger than the image " + std::to_string(source.GetWidth()) + "x" + std::to_string(source.GetHeight()));
    }
    CVyImage result;
    CVyImageFormat format = source.GetFormat();
    format.width = width;
    format.height = height;
    if (!result.Create(format)) {
        throw CVyException(operation, "target image", "could not be created");
    }
    if (bits == 8) {
        Shrink(static_cast<const uint8_t*>(source.GetPixelData()), source.GetWidth(), channels, factor, width, height,
               static_cast<uint8_t*>(result.GetPixelDataForWrite()));
    } else {
        Shrink(static_cast<const uint16_t*>(source.GetPixelData()), source.GetWidth(), channels, factor, width, height,
               static_cast<uint16_t*>(result.GetPixelDataForWrite()));
    }
    result.timeStamp = source.timeStamp;
    result.frameId = source.frameId;
    target = std::move(result);
}

}  // namespace Vy::Engine
