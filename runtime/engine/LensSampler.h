// Weighted samples of the lenses that see a virtual point x at depth v: lens c
// shows it at u = c + (x - c) / v, which must lie on c's micro-image (within
// sampleRadius of its centre m = c + s). Those lenses gather around
// x' = x - v s, the point whose chief rays the micro-images are centred on
// (x' = x where micro-images sit on their lenses). Sampled are the lens nearest
// to x' and the three first-ring neighbours less than 90 degrees off x''s
// direction (the only ones that can lie within kRenderReach pitches of it),
// each weighted down as x' nears kRenderReach pitches from c or u nears the
// micro-image's rim, so that lenses enter and leave an average smoothly.
#pragma once

#include <algorithm>
#include <cstdint>

#include "LensGrid.h"

namespace Vy::Engine {

// Lenses contribute to points closer than this many pitches to their centre
// (and closer than sampleRadius * v, so that the sample lies on the micro-image).
constexpr float kRenderReach = 0.99f;

// Multi-focus arrays: each point is taken from the lens types sharp at its depth
// (LensGrid::TypeWeights). The nearest lens of each type lies up to a pitch away
// (at the other types' lens centres), so lenses reach further and the nearest
// lens's whole first ring is sampled (every lens within 1.155 pitches of x' is one of them).
constexpr float kTypedRenderReach = 1.15f;

struct RenderSource {
    const uint16_t* image = nullptr;  // pre-processed, sensor sized
    int32_t width = 0;
    int32_t height = 0;
    float sampleRadius = 0.0f;  // samples stay this close to their lens centre
};

// What the scalar and the vector sampler read: flat lens tables and constants.
struct SamplerTables {
    const uint16_t* image = nullptr;
    int32_t stride = 0;
    const float* cx = nullptr;  // lens centres
    const float* cy = nullptr;
    const int32_t* ring = nullptr;  // first-ring neighbours of lens i at [6 * i + direction]
    float ringInverse2 = 0.0f;      // 1 / (kRenderReach * pitch)^2
    float radiusInverse2 = 0.0f;    // 1 / sampleRadius^2
    // Micro-image centre m = c + growth * (c - principal) of lens centre c.
    float growth = 0.0f;
    float principalX = 0.0f, principalY = 0.0f;
    // Where the lenses around x' are found when growth is not 0.
    const LensGrid* grid = nullptr;
    const OutputLookup* lookup = nullptr;
    float maxX = 0.0f, maxY = 0.0f;      // largest sample position whose 2 x 2 footprint is on the sensor
    float stepX[8] = {}, stepY[8] = {};  // first-ring directions 0..5 (lanes 6 and 7 unused)
    // Multi-focus arrays (typeCount > 1): each lens's type, the types' sharp 1/v, the
    // type steps of the first-ring directions (LensGrid::TypeStep) and the weights' scale.
    int typeCount = 1;
    const int32_t* type = nullptr;
    float typeSharp[8] = {};
    int32_t typeStep[8] = {};
    float typeFocus = 0.0f;          // pitch^2 / kTypeBlur^2
    float typedRingInverse2 = 0.0f;  // 1 / (kTypedRenderReach * pitch)^2
};

// Weights of the lens types for a point at 1 / v = inverse (LensGrid::TypeWeights).
inline void TypeWeights(const SamplerTables& t, float inverse, float* weight) {
    TypeWeightsOf(t.typeSharp, t.typeCount, t.typeFocus, inverse, weight);
}

class LensSampler {
public:
    LensSampler(const RenderSource& source, const LensGrid& grid, const OutputLookup& lookup);

    struct Samples {
        float weightSum = 0.0f;
        float valueSum = 0.0f;   // sum of weight * sample
        float squareSum = 0.0f;  // sum of weight * sample^2
        int count = 0;
    };
    // home: nearest lens of (x, y) (sensor pixels); toward: the first-ring
    // direction closest in angle (OutputLookup::sector >> 4). With micro-images
    // off their lenses both are looked up again for x'.
    Samples Sample(int32_t home, int toward, float x, float y, float inverseDepth) const;

    const SamplerTables& Tables() const { return tables_; }

private:
    Samples SampleTyped(int32_t home, float x, float y, float nearX, float nearY, float inverse) const;

    SamplerTables tables_;
};

}  // namespace Vy::Engine
