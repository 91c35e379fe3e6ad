// A raw frame of the light-field camera together with its calibration.
#pragma once

#include "CCalibration.h"
#include "CVyImage.h"

class CRayImage : public CVyImage {
public:
    const CCalibration& GetCalibration() const { return calibration_; }
    void SetCalibration(const CCalibration& calibration) { calibration_ = calibration; }
    // The white image of the camera (a uniformly lit white scene); empty when the sequence has none.
    const CVyImage& GetWhiteImage() const { return whiteImage_; }
    void SetWhiteImage(const CVyImage& white) { whiteImage_ = white; }

private:
    CCalibration calibration_;
    CVyImage whiteImage_;
};
