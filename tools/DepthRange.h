// The virtual-depth range a calibration block gives the engine to search: from the
// optics (where some microlens type forms a usable image), or measured on scene
// frames (a wide search, and a margin around the depths the scene uses).
// docs/import.md explains both.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "CCalibration.h"

namespace Vy::Synth {

struct DepthRange {
    double min = 0.0, max = 0.0;  // virtual depth
};

// The widest search the engine is asked for when nothing narrows it.
constexpr DepthRange kWideSearch{1.3, 40.0};
// Deepest virtual depth a range reaches (the engine's settings allow no more).
constexpr double kDeepestVirtualDepth = 100.0;
// Depths at one end of a search beyond this share do not tell the scene's range.
constexpr double kPiledShare = 0.05;
// A lens type is usable where its blur circle is at most this share of the micro-image's diameter.
constexpr double kUsableBlur = 0.25;

// Whether the calibration holds a range the engine can search (1 < min < max).
bool hasDepthRange(const CCalibration& c);

// From the optics: the virtual depths v where
// - some lens type images sharply enough: its blur circle, pitch * |1/v - 1/v_t| with
//   1/v_t = 1 - B / f_t, is at most kUsableBlur of the micro-image's diameter;
// - at least 90 % of the virtual image is seen by two or more micro-images (v above
//   (pitch - r) / radius, r the radius about a lens centre that only that lens sees);
// - an object can lie: at or beyond the image of infinity, (F - main lens to MLA) / B.
// Throws CVyException naming source when no depth meets all three.
DepthRange rangeFromOptics(const CCalibration& c, const std::string& source = "optics");

// What the engine found over scene frames with the search opened to `searched`.
struct SceneDepths {
    DepthRange searched;
    DepthRange used;          // 0.5 % and 99.5 % of the valid depths
    double validShare = 0.0;  // of the depth map's pixels
    double lowEnd = 0.0;      // share of valid depths within a search step of the searched minimum
    double highEnd = 0.0;     // ... and of its maximum
    int frames = 0;
    bool measured = false;  // enough valid depths, at most kPiledShare of them at either end
};

// Runs the engine's depth estimate on frames (8- or 16-bit grey, `bits` significant) with the
// calibration's range and the search set to `search`; white may be empty (no white image).
// Too few valid depths (a blank scene) or too many at an end (a white image) leave measured false.
SceneDepths measureSceneDepths(const CCalibration& calibration, const cv::Mat& white,
                               const std::vector<cv::Mat>& frames, int bits, DepthRange search,
                               const std::string& source);

// The range for a calibration: the depths the scene uses with a margin in 1/v of kMarginShare of
// their span and at least kLeastMargin, within the searched range.
constexpr double kMarginShare = 0.5, kLeastMargin = 0.08;
DepthRange rangeAround(const SceneDepths& depths);

// The range a calibration made from a white image gets, and the one line that says where it came from.
// - The optics file gives a range (1 < virtualDepthMin < virtualDepthMax): kept as given.
// - Else the search is the optics' range (rangeFromOptics) when an optics file was given, the wide
//   search when not; scene frames (when given and textured enough) narrow it to rangeAround().
// calibration holds the grid and optics; opticsFile is empty when the optics are the defaults.
// Throws CVyException naming the optics file when they allow no depth.
struct RangeChoice {
    DepthRange range;
    std::string line;
};
RangeChoice chooseDepthRange(const CCalibration& calibration, const std::string& opticsFile, const cv::Mat& white,
                             const std::vector<cv::Mat>& frames, int bits, const std::string& framesName);

// Significant bits of an image: what its largest 16-bit sample needs (10..16); 8 for 8-bit data.
int significantBits(const cv::Mat& image);

}  // namespace Vy::Synth
