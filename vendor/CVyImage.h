// An image with its own pixels. Copies share the pixels until one of them
// writes (copy on write), so handing a frame on costs no pixel copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "CVyImageFormat.h"
#include "IImage.h"

namespace Vy {
// Where the pixels of one or more images live: owned memory or a mapped file.
class PixelStorage;
}  // namespace Vy

class CVyImage : public IImage {
public:
    CVyImage() = default;
    CVyImage(const CVyImage&) = default;
    CVyImage(CVyImage&&) noexcept;
    CVyImage& operator=(const CVyImage&) = default;
    CVyImage& operator=(CVyImage&&) noexcept;
    ~CVyImage();

    // A zero-filled image of the given format; false (and empty) for an invalid format.
    bool Create(const CVyImageFormat& format);
    // A copy of the given packed pixels; false (and empty) for an invalid layout or null pixels.
    bool Create(int32_t width, int32_t height, uint32_t pixelType, uint32_t dataType, const void* pixels);
    // Converts into target (luminance or BGR/RGB, 8 or 16 bit, signed or unsigned byte).
    // 16-bit samples become 8-bit by keeping the top 8 of their 14-bit range.
    // False when the conversion is not supported; target is then left empty.
    bool ConvertType(CVyImage& target, uint32_t pixelType, uint32_t dataType) const;
    // Drops the pixels; the time stamp and frame id stay.
    void Clear();

    int32_t GetWidth() const override { return format_.width; }
    int32_t GetHeight() const override { return format_.height; }
    uint32_t GetPixelType() const override { return format_.pixelType; }
    uint32_t GetDataType() const override { return format_.dataType; }
    const CVyImageFormat& GetFormat() const override { return format_; }
    const void* GetPixelData() const override { return pixels_; }
    void* GetPixelDataForWrite() override;
    size_t GetByteSize() const { return format_.GetByteSize(); }
    bool IsEmpty() const { return pixels_ == nullptr; }

    // Runtime side: an image over pixels that live in storage (no copy).
    static CVyImage FromStorage(const CVyImageFormat& format, std::shared_ptr<const Vy::PixelStorage> storage,
                                const void* pixels);

    double timeStamp = 0.0;  // milliseconds since 1970-01-01 00:00 UTC
    int32_t frameId = 0;     // the camera's frame number
    // Bits of each sample that carry data (e.g. 12 for 12-bit sensor data in 16-bit samples);
    // 0 = the type's usual range: 8 for bytes, 14 for 16-bit samples (the runtime's own 16-bit images).
    int32_t significantBits = 0;
    // significantBits, or the type's usual range when it is 0.
    int32_t GetSignificantBits() const;

private:
    CVyImageFormat format_;
    std::shared_ptr<const Vy::PixelStorage> storage_;
    const void* pixels_ = nullptr;
};
