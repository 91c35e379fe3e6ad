#include "PreProcessorViews.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace Vy::Engine {

void PreProcessorViews::Build(const CCalibration& c, const LensGrid& grid, double litRadius) {
    images_.clear();
    for (const Lens& lens : grid.Lenses()) {
        images_.push_back(lens.image);
    }
    // Micro-image centres lie (1 + growth) lens steps apart.
    steps_.clear();
    for (int d = 0; d < 6; ++d) {
        const Vec2 step = grid.Direction(d);
        steps_.push_back(step);
        imageSteps_[static_cast<size_t>(d)] = {step.x * (1.0f + grid.Growth()), step.y * (1.0f + grid.Growth())};
    }
    width_ = c.sensorWidth;
    height_ = c.sensorHeight;
    litRadius_ = static_cast<float>(litRadius);
    // Every first-ring step is a pitch long; samples at most a pixel apart where the pitch allows.
    cell_ = std::max(1.0f, grid.Pitch());
    fromShift_ = static_cast<float>(1.0 - 1.0 / c.virtualDepthMin) - 1.0f / cell_;
    toShift_ = 1.0f + 1.0f / cell_;
    samples_ = std::clamp(static_cast<int>(std::ceil((toShift_ - fromShift_) * cell_)) + 1, 1, kMaxSamples - 1);
    cellsX_ = static_cast<int32_t>(std::ceil(width_ / cell_)) + 1;
    cellsY_ = static_cast<int32_t>(std::ceil(height_ / cell_)) + 1;
    const auto cellOf = [&](const Vec2& p) {
        const int32_t i = std::clamp(static_cast<int32_t>(std::floor(p.x / cell_)), 0, cellsX_ - 1);
        const int32_t j = std::clamp(static_cast<int32_t>(std::floor(p.y / cell_)), 0, cellsY_ - 1);
        return static_cast<size_t>(j) * cellsX_ + i;
    };
    cellStart_.assign(static_cast<size_t>(cellsX_) * cellsY_ + 1, 0);
    for (const Vec2& m : images_) {
        ++cellStart_[cellOf(m) + 1];
    }
    for (size_t k = 1; k < cellStart_.size(); ++k) {
        cellStart_[k] += cellStart_[k - 1];
    }
    cellLenses_.assign(images_.size(), -1);
    std::vector<uint32_t> fill(cellStart_.begin(), cellStart_.end() - 1);
    for (size_t k = 0; k < images_.size(); ++k) {
        cellLenses_[fill[cellOf(images_[k])]++] = static_cast<int32_t>(k);
    }
}

bool PreProcessorViews::Holds(Vec2 image, int32_t x, int32_t y) const {
    const float dx = static_cast<float>(x + 0.5 - image.x);
    const float dy = static_cast<float>(y + 0.5 - image.y);
    return dx * dx + dy * dy <= litRadius_ * litRadius_;
}

int32_t PreProcessorViews::LensOf(int32_t x, int32_t y) const {
    // A micro-image centre within the lit radius (under a pitch) lies in this cell or one beside it.
    const int32_t i = std::clamp(static_cast<int32_t>(std::floor((x + 0.5f) / cell_)), 0, cellsX_ - 1);
    const int32_t j = std::clamp(static_cast<int32_t>(std::floor((y + 0.5f) / cell_)), 0, cellsY_ - 1);
    for (int32_t cj = std::max(0, j - 1); cj <= std::min(cellsY_ - 1, j + 1); ++cj) {
        for (int32_t ci = std::max(0, i - 1); ci <= std::min(cellsX_ - 1, i + 1); ++ci) {
            const size_t cell = static_cast<size_t>(cj) * cellsX_ + ci;
            for (uint32_t k = cellStart_[cell]; k < cellStart_[cell + 1]; ++k) {
                if (Holds(images_[static_cast<size_t>(cellLenses_[k])], x, y)) {
                    return cellLenses_[k];
                }
            }
        }
    }
    return -1;
}

int PreProcessorViews::MeanAround(const uint16_t* out, const uint16_t* gains, int32_t x, int32_t y) const {
    int sum = 0, lit = 0;
    for (int32_t ny = std::max(0, y - 1); ny <= std::min(height_ - 1, y + 1); ++ny) {
        for (int32_t nx = std::max(0, x - 1); nx <= std::min(width_ - 1, x + 1); ++nx) {
            const size_t n = static_cast<size_t>(ny) * width_ + nx;
            if ((nx != x || ny != y) && gains[n] != 0) {
                sum += out[n];
                ++lit;
            }
        }
    }
    return lit > 0 ? sum / lit : -1;
}

bool PreProcessorViews::Shows(const uint16_t* out, const uint16_t* gains, int32_t x, int32_t y,
                              const Spot& spot) const {
    const int v = out[static_cast<size_t>(y) * width_ + x];
    // As far out as the spot's level, and a spot of its own there, not the side of something broad.
    const int mean = MeanAround(out, gains, x, y);
    if (mean < 0) {
        return false;
    }
    return spot.bright ? v >= spot.level && v - mean >= spot.contrast : v <= spot.level && mean - v >= spot.contrast;
}

PreProcessorViews::Line PreProcessorViews::Along(const uint16_t* out, const uint16_t* gains, const Spot& spot,
                                                 Vec2 image, int d) const {
    // Each sample's 2 x 2 nearest pixels.
    const Vec2 step = steps_[static_cast<size_t>(d)];
    const Vec2 other = {image.x + imageSteps_[static_cast<size_t>(d)].x,
                        image.y + imageSteps_[static_cast<size_t>(d)].y};
    Line line;
    for (int k = 0; k <= samples_; ++k) {
        const float t = fromShift_ + (toShift_ - fromShift_) * static_cast<float>(k) / static_cast<float>(samples_);
        const auto x0 = static_cast<int32_t>(std::floor(spot.x + step.x * t));
        const auto y0 = static_cast<int32_t>(std::floor(spot.y + step.y * t));
        const uint64_t bit = uint64_t{1} << k;
        for (int32_t sy = y0; sy <= y0 + 1; ++sy) {
            for (int32_t sx = x0; sx <= x0 + 1; ++sx) {
                if (!Holds(other, sx, sy)) {
                    continue;
                }
                if (sx < 0 || sy < 0 || sx >= width_ || sy >= height_) {
                    line.off |= bit;
                } else if (gains[static_cast<size_t>(sy) * width_ + sx] != 0) {
                    line.lit |= bit;
                    if (Shows(out, gains, sx, sy, spot)) {
                        line.shown |= bit;
                    }
                }
            }
        }
    }
    return line;
}

bool PreProcessorViews::SeenByNeighbours(const uint16_t* out, const uint16_t* gains, const Spot& spot) const {
    const int32_t self = LensOf(spot.x, spot.y);
    if (self < 0) {
        return false;
    }
    const Vec2 image = images_[static_cast<size_t>(self)];
    // Per shift: how many neighbours show the spot (a sample either side allowed), how many
    // would see a point there on the sensor (those too), and whether one would beyond its edge.
    std::array<uint8_t, kMaxSamples> able{}, shows{};
    uint64_t off = 0;
    for (int d = 0; d < 6; ++d) {
        const Line line = Along(out, gains, spot, image, d);
        const uint64_t near = line.shown | (line.shown << 1) | (line.shown >> 1);
        off |= line.off;
        for (int k = 0; k <= samples_; ++k) {
            able[static_cast<size_t>(k)] += ((line.lit | near) >> k) & 1;
            shows[static_cast<size_t>(k)] += (near >> k) & 1;
        }
    }
    for (int k = 0; k <= samples_; ++k) {
        const size_t at = static_cast<size_t>(k);
        // Where only views beyond the sensor's edge could tell, the spot is given the benefit of the doubt.
        if ((shows[at] > 0 && shows[at] >= std::min<int>(kViewsNeeded, able[at])) ||
            (able[at] == 0 && ((off >> k) & 1))) {
            return true;
        }
    }
    return false;
}

}  // namespace Vy::Engine
