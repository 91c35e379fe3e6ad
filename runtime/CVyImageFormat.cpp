#include "CVyImageFormat.h"

#include <limits>

int CVyImageFormat::GetBitDepth() const {
    switch (dataType) {
        case Vy::DataTypeByte:
        case Vy::DataTypeUnsignedByte:
            return 8;
        case Vy::DataTypeShort:
        case Vy::DataTypeUnsignedShort:
            return 16;
        case Vy::DataTypeInt:
        case Vy::DataTypeUnsignedInt:
        case Vy::DataTypeFloat:
            return 32;
        default:
            return 0;
    }
}

int CVyImageFormat::GetChannelCount() const {
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

size_t CVyImageFormat::GetBytesPerPixel() const {
    return static_cast<size_t>(GetChannelCount()) * static_cast<size_t>(GetBitDepth() / 8);
}

size_t CVyImageFormat::GetByteSize() const {
    if (width < 0 || height < 0) {
        return 0;
    }
    // Sizes that do not fit size_t saturate, so any limit check downstream rejects them.
    size_t pixels = 0;
    size_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<size_t>(width), static_cast<size_t>(height), &pixels) ||
        __builtin_mul_overflow(pixels, GetBytesPerPixel(), &bytes)) {
        return std::numeric_limits<size_t>::max();
    }
    return bytes;
}

bool CVyImageFormat::IsValid() const { return width >= 0 && height >= 0 && GetBytesPerPixel() > 0; }
