#include "GroundTruth.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "CVyException.h"
#include "CameraModel.h"
#include "VyTypes.h"

namespace Vy::Synth {

namespace {
constexpr double kVirtualDepthUnit = 1000.0;  // vdepth.png holds v * 1000
constexpr double kDistanceUnit = 10.0;        // depth.png holds mm * 10
constexpr double kTextureMinSpread = 0.02;    // albedo spread (7x7) a depth estimate needs
constexpr int kTextureWindow = 7;
constexpr double kDepthStep = 1.03;  // a nearer surface this much closer (in v) casts an edge

// The scene ray of every point whose image has lateral virtual position (x, y)
// px: it leaves the main lens at that height, through the front focal point.
Ray virtualLine(const CCalibration& c, double x, double y) {
    const double mx = (x - c.principalX) * c.pixelSize;
    const double my = (y - c.principalY) * c.pixelSize;
    return {mx, my, -mx / c.mainFocalLength, -my / c.mainFocalLength};
}

uint16_t toUnits(double value, double unit) {
    return static_cast<uint16_t>(std::clamp(std::lround(value * unit), 0L, 65535L));
}

void writeImage(const std::string& path, const cv::Mat& image) {
    bool ok = false;
    try {
        ok = cv::imwrite(path, image);
    } catch (const cv::Exception&) {
        ok = false;
    }
    if (!ok) throw CVyException("writeTruth", path, "cannot write the file");
}

cv::Mat readImage(const std::string& path, int type, cv::Size size) {
    cv::Mat image = cv::imread(path, cv::IMREAD_UNCHANGED);
    if (image.empty()) throw CVyException("readTruth", path, "missing or unreadable");
    if (image.type() != type || (!size.empty() && image.size() != size))
        throw CVyException("readTruth", path, "unexpected image type or size");
    return image;
}
}  // namespace

std::string truthFile(const std::string& dir, uint32_t frame, const char* suffix) {
    char name[64];
    std::snprintf(name, sizeof name, "frame_%05u_%s", frame, suffix);
    return (std::filesystem::path(dir) / name).string();
}

FrameTruth computeTruth(const SyntheticCamera& camera, const Scene& scene, int scale, double focusGain) {
    const CCalibration& c = camera.calibration();
    const int w = Model::outputSize(c.sensorWidth, scale);
    const int h = Model::outputSize(c.sensorHeight, scale);
    FrameTruth t;
    t.focus.create(h, w);
    t.virtualDepth.create(h, w);
    t.distance.create(h, w);
    t.textured.create(h, w);
    cv::Mat1f albedo(h, w);
    cv::Mat1b patterned(h, w);
    // The focus image averages 2x2 points of the output pixel's footprint; depth comes from its centre.
    const double offset = 0.25 * scale;
    camera.forEachRow(h, [&](int j) {
        for (int i = 0; i < w; ++i) {
            const Model::Point x = Model::outputPixelCentre(i, j, scale);
            // The main lens's distortion bends these lines as it bends the camera's rays.
            const Hit centre = scene.trace(camera.distorted(virtualLine(c, x.x, x.y)));
            double sum = 0.0;
            for (int k = 0; k < 4; ++k)
                sum += scene
                           .trace(camera.distorted(
                               virtualLine(c, x.x + ((k & 1) ? offset : -offset), x.y + ((k & 2) ? offset : -offset))))
                           .radiance;
            albedo(j, i) = static_cast<float>(sum / 4.0);
            t.focus(j, i) =
                static_cast<uint16_t>(std::clamp(std::lround(focusGain * sum / 4.0), 0L, long{Vy::kFullScale14}));
            const bool hit = centre.kind != SurfaceKind::Background;
            t.distance(j, i) = hit ? static_cast<float>(centre.distance) : 0.0f;
            t.virtualDepth(j, i) = hit ? static_cast<float>(Model::virtualDepthFromDistance(c, centre.distance)) : 0.0f;
            patterned(j, i) = hit && (centre.kind == SurfaceKind::Particle || scene.planes[centre.index].textured);
        }
    });
    // Textured: a pattern of enough contrast around, a surface inside the usable
    // depth range, far enough from the rim for whole lens neighbourhoods, and
    // not just behind the edge of a nearer surface (lenses there see both).
    // A lens sees a point at depth v from up to v times the micro-image radius away; its ray
    // to it passes depth v_n at (v_n / v - 1) of that distance beyond it, so a surface at v_n
    // shadows points within (v_n - v) micro-image radii of its edge from some of the lenses:
    // half a pitch at least, and wider radii (doubling) where the depths differ by that much.
    const int shadow = static_cast<int>(std::ceil(0.5 * c.lensPitch / scale));
    double vLo = 0.0, vHi = 0.0;
    cv::minMaxLoc(t.virtualDepth, &vLo, &vHi);
    std::vector<std::pair<int, cv::Mat1f>> nearestAround;  // (radius, nearest depth within it)
    for (int radius = shadow; radius == shadow || radius * scale <= (vHi - vLo) * c.microImageRadius; radius *= 2) {
        cv::Mat1f nearest;
        cv::dilate(t.virtualDepth, nearest,
                   cv::getStructuringElement(cv::MORPH_ELLIPSE, {2 * radius + 1, 2 * radius + 1}));
        nearestAround.emplace_back(radius, nearest);
    }
    cv::Mat1f mean, meanOfSquares;
    cv::boxFilter(albedo, mean, CV_32F, cv::Size(kTextureWindow, kTextureWindow));
    cv::boxFilter(albedo.mul(albedo), meanOfSquares, CV_32F, cv::Size(kTextureWindow, kTextureWindow));
    const int rim = static_cast<int>(std::ceil(c.lensPitch / scale));
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) {
            const double spread = std::sqrt(std::max(0.0f, meanOfSquares(j, i) - mean(j, i) * mean(j, i)));
            const double v = t.virtualDepth(j, i);
            const bool inside = i >= rim && j >= rim && i < w - rim && j < h - rim;
            bool shadowed = false;
            for (const auto& [radius, nearest] : nearestAround)
                shadowed =
                    shadowed || (nearest(j, i) > kDepthStep * v &&
                                 (radius == shadow || (nearest(j, i) - v) * c.microImageRadius >= radius * scale));
            t.textured(j, i) = (patterned(j, i) && inside && !shadowed && spread >= kTextureMinSpread &&
                                v >= c.virtualDepthMin && v <= c.virtualDepthMax)
                                   ? 255
                                   : 0;
        }
    for (const Particle& p : scene.particles) {
        const double bi = Model::imageDistance(c, p.z);
        ParticleTruth pt;
        pt.id = p.id;
        pt.x = (c.principalX - p.x * bi / p.z / c.pixelSize) / scale;
        pt.y = (c.principalY - p.y * bi / p.z / c.pixelSize) / scale;
        pt.radius = p.radius * bi / p.z / c.pixelSize / scale;
        pt.virtualDepth = Model::virtualDepthFromDistance(c, p.z);
        pt.distance = p.z;
        if (pt.x >= 0 && pt.y >= 0 && pt.x < w && pt.y < h) t.particles.push_back(pt);
    }
    return t;
}

void writeTruth(const std::string& dir, uint32_t frame, const FrameTruth& t, bool withParticles) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) throw CVyException("writeTruth", dir, error.message());
    cv::Mat1w vdepth(t.virtualDepth.size()), depth(t.distance.size());
    for (int j = 0; j < vdepth.rows; ++j)
        for (int i = 0; i < vdepth.cols; ++i) {
            vdepth(j, i) = toUnits(t.virtualDepth(j, i), kVirtualDepthUnit);
            depth(j, i) = toUnits(t.distance(j, i), kDistanceUnit);
        }
    writeImage(truthFile(dir, frame, "focus.png"), t.focus);
    writeImage(truthFile(dir, frame, "vdepth.png"), vdepth);
    writeImage(truthFile(dir, frame, "depth.png"), depth);
    writeImage(truthFile(dir, frame, "textured.png"), t.textured);
    if (!withParticles) return;
    const std::string path = truthFile(dir, frame, "particles.csv");
    std::ofstream out(path);
    out << "id,x,y,radius,virtual_depth,distance_mm\n";
    char line[160];
    for (const ParticleTruth& p : t.particles) {
        std::snprintf(line, sizeof line, "%d,%.3f,%.3f,%.3f,%.4f,%.2f\n", p.id, p.x, p.y, p.radius, p.virtualDepth,
                      p.distance);
        out << line;
    }
    if (!out) throw CVyException("writeTruth", path, "cannot write the file");
}

void writeTruthIndex(const std::string& dir, int scale, double focusGain, int width, int height, uint32_t frames,
                     const std::string& preset, const CameraFaults& faults, int bits) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    const std::string path = (std::filesystem::path(dir) / "truth.txt").string();
    std::ofstream out(path);
    out << "# Ground truth of the synthetic sequence (docs/synthetic-camera.md)\n"
        << "preset = " << preset << "\n"
        << "frames = " << frames << "\n"
        << "output_scale = " << scale << "\n"
        << "output_width = " << width << "\n"
        << "output_height = " << height << "\n"
        << "focus_gain = " << focusGain << "  # 14-bit level of albedo 1 in frame_*_focus.png\n"
        << "vdepth_unit = " << 1.0 / kVirtualDepthUnit << "  # frame_*_vdepth.png: virtual depth, 0 = no surface\n"
        << "depth_unit_mm = " << 1.0 / kDistanceUnit << "  # frame_*_depth.png: distance, 0 = no surface\n"
        << "# frame_*_textured.png: 255 where a depth estimate has a pattern to work with\n"
        << "# frame_*_particles.csv: id,x,y,radius,virtual_depth,distance_mm (output pixels)\n";
    if (faults.sensorFaults() || faults.lensFaults() || faults.distortion != 0.0 || faults.opticsOff()) {
        out << "black_level = " << faults.blackLevel * ((1 << bits) - 1) / 255.0
            << "  # mean dark reading in stored levels; the calibration leaves it out\n";
        for (const FaultOption& o : faultOptions()) out << "camera." << o.name << " = " << faults.*o.member << "\n";
    }
    if (!out) throw CVyException("writeTruth", path, "cannot write the file");
}

FrameTruth readTruth(const std::string& dir, uint32_t frame) {
    FrameTruth t;
    t.focus = readImage(truthFile(dir, frame, "focus.png"), CV_16UC1, {});
    const cv::Size size = t.focus.size();
    cv::Mat1w vdepth = readImage(truthFile(dir, frame, "vdepth.png"), CV_16UC1, size);
    cv::Mat1w depth = readImage(truthFile(dir, frame, "depth.png"), CV_16UC1, size);
    t.textured = readImage(truthFile(dir, frame, "textured.png"), CV_8UC1, size);
    vdepth.convertTo(t.virtualDepth, CV_32F, 1.0 / kVirtualDepthUnit);
    depth.convertTo(t.distance, CV_32F, 1.0 / kDistanceUnit);
    t.particles = readParticleTruth(dir, frame);
    return t;
}

std::vector<ParticleTruth> readParticleTruth(const std::string& dir, uint32_t frame) {
    std::vector<ParticleTruth> particles;
    const std::string csv = truthFile(dir, frame, "particles.csv");
    std::ifstream in(csv);
    std::string line;
    if (in && std::getline(in, line)) {
        while (std::getline(in, line)) {
            ParticleTruth p;
            if (std::sscanf(line.c_str(), "%d,%lf,%lf,%lf,%lf,%lf", &p.id, &p.x, &p.y, &p.radius, &p.virtualDepth,
                            &p.distance) != 6)
                throw CVyException("readTruth", csv, "malformed line '" + line + "'");
            particles.push_back(p);
        }
    }
    return particles;
}

std::string truthIndexValue(const std::string& dir, const std::string& key) {
    std::ifstream in(std::filesystem::path(dir) / "truth.txt");
    const std::string prefix = key + " = ";
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) {
            const std::string value = line.substr(prefix.size());
            return value.substr(0, value.find_first_of(" \t#"));
        }
    return "";
}

}  // namespace Vy::Synth
