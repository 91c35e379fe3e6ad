#include "DepthEdgeRefiner.h"

#include <algorithm>
#include <cmath>

namespace Vy::Engine {

void RefineDepthEdges(const RenderSource& source, const LensGrid& grid, const OutputLookup& lookup,
                      const std::vector<float>& lensDepth, int32_t width, int32_t height, ThreadPool& pool,
                      float* depth, float* inverseDepth) {
    const LensSampler sampler(source, grid);
    const auto& lenses = grid.Lenses();
    const int scale = lookup.scale;
    // Lenses whose first ring holds more than one surface; only their pixels are looked at.
    std::vector<char> atEdge(lenses.size(), 0);
    for (size_t index = 0; index < lenses.size(); ++index) {
        float lo = 1e30f, hi = 0.0f;
        for (int d = -1; d < 6; ++d) {
            const int32_t n = d < 0 ? static_cast<int32_t>(index) : lenses[index].neighbour[d];
            if (n >= 0 && lensDepth[n] > 0.0f) {
                lo = std::min(lo, lensDepth[n]);
                hi = std::max(hi, lensDepth[n]);
            }
        }
        atEdge[index] = hi > lo * (1.0f + kEdgeTolerance);
    }
    pool.ParallelFor(static_cast<size_t>(height), 16, [&](size_t begin, size_t end) {
        for (size_t j = begin; j < end; ++j) {
            for (int32_t i = 0; i < width; ++i) {
                const size_t at = j * width + i;
                const int32_t home = lookup.lens[at];
                if (home < 0 || !atEdge[home]) {
                    continue;
                }
                // The depths of the lens and its first ring; each surface once.
                float candidates[7];
                int count = 0;
                float lo = 1e30f, hi = 0.0f;
                for (int d = -1; d < 6; ++d) {
                    const int32_t n = d < 0 ? home : lenses[home].neighbour[d];
                    const float v = n >= 0 ? lensDepth[n] : 0.0f;
                    if (v <= 0.0f || std::any_of(candidates, candidates + count,
                                                 [&](float c) { return std::fabs(c - v) <= kEdgeTolerance * c; })) {
                        continue;
                    }
                    candidates[count++] = v;
                    lo = std::min(lo, v);
                    hi = std::max(hi, v);
                }
                if (count < 2 || hi <= lo * (1.0f + kEdgeTolerance)) {
                    continue;
                }
                float bestSpread = 0.0f;
                float best = 0.0f;
                for (int k = 0; k < count; ++k) {
                    // Disagreement of the lenses over the pixel and its eight neighbours.
                    const float inverse = 1.0f / candidates[k];
                    float spread = 0.0f;
                    int used = 0;
                    for (int32_t jj = std::max<int32_t>(0, static_cast<int32_t>(j) - 1);
                         jj <= std::min<int32_t>(height - 1, static_cast<int32_t>(j) + 1); ++jj) {
                        for (int32_t ii = std::max(0, i - 1); ii <= std::min(width - 1, i + 1); ++ii) {
                            const size_t near = static_cast<size_t>(jj) * width + ii;
                            if (lookup.lens[near] < 0) {
                                continue;
                            }
                            const LensSampler::Samples samples =
                                sampler.Sample(lookup.lens[near], lookup.sector[near] >> 4, scale * (ii + 0.5f),
                                               scale * (jj + 0.5f), inverse);
                            if (samples.count < 2) {
                                continue;
                            }
                            const float mean = samples.valueSum / samples.weightSum;
                            spread += samples.squareSum / samples.weightSum - mean * mean;
                            ++used;
                        }
                    }
                    if (used == 0) {
                        continue;
                    }
                    spread /= static_cast<float>(used);
                    if (best == 0.0f || spread < bestSpread) {
                        bestSpread = spread;
                        best = candidates[k];
                    }
                }
                if (best > 0.0f) {
                    depth[at] = best;
                    inverseDepth[at] = 1.0f / best;
                }
            }
        }
    });
}

}  // namespace Vy::Engine
