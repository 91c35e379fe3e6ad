// One line per track of a run beside the particle table: how long the particle
// was followed, how far it went and how fast, with the speed's standard error.
#pragma once

#include <cstdint>
#include <map>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "ParticleTable.h"

namespace Vy::Analysis {

struct TrackLine {
    int64_t trackId = -1;
    int frames = 0;  // rows of the track (frames it was seen on)
    int firstFrameIndex = 0, firstFrameId = 0;
    int lastFrameIndex = 0, lastFrameId = 0;
    double firstTimeMs = 0.0, lastTimeMs = 0.0;
    double displacementMm = 0.0;  // straight from the first position to the last
    // The speed of the least-squares line through the track's positions over time (the
    // magnitude of its mean velocity); none from one position or without time between them.
    std::optional<double> meanSpeed;
    // Its standard error, from the positions' scatter about that line; none from fewer than three.
    std::optional<double> meanSpeedSe;
};

class TrackSummary {
public:
    // Takes the tracked rows of a frame (those with a track id); the others are passed by.
    void add(const std::vector<ParticleRow>& rows);
    // Every track seen so far, by id.
    std::vector<TrackLine> lines() const;

private:
    // Sums over a track's positions, taken from its first position and time so they stay exact.
    struct Sums {
        TrackLine line;
        cv::Point3d origin, last;
        double n = 0.0, t = 0.0, tt = 0.0;
        cv::Vec3d p, pp, tp;
    };
    std::map<int64_t, Sums> tracks_;
};

const std::string& trackSummaryHeader();
std::string formatTrackLine(const TrackLine& line, const std::string& recording = {});
// "<measurement log name>.tracks.csv"
std::string trackSummaryName(const std::string& logFileName);
// Writes the header and every line to fileName, replacing what it held; false when it could not.
bool writeTrackSummary(const std::string& fileName, const std::vector<TrackLine>& lines,
                       const std::string& recording = {});

}  // namespace Vy::Analysis
