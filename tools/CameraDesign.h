// Figures of the synthetic camera: a focused light-field camera in Galilean
// mode (the main lens image lies behind the sensor as seen from the
// microlenses, so micro-images are upright). docs/synthetic-camera.md
// explains how the numbers were chosen.
#pragma once

#include <cstdint>

#include "CCalibration.h"

namespace Vy::Synth {

// Output grid step (raw pixels per output pixel) the ground truth is written for;
// the engine's default output.scale.
constexpr int kTruthScale = 2;

// The default camera for a sensor of width x height pixels.
CCalibration defaultCalibration(int32_t width, int32_t height);

// The default camera with another hexagonal lens grid: pitch (px), rotation (rad) and
// lens (0, 0) at (offsetX, offsetY). B, the microlens focal length and the micro-image
// radius scale with the pitch, so neighbouring micro-images still about touch.
CCalibration calibrationWithGrid(int32_t width, int32_t height, double pitch, double rotation, double offsetX,
                                 double offsetY);

// Virtual depth at which micro-images are sharpest: 1/fm = 1/B - 1/(v B).
double sharpestVirtualDepth(const CCalibration& calibration);

// Microlens focal length that makes virtual depth v sharpest.
double microLensFocalLengthFor(const CCalibration& calibration, double v);

}  // namespace Vy::Synth
