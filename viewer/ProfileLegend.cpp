#include "ProfileLegend.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace Viewer {
namespace {

const cv::Scalar kGreen(0, 255, 0);  // as the measurement draws them
const cv::Scalar kRed(0, 0, 255);
const cv::Scalar kText(230, 230, 230);
const cv::Scalar kStrip(32, 32, 32);
constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;

std::string counted(int count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

struct Piece {
    std::string text;
    cv::Scalar colour;
};

std::vector<Piece> legendPieces(int ellipses, int circles, int rejected) {
    return {{counted(ellipses + circles, "accepted", "accepted") + ": ", kText},
            {counted(ellipses, "ellipse", "ellipses") + " (green)", kGreen},
            {", ", kText},
            {counted(circles, "circle", "circles") + " (red, too few points to fit)", kRed},
            {"; " + counted(rejected, "rejected", "rejected") + " (not drawn)", kText}};
}

}  // namespace

std::string profileLegendText(int ellipses, int circles, int rejected) {
    std::string text;
    for (const Piece& piece : legendPieces(ellipses, circles, rejected)) text += piece.text;
    return text;
}

cv::Mat withProfileLegend(const cv::Mat& picture, int ellipses, int circles, int rejected) {
    // The line fills the width at most; the window scales the whole, so it is sized to the picture.
    const std::vector<Piece> pieces = legendPieces(ellipses, circles, rejected);
    int baseline = 0;
    const cv::Size unit = cv::getTextSize(profileLegendText(ellipses, circles, rejected), kFont, 1.0, 1, &baseline);
    const double scale = std::clamp(0.96 * picture.cols / std::max(1, unit.width), 0.2, 1.0);
    const int strip = static_cast<int>(unit.height * scale * 2.0) + 4;
    cv::Mat both(picture.rows + strip, picture.cols, CV_8UC3, kStrip);
    picture.copyTo(both(cv::Rect(0, 0, picture.cols, picture.rows)));
    cv::Point at(static_cast<int>(0.02 * picture.cols),
                 picture.rows + strip / 2 + static_cast<int>(unit.height * scale / 2));
    for (const Piece& piece : pieces) {
        cv::putText(both, piece.text, at, kFont, scale, piece.colour, 1, cv::LINE_AA);
        at.x += cv::getTextSize(piece.text, kFont, scale, 1, &baseline).width;
    }
    return both;
}

}  // namespace Viewer
