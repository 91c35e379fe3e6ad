// Virtual depth of every micro-image, found by matching it against its
// neighbours: a point at virtual depth v seen by two lenses a baseline d apart
// appears shifted by d / v between their micro-images, so each candidate v
// shifts the whole neighbour micro-image by one constant sub-pixel vector.
// A coarse scan over candidates uniform in 1/v (first ring) is refined by
// parabola fits on all rings that still overlap at the found depth.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "LensGrid.h"
#include "ThreadPool.h"

namespace Vy::Engine {

struct DepthSettings {
    float virtualMin = 2.0f;
    float virtualMax = 6.0f;
    int steps = 16;
    float matchRadius = 9.0f;  // pixels around the lens centre that are compared
    // At near candidates (small v) a neighbour's micro-image is shifted by most of the
    // matched disc; the compared radius then grows up to this (0: never grows).
    float widestRadius = 0.0f;
    float minContrast = 256.0f;  // mean absolute deviation needed, in pre-processed units
    float maxCost = 0.35f;       // RMS difference / contrast above which a match is rejected
    int coarseRowStep = 2;       // the coarse scan compares every n-th row
    // Radius around a micro-image centre within which a compact bright blob may
    // still be compared (the whole usable micro-image, wider than matchRadius);
    // 0 leaves such blobs to the ordinary match.
    float blobReach = 0.0f;
};

struct LensDepth {
    float virtualDepth = 0.0f;  // 0 when invalid
    float cost = 0.0f;          // RMS difference / contrast at the match
    float confidence = 0.0f;    // 1 - best / median cost of the coarse scan
    // The depth is that of a small bright object in front of the lens's
    // surroundings, matched on the object alone; its neighbours see past it.
    bool compact = false;
};

class DepthEstimator {
public:
    static constexpr size_t kImagePadding = 64;
    // image: the pre-processed frame as floats, sensor sized (width x height),
    // followed by at least kImagePadding readable elements.
    void Estimate(const float* image, int32_t width, int32_t height, const LensGrid& grid,
                  const DepthSettings& settings, ThreadPool& pool, std::vector<LensDepth>& out);

    // One row of a compared region: offsets dx0..dx1 on row dy from the lens's centre pixel.
    struct Span {
        int16_t dy, dx0, dx1;
    };
    // Comparison of a micro-image with its neighbour in one direction at one
    // candidate depth: the neighbour's samples sit at a constant offset.
    struct Shift {
        std::ptrdiff_t offset = 0;  // whole-pixel part of the offset, in image elements
        float w00 = 0, w01 = 0, w10 = 0, w11 = 0;
        std::vector<Span> spans;
        int count = 0;  // pixels compared
    };
    // growth: LensGrid::Growth(), by which neighbouring micro-images lie further
    // apart than their lenses.
    static Shift MakeShift(Vec2 direction, float inverseDepth, float growth, float radius, int32_t stride, int rowStep);
    // Sum of squared differences of the comparison for the lens centred at pixel `at`.
    static float SumSquares(const float* image, std::ptrdiff_t at, int32_t stride, const Shift& shift);

private:
    void BuildTables(int32_t stride, const LensGrid& grid, const DepthSettings& settings, int steps);
    // The refinement compares one radius over its whole bracket (a radius that changed
    // between the bracket's points would bend the parabola): the one of the coarse
    // candidate it starts from. Each radius has the fine shifts around its candidates.
    struct FineLevel {
        int unitLo = 0, unitHi = -1;  // fine units held
        std::vector<Shift> shifts;    // [(unit - unitLo) * kDirectionCount + direction]
    };
    const Shift& Fine(const FineLevel& level, int unit, int direction) const {
        return level.shifts[static_cast<size_t>(unit - level.unitLo) * kDirectionCount + direction];
    }

    // The refinement works on a grid kFineUnits times finer than the coarse
    // candidates, reaching kFineMargin fine units beyond either end.
    static constexpr int kFineUnits = 16;
    static constexpr int kFineMargin = 2 * kFineUnits;
    std::vector<Shift> coarse_;  // [candidate * 3 + direction] for the first ring
    std::vector<FineLevel> fine_;
    std::vector<int> coarseLevel_;  // [candidate]: the fine level its refinement uses
    std::vector<Span> disc_;
    // Per lens, the object its compact blob matched (where the match held):
    // every lens that sees the object whole measures it, the one in whose cell
    // it lies keeps the mean.
    struct BlobSighting {
        Vec2 object;
        float inverseDepth = 0.0f;  // 0: none
    };
    std::vector<BlobSighting> sightings_;
    DepthSettings cached_;
    Vec2 cachedDirection_{};
    float cachedGrowth_ = 0.0f;
    static std::array<float, CCalibration::kMaxLensTypes> TypesOf(const LensGrid& grid);
    std::array<float, CCalibration::kMaxLensTypes> cachedTypes_{};
    int32_t cachedStride_ = 0;
};

}  // namespace Vy::Engine
