// Scores the program's particle table against the ground truth of a synthetic
// particle sequence: detection, position, distance, size, tracks and velocities.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "CCalibration.h"
#include "ParticleTableReader.h"

namespace Vy::Synth {

struct ParticleScore {
    size_t truthParticles = 0;  // particle-frame pairs of the truth over the scored frames
    size_t accepted = 0;        // accepted rows of the table over the same frames
    size_t matched = 0;
    size_t unmatchedDetections = 0;
    double centreErrorMedian = 0.0;    // output pixels
    double distanceErrorMedian = 0.0;  // relative
    double diameterErrorMedian = 0.0;  // relative
    size_t withDistance = 0;           // matched rows with a distance
    size_t trackPairs = 0;             // truth particle matched on this and the previous frame
    size_t trackPairsKept = 0;         // ... with the same track id on both
    double velocityErrorMedian = 0.0;  // relative to the true speed
    size_t velocities = 0;
    int frames = 0;

    double matchedShare() const { return truthParticles ? double(matched) / truthParticles : 0.0; }
    double unmatchedShare() const { return accepted ? double(unmatchedDetections) / accepted : 0.0; }
    double trackKeptShare() const { return trackPairs ? double(trackPairsKept) / trackPairs : 0.0; }
    bool Passed() const;
};

struct ParticleBars {
    static constexpr double kMatchRadius = 2.0;  // output pixels
    static constexpr double kMatchedShare = 0.95;
    static constexpr double kUnmatchedShare = 0.03;
    static constexpr double kCentreError = 0.3;
    static constexpr double kDistanceError = 0.01;
    static constexpr double kDiameterError = 0.05;
    static constexpr double kTrackKept = 0.95;
    static constexpr double kVelocityError = 0.05;
};

// truthDir: <sequence>.rays.truth; scale: sensor pixels per output pixel of the truth's grid.
ParticleScore scoreParticleTable(const std::vector<Analysis::TableParticle>& table, const std::string& truthDir,
                                 const CCalibration& calibration, int scale);

}  // namespace Vy::Synth
