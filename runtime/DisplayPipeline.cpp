#include "DisplayPipeline.h"

#include "CCudaCompute.h"
#include "IImageAccess.h"
#include "VyTypes.h"

namespace Vy::Engine {

void computeDisplayImage(CCudaCompute& engine, IImageAccess& access, DisplayType type, std::optional<double> refocus,
                         CVyImage& image) {
    engine.Compute_PreProcess();
    uint32_t imageId = Vy::ImageIdPreProcessed;
    switch (type) {
        case DisplayType::TotalFocus:
        case DisplayType::Profile:
            engine.Compute_DepthRay();
            engine.Compute_DepthMap(LF::Space_VirtualImage);
            engine.Compute_TotalFocus(LF::Space_VirtualImage);
            imageId = Vy::ImageIdTotalFocus;
            break;
        case DisplayType::Depth:
            engine.Compute_DepthRay();
            engine.Compute_DepthMap(LF::Space_VirtualImage);
            engine.Compute_Depth3D();
            engine.Compute_DepthColorCode(LF::Space_VirtualImage);
            imageId = Vy::ImageIdDepthColorCoded;
            break;
        case DisplayType::Refocus:
            if (refocus) {
                engine.GetParams().SetValue(Params::CudaCompute_RefocusVirtualDepth, *refocus);
            }
            engine.Compute_RefocusBasic();
            imageId = Vy::ImageIdRefocused;
            break;
        default:
            break;
    }
    access.GetImage(imageId, image);
}

}  // namespace Vy::Engine
