// Which microlens has which focal length, read off the white image. A grid found
// on a white image numbers its lenses from wherever the finder started, and a
// data sheet names the focal lengths without saying where on the array each type
// sits: the layout (camera-model.md, "Microlens types") fixes only that the types
// alternate over the lattice's colour classes, not which class holds which.
// Through each microlens the main aperture is imaged out of focus by as much as
// its focal length differs from B, so in a white image the micro-images of the
// shorter focal lengths have sharper rims: they stay bright further out.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "CCalibration.h"

namespace Vy::Synth {

struct LensTypeFit {
    CCalibration calibration;         // the focal lengths placed where they fit (lensTypeOffset 0)
    bool changed = false;             // the calibration's own placement was not the one found
    bool decided = false;             // the classes' rims differ clearly: otherwise the calibration is kept
    std::vector<double> brightReach;  // per lattice class: radius (px) where its rim falls to 80 %
    double noise = 0.0;               // how far that radius differs between even and odd rows
    int lenses = 0;                   // whole micro-images measured
};

// Tells the lattice classes apart when the radii of their rims differ by more than
// kRimSeparation times their noise, and at least kRimMinimum px.
constexpr double kRimSeparation = 4.0;
constexpr double kRimMinimum = 0.02;

// Places the calibration's focal lengths on the lattice classes of the white image
// (8- or 16-bit grey), the shortest where the rims reach furthest. A calibration of
// one type, or no white image, comes back unchanged and undecided.
LensTypeFit fitLensTypes(const CCalibration& calibration, const cv::Mat& white);

// One line for the user: what was measured and what was kept.
std::string describeLensTypeFit(const LensTypeFit& fit);

}  // namespace Vy::Synth
