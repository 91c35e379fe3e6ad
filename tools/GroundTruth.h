// What the engine should find in a frame, on its output grid (CameraModel.h:
// output pixel (i, j) sees lateral virtual position scale * (i + 0.5, j + 0.5)).
// Written beside the sequence as <file>.rays.truth/ (docs/synthetic-camera.md).
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "CameraFaults.h"
#include "Scene.h"
#include "SyntheticCamera.h"
#include "VyTypes.h"

namespace Vy::Synth {

struct ParticleTruth {
    int id = 0;
    double x = 0.0;  // output-grid position, pixel (i, j) covers [i, i+1) x [j, j+1)
    double y = 0.0;
    double radius = 0.0;  // output pixels
    double virtualDepth = 0.0;
    double distance = 0.0;  // mm in front of the main lens
};

struct FrameTruth {
    cv::Mat1w focus;                       // all-in-focus image, 14-bit range (engine units)
    cv::Mat1f virtualDepth;                // 0 where the ray meets no surface
    cv::Mat1f distance;                    // mm, 0 where the ray meets no surface
    cv::Mat1b textured;                    // 255 where a depth estimate has a pattern to work with
    std::vector<ParticleTruth> particles;  // particles whose centre lies on the grid
};

// Scale of the truth's focus image: the 14-bit level of radiance 1. The white
// image shows radiance 1 and the engine's pre-processing brings a pixel as
// bright as the white image to full scale, so radiance r becomes r * 16383.
constexpr double kFocusGain = Vy::kFullScale14;

// Truth of one frame on the grid of the given scale.
FrameTruth computeTruth(const SyntheticCamera& camera, const Scene& scene, int scale, double focusGain);

// Files of frame in dir (created as needed); throws CVyException when one cannot be written.
void writeTruth(const std::string& dir, uint32_t frame, const FrameTruth& truth, bool withParticles);
// truth.txt: what every file holds, with scale and focus gain; for a camera
// with faults also its black level in stored levels (black_level, for data of
// `bits` bits) and every fault's setting.
void writeTruthIndex(const std::string& dir, int scale, double focusGain, int width, int height, uint32_t frames,
                     const std::string& preset, const CameraFaults& faults = {}, int bits = 8);
// Reads frame's files back; throws CVyException naming the missing or bad file.
FrameTruth readTruth(const std::string& dir, uint32_t frame);
std::string truthFile(const std::string& dir, uint32_t frame, const char* suffix);
// A value of truth.txt ("key = value"); empty when the file or the key is missing.
std::string truthIndexValue(const std::string& dir, const std::string& key);
// Only the particles of frame (frame_NNNNN_particles.csv); none when the file is missing.
std::vector<ParticleTruth> readParticleTruth(const std::string& dir, uint32_t frame);

}  // namespace Vy::Synth
