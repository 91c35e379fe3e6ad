// Raw frames of a textured fronto-parallel plane at a known virtual depth,
// for the engine's tests and benchmark: sensor pixel u of lens c shows the
// texture at x = c + v (u - c) (the inverse of the projection), times the
// lens's cos^4 fall-off.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "CCalibration.h"
#include "CVyImage.h"
#include "CameraModel.h"
#include "LensGrid.h"

namespace Vy::Engine::Synthetic {

// A camera with pitch ~24 px on a square sensor of the given side.
inline CCalibration MakeCalibration(int32_t side, double pitch = 24.0) {
    CCalibration c;
    c.sensorWidth = side;
    c.sensorHeight = side;
    c.pixelSize = 0.0055;
    c.lensPitch = pitch;
    c.gridRotation = 0.004;
    c.gridOffsetX = 7.3;
    c.gridOffsetY = 9.1;
    c.microImageRadius = pitch * 0.48;
    c.mlaToSensor = 0.35;
    c.microLensFocalLength = 0.4;
    c.mainFocalLength = 50.0;
    c.mainLensToMla = 52.0;
    c.mainApertureDiameter = 20.0;
    c.principalX = side / 2.0;
    c.principalY = side / 2.0;
    c.virtualDepthMin = 2.0;
    c.virtualDepthMax = 8.0;
    return c;
}

// Smooth texture in [0.1, 0.9] over virtual-image positions (sensor pixels).
inline double Texture(double x, double y) {
    const double a = std::sin(x * 0.21 + 0.7 * std::sin(y * 0.05)) * std::cos(y * 0.17 - 0.3);
    const double b = std::sin((x + 1.7 * y) * 0.11) * 0.6 + std::cos((x - 0.8 * y) * 0.07 + 1.0) * 0.5;
    return 0.5 + 0.4 * std::clamp((a + b) / 2.1, -1.0, 1.0);
}

// 8-bit raw frame of any scene: ray(c, d) in [0, 1] is what the pixel at offset
// d (sensor pixels) from lens centre c sees; micro-images lie around the
// calibration's micro-image centres.
template <typename RayFunction>
CVyImage RenderScene(const CCalibration& c, RayFunction ray, double brightness = 250.0) {
    std::vector<uint8_t> pixels(static_cast<size_t>(c.sensorWidth) * c.sensorHeight, 0);
    const LensGrid grid(c);
    const double radius = c.microImageRadius;
    for (const Lens& lens : grid.Lenses()) {
        // The micro-image lies around lens.image; what it shows is projected from the optical centre.
        const int32_t x0 = std::max(0, static_cast<int32_t>(std::floor(lens.image.x - radius)));
        const int32_t x1 = std::min(c.sensorWidth - 1, static_cast<int32_t>(std::ceil(lens.image.x + radius)));
        const int32_t y0 = std::max(0, static_cast<int32_t>(std::floor(lens.image.y - radius)));
        const int32_t y1 = std::min(c.sensorHeight - 1, static_cast<int32_t>(std::ceil(lens.image.y + radius)));
        for (int32_t y = y0; y <= y1; ++y) {
            for (int32_t x = x0; x <= x1; ++x) {
                const double r = std::hypot(x + 0.5 - lens.image.x, y + 0.5 - lens.image.y);
                if (r > radius) {
                    continue;
                }
                const Model::Point d{x + 0.5 - lens.centre.x, y + 0.5 - lens.centre.y};
                const double value =
                    ray(Model::Point{lens.centre.x, lens.centre.y}, d) * brightness * Model::microImageFalloff(c, r);
                pixels[static_cast<size_t>(y) * c.sensorWidth + x] =
                    static_cast<uint8_t>(std::lround(std::clamp(value, 0.0, 255.0)));
            }
        }
    }
    CVyImage image;
    image.Create(c.sensorWidth, c.sensorHeight, PixelTypeLuminance, DataTypeUnsignedByte, pixels.data());
    return image;
}

// The plane at virtual depth v; texture(x, y) in [0, 1].
template <typename TextureFunction>
CVyImage RenderPlane(const CCalibration& c, double v, TextureFunction texture, double brightness = 250.0) {
    return RenderScene(
        c, [&](Model::Point lens, Model::Point d) { return texture(lens.x + v * d.x, lens.y + v * d.y); }, brightness);
}

}  // namespace Vy::Engine::Synthetic
