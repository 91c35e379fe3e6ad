// Figures of the synthetic camera: a focused light-field camera in Galilean
// mode (the main lens image lies behind the sensor as seen from the
// microlenses, so micro-images are upright). docs/synthetic-camera.md
// explains how the numbers were chosen.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CCalibration.h"

namespace Vy::Synth {

// Output grid step (raw pixels per output pixel) the ground truth is written for;
// the engine's default output.scale.
constexpr int kTruthScale = 2;

// The default camera for a sensor of width x height pixels.
CCalibration defaultCalibration(int32_t width, int32_t height);

// A multi-focus camera modelled on a published calibration of a commercial one:
// 5.5 um pixels, micro-images 23.32 px apart, B = 0.327 mm, three microlens
// types of 0.566, 0.507 and 0.542 mm interleaved on the hexagonal grid, a
// 50 mm main lens imaging 450 mm onto the MLA (its sensor is 4080 x 3068).
CCalibration multiFocusCalibration(int32_t width, int32_t height);

// The same array with focal lengths that spread the three types' sharp depths
// over virtual depths 1.6 .. 25, beyond what one type covers.
CCalibration deepRangeCalibration(int32_t width, int32_t height);

// The camera a preset is rendered with: multifocus (and its single-type twin),
// deep, or the default camera for every other preset.
CCalibration presetCalibration(const std::string& preset, int32_t width, int32_t height);

// base with another hexagonal lens grid: pitch (px), rotation (rad) and lens (0, 0)
// at (offsetX, offsetY). B, the microlens focal lengths and the micro-image radius
// scale with the pitch, so neighbouring micro-images still about touch.
CCalibration calibrationWithGrid(const CCalibration& base, double pitch, double rotation, double offsetX,
                                 double offsetY);
// The same on the default camera.
CCalibration calibrationWithGrid(int32_t width, int32_t height, double pitch, double rotation, double offsetX,
                                 double offsetY);

// c with microlens types of the given focal lengths (1..kMaxLensTypes of them, mm),
// type of lens (0, 0) = offset. Throws CVyException for a count or length out of range.
CCalibration withLensTypes(CCalibration c, const std::vector<double>& focalLengths, int offset);

// The camera a unit of `design` really is when its B (MLA to sensor) and its main lens's distance to
// the MLA are off by the given shares (0.05 = 5 % longer). The aperture stays at the main lens (the
// exit pupil) and is set so that the f-numbers stay matched: its micro-images still about touch.
// The microlenses, the grid and the usable virtual depths are the design's.
CCalibration builtOptics(const CCalibration& design, double bError, double mainDistanceError);

// What a user who calibrates `built` from its white image with the design's optics holds: the
// design's optics with the lens grid that puts the design's micro-image centres (B / exit pupil
// further out than the lenses) where built's micro-images are.
CCalibration designWithGridOf(const CCalibration& built, const CCalibration& design);

// Virtual depth at which micro-images of microlens type `type` are sharpest: 1/fm = 1/B - 1/(v B).
double sharpestVirtualDepth(const CCalibration& calibration, int type = 0);

// Microlens focal length that makes virtual depth v sharpest.
double microLensFocalLengthFor(const CCalibration& calibration, double v);

}  // namespace Vy::Synth
