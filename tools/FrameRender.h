// Renders frames of a sequence into result files (raystool render): the
// engine set up as the program sets it up, its images taken through the one
// display pipeline, each frame's depth computed once for all outputs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CCalibration.h"
#include "CCudaCompute.h"
#include "CRayImage.h"
#include "ResultFiles.h"

class IImageAccess;

namespace Vy::Synth {

struct RenderOptions {
    bool depth = false;
    Vy::Results::FloatFormat depthFormat = Vy::Results::FloatFormat::Tiff;
    bool totalFocus = false;
    std::string stillExtension = "tiff";  // total focus and refocus: "tiff" or "png"
    std::vector<double> refocusMm;
    bool depthPicture = false;
    bool pointCloud = false;
    std::string settingsFile;  // the program's settings; empty: the shipped file beside the executable
    std::string sequence;      // named in the sidecars
};

// One output: its file name (no folder) and how to make its bytes and its
// sidecar's text, which the writer thread calls (the outputs of one frame in
// the order given: they share what the first of them converts).
struct RenderedFile {
    std::string name;
    std::function<std::string(std::string& sidecar)> encode;
};

// The file names of frame index with id, in the order render returns them (sidecars not listed).
std::vector<std::string> renderedNames(const RenderOptions& o, uint32_t index, int64_t id);

class FrameRenderer {
public:
    // Throws CVyException naming the settings file, or the option the calibration
    // cannot serve (a refocus distance outside its range, a point cloud without optics).
    FrameRenderer(const CCalibration& calibration, const CVyImage& white, const RenderOptions& options);
    FrameRenderer(const FrameRenderer&) = delete;
    FrameRenderer& operator=(const FrameRenderer&) = delete;

    // Runs the engine on frame and returns its outputs, named as renderedNames.
    std::vector<RenderedFile> render(const CRayImage& frame, uint32_t index);

    // Why depth is in virtual units, not mm; empty when it is in mm.
    const std::string& virtualUnitsReason() const { return virtualOnly_; }

private:
    Vy::Results::Sidecar sidecar(const std::string& name, const char* kind, const CRayImage& frame, uint32_t index,
                                 const cv::Size& grid) const;

    CCalibration calibration_;
    RenderOptions options_;
    CCudaCompute engine_;
    IImageAccess* access_ = nullptr;
    int scale_ = 1;
    std::vector<double> refocusValues_;
    std::string virtualOnly_;
};

}  // namespace Vy::Synth
