#include "CameraDesign.h"

#include <cmath>

#include "CVyException.h"
#include "CameraModel.h"
#include "KeyValueText.h"

namespace Vy::Synth {

namespace {
// The micro-image of the main aperture spans this share of the micro-image grid's pitch,
// so neighbouring micro-images about touch without overlapping (f-numbers matched).
constexpr double kApertureFill = 0.99;
// The usable micro-image radius as a share of the lens pitch: inside the cell's inscribed circle.
constexpr double kRadiusShare = 11.5 / 24.0;

// The published camera: pixel size, micro-image pitch, B, focal lengths, main lens.
constexpr double kMultiPixel = 0.0055;
constexpr double kMultiImagePitch = 23.32;  // px, of the micro-image grid
constexpr double kMultiB = 0.327;
constexpr double kMultiFocal[3] = {0.566, 0.507, 0.542};
constexpr double kMultiMainFocal = 50.0;
constexpr double kMultiFocusDistance = 450.0;  // mm, imaged onto the MLA
// The deep array: sharp at v 2.1, 4.0 and 12.5, so that over 1.8 .. 24 some type's defocus disc
// stays within about 2.6 px (a ninth of the pitch).
constexpr double kDeepFocal[3] = {0.624, 0.436, 0.3554};

// A camera of the published one's optics with the given microlens types and usable depths.
CCalibration publishedOptics(int32_t width, int32_t height, const double (&focal)[3], double vMin, double vMax) {
    CCalibration c;
    c.sensorWidth = width;
    c.sensorHeight = height;
    c.pixelSize = kMultiPixel;
    c.gridType = "hex";
    c.mlaToSensor = kMultiB;
    c.mainFocalLength = kMultiMainFocal;
    c.mainLensToMla = 1.0 / (1.0 / kMultiMainFocal - 1.0 / kMultiFocusDistance);
    // The aperture sits at the thin main lens: the exit pupil. Micro-images lie B / 56.25 mm =
    // 0.58 % further apart than their lenses, so the lens pitch is that much below 23.32 px.
    c.exitPupilDistance = c.mainLensToMla;
    c.lensPitch = kMultiImagePitch / (1.0 + c.mlaToSensor / c.exitPupilDistance);
    c.gridRotation = 0.0;
    c.gridOffsetX = 11.3 * c.lensPitch / 24.0;
    c.gridOffsetY = 10.7 * c.lensPitch / 24.0;
    c.microImageRadius = kRadiusShare * c.lensPitch;
    c.mainApertureDiameter = kApertureFill * kMultiImagePitch * c.pixelSize * c.mainLensToMla / c.mlaToSensor;
    c.principalX = width * 0.5;
    c.principalY = height * 0.5;
    c.virtualDepthMin = vMin;
    c.virtualDepthMax = vMax;
    return withLensTypes(c, {focal[0], focal[1], focal[2]}, 0);
}
}  // namespace

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

CCalibration multiFocusCalibration(int32_t width, int32_t height) {
    return publishedOptics(width, height, kMultiFocal, 1.9, 3.7);
}

CCalibration deepRangeCalibration(int32_t width, int32_t height) {
    return publishedOptics(width, height, kDeepFocal, 1.6, 25.0);
}

CCalibration presetCalibration(const std::string& preset, int32_t width, int32_t height) {
    if (preset == "multifocus" || preset == "target-multifocus") return multiFocusCalibration(width, height);
    if (preset == "deep") return deepRangeCalibration(width, height);
    return defaultCalibration(width, height);
}

CCalibration calibrationWithGrid(const CCalibration& base, double pitch, double rotation, double offsetX,
                                 double offsetY) {
    CCalibration c = base;
    const double scale = pitch / c.lensPitch;
    c.lensPitch = pitch;
    c.gridRotation = rotation;
    c.gridOffsetX = offsetX;
    c.gridOffsetY = offsetY;
    // The same camera with every microlens dimension scaled: B and the microlens focal lengths
    // grow with the pitch, so both f-numbers stay matched, the aperture's micro-images still
    // about touch and depths map to the same virtual depths.
    c.microImageRadius *= scale;
    c.mlaToSensor *= scale;
    c.microLensFocalLength *= scale;
    c.microLensFocalLength1 *= scale;
    c.microLensFocalLength2 *= scale;
    return c;
}

CCalibration calibrationWithGrid(int32_t width, int32_t height, double pitch, double rotation, double offsetX,
                                 double offsetY) {
    return calibrationWithGrid(defaultCalibration(width, height), pitch, rotation, offsetX, offsetY);
}

CCalibration withLensTypes(CCalibration c, const std::vector<double>& focalLengths, int offset) {
    const int n = static_cast<int>(focalLengths.size());
    if (n < 1 || n > CCalibration::kMaxLensTypes)
        throw CVyException(
            "create", "--focal-lengths",
            "needs 1.." + std::to_string(CCalibration::kMaxLensTypes) + " focal lengths, not " + std::to_string(n));
    if (offset < 0 || offset >= n)
        throw CVyException("create", "--type-offset " + std::to_string(offset), "must be 0.." + std::to_string(n - 1));
    for (double f : focalLengths)
        // Galilean: a sharp virtual depth v = f / (f - B) above 1 needs f > B; beyond 20 B nothing is sharp.
        if (!(f > c.mlaToSensor * 1.001 && f < 20.0 * c.mlaToSensor))
            throw CVyException("create", "focal length " + Vy::FormatNumber(f) + " mm",
                               "must lie between B (" + Vy::FormatNumber(c.mlaToSensor) + " mm) and 20 B");
    c.microLensTypes = n;
    c.microLensFocalLength = focalLengths[0];
    c.microLensFocalLength1 = n > 1 ? focalLengths[1] : 0.0;
    c.microLensFocalLength2 = n > 2 ? focalLengths[2] : 0.0;
    c.lensTypeOffset = offset;
    return c;
}

CCalibration builtOptics(const CCalibration& design, double bError, double mainDistanceError) {
    CCalibration c = design;
    c.mlaToSensor = design.mlaToSensor * (1.0 + bError);
    c.mainLensToMla = design.mainLensToMla * (1.0 + mainDistanceError);
    c.exitPupilDistance = c.mainLensToMla;
    // The aperture's micro-image spans aperture * B / pupil distance: kept as the design's.
    c.mainApertureDiameter =
        design.mainApertureDiameter * (design.mlaToSensor / design.mainLensToMla) / (c.mlaToSensor / c.mainLensToMla);
    return c;
}

CCalibration designWithGridOf(const CCalibration& built, const CCalibration& design) {
    // Micro-image centres m = p + (1 + g) (lens - p): the design's g must give built's m.
    const CCalibration grid =
        Model::lensGridScaled(built, (1.0 + Model::microImageGrowth(built)) / (1.0 + Model::microImageGrowth(design)));
    CCalibration c = design;
    c.lensPitch = grid.lensPitch;
    c.gridRotation = grid.gridRotation;
    c.gridOffsetX = grid.gridOffsetX;
    c.gridOffsetY = grid.gridOffsetY;
    return c;
}

double sharpestVirtualDepth(const CCalibration& c, int type) {
    const double f = c.LensFocalLength(type);
    return f / (f - c.mlaToSensor);
}

double microLensFocalLengthFor(const CCalibration& c, double v) { return c.mlaToSensor * v / (v - 1.0); }

}  // namespace Vy::Synth
