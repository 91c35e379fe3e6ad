// The measurement's settings: detection bounds of the blobs, the particle table
// and its tracking. They live in the engine's parameter set, so one settings
// file holds them beside the engine's keys.
#pragma once

#include "CParameterSet.h"
#include "ParticleTracker.h"
#include "ProfileMeasurement.h"

namespace Vy::Analysis {

struct ProfileSettings {
    DetectionBounds bounds;
    bool particleTable = true;  // write <log>.particles.csv beside the measurement log
    double edgeShare = 0.35;    // where a blob's edge lies between its darkest and brightest pixel
    TrackerSettings tracking;
};

// Adds the measurement's keys (profile.*, particles.*, track.*) with their
// defaults; call before a settings file is imported.
void declareProfileSettings(CParameterSet& params);
// The values now in params; the defaults where a key was never declared.
ProfileSettings readProfileSettings(const CParameterSet& params);

}  // namespace Vy::Analysis
