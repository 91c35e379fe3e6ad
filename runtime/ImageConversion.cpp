#include "ImageConversion.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace Vy {

namespace {

bool IsSupportedPixelType(uint32_t pixelType) {
    return pixelType == PixelTypeLuminance || pixelType == PixelTypeBGR || pixelType == PixelTypeRGB;
}

bool IsSupportedDataType(uint32_t dataType) {
    return dataType == DataTypeByte || dataType == DataTypeUnsignedByte || dataType == DataTypeUnsignedShort;
}

// Channel layout: how many channels and whether they are stored red first.
struct Layout {
    int channels;
    bool redFirst;
};

Layout LayoutOf(uint32_t pixelType) { return {pixelType == PixelTypeLuminance ? 1 : 3, pixelType == PixelTypeRGB}; }

template <typename T>
T Saturate(int value);

template <>
int8_t Saturate<int8_t>(int value) {
    return static_cast<int8_t>(std::clamp(value, -128, 127));
}
template <>
uint8_t Saturate<uint8_t>(int value) {
    return static_cast<uint8_t>(std::clamp(value, 0, 255));
}
template <>
uint16_t Saturate<uint16_t>(int value) {
    return static_cast<uint16_t>(std::clamp(value, 0, 65535));
}

// Brings one sample from the source bit depth to the target's.
inline int Rescale(int value, int sourceBits, int targetBits) {
    if (sourceBits == 8 && targetBits == 16) {
        return value * kTo8BitDivisor;
    }
    if (sourceBits == 16 && targetBits == 8) {
        return (value + kTo8BitDivisor / 2) / kTo8BitDivisor;
    }
    return value;
}

template <typename S, typename T>
void ConvertTyped(const S* source, Layout from, int sourceBits, T* target, Layout to, int targetBits,
                  size_t pixelCount) {
    for (size_t i = 0; i < pixelCount; ++i, source += from.channels, target += to.channels) {
        // Blue, green, red of the pixel in the source's sample domain.
        int bgr[3];
        if (from.channels == 1) {
            bgr[0] = bgr[1] = bgr[2] = source[0];
        } else {
            bgr[0] = from.redFirst ? source[2] : source[0];
            bgr[1] = source[1];
            bgr[2] = from.redFirst ? source[0] : source[2];
        }
        if (to.channels == 1) {
            const int sum = bgr[0] + bgr[1] + bgr[2];
            // Rounded mean; sums of negative signed bytes round toward the nearest as well.
            const int mean = sum >= 0 ? (sum + 1) / 3 : -((-sum + 1) / 3);
            target[0] = Saturate<T>(Rescale(mean, sourceBits, targetBits));
        } else {
            const int b = Rescale(bgr[0], sourceBits, targetBits);
            const int g = Rescale(bgr[1], sourceBits, targetBits);
            const int r = Rescale(bgr[2], sourceBits, targetBits);
            target[0] = Saturate<T>(to.redFirst ? r : b);
            target[1] = Saturate<T>(g);
            target[2] = Saturate<T>(to.redFirst ? b : r);
        }
    }
}

template <typename S>
void ConvertFrom(const S* source, const CVyImageFormat& sourceFormat, const CVyImageFormat& targetFormat,
                 void* target) {
    const Layout from = LayoutOf(sourceFormat.pixelType);
    const Layout to = LayoutOf(targetFormat.pixelType);
    const size_t count = static_cast<size_t>(sourceFormat.width) * static_cast<size_t>(sourceFormat.height);
    const int sourceBits = sourceFormat.GetBitDepth();
    const int targetBits = targetFormat.GetBitDepth();
    switch (targetFormat.dataType) {
        case DataTypeByte:
            ConvertTyped(source, from, sourceBits, static_cast<int8_t*>(target), to, targetBits, count);
            break;
        case DataTypeUnsignedByte:
            ConvertTyped(source, from, sourceBits, static_cast<uint8_t*>(target), to, targetBits, count);
            break;
        default:
            ConvertTyped(source, from, sourceBits, static_cast<uint16_t*>(target), to, targetBits, count);
            break;
    }
}

}  // namespace

bool IsConversionSupported(const CVyImageFormat& source, const CVyImageFormat& target) {
    return IsSupportedPixelType(source.pixelType) && IsSupportedDataType(source.dataType) &&
           IsSupportedPixelType(target.pixelType) && IsSupportedDataType(target.dataType) &&
           source.width == target.width && source.height == target.height;
}

void ConvertPixels(const CVyImageFormat& sourceFormat, const void* source, const CVyImageFormat& targetFormat,
                   void* target) {
    switch (sourceFormat.dataType) {
        case DataTypeByte:
            ConvertFrom(static_cast<const int8_t*>(source), sourceFormat, targetFormat, target);
            break;
        case DataTypeUnsignedByte:
            ConvertFrom(static_cast<const uint8_t*>(source), sourceFormat, targetFormat, target);
            break;
        default:
            ConvertFrom(static_cast<const uint16_t*>(source), sourceFormat, targetFormat, target);
            break;
    }
}

}  // namespace Vy
