#include "LightFieldRenderer.h"

#include <algorithm>
#include <cmath>

namespace Vy::Engine {

void RenderLightField(const RenderSource& source, const LensGrid& grid, const std::vector<int32_t>& nearest,
                      const float* depth, float fallbackDepth, const RenderTarget& target, ThreadPool& pool) {
    const auto& lenses = grid.Lenses();
    // Lenses further than this do not lie on the nearest lens's first ring.
    const float ringReach = 1.15f * grid.Pitch();
    const int32_t stride = source.width;
    const float maxX = static_cast<float>(source.width - 1);
    const float maxY = static_cast<float>(source.height - 1);
    pool.ParallelFor(static_cast<size_t>(target.height), 8, [&](size_t begin, size_t end) {
        for (size_t j = begin; j < end; ++j) {
            const float y = target.scale * (j + 0.5f);
            for (int32_t i = 0; i < target.width; ++i) {
                const size_t at = j * target.width + i;
                const int32_t home = nearest[at];
                if (home < 0) {
                    target.image[at] = 0;
                    continue;
                }
                float v = depth ? depth[at] : fallbackDepth;
                if (!(v > 0.0f)) {
                    v = fallbackDepth;
                }
                const float inverse = 1.0f / v;
                const float reach = std::min(ringReach, source.sampleRadius * v);
                const float inverseReach = 1.0f / reach;
                const float x = target.scale * (i + 0.5f);
                float weightSum = 0.0f;
                float valueSum = 0.0f;
                for (int d = -1; d < 6; ++d) {
                    const int32_t n = d < 0 ? home : lenses[home].neighbour[d];
                    if (n < 0) {
                        continue;
                    }
                    const Vec2 c = lenses[n].centre;
                    const float dx = x - c.x;
                    const float dy = y - c.y;
                    const float falloff = 1.0f - std::sqrt(dx * dx + dy * dy) * inverseReach;
                    if (falloff <= 0.0f) {
                        continue;
                    }
                    // Sample position in pixel-index coordinates (pixel centres at integers).
                    const float ux = c.x + dx * inverse - 0.5f;
                    const float uy = c.y + dy * inverse - 0.5f;
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
                    const float weight = falloff * falloff;
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
