// The engine's processing parameters: one table of key, default and range (the
// table in docs/settings.md) that the parameter set is declared from, and the
// values one frame runs with, read from that set.
#pragma once

#include <cstdint>
#include <span>

#include "CParameterSet.h"

namespace Vy::Engine {

struct EngineParameter {
    uint32_t id;
    const char* key;
    double defaultValue;
    double minimum;
    double maximum;
};

// In declaration order.
std::span<const EngineParameter> EngineParameters();

void DeclareEngineParameters(CParameterSet& params);

// Every field comes from the parameter set (ReadEngineSettings), so the defaults
// live in the table alone. refocus.value is not here: refocus reads it when it runs.
struct EngineSettings {
    unsigned threads{};
    int outputScale{};
    double whiteMinimum{};
    double rimMargin{};
    double depthVirtualMin{};
    double depthVirtualMax{};
    int depthSteps{};
    double patchRadius{};
    double minContrast{};  // 8-bit grey levels
    double maxCost{};
    double consistency{};
    int fillIterations{};
    double colorNear{};
    double colorFar{};
};

EngineSettings ReadEngineSettings(const CParameterSet& params);

}  // namespace Vy::Engine
