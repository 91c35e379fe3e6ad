// From per-micro-image depths to maps on the output grid: outliers against
// their neighbours are dropped, holes are filled across the lens grid, and
// every output pixel blends the lenses around it.
#pragma once

#include <cstdint>
#include <vector>

#include "CCalibration.h"
#include "DepthEstimator.h"
#include "LensGrid.h"
#include "ThreadPool.h"

namespace Vy::Engine {

// Drops a lens whose depth differs from the median of its valid first-ring
// neighbours by more than tolerance (relative); a lens with fewer than two
// valid neighbours has nothing to disagree with and is kept.
void RejectInconsistent(const LensGrid& grid, float tolerance, std::vector<LensDepth>& depths);

// Multi-focus arrays: off the depths its type focuses on, a micro-image's rims see
// a point through part of the lens only, which biases its match. A lens whose type
// counts less than kSharpEnough at its own depth (LensGrid::TypeWeights) takes the
// mean (in 1/v) of its depth and its first ring's depths on the same surface
// (within kSameSurface), each weighed by its type's weight at its depth. Small
// objects' depths (LensDepth::compact) stay as they are.
constexpr float kSharpEnough = 0.5f;
constexpr float kSameSurface = 0.1f;
void PreferSharpLenses(const LensGrid& grid, std::vector<LensDepth>& depths);

// Lens virtual depths after hole filling: an invalid lens takes the mean
// (in 1/v) of its valid first-ring neighbours, for up to `iterations` passes.
// 0 marks a lens no pass reached.
std::vector<float> FillLensDepths(const LensGrid& grid, const std::vector<LensDepth>& depths, int iterations);

// Dense virtual-depth map on the output grid (0 = invalid), and its inverse
// (1 / v, 0 = invalid) for rendering.
void BuildDepthMap(const LensGrid& grid, const std::vector<float>& lensDepth, const OutputLookup& lookup, int32_t width,
                   int32_t height, ThreadPool& pool, float* out, float* inverseOut);

// Metric distance (mm) of each virtual depth; 0 where the depth is invalid or
// lies in front of the main lens's focal plane.
void DepthToDistance(const CCalibration& c, const float* virtualDepth, size_t count, ThreadPool& pool, float* out);

}  // namespace Vy::Engine
