#include "LightFieldRenderer.h"

#include <algorithm>
#include <cmath>

namespace Vy::Engine {

void RenderLightField(const RenderSource& source, const LensGrid& grid, const OutputLookup& lookup,
                      const float* inverseDepth, float fallbackDepth, const RenderTarget& target, ThreadPool& pool) {
    const float fallbackInverse = 1.0f / fallbackDepth;
    // 1 / L^2 for L = min(ringReach, sampleRadius * v), without a division per pixel.
    const float ringInverse2 = 1.0f / (kRenderReach * grid.Pitch() * kRenderReach * grid.Pitch());
    const float radiusInverse2 = 1.0f / (source.sampleRadius * source.sampleRadius);
    const auto& lenses = grid.Lenses();
    // A lens within kRenderReach pitches of a point is its nearest lens or a
    // first-ring neighbour of that lens less than 90 degrees off the point's
    // direction: the neighbour nearest in angle and the two beside it.
    const int32_t stride = source.width;
    const float maxX = static_cast<float>(source.width - 1) - 1e-3f;
    const float maxY = static_cast<float>(source.height - 1) - 1e-3f;
    pool.ParallelFor(static_cast<size_t>(target.height), 8, [&](size_t begin, size_t end) {
        // Centres of the lens around the current run of pixels (index 0) and of its
        // six first-ring neighbours (1 + direction); valid[k] false where there is none.
        float cx[7] = {}, cy[7] = {};
        bool valid[7] = {};
        for (size_t j = begin; j < end; ++j) {
            const float y = target.scale * (j + 0.5f);
            int32_t loaded = -1;
            for (int32_t i = 0; i < target.width; ++i) {
                const size_t at = j * target.width + i;
                const int32_t home = lookup.lens[at];
                if (home < 0) {
                    target.image[at] = 0;
                    continue;
                }
                if (home != loaded) {
                    for (int k = 0; k < 7; ++k) {
                        const int32_t n = k == 0 ? home : lenses[home].neighbour[k - 1];
                        valid[k] = n >= 0;
                        cx[k] = valid[k] ? lenses[n].centre.x : 0.0f;
                        cy[k] = valid[k] ? lenses[n].centre.y : 0.0f;
                    }
                    loaded = home;
                }
                float inverse = inverseDepth ? inverseDepth[at] : fallbackInverse;
                if (!(inverse > 0.0f)) {
                    inverse = fallbackInverse;
                }
                const float inverseReach2 = std::max(ringInverse2, inverse * inverse * radiusInverse2);
                const float x = target.scale * (i + 0.5f);
                const int toward = lookup.sector[at] >> 4;
                const int candidates[4] = {0, 1 + (toward + 5) % 6, 1 + toward, 1 + (toward + 1) % 6};
                float weightSum = 0.0f;
                float valueSum = 0.0f;
                for (int k : candidates) {
                    const float dx = x - cx[k];
                    const float dy = y - cy[k];
                    const float weight = 1.0f - (dx * dx + dy * dy) * inverseReach2;
                    if (!valid[k] || weight <= 0.0f) {
                        continue;
                    }
                    // Sample position in pixel-index coordinates (pixel centres at integers).
                    const float ux = cx[k] + dx * inverse - 0.5f;
                    const float uy = cy[k] + dy * inverse - 0.5f;
                    if (!(ux >= 0.0f && uy >= 0.0f && ux < maxX && uy < maxY)) {
                        continue;
                    }
                    const int32_t x0 = static_cast<int32_t>(ux);
                    const int32_t y0 = static_cast<int32_t>(uy);
                    const float fx = ux - x0;
                    const float fy = uy - y0;
                    const uint16_t* p = source.image + static_cast<size_t>(y0) * stride + x0;
                    const float top = p[0] + fx * (p[1] - p[0]);
                    const float bottom = p[stride] + fx * (p[stride + 1] - p[stride]);
                    weightSum += weight;
                    valueSum += weight * (top + fy * (bottom - top));
                }
                target.image[at] =
                    weightSum > 0.0f ? static_cast<uint16_t>(std::min(16383.0f, valueSum / weightSum + 0.5f)) : 0;
            }
        }
    });
}

}  // namespace Vy::Engine
