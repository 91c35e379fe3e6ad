#include "ReferenceFocus.h"

#include <algorithm>
#include <cmath>

#include "CameraModel.h"
#include "VyTypes.h"

namespace Vy::Synth {

namespace {
float bilinear(const cv::Mat1f& image, double x, double y) {
    const double fx = x - 0.5, fy = y - 0.5;
    const int ix = static_cast<int>(std::floor(fx)), iy = static_cast<int>(std::floor(fy));
    if (ix < 0 || iy < 0 || ix + 1 >= image.cols || iy + 1 >= image.rows) return -1.0f;
    const float ax = static_cast<float>(fx - ix), ay = static_cast<float>(fy - iy);
    const float top = image(iy, ix) + ax * (image(iy, ix + 1) - image(iy, ix));
    const float bottom = image(iy + 1, ix) + ax * (image(iy + 1, ix + 1) - image(iy + 1, ix));
    return top + ay * (bottom - top);
}
}  // namespace

cv::Mat1w referenceFocus(const CCalibration& c, const cv::Mat& rawIn, const cv::Mat& whiteIn,
                         const cv::Mat1f& virtualDepth, int scale, double whiteMinimum) {
    // raw / white does not depend on the data's depth as long as both share it.
    cv::Mat1f raw, white;
    rawIn.convertTo(raw, CV_32F);
    whiteIn.convertTo(white, CV_32F);
    double brightest = 0.0;
    cv::minMaxLoc(white, nullptr, &brightest);
    const float floor = static_cast<float>(std::max(1.0, whiteMinimum * brightest));
    const double reachInImage = c.microImageRadius - 1.5;
    cv::Mat1w focus(virtualDepth.size(), 0);
    for (int j = 0; j < focus.rows; ++j)
        for (int i = 0; i < focus.cols; ++i) {
            const double v = virtualDepth(j, i);
            if (!(v > 1.0)) continue;
            const Model::Point x = Model::outputPixelCentre(i, j, scale);
            int k0 = 0, l0 = 0;
            Model::nearestLens(c, x, k0, l0);
            // Lenses further than v * reach (plus the micro-image's shift) from x cannot show the point
            // inside their micro-image.
            const double shift = Model::microImageGrowth(c) * std::hypot(x.x - c.principalX, x.y - c.principalY);
            const int rings = static_cast<int>(std::ceil(v * (reachInImage + shift) / c.lensPitch)) + 1;
            double sum = 0.0;
            double count = 0.0;
            for (int l = l0 - rings; l <= l0 + rings; ++l)
                for (int k = k0 - rings; k <= k0 + rings; ++k) {
                    const Model::Point lens = Model::lensCentre(c, k, l);
                    const Model::Point u = Model::projectToMicroImage(x, lens, v);
                    const Model::Point m = Model::microImageCentre(c, lens);
                    const double offCentre = std::hypot(u.x - m.x, u.y - m.y) / reachInImage;
                    if (offCentre > 1.0) continue;
                    const float w = bilinear(white, u.x, u.y);
                    if (w < floor) continue;
                    // Rims count less: there a defocused point is seen through part of the lens only.
                    const double weight = 1.0 - offCentre * offCentre;
                    sum += weight * bilinear(raw, u.x, u.y) / w;
                    count += weight;
                }
            if (count > 0.0)
                focus(j, i) = static_cast<uint16_t>(
                    std::clamp(std::lround(Vy::kFullScale14 * sum / count), 0L, long{Vy::kFullScale14}));
        }
    return focus;
}

}  // namespace Vy::Synth
