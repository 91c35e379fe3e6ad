// The presets of the synthetic camera: which planes and particles a sequence
// shows and how they move from frame to frame. Everything is laid out in the
// camera's own terms (fractions of the sensor, virtual depths) so a preset
// looks the same at any sensor size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CCalibration.h"
#include "Scene.h"

namespace Vy::Synth {

struct PresetDefaults {
    int size = 0;  // sensor side, pixels
    int frames = 0;
    int samples = 0;  // rays per pixel
    // Sensor width and height when the preset's camera is not square (0: size).
    int width = 0, height = 0;
};

// Names of the presets: demo, planes, slanted, particles, small, swarm, realistic (the demo
// scene through the camera with CameraFaults::realistic()), tour (the scene the README's demo
// replays, laid out so every display type has something to show), multifocus (a scene over the
// whole depth range of a three-type multi-focus camera, CameraDesign's multiFocusCalibration) and
// deep (planes from virtual depth 1.8 to 24 through deepRangeCalibration); target and
// target-multifocus (one flat plate with a checkerboard per frame, at known distances, through the
// default and the multi-focus camera: what a calibration of the optics records).
const std::vector<std::string>& presetNames();
// Throws CVyException for an unknown name.
PresetDefaults presetDefaults(const std::string& name);

// Whether the preset shows a calibration target (one plate a frame).
bool isTargetPreset(const std::string& name);

// The checkerboard on a target's plate, centred on the optical axis.
struct Board {
    int columns = 9, rows = 7;  // squares; the corner detector sees (columns - 1) x (rows - 1) inner corners
    double squareMm = 0.0;
};

class SceneScript {
public:
    // Throws CVyException for an unknown preset. plateDistances (mm, target presets only): the
    // plate of each frame; empty = frameCount plates spread evenly in 1 / virtual depth over the
    // camera's usable range.
    SceneScript(const std::string& preset, const CCalibration& calibration, uint64_t seed, uint32_t frameCount,
                const std::vector<double>& plateDistances = {});

    // The scene at frame (0-based), ready to trace.
    Scene sceneAt(uint32_t frame) const;
    bool hasParticles() const { return !particles_.empty() || !movers_.empty(); }
    // Target presets: the plate's distance on every frame and the board on it.
    const std::vector<double>& plateDistances() const { return plateDistances_; }
    const Board& board() const { return board_; }

private:
    // A particle drifting across the image: position in virtual-image pixels
    // at frame 0, velocity in virtual-image pixels per frame, wrapped to the view.
    struct Drifter {
        double x, y, vx, vy;
        double virtualDepth;
        double radiusOut;  // radius in output pixels
        float albedo;
    };
    // A particle on its own straight path in 3D (mm), from the first frame's
    // position to the last one's; its size in mm stays the same.
    struct Mover {
        double x0, y0, z0, x1, y1, z1;
        double radius;  // mm
        float albedo;
    };
    // A plane that moves in depth: virtual depth from..to and back over the sequence.
    struct DepthSwing {
        size_t plane;
        double fromDepth, toDepth;
    };

    double distanceAt(double virtualDepth) const;
    // The fronto-parallel plane at distance z seen over x0..x1, y0..y1 (shares of the sensor), its
    // texels (w x h of them) texelScale output pixels; no texture yet.
    Plane frontoRectangle(double x0, double y0, double x1, double y1, double z, double texelScale, int& w,
                          int& h) const;
    // texelScale: output pixels per texel at the plane's depth (1: one).
    Plane frontoPlane(double x0, double y0, double x1, double y1, double virtualDepth, uint64_t seed, float mean,
                      float contrast, double texelScale = 1.0) const;
    Plane slantedPlane(double x0, double y0, double x1, double y1, double depthLeft, double depthRight,
                       uint64_t seed) const;
    void addDrifters(int count, double depthMin, double depthMax, double areaMin, double areaMax, double speed,
                     bool commonDrift, uint64_t seed);
    Particle particleAt(const Drifter& d, int id, uint32_t frame) const;
    void addPlates(const std::vector<double>& distances, uint64_t seed);
    Plane plateAt(double distance) const;
    void addMovers(int count, double depthMin, double depthMax, double areaMin, double areaMax, uint64_t seed);
    Particle moverAt(const Mover& m, int id, uint32_t frame) const;

    CCalibration calibration_;
    uint32_t frameCount_;
    std::vector<Plane> planes_;
    std::vector<DepthSwing> swings_;
    std::vector<Drifter> particles_;
    std::vector<Mover> movers_;
    float background_ = 0.0f;
    std::vector<double> plateDistances_;
    Board board_;
    uint64_t plateSeed_ = 0;
};

}  // namespace Vy::Synth
