#include "PreProcessor.h"

#include <algorithm>
#include <cmath>
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
        const float brightest = *std::max_element(whiteLevel.begin(), whiteLevel.end());
        whiteFloor = std::max(static_cast<float>(rawMax / 510.0), static_cast<float>(whiteMinimum) * brightest);
    }

    rawBits_ = rawBits;
    pixelCount_ = static_cast<size_t>(w) * h;
    std::vector<float> gains(pixelCount_, 0.0f);
    std::vector<float> nearest(pixelCount_, 1e30f);
    const double radius = std::max(0.0, c.microImageRadius - margin);
    // 8-bit data keeps its cap (1023); deeper data is bounded by the white floor or the model alone,
    // and the step below is chosen to fit its largest gain.
    const double maxGain = rawBits == 8 ? 65535.0 / kGainOne : 65535.0;
    double largest = 0.0;
    for (const Lens& lens : grid.Lenses()) {
        const int32_t x0 = std::max(0, static_cast<int32_t>(std::floor(lens.image.x - radius)));
        const int32_t x1 = std::min(w - 1, static_cast<int32_t>(std::ceil(lens.image.x + radius)));
        const int32_t y0 = std::max(0, static_cast<int32_t>(std::floor(lens.image.y - radius)));
        const int32_t y1 = std::min(h - 1, static_cast<int32_t>(std::ceil(lens.image.y + radius)));
        for (int32_t y = y0; y <= y1; ++y) {
            for (int32_t x = x0; x <= x1; ++x) {
                const double dx = x + 0.5 - lens.image.x;
                const double dy = y + 0.5 - lens.image.y;
                const double r = std::sqrt(dx * dx + dy * dy);
                const size_t at = static_cast<size_t>(y) * w + x;
                if (r > radius || r >= nearest[at]) {
                    continue;
                }
                nearest[at] = static_cast<float>(r);
                double gain = 0.0;
                if (whiteLevel.empty()) {
                    gain = kFullScale / rawMax / Model::microImageFalloff(c, r);
                } else if (whiteLevel[at] >= whiteFloor) {
                    gain = kFullScale / whiteLevel[at];
                }
                gains[at] = static_cast<float>(std::min(maxGain, gain));
                largest = std::max(largest, double(gains[at]));
            }
        }
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
}

template <typename Sample>
void PreProcessor::RunAny(const Sample* raw, uint16_t* out, ThreadPool& pool) const {
    const uint16_t* gains = gains_.data();
    const int shift = shift_;
    // A 16-bit sample times a 16-bit gain plus the rounding half (at most 2^15) stays below 2^32.
    const uint32_t half = shift > 0 ? uint32_t{1} << (shift - 1) : 0;
    pool.ParallelFor(pixelCount_, 1 << 16, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            const uint32_t v = (uint32_t{raw[i]} * gains[i] + half) >> shift;
            out[i] = static_cast<uint16_t>(std::min<uint32_t>(v, kFullScale));
        }
    });
}

void PreProcessor::Run(const uint8_t* raw, uint16_t* out, ThreadPool& pool) const { RunAny(raw, out, pool); }

void PreProcessor::Run(const uint16_t* raw, uint16_t* out, ThreadPool& pool) const { RunAny(raw, out, pool); }

}  // namespace Vy::Engine
