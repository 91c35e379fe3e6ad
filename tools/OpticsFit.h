// Fits the optics that turn virtual depths into distances (CameraModel.h: z = 1 / (1/f - 1/(L + v B)),
// L = main lens to MLA, B = MLA to sensor, f = main focal length) to plates at known distances.
// docs/calibration.md explains the choice of parameters.
#pragma once

#include <stdexcept>
#include <vector>

#include "CCalibration.h"

namespace Vy::Synth {

// One distance of a target: where the plate stood and what the engine read there.
struct PlateSample {
    double distance = 0.0;      // mm in front of the main lens
    double virtualDepth = 0.0;  // the engine's
    double squarePixels = 0.0;  // a board square in sensor pixels of the virtual image; 0 = not measured
};

// Plates the fit needs at least: one more than the parameters, so that a residual is left.
constexpr int kLeastPlates = 3;

struct OpticsFitError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct OpticsFit {
    // The start with B and L fitted; the exit pupil moved with B, so that the micro-image
    // centres (B / exit pupil further out than the lenses) stay where the grid finder saw them.
    CCalibration calibration;
    int iterations = 0;
};

// B and L by least squares of the relative distance errors (z(v) - z) / z over the plates; f is
// kept: the plates' depths hardly tell it from B and L (docs/calibration.md). Throws OpticsFitError
// for too few distinct distances or a fit that does not converge to a camera (B or L not positive,
// a plate imaged inside the focal length).
OpticsFit fitOptics(const CCalibration& start, const std::vector<PlateSample>& plates);

// The distance (mm) the optics give virtual depth v; 0 where its image lies inside the focal length.
double distanceOf(const CCalibration& c, double v);
// A board square's side (mm) from its size in the virtual image at virtual depth v.
double squareMmOf(const CCalibration& c, double squarePixels, double v);

}  // namespace Vy::Synth
