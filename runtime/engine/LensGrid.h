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

struct Vec2 {
    float x = 0.0f;
    float y = 0.0f;
};

// Neighbour directions: ring 1 (baseline = pitch), ring 2 (sqrt(3) * pitch),
// ring 3 (2 * pitch); six each, ring r's directions are 6*(r-1) .. 6*r-1.
constexpr int kRingCount = 3;
constexpr int kDirectionCount = 6 * kRingCount;

// A lens has two centres: its optical centre, from which it projects the
// virtual image (u = c + (x - c) / v), and the centre of its micro-image (the
// exit pupil's image), which says which pixels it lights.
struct Lens {
    Vec2 centre;     // optical centre, sensor pixels
    Vec2 image;      // micro-image centre, sensor pixels
    int32_t cx = 0;  // the pixel that holds the micro-image centre
    int32_t cy = 0;
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
    // 1 / virtual depth that the microlenses focus sharply onto the sensor
    // (1 - B / microlens focal length); away from it a point spreads over a
    // disc of Pitch() * |1/v - SharpInverseDepth()| pixels.
    float SharpInverseDepth() const { return sharpInverse_; }
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
    float sharpInverse_ = 0.0f;
    Vec2 principal_;
    int kMin_ = 0, kMax_ = 0, lMin_ = 0, lMax_ = 0;
    std::vector<int32_t> indexByKl_;  // (l - lMin) * (kMax - kMin + 1) + (k - kMin)
};

}  // namespace Vy::Engine
