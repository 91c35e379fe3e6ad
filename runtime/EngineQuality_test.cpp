// The engine against frames of textured planes at known virtual depths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "CCudaCompute.h"
#include "IImageAccess.h"
#include "VyTypes.h"
#include "engine/SyntheticPlane.h"

namespace {

using namespace Vy::Engine;

constexpr int32_t kSide = 512;
constexpr double kBrightness = 250.0;

struct Frame {
    CVyImage virtualDepth;
    CVyImage totalFocus;
};

class EngineQuality : public ::testing::Test {
protected:
    void SetUp() override {
        calibration_ = Synthetic::MakeCalibration(kSide);
        engine_.ApplyCalibration(calibration_, true);
        access_ = static_cast<IImageAccess*>(engine_.GetInterface(1));
    }

    // Uniform sensor noise of amplitude `noise` (grey levels) on lit pixels, drawn from `state`.
    static void AddNoise(CVyImage& raw, int noise, uint32_t state) {
        auto* p = static_cast<uint8_t*>(raw.GetPixelDataForWrite());
        for (size_t i = 0; noise > 0 && i < raw.GetByteSize(); ++i) {
            state = state * 1664525u + 1013904223u;
            const int n = static_cast<int>((state >> 16) % (2 * noise + 1)) - noise;
            p[i] = p[i] == 0 ? 0 : static_cast<uint8_t>(std::clamp(p[i] + n, 0, 255));
        }
    }

    // noise: amplitude (grey levels) of uniform sensor noise on lit pixels.
    Frame Run(double v, int noise = 0) {
        CVyImage raw = Synthetic::RenderPlane(calibration_, v, Synthetic::Texture, kBrightness);
        AddNoise(raw, noise, 12345);
        engine_.UploadRawImage(raw);
        engine_.Compute_PreProcess();
        engine_.Compute_DepthRay();
        engine_.Compute_DepthMap(LF::Space_VirtualImage);
        engine_.Compute_TotalFocus(LF::Space_VirtualImage);
        Frame frame;
        access_->GetImage(Vy::ImageIdVirtualDepth, frame.virtualDepth);
        access_->GetImage(Vy::ImageIdTotalFocus, frame.totalFocus);
        return frame;
    }

    // Output pixels far enough from the sensor edge that every lens around them is whole.
    template <typename Visit>
    void ForInterior(const CVyImage& image, Visit visit) {
        const int scale = kSide / image.GetWidth();
        const int margin = static_cast<int>(3 * calibration_.lensPitch / scale);
        for (int32_t j = margin; j < image.GetHeight() - margin; ++j) {
            for (int32_t i = margin; i < image.GetWidth() - margin; ++i) {
                visit(i, j, scale);
            }
        }
    }

    double Psnr(const CVyImage& image, double v) {
        const auto* p = static_cast<const uint16_t*>(image.GetPixelData());
        double sum = 0.0;
        size_t count = 0;
        ForInterior(image, [&](int32_t i, int32_t j, int scale) {
            const double truth = Synthetic::Texture(scale * (i + 0.5), scale * (j + 0.5)) * kBrightness / 255.0;
            const double d = p[j * image.GetWidth() + i] / double{Vy::kFullScale14} - truth;
            sum += d * d;
            ++count;
        });
        (void)v;
        return 10.0 * std::log10(1.0 / (sum / count));
    }

    CCalibration calibration_;
    CCudaCompute engine_;
    IImageAccess* access_ = nullptr;
};

TEST_F(EngineQuality, DepthMapFindsThePlaneDepth) {
    for (const auto& [v, noise] : {std::pair{2.6, 0}, {3.5, 0}, {4.8, 0}, {6.5, 0}, {3.2, 4}, {5.5, 4}}) {
        const Frame frame = Run(v, noise);
        const auto* depth = static_cast<const float*>(frame.virtualDepth.GetPixelData());
        std::vector<double> errors;
        size_t total = 0;
        ForInterior(frame.virtualDepth, [&](int32_t i, int32_t j, int) {
            ++total;
            const float d = depth[j * frame.virtualDepth.GetWidth() + i];
            if (d > 0.0f) {
                errors.push_back(std::fabs(d - v) / v);
            }
        });
        ASSERT_GT(errors.size(), total * 9 / 10) << "v = " << v;
        std::nth_element(errors.begin(), errors.begin() + errors.size() / 2, errors.end());
        EXPECT_LT(errors[errors.size() / 2], 0.01) << "v = " << v;
        const auto far = std::count_if(errors.begin(), errors.end(), [](double e) { return e > 0.05; });
        EXPECT_LT(far, static_cast<long>(errors.size() / 10)) << "v = " << v;
        const double psnr = Psnr(frame.totalFocus, v);
        EXPECT_GT(psnr, 30.0) << "v = " << v;
        std::printf("noise %d v %.2f median error %.4f outliers %ld/%zu total focus PSNR %.1f dB\n", noise, v,
                    errors[errors.size() / 2], static_cast<long>(far), errors.size(), psnr);
    }
}

// Micro-images 3 % further out than their lenses (11 px at the corners, about
// the micro-image radius): the outer lenses must still get depths and a sharp
// total focus, the lenses near the rim as well as those in the middle.
TEST_F(EngineQuality, MicroImagesOffTheirLensesKeepDepthAndFocus) {
    calibration_.exitPupilDistance = calibration_.mlaToSensor / 0.03;
    engine_.ApplyCalibration(calibration_, true);
    const double v = 3.5;
    const Frame frame = Run(v);
    const auto* depth = static_cast<const float*>(frame.virtualDepth.GetPixelData());
    const auto* focus = static_cast<const uint16_t*>(frame.totalFocus.GetPixelData());
    size_t outer = 0, outerValid = 0, outerOff = 0;
    double squares = 0.0;
    size_t valid = 0;
    ForInterior(frame.virtualDepth, [&](int32_t i, int32_t j, int scale) {
        const size_t at = static_cast<size_t>(j) * frame.virtualDepth.GetWidth() + i;
        const double x = scale * (i + 0.5), y = scale * (j + 0.5);
        const bool isOuter = std::max(std::fabs(x - kSide / 2.0), std::fabs(y - kSide / 2.0)) > 0.3 * kSide;
        outer += isOuter;
        if (depth[at] > 0.0f) {
            outerValid += isOuter;
            outerOff += isOuter && std::fabs(depth[at] - v) / v > 0.05;
            const double truth = Synthetic::Texture(x, y) * kBrightness / 255.0;
            squares += (focus[at] / double{Vy::kFullScale14} - truth) * (focus[at] / double{Vy::kFullScale14} - truth);
            ++valid;
        }
    });
    ASSERT_GT(outer, 0u);
    EXPECT_GT(outerValid, outer * 9 / 10);
    EXPECT_LT(outerOff, outerValid / 20);
    const double psnr = 10.0 * std::log10(valid / squares);
    EXPECT_GT(psnr, 30.0);
    std::printf("micro-images off their lenses: outer band %zu of %zu valid, %zu more than 5%% off; PSNR %.1f dB\n",
                outerValid, outer, outerOff, psnr);
}

// A near plane (right half of the virtual image) in front of a far one: only a
// thin band along the edge may miss, and the total focus stays faithful.
TEST_F(EngineQuality, DepthEdgesStayThin) {
    const double farV = 2.8, nearV = 4.6, edge = kSide / 2.0;
    auto nearTexture = [](double x, double y) { return Synthetic::Texture(0.8 * x + 100.0, 0.8 * y); };
    engine_.UploadRawImage(Synthetic::RenderScene(
        calibration_,
        [&](Vy::Model::Point c, Vy::Model::Point d) {
            const double xNear = c.x + nearV * d.x;
            return xNear > edge ? nearTexture(xNear, c.y + nearV * d.y)
                                : Synthetic::Texture(c.x + farV * d.x, c.y + farV * d.y);
        },
        kBrightness));
    engine_.Compute_PreProcess();
    engine_.Compute_DepthRay();
    engine_.Compute_DepthMap(LF::Space_VirtualImage);
    engine_.Compute_TotalFocus(LF::Space_VirtualImage);
    CVyImage depth, focus;
    access_->GetImage(Vy::ImageIdVirtualDepth, depth);
    access_->GetImage(Vy::ImageIdTotalFocus, focus);
    const auto* d = static_cast<const float*>(depth.GetPixelData());
    const auto* f = static_cast<const uint16_t*>(focus.GetPixelData());
    size_t valid = 0, off = 0, total = 0;
    double squares = 0.0;
    ForInterior(depth, [&](int32_t i, int32_t j, int scale) {
        const double x = scale * (i + 0.5), y = scale * (j + 0.5);
        const bool isNear = x > edge;
        const size_t at = static_cast<size_t>(j) * depth.GetWidth() + i;
        ++total;
        if (d[at] > 0.0f) {
            ++valid;
            const double truth = isNear ? nearV : farV;
            off += std::fabs(d[at] - truth) / truth > 0.05;
            const double t = (isNear ? nearTexture(x, y) : Synthetic::Texture(x, y)) * kBrightness / 255.0;
            squares += (f[at] / double{Vy::kFullScale14} - t) * (f[at] / double{Vy::kFullScale14} - t);
        }
    });
    EXPECT_GT(valid, total * 9 / 10);
    EXPECT_LT(off, valid / 20);
    const double psnr = 10.0 * std::log10(valid / squares);
    EXPECT_GT(psnr, 30.0);
    std::printf("two planes: %zu of %zu valid pixels more than 5%% off, total focus PSNR %.1f dB\n", off, valid, psnr);
}

}  // namespace

namespace {

// Small bright discs (2.5 output px in radius, about a fifth of a lens pitch)
// floating in front of a darker textured wall: each micro-image shows a disc as a
// blob a few pixels across among the wall's texture, so a match of the whole
// micro-image finds the wall or nothing. The discs must get their own depth,
// and the wall around them must keep its own.
class SmallDiscs : public EngineQuality {
protected:
    static constexpr double kWallV = 2.8, kDiscV = 4.2;

    void SetUp() override {
        EngineQuality::SetUp();
        // A grid of discs at every phase against the lens grid, two pitches or more apart.
        for (double y = 110.0; y < kSide - 100.0; y += 61.3) {
            for (double x = 104.0; x < kSide - 100.0; x += 57.7) {
                discs_.push_back({x, y});
            }
        }
    }

    double NearestDisc(double x, double y) const {
        double best = 1e30;
        for (const auto& d : discs_) {
            best = std::min(best, std::hypot(x - d.x - shift_.x, y - d.y - shift_.y));
        }
        return best;
    }

    // The depth map of the scene; noise: amplitude (grey levels) of uniform
    // sensor noise on lit pixels, drawn from `seed`. A pixel takes the share of
    // its area that a disc covers (4 x 4 points across it), as a sensor pixel
    // gathers light: a disc sampled at pixel centres only would grow and shrink
    // by whole pixels as it moves, which no camera shows.
    CVyImage Depth(int noise, uint32_t seed) {
        CVyImage raw = Synthetic::RenderScene(
            calibration_,
            [&](Vy::Model::Point c, Vy::Model::Point d) {
                const double wall = 0.2 + 0.4 * Synthetic::Texture(c.x + kWallV * d.x, c.y + kWallV * d.y);
                // Only pixels on a disc's rim are partly covered (a pixel spans
                // kDiscV sensor pixels at the discs' depth).
                const double centre = NearestDisc(c.x + kDiscV * d.x, c.y + kDiscV * d.y);
                if (centre > radius_ + kDiscV) {
                    return wall;
                }
                if (centre < radius_ - kDiscV) {
                    return 0.95;
                }
                constexpr int kPoints = 4;
                int covered = 0;
                for (int sy = 0; sy < kPoints; ++sy) {
                    for (int sx = 0; sx < kPoints; ++sx) {
                        const double px = d.x + (sx + 0.5) / kPoints - 0.5, py = d.y + (sy + 0.5) / kPoints - 0.5;
                        covered += NearestDisc(c.x + kDiscV * px, c.y + kDiscV * py) <= radius_;
                    }
                }
                return wall + (0.95 - wall) * covered / double{kPoints * kPoints};
            },
            kBrightness);
        AddNoise(raw, noise, seed);
        engine_.UploadRawImage(raw);
        engine_.Compute_PreProcess();
        engine_.Compute_DepthRay();
        engine_.Compute_DepthMap(LF::Space_VirtualImage);
        CVyImage depth;
        access_->GetImage(Vy::ImageIdVirtualDepth, depth);
        return depth;
    }

    // Per disc: the relative error of the median of its inner pixels' depths,
    // as a particle measurement takes it.
    std::vector<double> DiscErrors(const CVyImage& depth) const {
        const auto* map = static_cast<const float*>(depth.GetPixelData());
        const int scale = kSide / depth.GetWidth();
        std::vector<double> errors;
        for (const auto& disc : discs_) {
            std::vector<float> inside;
            for (int32_t j = 0; j < depth.GetHeight(); ++j) {
                for (int32_t i = 0; i < depth.GetWidth(); ++i) {
                    const double x = scale * (i + 0.5) - disc.x - shift_.x, y = scale * (j + 0.5) - disc.y - shift_.y;
                    if (std::hypot(x, y) <= radius_ - scale) {
                        inside.push_back(map[static_cast<size_t>(j) * depth.GetWidth() + i]);
                    }
                }
            }
            if (inside.empty()) {
                ADD_FAILURE() << "a disc covers no output pixel";
                return errors;
            }
            std::nth_element(inside.begin(), inside.begin() + inside.size() / 2, inside.end());
            errors.push_back((inside[inside.size() / 2] - kDiscV) / kDiscV);
        }
        return errors;
    }

    // The median over discs of each disc's standard deviation over the frames.
    static double MedianScatter(const std::vector<std::vector<double>>& frames) {
        const double n = static_cast<double>(frames.size());
        std::vector<double> scatter;
        for (size_t k = 0; k < frames.front().size(); ++k) {
            double sum = 0.0, sum2 = 0.0;
            for (const auto& errors : frames) {
                sum += errors[k];
                sum2 += errors[k] * errors[k];
            }
            const double mean = sum / n;
            scatter.push_back(std::sqrt(std::max(0.0, (sum2 - n * mean * mean) / (n - 1))));
        }
        std::nth_element(scatter.begin(), scatter.begin() + scatter.size() / 2, scatter.end());
        return scatter[scatter.size() / 2];
    }

    // The median scatter of the discs' depths, without noise, as they slide by
    // fractions of a pixel over five positions.
    double ScatterAsTheyMove() {
        std::vector<std::vector<double>> frames;
        for (int k = 0; k < 5; ++k) {
            shift_ = {0.7 * k, 0.45 * k};
            frames.push_back(DiscErrors(Depth(0, 0)));
            if (frames.back().size() != discs_.size()) {
                ADD_FAILURE() << "a disc without a depth at position " << k;
                return 1.0;
            }
        }
        return MedianScatter(frames);
    }

    std::vector<Vy::Model::Point> discs_;
    double radius_ = 5.0;           // in the virtual image, sensor pixels
    Vy::Model::Point shift_{0, 0};  // of every disc from where SetUp put it
};

TEST_F(SmallDiscs, SmallBrightDiscsInFrontOfAWallGetTheirOwnDepth) {
    ASSERT_GE(discs_.size(), 25u);
    const CVyImage depth = Depth(0, 0);
    const std::vector<double> errors = DiscErrors(depth);
    const auto found = std::count_if(errors.begin(), errors.end(), [](double e) { return std::fabs(e) <= 0.05; });
    EXPECT_GE(static_cast<size_t>(found), discs_.size() * 9 / 10) << "discs at their own depth";
    // The wall a lens pitch or more from every disc.
    const auto* map = static_cast<const float*>(depth.GetPixelData());
    const int scale = kSide / depth.GetWidth();
    size_t wall = 0, wallOff = 0;
    ForInterior(depth, [&](int32_t i, int32_t j, int) {
        const double x = scale * (i + 0.5), y = scale * (j + 0.5);
        if (NearestDisc(x, y) < radius_ + calibration_.lensPitch) {
            return;
        }
        ++wall;
        const float d = map[static_cast<size_t>(j) * depth.GetWidth() + i];
        wallOff += !(std::fabs(d - kWallV) / kWallV <= 0.05);
    });
    EXPECT_LT(wallOff, wall / 50) << "wall pixels off their depth";
    std::printf("small discs: %ld of %zu at their depth; wall %zu of %zu pixels more than 5%% off\n",
                static_cast<long>(found), discs_.size(), wallOff, wall);
}

// Under sensor noise each disc's depth scatters from frame to frame, as a
// particle's does along its track: the scatter of each disc's depth over
// several noisy frames of the same scene must stay small.
TEST_F(SmallDiscs, SmallDiscDepthsStaySteadyUnderNoise) {
    constexpr int kFrames = 4;
    std::vector<std::vector<double>> frames;
    for (uint32_t seed = 1; seed <= kFrames; ++seed) {
        frames.push_back(DiscErrors(Depth(6, seed * 7919u)));
        ASSERT_EQ(frames.back().size(), discs_.size());
    }
    double squares = 0.0;
    for (const auto& errors : frames) {
        for (const double e : errors) {
            squares += e * e;
        }
    }
    const double rms = std::sqrt(squares / (kFrames * discs_.size()));
    const double typical = MedianScatter(frames);
    std::printf("noisy small discs: rms error %.5f, median scatter over frames %.5f\n", rms, typical);
    // Each disc's depth is the mean of the lenses that see it: 0.83 % and 0.145 %
    // here, 1.16 % and 0.23 % when each lens keeps its own.
    EXPECT_LT(rms, 0.010);
    EXPECT_LT(typical, 0.0019);
}

// Small discs (compact blobs in each micro-image) moving sideways by fractions
// of a pixel, as particles do from frame to frame: without noise each disc's
// depth must stay put wherever its blob falls between pixels.
TEST_F(SmallDiscs, SmallDiscDepthsStayPutAsTheyMove) {
    radius_ = 4.0;
    const double typical = ScatterAsTheyMove();
    std::printf("moving small discs: median scatter over positions %.5f\n", typical);
    // 0.204 %; 0.255 % when the neighbours' samples are interpolated bilinearly.
    EXPECT_LT(typical, 0.0023);
}

// Discs a few pixels across in each micro-image (too many pixels for a compact
// blob: the whole disc's match gives their depth) moving sideways by fractions
// of a pixel, as particles do from frame to frame: without noise each disc's
// depth must stay put, whichever pixel rows and columns its edges fall on.
TEST_F(SmallDiscs, LargerDiscDepthsStayPutAsTheyMove) {
    radius_ = 18.0;
    const double typical = ScatterAsTheyMove();
    std::printf("moving larger discs: median scatter over positions %.5f\n", typical);
    // 0.173 %; 0.204 % when the refinement compares every second row.
    EXPECT_LT(typical, 0.0019);
}

}  // namespace
