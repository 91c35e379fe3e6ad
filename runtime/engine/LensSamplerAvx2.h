// LensSampler::Sample for eight points at once with AVX2 gathers; included only
// by the files whose kernels run when UseAvx2Kernels() says so.
#pragma once

#include "VectorKernels.h"

#if VY_ENGINE_X86_KERNELS
#include <immintrin.h>

#include "LensSampler.h"

namespace Vy::Engine {

struct SampleSums8 {
    __m256 weightSum, valueSum, squareSum, count;
};

#define VY_SAMPLER_AVX2 __attribute__((target("avx2,fma"), always_inline)) inline

// Adds the samples of the lenses centred at (lx, ly) (one per lane) of points x
// seen from x' = near, weighed by `extra` where kWeighed, into s.
template <bool kWeighed>
VY_SAMPLER_AVX2 void AddSampleEight(const SamplerTables& t, __m256i homeValid, __m256 x, __m256 y, __m256 nearX,
                                    __m256 nearY, __m256 inverse, __m256 ringInverse2, __m256 lx, __m256 ly,
                                    __m256 extra, SampleSums8& s) {
    const __m256 zero = _mm256_setzero_ps();
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256i low16 = _mm256_set1_epi32(0xFFFF);
    const __m256i stride = _mm256_set1_epi32(t.stride);
    const int* image = reinterpret_cast<const int*>(t.image);
    const __m256 dx = _mm256_sub_ps(x, lx);
    const __m256 dy = _mm256_sub_ps(y, ly);
    const __m256 nx = _mm256_sub_ps(nearX, lx);
    const __m256 ny = _mm256_sub_ps(nearY, ly);
    const __m256 distance2 = _mm256_fmadd_ps(nx, nx, _mm256_mul_ps(ny, ny));
    // u - m: where the sample lies on the micro-image.
    const __m256 growth = _mm256_set1_ps(t.growth);
    const __m256 ex =
        _mm256_fmsub_ps(dx, inverse, _mm256_mul_ps(growth, _mm256_sub_ps(lx, _mm256_set1_ps(t.principalX))));
    const __m256 ey =
        _mm256_fmsub_ps(dy, inverse, _mm256_mul_ps(growth, _mm256_sub_ps(ly, _mm256_set1_ps(t.principalY))));
    const __m256 offCentre2 = _mm256_fmadd_ps(ex, ex, _mm256_mul_ps(ey, ey));
    __m256 weight = _mm256_sub_ps(one, _mm256_max_ps(_mm256_mul_ps(distance2, ringInverse2),
                                                     _mm256_mul_ps(offCentre2, _mm256_set1_ps(t.radiusInverse2))));
    const __m256 ux = _mm256_sub_ps(_mm256_fmadd_ps(dx, inverse, lx), half);
    const __m256 uy = _mm256_sub_ps(_mm256_fmadd_ps(dy, inverse, ly), half);
    __m256 use = _mm256_and_ps(_mm256_castsi256_ps(homeValid), _mm256_cmp_ps(weight, zero, _CMP_GT_OQ));
    use = _mm256_and_ps(use, _mm256_cmp_ps(ux, zero, _CMP_GE_OQ));
    use = _mm256_and_ps(use, _mm256_cmp_ps(uy, zero, _CMP_GE_OQ));
    use = _mm256_and_ps(use, _mm256_cmp_ps(ux, _mm256_set1_ps(t.maxX), _CMP_LT_OQ));
    use = _mm256_and_ps(use, _mm256_cmp_ps(uy, _mm256_set1_ps(t.maxY), _CMP_LT_OQ));
    if constexpr (kWeighed) {
        weight = _mm256_mul_ps(weight, extra);
    }
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
    const __m256 weighted = _mm256_mul_ps(weight, value);
    s.weightSum = _mm256_add_ps(s.weightSum, weight);
    s.valueSum = _mm256_add_ps(s.valueSum, weighted);
    s.squareSum = _mm256_fmadd_ps(weighted, value, s.squareSum);
    s.count = _mm256_add_ps(s.count, _mm256_and_ps(use, one));
}

// home: nearest lens of each point (-1: none, the lane's sums stay 0);
// toward: first-ring direction closest in angle; x, y: sensor pixels.
VY_SAMPLER_AVX2 SampleSums8 SampleEight(const SamplerTables& t, __m256i home, __m256i toward, __m256 x, __m256 y,
                                        __m256 inverse) {
    const __m256 zero = _mm256_setzero_ps();
    const __m256i six = _mm256_set1_epi32(6);
    const __m256i five = _mm256_set1_epi32(5);
    const __m256 stepX = _mm256_loadu_ps(t.stepX);
    const __m256 stepY = _mm256_loadu_ps(t.stepY);

    // The lenses around x' = x - v s, s = g (x - p) / (1 + g v) (see LensSampler).
    __m256 nearX = x, nearY = y;
    if (t.growth != 0.0f) {
        const __m256 g = _mm256_set1_ps(t.growth);
        const __m256 pull = _mm256_div_ps(g, _mm256_add_ps(inverse, g));
        nearX = _mm256_fnmadd_ps(_mm256_sub_ps(x, _mm256_set1_ps(t.principalX)), pull, x);
        nearY = _mm256_fnmadd_ps(_mm256_sub_ps(y, _mm256_set1_ps(t.principalY)), pull, y);
        const __m256 scale = _mm256_set1_ps(static_cast<float>(t.lookup->scale));
        const __m256i zeroI = _mm256_setzero_si256();
        const __m256i i = _mm256_min_epi32(_mm256_max_epi32(_mm256_cvttps_epi32(_mm256_div_ps(nearX, scale)), zeroI),
                                           _mm256_set1_epi32(t.lookup->width - 1));
        const __m256i j = _mm256_min_epi32(_mm256_max_epi32(_mm256_cvttps_epi32(_mm256_div_ps(nearY, scale)), zeroI),
                                           _mm256_set1_epi32(t.lookup->height - 1));
        const __m256i at = _mm256_add_epi32(_mm256_mullo_epi32(j, _mm256_set1_epi32(t.lookup->width)), i);
        const __m256i wasValid = _mm256_cmpgt_epi32(home, _mm256_set1_epi32(-1));
        home = _mm256_blendv_epi8(home, _mm256_i32gather_epi32(t.lookup->lens.data(), at, 4), wasValid);
        // The sector byte and the three after it (the lookup is padded for this).
        const __m256i sector = _mm256_i32gather_epi32(reinterpret_cast<const int*>(t.lookup->sector.data()), at, 1);
        toward = _mm256_srli_epi32(_mm256_and_si256(sector, _mm256_set1_epi32(0xFF)), 4);
    }
    const __m256i homeValid = _mm256_cmpgt_epi32(home, _mm256_set1_epi32(-1));
    const __m256i homeSafe = _mm256_and_si256(home, homeValid);
    const __m256 homeX = _mm256_i32gather_ps(t.cx, homeSafe, 4);
    const __m256 homeY = _mm256_i32gather_ps(t.cy, homeSafe, 4);
    SampleSums8 s{zero, zero, zero, zero};
    // Neighbours sit one lattice step from the lens; one that does not
    // exist lies off the sensor, and so do its samples.
    if (t.typeCount > 1) {
        // Multi-focus: the lens and its whole first ring, each weighed by its type's sharpness.
        __m256 weight[CCalibration::kMaxLensTypes];
        __m256 least = zero;
        __m256 defocus2[CCalibration::kMaxLensTypes];
        for (int k = 0; k < t.typeCount; ++k) {
            const __m256 d = _mm256_sub_ps(inverse, _mm256_set1_ps(t.typeSharp[k]));
            defocus2[k] = _mm256_mul_ps(d, d);
            least = k == 0 ? defocus2[k] : _mm256_min_ps(least, defocus2[k]);
        }
        for (int k = 0; k < t.typeCount; ++k) {
            const __m256 e = _mm256_add_ps(
                _mm256_set1_ps(1.0f), _mm256_mul_ps(_mm256_set1_ps(t.typeFocus), _mm256_sub_ps(defocus2[k], least)));
            weight[k] = _mm256_div_ps(_mm256_set1_ps(1.0f), _mm256_mul_ps(e, e));
        }
        const __m256i homeType = _mm256_i32gather_epi32(t.type, homeSafe, 4);
        const __m256i count = _mm256_set1_epi32(t.typeCount);
        const __m256 ringInverse2 = _mm256_set1_ps(t.typedRingInverse2);
        for (int k = 0; k < 7; ++k) {
            __m256i type = homeType;
            __m256 lx = homeX, ly = homeY;
            if (k > 0) {
                const int d = k - 1;
                type = _mm256_add_epi32(type, _mm256_set1_epi32(t.typeStep[d]));
                type = _mm256_sub_epi32(type, _mm256_andnot_si256(_mm256_cmpgt_epi32(count, type), count));
                lx = _mm256_add_ps(lx, _mm256_set1_ps(t.stepX[d]));
                ly = _mm256_add_ps(ly, _mm256_set1_ps(t.stepY[d]));
            }
            __m256 extra = weight[0];
            for (int m = 1; m < t.typeCount; ++m) {
                extra = _mm256_blendv_ps(extra, weight[m],
                                         _mm256_castsi256_ps(_mm256_cmpeq_epi32(type, _mm256_set1_epi32(m))));
            }
            AddSampleEight<true>(t, homeValid, x, y, nearX, nearY, inverse, ringInverse2, lx, ly, extra, s);
        }
        return s;
    }
    const __m256 ringInverse2 = _mm256_set1_ps(t.ringInverse2);
    for (int k = 0; k < 4; ++k) {
        __m256 lx = homeX;
        __m256 ly = homeY;
        if (k > 0) {
            // Direction toward + k - 2, modulo 6.
            __m256i d = _mm256_add_epi32(toward, k == 1 ? five : _mm256_set1_epi32(k - 2));
            d = _mm256_sub_epi32(d, _mm256_and_si256(six, _mm256_cmpgt_epi32(d, five)));
            lx = _mm256_add_ps(lx, _mm256_permutevar8x32_ps(stepX, d));
            ly = _mm256_add_ps(ly, _mm256_permutevar8x32_ps(stepY, d));
        }
        AddSampleEight<false>(t, homeValid, x, y, nearX, nearY, inverse, ringInverse2, lx, ly, zero, s);
    }
    return s;
}

#undef VY_SAMPLER_AVX2

}  // namespace Vy::Engine
#endif
