#include "PreProcessor.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "CVyException.h"
#include "CameraModel.h"

namespace Vy::Engine {
namespace {

// White level of pixel i on the scale of raw samples with rawMax as their largest value.
std::vector<float> WhiteLevels(const CVyImage& white, double rawMax) {
    const size_t count = static_cast<size_t>(white.GetWidth()) * white.GetHeight();
    std::vector<float> levels(count);
    const float scale = static_cast<float>(rawMax / ((1 << white.GetSignificantBits()) - 1));
    if (white.GetDataType() == DataTypeUnsignedShort) {
        const auto* p = static_cast<const uint16_t*>(white.GetPixelData());
        for (size_t i = 0; i < count; ++i) {
            levels[i] = p[i] * scale;
        }
    } else {
        const auto* p = static_cast<const uint8_t*>(white.GetPixelData());
        for (size_t i = 0; i < count; ++i) {
            levels[i] = p[i] * scale;
        }
    }
    return levels;
}

// Middle value (the mean of the two middle ones for an even count); 0 for none.
float Median(std::vector<float>& values) {
    if (values.empty()) {
        return 0.0f;
    }
    const size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + middle, values.end());
    const float upper = values[middle];
    if (values.size() % 2 == 1) {
        return upper;
    }
    return 0.5f * (upper + *std::max_element(values.begin(), values.begin() + middle));
}

// Offsets of the eight neighbours of a pixel in a row-major image of the given width.
std::array<std::ptrdiff_t, 8> NeighbourSteps(int32_t width) {
    const std::ptrdiff_t w = width;
    return {-w - 1, -w, -w + 1, -1, 1, w - 1, w, w + 1};
}

// Gaps are looked for out to this share of the pitch from the micro-image centres
// (the farthest point of a hexagonal cell lies 1/sqrt(3) of a pitch off).
constexpr double kGapReach = 0.6;
// At most this many gap pixels are read per frame for its black level.
constexpr size_t kGapSamples = 1024;
// A lit pixel below / above these shares of its neighbours' median in the white image is defective.
constexpr float kDeadShare = 0.4f;
constexpr float kHotShare = 2.0f;

}  // namespace

void PreProcessor::Build(const CCalibration& c, const LensGrid& grid, const CVyImage& white, double whiteMinimum,
                         double margin, int rawBits) {
    if (rawBits < 8 || rawBits > 16) {
        throw CVyException("CCudaCompute::Compute_PreProcess", "raw image",
                           std::to_string(rawBits) + " significant bits (needs 8..16)");
    }
    const double rawMax = (1 << rawBits) - 1;
    const int32_t w = c.sensorWidth;
    const int32_t h = c.sensorHeight;
    std::vector<float> whiteLevel;
    float whiteFloor = 0.0f;
    if (!white.IsEmpty()) {
        const bool luminance =
            white.GetPixelType() == PixelTypeLuminance &&
            (white.GetDataType() == DataTypeUnsignedByte || white.GetDataType() == DataTypeUnsignedShort);
        if (!luminance) {
            throw CVyException("CCudaCompute::SetWhiteImage", "white image", "must be 8- or 16-bit luminance");
        }
        if (white.GetWidth() != w || white.GetHeight() != h) {
            throw CVyException("CCudaCompute::SetWhiteImage", "white image",
                               "size " + std::to_string(white.GetWidth()) + "x" + std::to_string(white.GetHeight()) +
                                   " does not match the sensor " + std::to_string(w) + "x" + std::to_string(h));
        }
        whiteLevel = WhiteLevels(white, rawMax);
    }

    rawBits_ = rawBits;
    pixelCount_ = static_cast<size_t>(w) * h;
    width_ = w;
    height_ = h;
    // Distance of every pixel to the nearest micro-image centre, out to where the gaps lie.
    std::vector<float> nearest(pixelCount_, 1e30f);
    const double radius = std::max(0.0, c.microImageRadius - margin);
    const double reach = std::max(radius, kGapReach * c.lensPitch);
    for (const Lens& lens : grid.Lenses()) {
        const int32_t x0 = std::max(0, static_cast<int32_t>(std::floor(lens.image.x - reach)));
        const int32_t x1 = std::min(w - 1, static_cast<int32_t>(std::ceil(lens.image.x + reach)));
        const int32_t y0 = std::max(0, static_cast<int32_t>(std::floor(lens.image.y - reach)));
        const int32_t y1 = std::min(h - 1, static_cast<int32_t>(std::ceil(lens.image.y + reach)));
        for (int32_t y = y0; y <= y1; ++y) {
            for (int32_t x = x0; x <= x1; ++x) {
                const float dx = static_cast<float>(x + 0.5 - lens.image.x);
                const float dy = static_cast<float>(y + 0.5 - lens.image.y);
                float& r = nearest[static_cast<size_t>(y) * w + x];
                r = std::min(r, std::sqrt(dx * dx + dy * dy));
            }
        }
    }
    // The gaps: pixels half a pitch and a pixel (and a pixel past the
    // micro-image's rim) from every centre, which no micro-image lights; a
    // sample of them spread over the sensor.
    const float gapFrom = static_cast<float>(std::max(0.5 * c.lensPitch, c.microImageRadius) + 1.0);
    gaps_.clear();
    for (size_t at = 0; at < pixelCount_; ++at) {
        if (nearest[at] >= gapFrom && nearest[at] <= reach) {
            gaps_.push_back(at);
        }
    }
    if (gaps_.size() > kGapSamples) {
        const size_t stride = (gaps_.size() + kGapSamples - 1) / kGapSamples;
        for (size_t k = 0; k * stride < gaps_.size(); ++k) {
            gaps_[k] = gaps_[k * stride];
        }
        gaps_.resize((gaps_.size() + stride - 1) / stride);
    }
    // The white image's own black level: the calibration's, else its gaps'.
    if (!whiteLevel.empty()) {
        double whiteBlack = c.blackLevel;
        if (whiteBlack < 0.0) {
            std::vector<float> dark;
            for (size_t at : gaps_) {
                dark.push_back(whiteLevel[at]);
            }
            whiteBlack = Median(dark);
        }
        for (float& level : whiteLevel) {
            level = std::max(0.0f, level - static_cast<float>(whiteBlack));
        }
        const float brightest = *std::max_element(whiteLevel.begin(), whiteLevel.end());
        whiteFloor = std::max(static_cast<float>(rawMax / 510.0), static_cast<float>(whiteMinimum) * brightest);
    }

    std::vector<float> gains(pixelCount_, 0.0f);
    // 8-bit data keeps its cap (1023); deeper data is bounded by the white floor or the model alone,
    // and the step below is chosen to fit its largest gain.
    const double maxGain = rawBits == 8 ? 65535.0 / kGainOne : 65535.0;
    double largest = 0.0;
    for (size_t at = 0; at < pixelCount_; ++at) {
        const double r = nearest[at];
        if (r > radius) {
            continue;
        }
        double gain = 0.0;
        if (whiteLevel.empty()) {
            gain = kFullScale / rawMax / Model::microImageFalloff(c, r);
        } else if (whiteLevel[at] >= whiteFloor) {
            gain = kFullScale / whiteLevel[at];
        }
        gains[at] = static_cast<float>(std::min(maxGain, gain));
        largest = std::max(largest, double(gains[at]));
    }
    // 8-bit data keeps its fixed step. Deeper data gets the finest step its largest gain allows: 16-bit
    // samples that hold fewer bits than they say (12-bit data given as 16) need gains above 1.
    shift_ = kGainShift;
    if (rawBits > 8) {
        shift_ = 16;
        while (shift_ > 0 && largest * (1 << shift_) > 65535.0) {
            --shift_;
        }
    }
    const double gainOne = double(1 << shift_);
    gains_.resize(pixelCount_);
    for (size_t i = 0; i < pixelCount_; ++i) {
        gains_[i] = static_cast<uint16_t>(std::lround(gains[i] * gainOne));
    }

    // Defective pixels: the calibration's list, and lit pixels far below (dead)
    // or above (hot) the median of their lit neighbours in the white image.
    defective_.assign(pixelCount_, 0);
    standsOut_.assign(pixelCount_, 0);
    views_.Build(c, grid, radius);
    framesSeen_ = 0;
    for (const auto& [x, y] : c.defectivePixels) {
        if (x >= 0 && y >= 0 && x < w && y < h) {
            defective_[static_cast<size_t>(y) * w + x] = 1;
        }
    }
    if (!whiteLevel.empty()) {
        const float brightest = *std::max_element(whiteLevel.begin(), whiteLevel.end());
        std::vector<float> around;
        for (int32_t y = 1; y + 1 < h; ++y) {
            for (int32_t x = 1; x + 1 < w; ++x) {
                const size_t at = static_cast<size_t>(y) * w + x;
                if (!(nearest[at] <= radius)) {
                    continue;
                }
                around.clear();
                for (const std::ptrdiff_t step : NeighbourSteps(w)) {
                    const size_t n = at + step;
                    if (nearest[n] <= radius && whiteLevel[n] > 0.0f) {
                        around.push_back(whiteLevel[n]);
                    }
                }
                if (around.size() < 3) {
                    continue;
                }
                // Only among well-lit neighbours: the rims fall off steeply and stay masked.
                const float median = Median(around);
                if (median >= 0.5f * brightest &&
                    (whiteLevel[at] < kDeadShare * median || whiteLevel[at] > kHotShare * median)) {
                    defective_[at] = 1;
                }
            }
        }
    }
    RebuildDefects();
}

void PreProcessor::RebuildDefects() {
    defects_.clear();
    for (size_t at = 0; at < pixelCount_; ++at) {
        if (!defective_[at]) {
            continue;
        }
        Defect defect;
        defect.at = at;
        const int32_t x = static_cast<int32_t>(at % width_);
        const int32_t y = static_cast<int32_t>(at / width_);
        for (int32_t dy = -1; dy <= 1; ++dy) {
            for (int32_t dx = -1; dx <= 1; ++dx) {
                if ((dx == 0 && dy == 0) || x + dx < 0 || y + dy < 0 || x + dx >= width_ || y + dy >= height_) {
                    continue;
                }
                const size_t n = static_cast<size_t>(y + dy) * width_ + (x + dx);
                // Only lit pixels of the micro-image that are sound themselves.
                if (gains_[n] != 0 && !defective_[n]) {
                    defect.from.push_back(n);
                }
            }
        }
        defects_.push_back(std::move(defect));
    }
}

std::vector<size_t> PreProcessor::Defects() const {
    std::vector<size_t> list;
    for (const Defect& defect : defects_) {
        list.push_back(defect.at);
    }
    return list;
}

void PreProcessor::FillDefects(uint16_t* out) const {
    for (const Defect& defect : defects_) {
        uint32_t sum = 0;
        for (size_t n : defect.from) {
            sum += out[n];
        }
        const auto count = static_cast<uint32_t>(defect.from.size());
        out[defect.at] = static_cast<uint16_t>(count > 0 ? (sum + count / 2) / count : 0);
    }
}

bool PreProcessor::StandsOut(const uint16_t* out, size_t at, Spot& spot) const {
    int lo = kFullScale + 1, hi = -1, lit = 0;
    for (const std::ptrdiff_t step : NeighbourSteps(width_)) {
        const size_t n = at + step;
        if (gains_[n] != 0 && !defective_[n]) {
            lo = std::min<int>(lo, out[n]);
            hi = std::max<int>(hi, out[n]);
            ++lit;
        }
    }
    const int v = out[at];
    // On a bright surface its own fine detail stands out by the step, and a hot pixel's dark
    // signal harms little there: a third as bright again as the brightest neighbour (a third
    // darker than the darkest).
    if (lit < 3 || (v <= hi + std::max(kOutlierStep, hi / 3) && v >= lo - std::max(kOutlierStep, lo / 3))) {
        return false;
    }
    spot.x = static_cast<int32_t>(at % width_);
    spot.y = static_cast<int32_t>(at / width_);
    spot.bright = v > hi;
    // Another view of a point may split it over two pixels: a quarter of the way out from
    // the far side of its surroundings, and a quarter as far above their mean.
    spot.level = spot.bright ? lo + (v - lo) / 4 : hi - (hi - v) / 4;
    spot.contrast = std::abs(v - views_.MeanAround(out, gains_.data(), spot.x, spot.y)) / 4;
    return true;
}

size_t PreProcessor::LearnDefects(uint16_t* out, ThreadPool& pool) {
    if (!Learning() || width_ < 3 || height_ < 3) {
        return 0;
    }
    // The first frame whole, then one band of rows a frame, in turn, so that
    // after the first no frame pays for a whole scan.
    const size_t inner = static_cast<size_t>(height_ - 2);
    size_t first = 1, last = 1 + inner;
    if (framesSeen_ > 0) {
        const size_t band = static_cast<size_t>((framesSeen_ - 1) % kLearnBands);
        first = 1 + inner * band / kLearnBands;
        last = 1 + inner * (band + 1) / kLearnBands;
    }
    ++framesSeen_;
    const int32_t w = width_;
    // Rows apart per task: each flag is written by its own pixel only.
    pool.ParallelFor(last - first, 16, [&](size_t begin, size_t end) {
        for (size_t row = first + begin; row < first + end; ++row) {
            for (int32_t x = 1; x + 1 < w; ++x) {
                const size_t at = row * w + x;
                Spot spot;
                standsOut_[at] = gains_[at] != 0 && !defective_[at] && StandsOut(out, at, spot);
            }
        }
    });
    // Few stand out; of those, the scene's are seen by the neighbouring lenses too, a defect by one pixel alone.
    size_t added = 0;
    for (size_t at = first * w; at < last * w; ++at) {
        if (!standsOut_[at]) {
            continue;
        }
        standsOut_[at] = 0;
        // Again: a neighbour may have become defective just now.
        Spot spot;
        if (StandsOut(out, at, spot) && !views_.SeenByNeighbours(out, gains_.data(), spot)) {
            defective_[at] = 1;
            ++added;
        }
    }
    if (added > 0) {
        RebuildDefects();
        FillDefects(out);
    }
    return added;
}

template <typename Sample>
void PreProcessor::RunAny(const Sample* raw, uint16_t* out, ThreadPool& pool, double black) const {
    const uint16_t* gains = gains_.data();
    const int shift = shift_;
    // A 16-bit sample times a 16-bit gain plus the rounding half (at most 2^15) stays below 2^32.
    const uint32_t half = shift > 0 ? uint32_t{1} << (shift - 1) : 0;
    const auto floor =
        static_cast<Sample>(std::clamp(std::lround(black), 0L, long{std::numeric_limits<Sample>::max()}));
    pool.ParallelFor(pixelCount_, 1 << 16, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            // A saturating subtraction in the samples' own width (one instruction for 16 or 8 of them).
            const Sample light = raw[i] > floor ? static_cast<Sample>(raw[i] - floor) : Sample{0};
            const uint32_t v = (uint32_t{light} * gains[i] + half) >> shift;
            out[i] = static_cast<uint16_t>(std::min<uint32_t>(v, kFullScale));
        }
    });
    FillDefects(out);
}

void PreProcessor::Run(const uint8_t* raw, uint16_t* out, ThreadPool& pool, double black) const {
    RunAny(raw, out, pool, black);
}

void PreProcessor::Run(const uint16_t* raw, uint16_t* out, ThreadPool& pool, double black) const {
    RunAny(raw, out, pool, black);
}

template <typename Sample>
double PreProcessor::EstimateBlackAny(const Sample* raw) const {
    std::vector<float> dark(gaps_.size());
    for (size_t k = 0; k < gaps_.size(); ++k) {
        dark[k] = raw[gaps_[k]];
    }
    return Median(dark);
}

double PreProcessor::EstimateBlack(const uint8_t* raw) const { return EstimateBlackAny(raw); }

double PreProcessor::EstimateBlack(const uint16_t* raw) const { return EstimateBlackAny(raw); }

}  // namespace Vy::Engine
