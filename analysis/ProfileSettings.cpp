#include "ProfileSettings.h"

#include <cmath>

namespace Vy::Analysis {
namespace {

// Ids beside the engine's own ranges (0x21..0x24).
enum : uint32_t {
    kMinArea = 0x250001,
    kMaxArea = 0x250002,
    kMaxAxis = 0x250003,
    kCannyLow = 0x250004,
    kCannyHigh = 0x250005,
    kClosingSize = 0x250006,
    kParticleTable = 0x250101,
    kEdgeShare = 0x250102,
    kGate = 0x250201,
    kDepthWeight = 0x250202,
    kMaxMissed = 0x250203,
    kVelocityFrames = 0x250204,
    kVelocityMinPositions = 0x250205,
};

double valueOr(const CParameterSet& params, uint32_t id, double fallback) {
    return params.Has(id) ? params.GetNumber(id) : fallback;
}

}  // namespace

void declareProfileSettings(CParameterSet& params) {
    const DetectionBounds b;
    const TrackerSettings t;
    params.Declare(kMinArea, "profile.min_area", b.minArea, 0.0, 1e7);
    params.Declare(kMaxArea, "profile.max_area", b.maxArea, 0.0, 1e7);
    params.Declare(kMaxAxis, "profile.max_axis", b.maxAxis, 0.0, 1e5);
    params.Declare(kCannyLow, "profile.canny_low", b.cannyLow, 0.0, 1000.0);
    params.Declare(kCannyHigh, "profile.canny_high", b.cannyHigh, 0.0, 1000.0);
    params.Declare(kClosingSize, "profile.closing_size", b.closingSize, 1.0, 51.0);
    params.Declare(kParticleTable, "particles.table", 1.0, 0.0, 1.0);
    params.Declare(kEdgeShare, "particles.edge_share", ProfileSettings().edgeShare, 0.05, 0.5);
    params.Declare(kGate, "track.gate_mm", t.gateMm, 0.0, 1e5);
    params.Declare(kDepthWeight, "track.depth_weight", t.depthWeight, 0.0, 10.0);
    params.Declare(kMaxMissed, "track.max_missed", t.maxMissed, 0.0, 1000.0);
    params.Declare(kVelocityFrames, "track.velocity_frames", t.velocityFrames, 2.0, 100.0);
    params.Declare(kVelocityMinPositions, "track.velocity_min_positions", t.velocityMinPositions, 2.0, 100.0);
}

ProfileSettings readProfileSettings(const CParameterSet& params) {
    ProfileSettings s;
    DetectionBounds& b = s.bounds;
    b.minArea = valueOr(params, kMinArea, b.minArea);
    b.maxArea = valueOr(params, kMaxArea, b.maxArea);
    b.maxAxis = valueOr(params, kMaxAxis, b.maxAxis);
    b.cannyLow = valueOr(params, kCannyLow, b.cannyLow);
    b.cannyHigh = valueOr(params, kCannyHigh, b.cannyHigh);
    b.closingSize = static_cast<int>(std::lround(valueOr(params, kClosingSize, b.closingSize)));
    s.particleTable = valueOr(params, kParticleTable, 1.0) >= 0.5;
    s.edgeShare = valueOr(params, kEdgeShare, s.edgeShare);
    TrackerSettings& t = s.tracking;
    t.gateMm = valueOr(params, kGate, t.gateMm);
    t.depthWeight = valueOr(params, kDepthWeight, t.depthWeight);
    t.maxMissed = static_cast<int>(std::lround(valueOr(params, kMaxMissed, t.maxMissed)));
    t.velocityFrames = static_cast<int>(std::lround(valueOr(params, kVelocityFrames, t.velocityFrames)));
    t.velocityMinPositions =
        static_cast<int>(std::lround(valueOr(params, kVelocityMinPositions, t.velocityMinPositions)));
    return s;
}

}  // namespace Vy::Analysis
