#include "DepthScale.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "Snapshot.h"
#include "engine/DepthColorMap.h"

namespace DepthScale {
namespace {

constexpr int kTicks = 5;  // labelled distances, both ends included

std::string millimetres(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f mm", value);
    return text;
}

}  // namespace

cv::Mat bar(int height, double nearMm, double farMm) {
    height = std::max(height, 64);
    // Text scales with the picture so the labels stay readable when the window shrinks it.
    const double fontScale = std::max(0.4, height / 1024.0);
    const int thickness = std::max(1, static_cast<int>(std::lround(fontScale * 1.5)));
    int baseline = 0;
    const cv::Size label = cv::getTextSize(millimetres(std::max(nearMm, farMm)), cv::FONT_HERSHEY_SIMPLEX, fontScale,
                                           thickness, &baseline);
    const int stripe = std::max(16, height / 24);
    const int margin = label.height;
    cv::Mat scale(height, stripe + label.width + 3 * stripe / 2, CV_8UC3, cv::Scalar(32, 32, 32));
    const int top = margin, bottom = height - margin;
    for (int y = top; y < bottom; ++y) {
        const float t = static_cast<float>(y - top) / std::max(1, bottom - top - 1);
        const Vy::Engine::Bgr colour = Vy::Engine::DepthColor(t);
        scale(cv::Rect(stripe / 4, y, stripe, 1)).setTo(cv::Scalar(colour.b, colour.g, colour.r));
    }
    for (int i = 0; i < kTicks; ++i) {
        const double t = static_cast<double>(i) / (kTicks - 1);
        const int y = top + static_cast<int>(std::lround(t * (bottom - top - 1)));
        cv::line(scale, {stripe / 4 + stripe, y}, {stripe / 4 + stripe + stripe / 3, y}, cv::Scalar(255, 255, 255),
                 thickness);
        cv::putText(scale, millimetres(nearMm + t * (farMm - nearMm)), {stripe + stripe / 2 + 2, y + label.height / 2},
                    cv::FONT_HERSHEY_SIMPLEX, fontScale, cv::Scalar(255, 255, 255), thickness, cv::LINE_AA);
    }
    return scale;
}

cv::Mat besidePicture(const cv::Mat& picture, const cv::Mat& scale) {
    cv::Mat both(picture.rows, picture.cols + scale.cols, CV_8UC3, cv::Scalar(32, 32, 32));
    picture.copyTo(both(cv::Rect(0, 0, picture.cols, picture.rows)));
    const int rows = std::min(picture.rows, scale.rows);
    scale(cv::Rect(0, 0, scale.cols, rows)).copyTo(both(cv::Rect(picture.cols, 0, scale.cols, rows)));
    return both;
}

std::string writePng(const std::string& path, double nearMm, double farMm, std::string& error) {
    const bool png = path.ends_with(".png");
    const std::string claimed =
        Snapshot::claimFreeNames(png ? path.substr(0, path.size() - 4) : path, {png ? ".png" : ""}, error);
    if (claimed.empty()) {
        return {};
    }
    const std::string written = claimed + (png ? ".png" : "");
    try {
        if (cv::imwrite(written, bar(512, nearMm, farMm))) {
            return written;
        }
        error = "not written";
    } catch (const cv::Exception& exception) {
        error = exception.what();
    }
    std::remove(written.c_str());
    return {};
}

}  // namespace DepthScale
