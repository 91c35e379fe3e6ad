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
    // The cell's inscribed circle; a baffle keeps light of other lenses out beyond it.
    c.microImageRadius = 11.5;
    c.mlaToSensor = 0.35;
    // Sharpest at v = 0.5 / (0.5 - 0.35) = 3.33, the middle (in 1/v) of the depths the presets use.
    c.microLensFocalLength = 0.5;
    c.mainFocalLength = 50.0;
    c.mainLensToMla = 50.5;
    // f/2.5, matched to the microlenses (D / mainLensToMla ~ lens diameter / B):
    // the aperture's micro-images about touch, so little of the sensor is wasted.
    c.mainApertureDiameter = 20.0;
    c.principalX = width * 0.5;
    c.principalY = height * 0.5;
    c.virtualDepthMin = 2.0;
    c.virtualDepthMax = 6.0;
    return c;
}

double sharpestVirtualDepth(const CCalibration& c) {
    return c.microLensFocalLength / (c.microLensFocalLength - c.mlaToSensor);
}

double microLensFocalLengthFor(const CCalibration& c, double v) { return c.mlaToSensor * v / (v - 1.0); }

}  // namespace Vy::Synth
