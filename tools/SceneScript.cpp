#include "SceneScript.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "CVyException.h"
#include "CameraDesign.h"
#include "CameraModel.h"
#include "KeyValueText.h"
#include "RandomHash.h"

namespace Vy::Synth {

namespace {
struct PresetEntry {
    const char* name;
    PresetDefaults defaults;
};
constexpr PresetEntry kPresets[] = {
    {"demo", {1024, 60, 4}},
    {"planes", {1024, 8, 8}},
    {"slanted", {1024, 8, 8}},
    {"particles", {1024, 20, 8}},
    {"small", {256, 3, 8}},
    {"swarm", {1024, 20, 8}},
    {"realistic", {1024, 60, 4}},
    {"tour", {1024, 60, 4}},
    // The published multi-focus camera's sensor.
    {"multifocus", {2048, 8, 4, 4080, 3068}},
    {"deep", {2048, 8, 4, 4080, 3068}},
    {"target", {1024, 8, 8}},
    {"target-multifocus", {1024, 8, 8}},
};
// The share of the camera's usable virtual depths a target's plates keep off each end.
constexpr double kPlateNear = 0.85, kPlateFar = 1.15;
// The board spans at most this share of the view at the nearest plate.
constexpr double kBoardFill = 0.75;

double uniformIn(uint64_t& state, double lo, double hi) {
    state = hash64(state);
    return lo + (hi - lo) * unitFromHash(state >> 7);
}
}  // namespace

const std::vector<std::string>& presetNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (const PresetEntry& e : kPresets) n.emplace_back(e.name);
        return n;
    }();
    return names;
}

PresetDefaults presetDefaults(const std::string& name) {
    for (const PresetEntry& e : kPresets)
        if (name == e.name) return e.defaults;
    throw CVyException("create", "--preset " + name,
                       "unknown preset (demo, planes, slanted, particles, small, swarm, realistic, tour, multifocus, "
                       "deep, target, target-multifocus)");
}

bool isTargetPreset(const std::string& name) { return name == "target" || name == "target-multifocus"; }

SceneScript::SceneScript(const std::string& preset, const CCalibration& calibration, uint64_t seed, uint32_t frameCount,
                         const std::vector<double>& plateDistances)
    : calibration_(calibration), frameCount_(std::max<uint32_t>(frameCount, 1)) {
    presetDefaults(preset);  // rejects unknown names
    const uint64_t s = hash64(seed);
    if (isTargetPreset(preset)) {
        addPlates(plateDistances, s + 7);
    } else if (preset == "demo" || preset == "realistic") {
        planes_.push_back(frontoPlane(-0.2, -0.2, 1.2, 1.2, 2.8, s + 1, 0.5f, 0.18f));
        planes_.push_back(slantedPlane(0.06, 0.08, 0.46, 0.92, 2.9, 4.4, s + 2));
        planes_.push_back(frontoPlane(0.56, 0.08, 0.92, 0.44, 3.6, s + 3, 0.45f, 0.2f));
        planes_.push_back(frontoPlane(0.56, 0.56, 0.92, 0.92, 3.0, s + 4, 0.55f, 0.18f));
        swings_.push_back({3, 3.0, 4.2});
        addDrifters(40, 3.2, 4.6, 20.0, 200.0, 2.5, false, s + 5);
    } else if (preset == "tour") {
        // Every display has something to show: left of the background a far wall near the far end
        // of the measurable depth range shows, in front of it the slanted plane runs to near the
        // near end (both ends of the depth colours), and the top-right plane is
        // dark and smooth and reaches the edge of the view, so the particles drifting in front of it
        // stand apart for the measurement instead of lying inside the outline of the textured rest.
        planes_.push_back(frontoPlane(0.46, -0.2, 1.2, 1.2, 2.8, s + 1, 0.5f, 0.18f));
        planes_.push_back(slantedPlane(0.06, 0.08, 0.46, 0.92, 2.3, 5.8, s + 2));
        planes_.push_back(frontoPlane(0.56, -0.2, 1.2, 0.44, 3.6, s + 3, 0.06f, 0.0f));
        planes_.push_back(frontoPlane(0.56, 0.56, 0.92, 0.92, 3.0, s + 4, 0.55f, 0.18f));
        planes_.push_back(frontoPlane(-0.2, -0.2, 1.2, 1.2, 2.25, s + 6, 0.5f, 0.18f));
        swings_.push_back({3, 3.0, 4.2});
        addDrifters(40, 3.2, 4.6, 20.0, 200.0, 2.5, false, s + 5);
    } else if (preset == "planes") {
        planes_.push_back(frontoPlane(-0.2, -0.2, 1.2, 1.2, 2.8, s + 1, 0.5f, 0.18f));
        planes_.push_back(frontoPlane(0.08, 0.1, 0.55, 0.9, 3.4, s + 2, 0.5f, 0.2f));
        planes_.push_back(frontoPlane(0.6, 0.25, 0.92, 0.75, 4.4, s + 3, 0.5f, 0.2f));
    } else if (preset == "slanted") {
        planes_.push_back(slantedPlane(-0.1, -0.1, 1.1, 1.1, 2.8, 4.5, s + 2));
    } else if (preset == "particles" || preset == "swarm") {
        // A dark, smooth wall far behind, nothing for a depth estimate to lock on to.
        Plane wall = frontoPlane(-0.2, -0.2, 1.2, 1.2, 2.2, s + 1, 0.05f, 0.0f);
        wall.textured = false;
        planes_.push_back(wall);
        const double outputArea =
            (calibration.sensorWidth / double(kTruthScale)) * (calibration.sensorHeight / double(kTruthScale));
        const int count = std::max(4, static_cast<int>(outputArea / 3600.0));
        if (preset == "particles") {
            addDrifters(count, 3.0, 4.0, 10.0, 300.0, 1.5, true, s + 5);
        } else {  // each particle on its own path
            addMovers(count, 3.0, 4.0, 10.0, 300.0, s + 5);
        }
    } else if (preset == "multifocus") {
        // The camera's extended depth of field, 2.0 .. 3.5, where one or another of its three lens
        // types is sharp: a far wall at 2.0, a slanted plane from 2.05 to 3.5, planes at 2.4 and
        // 3.45 (the ends) and one moving between 2.6 and 3.2, particles over 2.4 .. 3.4.
        planes_.push_back(frontoPlane(-0.2, -0.2, 1.2, 1.2, 2.0, s + 1, 0.5f, 0.18f));
        planes_.push_back(slantedPlane(0.06, 0.08, 0.46, 0.92, 2.05, 3.5, s + 2));
        planes_.push_back(frontoPlane(0.56, 0.08, 0.92, 0.44, 3.45, s + 3, 0.45f, 0.2f));
        planes_.push_back(frontoPlane(0.56, 0.56, 0.92, 0.92, 2.6, s + 4, 0.55f, 0.18f));
        planes_.push_back(frontoPlane(0.62, 0.48, 0.86, 0.54, 2.4, s + 6, 0.5f, 0.2f));
        swings_.push_back({3, 2.6, 3.2});
        addDrifters(40, 2.4, 3.4, 20.0, 200.0, 2.5, false, s + 5);
    } else if (preset == "deep") {
        // Columns from far (v 1.8, the wall on the left) to near (24, on the right), each plane
        // reaching from its left edge past the right of the view. Nearer columns are wider: a lens
        // sees a point from up to v times its micro-image radius away, so near a far column's
        // edge many lenses see the nearer one too. Patterns grow coarser with v (a sensor pixel
        // covers v / 2 output pixels there).
        planes_.push_back(frontoPlane(-0.2, -0.2, 1.2, 1.2, 1.8, s + 1, 0.5f, 0.18f));
        const struct {
            double x0, v;
        } columns[] = {{0.08, 2.4}, {0.17, 3.4}, {0.27, 5.0}, {0.38, 8.0}, {0.52, 13.0}, {0.70, 24.0}};
        for (int k = 0; k < 6; ++k)
            planes_.push_back(frontoPlane(columns[k].x0, -0.2, 1.2, 1.2, columns[k].v, s + 10 + k, 0.5f, 0.2f,
                                          std::max(1.0, columns[k].v / 2.0)));
    } else {  // small
        planes_.push_back(frontoPlane(-0.2, -0.2, 1.2, 1.2, 2.9, s + 1, 0.5f, 0.2f));
        planes_.push_back(frontoPlane(0.15, 0.2, 0.6, 0.8, 3.8, s + 2, 0.5f, 0.2f));
        swings_.push_back({1, 3.6, 4.2});
        addDrifters(4, 3.0, 4.5, 20.0, 80.0, 2.0, false, s + 5);
    }
}

void SceneScript::addPlates(const std::vector<double>& distances, uint64_t seed) {
    const CCalibration& c = calibration_;
    plateSeed_ = seed;
    plateDistances_ = distances;
    if (plateDistances_.empty()) {
        // Evenly in 1 / v, the way depth resolution goes, from near to far.
        const double wNear = 1.0 / (kPlateNear * c.virtualDepthMax), wFar = 1.0 / (kPlateFar * c.virtualDepthMin);
        for (uint32_t f = 0; f < frameCount_; ++f) {
            const double t = frameCount_ > 1 ? static_cast<double>(f) / (frameCount_ - 1) : 0.5;
            plateDistances_.push_back(distanceAt(1.0 / (wNear + t * (wFar - wNear))));
        }
    }
    for (double z : plateDistances_)
        if (!(z > c.mainFocalLength))
            throw CVyException("create", "--distances " + Vy::FormatNumber(z),
                               "a plate must lie beyond the main lens's focal length (" +
                                   Vy::FormatNumber(c.mainFocalLength) + " mm)");
    // A board of round square size (0.1 mm) that fills at most kBoardFill of the view at the nearest plate.
    const double nearest = *std::min_element(plateDistances_.begin(), plateDistances_.end());
    const double mmPerPixel = c.pixelSize * nearest / Model::imageDistance(c, nearest);
    const double square = kBoardFill * mmPerPixel *
                          std::min(c.sensorWidth / double(board_.columns), c.sensorHeight / double(board_.rows));
    board_.squareMm = std::max(0.1, std::floor(square * 10.0) / 10.0);
}

Plane SceneScript::plateAt(double z) const {
    // Beyond the view on every side, one texel per output pixel at the plate's distance.
    int w = 0, h = 0;
    Plane p = frontoRectangle(-0.2, -0.2, 1.2, 1.2, z, 1.0, w, h);
    // The board's centre on the optical axis (X = Y = 0).
    const double originU = (-0.5 * board_.columns * board_.squareMm - p.xMin) / p.texelSize;
    const double originV = (-0.5 * board_.rows * board_.squareMm - p.yMin) / p.texelSize;
    p.texture = std::make_shared<Texture>(Texture::checkerboard(
        w, h, plateSeed_, originU, originV, board_.squareMm / p.texelSize, board_.columns, board_.rows));
    return p;
}

double SceneScript::distanceAt(double virtualDepth) const {
    return Model::distanceFromVirtualDepth(calibration_, virtualDepth);
}

Plane SceneScript::frontoRectangle(double x0, double y0, double x1, double y1, double z, double texelScale, int& w,
                                   int& h) const {
    const CCalibration& c = calibration_;
    const Model::Point a = Model::sceneFromVirtual(c, {x0 * c.sensorWidth, y0 * c.sensorHeight}, z);
    const Model::Point b = Model::sceneFromVirtual(c, {x1 * c.sensorWidth, y1 * c.sensorHeight}, z);
    Plane p;
    p.z0 = z;
    p.xMin = std::min(a.x, b.x);
    p.xMax = std::max(a.x, b.x);
    p.yMin = std::min(a.y, b.y);
    p.yMax = std::max(a.y, b.y);
    // texelScale output pixels per texel at this depth (z / bi = z / f - 1).
    p.texelSize = texelScale * kTruthScale * c.pixelSize * (z / c.mainFocalLength - 1.0);
    w = static_cast<int>(std::ceil((p.xMax - p.xMin) / p.texelSize)) + 2;
    h = static_cast<int>(std::ceil((p.yMax - p.yMin) / p.texelSize)) + 2;
    return p;
}

Plane SceneScript::frontoPlane(double x0, double y0, double x1, double y1, double virtualDepth, uint64_t seed,
                               float mean, float contrast, double texelScale) const {
    int w = 0, h = 0;
    Plane p = frontoRectangle(x0, y0, x1, y1, distanceAt(virtualDepth), texelScale, w, h);
    p.texture = std::make_shared<Texture>(contrast > 0.0f ? Texture::randomPattern(w, h, seed, mean, contrast)
                                                          : Texture::uniform(mean));
    p.textured = contrast > 0.0f;
    return p;
}

Plane SceneScript::slantedPlane(double x0, double y0, double x1, double y1, double depthLeft, double depthRight,
                                uint64_t seed) const {
    const CCalibration& c = calibration_;
    const double midY = 0.5 * (y0 + y1) * c.sensorHeight;
    const double zLeft = distanceAt(depthLeft);
    const double zRight = distanceAt(depthRight);
    const double xLeft = Model::sceneFromVirtual(c, {x0 * c.sensorWidth, midY}, zLeft).x;
    const double xRight = Model::sceneFromVirtual(c, {x1 * c.sensorWidth, midY}, zRight).x;
    const double zMid = 0.5 * (zLeft + zRight);
    const Model::Point top = Model::sceneFromVirtual(c, {0.5 * c.sensorWidth, y0 * c.sensorHeight}, zMid);
    const Model::Point bottom = Model::sceneFromVirtual(c, {0.5 * c.sensorWidth, y1 * c.sensorHeight}, zMid);
    Plane p;
    p.gx = (zRight - zLeft) / (xRight - xLeft);
    p.z0 = zLeft - p.gx * xLeft;
    p.xMin = std::min(xLeft, xRight);
    p.xMax = std::max(xLeft, xRight);
    p.yMin = std::min(top.y, bottom.y);
    p.yMax = std::max(top.y, bottom.y);
    p.texelSize = kTruthScale * c.pixelSize * (zMid / c.mainFocalLength - 1.0);
    const int w = static_cast<int>(std::ceil((p.xMax - p.xMin) / p.texelSize)) + 2;
    const int h = static_cast<int>(std::ceil((p.yMax - p.yMin) / p.texelSize)) + 2;
    p.texture = std::make_shared<Texture>(Texture::randomPattern(w, h, seed, 0.5f, 0.2f));
    return p;
}

void SceneScript::addDrifters(int count, double depthMin, double depthMax, double areaMin, double areaMax, double speed,
                              bool commonDrift, uint64_t seed) {
    const double w = calibration_.sensorWidth;
    const double h = calibration_.sensorHeight;
    uint64_t state = seed;
    const double driftAngle = uniformIn(state, 0.0, 2.0 * std::numbers::pi);
    // Particles keep apart (in virtual-image pixels, plus a gap) so they never
    // merge; with a common drift they stay apart on every frame.
    const double gap = 8.0 * kTruthScale;
    for (int attempt = 0; static_cast<int>(particles_.size()) < count && attempt < count * 200; ++attempt) {
        Drifter d{};
        d.x = uniformIn(state, 0.0, w);
        d.y = uniformIn(state, 0.0, h);
        const double area = std::exp(uniformIn(state, std::log(areaMin), std::log(areaMax)));
        d.radiusOut = std::sqrt(area / std::numbers::pi);
        d.virtualDepth = uniformIn(state, depthMin, depthMax);
        d.albedo = static_cast<float>(uniformIn(state, 0.85, 1.0));
        const double angle = commonDrift ? driftAngle : uniformIn(state, 0.0, 2.0 * std::numbers::pi);
        d.vx = speed * std::cos(angle);
        d.vy = speed * std::sin(angle);
        bool clear = true;
        for (const Drifter& o : particles_) {
            const double reach = (d.radiusOut + o.radiusOut) * kTruthScale + gap;
            // Distance across the wrap-around too: drifters leave on one side and come back on the other.
            const double dx = std::min(std::abs(d.x - o.x), w - std::abs(d.x - o.x));
            const double dy = std::min(std::abs(d.y - o.y), h - std::abs(d.y - o.y));
            if (std::hypot(dx, dy) < reach) clear = false;
        }
        if (clear) particles_.push_back(d);
    }
}

Particle SceneScript::particleAt(const Drifter& d, int id, uint32_t frame) const {
    const CCalibration& c = calibration_;
    const double w = c.sensorWidth;
    const double h = c.sensorHeight;
    const double x = std::fmod(std::fmod(d.x + d.vx * frame, w) + w, w);
    const double y = std::fmod(std::fmod(d.y + d.vy * frame, h) + h, h);
    Particle p;
    p.id = id;
    p.z = distanceAt(d.virtualDepth);
    const Model::Point at = Model::sceneFromVirtual(c, {x, y}, p.z);
    p.x = at.x;
    p.y = at.y;
    p.radius = d.radiusOut * kTruthScale * c.pixelSize * (p.z / c.mainFocalLength - 1.0);
    p.albedo = d.albedo;
    return p;
}

void SceneScript::addMovers(int count, double depthMin, double depthMax, double areaMin, double areaMax,
                            uint64_t seed) {
    const CCalibration& c = calibration_;
    const double last = frameCount_ - 1.0;
    uint64_t state = seed;
    // Candidates are drawn in the camera's terms (virtual-image pixels and depth);
    // a candidate is kept when it stays clear of every kept one on every frame,
    // so paths cross but particles never merge.
    const double gap = 8.0 * kTruthScale;
    std::vector<std::vector<Particle>> placed;  // per kept mover, its particle on every frame
    for (int attempt = 0; static_cast<int>(movers_.size()) < count && attempt < count * 200; ++attempt) {
        const double x = uniformIn(state, 0.0, c.sensorWidth);
        const double y = uniformIn(state, 0.0, c.sensorHeight);
        const double area = std::exp(uniformIn(state, std::log(areaMin), std::log(areaMax)));
        const double radiusOut = std::sqrt(area / std::numbers::pi);
        const double v0 = uniformIn(state, depthMin, depthMax);
        // 1..3 output pixels a frame sideways, 0.01..0.04 of virtual depth a frame in depth.
        const double speed = uniformIn(state, 1.0, 3.0) * kTruthScale;
        const double angle = uniformIn(state, 0.0, 2.0 * std::numbers::pi);
        double dv = uniformIn(state, 0.01, 0.04) * (uniformIn(state, 0.0, 1.0) < 0.5 ? -1.0 : 1.0);
        if (v0 + dv * last < depthMin - 0.1 || v0 + dv * last > depthMax + 0.3) dv = -dv;
        const double v1 = v0 + dv * last;
        Mover m{};
        m.z0 = distanceAt(v0);
        m.z1 = distanceAt(v1);
        const Model::Point a = Model::sceneFromVirtual(c, {x, y}, m.z0);
        const Model::Point b =
            Model::sceneFromVirtual(c, {x + speed * std::cos(angle) * last, y + speed * std::sin(angle) * last}, m.z1);
        m.x0 = a.x, m.y0 = a.y, m.x1 = b.x, m.y1 = b.y;
        m.radius = radiusOut * kTruthScale * c.pixelSize * (m.z0 / c.mainFocalLength - 1.0);
        m.albedo = static_cast<float>(uniformIn(state, 0.85, 1.0));

        std::vector<Particle> path;
        for (uint32_t f = 0; f < frameCount_; ++f) path.push_back(moverAt(m, 0, f));
        auto image = [&c](const Particle& p, double& px, double& py) {
            const double k = Model::imageDistance(c, p.z) / p.z / c.pixelSize;  // sensor pixels per mm
            px = c.principalX - p.x * k;
            py = c.principalY - p.y * k;
            return p.radius * k;
        };
        // Nearing the camera a particle grows; it stays within the measurement's default
        // bounds (largest axis below 20 output px, its blurred rim included) on every frame.
        bool clear = true;
        for (const Particle& p : path) {
            double px, py;
            if (image(p, px, py) > 9.0 * kTruthScale) clear = false;
        }
        for (size_t o = 0; o < placed.size() && clear; ++o)
            for (uint32_t f = 0; f < frameCount_ && clear; ++f) {
                double ax, ay, bx, by;
                const double ra = image(path[f], ax, ay);
                const double rb = image(placed[o][f], bx, by);
                if (std::hypot(ax - bx, ay - by) < ra + rb + gap) clear = false;
            }
        if (clear) {
            movers_.push_back(m);
            placed.push_back(std::move(path));
        }
    }
}

Particle SceneScript::moverAt(const Mover& m, int id, uint32_t frame) const {
    const double t = frameCount_ > 1 ? static_cast<double>(frame) / (frameCount_ - 1) : 0.0;
    Particle p;
    p.id = id;
    p.x = m.x0 + (m.x1 - m.x0) * t;
    p.y = m.y0 + (m.y1 - m.y0) * t;
    p.z = m.z0 + (m.z1 - m.z0) * t;
    p.radius = m.radius;
    p.albedo = m.albedo;
    return p;
}

Scene SceneScript::sceneAt(uint32_t frame) const {
    Scene scene;
    scene.planes = planes_;
    if (!plateDistances_.empty()) scene.planes.push_back(plateAt(plateDistances_[frame % plateDistances_.size()]));
    scene.background = background_;
    const double phase = frameCount_ > 1 ? static_cast<double>(frame) / (frameCount_ - 1) : 0.0;
    for (const DepthSwing& s : swings_) {
        // There and back once over the sequence.
        const double t = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * phase);
        scene.planes[s.plane].z0 = distanceAt(s.fromDepth + (s.toDepth - s.fromDepth) * t);
    }
    for (size_t i = 0; i < particles_.size(); ++i)
        scene.particles.push_back(particleAt(particles_[i], static_cast<int>(i), frame));
    for (size_t i = 0; i < movers_.size(); ++i)
        scene.particles.push_back(moverAt(movers_[i], static_cast<int>(i), frame));
    const CCalibration& c = calibration_;
    const double sensorHalfDiagonal = 0.5 * std::hypot(c.sensorWidth, c.sensorHeight) * c.pixelSize;
    scene.prepare(std::max(0.5 * c.mainApertureDiameter, sensorHalfDiagonal));
    return scene;
}

}  // namespace Vy::Synth
