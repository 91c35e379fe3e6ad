// Black level, devignetting and micro-image masking of raw frames: one gain
// per sensor pixel, zero off the micro-images, so a frame costs one subtraction
// and one multiply a pixel; defective pixels are then filled from their
// neighbours on the same micro-image.
#pragma once

#include <cstdint>
#include <vector>

#include "CCalibration.h"
#include "CVyImage.h"
#include "LensGrid.h"
#include "PreProcessorViews.h"
#include "ThreadPool.h"
#include "VyTypes.h"

namespace Vy::Engine {

// Largest value of the pre-processed image (14-bit range).
constexpr int kFullScale = Vy::kFullScale14;

class PreProcessor {
public:
    // Gains for raw frames of rawBits significant bits (8..16) from the white image
    // less its black level (a pixel as bright as the white image becomes
    // kFullScale; white and raw may differ in depth) or, when white is empty,
    // from the model's fall-off. Pixels further than microImageRadius - margin
    // from their micro-image centre and pixels whose white level is below
    // whiteMinimum (0..1 of the brightest) are masked. Defective pixels are the
    // calibration's list and, with a white image, the lit pixels far below or
    // above their neighbours in it. Throws CVyException when white does not
    // match the sensor.
    void Build(const CCalibration& c, const LensGrid& grid, const CVyImage& white, double whiteMinimum, double margin,
               int rawBits = 8);
    bool IsBuilt() const { return !gains_.empty(); }
    int RawBits() const { return rawBits_; }

    // The black level of a raw frame from the dark gaps between micro-images
    // (raw sample units): the median of the pixels further than half a pitch
    // plus a pixel from every micro-image centre; 0 where the grid leaves no gap.
    double EstimateBlack(const uint8_t* raw) const;
    double EstimateBlack(const uint16_t* raw) const;

    // out = (raw - black) * gain, clamped to 0..kFullScale, defective pixels
    // filled; both are sensor sized, black in raw sample units.
    void Run(const uint8_t* raw, uint16_t* out, ThreadPool& pool, double black = 0.0) const;
    void Run(const uint16_t* raw, uint16_t* out, ThreadPool& pool, double black = 0.0) const;

    // Pixels of a pre-processed frame that stand out from every lit neighbour
    // by more than kOutlierStep (and a third of the brightest one's level above
    // it, or of the darkest one's below) and that the neighbouring micro-images do not
    // show, not even a quarter as bright above their surroundings
    // (PreProcessorViews), are defective from then on, and filled in this frame
    // too. The first frame after Build is looked at whole, so that the frames
    // after it come clean; the next ones one band of rows of kLearnBands each,
    // in turn, kLearnRounds times, for defects the first frame's scene hid.
    // Returns how many became defective.
    size_t LearnDefects(uint16_t* out, ThreadPool& pool);
    static constexpr int kOutlierStep = kFullScale / 8;
    static constexpr int kLearnBands = 8;
    static constexpr int kLearnRounds = 2;
    static constexpr int kLearnFrames = 1 + kLearnRounds * kLearnBands;
    bool Learning() const { return framesSeen_ < kLearnFrames; }

    // Sensor indices of the pixels filled from their neighbours.
    std::vector<size_t> Defects() const;

    // Gain of a pixel in units of 1 / 2^GainShift(): 1 / kGainOne for 8-bit frames; for deeper
    // frames the finest step the largest gain allows, so the result keeps its precision at any depth.
    static constexpr int kGainShift = 6;
    static constexpr int kGainOne = 1 << kGainShift;
    int GainShift() const { return shift_; }
    const std::vector<uint16_t>& Gains() const { return gains_; }

private:
    template <typename Sample>
    void RunAny(const Sample* raw, uint16_t* out, ThreadPool& pool, double black) const;
    template <typename Sample>
    double EstimateBlackAny(const Sample* raw) const;
    // The filled pixels' lists of lit neighbours that are sound themselves.
    void RebuildDefects();
    void FillDefects(uint16_t* out) const;
    // Whether lit pixel at stands out above (or below) every lit sound neighbour, and what
    // another view of it must show: a quarter of the way from those neighbours to it.
    bool StandsOut(const uint16_t* out, size_t at, Spot& spot) const;

    // A defective pixel and the (at most eight) neighbours it takes the mean of.
    struct Defect {
        size_t at = 0;
        std::vector<size_t> from;
    };

    std::vector<uint16_t> gains_;
    std::vector<size_t> gaps_;  // sample of the dark pixels between micro-images
    std::vector<Defect> defects_;
    std::vector<uint8_t> defective_;  // per pixel, 1 when filled
    std::vector<uint8_t> standsOut_;  // per pixel, 1 while it is looked at for standing out
    PreProcessorViews views_;
    int framesSeen_ = 0;
    int32_t width_ = 0, height_ = 0;
    size_t pixelCount_ = 0;
    int rawBits_ = 8;
    int shift_ = kGainShift;
};

}  // namespace Vy::Engine
