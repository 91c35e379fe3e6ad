// Reads back the particle table that appendParticleRows writes.
#pragma once

#include <cstdint>
#include <map>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

namespace Vy::Analysis {

// The columns of a particle table row that the score needs.
struct TableParticle {
    int frameIndex = 0;
    double timeMs = 0.0;  // as written: may be NaN or infinite
    int number = 0;
    bool accepted = false;
    bool border = false;                      // the outline touches the image's edge (tables without the column: never)
    cv::Point2d centre;                       // output pixels
    std::optional<cv::Point2d> turnedCentre;  // output pixels of the turned picture (tables without it: none)
    std::string recording;                    // the sequence measured (tables without the column: empty)
    double diameterPx = 0.0;
    std::optional<double> virtualDepth;
    std::optional<double> distanceMm;
    std::optional<double> diameterMm;
    int64_t trackId = -1;
    std::optional<cv::Point3d> velocity;  // mm/s
    std::optional<double> velocitySd;     // mm/s, the velocity's standard error
    int velocityPositions = 0;            // positions the velocity rests on (0: none or not written)
};

// Reads a table written by the program (columns found by their header names).
// Throws CVyException when the file cannot be read, has no header or a bad line.
std::vector<TableParticle> readParticleTable(const std::string& path);

// Mean distance (mm) of the accepted particles with a distance, by frame index.
std::map<int, double> meanDistanceByFrame(const std::vector<TableParticle>& table);

}  // namespace Vy::Analysis
