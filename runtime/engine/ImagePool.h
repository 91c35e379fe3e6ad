// Result buffers that come back once nobody looks at them any more, so a
// frame does not pay for fresh (zero-filled, page-faulting) memory.
#pragma once

#include <memory>
#include <vector>

#include "CVyImage.h"
#include "PixelStorage.h"

namespace Vy::Engine {

class ImagePool {
public:
    // An image of the given format over a buffer no image uses any more (or a
    // new one); pixels receives its writable memory, uninitialised. Write
    // before handing the image on. Throws CVyException when memory runs out.
    CVyImage Take(const CVyImageFormat& format, void*& pixels);
    void Clear() { buffers_.clear(); }

private:
    static constexpr size_t kMaxBuffers = 16;
    // The pool's own reference is the only one left when use_count() is 1.
    std::vector<std::shared_ptr<PixelStorage>> buffers_;
};

}  // namespace Vy::Engine
