// Devignetting and micro-image masking of raw frames: one gain per sensor
// pixel, zero off the micro-images, so a frame costs one multiply a pixel.
#pragma once

#include <cstdint>
#include <vector>

#include "CCalibration.h"
#include "CVyImage.h"
#include "LensGrid.h"
#include "ThreadPool.h"

namespace Vy::Engine {

// Largest value of the pre-processed image (14-bit range).
constexpr int kFullScale = 16383;

class PreProcessor {
public:
    // Gains for raw frames of rawBits significant bits (8..16) from the white image
    // (a pixel as bright as the white image becomes kFullScale; white and raw
    // may differ in depth) or, when white is empty, from the model's fall-off.
    // Pixels further than microImageRadius - margin from their micro-image centre and
    // pixels whose white level is below whiteMinimum (0..1 of the brightest)
    // are masked. Throws CVyException when white does not match the sensor.
    void Build(const CCalibration& c, const LensGrid& grid, const CVyImage& white, double whiteMinimum, double margin,
               int rawBits = 8);
    bool IsBuilt() const { return !gains_.empty(); }
    int RawBits() const { return rawBits_; }

    // out = raw * gain, clamped to kFullScale; both are sensor sized.
    void Run(const uint8_t* raw, uint16_t* out, ThreadPool& pool) const;
    void Run(const uint16_t* raw, uint16_t* out, ThreadPool& pool) const;

    // Gain of a pixel in units of 1 / 2^GainShift(): 1 / kGainOne for 8-bit frames; for deeper
    // frames the finest step the largest gain allows, so the result keeps its precision at any depth.
    static constexpr int kGainShift = 6;
    static constexpr int kGainOne = 1 << kGainShift;
    int GainShift() const { return shift_; }
    const std::vector<uint16_t>& Gains() const { return gains_; }

private:
    template <typename Sample>
    void RunAny(const Sample* raw, uint16_t* out, ThreadPool& pool) const;

    std::vector<uint16_t> gains_;
    size_t pixelCount_ = 0;
    int rawBits_ = 8;
    int shift_ = kGainShift;
};

}  // namespace Vy::Engine
