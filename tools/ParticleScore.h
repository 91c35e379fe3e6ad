// Scores the program's particle table against the ground truth of a synthetic
// particle sequence: detection, position, distance, size, tracks and velocities.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "CCalibration.h"
#include "GroundTruth.h"
#include "ParticleTableReader.h"

namespace Vy::Synth {

// A truth particle no accepted row matched, and an accepted row that matched none.
struct MissedParticle {
    int frame = 0;
    ParticleTruth truth;
    double nearestRowPx = 0.0;  // to the nearest accepted row of the frame (infinite when none)
    bool atBorder = false;
};
struct UnmatchedRow {
    int frame = 0;
    Analysis::TableParticle row;
    double nearestTruthPx = 0.0;  // to the nearest truth particle of the frame
};

struct ParticleScore {
    size_t truthParticles = 0;  // particle-frame pairs of the truth over the scored frames
    size_t accepted = 0;        // accepted rows of the table over the same frames
    // Border class, counted whatever the rule: truth particles whose disc is not whole
    // in the frame or whose match's outline reaches the edge, and rows flagged border.
    size_t borderTruth = 0;
    size_t borderTruthMatched = 0;
    size_t borderRows = 0;
    size_t borderRowsUnmatched = 0;
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
    size_t rowsWithVelocity = 0;  // accepted rows that give a velocity, matched or not
    // Velocities that give their standard error, and of those the ones whose error
    // (mm/s) lies within twice it: about 95 % when the error is stated honestly.
    size_t velocitiesWithSd = 0;
    size_t velocitiesWithinTwoSd = 0;
    // Each velocity's relative error with the number of frames its track had held the
    // particle (this one included): early in a track the velocity rests on few positions.
    std::vector<std::pair<int, double>> velocityErrors;
    // The same errors with the number of positions the row says its velocity rests on
    // (0 for tables without that column).
    std::vector<std::pair<int, double>> velocityErrorsByPositions;
    int frames = 0;
    std::vector<MissedParticle> misses;
    std::vector<UnmatchedRow> unmatchedRows;

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

// Strict: every truth particle and every accepted row counts. Apart: particles and
// rows of the border class are left out of the bars and only counted.
enum class BorderRule { Strict, Apart };

// truthDir: <sequence>.rays.truth; scale: sensor pixels per output pixel of the truth's grid.
ParticleScore scoreParticleTable(const std::vector<Analysis::TableParticle>& table, const std::string& truthDir,
                                 const CCalibration& calibration, int scale, BorderRule rule = BorderRule::Strict);

// Writes tableFile (replacing it) as display type 4 would, but measured on the truth's
// all-in-focus image and true virtual depth instead of the engine's: what the measurement
// and tracking lose by themselves. Throws CVyException for a sequence without truth.
void writeReferenceTable(const std::string& sequence, const std::string& tableFile);

// Median velocity error of the tracks that had held their particle for first..last frames (NaN for none).
double velocityErrorMedian(const ParticleScore& s, int first, int last);
// Median velocity error of the rows whose velocity rests on first..last positions (NaN for none).
double velocityErrorMedianByPositions(const ParticleScore& s, int first, int last);

// The particle's disc (output pixels) is not whole inside a frame of this size.
bool discCut(const ParticleTruth& p, const cv::Size& frame);

}  // namespace Vy::Synth
