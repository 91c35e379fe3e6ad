// Test helper: white images and bright scene frames of a microlens array, rendered
// without the synthetic camera, so that the grid finder is proven on frames it did
// not shape. Micro-images are discs with a blurred rim, shaded around their lens's
// axis, dimmed towards the sensor's edge, area-sampled over each pixel, with shot
// and read noise, some lenses dark, and the micro-image grid wider than the lens
// grid about the principal point (each micro-image is the exit pupil seen through
// its lens).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

namespace Vy::Synth::TestImages {

struct LensArray {
    int width = 512, height = 512;
    bool square = false;
    double pitch = 24.0;    // px between lens centres
    double rotation = 0.0;  // rad
    double offsetX = 10.0;  // lens (0, 0), px
    double offsetY = 10.0;
    double principalX = 256.0, principalY = 256.0;
    double growth = 0.007;    // micro-images lie (1 + growth) times as far from the principal point as their lenses
    double radius = 11.0;     // px, lit disc
    double rimBlur = 0.8;     // px, sigma of the rim
    double shading = 2.5;     // brightness (1 + (d / (shading radius))^2)^-2 at distance d from the lens axis
    double falloff = 0.4;     // 1 - falloff at the corners
    bool clipToCell = false;  // micro-images cut by their lens's cell (touching lenses)
    double darkShare = 0.0;   // lenses dimmed to 0..50 %
    double peak = 3000.0;     // level at a bright micro-image's centre (12-bit data)
    double readNoise = 3.0;   // levels
    double blackLevel = 40.0;
    uint64_t seed = 1;

    // Centre of lens (i, j) in axial lattice coordinates, and of its micro-image.
    cv::Point2d lens(int i, int j) const {
        const double u = square ? i : i + 0.5 * j, w = square ? j : std::sqrt(3.0) / 2 * j;
        const double c = std::cos(rotation), s = std::sin(rotation);
        return {offsetX + pitch * (c * u - s * w), offsetY + pitch * (s * u + c * w)};
    }
    cv::Point2d microImage(int i, int j) const {
        const cv::Point2d l = lens(i, j);
        return {principalX + (l.x - principalX) * (1 + growth), principalY + (l.y - principalY) * (1 + growth)};
    }
    double microImagePitch() const { return pitch * (1 + growth); }
    // Every micro-image centre within the frame.
    std::vector<cv::Point2d> microImages() const {
        std::vector<cv::Point2d> out;
        forEachLens([&](int i, int j) {
            const cv::Point2d m = microImage(i, j);
            if (m.x >= 0 && m.y >= 0 && m.x < width && m.y < height) out.push_back(m);
        });
        return out;
    }
    template <typename F>
    void forEachLens(F f) const {
        const int span = static_cast<int>((width + height) / pitch) + 4;
        for (int j = -span; j <= span; ++j)
            for (int i = -2 * span; i <= 2 * span; ++i) {
                const cv::Point2d m = microImage(i, j);
                if (m.x > -pitch && m.y > -pitch && m.x < width + pitch && m.y < height + pitch) f(i, j);
            }
    }
};

// The light of one lens at sensor position p (before noise); texture(lx, ly) gives the
// scene's brightness at virtual position (lx, ly), or 1 for a white image.
template <typename Texture>
void addLens(const LensArray& a, int i, int j, double gain, Texture texture, cv::Mat1f& light, int oversample,
             int texturedSamples) {
    const cv::Point2d l = a.lens(i, j), m = a.microImage(i, j);
    const double reach = a.radius + 4 * a.rimBlur + 1;
    const int x0 = std::max(0, static_cast<int>(m.x - reach)),
              x1 = std::min(a.width - 1, static_cast<int>(m.x + reach));
    const int y0 = std::max(0, static_cast<int>(m.y - reach)),
              y1 = std::min(a.height - 1, static_cast<int>(m.y + reach));
    const double cornerX = std::max(a.principalX, a.width - a.principalX);
    const double cornerY = std::max(a.principalY, a.height - a.principalY);
    const double corner2 = cornerX * cornerX + cornerY * cornerY;
    const double rho = a.shading * a.radius;
    // Unit vectors of the lattice for the cell cut.
    const double c = std::cos(a.rotation), s = std::sin(a.rotation);
    const int directions = a.square ? 2 : 3;
    const auto at = [&](double px, double py) {
        const double r = std::hypot(px - m.x, py - m.y);
        double edge = 0.5 * std::erfc((r - a.radius) / (std::sqrt(2.0) * a.rimBlur));
        if (edge < 1e-6) return 0.0;
        if (a.clipToCell)
            for (int k = 0; k < directions; ++k) {
                const double t = k * (a.square ? 90.0 : 60.0) * M_PI / 180.0;
                const double nx = c * std::cos(t) - s * std::sin(t), ny = s * std::cos(t) + c * std::sin(t);
                const double along = std::abs((px - m.x) * nx + (py - m.y) * ny);
                edge *= 0.5 * std::erfc((along - 0.5 * a.microImagePitch()) / (std::sqrt(2.0) * a.rimBlur));
            }
        const double d2 = ((px - l.x) * (px - l.x) + (py - l.y) * (py - l.y)) / (rho * rho);
        const double f2 =
            ((px - a.principalX) * (px - a.principalX) + (py - a.principalY) * (py - a.principalY)) / corner2;
        return edge * (1 - a.falloff * f2) * texture(l.x + 2.5 * (l.x - px), l.y + 2.5 * (l.y - py)) /
               ((1 + d2) * (1 + d2));
    };
    // Away from the rim (and the cell's edge) the light is smooth across a pixel: one sample is its mean.
    const double sharp = 4 * a.rimBlur + 0.75;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            const double r = std::hypot(x + 0.5 - m.x, y + 0.5 - m.y);
            const bool nearRim = std::abs(r - a.radius) < sharp || (a.clipToCell && r > 0.5 * a.pitch - sharp);
            const int n = nearRim ? oversample : texturedSamples;
            double sum = 0;
            for (int sy = 0; sy < n; ++sy)
                for (int sx = 0; sx < n; ++sx) sum += at(x + (sx + 0.5) / n, y + (sy + 0.5) / n);
            sum /= n * n;
            light(y, x) += static_cast<float>(gain * sum);
        }
}

// Quantised 12-bit frame of the light with shot and read noise.
inline cv::Mat1w expose(const LensArray& a, const cv::Mat1f& light, std::mt19937_64& random) {
    std::normal_distribution<double> normal(0, 1);
    cv::Mat1w out(light.size());
    for (int y = 0; y < light.rows; ++y)
        for (int x = 0; x < light.cols; ++x) {
            const double level = a.peak * light(y, x) + 0.02 * a.peak;  // a little stray light in the gaps
            const double v = a.blackLevel + level + normal(random) * std::sqrt(a.readNoise * a.readNoise + level);
            out(y, x) = static_cast<uint16_t>(std::clamp(std::lround(v), 0L, 4095L));
        }
    return out;
}

template <typename Texture>
cv::Mat1w render(const LensArray& a, Texture texture, int texturedSamples) {
    std::mt19937_64 random(a.seed);
    std::uniform_real_distribution<double> unit(0, 1);
    cv::Mat1f light(a.height, a.width, 0.0f);
    const int oversample = a.pitch < 20 ? 4 : 3;
    a.forEachLens([&](int i, int j) {
        double gain = 1.0 + 0.02 * (unit(random) - 0.5);  // lens to lens, as the array is made
        if (unit(random) < a.darkShare) gain *= 0.5 * unit(random);
        addLens(a, i, j, gain, texture, light, oversample, texturedSamples);
    });
    return expose(a, light, random);
}

inline cv::Mat1w renderWhite(const LensArray& a) {
    return render(
        a, [](double, double) { return 1.0; }, 1);
}

// A bright scene frame: each micro-image shows its lens's view of a textured plane
// (blobs of all sizes on a bright ground), as a focused light-field camera does.
inline cv::Mat1w renderScene(const LensArray& a) {
    cv::theRNG().state = a.seed * 7 + 3;
    const int side = 512;
    cv::Mat1f fine(side, side), coarse(side / 16, side / 16);
    cv::randn(fine, 0, 1);
    cv::randn(coarse, 0, 1);
    cv::GaussianBlur(fine, fine, cv::Size(0, 0), 2.5, 0, cv::BORDER_REFLECT);
    cv::resize(coarse, coarse, fine.size(), 0, 0, cv::INTER_CUBIC);
    cv::Scalar mean, spread;
    cv::meanStdDev(fine, mean, spread);
    cv::Mat1f texture = 0.7 + 0.2 * fine / spread[0] + 0.1 * coarse;
    cv::max(texture, 0.15, texture);
    cv::min(texture, 1.3, texture);
    const auto at = [&](double x, double y) {
        const int ix = static_cast<int>(std::floor(x)), iy = static_cast<int>(std::floor(y));
        const int wx = ((ix % side) + side) % side, wy = ((iy % side) + side) % side;
        return static_cast<double>(texture(wy, wx));
    };
    LensArray b = a;
    b.seed = a.seed * 7 + 3;
    return render(b, at, 2);
}

}  // namespace Vy::Synth::TestImages
