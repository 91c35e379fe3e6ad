#include "LightFieldRenderer.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Vy::Engine {
namespace {

// What every row of one rendering shares.
struct RenderJob {
    const RenderSource* source;
    const RenderTarget* target;
    const OutputLookup* lookup;
    const LensGrid* grid;
    const LensSampler* sampler;
    const float* inverseDepth;  // null: every pixel at fallbackInverse
    float fallbackInverse;
    // 1 / L^2 for L = min(kRenderReach * pitch, sampleRadius * v), without a division per pixel.
    float ringInverse2;
    float radiusInverse2;
    float maxX, maxY;  // largest sample position whose 2 x 2 footprint is on the sensor
};

void RenderRowScalar(const RenderJob& job, size_t j, int32_t iBegin) {
    const RenderTarget& target = *job.target;
    const float y = target.scale * (j + 0.5f);
    for (int32_t i = iBegin; i < target.width; ++i) {
        const size_t at = j * target.width + i;
        const int32_t home = job.lookup->lens[at];
        if (home < 0) {
            target.image[at] = 0;
            continue;
        }
        float inverse = job.inverseDepth ? job.inverseDepth[at] : job.fallbackInverse;
        if (!(inverse > 0.0f)) {
            inverse = job.fallbackInverse;
        }
        const LensSampler::Samples s =
            job.sampler->Sample(home, job.lookup->sector[at] >> 4, target.scale * (i + 0.5f), y, inverse);
        target.image[at] =
            s.weightSum > 0.0f ? static_cast<uint16_t>(std::min(16383.0f, s.valueSum / s.weightSum + 0.5f)) : 0;
    }
}

// The same for eight pixels at a time with gathers; the row's tail goes scalar.
__attribute__((target("avx2,fma"))) void RenderRowAvx2(const RenderJob& job, size_t j) {
    const RenderTarget& target = *job.target;
    const float* cx = job.grid->CentreX().data();
    const float* cy = job.grid->CentreY().data();
    const int* image = reinterpret_cast<const int*>(job.source->image);
    const __m256i stride = _mm256_set1_epi32(job.source->width);
    const __m256 y = _mm256_set1_ps(target.scale * (j + 0.5f));
    const __m256 laneX = _mm256_setr_ps(0.5f, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f);
    const __m256 scale = _mm256_set1_ps(static_cast<float>(target.scale));
    const __m256 zero = _mm256_setzero_ps();
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256 maxX = _mm256_set1_ps(job.maxX);
    const __m256 maxY = _mm256_set1_ps(job.maxY);
    const __m256 fallback = _mm256_set1_ps(job.fallbackInverse);
    const __m256 ringInverse2 = _mm256_set1_ps(job.ringInverse2);
    const __m256 radiusInverse2 = _mm256_set1_ps(job.radiusInverse2);
    const __m256i six = _mm256_set1_epi32(6);
    const __m256i five = _mm256_set1_epi32(5);
    const __m256i low16 = _mm256_set1_epi32(0xFFFF);
    const LensGrid& grid = *job.grid;
    const __m256 stepX = _mm256_setr_ps(grid.Direction(0).x, grid.Direction(1).x, grid.Direction(2).x,
                                        grid.Direction(3).x, grid.Direction(4).x, grid.Direction(5).x, 0.0f, 0.0f);
    const __m256 stepY = _mm256_setr_ps(grid.Direction(0).y, grid.Direction(1).y, grid.Direction(2).y,
                                        grid.Direction(3).y, grid.Direction(4).y, grid.Direction(5).y, 0.0f, 0.0f);
    int32_t i = 0;
    for (; i + 8 <= target.width; i += 8) {
        const size_t at = j * target.width + i;
        const __m256i home = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(job.lookup->lens.data() + at));
        const __m256i homeValid = _mm256_cmpgt_epi32(home, _mm256_set1_epi32(-1));
        const __m256i homeSafe = _mm256_and_si256(home, homeValid);
        int64_t sectorBytes;
        std::memcpy(&sectorBytes, job.lookup->sector.data() + at, sizeof sectorBytes);
        const __m256i toward = _mm256_srli_epi32(_mm256_cvtepu8_epi32(_mm_cvtsi64_si128(sectorBytes)), 4);
        __m256 inverse = job.inverseDepth ? _mm256_loadu_ps(job.inverseDepth + at) : fallback;
        inverse = _mm256_blendv_ps(fallback, inverse, _mm256_cmp_ps(inverse, zero, _CMP_GT_OQ));
        const __m256 inverseReach2 =
            _mm256_max_ps(ringInverse2, _mm256_mul_ps(_mm256_mul_ps(inverse, inverse), radiusInverse2));
        const __m256 x = _mm256_mul_ps(scale, _mm256_add_ps(_mm256_set1_ps(static_cast<float>(i)), laneX));
        __m256 weightSum = zero;
        __m256 valueSum = zero;
        const __m256 homeX = _mm256_i32gather_ps(cx, homeSafe, 4);
        const __m256 homeY = _mm256_i32gather_ps(cy, homeSafe, 4);
        for (int k = 0; k < 4; ++k) {
            // Neighbours sit one lattice step from the lens; one that does not
            // exist lies off the sensor, and so do its samples.
            __m256 lx = homeX;
            __m256 ly = homeY;
            if (k > 0) {
                // Direction toward + k - 2, modulo 6.
                __m256i d = _mm256_add_epi32(toward, k == 1 ? five : _mm256_set1_epi32(k - 2));
                d = _mm256_sub_epi32(d, _mm256_and_si256(six, _mm256_cmpgt_epi32(d, five)));
                lx = _mm256_add_ps(lx, _mm256_permutevar8x32_ps(stepX, d));
                ly = _mm256_add_ps(ly, _mm256_permutevar8x32_ps(stepY, d));
            }
            const __m256 dx = _mm256_sub_ps(x, lx);
            const __m256 dy = _mm256_sub_ps(y, ly);
            const __m256 distance2 = _mm256_fmadd_ps(dx, dx, _mm256_mul_ps(dy, dy));
            __m256 weight = _mm256_fnmadd_ps(distance2, inverseReach2, one);
            const __m256 ux = _mm256_sub_ps(_mm256_fmadd_ps(dx, inverse, lx), half);
            const __m256 uy = _mm256_sub_ps(_mm256_fmadd_ps(dy, inverse, ly), half);
            __m256 use = _mm256_and_ps(_mm256_castsi256_ps(homeValid), _mm256_cmp_ps(weight, zero, _CMP_GT_OQ));
            use = _mm256_and_ps(use, _mm256_cmp_ps(ux, zero, _CMP_GE_OQ));
            use = _mm256_and_ps(use, _mm256_cmp_ps(uy, zero, _CMP_GE_OQ));
            use = _mm256_and_ps(use, _mm256_cmp_ps(ux, maxX, _CMP_LT_OQ));
            use = _mm256_and_ps(use, _mm256_cmp_ps(uy, maxY, _CMP_LT_OQ));
            weight = _mm256_and_ps(weight, use);
            // Lanes not used sample pixel 0, which always exists.
            const __m256 sx = _mm256_and_ps(ux, use);
            const __m256 sy = _mm256_and_ps(uy, use);
            const __m256i x0 = _mm256_cvttps_epi32(sx);
            const __m256i y0 = _mm256_cvttps_epi32(sy);
            const __m256 fx = _mm256_sub_ps(sx, _mm256_cvtepi32_ps(x0));
            const __m256 fy = _mm256_sub_ps(sy, _mm256_cvtepi32_ps(y0));
            const __m256i index = _mm256_add_epi32(_mm256_mullo_epi32(y0, stride), x0);
            // One 32-bit gather fetches a pixel and its right neighbour (16 bits each).
            const __m256i topPair = _mm256_i32gather_epi32(image, index, 2);
            const __m256i bottomPair = _mm256_i32gather_epi32(image, _mm256_add_epi32(index, stride), 2);
            const __m256 p00 = _mm256_cvtepi32_ps(_mm256_and_si256(topPair, low16));
            const __m256 p01 = _mm256_cvtepi32_ps(_mm256_srli_epi32(topPair, 16));
            const __m256 p10 = _mm256_cvtepi32_ps(_mm256_and_si256(bottomPair, low16));
            const __m256 p11 = _mm256_cvtepi32_ps(_mm256_srli_epi32(bottomPair, 16));
            const __m256 top = _mm256_fmadd_ps(fx, _mm256_sub_ps(p01, p00), p00);
            const __m256 bottom = _mm256_fmadd_ps(fx, _mm256_sub_ps(p11, p10), p10);
            const __m256 value = _mm256_fmadd_ps(fy, _mm256_sub_ps(bottom, top), top);
            weightSum = _mm256_add_ps(weightSum, weight);
            valueSum = _mm256_fmadd_ps(weight, value, valueSum);
        }
        const __m256 any = _mm256_cmp_ps(weightSum, zero, _CMP_GT_OQ);
        __m256 result = _mm256_add_ps(_mm256_div_ps(valueSum, _mm256_max_ps(weightSum, _mm256_set1_ps(1e-30f))), half);
        result = _mm256_and_ps(_mm256_min_ps(result, _mm256_set1_ps(16383.0f)), any);
        alignas(32) int32_t values[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(values), _mm256_cvttps_epi32(result));
        for (int lane = 0; lane < 8; ++lane) {
            target.image[at + lane] = static_cast<uint16_t>(values[lane]);
        }
    }
    RenderRowScalar(job, j, i);
}

}  // namespace

LensSampler::LensSampler(const RenderSource& source, const LensGrid& grid)
    : source_(source),
      cx_(grid.CentreX().data()),
      cy_(grid.CentreY().data()),
      ring_(grid.FirstRing().data()),
      ringInverse2_(1.0f / (kRenderReach * grid.Pitch() * kRenderReach * grid.Pitch())),
      radiusInverse2_(1.0f / (source.sampleRadius * source.sampleRadius)),
      maxX_(static_cast<float>(source.width - 1) - 1e-3f),
      maxY_(static_cast<float>(source.height - 1) - 1e-3f) {}

LensSampler::Samples LensSampler::Sample(int32_t home, int toward, float x, float y, float inverse) const {
    // Weight 1 - d^2 / L^2 with L = min(kRenderReach * pitch, sampleRadius * v).
    const float inverseReach2 = std::max(ringInverse2_, inverse * inverse * radiusInverse2_);
    const int32_t* around = ring_ + 6 * static_cast<size_t>(home);
    const int32_t candidates[4] = {home, around[(toward + 5) % 6], around[toward], around[(toward + 1) % 6]};
    const int32_t stride = source_.width;
    Samples s;
    for (int32_t n : candidates) {
        if (n < 0) {
            continue;
        }
        const float dx = x - cx_[n];
        const float dy = y - cy_[n];
        const float weight = 1.0f - (dx * dx + dy * dy) * inverseReach2;
        // Sample position in pixel-index coordinates (pixel centres at integers).
        const float ux = cx_[n] + dx * inverse - 0.5f;
        const float uy = cy_[n] + dy * inverse - 0.5f;
        if (weight <= 0.0f || !(ux >= 0.0f && uy >= 0.0f && ux < maxX_ && uy < maxY_)) {
            continue;
        }
        const int32_t x0 = static_cast<int32_t>(ux);
        const int32_t y0 = static_cast<int32_t>(uy);
        const float fx = ux - x0;
        const float fy = uy - y0;
        const uint16_t* p = source_.image + static_cast<size_t>(y0) * stride + x0;
        const float top = p[0] + fx * (p[1] - p[0]);
        const float bottom = p[stride] + fx * (p[stride + 1] - p[stride]);
        const float value = top + fy * (bottom - top);
        s.weightSum += weight;
        s.valueSum += weight * value;
        s.squareSum += weight * value * value;
        ++s.count;
    }
    return s;
}

void RenderLightField(const RenderSource& source, const LensGrid& grid, const OutputLookup& lookup,
                      const float* inverseDepth, float fallbackDepth, const RenderTarget& target, ThreadPool& pool) {
    const float reach = kRenderReach * grid.Pitch();
    const LensSampler sampler(source, grid);
    const RenderJob job{&source,
                        &target,
                        &lookup,
                        &grid,
                        &sampler,
                        inverseDepth,
                        1.0f / fallbackDepth,
                        1.0f / (reach * reach),
                        1.0f / (source.sampleRadius * source.sampleRadius),
                        static_cast<float>(source.width - 1) - 1e-3f,
                        static_cast<float>(source.height - 1) - 1e-3f};
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    pool.ParallelFor(static_cast<size_t>(target.height), 8, [&](size_t begin, size_t end) {
        for (size_t j = begin; j < end; ++j) {
            if (avx2) {
                RenderRowAvx2(job, j);
            } else {
                RenderRowScalar(job, j, 0);
            }
        }
    });
}

}  // namespace Vy::Engine
