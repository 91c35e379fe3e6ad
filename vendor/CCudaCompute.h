// The light-field compute engine. Without a CUDA device it computes on the
// host CPU with all its cores. Call order per frame: UploadRawImage,
// Compute_PreProcess, then the steps a result needs (each step needs the
// ones before it: DepthRay before DepthMap, DepthMap before TotalFocus,
// Depth3D and DepthColorCode). The engine is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "CCalibration.h"
#include "CCuda.h"
#include "CParameterSet.h"
#include "CVyImage.h"
#include "IImageAccess.h"
#include "VyTypes.h"

class CCudaCompute {
public:
    CCudaCompute();
    ~CCudaCompute();
    CCudaCompute(const CCudaCompute&) = delete;
    CCudaCompute& operator=(const CCudaCompute&) = delete;

    void SetCudaDevice(const CCudaDevice& device);
    // Binds the engine to a camera model (and the white image for devignetting,
    // when the sequence has one). Throws CVyException for an unusable model.
    void ApplyCalibration(const CCalibration& calibration, bool computeLookups);
    void SetWhiteImage(const CVyImage& white);
    CParameterSet& GetParams();
    // Interface id 1: IImageAccess. Any other id gives null.
    void* GetInterface(uint32_t id);

    // Takes an 8-bit luminance raw image (shared, not copied).
    void UploadRawImage(const CVyImage& raw);
    void Compute_PreProcess();
    void Compute_DepthRay();
    void Compute_DepthMap(LF::ESpace space);
    void Compute_TotalFocus(LF::ESpace space);
    void Compute_Depth3D();
    void Compute_DepthColorCode(LF::ESpace space);
    void Compute_RefocusBasic();
    // target = source shrunk by an integer factor (>= 1) with area averaging.
    void ResizeImage(CVyImage* target, const CVyImage* source, int factor);

    struct Engine;

private:
    std::unique_ptr<Engine> engine_;
};
