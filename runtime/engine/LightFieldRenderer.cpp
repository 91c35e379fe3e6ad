#include "LightFieldRenderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "LensSamplerAvx2.h"
#include "VectorKernels.h"
#include "VyTypes.h"

namespace Vy::Engine {
namespace {

// A sample-less output pixel in the unsharpened image.
constexpr float kNoSample = -1.0f;
// Largest value of an output sample (the 14-bit range of the pre-processed image).
constexpr float kTop = static_cast<float>(Vy::kFullScale14);

// What every row of one rendering shares.
struct RenderJob {
    const RenderTarget* target;
    float* blurred;  // the average of the samples per output pixel, before sharpening
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
            job.blurred[at] = kNoSample;
            continue;
        }
        float inverse = job.inverseDepth ? job.inverseDepth[at] : job.fallbackInverse;
        if (!(inverse > 0.0f)) {
            inverse = job.fallbackInverse;
        }
        const LensSampler::Samples s =
            job.sampler->Sample(home, job.lookup->sector[at] >> 4, target.scale * (i + 0.5f), y, inverse);
        job.blurred[at] = s.weightSum > 0.0f ? s.valueSum / s.weightSum : kNoSample;
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
    const __m256 none = _mm256_set1_ps(kNoSample);
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
        const __m256 mean = _mm256_div_ps(s.valueSum, _mm256_max_ps(s.weightSum, _mm256_set1_ps(1e-30f)));
        _mm256_storeu_ps(job.blurred + at, _mm256_blendv_ps(none, mean, any));
    }
    RenderRowScalar(job, j, i);
}
#endif

// Every lens sample is blurred on the sensor: by the pixel's own area (variance
// 1/12 px^2 along each axis), by the bilinear interpolation between pixel centres
// (1/6 px^2 on average over the sample's phases) and, away from the depth the
// microlenses focus sharply, by their defocus disc (diameter d, d^2/16 px^2).
// On the output grid that blur grows with v / scale, and averaging lenses does
// not take it back: they all see the point through the same blur. An output
// pixel should show the mean over its own footprint (1/12 px^2); one step of
// I - k Laplacian(I) with k half the excess variance takes the rest back.
struct Sharpening {
    float pitch2 = 0.0f;  // pitch^2 / 16: the defocus variance per (1/v - sharp)^2
    float sharpInverse = 0.0f;
    float scale = 1.0f;
    // Results kept within their 3 x 3 neighbourhood's own range: no overshoot.
    bool limited = false;
    // Bounds the noise gain (1 + 5.3 k at the grid's highest frequency) where the blur is large.
    static constexpr float kMaxAmount = 1.5f;

    // Multi-focus refocus: the defocus of the lens types' mix (their mean squared
    // defocus, weighed as the samples are); below 0 the one type's.
    float mixedDefocus2 = -1.0f;

    float Amount(float inverse) const {
        const float defocus = inverse - sharpInverse;
        const float sensor =
            mixedDefocus2 >= 0.0f ? 0.25f + pitch2 * mixedDefocus2 : 0.25f + pitch2 * defocus * defocus;
        const float magnification = 1.0f / (inverse * scale);
        const float amount = 0.5f * (sensor * magnification * magnification - 1.0f / 12.0f);
        // Selects, not std::clamp: the row loops stay free of branches.
        return amount < 0.0f ? 0.0f : (amount > kMaxAmount ? kMaxAmount : amount);
    }
};

// One output pixel from its 3 x 3 neighbourhood (rows up, row, down at i - 1, i,
// i + 1). The AVX2 kernel below does the same float operations in the same
// order (and is built without FMA), so both give the same images.
inline uint16_t SharpenPixel(const float* up, const float* row, const float* down, int32_t l, int32_t i, int32_t r,
                             float amount, const Sharpening& sharpening) {
    const float c = row[i];
    if (!(c >= 0.0f)) {
        return 0;  // no sample here
    }
    // Neighbours without a sample count as the centre.
    const auto at = [c](float q) { return q >= 0.0f ? q : c; };
    const float n[8] = {at(row[l]), at(row[r]), at(up[i]), at(down[i]), at(up[l]), at(up[r]), at(down[l]), at(down[r])};
    const float sides = ((n[0] + n[1]) + (n[2] + n[3])) - 4.0f * c;
    const float corners = ((n[4] + n[5]) + (n[6] + n[7])) - 4.0f * c;
    // The isotropic 3 x 3 Laplacian: less gain on diagonal noise than the 5-point one.
    const float laplacian = (4.0f * sides + corners) * (1.0f / 6.0f);
    float low = 0.0f, high = kTop;
    if (sharpening.limited) {
        low = high = c;
        for (float q : n) {
            low = std::min(low, q);
            high = std::max(high, q);
        }
    }
    const float value = std::min(std::max(c - amount * laplacian, low), high);
    return static_cast<uint16_t>(static_cast<int32_t>(value + 0.5f));
}

// The amount at output pixel `at`: refocus has one depth for the whole image,
// total focus each pixel's own.
float AmountAt(const RenderJob& job, const Sharpening& sharpening, size_t at, float fixedAmount) {
    if (!job.inverseDepth) {
        return fixedAmount;
    }
    const float inverse = job.inverseDepth[at];
    return sharpening.Amount(inverse > 0.0f ? inverse : job.fallbackInverse);
}

struct SharpenRow {
    const float* up;
    const float* row;
    const float* down;
    uint16_t* out;
};

SharpenRow RowOf(const float* in, const RenderTarget& target, size_t j) {
    const float* row = in + j * target.width;
    return {j > 0 ? row - target.width : row, row,
            j + 1 < static_cast<size_t>(target.height) ? row + target.width : row, target.image + j * target.width};
}

// Pixels [iBegin, width) of row j, and pixel 0 (the rims repeat their edge pixels).
void SharpenRowScalar(const float* in, const RenderJob& job, const Sharpening& sharpening, size_t j, int32_t iBegin) {
    const RenderTarget& target = *job.target;
    const int32_t w = target.width;
    const SharpenRow s = RowOf(in, target, j);
    const float fixedAmount = sharpening.Amount(job.fallbackInverse);
    for (int32_t i = iBegin; i < w; ++i) {
        s.out[i] = SharpenPixel(s.up, s.row, s.down, std::max(i - 1, 0), i, std::min(i + 1, w - 1),
                                AmountAt(job, sharpening, j * w + i, fixedAmount), sharpening);
    }
    if (iBegin > 0) {
        s.out[0] = SharpenPixel(s.up, s.row, s.down, 0, 0, std::min(1, w - 1),
                                AmountAt(job, sharpening, j * w, fixedAmount), sharpening);
    }
}

#if VY_ENGINE_X86_KERNELS
// A neighbour without a sample counts as the centre c.
__attribute__((target("avx2"))) inline __m256 OrCentre(__m256 q, __m256 c) {
    return _mm256_blendv_ps(c, q, _mm256_cmp_ps(q, _mm256_setzero_ps(), _CMP_GE_OQ));
}

// Pixels 1 .. width - 2 eight at a time, the rest scalar. No FMA: see SharpenPixel.
__attribute__((target("avx2"))) void SharpenRowAvx2(const float* in, const RenderJob& job, const Sharpening& sharpening,
                                                    size_t j) {
    const RenderTarget& target = *job.target;
    const int32_t w = target.width;
    const SharpenRow s = RowOf(in, target, j);
    const __m256 zero = _mm256_setzero_ps();
    const __m256 four = _mm256_set1_ps(4.0f);
    const __m256 sixth = _mm256_set1_ps(1.0f / 6.0f);
    const __m256 top = _mm256_set1_ps(kTop);
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256 fallback = _mm256_set1_ps(job.fallbackInverse);
    const __m256 sharpInverse = _mm256_set1_ps(sharpening.sharpInverse);
    const __m256 pitch2 = _mm256_set1_ps(sharpening.pitch2);
    const __m256 scale = _mm256_set1_ps(sharpening.scale);
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 twelfth = _mm256_set1_ps(1.0f / 12.0f);
    const __m256 maxAmount = _mm256_set1_ps(Sharpening::kMaxAmount);
    const __m256 fixedAmount = _mm256_set1_ps(sharpening.Amount(job.fallbackInverse));
    int32_t i = 1;
    for (; i + 8 <= w - 1; i += 8) {
        const __m256 c = _mm256_loadu_ps(s.row + i);
        __m256 n[8] = {_mm256_loadu_ps(s.row + i - 1),  _mm256_loadu_ps(s.row + i + 1), _mm256_loadu_ps(s.up + i),
                       _mm256_loadu_ps(s.down + i),     _mm256_loadu_ps(s.up + i - 1),  _mm256_loadu_ps(s.up + i + 1),
                       _mm256_loadu_ps(s.down + i - 1), _mm256_loadu_ps(s.down + i + 1)};
        // Sample-less neighbours (only along the rims) are rare: test the eight lanes at once.
        const __m256 lowest = _mm256_min_ps(_mm256_min_ps(_mm256_min_ps(n[0], n[1]), _mm256_min_ps(n[2], n[3])),
                                            _mm256_min_ps(_mm256_min_ps(n[4], n[5]), _mm256_min_ps(n[6], n[7])));
        if (_mm256_movemask_ps(_mm256_cmp_ps(lowest, zero, _CMP_LT_OQ)) != 0) {
            for (__m256& q : n) {
                q = OrCentre(q, c);
            }
        }
        const __m256 fourC = _mm256_mul_ps(four, c);
        const __m256 sides = _mm256_sub_ps(_mm256_add_ps(_mm256_add_ps(n[0], n[1]), _mm256_add_ps(n[2], n[3])), fourC);
        const __m256 corners =
            _mm256_sub_ps(_mm256_add_ps(_mm256_add_ps(n[4], n[5]), _mm256_add_ps(n[6], n[7])), fourC);
        const __m256 laplacian = _mm256_mul_ps(_mm256_add_ps(_mm256_mul_ps(four, sides), corners), sixth);
        __m256 amount = fixedAmount;
        if (job.inverseDepth) {
            __m256 inverse = _mm256_loadu_ps(job.inverseDepth + j * w + i);
            inverse = _mm256_blendv_ps(fallback, inverse, _mm256_cmp_ps(inverse, zero, _CMP_GT_OQ));
            // Sharpening::Amount, operation for operation.
            const __m256 defocus = _mm256_sub_ps(inverse, sharpInverse);
            const __m256 sensor =
                _mm256_add_ps(_mm256_set1_ps(0.25f), _mm256_mul_ps(_mm256_mul_ps(pitch2, defocus), defocus));
            const __m256 magnification = _mm256_div_ps(one, _mm256_mul_ps(inverse, scale));
            amount = _mm256_mul_ps(
                half, _mm256_sub_ps(_mm256_mul_ps(_mm256_mul_ps(sensor, magnification), magnification), twelfth));
            amount = _mm256_min_ps(_mm256_max_ps(amount, zero), maxAmount);
        }
        __m256 low = zero, high = top;
        if (sharpening.limited) {
            low = high = c;
            for (const __m256& q : n) {
                low = _mm256_min_ps(low, q);
                high = _mm256_max_ps(high, q);
            }
        }
        __m256 value = _mm256_sub_ps(c, _mm256_mul_ps(amount, laplacian));
        value = _mm256_min_ps(_mm256_max_ps(value, low), high);
        value = _mm256_and_ps(_mm256_add_ps(value, half), _mm256_cmp_ps(c, zero, _CMP_GE_OQ));
        const __m256i whole = _mm256_cvttps_epi32(value);
        const __m128i packed = _mm_packus_epi32(_mm256_castsi256_si128(whole), _mm256_extracti128_si256(whole, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(s.out + i), packed);
    }
    SharpenRowScalar(in, job, sharpening, j, i);
}
#endif

// Rows spread over the pool, eight at a time; vector: the AVX2 kernels may run.
template <typename Row>
void EachRow(ThreadPool& pool, int32_t height, bool vector, Row row) {
    pool.ParallelFor(static_cast<size_t>(height), 8, [&](size_t begin, size_t end) {
        for (size_t j = begin; j < end; ++j) {
            row(j, vector);
        }
    });
}

}  // namespace

void RenderLightField(const RenderSource& source, const LensGrid& grid, const OutputLookup& lookup,
                      const float* inverseDepth, float fallbackDepth, const RenderTarget& target, ThreadPool& pool) {
    // An empty output grid (a sensor narrower than output.scale) has no pixel to render;
    // the row kernels would read and write its pixel 0 all the same.
    if (target.width <= 0 || target.height <= 0) {
        return;
    }
    const LensSampler sampler(source, grid, lookup);
    // Rendered here first, sharpened into the target afterwards.
    // (Workers see their own thread_local copies: they get the pointer, not the name.)
    thread_local std::vector<float> buffer;
    buffer.resize(static_cast<size_t>(target.width) * target.height);
    float* const blurred = buffer.data();
    const RenderJob job{&target, blurred, &lookup, &sampler, inverseDepth, 1.0f / fallbackDepth};
    const bool avx2 = UseAvx2Kernels();
    EachRow(pool, target.height, avx2, [&](size_t j, bool vector) {
#if VY_ENGINE_X86_KERNELS
        if (vector) {
            RenderRowAvx2(job, j);
            return;
        }
#endif
        RenderRowScalar(job, j, 0);
    });
    Sharpening sharpening;
    // Total focus leaves the defocus out: there v comes from the estimated depth map, and a
    // v off near depth edges or in noisy lenses turns its steep growth into over-sharpening.
    sharpening.pitch2 = inverseDepth ? 0.0f : grid.Pitch() * grid.Pitch() / 16.0f;
    sharpening.sharpInverse = grid.SharpInverseDepth();
    if (!inverseDepth && grid.TypeCount() > 1) {
        const SamplerTables& t = sampler.Tables();
        float weights[CCalibration::kMaxLensTypes];
        TypeWeights(t, job.fallbackInverse, weights);
        float sum = 0.0f, weightSum = 0.0f;
        for (int k = 0; k < t.typeCount; ++k) {
            const float d = job.fallbackInverse - t.typeSharp[k];
            sum += weights[k] * d * d;
            weightSum += weights[k];
        }
        sharpening.mixedDefocus2 = sum / weightSum;
    }
    sharpening.scale = static_cast<float>(target.scale);
    // Total focus feeds the particle measurement: an overshooting rim around a small bright
    // blob moves its outline and upsets its ellipse fit, so there the step is limited.
    sharpening.limited = inverseDepth != nullptr;
    EachRow(pool, target.height, avx2, [&](size_t j, bool vector) {
#if VY_ENGINE_X86_KERNELS
        if (vector) {
            SharpenRowAvx2(blurred, job, sharpening, j);
            return;
        }
#endif
        SharpenRowScalar(blurred, job, sharpening, j, 0);
    });
}

}  // namespace Vy::Engine
