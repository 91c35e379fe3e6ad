#include "LightFieldRenderer.h"

#include <algorithm>
#include <cmath>

namespace Vy::Engine {

void RenderLightField(const RenderSource& source, const LensGrid& grid, const std::vector<int32_t>& nearest,
                      const float* depth, float fallbackDepth, const RenderTarget& target, ThreadPool& pool) {
    const auto& lenses = grid.Lenses();
    // Every point lies within pitch / sqrt(3) of its nearest lens; lenses
    // within ringReach of it all lie on that lens's first ring.
    const float ringReach = kRenderReach * grid.Pitch();
    const int32_t stride = source.width;
    const float maxX = static_cast<float>(source.width - 1);
    const float maxY = static_cast<float>(source.height - 1);
    pool.ParallelFor(static_cast<size_t>(target.height), 8, [&](size_t begin, size_t end) {
        float cx[7], cy[7];
        for (size_t j = begin; j < end; ++j) {
            const float y = target.scale * (j + 0.5f);
            int32_t loaded = -1;
            int count = 0;
            for (int32_t i = 0; i < target.width; ++i) {
                const size_t at = j * target.width + i;
                const int32_t home = nearest[at];
                if (home < 0) {
                    target.image[at] = 0;
                    continue;
                }
                if (home != loaded) {
                    // The lenses around this run of pixels.
                    count = 0;
                    for (int d = -1; d < 6; ++d) {
                        const int32_t n = d < 0 ? home : lenses[home].neighbour[d];
                        if (n >= 0) {
                            cx[count] = lenses[n].centre.x;
                            cy[count] = lenses[n].centre.y;
                            ++count;
                        }
                    }
                    loaded = home;
                }
                float v = depth ? depth[at] : fallbackDepth;
                if (!(v > 0.0f)) {
                    v = fallbackDepth;
                }
                const float inverse = 1.0f / v;
                const float reach = std::min(ringReach, source.sampleRadius * v);
                const float inverseReach2 = 1.0f / (reach * reach);
                const float x = target.scale * (i + 0.5f);
                float weightSum = 0.0f;
                float valueSum = 0.0f;
                for (int m = 0; m < count; ++m) {
                    const float dx = x - cx[m];
                    const float dy = y - cy[m];
                    const float falloff = 1.0f - (dx * dx + dy * dy) * inverseReach2;
                    if (falloff <= 0.0f) {
                        continue;
                    }
                    // Sample position in pixel-index coordinates (pixel centres at integers).
                    const float ux = cx[m] + dx * inverse - 0.5f;
                    const float uy = cy[m] + dy * inverse - 0.5f;
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
                    weightSum += falloff;
                    valueSum += falloff * (top + fy * (bottom - top));
                }
                target.image[at] =
                    weightSum > 0.0f ? static_cast<uint16_t>(std::min(16383.0f, valueSum / weightSum + 0.5f)) : 0;
            }
        }
    });
}

}  // namespace Vy::Engine
