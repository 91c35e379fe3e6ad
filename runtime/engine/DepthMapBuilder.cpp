#include "DepthMapBuilder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "DepthEdgeRefiner.h"
#include "VectorKernels.h"
#if VY_ENGINE_X86_KERNELS
#include <immintrin.h>
#endif

namespace Vy::Engine {
namespace {
// Neighbours on the first two rings at the same depth that keep a lens off the median.
constexpr int kSupport = 2;
}  // namespace

void RejectInconsistent(const LensGrid& grid, float tolerance, std::vector<LensDepth>& depths) {
    const auto& lenses = grid.Lenses();
    std::vector<char> reject(lenses.size(), 0);
    float around[6];
    for (size_t i = 0; i < lenses.size(); ++i) {
        const float v = depths[i].virtualDepth;
        // A small object's depth differs from all its neighbours' by nature.
        if (v <= 0.0f || depths[i].compact) {
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
        if (std::fabs(v - median) <= tolerance * median) {
            continue;
        }
        // Off the median, but at a depth edge the median is the other surface's:
        // a lens two of whose neighbours (first or second ring) see the same
        // surface is part of a narrow strip or a rim, not an outlier.
        int support = 0;
        for (int d = 0; d < 12; ++d) {
            const int32_t n = lenses[i].neighbour[d];
            if (n >= 0 && depths[n].virtualDepth > 0.0f && std::fabs(depths[n].virtualDepth - v) <= tolerance * v) {
                ++support;
            }
        }
        if (support < kSupport) {
            reject[i] = 1;
        }
    }
    for (size_t i = 0; i < lenses.size(); ++i) {
        if (reject[i]) {
            depths[i].virtualDepth = 0.0f;
        }
    }
}

void PreferSharpLenses(const LensGrid& grid, std::vector<LensDepth>& depths) {
    if (grid.TypeCount() < 2) {
        return;
    }
    const auto& lenses = grid.Lenses();
    // Each lens's own weight at its own depth, from the estimates before any change.
    std::vector<float> inverse(lenses.size(), 0.0f), sharpness(lenses.size(), 0.0f);
    for (size_t i = 0; i < lenses.size(); ++i) {
        if (depths[i].virtualDepth > 0.0f) {
            float weights[CCalibration::kMaxLensTypes];
            inverse[i] = 1.0f / depths[i].virtualDepth;
            grid.TypeWeights(inverse[i], weights);
            sharpness[i] = weights[lenses[i].type];
        }
    }
    for (size_t i = 0; i < lenses.size(); ++i) {
        if (!(inverse[i] > 0.0f) || depths[i].compact || sharpness[i] >= kSharpEnough) {
            continue;
        }
        float sum = sharpness[i] * inverse[i], weightSum = sharpness[i];
        for (int d = 0; d < 6; ++d) {
            const int32_t n = lenses[i].neighbour[d];
            if (n >= 0 && inverse[n] > 0.0f && !depths[n].compact &&
                std::fabs(inverse[n] - inverse[i]) <= kSameSurface * inverse[i]) {
                sum += sharpness[n] * inverse[n];
                weightSum += sharpness[n];
            }
        }
        depths[i].virtualDepth = weightSum / sum;
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
            float lo = 1e30f, hi = 0.0f;
            int count = 0;
            for (int d = 0; d < 6; ++d) {
                const int32_t n = lenses[i].neighbour[d];
                if (n >= 0 && depth[n] > 0.0f) {
                    inverseSum += 1.0f / depth[n];
                    lo = std::min(lo, depth[n]);
                    hi = std::max(hi, depth[n]);
                    ++count;
                }
            }
            if (count > 0) {
                // Across a depth edge the mean is a depth of no surface; a textured lens
                // whose match failed there mostly sees the occluded, farther one (an
                // untextured one, say the blank wall between particles, sees neither).
                next[i] = depths[i].cost > 0.0f && hi > lo * (1.0f + kEdgeJump) ? lo : count / inverseSum;
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

namespace {

// What every row of one depth map shares.
struct DepthMapJob {
    // Linear interpolation (in 1/v) over the triangle of lens centres that holds
    // the point: the nearest lens and two adjacent first-ring neighbours. The
    // barycentric matrices of the six triangles around a lens are the same for
    // all lenses: alpha = b0[s] dx + b1[s] dy, beta = b2[s] dx + b3[s] dy.
    alignas(32) float toBarycentric[4][8] = {};
    const float* lensInverse;  // 1 / v of every lens, 0 where it has none
    const float* cx;
    const float* cy;
    const int32_t* ring;  // first-ring neighbours of lens i at [6 * i + direction]
    const OutputLookup* lookup;
    int32_t width, height;
    int scale;
    const LensGrid* grid;  // micro-image growth and principal point
};

// 1 / v at sensor position (x, y) from the triangle of lens `home` in or next
// to sector s; 0 where its corners have no depth.
float Interpolate(const DepthMapJob& job, int32_t home, int s, float x, float y) {
    const float dx = x - job.cx[home];
    const float dy = y - job.cy[home];
    const auto& b = job.toBarycentric;
    float alpha = b[0][s] * dx + b[1][s] * dy;
    float beta = b[2][s] * dx + b[3][s] * dy;
    // A point off the sector's wedge lies in the neighbouring one.
    if (alpha < -1e-4f || beta < -1e-4f) {
        s = alpha < -1e-4f ? (s + 5) % 6 : (s + 1) % 6;
        alpha = b[0][s] * dx + b[1][s] * dy;
        beta = b[2][s] * dx + b[3][s] * dy;
    }
    const int32_t corner[3] = {home, job.ring[6 * static_cast<size_t>(home) + s],
                               job.ring[6 * static_cast<size_t>(home) + (s + 1) % 6]};
    const float weight[3] = {std::max(0.0f, 1.0f - alpha - beta), std::max(0.0f, alpha), std::max(0.0f, beta)};
    float weightSum = 0.0f;
    float inverseSum = 0.0f;
    for (int k = 0; k < 3; ++k) {
        const float inverse = corner[k] >= 0 ? job.lensInverse[corner[k]] : 0.0f;
        weightSum += inverse > 0.0f ? weight[k] : 0.0f;
        inverseSum += weight[k] * inverse;
    }
    return inverseSum > 0.0f ? inverseSum / weightSum : job.lensInverse[home];
}

void DepthRowScalar(const DepthMapJob& job, size_t j, int32_t iBegin, float* out, float* inverseOut) {
    const OutputLookup& lookup = *job.lookup;
    const float y = job.scale * (j + 0.5f);
    for (int32_t i = iBegin; i < job.width; ++i) {
        const size_t at = j * job.width + i;
        const int32_t home = lookup.lens[at];
        out[at] = 0.0f;
        inverseOut[at] = 0.0f;
        if (home < 0) {
            continue;
        }
        const float x = job.scale * (i + 0.5f);
        float inverse = 0.0f;
        if (job.grid->Growth() != 0.0f && job.lensInverse[home] > 0.0f) {
            // The lenses that see the point at x gather around x' (LensGrid::SeenFrom),
            // v taken from the nearest lens; their depths hold there.
            const Vec2 seen = job.grid->SeenFrom({x, y}, job.lensInverse[home]);
            const size_t near = lookup.PixelAt(seen);
            if (lookup.lens[near] >= 0) {
                inverse = Interpolate(job, lookup.lens[near], lookup.sector[near] & 15, seen.x, seen.y);
            }
        }
        if (!(inverse > 0.0f)) {
            inverse = Interpolate(job, home, lookup.sector[at] & 15, x, y);
        }
        if (inverse > 0.0f) {
            out[at] = 1.0f / inverse;
            inverseOut[at] = inverse;
        }
    }
}

#if VY_ENGINE_X86_KERNELS
#define VY_AVX2_INLINE __attribute__((target("avx2,fma"), always_inline)) inline

// b0[s] dx + b1[s] dy for eight sectors s.
VY_AVX2_INLINE __m256 SectorDot(__m256 b0, __m256 b1, __m256i s, __m256 dx, __m256 dy) {
    return _mm256_add_ps(_mm256_mul_ps(_mm256_permutevar8x32_ps(b0, s), dx),
                         _mm256_mul_ps(_mm256_permutevar8x32_ps(b1, s), dy));
}

// 1 / v of eight lenses, 0 where the lens is -1.
VY_AVX2_INLINE __m256 LensInverseOf(const float* lensInverse, __m256i lens) {
    const __m256i exists = _mm256_cmpgt_epi32(lens, _mm256_set1_epi32(-1));
    return _mm256_and_ps(_mm256_i32gather_ps(lensInverse, _mm256_and_si256(lens, exists), 4),
                         _mm256_castsi256_ps(exists));
}

// w where the corner has a depth, else 0.
VY_AVX2_INLINE __m256 WeightIfDepth(__m256 w, __m256 inverse) {
    return _mm256_and_ps(w, _mm256_cmp_ps(inverse, _mm256_setzero_ps(), _CMP_GT_OQ));
}

// Interpolate for eight points; home must be a valid lens in every lane.
__attribute__((target("avx2,fma"), always_inline)) inline __m256 InterpolateEight(const DepthMapJob& job, __m256i home,
                                                                                  __m256i s, __m256 x, __m256 y) {
    const __m256 zero = _mm256_setzero_ps();
    const __m256 limit = _mm256_set1_ps(-1e-4f);
    const __m256i six = _mm256_set1_epi32(6);
    const __m256 b0 = _mm256_load_ps(job.toBarycentric[0]), b1 = _mm256_load_ps(job.toBarycentric[1]);
    const __m256 b2 = _mm256_load_ps(job.toBarycentric[2]), b3 = _mm256_load_ps(job.toBarycentric[3]);
    const __m256 dx = _mm256_sub_ps(x, _mm256_i32gather_ps(job.cx, home, 4));
    const __m256 dy = _mm256_sub_ps(y, _mm256_i32gather_ps(job.cy, home, 4));
    __m256 alpha = SectorDot(b0, b1, s, dx, dy);
    __m256 beta = SectorDot(b2, b3, s, dx, dy);
    // A point off the sector's wedge lies in the neighbouring one.
    const __m256i offAlpha = _mm256_castps_si256(_mm256_cmp_ps(alpha, limit, _CMP_LT_OQ));
    const __m256i offBeta = _mm256_andnot_si256(offAlpha, _mm256_castps_si256(_mm256_cmp_ps(beta, limit, _CMP_LT_OQ)));
    const __m256i previous = _mm256_add_epi32(s, _mm256_and_si256(six, _mm256_cmpgt_epi32(_mm256_set1_epi32(1), s)));
    const __m256i next = _mm256_sub_epi32(_mm256_add_epi32(s, _mm256_set1_epi32(1)),
                                          _mm256_and_si256(six, _mm256_cmpgt_epi32(s, _mm256_set1_epi32(4))));
    s = _mm256_blendv_epi8(s, _mm256_sub_epi32(previous, _mm256_set1_epi32(1)), offAlpha);
    s = _mm256_blendv_epi8(s, next, offBeta);
    const __m256 moved = _mm256_castsi256_ps(_mm256_or_si256(offAlpha, offBeta));
    alpha = _mm256_blendv_ps(alpha, SectorDot(b0, b1, s, dx, dy), moved);
    beta = _mm256_blendv_ps(beta, SectorDot(b2, b3, s, dx, dy), moved);
    const __m256i base = _mm256_mullo_epi32(home, six);
    const __m256i sNext = _mm256_sub_epi32(_mm256_add_epi32(s, _mm256_set1_epi32(1)),
                                           _mm256_and_si256(six, _mm256_cmpgt_epi32(s, _mm256_set1_epi32(4))));
    const __m256i corner1 = _mm256_i32gather_epi32(job.ring, _mm256_add_epi32(base, s), 4);
    const __m256i corner2 = _mm256_i32gather_epi32(job.ring, _mm256_add_epi32(base, sNext), 4);
    const __m256 inverse0 = _mm256_i32gather_ps(job.lensInverse, home, 4);
    const __m256 inverse1 = LensInverseOf(job.lensInverse, corner1);
    const __m256 inverse2 = LensInverseOf(job.lensInverse, corner2);
    const __m256 w0 = _mm256_max_ps(zero, _mm256_sub_ps(_mm256_sub_ps(_mm256_set1_ps(1.0f), alpha), beta));
    const __m256 w1 = _mm256_max_ps(zero, alpha);
    const __m256 w2 = _mm256_max_ps(zero, beta);
    const __m256 weightSum = _mm256_add_ps(_mm256_add_ps(WeightIfDepth(w0, inverse0), WeightIfDepth(w1, inverse1)),
                                           WeightIfDepth(w2, inverse2));
    const __m256 inverseSum = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(w0, inverse0), _mm256_mul_ps(w1, inverse1)),
                                            _mm256_mul_ps(w2, inverse2));
    const __m256 some = _mm256_cmp_ps(inverseSum, zero, _CMP_GT_OQ);
    return _mm256_blendv_ps(inverse0, _mm256_div_ps(inverseSum, _mm256_max_ps(weightSum, _mm256_set1_ps(1e-30f))),
                            some);
}

// DepthRowScalar for eight pixels at a time; the row's tail goes scalar.
__attribute__((target("avx2,fma"))) void DepthRowAvx2(const DepthMapJob& job, size_t j, float* out, float* inverseOut) {
    const OutputLookup& lookup = *job.lookup;
    const __m256 zero = _mm256_setzero_ps();
    const __m256i none = _mm256_set1_epi32(-1);
    const __m256i fifteen = _mm256_set1_epi32(15);
    const __m256 scale = _mm256_set1_ps(static_cast<float>(job.scale));
    const __m256 laneX = _mm256_setr_ps(0.5f, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f);
    const __m256 y = _mm256_set1_ps(job.scale * (j + 0.5f));
    const __m256 growth = _mm256_set1_ps(job.grid->Growth());
    const __m256i lastColumn = _mm256_set1_epi32(job.width - 1);
    const __m256i lastRow = _mm256_set1_epi32(job.height - 1);
    int32_t i = 0;
    for (; i + 8 <= job.width; i += 8) {
        const size_t at = j * job.width + i;
        const __m256i home = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lookup.lens.data() + at));
        const __m256i valid = _mm256_cmpgt_epi32(home, none);
        const __m256i homeSafe = _mm256_and_si256(home, valid);
        int64_t sectorBytes;
        std::memcpy(&sectorBytes, lookup.sector.data() + at, sizeof sectorBytes);
        const __m256i sector = _mm256_and_si256(_mm256_cvtepu8_epi32(_mm_cvtsi64_si128(sectorBytes)), fifteen);
        const __m256 x = _mm256_mul_ps(scale, _mm256_add_ps(_mm256_set1_ps(static_cast<float>(i)), laneX));
        __m256 inverse = zero;
        if (job.grid->Growth() != 0.0f) {
            const __m256 homeInverse =
                _mm256_and_ps(_mm256_i32gather_ps(job.lensInverse, homeSafe, 4), _mm256_castsi256_ps(valid));
            const __m256 shifted = _mm256_cmp_ps(homeInverse, zero, _CMP_GT_OQ);
            const __m256 pull = _mm256_div_ps(growth, _mm256_add_ps(homeInverse, growth));
            const __m256 nearX =
                _mm256_sub_ps(x, _mm256_mul_ps(_mm256_sub_ps(x, _mm256_set1_ps(job.grid->Principal().x)), pull));
            const __m256 nearY =
                _mm256_sub_ps(y, _mm256_mul_ps(_mm256_sub_ps(y, _mm256_set1_ps(job.grid->Principal().y)), pull));
            const __m256i ni = _mm256_min_epi32(
                _mm256_max_epi32(_mm256_cvttps_epi32(_mm256_div_ps(nearX, scale)), _mm256_setzero_si256()), lastColumn);
            const __m256i nj = _mm256_min_epi32(
                _mm256_max_epi32(_mm256_cvttps_epi32(_mm256_div_ps(nearY, scale)), _mm256_setzero_si256()), lastRow);
            const __m256i near = _mm256_add_epi32(_mm256_mullo_epi32(nj, _mm256_set1_epi32(job.width)), ni);
            const __m256i nearHome = _mm256_i32gather_epi32(lookup.lens.data(), near, 4);
            const __m256i use = _mm256_and_si256(_mm256_castps_si256(shifted), _mm256_cmpgt_epi32(nearHome, none));
            if (!_mm256_testz_si256(use, use)) {
                // The sector byte and the three after it (the lookup is padded for this).
                const __m256i nearSector = _mm256_and_si256(
                    _mm256_i32gather_epi32(reinterpret_cast<const int*>(lookup.sector.data()), near, 1), fifteen);
                inverse =
                    _mm256_and_ps(InterpolateEight(job, _mm256_and_si256(nearHome, use), nearSector, nearX, nearY),
                                  _mm256_castsi256_ps(use));
            }
        }
        const __m256i need = _mm256_andnot_si256(_mm256_castps_si256(_mm256_cmp_ps(inverse, zero, _CMP_GT_OQ)), valid);
        if (!_mm256_testz_si256(need, need)) {
            inverse =
                _mm256_blendv_ps(inverse, InterpolateEight(job, homeSafe, sector, x, y), _mm256_castsi256_ps(need));
        }
        inverse = _mm256_and_ps(inverse, _mm256_castsi256_ps(valid));
        const __m256 some = _mm256_cmp_ps(inverse, zero, _CMP_GT_OQ);
        _mm256_storeu_ps(inverseOut + at, _mm256_and_ps(inverse, some));
        _mm256_storeu_ps(out + at, _mm256_and_ps(_mm256_div_ps(_mm256_set1_ps(1.0f), inverse), some));
    }
    DepthRowScalar(job, j, i, out, inverseOut);
}
#endif

}  // namespace

void BuildDepthMap(const LensGrid& grid, const std::vector<float>& lensDepth, const OutputLookup& lookup, int32_t width,
                   int32_t height, ThreadPool& pool, float* out, float* inverseOut) {
    DepthMapJob job;
    for (int s = 0; s < 6; ++s) {
        const Vec2 a = grid.Direction(s);
        const Vec2 b = grid.Direction((s + 1) % 6);
        const float det = a.x * b.y - a.y * b.x;
        job.toBarycentric[0][s] = b.y / det;
        job.toBarycentric[1][s] = -b.x / det;
        job.toBarycentric[2][s] = -a.y / det;
        job.toBarycentric[3][s] = a.x / det;
    }
    // Inverted once, 0 where a lens has no depth, so that such a corner simply weighs nothing.
    std::vector<float> lensInverse(lensDepth.size());
    for (size_t k = 0; k < lensDepth.size(); ++k) {
        lensInverse[k] = lensDepth[k] > 0.0f ? 1.0f / lensDepth[k] : 0.0f;
    }
    job.lensInverse = lensInverse.data();
    job.cx = grid.CentreX().data();
    job.cy = grid.CentreY().data();
    job.ring = grid.FirstRing().data();
    job.lookup = &lookup;
    job.width = width;
    job.height = height;
    job.scale = lookup.scale;
    job.grid = &grid;
    const bool avx2 = UseAvx2Kernels();
    pool.ParallelFor(static_cast<size_t>(height), 16, [&](size_t begin, size_t end) {
        for (size_t j = begin; j < end; ++j) {
#if VY_ENGINE_X86_KERNELS
            if (avx2) {
                DepthRowAvx2(job, j, out, inverseOut);
                continue;
            }
#endif
            DepthRowScalar(job, j, 0, out, inverseOut);
        }
    });
    (void)avx2;
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
