// raystool fit-optics: the optics that turn virtual depths into millimetres, fitted to recordings
// of a flat target at known distances (docs/calibration.md). Each listed frame's plate is read
// with the engine (PlateMeter), the readings at one distance pooled, and B and the main lens's
// distance to the MLA fitted (OpticsFit).
#pragma once

#include <iosfwd>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "CCalibration.h"

namespace Vy::Synth {

struct TargetFitOptions {
    std::vector<std::string> recordings;  // "*.rays", frames counted over them in this order
    std::string distances;                // the table (DistanceTable.h)
    double squareMm = 0.0;                // the board's square side; 0 = no lateral check
    cv::Size innerCorners{8, 6};          // the board's inner corners
    bool checkOnly = false;               // no fit: the recordings' own optics against the plates
    std::string calibration;              // a calibration file to start from (or check) instead of the recordings'
};

struct PlateRow {
    double distance = 0.0;  // mm, as the table gives it
    long firstFrame = 0;
    int frames = 0;
    double virtualDepth = 0.0;  // median over the frames at this distance
    double validShare = 0.0;    // least share of the middle with a depth over those frames
    double before = 0.0;        // mm from the recordings' optics
    double after = 0.0;         // mm from the fitted optics
    double squareMm = 0.0;      // board square from the fitted optics; 0 = no board found
};

struct TargetFit {
    CCalibration start;                            // the recordings' calibration
    CCalibration calibration;                      // with the fitted optics (the start's for checkOnly)
    std::vector<PlateRow> plates;                  // near to far
    double medianBefore = 0.0, worstBefore = 0.0;  // |relative distance error|
    double medianAfter = 0.0, worstAfter = 0.0;
    double cameraNear = 0.0, cameraFar = 0.0;  // mm, the calibration's virtual-depth range with the fitted optics
    int boards = 0;
    double squareMedian = 0.0, squareWorst = 0.0;  // relative error of the squares
    double seconds = 0.0;                          // reading the frames and fitting
    // B / exit pupil found from the squares for a block without an exit pupil (0: none), whose
    // lens grid the fit then set inside the micro-image grid before reading the frames again.
    double growth = 0.0;
};

// Below this B / exit pupil the squares tell no growth of the micro-image grid.
constexpr double kLeastGrowth = 0.001;
// The largest residual a fit may leave at any plate.
constexpr double kWorstResidual = 0.05;
// Beyond this a plate's residual is more than the engine's depth error explains: the report warns.
constexpr double kDoubtfulResidual = 0.01;

// Throws CVyException("fit-optics", file, problem): bad table or recordings, a plate not found or
// beyond the camera's virtual depths, too few distances, a fit that does not converge or leaves
// more than kWorstResidual at a plate. progress (if given) gets a line per frame read.
TargetFit fitTarget(const TargetFitOptions& options, std::ostream* progress);

// What raystool prints: the table of plates, the optics before and after, the residuals, the
// range of distances the fit holds over and the lateral check.
std::string fitReport(const TargetFit& fit, const TargetFitOptions& options);

}  // namespace Vy::Synth
