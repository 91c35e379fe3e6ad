// Backward ray tracer of the focused light-field camera: each raw pixel sends
// stratified samples through a point of its microlens (thin lens), past the
// main aperture (where vignetting happens) and through the thin main lens into
// the scene. Geometry follows runtime/CameraModel.h.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <opencv2/core.hpp>
#include <vector>

#include "CCalibration.h"
#include "CameraFaults.h"
#include "CameraModel.h"
#include "Scene.h"

namespace Vy::Synth {

struct RenderOptions {
    int samples = 8;                  // rays per pixel, stratified over pixel area and lens aperture
    int threads = 2;                  // render threads
    double whiteLevel = 200.0;        // raw level of an unvignetted pixel at a lens centre seeing albedo 1
    double electronsPerLevel = 32.0;  // shot noise: variance (levels^2) = level / electronsPerLevel
    double readNoise = 0.8;           // levels (standard deviation)
    bool noise = true;
    // Significant bits of the raw data (8, or 10..16 in 16-bit samples). Levels and
    // noise above are in 8-bit units; deeper data is the same exposure on a finer scale.
    int bits = 8;
    CameraFaults faults;       // none by default
    uint64_t patternSeed = 1;  // draws the fixed patterns: pixel gains and offsets, defects, lens spreads
};

class SyntheticCamera {
public:
    SyntheticCamera(const CCalibration& calibration, const RenderOptions& options);

    const CCalibration& calibration() const { return calibration_; }
    const RenderOptions& options() const { return options_; }

    // Noise-free linear exposure in raw levels (not quantised).
    cv::Mat1f expose(const Scene& scene) const;
    // The raw frame (8-bit, or 16-bit samples for bits > 8): exposure plus shot and read noise drawn from (seed,
    // frame).
    cv::Mat render(const Scene& scene, uint64_t seed, uint32_t frame) const;
    // A uniformly lit white scene (albedo 1) with the noise of an average of 16 exposures.
    cv::Mat renderWhite(uint64_t seed) const;
    // Turns an exposure into the converter's output: stray light and crosstalk,
    // the pixels' gains, offsets and defects, the black level, shot, read and
    // row noise (the random parts scaled by noiseScale), quantised to options().bits.
    cv::Mat quantise(const cv::Mat1f& exposure, uint64_t seed, uint32_t frame, double noiseScale) const;

    // Backward trace of one sample from sensor position (px) through the lens
    // point lensCentre + lensOffset (px) of a microlens whose 1 / focal length is
    // microFocalScale times the calibration's. False when the main aperture
    // stops it; weight is the sample's cos^4 factor.
    bool traceSample(double sensorX, double sensorY, double lensCentreX, double lensCentreY, double lensOffsetX,
                     double lensOffsetY, Ray& ray, double& weight, double microFocalScale = 1.0) const;
    // A scene ray leaving the main lens, bent by the lens's radial distortion:
    // the scene is seen at 1 / (1 + distortion (s / s_corner)^2) of its lateral
    // position at every distance, s the ray's slope and s_corner that of the
    // chief ray to the sensor corner. Unchanged without distortion.
    Ray distorted(Ray ray) const;

    // Centre (px) of the lens whose micro-image cell holds pixel (x, y).
    void lensCentreOfPixel(int x, int y, double& cx, double& cy) const;

    // Runs fn(row) for rows 0..rows-1 on the render threads.
    void forEachRow(int rows, const std::function<void(int)>& fn) const;

private:
    // Lens (k, l) whose micro-image centre lies nearest to sensor position p.
    void nearestMicroImage(Model::Point p, int& k, int& l) const;
    // Light a pixel receives through its lenses from the scene along `samples` stratified
    // rays: the sum of the passing rays' cos^4 weights and of weight * radiance.
    struct PixelLight {
        double weight = 0.0;
        double radiance = 0.0;
    };
    PixelLight tracePixel(const Scene& scene, int x, int y, int samples) const;
    // out: the row's exposure. A frame's few rays say which scene points a pixel sees; how much
    // of the main aperture it sees through its lens (the vignetting) comes from whiteLight_, the
    // white image's many rays. A handful of rays would misjudge a partly vignetted pixel's share
    // by up to a quarter, fixed per pixel, which no real sensor does.
    void exposeRow(const Scene& scene, int y, float* out) const;
    // The white image's exposure: every ray sees radiance 1.
    void exposeWhiteRow(int y, float* out) const;
    // Where a lens really sits and how strong it is, when the microlenses spread or differ by type.
    struct ActualLens {
        float x, y;        // centre, px
        float focalScale;  // 1 / focal length relative to the calibration's type 0
    };
    void buildLensTable();
    const ActualLens& actualLens(int k, int l) const;
    // The exposure with stray light and crosstalk added.
    cv::Mat1f scatterLight(const cv::Mat1f& exposure) const;

    CCalibration calibration_;
    RenderOptions options_;
    double exposureGain_ = 1.0;  // levels per unit of mean cos^4-weighted radiance
    double perB_ = 1.0;          // reciprocals of B, the microlens and the main lens focal lengths
    double perMicroFocal_ = 1.0;
    double perMainFocal_ = 1.0;
    std::vector<float> lensX_;  // lens centre of each pixel, row-major
    std::vector<float> lensY_;
    // Micro-images are the images of the main aperture through the microlenses:
    // centred growth_ * (c - principal point) further out than their lens c,
    // apertureImage_ pixels in radius; near a cell's rim a neighbour's may reach in too.
    double growth_ = 0.0;
    double apertureImage_ = 0.0;
    double ringX_[6] = {}, ringY_[6] = {};  // offsets of the first-ring neighbours (px)
    // With spread microlenses or several types: each pixel's lens (k, l) and every lens's actual figures.
    std::vector<int32_t> lensK_, lensL_;
    std::vector<ActualLens> lensTable_;
    int tableK0_ = 0, tableL0_ = 0, tableColumns_ = 0, tableRows_ = 0;
    double distortionK_ = 0.0;  // distortion / s_corner^2
    int whiteSamples_ = 1;      // rays per pixel of the white image
    // The white image's exposure (radiance 1 everywhere), traced on first use.
    const cv::Mat1f& whiteLight() const;
    mutable std::once_flag whiteOnce_;
    mutable cv::Mat1f whiteLight_;
};

}  // namespace Vy::Synth
