// The engine's processing parameters: declaration (key, default, range; the
// table in docs/settings.md) and the values one frame runs with.
#pragma once

#include "CParameterSet.h"

namespace Vy::Engine {

void DeclareEngineParameters(CParameterSet& params);

struct EngineSettings {
    unsigned threads = 0;
    int outputScale = 2;
    double whiteMinimum = 0.15;
    double rimMargin = 1.0;
    double depthVirtualMin = 1.5;
    double depthVirtualMax = 30.0;
    int depthSteps = 16;
    double patchRadius = 0.0;
    double minContrast = 2.0;  // 8-bit grey levels
    double maxCost = 0.6;
    double consistency = 0.1;
    int fillIterations = 64;
    double colorNear = 300.0;
    double colorFar = 3000.0;
    double refocus = 0.5;
};

EngineSettings ReadEngineSettings(const CParameterSet& params);

}  // namespace Vy::Engine
