#include "DepthMapBuilder.h"

#include <algorithm>
#include <cmath>

#include "CameraModel.h"

namespace Vy::Engine {

void RejectInconsistent(const LensGrid& grid, float tolerance, std::vector<LensDepth>& depths) {
    const auto& lenses = grid.Lenses();
    std::vector<char> reject(lenses.size(), 0);
    float around[6];
    for (size_t i = 0; i < lenses.size(); ++i) {
        const float v = depths[i].virtualDepth;
        if (v <= 0.0f) {
            continue;
        }
        int count = 0;
        for (int d = 0; d < 6; ++d) {
            const int32_t n = lenses[i].neighbour[d];
            if (n >= 0 && depths[n].virtualDepth > 0.0f) {
                around[count++] = depths[n].virtualDepth;
            }
        }
        if (count < 2) {
            continue;
        }
        std::nth_element(around, around + count / 2, around + count);
        const float median = around[count / 2];
        if (std::fabs(v - median) > tolerance * median) {
            reject[i] = 1;
        }
    }
    for (size_t i = 0; i < lenses.size(); ++i) {
        if (reject[i]) {
            depths[i].virtualDepth = 0.0f;
        }
    }
}

std::vector<float> FillLensDepths(const LensGrid& grid, const std::vector<LensDepth>& depths, int iterations) {
    const auto& lenses = grid.Lenses();
    std::vector<float> depth(lenses.size());
    for (size_t i = 0; i < lenses.size(); ++i) {
        depth[i] = depths[i].virtualDepth;
    }
    std::vector<float> next = depth;
    for (int pass = 0; pass < iterations; ++pass) {
        bool changed = false;
        for (size_t i = 0; i < lenses.size(); ++i) {
            if (depth[i] > 0.0f) {
                continue;
            }
            float inverseSum = 0.0f;
            int count = 0;
            for (int d = 0; d < 6; ++d) {
                const int32_t n = lenses[i].neighbour[d];
                if (n >= 0 && depth[n] > 0.0f) {
                    inverseSum += 1.0f / depth[n];
                    ++count;
                }
            }
            if (count > 0) {
                next[i] = count / inverseSum;
                changed = true;
            }
        }
        if (!changed) {
            break;
        }
        depth = next;
    }
    return depth;
}

void BuildDepthMap(const LensGrid& grid, const std::vector<float>& lensDepth, const std::vector<int32_t>& nearest,
                   int32_t width, int32_t height, int scale, ThreadPool& pool, float* out) {
    // Lenses further than this from a point do not lie on the nearest lens's first ring.
    const float reach = 1.15f * grid.Pitch();
    const auto& lenses = grid.Lenses();
    pool.ParallelFor(static_cast<size_t>(height), 16, [&](size_t begin, size_t end) {
        for (size_t j = begin; j < end; ++j) {
            const float y = scale * (j + 0.5f);
            for (int32_t i = 0; i < width; ++i) {
                const size_t at = j * width + i;
                const int32_t home = nearest[at];
                float value = 0.0f;
                if (home >= 0) {
                    const float x = scale * (i + 0.5f);
                    float weightSum = 0.0f;
                    float inverseSum = 0.0f;
                    for (int d = -1; d < 6; ++d) {
                        const int32_t n = d < 0 ? home : lenses[home].neighbour[d];
                        if (n < 0 || lensDepth[n] <= 0.0f) {
                            continue;
                        }
                        const float dx = x - lenses[n].centre.x;
                        const float dy = y - lenses[n].centre.y;
                        const float falloff = 1.0f - std::sqrt(dx * dx + dy * dy) / reach;
                        if (falloff <= 0.0f) {
                            continue;
                        }
                        const float weight = falloff * falloff;
                        weightSum += weight;
                        inverseSum += weight / lensDepth[n];
                    }
                    if (weightSum > 0.0f) {
                        value = weightSum / inverseSum;
                    }
                }
                out[at] = value;
            }
        }
    });
}

void DepthToDistance(const CCalibration& c, const float* virtualDepth, size_t count, ThreadPool& pool, float* out) {
    pool.ParallelFor(count, 1 << 15, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            const float v = virtualDepth[i];
            float z = 0.0f;
            if (v > 0.0f) {
                const double distance = Model::distanceFromVirtualDepth(c, v);
                z = distance > 0.0 && std::isfinite(distance) ? static_cast<float>(distance) : 0.0f;
            }
            out[i] = z;
        }
    });
}

}  // namespace Vy::Engine
