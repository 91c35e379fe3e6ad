// Renders a synthetic sequence into a "*.rays" file: white image, frames with
// time stamps and frame ids, and the ground truth beside it.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace Vy::Synth {

struct CreateOptions {
    std::string preset = "demo";
    int size = 0;   // sensor side in pixels; 0 = the preset's
    int width = 0;  // sensor width and height where they differ; 0 = size
    int height = 0;
    int frames = 0;  // 0 = the preset's
    uint64_t seed = 1;
    int samples = 0;  // rays per pixel; 0 = the preset's
    int threads = 2;
    bool truth = true;  // write <path>.truth/
    bool white = true;  // store a white image in the file
    double fps = 25.0;
    double startEpochMs = 1565344800000.0;  // 2019-08-09 10:00:00 UTC
    int32_t firstFrameId = 1000;
    int bits = 8;                           // significant bits: 8, or 10..16 written as 16-bit samples
    double pitch = 0.0;                     // lens pitch (px), 14..40; 0 = the default camera's 24
    double rotationDegrees = 0.0;           // lens grid rotation, -5..5 degrees
    double offsetX = -1.0, offsetY = -1.0;  // lens (0, 0) in px, 0..pitch; negative = the preset camera's
    // Microlens types: their focal lengths (mm, at the preset camera's pitch; 1..3 of them; empty =
    // the preset camera's) and the type of lens (0, 0) (negative = 0).
    std::vector<double> focalLengths;
    int typeOffset = -1;
    // Camera faults set by name (CameraFaults.h, faultOptions()), over the
    // preset's: none, or CameraFaults::realistic() for `realistic`.
    std::vector<std::pair<std::string, double>> faults;
    // Target presets: the plate's distance (mm) on each frame; empty = spread over the camera's range.
    std::vector<double> distances;
};

// Where the ground truth of a sequence lives.
std::string truthDirectory(const std::string& sequencePath);

// Writes the sequence; progress (if given) gets one line per frame.
// Throws CVyException for bad options or a file that cannot be written.
void createSequence(const std::string& path, const CreateOptions& options, std::ostream* progress);

}  // namespace Vy::Synth
