// Runs the light-field engine over a synthetic sequence and scores its depth
// map, total focus and refocus against the sequence's ground truth.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "QualityMetrics.h"

namespace Vy::Synth {

// One fronto-parallel plane of the first frame.
struct PlaneScore {
    double depth = 0.0;                 // true virtual depth
    double depthBias = 0.0;             // signed median relative error of the engine's depth there
    double focusedPsnr = 0.0;           // dB, the plane in the image refocused at its depth
    double elsewhereFocusedPsnr = 0.0;  // dB, the plane at best when focused at another plane
};

// Particle sequences: blobs the profile measurement accepts in the engine's total focus.
struct ParticleCountScore {
    double truthMean = 0.0;        // particles per frame on the grid
    double acceptedMean = 0.0;     // accepted blobs per frame
    double worstDifference = 0.0;  // largest |accepted - truth| / truth over the frames
};

struct QualityReport {
    uint32_t framesScored = 0;
    uint32_t framesInFile = 0;
    DepthScore depth;
    DepthScore outerDepth;            // the same for the pixels within a tenth of the width or height from an edge
    double focusPsnr = 0.0;           // engine total focus over pixels with a valid depth
    double referenceFocusPsnr = 0.0;  // total focus at the true depth (checks the renderer itself)
    // focusPsnr in bands of true virtual depth over the scene's range (far first): the depth of field.
    std::vector<DepthBandPsnr> focusByDepth;
    std::vector<PlaneScore> planes;
    bool scoredParticles = false;  // only for the particles preset
    ParticleCountScore particles;
    bool Passed() const;
};

// Bars the engine must meet on the synthetic scenes.
struct QualityBars {
    static constexpr double kMedianRelativeError = 0.01;
    static constexpr double kShareOver5Percent = 0.10;
    static constexpr double kTexturedValid = 0.90;
    static constexpr double kFocusPsnr = 30.0;
    static constexpr double kRefocusPsnr = 30.0;
    static constexpr double kParticleCountDifference = 0.05;
};

// Scores the first maxFrames frames (all when 0); dumpDir (when not empty)
// receives the engine's total focus and depth of each scored frame. Throws CVyException for a
// sequence without ground truth or white image, or any engine failure.
QualityReport measureEngineQuality(const std::string& sequence, const std::string& settingsFile, uint32_t maxFrames,
                                   const std::string& dumpDir);

}  // namespace Vy::Synth
