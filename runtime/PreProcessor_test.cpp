// Frames as a real sensor gives them: a black level under the light, and hot
// and dead pixels. The engine's results must match those of the clean frame.
#include "engine/PreProcessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "CCudaCompute.h"
#include "IImageAccess.h"
#include "VyTypes.h"
#include "engine/SyntheticPlane.h"

namespace {

using namespace Vy::Engine;

constexpr int32_t kSide = 384;
constexpr double kBrightness = 200.0;
constexpr int kBlack = 12;

struct Results {
    std::vector<uint16_t> pre;
    std::vector<float> depth;
    std::vector<uint16_t> focus;
};

class DirtyFrames : public ::testing::Test {
protected:
    void SetUp() override {
        calibration_ = Synthetic::MakeCalibration(kSide);
        clean_ = Synthetic::RenderPlane(calibration_, 3.6, Synthetic::Texture, kBrightness);
        white_ = Synthetic::RenderPlane(
            calibration_, 3.6, [](double, double) { return 1.0; }, kBrightness);
    }

    // The frame with the black level added: light on top of it, noise of +-2 in the dark.
    static CVyImage WithBlack(const CVyImage& frame) {
        CVyImage dirty = frame;
        auto* p = static_cast<uint8_t*>(dirty.GetPixelDataForWrite());
        uint32_t state = 99;
        for (size_t i = 0; i < dirty.GetByteSize(); ++i) {
            state = state * 1664525u + 1013904223u;
            const int noise = p[i] == 0 ? static_cast<int>((state >> 16) % 5) - 2 : 0;
            p[i] = static_cast<uint8_t>(std::clamp(p[i] + kBlack + noise, 0, 255));
        }
        return dirty;
    }

    // Lit pixels well inside their micro-images, spread over the sensor.
    std::vector<size_t> InteriorPixels(size_t count, size_t skip) const {
        std::vector<size_t> pixels;
        const LensGrid grid(calibration_);
        for (size_t k = skip; k < grid.Lenses().size() && pixels.size() < count; k += 7) {
            const Lens& lens = grid.Lenses()[k];
            if (lens.inside) {
                pixels.push_back(static_cast<size_t>(lens.cy + 3) * kSide + lens.cx - 2);
            }
        }
        return pixels;
    }

    Results Run(const CCalibration& c, const std::vector<CVyImage>& frames, const CVyImage& white) {
        CCudaCompute engine;
        engine.ApplyCalibration(c, true);
        if (!white.IsEmpty()) {
            engine.SetWhiteImage(white);
        }
        auto* access = static_cast<IImageAccess*>(engine.GetInterface(1));
        Results r;
        for (const CVyImage& frame : frames) {
            engine.UploadRawImage(frame);
            engine.Compute_PreProcess();
            engine.Compute_DepthRay();
            engine.Compute_DepthMap(LF::Space_VirtualImage);
            engine.Compute_TotalFocus(LF::Space_VirtualImage);
        }
        CVyImage pre, depth, focus;
        access->GetImage(Vy::ImageIdPreProcessed, pre);
        access->GetImage(Vy::ImageIdVirtualDepth, depth);
        access->GetImage(Vy::ImageIdTotalFocus, focus);
        const auto* p = static_cast<const uint16_t*>(pre.GetPixelData());
        r.pre.assign(p, p + static_cast<size_t>(pre.GetWidth()) * pre.GetHeight());
        const auto* d = static_cast<const float*>(depth.GetPixelData());
        r.depth.assign(d, d + static_cast<size_t>(depth.GetWidth()) * depth.GetHeight());
        const auto* f = static_cast<const uint16_t*>(focus.GetPixelData());
        r.focus.assign(f, f + static_cast<size_t>(focus.GetWidth()) * focus.GetHeight());
        return r;
    }

    // Lit pixels more than the outlier step above every lit neighbour.
    static size_t StandingOut(const std::vector<uint16_t>& out, const std::vector<uint16_t>& gains) {
        size_t count = 0;
        for (int32_t y = 1; y + 1 < kSide; ++y) {
            for (int32_t x = 1; x + 1 < kSide; ++x) {
                const size_t at = static_cast<size_t>(y) * kSide + x;
                int hi = -1;
                for (int32_t dy = -1; dy <= 1; ++dy) {
                    for (int32_t dx = -1; dx <= 1; ++dx) {
                        const size_t n = at + static_cast<size_t>(dy * kSide + dx);
                        if ((dx != 0 || dy != 0) && gains[n] != 0) {
                            hi = std::max<int>(hi, out[n]);
                        }
                    }
                }
                count += gains[at] != 0 && hi >= 0 && out[at] > hi + PreProcessor::kOutlierStep;
            }
        }
        return count;
    }

    // Share of output pixels whose depth differs by more than 1 % (or is valid in one only).
    static double DepthMismatch(const Results& a, const Results& b) {
        size_t off = 0;
        for (size_t i = 0; i < a.depth.size(); ++i) {
            const float x = a.depth[i], y = b.depth[i];
            off += (x > 0.0f) != (y > 0.0f) || std::fabs(x - y) > 0.01f * std::max(x, y);
        }
        return double(off) / a.depth.size();
    }

    static double FocusPsnr(const Results& a, const Results& b) {
        double sum = 0.0;
        for (size_t i = 0; i < a.focus.size(); ++i) {
            const double d = double(a.focus[i]) - b.focus[i];
            sum += d * d;
        }
        return 10.0 * std::log10(double{Vy::kFullScale14} * Vy::kFullScale14 / std::max(1e-9, sum / a.focus.size()));
    }

    CCalibration calibration_;
    CVyImage clean_, white_;
};

// Without a black level in the calibration it comes from the gaps between the
// micro-images, of the frames and of the white image alike; given, it is used
// as it is. Either way the results are the clean frame's.
TEST_F(DirtyFrames, BlackLevelIsEstimatedOrTakenFromTheCalibration) {
    const LensGrid grid(calibration_);
    PreProcessor pre;
    pre.Build(calibration_, grid, CVyImage(), 0.15, 1.0);
    const CVyImage dirty = WithBlack(clean_);
    EXPECT_NEAR(pre.EstimateBlack(static_cast<const uint8_t*>(dirty.GetPixelData())), kBlack, 0.5);
    EXPECT_NEAR(pre.EstimateBlack(static_cast<const uint8_t*>(clean_.GetPixelData())), 0.0, 0.5);

    for (const bool withWhite : {false, true}) {
        SCOPED_TRACE(withWhite ? "with a white image" : "without a white image");
        const CVyImage white = withWhite ? WithBlack(white_) : CVyImage();
        const Results clean = Run(calibration_, {clean_}, withWhite ? white_ : CVyImage());
        const Results estimated = Run(calibration_, {dirty}, white);
        EXPECT_EQ(estimated.pre, clean.pre);
        EXPECT_LT(DepthMismatch(estimated, clean), 0.001);
        CCalibration known = calibration_;
        known.blackLevel = kBlack;
        const Results given = Run(known, {dirty}, white);
        EXPECT_EQ(given.pre, clean.pre);
        // Not subtracting it is what the estimate saves the results from.
        known.blackLevel = 0.0;
        const Results ignored = Run(known, {dirty}, white);
        EXPECT_NE(ignored.pre, clean.pre);
    }
}

// Dead pixels show in the white image, hot ones stand out in the first frame;
// a listed pixel is filled whatever it reads. Filled from their neighbours, the
// depth map and total focus of the first frame match the clean frame's.
TEST_F(DirtyFrames, DefectivePixelsAreFoundAndFilled) {
    const std::vector<size_t> dead = InteriorPixels(40, 0);
    // Hot pixels read full scale; on the brightest texture that is within the
    // outlier step of the neighbours, and no more harmful than the noise there.
    std::vector<size_t> hot;
    for (size_t at : InteriorPixels(80, 3)) {
        if (static_cast<const uint8_t*>(clean_.GetPixelData())[at] < 110) {
            hot.push_back(at);
        }
    }
    ASSERT_GT(hot.size(), 20u);
    const std::vector<size_t> listed = InteriorPixels(10, 5);
    CVyImage white = white_;
    CVyImage frame = clean_;
    auto* w = static_cast<uint8_t*>(white.GetPixelDataForWrite());
    auto* f = static_cast<uint8_t*>(frame.GetPixelDataForWrite());
    for (size_t at : dead) {
        w[at] = 0;
        f[at] = 0;
    }
    for (size_t at : hot) {
        f[at] = 255;
    }
    CCalibration c = calibration_;
    for (size_t at : listed) {
        f[at] = static_cast<uint8_t>(255 - f[at]);
        c.defectivePixels.emplace_back(static_cast<int32_t>(at % kSide), static_cast<int32_t>(at / kSide));
    }

    const LensGrid grid(c);
    PreProcessor pre;
    pre.Build(c, grid, white, 0.15, 1.0);
    std::vector<size_t> found = pre.Defects();
    auto has = [&](size_t at) { return std::find(found.begin(), found.end(), at) != found.end(); };
    for (size_t at : dead) {
        EXPECT_TRUE(has(at)) << "dead pixel " << at;
    }
    for (size_t at : listed) {
        EXPECT_TRUE(has(at)) << "listed pixel " << at;
    }
    EXPECT_EQ(found.size(), dead.size() + listed.size());
    // Hot pixels are found on the first frame, filled in it already, and no sound pixel is.
    std::vector<uint16_t> out(static_cast<size_t>(kSide) * kSide);
    ThreadPool pool(2);
    pre.Run(static_cast<const uint8_t*>(frame.GetPixelData()), out.data(), pool);
    EXPECT_EQ(pre.LearnDefects(out.data(), pool), hot.size());
    found = pre.Defects();
    for (size_t at : hot) {
        EXPECT_TRUE(has(at)) << "hot pixel " << at;
        EXPECT_LT(out[at], Vy::kFullScale14 * 0.8) << "hot pixel " << at << " left as it is";
    }
    EXPECT_EQ(found.size(), dead.size() + listed.size() + hot.size());
    for (int k = 1; k < PreProcessor::kLearnFrames; ++k) {
        pre.Run(static_cast<const uint8_t*>(frame.GetPixelData()), out.data(), pool);
        EXPECT_EQ(pre.LearnDefects(out.data(), pool), 0u) << "frame " << k;
    }

    // So the engine's first frame matches the clean one.
    const Results clean = Run(calibration_, {clean_}, white_);
    const Results dirty = Run(c, {frame}, white);
    EXPECT_LT(DepthMismatch(dirty, clean), 0.005);
    EXPECT_GT(FocusPsnr(dirty, clean), 45.0);
    // The same pixels left as they are spoil both.
    const Results spoilt = Run(calibration_, {frame}, CVyImage());
    EXPECT_LT(FocusPsnr(spoilt, clean), FocusPsnr(dirty, clean) - 3.0);
}

// The scenes' own texture never looks like a defect.
TEST_F(DirtyFrames, CleanFramesHaveNoDefects) {
    const LensGrid grid(calibration_);
    PreProcessor pre;
    pre.Build(calibration_, grid, white_, 0.15, 1.0);
    std::vector<uint16_t> out(static_cast<size_t>(kSide) * kSide);
    ThreadPool pool(2);
    for (int k = 0; k < PreProcessor::kLearnFrames; ++k) {
        const double v = 2.2 + 0.35 * k;
        const CVyImage frame = Synthetic::RenderPlane(
            calibration_, v, [](double x, double y) { return std::sin(x * 0.9) * std::cos(y * 0.8) > 0 ? 0.9 : 0.1; },
            kBrightness);
        pre.Run(static_cast<const uint8_t*>(frame.GetPixelData()), out.data(), pool);
        EXPECT_EQ(pre.LearnDefects(out.data(), pool), 0u) << "v " << v;
    }
    EXPECT_TRUE(pre.Defects().empty());
}

}  // namespace

// Small bright beads on a dark wall, standing still: their pixels stand out
// as far as a hot pixel's, on the same pixels frame after frame, but the
// neighbouring micro-images show them too.
TEST_F(DirtyFrames, StillBeadsAreNotTakenForDefects) {
    for (const double v : {2.6, 3.4, 4.4}) {
        for (const double radius : {1.5, 3.0, 5.0}) {
            const auto scene = [&](double x, double y) {
                // Beads on a lattice of 40 virtual pixels.
                const double dx = std::remainder(x, 40.0), dy = std::remainder(y + 0.37 * x, 40.0);
                return dx * dx + dy * dy < radius * radius ? 1.0 : 0.05;
            };
            // Each pixel takes the mean over its area.
            const CVyImage frame = Synthetic::RenderScene(
                calibration_,
                [&](Vy::Model::Point lens, Vy::Model::Point d) {
                    double sum = 0.0;
                    for (int k = 0; k < 16; ++k) {
                        const double ox = (k % 4 - 1.5) / 4.0, oy = (k / 4 - 1.5) / 4.0;
                        sum += scene(lens.x + v * (d.x + ox), lens.y + v * (d.y + oy));
                    }
                    return sum / 16.0;
                },
                kBrightness);
            const LensGrid grid(calibration_);
            PreProcessor pre;
            pre.Build(calibration_, grid, white_, 0.15, 1.0);
            std::vector<uint16_t> out(static_cast<size_t>(kSide) * kSide);
            ThreadPool pool(2);
            pre.Run(static_cast<const uint8_t*>(frame.GetPixelData()), out.data(), pool);
            const size_t standing = StandingOut(out, pre.Gains());
            for (int k = 0; k < PreProcessor::kLearnFrames; ++k) {
                pre.Run(static_cast<const uint8_t*>(frame.GetPixelData()), out.data(), pool);
                pre.LearnDefects(out.data(), pool);
            }
            // A few of them, where the sensor's edge or the rim hides the neighbours' views, do
            // not weigh: one pixel filled in one micro-image of many.
            SCOPED_TRACE("v " + std::to_string(v) + ", radius " + std::to_string(radius));
            EXPECT_GT(standing, 50u);
            EXPECT_LE(pre.Defects().size(), standing / 50) << standing << " stand out";
        }
    }
}
