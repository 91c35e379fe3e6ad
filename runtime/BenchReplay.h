// The engine set up for a scene's frame as the program sets it up (the frame's
// calibration, the shipped settings beside the benchmark, the sequence's white
// image), running the steps of one display type the way a replay runs them.
#pragma once

#include "BenchScenes.h"
#include "CCuda.h"
#include "CCudaCompute.h"
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
    // 2 (colour-coded depth) or 3 (refocus); result gets the type's image.
    void Run(int type, CVyImage& result) {
        engine_.UploadRawImage(frame_.raw);
        engine_.Compute_PreProcess();
        if (type == 0) {
            access_->GetImage(Vy::ImageIdPreProcessed, result);
            return;
        }
        if (type == 3) {
            engine_.Compute_RefocusBasic();
            access_->GetImage(Vy::ImageIdRefocused, result);
            return;
        }
        engine_.Compute_DepthRay();
        engine_.Compute_DepthMap(LF::Space_VirtualImage);
        if (type == 2) {
            engine_.Compute_Depth3D();
            engine_.Compute_DepthColorCode(LF::Space_VirtualImage);
            access_->GetImage(Vy::ImageIdDepthColorCoded, result);
            return;
        }
        engine_.Compute_TotalFocus(LF::Space_VirtualImage);
        access_->GetImage(Vy::ImageIdTotalFocus, result);
    }

    // The last frame's other images (the virtual depth beside the total focus).
    IImageAccess& Images() { return *access_; }

private:
    const SceneFrame& frame_;
    CCudaCompute engine_;
    IImageAccess* access_ = nullptr;
};

}  // namespace Vy::Bench
