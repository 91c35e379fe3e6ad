// Images on the output grid rendered from the pre-processed micro-images:
// output pixel x at virtual depth v averages the samples of the lenses around
// it (LensSampler). One sharpening step then takes back the blur those samples
// share (pixel area, interpolation and, when refocusing, the microlenses'
// defocus at v), so each pixel shows the mean over its own footprint. In total
// focus, which the particle measurement reads, the step cannot overshoot: each
// pixel stays within the range of its 3 x 3 neighbourhood.
#pragma once

#include <cstdint>
#include <vector>

#include "LensGrid.h"
#include "LensSampler.h"
#include "ThreadPool.h"

namespace Vy::Engine {

struct RenderTarget {
    uint16_t* image = nullptr;  // output grid
    int32_t width = 0;
    int32_t height = 0;
    int scale = 1;
};

// inverseDepth: per output pixel 1 / virtual depth (<= 0: use fallbackDepth),
// or null to render every pixel at fallbackDepth (refocusing). Not reentrant
// on one calling thread (the unsharpened image is kept per thread).
void RenderLightField(const RenderSource& source, const LensGrid& grid, const OutputLookup& lookup,
                      const float* inverseDepth, float fallbackDepth, const RenderTarget& target, ThreadPool& pool);

}  // namespace Vy::Engine
