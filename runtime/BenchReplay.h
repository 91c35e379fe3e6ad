// The engine set up for a scene's frame as the program sets it up (the frame's
// calibration, the shipped settings beside the benchmark, the sequence's white
// image), running the steps of one display type the way a replay runs them.
#pragma once

#include "BenchScenes.h"
#include "CCuda.h"
#include "CCudaCompute.h"
#include "DisplayPipeline.h"
#include "IImageAccess.h"
#include "VyTypes.h"

namespace Vy::Bench {

class ReplayEngine {
public:
    explicit ReplayEngine(const SceneFrame& frame) : frame_(frame) {
        engine_.SetCudaDevice(CCuda::GetDevice(0));
        engine_.ApplyCalibration(frame.calibration, true);
        engine_.GetParams().ImportParameterFromFile((BinaryDirectory() / "CurrentSettings-2019-08-09.vyset").c_str());
        if (!frame.white.IsEmpty()) {
            engine_.SetWhiteImage(frame.white);
        }
        access_ = static_cast<IImageAccess*>(engine_.GetInterface(1));
    }

    // Uploads the frame and runs display type 0 (pre-processed), 1 (total focus),
    // 2 (colour-coded depth) or 3 (refocus) as the processor does; result gets the type's image.
    void Run(int type, CVyImage& result) {
        engine_.UploadRawImage(frame_.raw);
        Vy::Engine::computeDisplayImage(engine_, *access_, static_cast<DisplayType>(type), std::nullopt, result);
    }

    // The last frame's other images (the virtual depth beside the total focus).
    IImageAccess& Images() { return *access_; }

private:
    const SceneFrame& frame_;
    CCudaCompute engine_;
    IImageAccess* access_ = nullptr;
};

}  // namespace Vy::Bench
