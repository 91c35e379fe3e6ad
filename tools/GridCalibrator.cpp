#include "GridCalibrator.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <map>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "CVyException.h"
#include "CameraDesign.h"
#include "VyTypes.h"

namespace Vy::Synth {
namespace {

const double kRowHeight = std::sqrt(3.0) / 2.0;

void fail(const std::string& source, const std::string& reason) { throw CVyException("calibrate", source, reason); }

// Micro-images of a camera whose f-numbers match about touch: their lit discs
// end where the cells meet, and the usable radius is a margin inside that. It
// is the share of the lens pitch our camera design keeps (11.5 px at 24 px),
// so that a grid found in a white image gives the same rims, masks and
// matching discs as the camera's own calibration.
double usableShare() {
    const CCalibration design = defaultCalibration(64, 64);
    return design.microImageRadius / design.lensPitch;
}

// Lattice: centre(i, j) = o + i a1 + j a2, a1 = p (cos t, sin t), a2 = p R(t) (1/2, sqrt(3)/2).
struct Lattice {
    double ox = 0, oy = 0, a = 0, b = 0;  // a = p cos t, b = p sin t
    void at(double i, double j, double& x, double& y) const {
        const double u = i + 0.5 * j, w = kRowHeight * j;
        x = ox + a * u - b * w;
        y = oy + b * u + a * w;
    }
    void index(double x, double y, double& i, double& j) const {
        const double p2 = a * a + b * b, dx = x - ox, dy = y - oy;
        const double u = (a * dx + b * dy) / p2, w = (-b * dx + a * dy) / p2;
        j = w / kRowHeight;
        i = u - 0.5 * j;
    }
    double pitch() const { return std::hypot(a, b); }
};

struct Centre {
    int i, j;
    double x, y, peak, area;
};

// Strongest first-order peak of the hexagonal pattern in the spectrum of a centred crop:
// returns the reciprocal vector closest to +y (perpendicular to the lens rows).
bool spectralPeak(const cv::Mat1f& image, double minPitch, double maxPitch, double& fx, double& fy, double& contrast) {
    const int side = std::min({image.cols, image.rows, 1024});
    const cv::Rect crop((image.cols - side) / 2, (image.rows - side) / 2, side, side);
    cv::Mat1f window = image(crop).clone();
    window -= cv::mean(window)[0];
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            window(y, x) *= static_cast<float>((0.5 - 0.5 * std::cos(2 * kPi * (x + 0.5) / side)) *
                                               (0.5 - 0.5 * std::cos(2 * kPi * (y + 0.5) / side)));
    cv::Mat spectrum;
    cv::dft(window, spectrum, cv::DFT_COMPLEX_OUTPUT);
    cv::Mat1f magnitude(side, side);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            const cv::Vec2f c = spectrum.at<cv::Vec2f>(y, x);
            magnitude(y, x) = std::hypot(c[0], c[1]);
        }
    // |b| = 2 / (sqrt(3) p) cycles per pixel.
    const double fMin = 2.0 / (std::sqrt(3.0) * maxPitch) * side, fMax = 2.0 / (std::sqrt(3.0) * minPitch) * side;
    float best = 0;
    int bx = 0, by = 0;
    std::vector<float> band;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            const int kx = x <= side / 2 ? x : x - side, ky = y <= side / 2 ? y : y - side;
            const double r = std::hypot(kx, ky);
            if (r < fMin * 0.8 || r > fMax * 1.2) continue;
            band.push_back(magnitude(y, x));
            if (r >= fMin && r <= fMax && magnitude(y, x) > best) {
                best = magnitude(y, x);
                bx = kx;
                by = ky;
            }
        }
    if (band.empty() || best <= 0) return false;
    std::nth_element(band.begin(), band.begin() + band.size() / 2, band.end());
    contrast = best / std::max(1e-6f, band[band.size() / 2]);
    const auto mag = [&](int kx, int ky) { return magnitude((ky + side) % side, (kx + side) % side); };
    const auto refine = [](double m0, double m1, double m2) {
        const double d = m0 - 2 * m1 + m2;
        return std::abs(d) > 1e-12 ? 0.5 * (m0 - m2) / d : 0.0;
    };
    const double px = bx + refine(mag(bx - 1, by), mag(bx, by), mag(bx + 1, by));
    const double py = by + refine(mag(bx, by - 1), mag(bx, by), mag(bx, by + 1));
    // Of the six peaks, take the one nearest +y.
    double angle = std::atan2(py, px), radius = std::hypot(px, py) / side;
    double chosen = angle;
    for (int k = 0; k < 6; ++k) {
        const double candidate = angle + k * kPi / 3;
        const double wrapped = std::remainder(candidate - kPi / 2, 2 * kPi);
        if (std::abs(wrapped) < std::abs(std::remainder(chosen - kPi / 2, 2 * kPi))) chosen = candidate;
    }
    fx = radius * std::cos(chosen);
    fy = radius * std::sin(chosen);
    return true;
}

// Phase of the pattern at frequency (fx, fy): sum of image * exp(-2 pi i f.x) over pixel centres.
double phase(const cv::Mat1f& image, double fx, double fy) {
    std::complex<double> sum = 0;
    const double mean = cv::mean(image)[0];
    for (int y = 0; y < image.rows; ++y)
        for (int x = 0; x < image.cols; ++x) {
            const double t = -2 * kPi * (fx * (x + 0.5) + fy * (y + 0.5));
            sum += (image(y, x) - mean) * std::complex<double>(std::cos(t), std::sin(t));
        }
    return std::arg(sum);
}

float sample(const cv::Mat1f& image, double x, double y) {
    // Bilinear between pixel centres (pixel (i, j) is centred at (i + 0.5, j + 0.5)).
    const double fx = x - 0.5, fy = y - 0.5;
    const int x0 = static_cast<int>(std::floor(fx)), y0 = static_cast<int>(std::floor(fy));
    const double tx = fx - x0, ty = fy - y0;
    const auto at = [&](int xx, int yy) {
        return image(std::clamp(yy, 0, image.rows - 1), std::clamp(xx, 0, image.cols - 1));
    };
    return static_cast<float>((1 - ty) * ((1 - tx) * at(x0, y0) + tx * at(x0 + 1, y0)) +
                              ty * ((1 - tx) * at(x0, y0 + 1) + tx * at(x0 + 1, y0 + 1)));
}

// Centre of the micro-image around (x, y) from its rim: along rays from the guess, where the light
// falls halfway from the disc's level on that ray to the dark gap beyond, then a circle through
// those points. The rim, unlike the brightness, is not pulled by shading inside the disc or by
// fall-off across the sensor. peak: the disc's brightness; area: pi r^2 of the circle.
bool measure(const cv::Mat1f& image, double pitch, double& x, double& y, double& peak, double& area) {
    constexpr double kPlateau = 0.1;  // of the pitch inside the rim
    const double reach = 0.62 * pitch;
    if (x - reach < 0 || y - reach < 0 || x + reach > image.cols || y + reach > image.rows)
        return false;  // partial lens
    constexpr int kRays = 48;
    const double step = 0.1;
    std::vector<double> px, py, extents;
    std::vector<float> levels;
    for (int k = 0; k < kRays; ++k) {
        const double t = 2 * kPi * (k + 0.5) / kRays, dx = std::cos(t), dy = std::sin(t);
        const int inner = static_cast<int>(0.15 * pitch / step), outer = static_cast<int>(reach / step);
        std::vector<float> profile(outer + 1);
        for (int n = 0; n <= outer; ++n) profile[n] = sample(image, x + n * step * dx, y + n * step * dy);
        const float top = *std::max_element(profile.begin(), profile.begin() + inner + 1);
        const int lowAt = static_cast<int>(std::min_element(profile.begin() + inner, profile.end()) - profile.begin());
        levels.push_back(top);
        if (top - profile[lowAt] < 0.2f * top) continue;  // no rim on this ray (dust, a dead neighbour)
        const auto crossing = [&](float level) {
            for (int n = inner; n < lowAt; ++n)
                if (profile[n] >= level && profile[n + 1] < level)
                    return n + (profile[n] - level) / (profile[n] - profile[n + 1]);
            return -1.0f;
        };
        const float first = crossing(0.5f * (top + profile[lowAt]));
        if (first < 0) continue;
        // Halfway between the gap and the disc's level extended to the rim: the disc is shaded (brighter
        // towards the lens's optical centre), so its level is fitted as a line just inside this stretch
        // of rim and taken where the rim is, not at the disc's centre.
        const int p0 = std::max(inner, static_cast<int>(first - 0.3 * pitch / step));
        const int p1 = std::max(p0 + 2, static_cast<int>(first - kPlateau * pitch / step));
        double sn = 0, sr = 0, sv = 0, srr = 0, srv = 0;
        for (int n = p0; n <= p1; ++n) {
            sn += 1;
            sr += n;
            sv += profile[n];
            srr += double(n) * n;
            srv += double(n) * profile[n];
        }
        const double slope = (sn * srv - sr * sv) / std::max(1e-9, sn * srr - sr * sr);
        const double level0 = (sv - slope * sr) / sn;
        float r = first;
        for (int pass = 0; pass < 2 && r >= 0; ++pass)
            r = crossing(static_cast<float>(0.5 * (level0 + slope * r + profile[lowAt])));
        if (r < 0) continue;
        px.push_back(x + r * step * dx);
        py.push_back(y + r * step * dy);
        // The usable radius reaches out to where the light has fallen three quarters of the way to the gap.
        const float extent = crossing(static_cast<float>(0.25 * (level0 + slope * r) + 0.75 * profile[lowAt]));
        if (extent >= 0) extents.push_back(extent * step);
    }
    std::nth_element(levels.begin(), levels.begin() + levels.size() / 2, levels.end());
    peak = levels[levels.size() / 2];
    if (peak <= 0 || px.size() < kRays / 2) return false;
    // Algebraic circle fit, then again without the rim points far off it.
    std::vector<bool> keep(px.size(), true);
    double cx = x, cy = y, radius = 0;
    for (int round = 0; round < 2; ++round) {
        cv::Mat1d A, b;
        for (size_t n = 0; n < px.size(); ++n) {
            if (!keep[n]) continue;
            A.push_back(cv::Mat1d({1, 3}, {px[n], py[n], 1.0}));
            b.push_back(-(px[n] * px[n] + py[n] * py[n]));
        }
        if (A.rows < kRays / 2) return false;
        cv::Mat1d s;
        if (!cv::solve(A, b, s, cv::DECOMP_SVD)) return false;
        cx = -0.5 * s(0);
        cy = -0.5 * s(1);
        radius = std::sqrt(std::max(0.0, cx * cx + cy * cy - s(2)));
        std::vector<double> off;
        for (size_t n = 0; n < px.size(); ++n) off.push_back(std::abs(std::hypot(px[n] - cx, py[n] - cy) - radius));
        std::vector<double> sorted = off;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        const double limit = std::max(0.05, 4.0 * 1.4826 * sorted[sorted.size() / 2]);
        for (size_t n = 0; n < px.size(); ++n) keep[n] = off[n] <= limit;
    }
    if (std::hypot(cx - x, cy - y) > 0.25 * pitch) return false;
    x = cx;
    y = cy;
    if (extents.empty()) return false;
    std::nth_element(extents.begin(), extents.begin() + extents.size() / 2, extents.end());
    const double extent = extents[extents.size() / 2];
    area = kPi * extent * extent;
    return true;
}

// Least squares over (ox, oy, a, b), linear in all four.
Lattice fit(const std::vector<Centre>& centres, const std::vector<bool>& use) {
    cv::Mat1d A, rhs;
    for (size_t n = 0; n < centres.size(); ++n) {
        if (!use[n]) continue;
        const Centre& c = centres[n];
        const double u = c.i + 0.5 * c.j, w = kRowHeight * c.j;
        A.push_back(cv::Mat1d({1, 4}, {1.0, 0.0, u, -w}));
        rhs.push_back(c.x);
        A.push_back(cv::Mat1d({1, 4}, {0.0, 1.0, w, u}));
        rhs.push_back(c.y);
    }
    cv::Mat1d solution;
    cv::solve(A, rhs, solution, cv::DECOMP_SVD);
    Lattice l;
    l.ox = solution(0);
    l.oy = solution(1);
    l.a = solution(2);
    l.b = solution(3);
    return l;
}

}  // namespace

GridEstimate findGrid(const cv::Mat& white, double pitchHint, const std::string& source) {
    if (white.empty() || white.channels() != 1) fail(source, "needs a grey white image");
    cv::Mat1f image;
    white.convertTo(image, CV_32F);
    double lo = 0, hi = 0;
    cv::minMaxLoc(image, &lo, &hi);
    if (hi <= 0) fail(source, "white image is black: no micro-image grid");
    if (hi - lo < 1e-3 * hi) fail(source, "white image is flat: no micro-image grid");
    const double minPitch = pitchHint > 0 ? pitchHint * 0.9 : 8.0, maxPitch = pitchHint > 0 ? pitchHint * 1.1 : 64.0;
    double fx = 0, fy = 0, contrast = 0;
    if (!spectralPeak(image, minPitch, maxPitch, fx, fy, contrast) || contrast < 20)
        fail(source, "no hexagonal micro-image grid found (no periodic pattern of " +
                         std::to_string(static_cast<int>(minPitch)) + ".." +
                         std::to_string(static_cast<int>(maxPitch)) + " px)");
    // b2 (perpendicular to the rows) points along t + 90 degrees; |b2| = 2 / (sqrt(3) p).
    const double pitch0 = 2.0 / (std::sqrt(3.0) * std::hypot(fx, fy));
    const double rotation0 = std::atan2(fy, fx) - kPi / 2;
    Lattice lattice;
    lattice.a = pitch0 * std::cos(rotation0);
    lattice.b = pitch0 * std::sin(rotation0);
    // b1 = b2 turned by -120 degrees (b_k . a_l = 1 when k = l, else 0); the phases put a lattice point (a micro-image
    // centre) at c0 with b_k . c0 = phase_k.
    const double r = std::hypot(fx, fy), t1 = std::atan2(fy, fx) - 2 * kPi / 3;
    const double phi1 = -phase(image, r * std::cos(t1), r * std::sin(t1)) / (2 * kPi);
    const double phi2 = -phase(image, fx, fy) / (2 * kPi);
    lattice.at(phi1, phi2, lattice.ox, lattice.oy);  // with o = 0: c0 = phi1 a1 + phi2 a2

    // Measure micro-images in growing discs around the sensor centre, refitting the grid each time,
    // so a small error of the first estimate never mislabels lenses far out.
    const double cx = image.cols * 0.5, cy = image.rows * 0.5, far = std::hypot(cx, cy);
    std::vector<Centre> centres;
    std::vector<bool> use;
    // The last disc is measured twice: from the fitted grid the windows sit on the micro-images.
    int finalPasses = 2;
    for (double reach = 12 * pitch0;; reach = std::min(far, reach * 2)) {
        centres.clear();
        const int span = static_cast<int>(far / (lattice.pitch() * kRowHeight)) + 3;
        double ic = 0, jc = 0;
        lattice.index(cx, cy, ic, jc);
        for (int j = static_cast<int>(jc) - span; j <= static_cast<int>(jc) + span; ++j)
            for (int i = static_cast<int>(ic) - span - span / 2; i <= static_cast<int>(ic) + span + span / 2; ++i) {
                double x = 0, y = 0;
                lattice.at(i, j, x, y);
                if (std::hypot(x - cx, y - cy) > reach) continue;
                double peak = 0, area = 0;
                // Passes from the measured position remove the pull of a poor prediction.
                bool inside = true;
                for (int pass = 0; pass < 2 && inside; ++pass)
                    inside = measure(image, lattice.pitch(), x, y, peak, area);
                if (!inside) continue;
                centres.push_back({i, j, x, y, peak, area});
            }
        if (centres.size() < 12)
            fail(source, "too few micro-images to fit a grid (" + std::to_string(centres.size()) + ")");
        // Dark or missing micro-images (dust, dead lenses): far below their neighbours' brightness.
        std::map<std::pair<int, int>, double> peaks;
        for (const Centre& c : centres) peaks[{c.i, c.j}] = c.peak;
        use.assign(centres.size(), true);
        for (size_t n = 0; n < centres.size(); ++n) {
            std::vector<double> around;
            const int di[6] = {1, -1, 0, 0, 1, -1}, dj[6] = {0, 0, 1, -1, -1, 1};
            for (int k = 0; k < 6; ++k)
                if (auto it = peaks.find({centres[n].i + di[k], centres[n].j + dj[k]}); it != peaks.end())
                    around.push_back(it->second);
            if (around.size() >= 2) {
                std::nth_element(around.begin(), around.begin() + around.size() / 2, around.end());
                if (centres[n].peak < 0.6 * around[around.size() / 2]) use[n] = false;
            }
        }
        // Fit, then drop centres far off the fit (a dust spot on the rim) and fit again.
        for (int round = 0; round < 3; ++round) {
            lattice = fit(centres, use);
            std::vector<double> residual;
            for (size_t n = 0; n < centres.size(); ++n) {
                double x = 0, y = 0;
                lattice.at(centres[n].i, centres[n].j, x, y);
                residual.push_back(std::hypot(x - centres[n].x, y - centres[n].y));
            }
            std::vector<double> sorted;
            for (size_t n = 0; n < centres.size(); ++n)
                if (use[n]) sorted.push_back(residual[n]);
            std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
            const double limit = std::max(0.02, 4.0 * 1.4826 * sorted[sorted.size() / 2]);
            for (size_t n = 0; n < centres.size(); ++n)
                if (residual[n] > limit) use[n] = false;
        }
        if (reach >= far && --finalPasses == 0) break;
    }

    GridEstimate g;
    g.pitch = lattice.pitch();
    g.rotation = std::atan2(lattice.b, lattice.a);
    double sum2 = 0, area = 0;
    for (size_t n = 0; n < centres.size(); ++n) {
        if (!use[n]) continue;
        double x = 0, y = 0;
        lattice.at(centres[n].i, centres[n].j, x, y);
        sum2 += (x - centres[n].x) * (x - centres[n].x) + (y - centres[n].y) * (y - centres[n].y);
        area += centres[n].area;
        ++g.centresUsed;
    }
    g.residualRms = std::sqrt(sum2 / std::max(1, g.centresUsed));
    if (g.centresUsed < 12 || g.residualRms > 0.1 * g.pitch)
        fail(source, "no consistent hexagonal micro-image grid (fit off by " + std::to_string(g.residualRms) + " px)");
    // Where the light has mostly gone; where the discs touch, the share of the pitch the camera design keeps.
    g.radius = std::min(std::sqrt(area / g.centresUsed / kPi), usableShare() * g.pitch);
    // Lens (0, 0): the lattice point nearest (p/2, p/2), so the offset lies near the corner.
    double i = 0, j = 0;
    lattice.index(0.5 * g.pitch, 0.5 * g.pitch, i, j);
    lattice.at(std::round(i), std::round(j), g.offsetX, g.offsetY);
    return g;
}

CCalibration defaultOptics() {
    CCalibration c = defaultCalibration(64, 64);
    c.exitPupilDistance = 0.0;
    return c;
}

CCalibration calibrationFromGrid(const GridEstimate& grid, int32_t width, int32_t height, const CCalibration& optics) {
    CCalibration c = optics;
    c.version = CCalibration::kCurrentVersion;
    c.sensorWidth = width;
    c.sensorHeight = height;
    c.gridType = "hex";
    c.lensPitch = grid.pitch;
    c.gridRotation = grid.rotation;
    c.gridOffsetX = grid.offsetX;
    c.gridOffsetY = grid.offsetY;
    c.microImageRadius = grid.radius;
    // The optics' principal point where they were given for this sensor, else its centre.
    if (optics.sensorWidth != width || optics.sensorHeight != height) {
        c.principalX = width * 0.5;
        c.principalY = height * 0.5;
    }
    // With a known exit pupil the lenses lie on the micro-image grid narrowed by 1 + B / D about the
    // principal point; without one the micro-image grid stands for the lens grid.
    if (optics.exitPupilDistance > 0.0 && optics.mlaToSensor > 0.0) {
        const double growth = 1.0 + optics.mlaToSensor / optics.exitPupilDistance;
        c.lensPitch = grid.pitch / growth;
        c.gridOffsetX = c.principalX + (grid.offsetX - c.principalX) / growth;
        c.gridOffsetY = c.principalY + (grid.offsetY - c.principalY) / growth;
        // The design's margin is a share of the lens pitch, not of the wider micro-image grid.
        c.microImageRadius = std::min(grid.radius, usableShare() * c.lensPitch);
    }
    return c;
}

cv::Mat drawOverlay(const cv::Mat& white, const GridEstimate& grid) {
    cv::Mat grey;
    double hi = 0;
    cv::minMaxLoc(white, nullptr, &hi);
    white.convertTo(grey, CV_8U, hi > 0 ? 255.0 / hi : 1.0);
    cv::Mat out;
    cv::cvtColor(grey, out, cv::COLOR_GRAY2BGR);
    Lattice l;
    l.ox = grid.offsetX;
    l.oy = grid.offsetY;
    l.a = grid.pitch * std::cos(grid.rotation);
    l.b = grid.pitch * std::sin(grid.rotation);
    const int rows = static_cast<int>(white.rows / (grid.pitch * kRowHeight)) + 4;
    const int cols = static_cast<int>(white.cols / grid.pitch) + rows / 2 + 4;
    constexpr int kShift = 4;  // sub-pixel drawing
    for (int j = -4; j <= rows; ++j)
        for (int i = -cols; i <= cols; ++i) {
            double x = 0, y = 0;
            l.at(i, j, x, y);
            if (x < -grid.pitch || y < -grid.pitch || x > white.cols + grid.pitch || y > white.rows + grid.pitch)
                continue;
            // Pixel centres are at +0.5: drawing coordinates are shifted back by half a pixel.
            const cv::Point p(static_cast<int>(std::lround((x - 0.5) * (1 << kShift))),
                              static_cast<int>(std::lround((y - 0.5) * (1 << kShift))));
            cv::circle(out, p, static_cast<int>(grid.radius * (1 << kShift)), cv::Scalar(0, 200, 0), 1, cv::LINE_AA,
                       kShift);
            cv::circle(out, p, 1 << kShift, cv::Scalar(0, 0, 255), cv::FILLED, cv::LINE_AA, kShift);
        }
    return out;
}

}  // namespace Vy::Synth
