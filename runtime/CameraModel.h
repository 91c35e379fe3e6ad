// Geometry of the focused light-field camera, shared by the compute engine
// and the synthetic camera so that both speak of the same pixels.
//
// Frames of reference (see docs/camera-model.md):
// - Sensor pixels: x to the right, y down, pixel (i, j) covers [i, i+1) x [j, j+1),
//   its centre is (i + 0.5, j + 0.5).
// - Light travels main lens -> microlens array (MLA) -> sensor. The MLA lies
//   mainLensToMla behind the main lens, the sensor mlaToSensor (B) behind the MLA.
// - The main lens images a scene point at distance z in front of it to the
//   image distance bi = 1 / (1/f - 1/z) behind it. That image point lies
//   a = bi - mainLensToMla behind the MLA; its virtual depth is v = a / B.
//   v > 1 puts it behind the sensor as seen from the microlenses, so each
//   microlens projects it upright: a virtual point at lateral position x
//   (sensor pixels, measured in the MLA plane) appears in the micro-image of
//   the lens with centre c at u = c + (x - c) / v.
// - Two micro-images at baseline b therefore see the point with a disparity of b / v.
// - The output grid (LF::Space_VirtualImage) samples lateral virtual-image
//   positions x: output pixel (i, j) of an image with scale s has its centre at
//   x = (s * (i + 0.5), s * (j + 0.5)) sensor pixels.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "CCalibration.h"

namespace Vy::Model {

struct Point {
    double x = 0.0;
    double y = 0.0;
};

inline int positiveMod2(int value) { return ((value % 2) + 2) % 2; }

// Centre of lens (k, l) in sensor pixels.
inline Point lensCentre(const CCalibration& c, int k, int l) {
    const double gx = (k + positiveMod2(l) * 0.5) * c.lensPitch;
    const double gy = l * std::sqrt(3.0) * 0.5 * c.lensPitch;
    const double cs = std::cos(c.gridRotation);
    const double sn = std::sin(c.gridRotation);
    return {c.gridOffsetX + cs * gx - sn * gy, c.gridOffsetY + sn * gx + cs * gy};
}

// Microlens type (0 .. microLensTypes - 1) of lens (k, l). Rows alternate by half
// a pitch, so in axial coordinates (q, r) = (k - floor(l / 2), l) the six
// neighbours of a lens are (q +- 1, r), (q, r +- 1), (q + 1, r - 1) and
// (q - 1, r + 1); (q - r) mod 3 differs from the lens's own for all six, which
// is how the three types of a multi-focus array interleave. Two types follow
// the same rule mod 2 (then two of the six neighbours share the lens's type).
inline int lensType(const CCalibration& c, int k, int l) {
    if (c.microLensTypes <= 1) {
        return 0;
    }
    const int halfRowsDown = (l >= 0 ? l : l - 1) / 2;  // floor(l / 2)
    const int q = k - halfRowsDown;
    const int n = c.microLensTypes;
    return (((q - l + c.lensTypeOffset) % n) + n) % n;
}

// Focal length (mm) of the microlens (k, l).
inline double lensFocalLength(const CCalibration& c, int k, int l) { return c.LensFocalLength(lensType(c, k, l)); }

// Lens indices (k, l) whose centre is nearest to sensor position p.
inline void nearestLens(const CCalibration& c, Point p, int& kOut, int& lOut) {
    const double cs = std::cos(c.gridRotation);
    const double sn = std::sin(c.gridRotation);
    const double dx = p.x - c.gridOffsetX;
    const double dy = p.y - c.gridOffsetY;
    const double gx = (cs * dx + sn * dy) / c.lensPitch;
    const double gy = (-sn * dx + cs * dy) / c.lensPitch;
    const int lApprox = static_cast<int>(std::floor(gy / (std::sqrt(3.0) * 0.5)));
    double best = 1e300;
    for (int l = lApprox - 1; l <= lApprox + 2; ++l) {
        const double kApprox = gx - positiveMod2(l) * 0.5;
        for (int k = static_cast<int>(std::floor(kApprox)) - 1; k <= static_cast<int>(std::floor(kApprox)) + 2; ++k) {
            const Point q = lensCentre(c, k, l);
            const double d = (q.x - p.x) * (q.x - p.x) + (q.y - p.y) * (q.y - p.y);
            if (d < best) {
                best = d;
                kOut = k;
                lOut = l;
            }
        }
    }
}

// Each micro-image is the image of the main lens's exit pupil through its
// microlens: the chief ray from the pupil centre through the lens centre c
// meets the sensor at m = c + g (c - principal point), g = B / exitPupilDistance.
// The micro-image grid is the lens grid scaled by 1 + g about the principal
// point; g = 0 when the exit pupil is unknown (micro-images on the lenses).
inline double microImageGrowth(const CCalibration& c) {
    return c.exitPupilDistance > 0.0 ? c.mlaToSensor / c.exitPupilDistance : 0.0;
}

inline Point microImageCentre(const CCalibration& c, Point lens) {
    const double g = microImageGrowth(c);
    return {lens.x + g * (lens.x - c.principalX), lens.y + g * (lens.y - c.principalY)};
}

// c with its lens grid scaled by s about the principal point: every lens centre p + s (centre - p).
// Turns a micro-image grid into the lens grid inside it (s = 1 / (1 + g)) and back.
inline CCalibration lensGridScaled(CCalibration c, double s) {
    c.lensPitch *= s;
    c.gridOffsetX = c.principalX + s * (c.gridOffsetX - c.principalX);
    c.gridOffsetY = c.principalY + s * (c.gridOffsetY - c.principalY);
    return c;
}

// Lens indices (k, l) whose micro-image centre is nearest to sensor position p:
// the lens nearest to p mapped back onto the lens grid.
inline void nearestMicroImage(const CCalibration& c, Point p, int& kOut, int& lOut) {
    const double g = microImageGrowth(c);
    nearestLens(c, {(p.x + g * c.principalX) / (1.0 + g), (p.y + g * c.principalY) / (1.0 + g)}, kOut, lOut);
}

// Image distance behind the main lens of a scene point at distance z (mm).
inline double imageDistance(const CCalibration& c, double z) { return 1.0 / (1.0 / c.mainFocalLength - 1.0 / z); }

// The virtual-depth range the engine searches: the settings' depth.virtual_min .. depth.virtual_max
// within the calibration's virtualDepthMin .. virtualDepthMax (the settings' alone where the two do
// not meet or the calibration has none), never narrower than 1 %.
inline std::pair<double, double> searchedVirtualDepths(const CCalibration& c, double settingsMin, double settingsMax) {
    double lo = settingsMin, hi = settingsMax;
    if (c.virtualDepthMax > c.virtualDepthMin && c.virtualDepthMin > 1.0) {
        const double cLo = std::max(lo, c.virtualDepthMin), cHi = std::min(hi, c.virtualDepthMax);
        if (cHi > cLo) {
            lo = cLo;
            hi = cHi;
        }
    }
    return {lo, std::max(hi, lo * 1.01)};
}

// Virtual depth of a scene point at distance z (mm) in front of the main lens.
inline double virtualDepthFromDistance(const CCalibration& c, double z) {
    return (imageDistance(c, z) - c.mainLensToMla) / c.mlaToSensor;
}

// Scene distance (mm) whose image lies at virtual depth v.
inline double distanceFromVirtualDepth(const CCalibration& c, double v) {
    const double bi = c.mainLensToMla + v * c.mlaToSensor;
    return 1.0 / (1.0 / c.mainFocalLength - 1.0 / bi);
}

// Where a virtual point at lateral x and virtual depth v appears in the
// micro-image of the lens with centre lens.
inline Point projectToMicroImage(Point x, Point lens, double v) {
    return {lens.x + (x.x - lens.x) / v, lens.y + (x.y - lens.y) / v};
}

// Centre of output pixel (i, j) on the virtual-image grid of scale s, in sensor pixels.
inline Point outputPixelCentre(int i, int j, int scale) { return {scale * (i + 0.5), scale * (j + 0.5)}; }

// Size of the output grid for a sensor side of n pixels.
inline int32_t outputSize(int32_t sensorSide, int scale) { return scale > 0 ? sensorSide / scale : 0; }

// Lateral scene position (mm, relative to the optical axis) of the point at
// distance z whose image has lateral virtual position x (sensor pixels).
// The main lens inverts: the chief ray through its centre joins the two.
inline Point sceneFromVirtual(const CCalibration& c, Point x, double z) {
    const double bi = imageDistance(c, z);
    const double mx = (x.x - c.principalX) * c.pixelSize;
    const double my = (x.y - c.principalY) * c.pixelSize;
    return {-mx * z / bi, -my * z / bi};
}

}  // namespace Vy::Model

namespace Vy::Model {

// Relative brightness at distance r (pixels) from the centre of a micro-image
// when no white image is known: the cos^4 fall-off of the microlens.
inline double microImageFalloff(const CCalibration& c, double r) {
    if (c.mlaToSensor <= 0.0) {
        return 1.0;
    }
    const double t = r * c.pixelSize / c.mlaToSensor;
    const double cos2 = 1.0 / (1.0 + t * t);
    return cos2 * cos2;
}

}  // namespace Vy::Model
