#include "EngineParameters.h"

#include <cmath>

#include "VyTypes.h"

namespace Vy::Engine {

namespace {

using namespace Params;
constexpr EngineParameter kParameters[] = {
    {CudaCompute_Threads, "compute.threads", 0, 0, 64},
    {CudaCompute_OutputScale, "output.scale", 2, 1, 16},
    {CudaCompute_DevignetteMinimum, "preprocess.white_minimum", 0.15, 0, 1},
    {CudaCompute_MicroImageMargin, "preprocess.rim_margin", 1, 0, 16},
    {CudaCompute_DepthVirtualMin, "depth.virtual_min", 1.5, 1.01, 100},
    {CudaCompute_DepthVirtualMax, "depth.virtual_max", 30, 1.01, 100},
    {CudaCompute_DepthSteps, "depth.steps", 16, 4, 128},
    {CudaCompute_DepthPatchRadius, "depth.patch_radius", 0, 0, 64},
    {CudaCompute_DepthMinContrast, "depth.min_contrast", 2, 0, 255},
    {CudaCompute_DepthMaxCost, "depth.max_cost", 0.6, 0, 10},
    {CudaCompute_DepthConsistency, "depth.consistency", 0.1, 0, 10},
    {CudaCompute_DepthFillIterations, "depth.fill_iterations", 64, 0, 1000},
    {CudaCompute_ColorNearDistance, "color.near_mm", 300, 0, 1e7},
    {CudaCompute_ColorFarDistance, "color.far_mm", 3000, 0, 1e7},
    {CudaCompute_RefocusVirtualDepth, "refocus.value", 0.5, 0, 1},
};

}  // namespace

std::span<const EngineParameter> EngineParameters() { return kParameters; }

void DeclareEngineParameters(CParameterSet& p) {
    for (const EngineParameter& parameter : kParameters) {
        p.Declare(parameter.id, parameter.key, parameter.defaultValue, parameter.minimum, parameter.maximum);
    }
}

EngineSettings ReadEngineSettings(const CParameterSet& p) {
    using namespace Params;
    EngineSettings s;
    s.threads = static_cast<unsigned>(std::lround(p.GetNumber(CudaCompute_Threads)));
    s.outputScale = static_cast<int>(std::lround(p.GetNumber(CudaCompute_OutputScale)));
    s.whiteMinimum = p.GetNumber(CudaCompute_DevignetteMinimum);
    s.rimMargin = p.GetNumber(CudaCompute_MicroImageMargin);
    s.depthVirtualMin = p.GetNumber(CudaCompute_DepthVirtualMin);
    s.depthVirtualMax = p.GetNumber(CudaCompute_DepthVirtualMax);
    s.depthSteps = static_cast<int>(std::lround(p.GetNumber(CudaCompute_DepthSteps)));
    s.patchRadius = p.GetNumber(CudaCompute_DepthPatchRadius);
    s.minContrast = p.GetNumber(CudaCompute_DepthMinContrast);
    s.maxCost = p.GetNumber(CudaCompute_DepthMaxCost);
    s.consistency = p.GetNumber(CudaCompute_DepthConsistency);
    s.fillIterations = static_cast<int>(std::lround(p.GetNumber(CudaCompute_DepthFillIterations)));
    s.colorNear = p.GetNumber(CudaCompute_ColorNearDistance);
    s.colorFar = p.GetNumber(CudaCompute_ColorFarDistance);
    return s;
}

}  // namespace Vy::Engine
