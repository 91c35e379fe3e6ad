#include "CVyImage.h"

#include <cstring>
#include <utility>

#include "ImageConversion.h"
#include "PixelStorage.h"

namespace {

// The largest image the runtime agrees to hold; larger formats are refused, not allocated.
constexpr size_t kMaxImageBytes = size_t{1} << 31;

bool IsAcceptableFormat(const CVyImageFormat& format) {
    return format.IsValid() && format.GetByteSize() <= kMaxImageBytes;
}

}  // namespace

CVyImage::CVyImage(CVyImage&& other) noexcept
    : timeStamp(other.timeStamp),
      frameId(other.frameId),
      significantBits(other.significantBits),
      format_(std::exchange(other.format_, CVyImageFormat{})),
      storage_(std::move(other.storage_)),
      pixels_(std::exchange(other.pixels_, nullptr)) {}

CVyImage& CVyImage::operator=(CVyImage&& other) noexcept {
    if (this != &other) {
        timeStamp = other.timeStamp;
        frameId = other.frameId;
        significantBits = other.significantBits;
        format_ = std::exchange(other.format_, CVyImageFormat{});
        storage_ = std::move(other.storage_);
        other.storage_.reset();
        pixels_ = std::exchange(other.pixels_, nullptr);
    }
    return *this;
}

CVyImage::~CVyImage() = default;

bool CVyImage::Create(const CVyImageFormat& format) {
    Clear();
    if (!IsAcceptableFormat(format)) {
        return false;
    }
    format_ = format;
    if (format.GetByteSize() > 0) {
        auto storage = Vy::PixelStorage::Allocate(format.GetByteSize(), true);
        pixels_ = storage->Data();
        storage_ = std::move(storage);
    }
    return true;
}

bool CVyImage::Create(int32_t width, int32_t height, uint32_t pixelType, uint32_t dataType, const void* pixels) {
    Clear();
    const CVyImageFormat format{width, height, pixelType, dataType};
    if (pixels == nullptr || !IsAcceptableFormat(format)) {
        return false;
    }
    format_ = format;
    if (format.GetByteSize() > 0) {
        auto storage = Vy::PixelStorage::Allocate(format.GetByteSize(), false);
        std::memcpy(storage->MutableData(), pixels, format.GetByteSize());
        pixels_ = storage->Data();
        storage_ = std::move(storage);
    }
    return true;
}

bool CVyImage::ConvertType(CVyImage& target, uint32_t pixelType, uint32_t dataType) const {
    const CVyImageFormat targetFormat{format_.width, format_.height, pixelType, dataType};
    // Built aside first: target may be this very image.
    CVyImage result;
    if (!Vy::IsConversionSupported(format_, targetFormat) || !result.Create(targetFormat)) {
        target.Clear();
        return false;
    }
    if (!IsEmpty()) {
        Vy::ConvertPixels(format_, pixels_, targetFormat, result.GetPixelDataForWrite());
    }
    result.timeStamp = timeStamp;
    result.frameId = frameId;
    target = std::move(result);
    return true;
}

void CVyImage::Clear() {
    storage_.reset();
    pixels_ = nullptr;
    format_ = CVyImageFormat{};
}

void* CVyImage::GetPixelDataForWrite() {
    if (pixels_ == nullptr) {
        return nullptr;
    }
    // Copy on write: pixels that other images see, or that live in a read-only mapping, are copied first.
    if (storage_->IsReadOnly() || storage_.use_count() > 1) {
        auto copy = Vy::PixelStorage::Allocate(format_.GetByteSize(), false);
        std::memcpy(copy->MutableData(), pixels_, format_.GetByteSize());
        pixels_ = copy->Data();
        storage_ = std::move(copy);
    }
    // The storage is ours alone and heap-owned, so its bytes are writable.
    return const_cast<void*>(pixels_);
}

CVyImage CVyImage::FromStorage(const CVyImageFormat& format, std::shared_ptr<const Vy::PixelStorage> storage,
                               const void* pixels) {
    CVyImage image;
    if (!storage || pixels == nullptr || !IsAcceptableFormat(format)) {
        return image;
    }
    const auto* first = static_cast<const uint8_t*>(pixels);
    const uint8_t* begin = storage->Data();
    if (first < begin || format.GetByteSize() > storage->Size() ||
        static_cast<size_t>(first - begin) > storage->Size() - format.GetByteSize()) {
        return image;
    }
    image.format_ = format;
    if (format.GetByteSize() > 0) {
        image.storage_ = std::move(storage);
        image.pixels_ = pixels;
    }
    return image;
}

int32_t CVyImage::GetSignificantBits() const {
    if (significantBits > 0) {
        return significantBits;
    }
    return format_.dataType == Vy::DataTypeUnsignedShort ? Vy::kFullScaleBits : format_.GetBitDepth();
}
