// Whether a bright or dark spot in one micro-image is also seen by the
// neighbouring microlenses. A point of the scene at virtual depth v, seen at u
// by the lens at c, is seen by the neighbour at c + D at u + D (1 - 1/v): a
// spot that the first-ring neighbours do not show at one depth along that line
// is a defect of the sensor, not a detail of the scene. Two of them are asked
// for where two could see the point: one alone may happen to show another spot
// on its line.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "CCalibration.h"
#include "LensGrid.h"

namespace Vy::Engine {

// A pixel that stands out from its neighbours, and what a view of the same
// point must show to count: at least level, and contrast above the mean of its
// own neighbours (at most, and below, for a dark spot).
struct Spot {
    int32_t x = 0, y = 0;
    bool bright = true;
    int level = 0;
    int contrast = 0;
};

class PreProcessorViews {
public:
    static constexpr int kViewsNeeded = 2;

    // Lenses of grid, lighting the pixels within litRadius of their micro-image centres.
    void Build(const CCalibration& c, const LensGrid& grid, double litRadius);

    // True when, at one virtual depth from the calibration's nearest on, the
    // first-ring neighbours that would see a point there show the spot (two of
    // them, or the one there is; within a pixel of the same shift). out and
    // gains are sensor-sized, a gain of 0 marks a pixel no micro-image lights.
    bool SeenByNeighbours(const uint16_t* out, const uint16_t* gains, const Spot& spot) const;

    // Mean of the lit pixels around (x, y), itself left out; -1 when none is lit.
    int MeanAround(const uint16_t* out, const uint16_t* gains, int32_t x, int32_t y) const;

private:
    // What a neighbour's line shows, bit k for sample k: a pixel of its micro-image lit on
    // the sensor, one beyond the sensor's edge, one that shows the spot.
    struct Line {
        uint64_t lit = 0, off = 0, shown = 0;
    };

    // The lens whose micro-image holds pixel (x, y); -1 for none.
    int32_t LensOf(int32_t x, int32_t y) const;
    bool Holds(Vec2 image, int32_t x, int32_t y) const;
    // The line towards the first-ring neighbour in direction d of the lens with micro-image centre image.
    Line Along(const uint16_t* out, const uint16_t* gains, const Spot& spot, Vec2 image, int d) const;
    bool Shows(const uint16_t* out, const uint16_t* gains, int32_t x, int32_t y, const Spot& spot) const;

    static constexpr int kMaxSamples = 64;
    std::vector<Vec2> images_;  // micro-image centres
    std::vector<Vec2> steps_;   // first-ring lens steps
    std::array<Vec2, 6> imageSteps_{};
    // Lenses by the cell (pitch sized) that holds their micro-image centre.
    std::vector<uint32_t> cellStart_;
    std::vector<int32_t> cellLenses_;
    int32_t cellsX_ = 0, cellsY_ = 0;
    float cell_ = 1.0f;
    float litRadius_ = 0.0f;
    // Shifts (of a step) from the nearest virtual depth to the farthest, a pixel beyond either end.
    float fromShift_ = 0.5f, toShift_ = 1.0f;
    int samples_ = 1;
    int32_t width_ = 0, height_ = 0;
};

}  // namespace Vy::Engine
