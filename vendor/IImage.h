// Read and write access to an image, as the runtime hands it out.
#pragma once

#include <cstdint>

#include "CVyImageFormat.h"

class IImage {
public:
    virtual int32_t GetWidth() const = 0;
    virtual int32_t GetHeight() const = 0;
    virtual uint32_t GetPixelType() const = 0;
    virtual uint32_t GetDataType() const = 0;
    virtual const CVyImageFormat& GetFormat() const = 0;
    // First pixel; rows follow one another with no gap. Null for an empty image.
    virtual const void* GetPixelData() const = 0;
    // Writable pixels; an image that shares its pixels with others gets its own copy first.
    virtual void* GetPixelDataForWrite() = 0;

protected:
    ~IImage() = default;
};
