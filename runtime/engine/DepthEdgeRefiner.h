// Sharper depth edges: where the lenses around an output pixel (its nearest
// lens and that lens's first ring) disagree about the depth, the pixel takes the
// one of their depths at which the lenses' samples agree best over the pixel
// and its eight neighbours (the true depth makes them all see the same scene point).
#pragma once

#include <cstdint>
#include <vector>

#include "LensGrid.h"
#include "LensSampler.h"
#include "ThreadPool.h"

namespace Vy::Engine {

// Lens depths closer than this (relative) count as one surface.
constexpr float kEdgeTolerance = 0.02f;
// A lens is refined only where its first ring's depths spread by more than
// this: smaller spreads are the estimate's own noise or smooth slants, where
// choosing among the lens depths makes the map worse, not sharper.
constexpr float kEdgeJump = 0.06f;

// depth / inverseDepth: the map from BuildDepthMap, changed in place at edges.
void RefineDepthEdges(const RenderSource& source, const LensGrid& grid, const OutputLookup& lookup,
                      const std::vector<float>& lensDepth, int32_t width, int32_t height, ThreadPool& pool,
                      float* depth, float* inverseDepth);

}  // namespace Vy::Engine
