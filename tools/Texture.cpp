#include "Texture.h"

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

Texture Texture::uniform(float albedo) {
    Texture t;
    t.uniform_ = albedo;
    return t;
}

}  // namespace Vy::Synth
