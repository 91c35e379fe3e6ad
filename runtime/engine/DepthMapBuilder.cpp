#include "DepthMapBuilder.h"

#include <algorithm>
#include <cmath>

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

void BuildDepthMap(const LensGrid& grid, const std::vector<float>& lensDepth, const OutputLookup& lookup, int32_t width,
                   int32_t height, ThreadPool& pool, float* out, float* inverseOut) {
    const int scale = lookup.scale;
    // Linear interpolation (in 1/v) over the triangle of lens centres that holds
    // the point: the nearest lens and two adjacent first-ring neighbours. The
    // barycentric matrices of the six triangles around a lens are the same for all lenses.
    float toBarycentric[6][4];
    for (int s = 0; s < 6; ++s) {
        const Vec2 a = grid.Direction(s);
        const Vec2 b = grid.Direction((s + 1) % 6);
        const float det = a.x * b.y - a.y * b.x;
        toBarycentric[s][0] = b.y / det;
        toBarycentric[s][1] = -b.x / det;
        toBarycentric[s][2] = -a.y / det;
        toBarycentric[s][3] = a.x / det;
    }
    const auto& lenses = grid.Lenses();
    // 1 / v of every lens, 0 where it has none, so that a corner without a depth simply weighs nothing.
    std::vector<float> lensInverse(lenses.size());
    for (size_t k = 0; k < lenses.size(); ++k) {
        lensInverse[k] = lensDepth[k] > 0.0f ? 1.0f / lensDepth[k] : 0.0f;
    }
    // 1 / v at sensor position (x, y) from the triangle of lens `home` in or
    // next to sector s; 0 where its corners have no depth.
    auto interpolate = [&](int32_t home, int s, float x, float y) {
        const Lens& lens = lenses[home];
        const float dx = x - lens.centre.x;
        const float dy = y - lens.centre.y;
        float alpha = toBarycentric[s][0] * dx + toBarycentric[s][1] * dy;
        float beta = toBarycentric[s][2] * dx + toBarycentric[s][3] * dy;
        // A point off the sector's wedge lies in the neighbouring one.
        if (alpha < -1e-4f || beta < -1e-4f) {
            s = alpha < -1e-4f ? (s + 5) % 6 : (s + 1) % 6;
            alpha = toBarycentric[s][0] * dx + toBarycentric[s][1] * dy;
            beta = toBarycentric[s][2] * dx + toBarycentric[s][3] * dy;
        }
        const int32_t corner[3] = {home, lens.neighbour[s], lens.neighbour[(s + 1) % 6]};
        const float weight[3] = {std::max(0.0f, 1.0f - alpha - beta), std::max(0.0f, alpha), std::max(0.0f, beta)};
        float weightSum = 0.0f;
        float inverseSum = 0.0f;
        for (int k = 0; k < 3; ++k) {
            const float inverse = corner[k] >= 0 ? lensInverse[corner[k]] : 0.0f;
            weightSum += inverse > 0.0f ? weight[k] : 0.0f;
            inverseSum += weight[k] * inverse;
        }
        return inverseSum > 0.0f ? inverseSum / weightSum : lensInverse[home];
    };
    const float growth = grid.Growth();
    const Vec2 principal = grid.Principal();
    pool.ParallelFor(static_cast<size_t>(height), 16, [&](size_t begin, size_t end) {
        for (size_t j = begin; j < end; ++j) {
            const float y = scale * (j + 0.5f);
            for (int32_t i = 0; i < width; ++i) {
                const size_t at = j * width + i;
                const int32_t home = lookup.lens[at];
                out[at] = 0.0f;
                inverseOut[at] = 0.0f;
                if (home < 0) {
                    continue;
                }
                const float x = scale * (i + 0.5f);
                float inverse = 0.0f;
                if (growth != 0.0f && lensInverse[home] > 0.0f) {
                    // The lenses that see the point at x gather around x' = x - v s (see
                    // LensSampler), v taken from the nearest lens; their depths hold there.
                    const float pull = growth / (lensInverse[home] + growth);
                    const float nearX = x - (x - principal.x) * pull;
                    const float nearY = y - (y - principal.y) * pull;
                    const int32_t ni = std::clamp(static_cast<int32_t>(nearX / scale), 0, width - 1);
                    const int32_t nj = std::clamp(static_cast<int32_t>(nearY / scale), 0, height - 1);
                    const size_t near = static_cast<size_t>(nj) * width + ni;
                    if (lookup.lens[near] >= 0) {
                        inverse = interpolate(lookup.lens[near], lookup.sector[near] & 15, nearX, nearY);
                    }
                }
                if (!(inverse > 0.0f)) {
                    inverse = interpolate(home, lookup.sector[at] & 15, x, y);
                }
                if (inverse > 0.0f) {
                    out[at] = 1.0f / inverse;
                    inverseOut[at] = inverse;
                }
            }
        }
    });
}

void DepthToDistance(const CCalibration& c, const float* virtualDepth, size_t count, ThreadPool& pool, float* out) {
    // z = 1 / (1/f - 1/bi) with bi = mainLensToMla + v B (Model::distanceFromVirtualDepth), in floats.
    const float inverseFocal = static_cast<float>(1.0 / c.mainFocalLength);
    const float toMla = static_cast<float>(c.mainLensToMla);
    const float b = static_cast<float>(c.mlaToSensor);
    pool.ParallelFor(count, 1 << 15, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            const float v = virtualDepth[i];
            const float bi = toMla + v * b;
            const float z = 1.0f / (inverseFocal - 1.0f / bi);
            out[i] = v > 0.0f && z > 0.0f && z < 1e12f ? z : 0.0f;
        }
    });
}

}  // namespace Vy::Engine
