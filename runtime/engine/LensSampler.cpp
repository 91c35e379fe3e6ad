#include "LensSampler.h"

#include <algorithm>

namespace Vy::Engine {

LensSampler::LensSampler(const RenderSource& source, const LensGrid& grid, const OutputLookup& lookup) {
    SamplerTables& t = tables_;
    t.image = source.image;
    t.stride = source.width;
    t.cx = grid.CentreX().data();
    t.cy = grid.CentreY().data();
    t.ring = grid.FirstRing().data();
    const float reach = kRenderReach * grid.Pitch();
    t.ringInverse2 = 1.0f / (reach * reach);
    t.radiusInverse2 = 1.0f / (source.sampleRadius * source.sampleRadius);
    t.grid = &grid;
    t.lookup = &lookup;
    t.growth = grid.Growth();
    t.principalX = grid.Principal().x;
    t.principalY = grid.Principal().y;
    t.maxX = static_cast<float>(source.width - 1) - 1e-3f;
    t.maxY = static_cast<float>(source.height - 1) - 1e-3f;
    for (int d = 0; d < 6; ++d) {
        t.stepX[d] = grid.Direction(d).x;
        t.stepY[d] = grid.Direction(d).y;
        t.typeStep[d] = grid.TypeStep(d);
    }
    t.typeCount = grid.TypeCount();
    t.type = grid.Types().data();
    for (int k = 0; k < t.typeCount; ++k) {
        t.typeSharp[k] = grid.SharpInverseDepth(k);
    }
    t.typeFocus = grid.TypeFocus();
    const float typedReach = kTypedRenderReach * grid.Pitch();
    t.typedRingInverse2 = 1.0f / (typedReach * typedReach);
}

namespace {

// Adds lens n's sample of the point x (seen from x' = near) with the given reach and extra weight.
inline void AddSample(const SamplerTables& t, int32_t n, float x, float y, float nearX, float nearY, float inverse,
                      float ringInverse2, float extra, LensSampler::Samples& s) {
    const float dx = x - t.cx[n];
    const float dy = y - t.cy[n];
    const float nx = nearX - t.cx[n];
    const float ny = nearY - t.cy[n];
    // u - m: where the sample lies on the micro-image.
    const float ex = dx * inverse - t.growth * (t.cx[n] - t.principalX);
    const float ey = dy * inverse - t.growth * (t.cy[n] - t.principalY);
    float weight = 1.0f - std::max((nx * nx + ny * ny) * ringInverse2, (ex * ex + ey * ey) * t.radiusInverse2);
    // Sample position in pixel-index coordinates (pixel centres at integers).
    const float ux = t.cx[n] + dx * inverse - 0.5f;
    const float uy = t.cy[n] + dy * inverse - 0.5f;
    if (weight <= 0.0f || !(ux >= 0.0f && uy >= 0.0f && ux < t.maxX && uy < t.maxY)) {
        return;
    }
    weight *= extra;
    const int32_t x0 = static_cast<int32_t>(ux);
    const int32_t y0 = static_cast<int32_t>(uy);
    const float fx = ux - x0;
    const float fy = uy - y0;
    const uint16_t* p = t.image + static_cast<size_t>(y0) * t.stride + x0;
    const float top = p[0] + fx * (p[1] - p[0]);
    const float bottom = p[t.stride] + fx * (p[t.stride + 1] - p[t.stride]);
    const float value = top + fy * (bottom - top);
    s.weightSum += weight;
    s.valueSum += weight * value;
    s.squareSum += weight * value * value;
    ++s.count;
}

}  // namespace

LensSampler::Samples LensSampler::SampleTyped(int32_t home, float x, float y, float nearX, float nearY,
                                              float inverse) const {
    const SamplerTables& t = tables_;
    float weights[CCalibration::kMaxLensTypes];
    TypeWeights(t, inverse, weights);
    const int32_t* around = t.ring + 6 * static_cast<size_t>(home);
    const int type = t.type[home];
    Samples s;
    AddSample(t, home, x, y, nearX, nearY, inverse, t.typedRingInverse2, weights[type], s);
    for (int d = 0; d < 6; ++d) {
        if (around[d] >= 0) {
            AddSample(t, around[d], x, y, nearX, nearY, inverse, t.typedRingInverse2,
                      weights[(type + t.typeStep[d]) % t.typeCount], s);
        }
    }
    return s;
}

LensSampler::Samples LensSampler::Sample(int32_t home, int toward, float x, float y, float inverse) const {
    const SamplerTables& t = tables_;
    float nearX = x, nearY = y;
    if (t.growth != 0.0f) {
        const Vec2 near = t.grid->SeenFrom({x, y}, inverse);
        nearX = near.x;
        nearY = near.y;
        const size_t at = t.lookup->PixelAt(near);
        home = t.lookup->lens[at];
        toward = t.lookup->sector[at] >> 4;
        if (home < 0) {
            return {};
        }
    }
    if (t.typeCount > 1) {
        return SampleTyped(home, x, y, nearX, nearY, inverse);
    }
    const int32_t* around = t.ring + 6 * static_cast<size_t>(home);
    const int32_t candidates[4] = {home, around[(toward + 5) % 6], around[toward], around[(toward + 1) % 6]};
    Samples s;
    for (int32_t n : candidates) {
        if (n >= 0) {
            AddSample(t, n, x, y, nearX, nearY, inverse, t.ringInverse2, 1.0f, s);
        }
    }
    return s;
}

}  // namespace Vy::Engine
