// The microlens array laid out for the engine: every lens whose micro-image
// touches the sensor, its centre, its neighbours on the first three rings, and
// which lens lies nearest to each output-grid pixel.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "CCalibration.h"

namespace Vy::Engine {

// How much a lens type counts for a point at 1 / v = inverse on a multi-focus array:
// 1 / (1 + (b^2 - b_min^2) / kTypeBlur^2)^2, b the type's defocus disc there
// (pixels) and b_min the sharpest type's. A type a pixel blurrier counts less, but
// every type keeps some weight (in rendering, fewer samples would show more of
// the noise and the sensor's pixel grid than they save). focus = pitch^2 / kTypeBlur^2.
constexpr float kTypeBlur = 2.0f;
inline void TypeWeightsOf(const float* sharpInverse, int count, float focus, float inverse, float* weight) {
    float defocus2[CCalibration::kMaxLensTypes];
    float least = 0.0f;
    for (int k = 0; k < count; ++k) {
        const float d = inverse - sharpInverse[k];
        defocus2[k] = d * d;
        least = k == 0 ? defocus2[k] : std::min(least, defocus2[k]);
    }
    for (int k = 0; k < count; ++k) {
        const float e = 1.0f + focus * (defocus2[k] - least);
        weight[k] = 1.0f / (e * e);
    }
}

struct Vec2 {
    float x = 0.0f;
    float y = 0.0f;
};

// Neighbour directions: ring 1 (baseline = pitch), ring 2 (sqrt(3) * pitch),
// ring 3 (2 * pitch), and for far virtual depths, where even distant lenses'
// micro-images overlap, 3 and 4 pitches along ring 1's directions; six each,
// ring r's directions are 6*(r-1) .. 6*r-1.
constexpr int kRingCount = 5;
constexpr int kDirectionCount = 6 * kRingCount;
constexpr int kNearDirectionCount = 18;  // rings 1 to 3

// A lens has two centres: its optical centre, from which it projects the
// virtual image (u = c + (x - c) / v), and the centre of its micro-image (the
// exit pupil's image), which says which pixels it lights.
struct Lens {
    Vec2 centre;     // optical centre, sensor pixels
    Vec2 image;      // micro-image centre, sensor pixels
    int32_t cx = 0;  // the pixel that holds the micro-image centre
    int32_t cy = 0;
    int32_t type = 0;                                  // microlens type (Model::lensType)
    bool inside = false;                               // the whole micro-image lies on the sensor
    std::array<int32_t, kDirectionCount> neighbour{};  // lens index, -1 when there is none
};

// For each pixel of an output grid: the nearest lens, and where the pixel lies
// seen from that lens centre.
struct OutputLookup {
    std::vector<int32_t> lens;    // nearest lens index, -1 for none
    std::vector<uint8_t> sector;  // low nibble: first-ring direction s with the pixel
                                  // between directions s and s+1; high nibble: the
                                  // first-ring direction closest in angle
                                  // (followed by 3 bytes of padding for 32-bit gathers)
    int32_t width = 0, height = 0;
    int scale = 0;

    // Index of the output pixel that holds sensor position p, clamped to the grid.
    size_t PixelAt(Vec2 p) const {
        const int32_t i = std::clamp(static_cast<int32_t>(p.x / scale), 0, width - 1);
        const int32_t j = std::clamp(static_cast<int32_t>(p.y / scale), 0, height - 1);
        return static_cast<size_t>(j) * width + i;
    }
};

class LensGrid {
public:
    LensGrid() = default;
    // Lays out the lenses of calibration c (which must be usable).
    explicit LensGrid(const CCalibration& c);

    const std::vector<Lens>& Lenses() const { return lenses_; }
    // Offset from a lens centre to its neighbour in direction d (sensor pixels).
    Vec2 Direction(int d) const { return directions_[d]; }
    // The same lenses as flat arrays for vectorised loops: centres, and the
    // first-ring neighbours of lens i at [6 * i + direction].
    const std::vector<float>& CentreX() const { return centreX_; }
    const std::vector<float>& CentreY() const { return centreY_; }
    const std::vector<int32_t>& FirstRing() const { return firstRing_; }
    float Pitch() const { return pitch_; }
    // Micro-image centre m = c + Growth() * (c - Principal()) of optical centre c.
    float Growth() const { return growth_; }
    Vec2 Principal() const { return principal_; }
    // Microlens types: 1 / virtual depth that type t focuses sharply onto the
    // sensor (1 - B / its focal length); away from it a point spreads over a
    // disc of Pitch() * |1/v - SharpInverseDepth(t)| pixels.
    int TypeCount() const { return typeCount_; }
    float SharpInverseDepth(int type = 0) const { return sharpInverse_[type]; }
    // The type of the neighbour in direction d of a lens of type t:
    // (t + TypeStep(d)) mod TypeCount(), the same for every lens.
    int TypeStep(int d) const { return typeStep_[d]; }
    // Types of the lenses, flat, for vectorised loops.
    const std::vector<int32_t>& Types() const { return types_; }
    // Weights of the types (TypeCount() of them) at 1 / v = inverse: TypeWeightsOf.
    float TypeFocus() const { return pitch_ * pitch_ / (kTypeBlur * kTypeBlur); }
    void TypeWeights(float inverse, float* weight) const {
        TypeWeightsOf(sharpInverse_.data(), typeCount_, TypeFocus(), inverse, weight);
    }
    // Where the lenses that see the virtual point x at depth 1 / inverseDepth
    // gather: x' = x - v s, s = g (x - p) / (1 + g v) being the micro-image offset
    // of the lenses there; x itself where micro-images sit on their lenses.
    Vec2 SeenFrom(Vec2 x, float inverseDepth) const {
        const float pull = growth_ / (inverseDepth + growth_);
        return {x.x - (x.x - principal_.x) * pull, x.y - (x.y - principal_.y) * pull};
    }

    // Lookup of every pixel of the output grid of the given scale (row-major).
    OutputLookup MakeOutputLookup(int32_t width, int32_t height, int scale) const;

private:
    int32_t IndexOf(int k, int l) const;

    std::vector<Lens> lenses_;
    std::vector<float> centreX_, centreY_;
    std::vector<int32_t> firstRing_;
    std::array<Vec2, kDirectionCount> directions_{};
    float pitch_ = 0.0f;
    float growth_ = 0.0f;
    int typeCount_ = 1;
    std::array<float, CCalibration::kMaxLensTypes> sharpInverse_{};
    std::array<int, kDirectionCount> typeStep_{};
    std::vector<int32_t> types_;
    Vec2 principal_;
    int kMin_ = 0, kMax_ = 0, lMin_ = 0, lMax_ = 0;
    std::vector<int32_t> indexByKl_;  // (l - lMin) * (kMax - kMin + 1) + (k - kMin)
};

}  // namespace Vy::Engine
