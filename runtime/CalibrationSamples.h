// A usable camera model for the runtime's tests (a small hex-grid sensor).
#pragma once

#include "CCalibration.h"

namespace Vy::Test {

inline CCalibration SmallCalibration(int32_t width = 64, int32_t height = 48) {
    CCalibration c;
    c.sensorWidth = width;
    c.sensorHeight = height;
    c.pixelSize = 0.0055;
    c.lensPitch = 12.25;
    c.gridRotation = 0.001;
    c.gridOffsetX = 6.1;
    c.gridOffsetY = 5.9;
    c.microImageRadius = 5.8;
    c.mlaToSensor = 0.36;
    c.microLensFocalLength = 0.4;
    c.mainFocalLength = 35.0;
    c.mainLensToMla = 36.1;
    c.mainApertureDiameter = 8.75;
    c.principalX = width / 2.0;
    c.principalY = height / 2.0;
    c.virtualDepthMin = 2.0;
    c.virtualDepthMax = 6.0 + 1.0 / 3.0;
    return c;
}

}  // namespace Vy::Test
