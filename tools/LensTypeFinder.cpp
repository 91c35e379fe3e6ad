#include "LensTypeFinder.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <sstream>

#include "CameraModel.h"

namespace Vy::Synth {
namespace {

constexpr double kBin = 0.125;       // px of radius per profile bin
constexpr double kReachShare = 0.8;  // of the plateau's brightness: where a rim is said to start

// Mean brightness by radius around every micro-image centre, pooled per lattice class
// and per half of the lenses (even and odd rows, spread alike over the sensor), out to
// the micro-image radius.
struct Profiles {
    std::vector<std::vector<double>> sum, count;  // [half * n + class][bin]
    int lenses = 0;
};

Profiles measureProfiles(const CCalibration& c, const cv::Mat& white) {
    const int n = c.microLensTypes;
    CCalibration lattice = c;  // its lens types are the lattice classes
    lattice.lensTypeOffset = 0;
    const double outer = 1.05 * c.microImageRadius;
    const int bins = static_cast<int>(outer / kBin) + 1;
    Profiles p;
    p.sum.assign(2 * n, std::vector<double>(bins, 0.0));
    p.count = p.sum;
    const int reach = static_cast<int>(std::ceil(outer));
    const int rows = static_cast<int>(std::ceil(2.0 * c.sensorHeight / (std::sqrt(3.0) * c.lensPitch))) + 4;
    const int cols = static_cast<int>(std::ceil(double(c.sensorWidth) / c.lensPitch)) + 4;
    for (int l = -2; l < rows; ++l)
        for (int k = -2; k < cols; ++k) {
            const auto centre = Vy::Model::microImageCentre(c, Vy::Model::lensCentre(c, k, l));
            const int cx = static_cast<int>(std::lround(centre.x)), cy = static_cast<int>(std::lround(centre.y));
            if (cx - reach < 0 || cy - reach < 0 || cx + reach >= white.cols || cy + reach >= white.rows) continue;
            const int slot = (l % 2 == 0 ? 0 : n) + Vy::Model::lensType(lattice, k, l);
            ++p.lenses;
            for (int y = cy - reach; y <= cy + reach; ++y)
                for (int x = cx - reach; x <= cx + reach; ++x) {
                    const double r = std::hypot(x - centre.x, y - centre.y);
                    if (r >= outer) continue;
                    const int b = static_cast<int>(r / kBin);
                    p.sum[slot][b] += white.depth() == CV_16U ? white.at<uint16_t>(y, x) : white.at<uint8_t>(y, x);
                    p.count[slot][b] += 1.0;
                }
        }
    return p;
}

// Radius where a pooled profile first falls below kReachShare of its plateau (the
// inner half of the radius); 0 where it never does.
double brightReach(const std::vector<double>& sum, const std::vector<double>& count, double radius) {
    double plateau = 0.0, plateauCount = 0.0;
    for (size_t b = 0; b < sum.size(); ++b)
        if ((b + 0.5) * kBin < 0.5 * radius) {
            plateau += sum[b];
            plateauCount += count[b];
        }
    if (plateauCount <= 0.0 || plateau <= 0.0) return 0.0;
    const double level = kReachShare * plateau / plateauCount;
    double previous = -1.0;
    for (size_t b = 0; b < sum.size(); ++b) {
        if (count[b] <= 0.0) continue;
        const double value = sum[b] / count[b];
        if (previous >= level && value < level) return (b - 0.5 + (previous - level) / (previous - value)) * kBin;
        previous = value;
    }
    return 0.0;
}

}  // namespace

LensTypeFit fitLensTypes(const CCalibration& calibration, const cv::Mat& white) {
    LensTypeFit fit;
    fit.calibration = calibration;
    const int n = calibration.microLensTypes;
    if (n <= 1 || white.empty()) return fit;
    const Profiles p = measureProfiles(calibration, white);
    fit.lenses = p.lenses;
    fit.brightReach.assign(n, 0.0);
    for (int cls = 0; cls < n; ++cls) {
        std::vector<double> sum = p.sum[cls], count = p.count[cls];
        for (size_t b = 0; b < sum.size(); ++b) {
            sum[b] += p.sum[n + cls][b];
            count[b] += p.count[n + cls][b];
        }
        fit.brightReach[cls] = brightReach(sum, count, calibration.microImageRadius);
        const double even = brightReach(p.sum[cls], p.count[cls], calibration.microImageRadius);
        const double odd = brightReach(p.sum[n + cls], p.count[n + cls], calibration.microImageRadius);
        fit.noise = std::max(fit.noise, std::abs(even - odd));
    }
    // Classes by reach, furthest first; focal lengths shortest first.
    std::vector<int> classes(n), types(n);
    std::iota(classes.begin(), classes.end(), 0);
    std::iota(types.begin(), types.end(), 0);
    std::sort(classes.begin(), classes.end(), [&](int a, int b) { return fit.brightReach[a] > fit.brightReach[b]; });
    std::sort(types.begin(), types.end(),
              [&](int a, int b) { return calibration.LensFocalLength(a) < calibration.LensFocalLength(b); });
    double gap = 1e9;
    for (int i = 0; i + 1 < n; ++i) gap = std::min(gap, fit.brightReach[classes[i]] - fit.brightReach[classes[i + 1]]);
    const bool distinctLengths = std::adjacent_find(types.begin(), types.end(), [&](int a, int b) {
                                     return calibration.LensFocalLength(a) == calibration.LensFocalLength(b);
                                 }) == types.end();
    fit.decided = distinctLengths && fit.brightReach[classes[n - 1]] > 0.0 && gap >= kRimMinimum &&
                  gap >= kRimSeparation * fit.noise;
    if (!fit.decided) return fit;
    CCalibration placed = calibration;
    placed.lensTypeOffset = 0;
    double* lengths[3] = {&placed.microLensFocalLength, &placed.microLensFocalLength1, &placed.microLensFocalLength2};
    for (int i = 0; i < n; ++i) *lengths[classes[i]] = calibration.LensFocalLength(types[i]);
    for (int l = 0; l < 2 && !fit.changed; ++l)
        for (int k = 0; k < n; ++k)
            if (Vy::Model::lensFocalLength(placed, k, l) != Vy::Model::lensFocalLength(calibration, k, l))
                fit.changed = true;
    fit.calibration = fit.changed ? placed : calibration;
    return fit;
}

std::string describeLensTypeFit(const LensTypeFit& fit) {
    const CCalibration& c = fit.calibration;
    const auto rounded = [](double x) { return std::lround(x * 1000) / 1000.0; };
    std::ostringstream line;
    line << "lens types: rims of " << fit.lenses << " micro-images reach";
    for (size_t cls = 0; cls < fit.brightReach.size(); ++cls)
        line << (cls ? ", " : " ") << rounded(fit.brightReach[cls]);
    line << " px by lattice class (even and odd rows differ by " << rounded(fit.noise) << "); ";
    if (!fit.decided) {
        line << "too close to tell the types apart, the calibration's placement kept (lensTypeOffset "
             << c.lensTypeOffset << ")";
        return line.str();
    }
    line << (fit.changed ? "focal lengths placed by them" : "the calibration's placement agrees")
         << ": lenses (0, 0), (1, 0), (2, 0) " << c.LensFocalLength(Vy::Model::lensType(c, 0, 0)) << ", "
         << c.LensFocalLength(Vy::Model::lensType(c, 1, 0)) << ", " << c.LensFocalLength(Vy::Model::lensType(c, 2, 0))
         << " mm";
    return line.str();
}

}  // namespace Vy::Synth
