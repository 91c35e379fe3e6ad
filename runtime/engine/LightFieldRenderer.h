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
constexpr float kRenderReach = 0.99f;

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

// Weighted samples of the lenses around a virtual point: its nearest lens and
// the three first-ring neighbours less than 90 degrees off the point's direction
// (the only ones that can lie within kRenderReach pitches of it).
class LensSampler {
public:
    LensSampler(const RenderSource& source, const LensGrid& grid);

    struct Samples {
        float weightSum = 0.0f;
        float valueSum = 0.0f;   // sum of weight * sample
        float squareSum = 0.0f;  // sum of weight * sample^2
        int count = 0;
    };
    // home: nearest lens of (x, y) (sensor pixels); toward: the first-ring
    // direction closest in angle (OutputLookup::sector >> 4).
    Samples Sample(int32_t home, int toward, float x, float y, float inverseDepth) const;

private:
    const RenderSource& source_;
    const float* cx_;
    const float* cy_;
    const int32_t* ring_;
    float ringInverse2_;
    float radiusInverse2_;
    float maxX_, maxY_;
};

// inverseDepth: per output pixel 1 / virtual depth (<= 0: use fallbackDepth),
// or null to render every pixel at fallbackDepth (refocusing).
void RenderLightField(const RenderSource& source, const LensGrid& grid, const OutputLookup& lookup,
                      const float* inverseDepth, float fallbackDepth, const RenderTarget& target, ThreadPool& pool);

}  // namespace Vy::Engine
