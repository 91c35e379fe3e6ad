// Albedo patterns painted on the scene's planes.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>

namespace Vy::Synth {

class Texture {
public:
    // Smooth random pattern with features of a few texels (several octaves of
    // blurred noise): albedo = mean + contrast * n, n of unit spread, clamped to [0.02, 0.98].
    static Texture randomPattern(int width, int height, uint64_t seed, float mean, float contrast);
    static Texture uniform(float albedo);
    // A checkerboard of columns x rows squares, each squareTexels across, its top-left corner at
    // texel coordinates (originU, originV), the top-left square dark; around it the board is light.
    // Both shades carry a fine random pattern (seed) so that a depth estimate has texture to match
    // everywhere, while the squares' contrast dominates for a corner detector.
    static Texture checkerboard(int width, int height, uint64_t seed, double originU, double originV,
                                double squareTexels, int columns, int rows);

    // Bilinear albedo at texel coordinates (texel (i, j) centre at (i + 0.5, j + 0.5)); edges repeat.
    float sample(double u, double v) const {
        if (texels_.empty()) return uniform_;
        const double fu = u - 0.5;
        const double fv = v - 0.5;
        int iu = static_cast<int>(std::floor(fu));
        int iv = static_cast<int>(std::floor(fv));
        const float au = static_cast<float>(fu - iu);
        const float av = static_cast<float>(fv - iv);
        const int w = texels_.cols;
        const int h = texels_.rows;
        const int u0 = clampIndex(iu, w), u1 = clampIndex(iu + 1, w);
        const int v0 = clampIndex(iv, h), v1 = clampIndex(iv + 1, h);
        const float* r0 = texels_.ptr<float>(v0);
        const float* r1 = texels_.ptr<float>(v1);
        const float top = r0[u0] + au * (r0[u1] - r0[u0]);
        const float bottom = r1[u0] + au * (r1[u1] - r1[u0]);
        return top + av * (bottom - top);
    }
    int width() const { return texels_.cols; }
    int height() const { return texels_.rows; }

private:
    static int clampIndex(int i, int n) { return i < 0 ? 0 : (i >= n ? n - 1 : i); }

    cv::Mat1f texels_;
    float uniform_ = 0.0f;
};

}  // namespace Vy::Synth
