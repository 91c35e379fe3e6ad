#include "DepthEdgeRefiner.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "LensSamplerAvx2.h"
#include "VectorKernels.h"

namespace Vy::Engine {
namespace {

constexpr int kMaxCandidates = 7;  // a lens and its first ring

struct RefineJob {
    const LensSampler* sampler;
    const OutputLookup* lookup;
    const std::vector<Lens>* lenses;
    const std::vector<float>* lensDepth;
    // Per lens: the lens nearest to where its pixels' scene points are seen
    // from (x' = x - v s, see LensSampler); the lens itself where micro-images
    // sit on their lenses.
    const std::vector<int32_t>* viewing;
    int32_t width, height;
    int scale;
    float reach;  // output pixels: every pixel of a lens's cell is this close to its centre
    bool avx2;
};

// The output pixels one lens is refined over: those whose nearest lens it is
// (its cell) and the ring of pixels around them that their 3 x 3 windows reach.
// Every pixel of the tile is scored once per candidate depth; the windows then
// add up those scores.
struct Tile {
    int32_t i0 = 0, j0 = 0, width = 0, height = 0;  // box on the output grid
    std::vector<uint8_t> cell;                      // [box pixel] belongs to the lens
    std::vector<int32_t> first, last;               // per box row: columns to score (first > last: none)
    std::vector<float> spread;                      // [candidate][box pixel], 0 where not scored
    std::vector<float> scored;                      // [candidate][box pixel] 1 where two or more lenses sampled it
    std::vector<float> rowSums;                     // spread, scored summed over a row of three
    std::vector<float> windowSums;                  // [candidate][spread, scored][box pixel] over 3 x 3
};

// Photo-consistency of a box row from column col on, at one candidate: the
// weighted variance of the lens samples at each pixel.
void ScoreRowScalar(const RefineJob& job, const Tile& tile, int row, int col, float inverse, float* spread,
                    float* scored) {
    const int32_t j = tile.j0 + row;
    const float y = job.scale * (j + 0.5f);
    for (; col <= tile.last[row]; ++col) {
        const int32_t i = tile.i0 + col;
        const size_t at = static_cast<size_t>(j) * job.width + i;
        const int32_t home = job.lookup->lens[at];
        spread[col] = 0.0f;
        scored[col] = 0.0f;
        if (home < 0) {
            continue;
        }
        const LensSampler::Samples s =
            job.sampler->Sample(home, job.lookup->sector[at] >> 4, job.scale * (i + 0.5f), y, inverse);
        if (s.count < 2) {
            continue;
        }
        const float mean = s.valueSum / s.weightSum;
        spread[col] = s.squareSum / s.weightSum - mean * mean;
        scored[col] = 1.0f;
    }
}

#if VY_ENGINE_X86_KERNELS
// The same, eight pixels at a time. The last block of a row masks the lanes
// past its end (they read nothing and score 0); its stores run up to seven
// entries past the row, into entries written later or into the padding.
__attribute__((target("avx2,fma"))) void ScoreRowAvx2(const RefineJob& job, const Tile& tile, int row, float inverse,
                                                      float* spread, float* scored) {
    const int32_t j = tile.j0 + row;
    const __m256 y = _mm256_set1_ps(job.scale * (j + 0.5f));
    const __m256 laneX = _mm256_setr_ps(0.5f, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f);
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256 scale = _mm256_set1_ps(static_cast<float>(job.scale));
    const __m256 inverse8 = _mm256_set1_ps(inverse);
    const __m256 one = _mm256_set1_ps(1.0f);
    const size_t rowStart = static_cast<size_t>(j) * job.width;
    for (int col = tile.first[row]; col <= tile.last[row]; col += 8) {
        const size_t at = rowStart + tile.i0 + col;
        const int n = std::min(8, tile.last[row] + 1 - col);
        const __m256i inside = _mm256_cmpgt_epi32(_mm256_set1_epi32(n), lane);
        const __m256i lens = _mm256_maskload_epi32(job.lookup->lens.data() + at, inside);
        const __m256i home = _mm256_blendv_epi8(_mm256_set1_epi32(-1), lens, inside);
        int64_t sectorBytes = 0;
        std::memcpy(&sectorBytes, job.lookup->sector.data() + at, static_cast<size_t>(n));
        const __m256i toward = _mm256_srli_epi32(_mm256_cvtepu8_epi32(_mm_cvtsi64_si128(sectorBytes)), 4);
        const __m256 x = _mm256_mul_ps(scale, _mm256_add_ps(_mm256_set1_ps(static_cast<float>(tile.i0 + col)), laneX));
        const SampleSums8 s = SampleEight(job.sampler->Tables(), home, toward, x, y, inverse8);
        const __m256 used = _mm256_cmp_ps(s.count, _mm256_set1_ps(1.5f), _CMP_GT_OQ);
        const __m256 weightSum = _mm256_max_ps(s.weightSum, _mm256_set1_ps(1e-30f));
        const __m256 mean = _mm256_div_ps(s.valueSum, weightSum);
        const __m256 variance = _mm256_fnmadd_ps(mean, mean, _mm256_div_ps(s.squareSum, weightSum));
        _mm256_storeu_ps(spread + col, _mm256_and_ps(variance, used));
        _mm256_storeu_ps(scored + col, _mm256_and_ps(one, used));
    }
}
#endif

// Depths of the lens the pixels of lens `home` are seen from (itself where
// micro-images sit on their lenses) and of its first ring, each surface once;
// fewer than two: no edge.
int EdgeCandidates(const RefineJob& job, int32_t home, float* candidates) {
    int count = 0;
    float lo = 1e30f, hi = 0.0f;
    const int32_t centre = (*job.viewing)[home];
    for (int d = -1; d < 6; ++d) {
        const int32_t n = d < 0 ? centre : (*job.lenses)[centre].neighbour[d];
        const float v = n >= 0 ? (*job.lensDepth)[n] : 0.0f;
        if (v <= 0.0f || std::any_of(candidates, candidates + count,
                                     [&](float c) { return std::fabs(c - v) <= kEdgeTolerance * c; })) {
            continue;
        }
        candidates[count++] = v;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    return count >= 2 && hi > lo * (1.0f + kEdgeTolerance) ? count : 0;
}

void RefineLens(const RefineJob& job, int32_t home, Tile& tile, float* depth, float* inverseDepth) {
    float candidates[kMaxCandidates];
    const int count = EdgeCandidates(job, home, candidates);
    if (count == 0) {
        return;
    }
    // The cell's bounding box grown by the window's one pixel.
    const Vec2 c = (*job.lenses)[home].centre;
    const float s = static_cast<float>(job.scale);
    tile.i0 = std::max<int32_t>(0, static_cast<int32_t>(std::floor((c.x / s) - job.reach - 0.5f)) - 1);
    tile.j0 = std::max<int32_t>(0, static_cast<int32_t>(std::floor((c.y / s) - job.reach - 0.5f)) - 1);
    const int32_t i1 = std::min<int32_t>(job.width - 1, static_cast<int32_t>(std::ceil((c.x / s) + job.reach)) + 1);
    const int32_t j1 = std::min<int32_t>(job.height - 1, static_cast<int32_t>(std::ceil((c.y / s) + job.reach)) + 1);
    if (i1 < tile.i0 || j1 < tile.j0) {
        return;
    }
    tile.width = i1 - tile.i0 + 1;
    tile.height = j1 - tile.j0 + 1;
    const size_t area = static_cast<size_t>(tile.width) * tile.height;
    tile.cell.assign(area, 0);
    bool any = false;
    for (int row = 0; row < tile.height; ++row) {
        const int32_t* lens = job.lookup->lens.data() + static_cast<size_t>(tile.j0 + row) * job.width + tile.i0;
        for (int col = 0; col < tile.width; ++col) {
            if (lens[col] == home) {
                tile.cell[static_cast<size_t>(row) * tile.width + col] = 1;
                any = true;
            }
        }
    }
    if (!any) {
        return;
    }
    // Columns to score per row: those within one pixel of a cell pixel.
    tile.first.assign(tile.height, tile.width);
    tile.last.assign(tile.height, -1);
    for (int row = 0; row < tile.height; ++row) {
        for (int col = 0; col < tile.width; ++col) {
            if (!tile.cell[static_cast<size_t>(row) * tile.width + col]) {
                continue;
            }
            for (int r = std::max(0, row - 1); r <= std::min(tile.height - 1, row + 1); ++r) {
                tile.first[r] = std::min(tile.first[r], std::max(0, col - 1));
                tile.last[r] = std::max(tile.last[r], std::min(tile.width - 1, col + 1));
            }
        }
    }
    // Room for a vector store of eight past any row's last scored column.
    tile.spread.assign(count * area + 8, 0.0f);
    tile.scored.assign(count * area + 8, 0.0f);
    for (int k = 0; k < count; ++k) {
        const float inverse = 1.0f / candidates[k];
        for (int row = 0; row < tile.height; ++row) {
            if (tile.first[row] > tile.last[row]) {
                continue;
            }
            float* spread = tile.spread.data() + k * area + static_cast<size_t>(row) * tile.width;
            float* scored = tile.scored.data() + k * area + static_cast<size_t>(row) * tile.width;
#if VY_ENGINE_X86_KERNELS
            if (job.avx2) {
                ScoreRowAvx2(job, tile, row, inverse, spread, scored);
                continue;
            }
#endif
            ScoreRowScalar(job, tile, row, tile.first[row], inverse, spread, scored);
        }
    }
    // Window sums, a row of three then a column of three (pixels off the box
    // count as not scored). Every pixel of a cell pixel's window was scored above;
    // what the sums hold elsewhere is never read.
    tile.rowSums.resize(2 * area);
    tile.windowSums.resize(2 * count * area);
    for (int k = 0; k < count; ++k) {
        const float* spread = tile.spread.data() + k * area;
        const float* scored = tile.scored.data() + k * area;
        float* rowSpread = tile.rowSums.data();
        float* rowScored = rowSpread + area;
        for (int row = 0; row < tile.height; ++row) {
            const size_t at = static_cast<size_t>(row) * tile.width;
            const int last = tile.width - 1;
            for (int col = 0; col <= last; ++col) {
                const float leftOn = col > 0 ? 1.0f : 0.0f, rightOn = col < last ? 1.0f : 0.0f;
                const size_t left = at + std::max(0, col - 1), right = at + std::min(last, col + 1);
                rowSpread[at + col] = leftOn * spread[left] + spread[at + col] + rightOn * spread[right];
                rowScored[at + col] = leftOn * scored[left] + scored[at + col] + rightOn * scored[right];
            }
        }
        float* sumSpread = tile.windowSums.data() + 2 * k * area;
        float* sumScored = sumSpread + area;
        for (int row = 0; row < tile.height; ++row) {
            const size_t above = static_cast<size_t>(std::max(0, row - 1)) * tile.width;
            const size_t at = static_cast<size_t>(row) * tile.width;
            const size_t below = static_cast<size_t>(std::min(tile.height - 1, row + 1)) * tile.width;
            const float aboveOn = row > 0 ? 1.0f : 0.0f, belowOn = row + 1 < tile.height ? 1.0f : 0.0f;
            for (int col = 0; col < tile.width; ++col) {
                sumSpread[at + col] =
                    aboveOn * rowSpread[above + col] + rowSpread[at + col] + belowOn * rowSpread[below + col];
                sumScored[at + col] =
                    aboveOn * rowScored[above + col] + rowScored[at + col] + belowOn * rowScored[below + col];
            }
        }
    }
    // Each cell pixel takes the candidate with the least mean spread over its window.
    for (size_t at = 0; at < area; ++at) {
        if (!tile.cell[at]) {
            continue;
        }
        float best = 0.0f, bestSpread = 0.0f;
        for (int k = 0; k < count; ++k) {
            const float used = tile.windowSums[(2 * k + 1) * area + at];
            if (used == 0.0f) {
                continue;
            }
            const float spread = tile.windowSums[2 * k * area + at] / used;
            if (best == 0.0f || spread < bestSpread) {
                bestSpread = spread;
                best = candidates[k];
            }
        }
        if (best > 0.0f) {
            const size_t pixel = static_cast<size_t>(tile.j0 + at / tile.width) * job.width + tile.i0 + at % tile.width;
            depth[pixel] = best;
            inverseDepth[pixel] = 1.0f / best;
        }
    }
}

}  // namespace

void RefineDepthEdges(const RenderSource& source, const LensGrid& grid, const OutputLookup& lookup,
                      const std::vector<float>& lensDepth, int32_t width, int32_t height, ThreadPool& pool,
                      float* depth, float* inverseDepth) {
    const LensSampler sampler(source, grid, lookup);
    const auto& lenses = grid.Lenses();
    std::vector<int32_t> viewing(lenses.size());
    for (size_t index = 0; index < lenses.size(); ++index) {
        viewing[index] = static_cast<int32_t>(index);
        const float v = lensDepth[index];
        if (grid.Growth() == 0.0f || !(v > 0.0f)) {
            continue;
        }
        const int32_t seen = lookup.lens[lookup.PixelAt(grid.SeenFrom(lenses[index].centre, 1.0f / v))];
        if (seen >= 0) {
            viewing[index] = seen;
        }
    }
    // Lenses whose pixels are seen from a lens whose first ring spans a depth
    // jump; only their pixels are looked at.
    std::vector<int32_t> atEdge;
    for (size_t index = 0; index < lenses.size(); ++index) {
        float lo = 1e30f, hi = 0.0f;
        const int32_t centre = viewing[index];
        for (int d = -1; d < 6; ++d) {
            const int32_t n = d < 0 ? centre : lenses[centre].neighbour[d];
            if (n >= 0 && lensDepth[n] > 0.0f) {
                lo = std::min(lo, lensDepth[n]);
                hi = std::max(hi, lensDepth[n]);
            }
        }
        if (hi > lo * (1.0f + kEdgeJump)) {
            atEdge.push_back(static_cast<int32_t>(index));
        }
    }
    const RefineJob job{
        &sampler,        &lookup,      &lenses,
        &lensDepth,      &viewing,     width,
        height,          lookup.scale, (grid.Pitch() / std::sqrt(3.0f) + 1.0f) / static_cast<float>(lookup.scale),
        UseAvx2Kernels()};
    // A lens writes only the pixels of its own cell; the scores it reads come from the pre-processed frame.
    pool.ParallelFor(atEdge.size(), 16, [&](size_t begin, size_t end) {
        Tile tile;
        for (size_t k = begin; k < end; ++k) {
            RefineLens(job, atEdge[k], tile, depth, inverseDepth);
        }
    });
}

}  // namespace Vy::Engine
