// Size and sample layout of an image.
#pragma once

#include <cstddef>
#include <cstdint>

#include "VyTypes.h"

class CVyImageFormat {
public:
    int32_t width = 0;
    int32_t height = 0;
    uint32_t pixelType = Vy::PixelTypeNone;
    uint32_t dataType = Vy::DataTypeNone;

    // Bits per channel (8 for bytes, 16 for shorts, 32 for ints and floats; 0 unknown).
    int GetBitDepth() const;
    // Channels per pixel (1 luminance, 3 RGB/BGR, 4 RGBA/BGRA; 0 unknown).
    int GetChannelCount() const;
    // Bytes of one pixel; 0 when the layout is unknown.
    size_t GetBytesPerPixel() const;
    // Bytes of the whole image with packed rows; 0 for an unknown layout or a negative size.
    size_t GetByteSize() const;
    // Known pixel and data type, non-negative size.
    bool IsValid() const;

    bool operator==(const CVyImageFormat&) const = default;
};
