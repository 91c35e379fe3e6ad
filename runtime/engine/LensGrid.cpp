#include "LensGrid.h"

#include <algorithm>
#include <cmath>

#include "CameraModel.h"
#include "VyTypes.h"

namespace Vy::Engine {
namespace {

// Lattice steps of the neighbour directions in grid units (x: pitch, y: pitch * sqrt(3)/2 per row).
struct LatticeStep {
    double gx;
    int rows;
};
constexpr std::array<LatticeStep, kDirectionCount> kSteps = {{
    // ring 1: 0, 60, ..., 300 degrees
    {1.0, 0},
    {0.5, 1},
    {-0.5, 1},
    {-1.0, 0},
    {-0.5, -1},
    {0.5, -1},
    // ring 2: 30, 90, ..., 330 degrees
    {1.5, 1},
    {0.0, 2},
    {-1.5, 1},
    {-1.5, -1},
    {0.0, -2},
    {1.5, -1},
    // ring 3: 0, 60, ..., 300 degrees at twice the pitch
    {2.0, 0},
    {1.0, 2},
    {-1.0, 2},
    {-2.0, 0},
    {-1.0, -2},
    {1.0, -2},
    // rings 4 and 5: the same at three and four times the pitch
    {3.0, 0},
    {1.5, 3},
    {-1.5, 3},
    {-3.0, 0},
    {-1.5, -3},
    {1.5, -3},
    {4.0, 0},
    {2.0, 4},
    {-2.0, 4},
    {-4.0, 0},
    {-2.0, -4},
    {2.0, -4},
}};

}  // namespace

LensGrid::LensGrid(const CCalibration& c)
    : pitch_(static_cast<float>(c.lensPitch)),
      growth_(static_cast<float>(Model::microImageGrowth(c))),
      typeCount_(std::clamp(c.microLensTypes, 1, CCalibration::kMaxLensTypes)),
      principal_{static_cast<float>(c.principalX), static_cast<float>(c.principalY)} {
    for (int t = 0; t < typeCount_; ++t) {
        sharpInverse_[t] = static_cast<float>(1.0 - c.mlaToSensor / c.LensFocalLength(t));
    }
    const double cs = std::cos(c.gridRotation);
    const double sn = std::sin(c.gridRotation);
    const double rowHeight = std::sqrt(3.0) * 0.5;
    for (int d = 0; d < kDirectionCount; ++d) {
        const double gx = kSteps[d].gx * c.lensPitch;
        const double gy = kSteps[d].rows * rowHeight * c.lensPitch;
        directions_[d] = {static_cast<float>(cs * gx - sn * gy), static_cast<float>(sn * gx + cs * gy)};
    }

    // Range of lattice indices covering the sensor plus one pitch all round.
    double gxMin = 1e300, gxMax = -1e300, gyMin = 1e300, gyMax = -1e300;
    const double margin = c.lensPitch;
    for (double px : {-margin, c.sensorWidth + margin}) {
        for (double py : {-margin, c.sensorHeight + margin}) {
            const double dx = px - c.gridOffsetX;
            const double dy = py - c.gridOffsetY;
            const double gx = (cs * dx + sn * dy) / c.lensPitch;
            const double gy = (-sn * dx + cs * dy) / (c.lensPitch * rowHeight);
            gxMin = std::min(gxMin, gx);
            gxMax = std::max(gxMax, gx);
            gyMin = std::min(gyMin, gy);
            gyMax = std::max(gyMax, gy);
        }
    }
    kMin_ = static_cast<int>(std::floor(gxMin)) - 1;
    kMax_ = static_cast<int>(std::ceil(gxMax)) + 1;
    lMin_ = static_cast<int>(std::floor(gyMin)) - 1;
    lMax_ = static_cast<int>(std::ceil(gyMax)) + 1;
    const int64_t kCount = kMax_ - kMin_ + 1;
    indexByKl_.assign(static_cast<size_t>(kCount * (lMax_ - lMin_ + 1)), -1);

    const double reach = c.microImageRadius + 1.0;
    for (int l = lMin_; l <= lMax_; ++l) {
        for (int k = kMin_; k <= kMax_; ++k) {
            const Model::Point p = Model::lensCentre(c, k, l);
            const Model::Point m = Model::microImageCentre(c, p);
            const auto off = [&](Model::Point q) {
                return q.x < -reach || q.y < -reach || q.x > c.sensorWidth + reach || q.y > c.sensorHeight + reach;
            };
            if (off(p) && off(m)) {
                continue;
            }
            Lens lens;
            lens.centre = {static_cast<float>(p.x), static_cast<float>(p.y)};
            lens.image = {static_cast<float>(m.x), static_cast<float>(m.y)};
            lens.cx = static_cast<int32_t>(std::floor(m.x));
            lens.cy = static_cast<int32_t>(std::floor(m.y));
            lens.inside =
                m.x - reach >= 0 && m.y - reach >= 0 && m.x + reach <= c.sensorWidth && m.y + reach <= c.sensorHeight;
            lens.neighbour.fill(-1);
            lens.type = Model::lensType(c, k, l);
            indexByKl_[static_cast<size_t>((l - lMin_) * kCount + (k - kMin_))] = static_cast<int32_t>(lenses_.size());
            lenses_.push_back(lens);
        }
    }
    // Neighbours by lattice arithmetic: a step of r rows changes the row parity
    // when r is odd, which moves the lattice column by half a pitch.
    for (int l = lMin_; l <= lMax_; ++l) {
        for (int k = kMin_; k <= kMax_; ++k) {
            const int32_t self = IndexOf(k, l);
            if (self < 0) {
                continue;
            }
            for (int d = 0; d < kDirectionCount; ++d) {
                const int l2 = l + kSteps[d].rows;
                const double gx = k + Model::positiveMod2(l) * 0.5 + kSteps[d].gx;
                const int k2 = static_cast<int>(std::lround(gx - Model::positiveMod2(l2) * 0.5));
                lenses_[self].neighbour[d] = IndexOf(k2, l2);
            }
        }
    }
    // The layout gives every direction one type step (CameraModel.h).
    for (int d = 0; d < kDirectionCount; ++d) {
        const int l2 = kSteps[d].rows;
        const int k2 = static_cast<int>(std::lround(kSteps[d].gx - Model::positiveMod2(l2) * 0.5));
        typeStep_[d] = (Model::lensType(c, k2, l2) - Model::lensType(c, 0, 0) + typeCount_) % typeCount_;
    }
    for (const Lens& lens : lenses_) {
        types_.push_back(lens.type);
        centreX_.push_back(lens.centre.x);
        centreY_.push_back(lens.centre.y);
        firstRing_.insert(firstRing_.end(), lens.neighbour.begin(), lens.neighbour.begin() + 6);
    }
}

int32_t LensGrid::IndexOf(int k, int l) const {
    if (k < kMin_ || k > kMax_ || l < lMin_ || l > lMax_) {
        return -1;
    }
    return indexByKl_[static_cast<size_t>((l - lMin_) * (kMax_ - kMin_ + 1) + (k - kMin_))];
}

OutputLookup LensGrid::MakeOutputLookup(int32_t width, int32_t height, int scale) const {
    // Each lens claims the output pixels around it that no nearer lens has claimed;
    // every point lies within pitch / sqrt(3) of its nearest lens centre.
    OutputLookup lookup;
    lookup.scale = scale;
    lookup.width = width;
    lookup.height = height;
    const size_t count = static_cast<size_t>(width) * height;
    lookup.lens.assign(count, -1);
    lookup.sector.assign(count + 3, 0);
    std::vector<float> best(count, 1e30f);
    const float reach = pitch_ / std::sqrt(3.0f) + 1.0f;
    const float s = static_cast<float>(scale);
    for (size_t index = 0; index < lenses_.size(); ++index) {
        const Vec2 c = lenses_[index].centre;
        const int32_t i0 = std::max<int32_t>(0, static_cast<int32_t>(std::floor((c.x - reach) / s - 0.5f)));
        const int32_t i1 = std::min<int32_t>(width - 1, static_cast<int32_t>(std::ceil((c.x + reach) / s - 0.5f)));
        const int32_t j0 = std::max<int32_t>(0, static_cast<int32_t>(std::floor((c.y - reach) / s - 0.5f)));
        const int32_t j1 = std::min<int32_t>(height - 1, static_cast<int32_t>(std::ceil((c.y + reach) / s - 0.5f)));
        for (int32_t j = j0; j <= j1; ++j) {
            const float dy = s * (j + 0.5f) - c.y;
            for (int32_t i = i0; i <= i1; ++i) {
                const float dx = s * (i + 0.5f) - c.x;
                const float d = dx * dx + dy * dy;
                const size_t at = static_cast<size_t>(j) * width + i;
                if (d < best[at]) {
                    best[at] = d;
                    lookup.lens[at] = static_cast<int32_t>(index);
                }
            }
        }
    }
    // Angles in the grid's frame: direction d of the first ring lies at 60 d degrees.
    const double rotation = std::atan2(directions_[0].y, directions_[0].x);
    const double sixty = Vy::kPi / 3.0;
    for (int32_t j = 0; j < height; ++j) {
        for (int32_t i = 0; i < width; ++i) {
            const size_t at = static_cast<size_t>(j) * width + i;
            if (lookup.lens[at] < 0) {
                continue;
            }
            const Vec2 c = lenses_[lookup.lens[at]].centre;
            double angle = std::atan2(s * (j + 0.5) - c.y, s * (i + 0.5) - c.x) - rotation;
            angle = std::fmod(std::fmod(angle, 2 * Vy::kPi) + 2 * Vy::kPi, 2 * Vy::kPi) / sixty;  // [0, 6)
            const int between = std::min(5, static_cast<int>(angle));
            const int closest = static_cast<int>(std::lround(angle)) % 6;
            lookup.sector[at] = static_cast<uint8_t>(between | (closest << 4));
        }
    }
    return lookup;
}

}  // namespace Vy::Engine
