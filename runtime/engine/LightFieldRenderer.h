// Images on the output grid rendered from the pre-processed micro-images:
// output pixel x at virtual depth v averages the samples at u = c + (x - c) / v
// of the lenses c around it, weighted down towards the rim of the region a
// lens sees so that lenses enter and leave the average smoothly.
#pragma once

#include <cstdint>
#include <vector>

#include "LensGrid.h"
#include "ThreadPool.h"

namespace Vy::Engine {

// Lenses contribute to points closer than this many pitches to their centre
// (and closer than sampleRadius * v, so that the sample lies on the micro-image).
constexpr float kRenderReach = 0.9f;

struct RenderSource {
    const uint16_t* image = nullptr;  // pre-processed, sensor sized
    int32_t width = 0;
    int32_t height = 0;
    float sampleRadius = 0.0f;  // samples stay this close to their lens centre
};

struct RenderTarget {
    uint16_t* image = nullptr;  // output grid
    int32_t width = 0;
    int32_t height = 0;
    int scale = 1;
};

// inverseDepth: per output pixel 1 / virtual depth (<= 0: use fallbackDepth),
// or null to render every pixel at fallbackDepth (refocusing).
void RenderLightField(const RenderSource& source, const LensGrid& grid, const OutputLookup& lookup,
                      const float* inverseDepth, float fallbackDepth, const RenderTarget& target, ThreadPool& pool);

}  // namespace Vy::Engine
