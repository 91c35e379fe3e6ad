#include "DepthEstimator.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "VectorKernels.h"
#include "VyTypes.h"

namespace Vy::Engine {
namespace {

// Pi in the single precision of the matching arithmetic.
constexpr float kPiF = static_cast<float>(Vy::kPi);

// A comparison that overlaps less than this share of the matched disc says too little.
constexpr float kMinOverlap = 0.1f;
// The coarse scan compares with the neighbours at 0, 60 and 120 degrees: enough
// for texture of any orientation; the refinement uses every direction.
constexpr int kCoarseDirections = 3;
constexpr int kRefineRounds = 4;       // at most; one when the coarse scan was close
constexpr int kFineRowStep = 1;        // every row: sampling alternate rows makes the depth jump as an object moves
constexpr int kRefineDirections = 12;  // first and second ring
// Beyond this virtual depth a pitch of baseline moves the match by less than a pixel
// over a factor of 2 in depth: rings 3 to 5 (2 to 4 pitches) join the refinement.
constexpr float kFarInverse = 1.0f / 8.0f;

std::vector<DepthEstimator::Span> DiscSpans(float radius) {
    std::vector<DepthEstimator::Span> spans;
    const int r = static_cast<int>(std::floor(radius));
    for (int dy = -r; dy <= r; ++dy) {
        const int half = static_cast<int>(std::floor(std::sqrt(radius * radius - float(dy * dy))));
        spans.push_back({static_cast<int16_t>(dy), static_cast<int16_t>(-half), static_cast<int16_t>(half)});
    }
    return spans;
}

// Mean, mean absolute deviation and brightest pixel of the matched disc.
struct DiscStatistics {
    float mean = 0.0f;
    float deviation = 0.0f;
    float peak = 0.0f;
    int peakX = 0, peakY = 0;  // offset from the lens's centre pixel
};

DiscStatistics MeasureDisc(const float* image, std::ptrdiff_t at, int32_t stride,
                           const std::vector<DepthEstimator::Span>& disc) {
    DiscStatistics stats;
    float sum = 0.0f;
    int count = 0;
    for (const auto& span : disc) {
        const float* row = image + at + std::ptrdiff_t{span.dy} * stride;
        for (int x = span.dx0; x <= span.dx1; ++x) {
            sum += row[x];
        }
        count += span.dx1 - span.dx0 + 1;
    }
    stats.mean = sum / static_cast<float>(std::max(1, count));
    stats.peak = -std::numeric_limits<float>::infinity();
    float deviation = 0.0f;
    for (const auto& span : disc) {
        const float* row = image + at + std::ptrdiff_t{span.dy} * stride;
        for (int x = span.dx0; x <= span.dx1; ++x) {
            deviation += std::fabs(row[x] - stats.mean);
            if (row[x] > stats.peak) {
                stats.peak = row[x];
                stats.peakX = x;
                stats.peakY = span.dy;
            }
        }
    }
    stats.deviation = deviation / static_cast<float>(std::max(1, count));
    return stats;
}

// The radius compared at inverse depth w: the matched disc, or more where the first
// ring's partners (pitch (w + growth) away) would overlap it by less than a tenth
// and some lens type is sharp there (defocus disc within kRimSharp pixels): the
// rims then carry the match, and blurred rims bias it (on a camera focused
// further off they found spurious near depths behind small bright objects).
constexpr float kOverlapRadius = 0.625f;  // of that separation
constexpr float kRimSharp = 2.5f;
float ComparedRadius(const DepthSettings& s, const LensGrid& grid, float w) {
    float sharpest = 1e30f;
    for (int t = 0; t < grid.TypeCount(); ++t) {
        sharpest = std::min(sharpest, grid.Pitch() * std::fabs(w - grid.SharpInverseDepth(t)));
    }
    if (sharpest > kRimSharp) {
        return s.matchRadius;
    }
    return std::clamp(kOverlapRadius * grid.Pitch() * (w + grid.Growth()), s.matchRadius,
                      std::max(s.matchRadius, s.widestRadius));
}

}  // namespace

// The lens types' sharp inverse depths, which the compared radii depend on (unused types 0).
std::array<float, CCalibration::kMaxLensTypes> DepthEstimator::TypesOf(const LensGrid& grid) {
    std::array<float, CCalibration::kMaxLensTypes> types{};
    for (int t = 0; t < grid.TypeCount(); ++t) {
        types[t] = grid.SharpInverseDepth(t);
    }
    return types;
}

namespace {

// Offset of the parabola's vertex through (-1, a), (0, b), (1, c), within [-1, 1].
float ParabolaVertex(float a, float b, float c) {
    const float curvature = a - 2.0f * b + c;
    if (!(curvature > 0.0f)) {
        return 0.0f;
    }
    return std::clamp(0.5f * (a - c) / curvature, -1.0f, 1.0f);
}

}  // namespace

DepthEstimator::Shift DepthEstimator::MakeShift(Vec2 direction, float inverseDepth, float growth, float radius,
                                                int32_t stride, int rowStep) {
    // Pixel a of the lens meets its neighbour's pixel a + t, t = d (1 - 1/v);
    // both must lie within radius of their own micro-image centre, which lie
    // d (1 + growth) apart: |a| and |a - d (1/v + growth)|.
    Shift shift;
    const float tx = direction.x * (1.0f - inverseDepth);
    const float ty = direction.y * (1.0f - inverseDepth);
    const float sx = direction.x * (inverseDepth + growth);
    const float sy = direction.y * (inverseDepth + growth);
    const float fx0 = std::floor(tx);
    const float fy0 = std::floor(ty);
    const float fx = tx - fx0;
    const float fy = ty - fy0;
    shift.offset = static_cast<std::ptrdiff_t>(fy0) * stride + static_cast<std::ptrdiff_t>(fx0);
    shift.w00 = (1 - fx) * (1 - fy);
    shift.w01 = fx * (1 - fy);
    shift.w10 = (1 - fx) * fy;
    shift.w11 = fx * fy;
    const float r2 = radius * radius;
    const int r = static_cast<int>(std::floor(radius));
    for (int dy = -r; dy <= r; dy += rowStep) {
        const float h1sq = r2 - float(dy * dy);
        const float h2sq = r2 - (dy - sy) * (dy - sy);
        if (h2sq < 0.0f) {
            continue;
        }
        const float h1 = std::sqrt(h1sq);
        const float h2 = std::sqrt(h2sq);
        const int x0 = static_cast<int>(std::ceil(std::max(-h1, sx - h2)));
        const int x1 = static_cast<int>(std::floor(std::min(h1, sx + h2)));
        if (x1 >= x0) {
            shift.spans.push_back({static_cast<int16_t>(dy), static_cast<int16_t>(x0), static_cast<int16_t>(x1)});
            shift.count += x1 - x0 + 1;
        }
    }
    return shift;
}

namespace {

// Eight floats (two SSE or one AVX register).
typedef float Floats8 __attribute__((vector_size(32)));
typedef int32_t Ints8 __attribute__((vector_size(32)));

// Whole blocks of eight pixels are compared; lanes past the span's end read
// padding (or the next row) and are masked out.
__attribute__((always_inline)) inline float SumSquaresBody(const float* image, std::ptrdiff_t at, int32_t stride,
                                                           const DepthEstimator::Shift& shift) {
    const Floats8 w00 = Floats8{} + shift.w00, w01 = Floats8{} + shift.w01;
    const Floats8 w10 = Floats8{} + shift.w10, w11 = Floats8{} + shift.w11;
    const Ints8 lane = {0, 1, 2, 3, 4, 5, 6, 7};
    Floats8 sum = {};
    for (const DepthEstimator::Span& span : shift.spans) {
        const float* row = image + at + std::ptrdiff_t{span.dy} * stride;
        const float* top = row + shift.offset;
        const float* bottom = top + stride;
        const int last = span.dx1;
        for (int x = span.dx0; x <= last; x += 8) {
            Floats8 a, t0, t1, b0, b1;
            std::memcpy(&a, row + x, sizeof a);
            std::memcpy(&t0, top + x, sizeof t0);
            std::memcpy(&t1, top + x + 1, sizeof t1);
            std::memcpy(&b0, bottom + x, sizeof b0);
            std::memcpy(&b1, bottom + x + 1, sizeof b1);
            const Floats8 d = a - (w00 * t0 + w01 * t1 + w10 * b0 + w11 * b1);
            const Ints8 inside = (lane + x) <= last;
            sum += reinterpret_cast<Floats8>(reinterpret_cast<Ints8>(d * d) & inside);
        }
    }
    return ((sum[0] + sum[1]) + (sum[2] + sum[3])) + ((sum[4] + sum[5]) + (sum[6] + sum[7]));
}

#if VY_ENGINE_X86_KERNELS
__attribute__((target("avx2"))) float SumSquaresAvx2(const float* image, std::ptrdiff_t at, int32_t stride,
                                                     const DepthEstimator::Shift& shift) {
    return SumSquaresBody(image, at, stride, shift);
}
#endif

float SumSquaresPlain(const float* image, std::ptrdiff_t at, int32_t stride, const DepthEstimator::Shift& shift) {
    return SumSquaresBody(image, at, stride, shift);
}

// A small bright object (a particle) in front of its surroundings shows in a
// micro-image as a compact blob whose pixels are few against the disc's: the
// whole disc matches at the surroundings' depth or not at all. The blob alone,
// compared wherever the neighbours still see it, gives the object's depth.
//
// Looked for where the brightest pixel of the disc stands this many mean
// absolute deviations above its mean (the flattest texture stays under it; the
// blob's shape decides the rest) and the whole disc did not already match well
// (cost under kBlobSettled).
constexpr float kBlobPeak = 2.0f;
constexpr float kBlobSettled = 0.4f;
constexpr int kBlobWindow = 6;           // half-width of the window the blob is measured in
constexpr float kBlobShare = 0.35f;      // of the disc the blob covers at most
constexpr float kBlobMargin = 1.0f;      // pixels of surroundings compared around the blob
constexpr float kBlobMaxCost = 0.4f;     // RMS difference / the blob's height above the disc mean
constexpr float kBlobConfidence = 0.5f;  // 1 - best / median cost of the blob's scan
// A lens takes the object's depth only when the object lies in its own cell
// (this many pitches from its centre): the lens's depth stands for that cell.
constexpr float kBlobCell = 0.6f;
constexpr int kBlobRefineRounds = 3;
// Nearer than the whole disc's depth by more than this (relative) to count as in front.
constexpr float kBlobInFront = 0.02f;
// Two lenses' blobs show the same object when they place it this close (sensor
// pixels) at inverse depths this close (relative).
constexpr float kSameObject = 2.0f;
constexpr float kSameDepth = 0.03f;

// A blob's neighbours are sampled with Keys's cubic convolution (a = -1/2):
// bilinear weights flatten a blob a pixel or two across by up to a third between
// pixels, which draws its match towards whole-pixel shifts. Weights of the taps
// at -1, 0, 1, 2 around a fraction f.
constexpr int kCubicBefore = 1, kCubicAfter = 2;  // taps before and after the sample's whole pixel
void CubicWeights(float f, float w[4]) {
    const float f2 = f * f, f3 = f2 * f;
    w[0] = -0.5f * f3 + f2 - 0.5f * f;
    w[1] = 1.5f * f3 - 2.5f * f2 + 1.0f;
    w[2] = -1.5f * f3 + 2.0f * f2 + 0.5f * f;
    w[3] = 0.5f * f3 - 0.5f * f2;
}

struct Blob {
    float x = 0.0f, y = 0.0f;  // centroid, offset from the lens's centre pixel
    float radius = 0.0f;
    float height = 0.0f;                              // brightest pixel above the disc's mean
    std::vector<std::pair<int16_t, int16_t>> region;  // pixels compared, offsets from the centre pixel
    // Whole-pixel shifts whose interpolation taps around the region stay on the image.
    int shiftLoX = 0, shiftHiX = -1, shiftLoY = 0, shiftHiY = -1;
};

// The bright pixels connected to the disc's peak, when they form a compact blob:
// they stay inside a window around the peak and cover little of the disc.
// (cx, cy): the lens's centre pixel; the window must lie on the width x height image.
bool FindBlob(const float* image, int32_t cx, int32_t cy, int32_t width, int32_t height, const DiscStatistics& stats,
              float discArea, Blob& blob) {
    constexpr int kSide = 2 * kBlobWindow + 1;
    const int32_t px = cx + stats.peakX, py = cy + stats.peakY;
    if (px < kBlobWindow || py < kBlobWindow || px + kBlobWindow >= width || py + kBlobWindow >= height) {
        return false;
    }
    const std::ptrdiff_t at = std::ptrdiff_t{cy} * width + cx;
    const int32_t stride = width;
    blob.height = stats.peak - stats.mean;
    const float threshold = stats.mean + 0.5f * blob.height;
    const float* origin = image + at + std::ptrdiff_t{stats.peakY - kBlobWindow} * stride + stats.peakX - kBlobWindow;
    std::array<uint8_t, kSide * kSide> seen{};
    std::array<int16_t, kSide * kSide> stack;
    int top = 0;
    stack[top++] = static_cast<int16_t>(kBlobWindow * kSide + kBlobWindow);
    seen[kBlobWindow * kSide + kBlobWindow] = 1;
    float sum = 0.0f, sx = 0.0f, sy = 0.0f;
    int count = 0;
    while (top > 0) {
        const int cell = stack[--top];
        const int wx = cell % kSide, wy = cell / kSide;
        // Bright up to the window's edge: a larger object or a bright texture, not a blob.
        if (wx == 0 || wy == 0 || wx == kSide - 1 || wy == kSide - 1) {
            return false;
        }
        const float excess = origin[std::ptrdiff_t{wy} * stride + wx] - threshold;
        sum += excess;
        sx += excess * static_cast<float>(stats.peakX + wx - kBlobWindow);
        sy += excess * static_cast<float>(stats.peakY + wy - kBlobWindow);
        ++count;
        for (const int next : {cell - 1, cell + 1, cell - kSide, cell + kSide}) {
            if (!seen[next] && origin[std::ptrdiff_t{next / kSide} * stride + next % kSide] > threshold) {
                seen[next] = 1;
                stack[top++] = static_cast<int16_t>(next);
            }
        }
    }
    if (!(sum > 0.0f) || static_cast<float>(count) > kBlobShare * discArea) {
        return false;
    }
    blob.x = sx / sum;
    blob.y = sy / sum;
    blob.radius = std::sqrt(static_cast<float>(count) / kPiF);
    const float reach = blob.radius + kBlobMargin;
    blob.region.clear();
    const int dy0 = static_cast<int>(std::floor(blob.y - reach)), dy1 = static_cast<int>(std::ceil(blob.y + reach));
    const int dx0 = static_cast<int>(std::floor(blob.x - reach)), dx1 = static_cast<int>(std::ceil(blob.x + reach));
    blob.shiftLoX = kCubicBefore - (cx + dx0);
    blob.shiftHiX = width - 1 - kCubicAfter - (cx + dx1);
    blob.shiftLoY = kCubicBefore - (cy + dy0);
    blob.shiftHiY = height - 1 - kCubicAfter - (cy + dy1);
    for (int dy = dy0; dy <= dy1; ++dy) {
        for (int dx = dx0; dx <= dx1; ++dx) {
            if ((dx - blob.x) * (dx - blob.x) + (dy - blob.y) * (dy - blob.y) <= reach * reach) {
                blob.region.push_back({static_cast<int16_t>(dx), static_cast<int16_t>(dy)});
            }
        }
    }
    return true;
}

// Mean squared difference between the blob's region and its neighbours' samples
// at inverse depth w, over the neighbours in `allowed` (a bit per direction) that
// see the whole region within reach of their micro-image centre; `used` gets those.
float BlobCost(const float* image, int32_t stride, const LensGrid& grid, const Lens& lens, const Blob& blob, float w,
               float reach, uint32_t allowed, uint32_t& used) {
    const auto& lenses = grid.Lenses();
    const std::ptrdiff_t at = std::ptrdiff_t{lens.cy} * stride + lens.cx;
    const float bx = static_cast<float>(lens.cx) + 0.5f + blob.x;
    const float by = static_cast<float>(lens.cy) + 0.5f + blob.y;
    const float room = reach - blob.radius - kBlobMargin;
    float sum = 0.0f;
    int count = 0;
    used = 0;
    for (int d = 0; d < kNearDirectionCount; ++d) {
        const int32_t n = lens.neighbour[d];
        if (!(allowed >> d & 1u) || n < 0 || !lenses[n].inside) {
            continue;
        }
        const Vec2 direction = grid.Direction(d);
        const float tx = direction.x * (1.0f - w);
        const float ty = direction.y * (1.0f - w);
        const float ex = bx + tx - lenses[n].image.x;
        const float ey = by + ty - lenses[n].image.y;
        if (ex * ex + ey * ey > room * room) {
            continue;
        }
        const float fx0 = std::floor(tx), fy0 = std::floor(ty);
        const float fx = tx - fx0, fy = ty - fy0;
        if (fx0 < blob.shiftLoX || fx0 > blob.shiftHiX || fy0 < blob.shiftLoY || fy0 > blob.shiftHiY) {
            continue;
        }
        used |= 1u << d;
        const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(fy0) * stride + static_cast<std::ptrdiff_t>(fx0);
        float kx[4], ky[4];
        CubicWeights(fx, kx);
        CubicWeights(fy, ky);
        for (const auto& [dx, dy] : blob.region) {
            const std::ptrdiff_t p = at + std::ptrdiff_t{dy} * stride + dx;
            const float* q = image + p + offset - kCubicBefore * (stride + 1);
            float sample = 0.0f;
            for (int j = 0; j < 4; ++j) {
                const float* row = q + std::ptrdiff_t{j} * stride;
                sample += ky[j] * (kx[0] * row[0] + kx[1] * row[1] + kx[2] * row[2] + kx[3] * row[3]);
            }
            const float diff = image[p] - sample;
            sum += diff * diff;
        }
        count += static_cast<int>(blob.region.size());
    }
    return __builtin_popcount(used) >= 2 ? sum / static_cast<float>(count) : std::numeric_limits<float>::infinity();
}

// The blob's virtual depth (0 when it does not match well enough) and its cost.
LensDepth MatchBlob(const float* image, int32_t stride, const LensGrid& grid, const Lens& lens, const Blob& blob,
                    float wLo, float step, int steps, float reach, std::vector<float>& costs,
                    std::vector<float>& sorted) {
    LensDepth result;
    // The scan compares with the first ring only; the refinement with every ring.
    constexpr uint32_t kFirstRing = (1u << 6) - 1;
    constexpr uint32_t kAllRings = (1u << kNearDirectionCount) - 1;
    int best = -1;
    uint32_t used = 0;
    for (int k = 0; k < steps; ++k) {
        costs[k] = BlobCost(image, stride, grid, lens, blob, wLo + step * k, reach, kFirstRing, used);
        if (std::isfinite(costs[k]) && (best < 0 || costs[k] < costs[best])) {
            best = k;
        }
    }
    if (best < 0) {
        return result;
    }
    // Median over the depths at which two or more neighbours saw the blob.
    const auto finite =
        std::copy_if(costs.begin(), costs.begin() + steps, sorted.begin(), [](float c) { return std::isfinite(c); });
    const auto middle = sorted.begin() + (finite - sorted.begin()) / 2;
    std::nth_element(sorted.begin(), middle, finite);
    result.confidence = *middle > 0.0f ? 1.0f - costs[best] / *middle : 0.0f;
    float w = wLo + step * best;
    if (best > 0 && best < steps - 1 && std::isfinite(costs[best - 1]) && std::isfinite(costs[best + 1])) {
        w += step * std::clamp(ParabolaVertex(costs[best - 1], costs[best], costs[best + 1]), -0.5f, 0.5f);
    }
    // The neighbours that see the blob at the scan's depth stay the same through the
    // refinement; their cost there is the first bracket's centre.
    float cost = BlobCost(image, stride, grid, lens, blob, w, reach, kAllRings, used);
    const uint32_t kept = used;
    const float h = step / 8.0f;
    for (int round = 0; round < kBlobRefineRounds; ++round) {
        if (round > 0) {
            cost = BlobCost(image, stride, grid, lens, blob, w, reach, kept, used);
        }
        const float c0 = BlobCost(image, stride, grid, lens, blob, w - h, reach, kept, used);
        const float c2 = BlobCost(image, stride, grid, lens, blob, w + h, reach, kept, used);
        if (!std::isfinite(c0) || !std::isfinite(cost) || !std::isfinite(c2)) {
            break;
        }
        const float vertex = ParabolaVertex(c0, cost, c2);
        w += h * vertex;
        if (std::fabs(vertex) < 1.0f) {
            break;
        }
    }
    if (!std::isfinite(cost) || w <= 0.0f) {
        return result;
    }
    result.cost = std::sqrt(std::max(0.0f, cost)) / blob.height;
    result.virtualDepth = 1.0f / w;
    return result;
}

}  // namespace

// The wider vector unit where the CPU has it and the vector kernels are allowed.
float DepthEstimator::SumSquares(const float* image, std::ptrdiff_t at, int32_t stride, const Shift& shift) {
#if VY_ENGINE_X86_KERNELS
    if (UseAvx2Kernels()) {
        return SumSquaresAvx2(image, at, stride, shift);
    }
#endif
    return SumSquaresPlain(image, at, stride, shift);
}

void DepthEstimator::BuildTables(int32_t stride, const LensGrid& grid, const DepthSettings& settings, int steps) {
    const float wLo = 1.0f / settings.virtualMax;
    const float step = (1.0f / settings.virtualMin - wLo) / static_cast<float>(steps - 1);
    coarse_.clear();
    fine_.clear();
    coarseLevel_.assign(static_cast<size_t>(steps), 0);
    const float fineStep = step / kFineUnits;
    const int lastUnit = (steps - 1) * kFineUnits;
    float levelRadius = -1.0f;
    for (int k = 0; k < steps; ++k) {
        const float w = wLo + step * k;
        const float radius = ComparedRadius(settings, grid, w);
        for (int d = 0; d < kCoarseDirections; ++d) {
            coarse_.push_back(
                MakeShift(grid.Direction(d), w, grid.Growth(), radius, stride, std::max(1, settings.coarseRowStep)));
        }
        // The radius grows with w only: candidates of one radius are neighbours. A refinement
        // reaches at most kFineMargin units from its candidate.
        if (radius != levelRadius) {
            fine_.emplace_back();
            fine_.back().unitLo = std::max(-kFineMargin, k * kFineUnits - kFineMargin);
            levelRadius = radius;
        }
        fine_.back().unitHi = std::min(lastUnit + kFineMargin, k * kFineUnits + kFineMargin);
        coarseLevel_[k] = static_cast<int>(fine_.size()) - 1;
    }
    for (int level = 0, k = 0; level < static_cast<int>(fine_.size()); ++level) {
        while (coarseLevel_[k] != level) ++k;
        const float radius = ComparedRadius(settings, grid, wLo + step * k);
        FineLevel& fine = fine_[level];
        for (int unit = fine.unitLo; unit <= fine.unitHi; ++unit) {
            for (int d = 0; d < kDirectionCount; ++d) {
                fine.shifts.push_back(
                    MakeShift(grid.Direction(d), wLo + fineStep * unit, grid.Growth(), radius, stride, kFineRowStep));
            }
        }
    }
    disc_ = DiscSpans(settings.matchRadius);
    cached_ = settings;
    cached_.steps = steps;
    cachedDirection_ = grid.Direction(0);
    cachedGrowth_ = grid.Growth();
    cachedTypes_ = TypesOf(grid);
    cachedStride_ = stride;
}

void DepthEstimator::Estimate(const float* image, int32_t width, int32_t height, const LensGrid& grid,
                              const DepthSettings& settings, ThreadPool& pool, std::vector<LensDepth>& out) {
    const int steps = std::max(3, settings.steps);
    const float wLo = 1.0f / settings.virtualMax;
    const float wHi = 1.0f / settings.virtualMin;
    const float step = (wHi - wLo) / static_cast<float>(steps - 1);

    // The comparisons are the same for every lens; they change only with the settings.
    const bool sameTables =
        cachedStride_ == width && cached_.steps == steps && cached_.virtualMin == settings.virtualMin &&
        cached_.virtualMax == settings.virtualMax && cached_.matchRadius == settings.matchRadius &&
        cached_.widestRadius == settings.widestRadius && cached_.coarseRowStep == settings.coarseRowStep &&
        cachedDirection_.x == grid.Direction(0).x && cachedDirection_.y == grid.Direction(0).y &&
        cachedGrowth_ == grid.Growth() && cachedTypes_ == TypesOf(grid) && !coarse_.empty();
    if (!sameTables) {
        BuildTables(width, grid, settings, steps);
    }
    const float disc = kPiF * settings.matchRadius * settings.matchRadius;
    const int minCoarse = std::max(4, static_cast<int>(kMinOverlap * disc / std::max(1, settings.coarseRowStep)));
    const int minFine = std::max(4, static_cast<int>(kMinOverlap * disc / kFineRowStep));
    const float fineStep = step / kFineUnits;

    const auto& lenses = grid.Lenses();
    out.assign(lenses.size(), LensDepth{});
    sightings_.assign(lenses.size(), BlobSighting{});
    pool.ParallelFor(lenses.size(), 64, [&](size_t begin, size_t end) {
        std::vector<float> costs(static_cast<size_t>(steps));
        std::vector<float> sorted(static_cast<size_t>(steps));
        Blob blob;
        for (size_t index = begin; index < end; ++index) {
            const Lens& lens = lenses[index];
            if (!lens.inside) {
                continue;
            }
            const std::ptrdiff_t at = std::ptrdiff_t{lens.cy} * width + lens.cx;
            const DiscStatistics stats = MeasureDisc(image, at, width, disc_);
            const float contrast = stats.deviation;
            if (contrast < settings.minContrast || contrast <= 0.0f) {
                continue;
            }
            auto usable = [&](int d) {
                const int32_t n = lens.neighbour[d];
                return n >= 0 && lenses[n].inside;
            };

            // Coarse scan over candidates uniform in 1/v.
            int best = -1;
            for (int k = 0; k < steps; ++k) {
                float sum = 0.0f;
                int count = 0;
                for (int d = 0; d < kCoarseDirections; ++d) {
                    const Shift& shift = coarse_[static_cast<size_t>(k) * kCoarseDirections + d];
                    if (shift.count < minCoarse || !usable(d)) {
                        continue;
                    }
                    sum += SumSquares(image, at, width, shift);
                    count += shift.count;
                }
                costs[k] = count > 0 ? sum / count : std::numeric_limits<float>::infinity();
                if (count > 0 && (best < 0 || costs[k] < costs[best])) {
                    best = k;
                }
            }
            if (best < 0) {
                continue;
            }
            float w = wLo + step * best;
            if (best > 0 && best < steps - 1 && std::isfinite(costs[best - 1]) && std::isfinite(costs[best + 1])) {
                w += step * std::clamp(ParabolaVertex(costs[best - 1], costs[best], costs[best + 1]), -0.5f, 0.5f);
            }
            std::copy(costs.begin(), costs.end(), sorted.begin());
            std::nth_element(sorted.begin(), sorted.begin() + steps / 2, sorted.end());
            const float median = sorted[steps / 2];

            // Refinement on the fine grid, on every ring that overlaps at the found
            // depth: a parabola through centre and centre +- half; while its vertex
            // lies at the edge of that bracket, the bracket moves on.
            float unit = (w - wLo) / fineStep;
            float bestCost = costs[best];
            const FineLevel& level = fine_[coarseLevel_[best]];
            const int directions = w < kFarInverse ? kDirectionCount : kRefineDirections;
            // Multi-focus arrays: a neighbour counts by how sharp its type is at the
            // coarse depth (fixed through the refinement, so that it bends no parabola).
            float pairWeight[kDirectionCount];
            const bool weighed = grid.TypeCount() > 1;
            if (weighed) {
                float typeWeight[CCalibration::kMaxLensTypes];
                grid.TypeWeights(w, typeWeight);
                for (int d = 0; d < directions; ++d) {
                    pairWeight[d] = typeWeight[(lens.type + grid.TypeStep(d)) % grid.TypeCount()];
                }
            }
            const auto refine = [&](int half) {
                for (int round = 0; round < kRefineRounds; ++round) {
                    const int centre =
                        std::clamp(static_cast<int>(std::lround(unit)), level.unitLo + half, level.unitHi - half);
                    float sum[3] = {0, 0, 0};
                    int count[3] = {0, 0, 0};
                    float weighedCount[3] = {0, 0, 0};
                    for (int d = 0; d < directions; ++d) {
                        if (!usable(d) || Fine(level, centre + half, d).count < minFine ||
                            Fine(level, centre - half, d).count < minFine) {
                            continue;
                        }
                        for (int e = 0; e < 3; ++e) {
                            const Shift& shift = Fine(level, centre + (e - 1) * half, d);
                            const float squares = SumSquares(image, at, width, shift);
                            if (weighed) {
                                sum[e] += pairWeight[d] * squares;
                                weighedCount[e] += pairWeight[d] * static_cast<float>(shift.count);
                            } else {
                                sum[e] += squares;
                            }
                            count[e] += shift.count;
                        }
                    }
                    if (count[1] == 0) {
                        break;
                    }
                    float c[3];
                    for (int e = 0; e < 3; ++e) {
                        c[e] = sum[e] / (weighed ? weighedCount[e] : static_cast<float>(count[e]));
                    }
                    bestCost = c[1];
                    const float vertex = ParabolaVertex(c[0], c[1], c[2]);
                    unit = centre + half * vertex;
                    if (std::fabs(vertex) < 1.0f) {
                        break;
                    }
                }
            };
            refine(kFineUnits / 4);
            // Far away a quarter coarse step spans pixels of shift on the long baselines,
            // more than the cost's parabolic bottom: a last, narrower bracket there.
            if (directions == kDirectionCount) {
                refine(1);
            }
            w = wLo + fineStep * unit;

            LensDepth& result = out[index];
            result.cost = std::sqrt(std::max(0.0f, bestCost)) / contrast;
            result.confidence = median > 0.0f ? 1.0f - costs[best] / median : 0.0f;
            if (result.cost <= settings.maxCost && w >= wLo - step && w <= wHi + step) {
                result.virtualDepth = 1.0f / std::clamp(w, wLo, wHi);
            }

            // A compact bright blob: the object's own depth, where the object lies in
            // this lens's cell and stands in front of what the whole disc matched.
            if (settings.blobReach <= 0.0f || !(stats.peak - stats.mean > kBlobPeak * contrast) ||
                (result.virtualDepth > 0.0f && result.cost < kBlobSettled) ||
                !FindBlob(image, lens.cx, lens.cy, width, height, stats, disc, blob)) {
                continue;
            }
            const LensDepth found =
                MatchBlob(image, width, grid, lens, blob, wLo, step, steps, settings.blobReach, costs, sorted);
            const float v = found.virtualDepth;
            if (!(v > 0.0f && found.cost <= kBlobMaxCost && found.confidence >= kBlobConfidence &&
                  v >= settings.virtualMin && v <= settings.virtualMax)) {
                continue;
            }
            // The blob's centroid b shows the object at c + v (b - c), c the lens's optical
            // centre; the depth map reads a lens's depth where the lenses that see a point
            // gather (LensGrid::SeenFrom), so that is where the object must lie in this cell.
            const Vec2 object{lens.centre.x + v * (static_cast<float>(lens.cx) + 0.5f + blob.x - lens.centre.x),
                              lens.centre.y + v * (static_cast<float>(lens.cy) + 0.5f + blob.y - lens.centre.y)};
            const Vec2 seen = grid.SeenFrom(object, 1.0f / v);
            const float fromCentre = std::hypot(seen.x - lens.centre.x, seen.y - lens.centre.y);
            sightings_[index] = {object, 1.0f / v};
            if (fromCentre <= kBlobCell * grid.Pitch() &&
                (result.virtualDepth <= 0.0f || v > result.virtualDepth * (1.0f + kBlobInFront))) {
                result = found;
                result.compact = true;
            }
        }
    });

    // Each lens's blob match rests on its own pixels against its neighbours';
    // the lenses around that saw the same object add pairs of their own, and
    // the mean of their depths is steadier than any one of them.
    for (size_t index = 0; index < lenses.size(); ++index) {
        if (!out[index].compact) {
            continue;
        }
        const BlobSighting& own = sightings_[index];
        float sum = 0.0f;
        int count = 0;
        auto add = [&](int32_t n) {
            const BlobSighting& other = sightings_[n];
            if (other.inverseDepth > 0.0f &&
                std::hypot(other.object.x - own.object.x, other.object.y - own.object.y) <= kSameObject &&
                std::fabs(other.inverseDepth - own.inverseDepth) <= kSameDepth * own.inverseDepth) {
                sum += other.inverseDepth;
                ++count;
            }
        };
        add(static_cast<int32_t>(index));
        for (int d = 0; d < kNearDirectionCount; ++d) {
            if (lenses[index].neighbour[d] >= 0) {
                add(lenses[index].neighbour[d]);
            }
        }
        if (count > 0) {
            out[index].virtualDepth = static_cast<float>(count) / sum;
        }
    }
}

}  // namespace Vy::Engine
