#include "ImagePool.h"

#include <new>
#include <string>

#include "CVyException.h"

namespace Vy::Engine {

CVyImage ImagePool::Take(const CVyImageFormat& format, void*& pixels) {
    const size_t bytes = format.GetByteSize();
    std::shared_ptr<PixelStorage> buffer;
    for (const auto& candidate : buffers_) {
        if (candidate.use_count() == 1 && candidate->Size() == bytes) {
            buffer = candidate;
            break;
        }
    }
    if (!buffer) {
        try {
            buffer = PixelStorage::Allocate(bytes, false);
        } catch (const std::bad_alloc&) {
            throw CVyException("CCudaCompute", "result image", "no memory for " + std::to_string(bytes) + " bytes");
        }
        if (buffers_.size() >= kMaxBuffers) {
            // Forget a buffer nobody uses (or, failing that, the oldest; its images keep it alive).
            size_t drop = 0;
            for (size_t i = 0; i < buffers_.size(); ++i) {
                if (buffers_[i].use_count() == 1) {
                    drop = i;
                    break;
                }
            }
            buffers_.erase(buffers_.begin() + static_cast<std::ptrdiff_t>(drop));
        }
        buffers_.push_back(buffer);
    }
    pixels = buffer->MutableData();
    return CVyImage::FromStorage(format, buffer, buffer->Data());
}

}  // namespace Vy::Engine
