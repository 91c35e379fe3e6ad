#include "CameraDesign.h"

namespace Vy::Synth {

CCalibration defaultCalibration(int32_t width, int32_t height) {
    CCalibration c;
    c.sensorWidth = width;
    c.sensorHeight = height;
    c.pixelSize = 0.0055;
    c.gridType = "hex";
    c.lensPitch = 24.0;
    c.gridRotation = 0.0;
    // Lens (0, 0) sits a little off the corner so the grid is not pixel aligned.
    c.gridOffsetX = 11.3;
    c.gridOffsetY = 10.7;
    // Within the cell's inscribed circle: beyond it a neighbour's micro-image may overlap.
    c.microImageRadius = 11.5;
    c.mlaToSensor = 0.35;
    // Sharpest at v = 0.5 / (0.5 - 0.35) = 3.33, the middle (in 1/v) of the depths the presets use.
    c.microLensFocalLength = 0.5;
    c.mainFocalLength = 50.0;
    c.mainLensToMla = 50.5;
    // f/2.66, matched to the microlenses (D / exitPupilDistance = lens diameter / B
    // within 1 %): the aperture's micro-images, 23.9 px across on a 24.17 px
    // grid, about touch, so little of the sensor is wasted and none overlap.
    c.mainApertureDiameter = 19.0;
    // The aperture sits at the thin main lens, so that is the exit pupil: the
    // micro-images lie on a grid B / 50.5 mm = 0.69 % wider than the lenses.
    c.exitPupilDistance = c.mainLensToMla;
    c.principalX = width * 0.5;
    c.principalY = height * 0.5;
    c.virtualDepthMin = 2.0;
    c.virtualDepthMax = 6.0;
    return c;
}

CCalibration calibrationWithGrid(int32_t width, int32_t height, double pitch, double rotation, double offsetX,
                                 double offsetY) {
    CCalibration c = defaultCalibration(width, height);
    const double scale = pitch / c.lensPitch;
    c.lensPitch = pitch;
    c.gridRotation = rotation;
    c.gridOffsetX = offsetX;
    c.gridOffsetY = offsetY;
    // The same camera with every microlens dimension scaled: B and the microlens focal length
    // grow with the pitch, so both f-numbers stay matched, the aperture's micro-images still
    // about touch and depths map to the same virtual depths.
    c.microImageRadius *= scale;
    c.mlaToSensor *= scale;
    c.microLensFocalLength *= scale;
    return c;
}

double sharpestVirtualDepth(const CCalibration& c) {
    return c.microLensFocalLength / (c.microLensFocalLength - c.mlaToSensor);
}

double microLensFocalLengthFor(const CCalibration& c, double v) { return c.mlaToSensor * v / (v - 1.0); }

}  // namespace Vy::Synth
