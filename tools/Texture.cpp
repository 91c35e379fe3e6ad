#include "Texture.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

namespace Vy::Synth {

Texture Texture::randomPattern(int width, int height, uint64_t seed, float mean, float contrast) {
    // Octaves (blur sigma in texels, weight): nothing finer than about three
    // texels, because the microlenses blur finer detail away off their sharpest depth.
    constexpr struct {
        double sigma;
        double weight;
    } kOctaves[] = {{1.5, 0.4}, {3.0, 0.6}, {6.0, 1.0}, {12.0, 0.6}};
    cv::RNG rng(seed ^ 0x5DEECE66DULL);
    cv::Mat1f sum(height, width, 0.0f);
    for (const auto& octave : kOctaves) {
        cv::Mat1f noise(height, width);
        rng.fill(noise, cv::RNG::UNIFORM, -1.0, 1.0);
        cv::GaussianBlur(noise, noise, cv::Size(), octave.sigma, octave.sigma, cv::BORDER_REFLECT);
        cv::Scalar m, s;
        cv::meanStdDev(noise, m, s);
        if (s[0] > 0) sum += (noise - m[0]) * (octave.weight / s[0]);
    }
    cv::Scalar m, s;
    cv::meanStdDev(sum, m, s);
    Texture t;
    t.texels_ = (sum - m[0]) * (contrast / (s[0] > 0 ? s[0] : 1.0)) + mean;
    cv::max(t.texels_, 0.02, t.texels_);
    cv::min(t.texels_, 0.98, t.texels_);
    return t;
}

Texture Texture::checkerboard(int width, int height, uint64_t seed, double originU, double originV, double squareTexels,
                              int columns, int rows) {
    constexpr float kLight = 0.78f, kDark = 0.14f;
    // The fine pattern on both shades: +-0.1 on the light, less on the dark (it stays dark).
    const Texture grain = randomPattern(width, height, seed, 0.5f, 0.1f);
    constexpr int kSub = 4;  // samples per texel side: the squares' edges are anti-aliased
    Texture t;
    t.texels_.create(height, width);
    for (int j = 0; j < height; ++j) {
        for (int i = 0; i < width; ++i) {
            int dark = 0;
            for (int sj = 0; sj < kSub; ++sj)
                for (int si = 0; si < kSub; ++si) {
                    const double u = (i + (si + 0.5) / kSub - originU) / squareTexels;
                    const double v = (j + (sj + 0.5) / kSub - originV) / squareTexels;
                    if (u < 0 || v < 0 || u >= columns || v >= rows) continue;
                    if (((static_cast<int>(u) + static_cast<int>(v)) & 1) == 0) ++dark;
                }
            const float share = static_cast<float>(dark) / (kSub * kSub);
            const float n = grain.texels_(j, i) - 0.5f;
            const float albedo = (1.0f - share) * (kLight + n) + share * (kDark + 0.4f * n);
            t.texels_(j, i) = std::clamp(albedo, 0.02f, 0.98f);
        }
    }
    return t;
}

Texture Texture::uniform(float albedo) {
    Texture t;
    t.uniform_ = albedo;
    return t;
}

}  // namespace Vy::Synth
