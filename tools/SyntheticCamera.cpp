#include "SyntheticCamera.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <numbers>
#include <numeric>
#include <opencv2/imgproc.hpp>
#include <thread>

#include "CVyException.h"
#include "CameraModel.h"
#include "RandomHash.h"

namespace Vy::Synth {

namespace {
constexpr double kGoldenAngle = 2.399963229728653;

struct LensPoint {
    double x, y;
};

// Evenly spread points on the lens disc (a sunflower pattern): point j sits in
// the j-th ring of equal area.
std::vector<LensPoint> lensPoints(int n, double radius) {
    std::vector<LensPoint> points(n);
    for (int j = 0; j < n; ++j) {
        const double r = radius * std::sqrt((j + 0.5) / n);
        points[j] = {r * std::cos(j * kGoldenAngle), r * std::sin(j * kGoldenAngle)};
    }
    return points;
}

// (k, l) steps to the first-ring neighbours from a lens in an even row.
constexpr int kRing[6][2] = {{1, 0}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}};

// Hot pixels' dark signal, levels.
constexpr double kHotMinimum = 30.0;
constexpr double kHotRange = 190.0;
// The stray-light glow is 1 + kGlowSlope (1 - 3 r^2) times its mean, r the distance from the optical axis
// over the half diagonal: 1.25 on the axis, 0.5 at the corners, 1 on average over the sensor.
constexpr double kGlowSlope = 0.25;

// Keys that separate the fixed patterns drawn from one seed.
constexpr uint64_t kPixelPatternKey = 0x3C6EF372FE94F82BULL;
constexpr uint64_t kLensPatternKey = 0xA54FF53A5F1D36F1ULL;
constexpr uint64_t kRowNoiseKey = 0x510E527FADE682D1ULL;

int coprimeStride(int n, int wanted) {
    for (int s = std::max(1, wanted); s < n + wanted; ++s)
        if (std::gcd(s, n) == 1) return s;
    return 1;
}
}  // namespace

SyntheticCamera::SyntheticCamera(const CCalibration& calibration, const RenderOptions& options)
    : calibration_(calibration), options_(options) {
    const std::string problem = calibration_.Problem();
    if (!problem.empty()) throw CVyException("SyntheticCamera", "calibration", problem);
    if (options_.samples < 1 || options_.samples > 1024)
        throw CVyException("SyntheticCamera", "samples", "must be 1..1024");
    if (options_.bits != 8 && (options_.bits < 10 || options_.bits > 16))
        throw CVyException("SyntheticCamera", "bits " + std::to_string(options_.bits), "must be 8 or 10..16");
    options_.threads = std::clamp(options_.threads, 1, 64);
    // A pixel at a lens centre receives mean(cos^4) = 1 / (1 + a^2 / B^2) of
    // the on-axis irradiance over a lens of radius a; scale that to whiteLevel.
    const double a = 0.5 * calibration_.lensPitch * calibration_.pixelSize;
    const double b = calibration_.mlaToSensor;
    exposureGain_ = options_.whiteLevel * (1.0 + a * a / (b * b));
    perB_ = 1.0 / b;
    perMicroFocal_ = 1.0 / calibration_.microLensFocalLength;
    perMainFocal_ = 1.0 / calibration_.mainFocalLength;

    // The aperture sits at the thin main lens: that is the exit pupil.
    growth_ = calibration_.mlaToSensor / calibration_.mainLensToMla;
    apertureImage_ = 0.5 * calibration_.mainApertureDiameter * growth_ / calibration_.pixelSize;
    const Model::Point origin = Model::lensCentre(calibration_, 0, 0);
    for (int d = 0; d < 6; ++d) {
        const Model::Point n = Model::lensCentre(calibration_, kRing[d][0], kRing[d][1]);
        ringX_[d] = n.x - origin.x;
        ringY_[d] = n.y - origin.y;
    }
    const int w = calibration_.sensorWidth;
    const int h = calibration_.sensorHeight;
    lensX_.resize(static_cast<size_t>(w) * h);
    lensY_.resize(static_cast<size_t>(w) * h);
    // Spread lenses and multi-focus arrays keep a table of every lens's actual figures.
    const bool spread = options_.faults.lensFaults() || calibration_.microLensTypes > 1;
    if (spread) {
        lensK_.resize(lensX_.size());
        lensL_.resize(lensX_.size());
    }
    forEachRow(h, [&](int y) {
        for (int x = 0; x < w; ++x) {
            int k = 0, l = 0;
            nearestMicroImage({x + 0.5, y + 0.5}, k, l);
            const Model::Point c = Model::lensCentre(calibration_, k, l);
            const size_t i = static_cast<size_t>(y) * w + x;
            lensX_[i] = static_cast<float>(c.x);
            lensY_[i] = static_cast<float>(c.y);
            if (spread) {
                lensK_[i] = k;
                lensL_[i] = l;
            }
        }
    });
    if (spread) buildLensTable();
    if (options_.faults.distortion != 0.0) {
        const double corner = 0.5 * std::hypot(w, h) * calibration_.pixelSize / calibration_.mainLensToMla;
        distortionK_ = options_.faults.distortion / (corner * corner);
    }
    // More rays than a frame: the white image divides every frame later.
    whiteSamples_ = std::min(4 * options_.samples, 64);
}

const cv::Mat1f& SyntheticCamera::whiteLight() const {
    // Traced once, when a frame or the white image first needs it.
    std::call_once(whiteOnce_, [this] {
        whiteLight_.create(calibration_.sensorHeight, calibration_.sensorWidth);
        forEachRow(whiteLight_.rows, [this](int y) { exposeWhiteRow(y, whiteLight_.ptr<float>(y)); });
    });
    return whiteLight_;
}

void SyntheticCamera::buildLensTable() {
    const auto [kMin, kMax] = std::minmax_element(lensK_.begin(), lensK_.end());
    const auto [lMin, lMax] = std::minmax_element(lensL_.begin(), lensL_.end());
    // One lens more on every side: the first ring of the outermost lenses.
    tableK0_ = *kMin - 2;
    tableL0_ = *lMin - 2;
    tableColumns_ = *kMax - *kMin + 5;
    tableRows_ = *lMax - *lMin + 5;
    lensTable_.resize(static_cast<size_t>(tableColumns_) * tableRows_);
    const CameraFaults& f = options_.faults;
    const uint64_t key = hash64(options_.patternSeed * 0x9E3779B97F4A7C15ULL + kLensPatternKey);
    for (int row = 0; row < tableRows_; ++row)
        for (int column = 0; column < tableColumns_; ++column) {
            const int k = tableK0_ + column, l = tableL0_ + row;
            const uint64_t h =
                hash64(key ^ ((static_cast<uint64_t>(static_cast<uint32_t>(l)) << 32) | static_cast<uint32_t>(k)));
            double gx = 0.0, gy = 0.0, gf = 0.0, unused = 0.0;
            gaussianPairFromHash(h, gx, gy);
            gaussianPairFromHash(hash64(h), gf, unused);
            const Model::Point c = Model::lensCentre(calibration_, k, l);
            // Each lens refracts with its own type's focal length (relative to type 0's), spread or not.
            const double typeScale = calibration_.microLensFocalLength / Model::lensFocalLength(calibration_, k, l);
            lensTable_[static_cast<size_t>(row) * tableColumns_ + column] = {
                static_cast<float>(c.x + f.lensSpread * gx), static_cast<float>(c.y + f.lensSpread * gy),
                static_cast<float>(typeScale / std::max(0.5, 1.0 + f.focalSpread * gf))};
        }
    for (size_t i = 0; i < lensX_.size(); ++i) {
        const ActualLens& a = actualLens(lensK_[i], lensL_[i]);
        lensX_[i] = a.x;
        lensY_[i] = a.y;
    }
}

const SyntheticCamera::ActualLens& SyntheticCamera::actualLens(int k, int l) const {
    const int column = std::clamp(k - tableK0_, 0, tableColumns_ - 1);
    const int row = std::clamp(l - tableL0_, 0, tableRows_ - 1);
    return lensTable_[static_cast<size_t>(row) * tableColumns_ + column];
}

void SyntheticCamera::nearestMicroImage(Model::Point p, int& k, int& l) const {
    const double g = growth_;
    Model::nearestLens(
        calibration_,
        {(p.x + g * calibration_.principalX) / (1.0 + g), (p.y + g * calibration_.principalY) / (1.0 + g)}, k, l);
}

void SyntheticCamera::lensCentreOfPixel(int x, int y, double& cx, double& cy) const {
    const size_t i = static_cast<size_t>(y) * calibration_.sensorWidth + x;
    cx = lensX_[i];
    cy = lensY_[i];
}

void SyntheticCamera::forEachRow(int rows, const std::function<void(int)>& fn) const {
    // Each render thread takes the next band of rows from a shared counter and
    // writes only those rows of the output; the caller waits for all of them.
    constexpr int kBand = 4;
    std::atomic<int> next{0};
    auto work = [&] {
        for (int start = next.fetch_add(kBand); start < rows; start = next.fetch_add(kBand))
            for (int y = start; y < std::min(rows, start + kBand); ++y) fn(y);
    };
    std::vector<std::thread> threads;
    for (int t = 1; t < options_.threads; ++t) threads.emplace_back(work);
    work();
    for (std::thread& t : threads) t.join();
}

bool SyntheticCamera::traceSample(double sensorX, double sensorY, double lensCentreX, double lensCentreY,
                                  double lensOffsetX, double lensOffsetY, Ray& ray, double& weight,
                                  double microFocalScale) const {
    const CCalibration& c = calibration_;
    const double ps = c.pixelSize;
    // Lateral positions in mm from the optical axis; z grows towards the scene.
    const double sx = (sensorX - c.principalX) * ps;
    const double sy = (sensorY - c.principalY) * ps;
    const double hx = lensOffsetX * ps;  // height above the microlens centre
    const double hy = lensOffsetY * ps;
    const double qx = (lensCentreX - c.principalX) * ps + hx;
    const double qy = (lensCentreY - c.principalY) * ps + hy;
    double slopeX = (qx - sx) * perB_;
    double slopeY = (qy - sy) * perB_;
    const double tan2 = slopeX * slopeX + slopeY * slopeY;
    weight = 1.0 / ((1.0 + tan2) * (1.0 + tan2));
    // Thin microlens, then on to the main lens plane.
    const double perFocal = perMicroFocal_ * microFocalScale;
    slopeX -= hx * perFocal;
    slopeY -= hy * perFocal;
    const double mx = qx + slopeX * c.mainLensToMla;
    const double my = qy + slopeY * c.mainLensToMla;
    const double apertureRadius = 0.5 * c.mainApertureDiameter;
    if (mx * mx + my * my > apertureRadius * apertureRadius) return false;
    // Thin main lens.
    ray.ox = mx;
    ray.oy = my;
    ray.sx = slopeX - mx * perMainFocal_;
    ray.sy = slopeY - my * perMainFocal_;
    if (distortionK_ != 0.0) ray = distorted(ray);
    return true;
}

Ray SyntheticCamera::distorted(Ray ray) const {
    if (distortionK_ == 0.0) return ray;
    // Shrinking origin and slope alike moves the point the ray meets at any
    // distance sideways towards the axis without changing its distance, so the
    // depth of what a pixel sees is kept; the factor follows the ray's angle.
    const double scale = 1.0 / (1.0 + distortionK_ * (ray.sx * ray.sx + ray.sy * ray.sy));
    ray.ox *= scale;
    ray.oy *= scale;
    ray.sx *= scale;
    ray.sy *= scale;
    return ray;
}

SyntheticCamera::PixelLight SyntheticCamera::tracePixel(const Scene& scene, int x, int y, int samples) const {
    const CCalibration& c = calibration_;
    const int w = c.sensorWidth;
    thread_local std::vector<LensPoint> lensPattern;
    thread_local int patternSamples = 0;
    thread_local double patternRadius = 0.0;
    if (patternSamples != samples || patternRadius != 0.5 * c.lensPitch) {
        lensPattern = lensPoints(samples, 0.5 * c.lensPitch);
        patternSamples = samples;
        patternRadius = 0.5 * c.lensPitch;
    }
    const double reach = apertureImage_ + 0.75;  // a pixel partly inside an aperture image still gets some light
    const double inverseSamples = 1.0 / samples;
    const size_t index = static_cast<size_t>(y) * w + x;
    // The lens of the pixel's cell and those of its first ring whose aperture image reaches the pixel.
    double lensesX[7], lensesY[7], lensesFocal[7];
    int lensCount = 0;
    for (int d = -1; d < 6; ++d) {
        double cx = 0.0, cy = 0.0, focal = 1.0;
        if (lensTable_.empty()) {
            cx = lensX_[index] + (d < 0 ? 0.0 : ringX_[d]);
            cy = lensY_[index] + (d < 0 ? 0.0 : ringY_[d]);
        } else {
            // The ring's steps in k are from an even row; odd rows sit half a pitch on.
            const int l = lensL_[index];
            const int dl = d < 0 ? 0 : kRing[d][1];
            const int k = lensK_[index] + (d < 0 ? 0 : kRing[d][0] + (dl != 0 ? Model::positiveMod2(l) : 0));
            const ActualLens& a = actualLens(k, l + dl);
            cx = a.x;
            cy = a.y;
            focal = a.focalScale;
        }
        const double dx = x + 0.5 - (cx + growth_ * (cx - c.principalX));
        const double dy = y + 0.5 - (cy + growth_ * (cy - c.principalY));
        if (dx * dx + dy * dy <= reach * reach) {
            lensesX[lensCount] = cx;
            lensesY[lensCount] = cy;
            lensesFocal[lensCount++] = focal;
        }
    }
    PixelLight light;
    if (lensCount == 0) return light;
    // The sampling pattern is fixed per pixel, so frames differ only where the scene does.
    const uint64_t h = hash64(index * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL);
    const int shiftY = static_cast<int>(h % samples);
    const int shiftLens = static_cast<int>((h >> 16) % samples);
    const double rotation = unitFromHash(h) * 2.0 * std::numbers::pi;
    const double cosR = std::cos(rotation);
    const double sinR = std::sin(rotation);
    const int strideY = coprimeStride(samples, samples / 2 + 1);
    const int strideLens = coprimeStride(samples, samples / 3 + 1);
    for (int k = 0; k < samples; ++k) {
        const uint64_t hk = hash64(h + static_cast<uint64_t>(k) * 0xD1B54A32D192ED03ULL);
        const double px = x + (k + unitFromHash(hk)) * inverseSamples;
        const double py = y + ((k * strideY + shiftY) % samples + unitFromHash(hk >> 21)) * inverseSamples;
        const LensPoint& q = lensPattern[(k * strideLens + shiftLens) % samples];
        const double lx = cosR * q.x - sinR * q.y;
        const double ly = sinR * q.x + cosR * q.y;
        for (int n = 0; n < lensCount; ++n) {
            Ray ray;
            double weight = 0.0;
            if (!traceSample(px, py, lensesX[n], lensesY[n], lx, ly, ray, weight, lensesFocal[n])) continue;
            light.weight += weight;
            light.radiance += weight * scene.trace(ray).radiance;
        }
    }
    return light;
}

void SyntheticCamera::exposeWhiteRow(int y, float* out) const {
    Scene white;
    white.background = 1.0f;
    for (int x = 0; x < calibration_.sensorWidth; ++x)
        out[x] = static_cast<float>(exposureGain_ * tracePixel(white, x, y, whiteSamples_).weight / whiteSamples_);
}

void SyntheticCamera::exposeRow(const Scene& scene, int y, float* out) const {
    const float* white = whiteLight().ptr<float>(y);
    for (int x = 0; x < calibration_.sensorWidth; ++x) {
        if (white[x] <= 0.0f) {
            out[x] = 0.0f;
            continue;
        }
        PixelLight light = tracePixel(scene, x, y, options_.samples);
        // None of the frame's rays passed where the white image's did: the white's rays then.
        if (light.weight <= 0.0) light = tracePixel(scene, x, y, whiteSamples_);
        out[x] = light.weight > 0.0 ? static_cast<float>(white[x] * light.radiance / light.weight) : 0.0f;
    }
}

cv::Mat1f SyntheticCamera::expose(const Scene& scene) const {
    cv::Mat1f exposure(calibration_.sensorHeight, calibration_.sensorWidth);
    forEachRow(exposure.rows, [&](int y) { exposeRow(scene, y, exposure.ptr<float>(y)); });
    return exposure;
}

cv::Mat1f SyntheticCamera::scatterLight(const cv::Mat1f& exposure) const {
    const CameraFaults& f = options_.faults;
    cv::Mat1f light;
    if (f.crosstalk > 0.0) {
        cv::Mat1f spread;
        cv::GaussianBlur(exposure, spread, cv::Size(), f.crosstalkRadius, f.crosstalkRadius, cv::BORDER_REFLECT);
        cv::addWeighted(exposure, 1.0 - f.crosstalk, spread, f.crosstalk, 0.0, light);
    } else {
        light = exposure.clone();
    }
    if (f.strayLight > 0.0) {
        double sum = 0.0;  // in one order, so the glow does not depend on the thread count
        for (int y = 0; y < light.rows; ++y)
            for (int x = 0; x < light.cols; ++x) sum += light(y, x);
        const double glow = f.strayLight * sum / static_cast<double>(light.total());
        const double cx = calibration_.principalX, cy = calibration_.principalY;
        const double corner2 = 0.25 * (double(light.cols) * light.cols + double(light.rows) * light.rows);
        forEachRow(light.rows, [&](int y) {
            float* row = light.ptr<float>(y);
            for (int x = 0; x < light.cols; ++x) {
                const double r2 = ((x + 0.5 - cx) * (x + 0.5 - cx) + (y + 0.5 - cy) * (y + 0.5 - cy)) / corner2;
                row[x] += static_cast<float>(glow * (1.0 + kGlowSlope * (1.0 - 3.0 * r2)));
            }
        });
    }
    return light;
}

cv::Mat SyntheticCamera::quantise(const cv::Mat1f& exposure, uint64_t seed, uint32_t frame, double noiseScale) const {
    const bool deep = options_.bits > 8;
    cv::Mat raw(exposure.size(), deep ? CV_16UC1 : CV_8UC1);
    const bool noisy = options_.noise && noiseScale > 0.0;
    const uint64_t frameKey = hash64(seed * 0xA24BAED4963EE407ULL + frame + 1);
    const long top = (1L << options_.bits) - 1;
    const double scale = top / 255.0;
    const CameraFaults& f = options_.faults;
    const bool faulty = f.sensorFaults();
    const cv::Mat1f light = faulty ? scatterLight(exposure) : exposure;
    // Line noise: one offset per row and frame.
    std::vector<double> rowOffset(faulty ? exposure.rows : 0, 0.0);
    if (noisy && f.blackNoise > 0.0)
        for (int y = 0; y < exposure.rows; ++y) {
            double g = 0.0, unused = 0.0;
            gaussianPairFromHash(hash64(hash64(frameKey ^ kRowNoiseKey) + static_cast<uint64_t>(y)), g, unused);
            rowOffset[y] = noiseScale * f.blackNoise * g;
        }
    const uint64_t patternKey = hash64(options_.patternSeed * 0x9E3779B97F4A7C15ULL + kPixelPatternKey);
    forEachRow(exposure.rows, [&](int y) {
        const float* in = light.ptr<float>(y);
        for (int x = 0; x < exposure.cols; ++x) {
            double level = in[x];
            double dark = 0.0;
            if (faulty) {
                // Fixed per pixel and seed: gain, dark offset and whether the pixel is dead or hot.
                const uint64_t p = hash64(patternKey ^ (static_cast<uint64_t>(y) * exposure.cols + x));
                double gainNoise = 0.0, offsetNoise = 0.0;
                gaussianPairFromHash(p, gainNoise, offsetNoise);
                const uint64_t defect = hash64(p);
                const double u = unitFromHash(defect);
                const bool dead = u < f.deadPixels;
                const bool hot = !dead && u < f.deadPixels + f.hotPixels;
                level = dead ? 0.0 : level * std::max(0.0, 1.0 + f.prnu * gainNoise);
                dark = f.blackLevel + f.dsnu * offsetNoise + rowOffset[y] +
                       (hot ? kHotMinimum + kHotRange * unitFromHash(defect >> 21) : 0.0);
            }
            if (noisy) {
                const uint64_t h = hash64(frameKey ^ (static_cast<uint64_t>(y) * exposure.cols + x));
                const double shot = std::sqrt(std::max(level, 0.0) / options_.electronsPerLevel);
                double g1 = 0.0, g2 = 0.0;
                gaussianPairFromHash(h, g1, g2);
                level += noiseScale * (shot * g1 + options_.readNoise * g2);
            }
            if (faulty) level += dark;
            const long value = std::clamp(std::lround(level * scale), 0L, top);
            if (deep)
                raw.ptr<uint16_t>(y)[x] = static_cast<uint16_t>(value);
            else
                raw.ptr<uint8_t>(y)[x] = static_cast<uint8_t>(value);
        }
    });
    return raw;
}

cv::Mat SyntheticCamera::render(const Scene& scene, uint64_t seed, uint32_t frame) const {
    return quantise(expose(scene), seed, frame, 1.0);
}

cv::Mat SyntheticCamera::renderWhite(uint64_t seed) const { return quantise(whiteLight(), seed, 0xFFFFFFFFu, 0.25); }

}  // namespace Vy::Synth
