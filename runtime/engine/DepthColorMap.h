// Colour coding of metric depth: near red, through yellow, green and cyan,
// to far blue (hue 0..240 degrees, linear in distance); invalid pixels black.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ThreadPool.h"

class CCalibration;

namespace Vy::Engine {

struct Bgr {
    uint8_t b = 0, g = 0, r = 0;
};

// Colour of a distance relative to the range: t = (z - near) / (far - near), clamped to [0, 1].
Bgr DepthColor(float t);

// distance: mm per pixel (<= 0 invalid); out: packed BGR bytes.
void ColorCodeDistances(const float* distance, size_t count, float nearMm, float farMm, ThreadPool& pool, uint8_t* out);

// The distances (mm) a calibration can measure: its virtual-depth range, narrowed to the
// searched range [searchMin, searchMax] where the two overlap, through the camera model.
// The highest virtual depth is the nearest distance. {0, 0} when the calibration gives no range.
struct DistanceRange {
    double nearMm = 0.0, farMm = 0.0;
};
DistanceRange MeasurableDistances(const CCalibration& calibration, double searchMin, double searchMax);

}  // namespace Vy::Engine
