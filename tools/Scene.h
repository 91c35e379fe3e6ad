// What the synthetic camera looks at: textured planes (fronto-parallel or
// slanted), small bright particles (lit beads seen as discs) and a uniform
// background. Distances z are measured in front of the main lens (mm), lateral
// positions X, Y from the optical axis (mm).
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "Texture.h"

namespace Vy::Synth {

// A ray leaving the main lens towards the scene: lateral origin in the main
// lens plane (mm) and slope (lateral mm per mm of distance).
struct Ray {
    double ox = 0.0;
    double oy = 0.0;
    double sx = 0.0;
    double sy = 0.0;
};

// The plane z = z0 + gx * X + gy * Y over the lateral rectangle [xMin, xMax] x [yMin, yMax].
struct Plane {
    double z0 = 1000.0;
    double gx = 0.0;
    double gy = 0.0;
    double xMin = -1e9;
    double xMax = 1e9;
    double yMin = -1e9;
    double yMax = 1e9;
    std::shared_ptr<const Texture> texture;
    double texelSize = 1.0;  // mm per texel; texel (0, 0) at (xMin, yMin)
    bool textured = true;    // carries a pattern a depth estimate can lock on to
};

// A lit bead facing the camera at distance z: brightest in its middle.
struct Particle {
    int id = 0;
    double x = 0.0;
    double y = 0.0;
    double z = 1000.0;
    double radius = 1.0;  // mm
    float albedo = 0.95f;
};

enum class SurfaceKind : uint8_t { Background, Plane, Particle };

struct Hit {
    double distance = std::numeric_limits<double>::infinity();
    float radiance = 0.0f;
    SurfaceKind kind = SurfaceKind::Background;
    int index = -1;
};

class Scene {
public:
    std::vector<Plane> planes;
    std::vector<Particle> particles;
    float background = 0.0f;

    // Builds the lookup that finds particles by ray slope; call after changing
    // particles. maxOrigin: largest |ray origin| that will be traced (mm).
    void prepare(double maxOrigin);
    // Nearest surface along the ray (the background when nothing is hit).
    Hit trace(const Ray& ray) const;

private:
    void hitPlanes(const Ray& ray, Hit& hit) const;
    void hitParticles(const Ray& ray, Hit& hit) const;

    // Particles by slope cell: cell c lists particleIndex_[cellStart_[c] .. cellStart_[c + 1]).
    int gridSide_ = 0;
    double slopeMinX_ = 0.0, slopeMinY_ = 0.0, cellSize_ = 1.0;
    std::vector<uint32_t> cellStart_;
    std::vector<uint32_t> particleIndex_;
};

}  // namespace Vy::Synth
