#include "LightFieldRenderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "LensSamplerAvx2.h"
#include "VectorKernels.h"

namespace Vy::Engine {
namespace {

// What every row of one rendering shares.
struct RenderJob {
    const RenderTarget* target;
    const OutputLookup* lookup;
    const LensSampler* sampler;
    const float* inverseDepth;  // null: every pixel at fallbackInverse
    float fallbackInverse;
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

#if VY_ENGINE_X86_KERNELS
// The same for eight pixels at a time; the row's tail goes scalar.
__attribute__((target("avx2,fma"))) void RenderRowAvx2(const RenderJob& job, size_t j) {
    const RenderTarget& target = *job.target;
    const SamplerTables& tables = job.sampler->Tables();
    const __m256 y = _mm256_set1_ps(target.scale * (j + 0.5f));
    const __m256 laneX = _mm256_setr_ps(0.5f, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f);
    const __m256 scale = _mm256_set1_ps(static_cast<float>(target.scale));
    const __m256 zero = _mm256_setzero_ps();
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256 fallback = _mm256_set1_ps(job.fallbackInverse);
    int32_t i = 0;
    for (; i + 8 <= target.width; i += 8) {
        const size_t at = j * target.width + i;
        const __m256i home = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(job.lookup->lens.data() + at));
        int64_t sectorBytes;
        std::memcpy(&sectorBytes, job.lookup->sector.data() + at, sizeof sectorBytes);
        const __m256i toward = _mm256_srli_epi32(_mm256_cvtepu8_epi32(_mm_cvtsi64_si128(sectorBytes)), 4);
        __m256 inverse = job.inverseDepth ? _mm256_loadu_ps(job.inverseDepth + at) : fallback;
        inverse = _mm256_blendv_ps(fallback, inverse, _mm256_cmp_ps(inverse, zero, _CMP_GT_OQ));
        const __m256 x = _mm256_mul_ps(scale, _mm256_add_ps(_mm256_set1_ps(static_cast<float>(i)), laneX));
        const SampleSums8 s = SampleEight(tables, home, toward, x, y, inverse);
        const __m256 any = _mm256_cmp_ps(s.weightSum, zero, _CMP_GT_OQ);
        __m256 result =
            _mm256_add_ps(_mm256_div_ps(s.valueSum, _mm256_max_ps(s.weightSum, _mm256_set1_ps(1e-30f))), half);
        result = _mm256_and_ps(_mm256_min_ps(result, _mm256_set1_ps(16383.0f)), any);
        alignas(32) int32_t values[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(values), _mm256_cvttps_epi32(result));
        for (int lane = 0; lane < 8; ++lane) {
            target.image[at + lane] = static_cast<uint16_t>(values[lane]);
        }
    }
    RenderRowScalar(job, j, i);
}
#endif

}  // namespace

void RenderLightField(const RenderSource& source, const LensGrid& grid, const OutputLookup& lookup,
                      const float* inverseDepth, float fallbackDepth, const RenderTarget& target, ThreadPool& pool) {
    const LensSampler sampler(source, grid, lookup);
    const RenderJob job{&target, &lookup, &sampler, inverseDepth, 1.0f / fallbackDepth};
    const bool avx2 = UseAvx2Kernels();
    pool.ParallelFor(static_cast<size_t>(target.height), 8, [&](size_t begin, size_t end) {
        for (size_t j = begin; j < end; ++j) {
#if VY_ENGINE_X86_KERNELS
            if (avx2) {
                RenderRowAvx2(job, j);
                continue;
            }
#endif
            RenderRowScalar(job, j, 0);
        }
    });
    (void)avx2;
}

}  // namespace Vy::Engine
