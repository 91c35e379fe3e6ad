#include "Scene.h"

#include <algorithm>
#include <cmath>

namespace Vy::Synth {

namespace {
constexpr int kGridSide = 64;

// Radiance of a bead at relative radius squared q (0 centre, 1 rim).
float beadRadiance(float albedo, double q) { return albedo * static_cast<float>(0.55 + 0.45 * std::sqrt(1.0 - q)); }
}  // namespace

void Scene::prepare(double maxOrigin) {
    gridSide_ = 0;
    cellStart_.clear();
    particleIndex_.clear();
    if (particles.empty()) return;
    // A ray (o, s) meets particle p only if s lies within (p - o) / z +- r / z,
    // hence within p / z +- (r + maxOrigin) / z.
    struct Box {
        double x0, y0, x1, y1;
    };
    std::vector<Box> boxes;
    boxes.reserve(particles.size());
    double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
    for (const Particle& p : particles) {
        const double reach = (p.radius + maxOrigin) / p.z;
        Box b{p.x / p.z - reach, p.y / p.z - reach, p.x / p.z + reach, p.y / p.z + reach};
        minX = std::min(minX, b.x0);
        minY = std::min(minY, b.y0);
        maxX = std::max(maxX, b.x1);
        maxY = std::max(maxY, b.y1);
        boxes.push_back(b);
    }
    gridSide_ = kGridSide;
    slopeMinX_ = minX;
    slopeMinY_ = minY;
    cellSize_ = std::max(maxX - minX, maxY - minY) / kGridSide + 1e-12;
    auto cellRange = [&](const Box& b, int& cx0, int& cy0, int& cx1, int& cy1) {
        cx0 = std::clamp(static_cast<int>((b.x0 - slopeMinX_) / cellSize_), 0, kGridSide - 1);
        cy0 = std::clamp(static_cast<int>((b.y0 - slopeMinY_) / cellSize_), 0, kGridSide - 1);
        cx1 = std::clamp(static_cast<int>((b.x1 - slopeMinX_) / cellSize_), 0, kGridSide - 1);
        cy1 = std::clamp(static_cast<int>((b.y1 - slopeMinY_) / cellSize_), 0, kGridSide - 1);
    };
    std::vector<uint32_t> counts(kGridSide * kGridSide + 1, 0);
    for (const Box& b : boxes) {
        int cx0, cy0, cx1, cy1;
        cellRange(b, cx0, cy0, cx1, cy1);
        for (int cy = cy0; cy <= cy1; ++cy)
            for (int cx = cx0; cx <= cx1; ++cx) ++counts[cy * kGridSide + cx + 1];
    }
    for (size_t i = 1; i < counts.size(); ++i) counts[i] += counts[i - 1];
    cellStart_ = counts;
    particleIndex_.resize(counts.back());
    for (uint32_t i = 0; i < boxes.size(); ++i) {
        int cx0, cy0, cx1, cy1;
        cellRange(boxes[i], cx0, cy0, cx1, cy1);
        for (int cy = cy0; cy <= cy1; ++cy)
            for (int cx = cx0; cx <= cx1; ++cx) particleIndex_[counts[cy * kGridSide + cx]++] = i;
    }
}

Hit Scene::trace(const Ray& ray) const {
    Hit hit;
    hit.radiance = background;
    hitPlanes(ray, hit);
    hitParticles(ray, hit);
    return hit;
}

void Scene::hitPlanes(const Ray& ray, Hit& hit) const {
    double hitX = 0.0, hitY = 0.0;
    for (size_t i = 0; i < planes.size(); ++i) {
        const Plane& p = planes[i];
        double z = p.z0;
        if (p.gx != 0.0 || p.gy != 0.0) {
            // z = z0 + gx (ox + sx z) + gy (oy + sy z)
            const double denominator = 1.0 - p.gx * ray.sx - p.gy * ray.sy;
            if (denominator <= 1e-9) continue;
            z = (p.z0 + p.gx * ray.ox + p.gy * ray.oy) / denominator;
        }
        if (z <= 0.0 || z >= hit.distance) continue;
        const double x = ray.ox + ray.sx * z;
        const double y = ray.oy + ray.sy * z;
        if (x < p.xMin || x > p.xMax || y < p.yMin || y > p.yMax) continue;
        hit.distance = z;
        hit.kind = SurfaceKind::Plane;
        hit.index = static_cast<int>(i);
        hitX = x;
        hitY = y;
    }
    if (hit.kind != SurfaceKind::Plane) return;
    // Only the nearest plane's pattern is looked up.
    const Plane& p = planes[hit.index];
    const double perTexel = 1.0 / p.texelSize;
    hit.radiance = p.texture ? p.texture->sample((hitX - p.xMin) * perTexel, (hitY - p.yMin) * perTexel) : 0.0f;
}

void Scene::hitParticles(const Ray& ray, Hit& hit) const {
    if (gridSide_ == 0) return;
    const int cx = static_cast<int>(std::floor((ray.sx - slopeMinX_) / cellSize_));
    const int cy = static_cast<int>(std::floor((ray.sy - slopeMinY_) / cellSize_));
    if (cx < 0 || cy < 0 || cx >= gridSide_ || cy >= gridSide_) return;
    const int cell = cy * gridSide_ + cx;
    for (uint32_t k = cellStart_[cell]; k < cellStart_[cell + 1]; ++k) {
        const Particle& p = particles[particleIndex_[k]];
        if (p.z >= hit.distance) continue;
        const double dx = ray.ox + ray.sx * p.z - p.x;
        const double dy = ray.oy + ray.sy * p.z - p.y;
        const double q = (dx * dx + dy * dy) / (p.radius * p.radius);
        if (q >= 1.0) continue;
        hit.distance = p.z;
        hit.kind = SurfaceKind::Particle;
        hit.index = static_cast<int>(particleIndex_[k]);
        hit.radiance = beadRadiance(p.albedo, q);
    }
}

}  // namespace Vy::Synth
