#include "GridCalibrator.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <map>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "CVyException.h"
#include "CameraDesign.h"
#include "VyTypes.h"

namespace Vy::Synth {
namespace {

const double kRowHeight = std::sqrt(3.0) / 2.0;
constexpr int kSpectrumSide = 2048;  // largest crop the autocorrelation is taken of
constexpr size_t kMeasuredLenses = 12000;
constexpr int kTerms = 9;
constexpr double kWindowInner = 0.5, kWindowOuter = 0.62;  // of the pitch: where a lens's window tapers off

[[noreturn]] void fail(const std::string& source, const std::string& reason) {
    throw CVyException("calibrate", source, reason);
}

std::string pixels(double value) {
    char text[32];
    std::snprintf(text, sizeof text, value >= 20 ? "%.0f" : "%.1f", value);
    return text;
}

// Micro-images of a camera whose f-numbers match about touch: their lit discs
// end where the cells meet, and the usable radius is a margin inside that. It
// is the share of the lens pitch our camera design keeps (11.5 px at 24 px),
// so that a grid found in a white image gives the same rims, masks and
// matching discs as the camera's own calibration.
double usableShare() {
    const CCalibration design = defaultCalibration(64, 64);
    return design.microImageRadius / design.lensPitch;
}

// centre(i, j) = o + i a1 + j a2; a1 = (a, b) = p (cos t, sin t), a2 = a1 turned by 60 or 90 degrees.
struct Lattice {
    GridKind kind = GridKind::Hex;
    double ox = 0, oy = 0, a = 0, b = 0;
    // a2 = c a1 + h a1 turned by 90 degrees.
    double c() const { return kind == GridKind::Hex ? 0.5 : 0.0; }
    double h() const { return kind == GridKind::Hex ? kRowHeight : 1.0; }
    cv::Point2d at(double i, double j) const {
        const double u = i + c() * j, w = h() * j;
        return {ox + a * u - b * w, oy + b * u + a * w};
    }
    void index(double x, double y, double& i, double& j) const {
        const double p2 = a * a + b * b, dx = x - ox, dy = y - oy;
        const double u = (a * dx + b * dy) / p2, w = (-b * dx + a * dy) / p2;
        j = w / h();
        i = u - c() * j;
    }
    double pitch() const { return std::hypot(a, b); }
    // Area of one cell, px^2.
    double cellArea() const { return pitch() * pitch() * h(); }
    // The same points described with the rotation within +-30 (hex) or +-45 degrees (square).
    void normalise() {
        const double period = kind == GridKind::Hex ? kPi / 3 : kPi / 2;
        const double t = std::remainder(std::atan2(b, a), period), p = pitch();
        a = p * std::cos(t);
        b = p * std::sin(t);
    }
};

// ---- The lattice from the image's autocorrelation ----
// A periodic pattern correlates with itself shifted by any lattice vector, and only there; unlike
// the spectrum (whose peaks hold every harmonic of a sharp-rimmed disc, and next to nothing at the
// fundamental where the disc's transform has a zero) it has no peaks finer than the lattice.

int smoothSizeAtMost(int n) {
    while (n > 16 && cv::getOptimalDFTSize(n) != n) --n;
    return n;
}

// The central crop, mean removed and tapered to its edges (Hann), with its origin.
cv::Mat1f windowedCrop(const cv::Mat1f& image, cv::Point& origin, std::vector<float>& wx, std::vector<float>& wy) {
    const int w = smoothSizeAtMost(std::min(image.cols, kSpectrumSide));
    const int h = smoothSizeAtMost(std::min(image.rows, kSpectrumSide));
    origin = {(image.cols - w) / 2, (image.rows - h) / 2};
    cv::Mat1f crop = image(cv::Rect(origin.x, origin.y, w, h)).clone();
    crop -= cv::mean(crop)[0];
    wx.resize(w);
    wy.resize(h);
    for (int x = 0; x < w; ++x) wx[x] = static_cast<float>(0.5 - 0.5 * std::cos(2 * kPi * (x + 0.5) / w));
    for (int y = 0; y < h; ++y) wy[y] = static_cast<float>(0.5 - 0.5 * std::cos(2 * kPi * (y + 0.5) / h));
    for (int y = 0; y < h; ++y) {
        float* row = crop.ptr<float>(y);
        for (int x = 0; x < w; ++x) row[x] *= wx[x] * wy[y];
    }
    return crop;
}

// Correlation of the image with itself shifted by (dx, dy), |dx|, |dy| <= reach, each shift
// divided by the taper's own overlap there and by the value at no shift: 1 for a perfect
// repeat, near 0 for none, negative where light meets dark.
struct Autocorrelation {
    int reach = 0;
    cv::Mat1f values;  // (2 reach + 1) square, shift (0, 0) in the middle
    float at(int dx, int dy) const {
        if (std::abs(dx) > reach || std::abs(dy) > reach) return -1.0f;
        return values(dy + reach, dx + reach);
    }
    // Bilinear between whole shifts.
    double at(cv::Point2d d) const {
        const int x0 = static_cast<int>(std::floor(d.x)), y0 = static_cast<int>(std::floor(d.y));
        const double tx = d.x - x0, ty = d.y - y0;
        return (1 - ty) * ((1 - tx) * at(x0, y0) + tx * at(x0 + 1, y0)) +
               ty * ((1 - tx) * at(x0, y0 + 1) + tx * at(x0 + 1, y0 + 1));
    }
    bool isLocalMax(int dx, int dy) const {
        const float v = at(dx, dy);
        for (int j = -1; j <= 1; ++j)
            for (int i = -1; i <= 1; ++i)
                if ((i || j) && at(dx + i, dy + j) >= v) return false;
        return true;
    }
    // The peak near whole shift (dx, dy), to a fraction of a pixel (a parabola each way).
    cv::Point2d refined(int dx, int dy) const {
        const auto vertex = [](double m0, double m1, double m2) {
            const double d = m0 - 2 * m1 + m2;
            return d < 0 ? std::clamp(0.5 * (m0 - m2) / d, -0.5, 0.5) : 0.0;
        };
        return {dx + vertex(at(dx - 1, dy), at(dx, dy), at(dx + 1, dy)),
                dy + vertex(at(dx, dy - 1), at(dx, dy), at(dx, dy + 1))};
    }
};

Autocorrelation autocorrelation(const cv::Mat1f& crop, const std::vector<float>& wx, const std::vector<float>& wy,
                                int reach) {
    reach = std::min({reach, crop.cols / 2, crop.rows / 2});
    // Padded so that no shift up to reach wraps round.
    const int w = cv::getOptimalDFTSize(crop.cols + reach + 1), h = cv::getOptimalDFTSize(crop.rows + reach + 1);
    cv::Mat1f padded(h, w, 0.0f);
    crop.copyTo(padded(cv::Rect(0, 0, crop.cols, crop.rows)));
    cv::Mat spectrum, power, correlation;
    cv::dft(padded, spectrum, cv::DFT_COMPLEX_OUTPUT);
    cv::mulSpectrums(spectrum, spectrum, power, 0, true);
    cv::idft(power, correlation, cv::DFT_REAL_OUTPUT | cv::DFT_SCALE);
    // The taper's overlap at a shift: separable, one sum per axis.
    const auto overlap = [](const std::vector<float>& t, int d) {
        double sum = 0;
        for (size_t k = 0; k + std::abs(d) < t.size(); ++k) sum += double(t[k]) * t[k + std::abs(d)];
        return sum;
    };
    std::vector<double> ox(2 * reach + 1), oy(2 * reach + 1);
    for (int d = -reach; d <= reach; ++d) {
        ox[d + reach] = overlap(wx, d);
        oy[d + reach] = overlap(wy, d);
    }
    Autocorrelation a;
    a.reach = reach;
    a.values.create(2 * reach + 1, 2 * reach + 1);
    const cv::Mat1f c = correlation;
    const double zero = c(0, 0) / (ox[reach] * oy[reach]);
    for (int dy = -reach; dy <= reach; ++dy)
        for (int dx = -reach; dx <= reach; ++dx) {
            const double raw = c((dy + h) % h, (dx + w) % w);
            a.values(dy + reach, dx + reach) =
                static_cast<float>(zero > 0 ? raw / (ox[dx + reach] * oy[dy + reach]) / zero : 0.0);
        }
    return a;
}

struct Candidate {
    cv::Point2d d;  // shift, px
    double value;   // correlation there
};

// The lattice vectors u, v fitted to every peak near a lattice point i u + j v (a peak far out is
// placed as well as a near one, so the far ones pin the pitch down), then told as out's a1.
void refineLattice(const std::vector<Candidate>& peaks, cv::Point2d u, cv::Point2d v, Lattice& out) {
    const double pitch0 = 0.5 * (std::hypot(u.x, u.y) + std::hypot(v.x, v.y));
    for (int round = 0; round < 2; ++round) {
        const double det = u.x * v.y - v.x * u.y;
        cv::Matx22d normal = cv::Matx22d::zeros();
        cv::Vec2d rx(0, 0), ry(0, 0);
        int used = 0;
        for (const Candidate& c : peaks) {
            const double i = std::round((c.d.x * v.y - v.x * c.d.y) / det),
                         j = std::round((u.x * c.d.y - c.d.x * u.y) / det);
            const cv::Point2d at = i * u + j * v;
            if (std::hypot(c.d.x - at.x, c.d.y - at.y) > 0.1 * pitch0) continue;
            normal += cv::Matx22d(i * i, i * j, i * j, j * j);
            rx += cv::Vec2d(i * c.d.x, j * c.d.x);
            ry += cv::Vec2d(i * c.d.y, j * c.d.y);
            ++used;
        }
        cv::Vec2d sx, sy;
        if (used < 2 || !cv::solve(normal, rx, sx) || !cv::solve(normal, ry, sy)) break;
        u = {sx[0], sy[0]};
        v = {sx[1], sy[1]};
    }
    // v turned back onto u's direction (whichever side of it v lies), averaged with u.
    const double pu = std::hypot(u.x, u.y), pv = std::hypot(v.x, v.y);
    const double degrees = std::acos(std::clamp(u.dot(v) / (pu * pv), -1.0, 1.0)) * 180 / kPi;
    const double turn = out.kind == GridKind::Square ? kPi / 2 : (degrees < 90 ? kPi / 3 : 2 * kPi / 3);
    const double side = u.x * v.y - u.y * v.x > 0 ? 1.0 : -1.0;
    const double t1 = std::atan2(u.y, u.x), t2 = std::atan2(v.y, v.x) - side * turn;
    const double t = t1 + 0.5 * std::remainder(t2 - t1, 2 * kPi);
    const double pitch = 0.5 * (pu + pv);
    out.a = pitch * std::cos(t);
    out.b = pitch * std::sin(t);
    out.normalise();
}

// Share of the peaks within a tenth of the pitch of a lattice point.
double explainedShare(const std::vector<Candidate>& peaks, const Lattice& l) {
    int near = 0;
    for (const Candidate& c : peaks) {
        double i = 0, j = 0;
        l.index(c.d.x + l.ox, c.d.y + l.oy, i, j);
        const cv::Point2d at = l.at(std::round(i), std::round(j));
        if (std::hypot(at.x - l.ox - c.d.x, at.y - l.oy - c.d.y) <= 0.1 * l.pitch()) ++near;
    }
    return peaks.empty() ? 0.0 : double(near) / peaks.size();
}

// What the shifts within the searched pitches show, for the refusals.
enum class Pattern { Lattice, None, OneDirection, OtherLattice };

// The lattice whose vectors the image repeats along: the shortest strong, isolated peak of the
// autocorrelation (the pattern does not repeat at half of it) and the shortest one of the same
// length in another direction, 60 (hex) or 90 degrees (square) from it. The offset is still unknown.
Pattern latticeFromAutocorrelation(const Autocorrelation& a, double minPitch, double maxPitch, Lattice& out) {
    std::vector<Candidate> candidates;
    const double lo = 0.85 * minPitch, hi = std::min<double>(1.15 * maxPitch, a.reach - 1);
    double strongest = 0;
    for (int dy = 0; dy <= a.reach - 1; ++dy)
        for (int dx = -a.reach + 1; dx <= a.reach - 1; ++dx) {
            if (dy == 0 && dx <= 0) continue;  // the other half plane holds the same peaks
            const double r = std::hypot(dx, dy);
            if (r < lo || r > hi || !a.isLocalMax(dx, dy)) continue;
            const double v = a.at(dx, dy);
            const cv::Point2d d = a.refined(dx, dy);
            // Isolated: light falls on dark half way, in a lattice; along a stripe it does not.
            if (v < 0.2 || v - a.at(0.5 * d) < 0.25) continue;
            candidates.push_back({d, v});
            strongest = std::max(strongest, v);
        }
    if (candidates.empty()) return Pattern::None;
    std::vector<Candidate> strong;
    for (const Candidate& c : candidates)
        if (c.value >= 0.6 * strongest) strong.push_back(c);
    std::sort(strong.begin(), strong.end(), [](const Candidate& p, const Candidate& q) {
        return std::hypot(p.d.x, p.d.y) < std::hypot(q.d.x, q.d.y);
    });
    const double p1 = std::hypot(strong[0].d.x, strong[0].d.y);

    // A 1-D pattern (stripes) hardly changes when shifted along itself: in some direction the image
    // is as like itself half a period away as one period away.
    constexpr int kDirections = 72;
    for (int k = 0; k < kDirections; ++k) {
        const double t = kPi * k / kDirections;
        if (a.at(cv::Point2d(0.5 * p1 * std::cos(t), 0.5 * p1 * std::sin(t))) >= 0.8 * strong[0].value)
            return Pattern::OneDirection;
    }
    // The shortest pair of one length at 60, 90 or 120 degrees: the scene inside the micro-images
    // can move a peak or add one beside it, so a shorter peak that pairs with none is passed over.
    bool pairedAny = false;
    for (size_t m = 0; m < strong.size(); ++m)
        for (size_t n = m + 1; n < strong.size(); ++n) {
            const cv::Point2d u = strong[m].d, v = strong[n].d;
            const double pu = std::hypot(u.x, u.y), pv = std::hypot(v.x, v.y);
            const double degrees = std::acos(std::clamp(u.dot(v) / (pu * pv), -1.0, 1.0)) * 180 / kPi;
            if (degrees < 30 || degrees > 150) continue;  // a multiple of u, or noise along its line
            pairedAny = true;
            if (std::abs(pv / pu - 1) > 0.04) continue;
            GridKind kind = GridKind::Hex;
            if (std::abs(degrees - 90) < 4)
                kind = GridKind::Square;
            else if (std::abs(degrees - 60) >= 4 && std::abs(degrees - 120) >= 4)
                continue;
            Lattice trial;
            trial.kind = kind;
            refineLattice(candidates, u, v, trial);
            // The grid explains the strong peaks: a coarser grid drawn through some of the points of
            // another (the pattern's own, or a rectangular one) leaves many of them off it.
            if (explainedShare(strong, trial) < 0.7) continue;
            out = trial;
            return Pattern::Lattice;
        }
    return pairedAny ? Pattern::OtherLattice : Pattern::OneDirection;
}

// The phase (cycles) of the pattern at frequency (fx, fy) over the crop, whose pixel (0, 0) is centred
// at origin + (0.5, 0.5): the pattern's fundamental is brightest where f.x = phase (mod 1).
double phaseAt(const cv::Mat1f& crop, cv::Point origin, double fx, double fy) {
    std::complex<double> sum = 0;
    for (int y = 0; y < crop.rows; ++y) {
        const float* row = crop.ptr<float>(y);
        const std::complex<double> step = std::polar(1.0, -2 * kPi * fx);
        std::complex<double> turn = std::polar(1.0, -2 * kPi * (fx * (origin.x + 0.5) + fy * (origin.y + y + 0.5)));
        std::complex<double> rowSum = 0;
        for (int x = 0; x < crop.cols; ++x) {
            rowSum += double(row[x]) * turn;
            turn *= step;
        }
        sum += rowSum;
    }
    return -std::arg(sum) / (2 * kPi);
}

// Puts the lattice's origin on a micro-image centre: the phases of two fundamentals give a point of
// the pattern's symmetry; of the points the pattern is symmetric about (centres, gaps, midpoints), the
// micro-image centres are where the light is, measured as the mean over small boxes around many cells.
void placeOrigin(const cv::Mat1f& image, const cv::Mat1f& crop, cv::Point origin, Lattice& l) {
    const double p = l.pitch();
    const cv::Point2d a1(l.a, l.b), a2 = l.at(0, 1) - cv::Point2d(l.ox, l.oy);
    // Reciprocal basis: g1 . a1 = 1, g1 . a2 = 0 and so on.
    const double det = a1.x * a2.y - a2.x * a1.y;
    const cv::Point2d g1(a2.y / det, -a2.x / det), g2(-a1.y / det, a1.x / det);
    const double phi1 = phaseAt(crop, origin, g1.x, g1.y), phi2 = phaseAt(crop, origin, g2.x, g2.y);
    const cv::Point2d base = phi1 * a1 + phi2 * a2;
    cv::Mat1d sums;
    cv::integral(image, sums, CV_64F);
    const int half = std::max(1, static_cast<int>(p / 6));
    const auto box = [&](double x, double y) {
        const int x0 = static_cast<int>(x) - half, y0 = static_cast<int>(y) - half;
        const int x1 = x0 + 2 * half + 1, y1 = y0 + 2 * half + 1;
        if (x0 < 0 || y0 < 0 || x1 > image.cols || y1 > image.rows) return -1.0;
        return sums(y1, x1) - sums(y0, x1) - sums(y1, x0) + sums(y0, x0);
    };
    std::vector<cv::Point2d> candidates = {{0, 0}, {0.5, 0}, {0, 0.5}, {0.5, 0.5}};
    if (l.kind == GridKind::Hex)
        candidates = {{0, 0}, {0.5, 0}, {0, 0.5}, {0.5, 0.5}, {1.0 / 3, 1.0 / 3}, {2.0 / 3, 2.0 / 3}};
    const cv::Point2d centre(image.cols * 0.5, image.rows * 0.5);
    double best = -1;
    cv::Point2d chosen = base;
    for (const cv::Point2d& shift : candidates) {
        Lattice trial = l;
        const cv::Point2d o = base + shift.x * a1 + shift.y * a2;
        trial.ox = o.x;
        trial.oy = o.y;
        double ic = 0, jc = 0;
        trial.index(centre.x, centre.y, ic, jc);
        double sum = 0;
        int count = 0;
        for (int j = -6; j <= 6; ++j)
            for (int i = -6; i <= 6; ++i) {
                const cv::Point2d at = trial.at(std::round(ic) + i, std::round(jc) + j);
                const double s = box(at.x, at.y);
                if (s >= 0) {
                    sum += s;
                    ++count;
                }
            }
        if (count > 0 && sum / count > best) {
            best = sum / count;
            chosen = o;
        }
    }
    l.ox = chosen.x;
    l.oy = chosen.y;
}

// ---- Micro-images measured against the mean micro-image ----

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

// The mean micro-image on a square of whole-pixel offsets around its centre, and what a
// micro-image is fitted with: gain times it, tilted (shading, fall-off across the lens), plus a
// level, moved by a small shift. The fit is linear in its six numbers; their normal matrix
// depends on the mean micro-image alone.
struct Template {
    int half = 0;  // offsets -half..half
    double pitch = 0;
    std::vector<int> du, dv;  // offsets of the samples with weight
    std::vector<float> weight, value, gx, gy;
    cv::Mat1d inverse;  // of the normal matrix, kTerms x kTerms
    cv::Mat1f image;    // the whole square, for the radius and the symmetry

    int size() const { return 2 * half + 1; }
    void basis(size_t k, double* phi) const {
        const double u = du[k] / pitch, v = dv[k] / pitch, t = value[k];
        // The lens's own cell and the rims of its neighbours beyond: each with its gain and tilt.
        const double own = std::clamp(0.5 + (0.5 * pitch - std::hypot(du[k], dv[k])), 0.0, 1.0);
        phi[0] = t * own;
        phi[1] = 1.0;
        phi[2] = gx[k];
        phi[3] = gy[k];
        phi[4] = u * t * own;
        phi[5] = v * t * own;
        phi[6] = t * (1 - own);
        phi[7] = u * t * (1 - own);
        phi[8] = v * t * (1 - own);
    }
};

double windowWeight(double r, double pitch) {
    const double inner = kWindowInner * pitch, outer = kWindowOuter * pitch;
    if (r <= inner) return 1.0;
    if (r >= outer) return 0.0;
    return 0.5 + 0.5 * std::cos(kPi * (r - inner) / (outer - inner));
}

// Samples the square of offsets around (x, y): every sample shares one fraction, so one set of
// bilinear weights serves all. False when the square is not wholly inside the image.
bool patch(const cv::Mat1f& image, double x, double y, int half, std::vector<float>& out) {
    const double fx = x - 0.5, fy = y - 0.5;
    const int x0 = static_cast<int>(std::floor(fx)), y0 = static_cast<int>(std::floor(fy));
    if (x0 - half < 0 || y0 - half < 0 || x0 + half + 1 >= image.cols || y0 + half + 1 >= image.rows) return false;
    const float tx = static_cast<float>(fx - x0), ty = static_cast<float>(fy - y0);
    const float w00 = (1 - tx) * (1 - ty), w10 = tx * (1 - ty), w01 = (1 - tx) * ty, w11 = tx * ty;
    const int side = 2 * half + 1;
    out.resize(static_cast<size_t>(side) * side);
    for (int v = 0; v < side; ++v) {
        const float* r0 = image.ptr<float>(y0 - half + v) + (x0 - half);
        const float* r1 = image.ptr<float>(y0 - half + v + 1) + (x0 - half);
        float* o = out.data() + static_cast<size_t>(v) * side;
        for (int u = 0; u < side; ++u) o[u] = w00 * r0[u] + w10 * r0[u + 1] + w01 * r1[u] + w11 * r1[u + 1];
    }
    return true;
}

// Point of symmetry of the mean micro-image near its middle, allowing a tilt of its light
// (micro-images are shaded towards their lens's axis, which lies off their centre).
cv::Point2d symmetryCentre(const cv::Mat1f& t, double pitch) {
    const int half = t.cols / 2;
    const double mid = half + 0.5;  // the square's centre in sample coordinates
    cv::Point2d c(0, 0);
    double etaX = 0, etaY = 0;
    for (int iteration = 0; iteration < 8; ++iteration) {
        cv::Matx44d normal = cv::Matx44d::zeros();
        cv::Vec4d rhs(0, 0, 0, 0);
        const double reach = kWindowInner * pitch;
        for (int v = -half; v <= half; ++v)
            for (int u = -half; u <= half; ++u) {
                const double r = std::hypot(u, v);
                if (r > reach) continue;
                const double plus = sample(t, mid + c.x + u, mid + c.y + v),
                             minus = sample(t, mid + c.x - u, mid + c.y - v);
                const double tilt = 1 + (etaX * u + etaY * v) / pitch;
                const double e = plus - tilt * minus;
                const double gxp =
                    0.5 * (sample(t, mid + c.x + u + 1, mid + c.y + v) - sample(t, mid + c.x + u - 1, mid + c.y + v));
                const double gyp =
                    0.5 * (sample(t, mid + c.x + u, mid + c.y + v + 1) - sample(t, mid + c.x + u, mid + c.y + v - 1));
                const double gxm =
                    0.5 * (sample(t, mid + c.x - u + 1, mid + c.y - v) - sample(t, mid + c.x - u - 1, mid + c.y - v));
                const double gym =
                    0.5 * (sample(t, mid + c.x - u, mid + c.y - v + 1) - sample(t, mid + c.x - u, mid + c.y - v - 1));
                // d e / d(cx, cy, etaX, etaY)
                const cv::Vec4d j(gxp - tilt * gxm, gyp - tilt * gym, -u / pitch * minus, -v / pitch * minus);
                normal += j * j.t();
                rhs += j * e;
            }
        cv::Vec4d step;
        if (!cv::solve(normal, -rhs, step, cv::DECOMP_SVD)) break;
        c.x += step[0];
        c.y += step[1];
        etaX += step[2];
        etaY += step[3];
        if (std::abs(c.x) > 0.25 * pitch || std::abs(c.y) > 0.25 * pitch) return {0, 0};
        if (std::hypot(step[0], step[1]) < 1e-4) break;
    }
    return c;
}

struct Lens {
    int i, j;
    double x, y;         // measured centre
    double gain;         // light against the mean micro-image
    double unexplained;  // share of the window's variance the fit leaves
};

template <typename F>
void forLensesWithin(const Lattice& l, const cv::Size& size, double reach, int stride, F f) {
    const double cx = size.width * 0.5, cy = size.height * 0.5;
    const double far = std::hypot(cx, cy);
    const int span = static_cast<int>(std::min(reach, far) / (l.pitch() * l.h())) + 3;
    double ic = 0, jc = 0;
    l.index(cx, cy, ic, jc);
    const int i0 = static_cast<int>(ic), j0 = static_cast<int>(jc);
    const auto onStride = [stride](int k) { return ((k % stride) + stride) % stride == 0; };
    for (int j = j0 - span; j <= j0 + span; ++j) {
        if (!onStride(j)) continue;
        for (int i = i0 - 2 * span; i <= i0 + 2 * span; ++i) {
            if (!onStride(i)) continue;
            const cv::Point2d p = l.at(i, j);
            if (std::hypot(p.x - cx, p.y - cy) <= reach) f(i, j, p);
        }
    }
}

Template buildTemplate(const cv::Mat1f& image, const std::vector<cv::Point2d>& centres, double pitch) {
    Template t;
    t.pitch = pitch;
    t.half = static_cast<int>(std::ceil(kWindowOuter * pitch)) + 1;
    const int side = t.size();
    cv::Mat1d sum(side, side, 0.0);
    std::vector<float> values;
    int count = 0;
    for (const cv::Point2d& c : centres) {
        if (!patch(image, c.x, c.y, t.half, values)) continue;
        for (int v = 0; v < side; ++v)
            for (int u = 0; u < side; ++u) sum(v, u) += values[static_cast<size_t>(v) * side + u];
        ++count;
    }
    sum /= std::max(1, count);
    sum.convertTo(t.image, CV_32F);
    cv::Mat1d normal(kTerms, kTerms, 0.0);
    for (int v = 1; v < side - 1; ++v)
        for (int u = 1; u < side - 1; ++u) {
            const double w = windowWeight(std::hypot(u - t.half, v - t.half), pitch);
            if (w <= 0) continue;
            t.du.push_back(u - t.half);
            t.dv.push_back(v - t.half);
            t.weight.push_back(static_cast<float>(w));
            t.value.push_back(t.image(v, u));
            t.gx.push_back(0.5f * (t.image(v, u + 1) - t.image(v, u - 1)));
            t.gy.push_back(0.5f * (t.image(v + 1, u) - t.image(v - 1, u)));
            double phi[kTerms] = {};
            t.basis(t.du.size() - 1, phi);
            for (int r = 0; r < kTerms; ++r)
                for (int s = 0; s < kTerms; ++s) normal(r, s) += w * phi[r] * phi[s];
        }
    cv::invert(normal, t.inverse, cv::DECOMP_SVD);
    return t;
}

// The micro-image near (x, y) fitted to the template, moving (x, y) onto its centre.
bool measureLens(const cv::Mat1f& image, const Template& t, double& x, double& y, double& gain, double& unexplained) {
    const double x0 = x, y0 = y;
    std::vector<float> values;
    const int side = t.size();
    for (int iteration = 0; iteration < 6; ++iteration) {
        if (!patch(image, x, y, t.half, values)) return false;
        double rhs[kTerms] = {};
        double phi[kTerms] = {};
        for (size_t k = 0; k < t.du.size(); ++k) {
            const double s = values[static_cast<size_t>(t.dv[k] + t.half) * side + t.du[k] + t.half] * t.weight[k];
            t.basis(k, phi);
            for (int r = 0; r < kTerms; ++r) rhs[r] += phi[r] * s;
        }
        double theta[kTerms] = {};
        for (int r = 0; r < kTerms; ++r)
            for (int q = 0; q < kTerms; ++q) theta[r] += t.inverse(r, q) * rhs[q];
        if (!(theta[0] > 0)) return false;
        // I(p + x) ~ gain T(x - d) ~ gain T(x) - gain grad T . d: the fitted gradient terms give -gain d.
        const double dx = -theta[2] / theta[0], dy = -theta[3] / theta[0];
        const bool last = std::hypot(dx, dy) < 1e-3 || iteration == 5;
        if (last) {
            double residual = 0, total = 0, mean = 0, weights = 0;
            for (size_t k = 0; k < t.du.size(); ++k) {
                mean += t.weight[k] * values[static_cast<size_t>(t.dv[k] + t.half) * side + t.du[k] + t.half];
                weights += t.weight[k];
            }
            mean /= weights;
            for (size_t k = 0; k < t.du.size(); ++k) {
                const double s = values[static_cast<size_t>(t.dv[k] + t.half) * side + t.du[k] + t.half];
                t.basis(k, phi);
                double model = 0;
                for (int r = 0; r < kTerms; ++r) model += theta[r] * phi[r];
                residual += t.weight[k] * (s - model) * (s - model);
                total += t.weight[k] * (s - mean) * (s - mean);
            }
            gain = theta[0];
            unexplained = total > 0 ? residual / total : 1.0;
        }
        x += dx;
        y += dy;
        if (std::hypot(x - x0, y - y0) > 0.3 * t.pitch) return false;
        if (last) return true;
    }
    return true;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// Median of every step-th pixel on each axis.
float median(const cv::Mat1f& image, int step) {
    std::vector<float> values;
    for (int y = 0; y < image.rows; y += step)
        for (int x = 0; x < image.cols; x += step) values.push_back(image(y, x));
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// Least squares over (ox, oy, a, b), linear in all four.
Lattice fit(const Lattice& shape, const std::vector<Lens>& lenses, const std::vector<bool>& use) {
    cv::Mat1d A, rhs;
    for (size_t n = 0; n < lenses.size(); ++n) {
        if (!use[n]) continue;
        const Lens& c = lenses[n];
        const double u = c.i + shape.c() * c.j, w = shape.h() * c.j;
        A.push_back(cv::Mat1d({1, 4}, {1.0, 0.0, u, -w}));
        rhs.push_back(c.x);
        A.push_back(cv::Mat1d({1, 4}, {0.0, 1.0, w, u}));
        rhs.push_back(c.y);
    }
    cv::Mat1d solution;
    cv::solve(A, rhs, solution, cv::DECOMP_SVD);
    Lattice l = shape;
    l.ox = solution(0);
    l.oy = solution(1);
    l.a = solution(2);
    l.b = solution(3);
    return l;
}

// Where the mean micro-image's light has fallen three quarters of the way from the disc's level
// at its rim to the dark beyond it (0 when it has no dark rim, as touching micro-images).
double extentOf(const Template& t) {
    const double step = 0.25, reach = kWindowOuter * t.pitch;
    const double mid = t.half + 0.5;
    std::vector<double> profile;
    for (double r = 0; r <= reach; r += step) {
        double sum = 0;
        constexpr int kAngles = 72;
        for (int k = 0; k < kAngles; ++k) {
            const double a = 2 * kPi * (k + 0.5) / kAngles;
            sum += sample(t.image, mid + r * std::cos(a), mid + r * std::sin(a));
        }
        profile.push_back(sum / kAngles);
    }
    const int inner = static_cast<int>(0.15 * t.pitch / step);
    const double top = *std::max_element(profile.begin(), profile.begin() + inner + 1);
    const int lowAt = static_cast<int>(std::min_element(profile.begin() + inner, profile.end()) - profile.begin());
    const double low = profile[lowAt];
    if (top - low < 0.2 * top) return 0;
    const auto crossing = [&](double level) {
        for (int n = inner; n < lowAt; ++n)
            if (profile[n] >= level && profile[n + 1] < level)
                return n + (profile[n] - level) / (profile[n] - profile[n + 1]);
        return -1.0;
    };
    const double first = crossing(0.5 * (top + low));
    if (first < 0) return 0;
    // The disc is shaded: its level is fitted as a line just inside the rim and taken at the rim.
    const int p0 = std::max(inner, static_cast<int>(first - 0.3 * t.pitch / step));
    const int p1 = std::max(p0 + 2, static_cast<int>(first - 0.1 * t.pitch / step));
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
    double r = first;
    for (int pass = 0; pass < 2 && r >= 0; ++pass) r = crossing(0.5 * (level0 + slope * r + low));
    if (r < 0) return 0;
    const double extent = crossing(0.25 * (level0 + slope * r) + 0.75 * low);
    return extent < 0 ? 0 : extent * step;
}

// Whole micro-images a fit needs: a dozen at small pitches, fewer where each is large
// (its rim alone then holds hundreds of pixels), never fewer than four.
int lensesNeeded(double pitch) { return std::clamp(static_cast<int>(std::ceil(384.0 / pitch)), 4, 12); }

}  // namespace

cv::Point2d GridEstimate::centre(double i, double j) const {
    Lattice l;
    l.kind = kind;
    l.ox = offsetX;
    l.oy = offsetY;
    l.a = pitch * std::cos(rotation);
    l.b = pitch * std::sin(rotation);
    return l.at(i, j);
}

GridEstimate findGrid(const cv::Mat& input, double pitchHint, const std::string& source) {
    if (input.empty() || input.channels() != 1) fail(source, "needs a grey image");
    if (pitchHint != 0.0 && !(pitchHint >= kMinGridPitch && pitchHint <= kMaxGridPitch))
        fail("--pitch-hint " + pixels(pitchHint),
             "must be " + pixels(kMinGridPitch) + ".." + pixels(kMaxGridPitch) + " px");
    cv::Mat1f image;
    input.convertTo(image, CV_32F);
    double lo = 0, hi = 0;
    cv::minMaxLoc(image, &lo, &hi);
    if (hi <= 0) fail(source, "white image is black: no micro-image grid");
    if (hi - lo < 1e-3 * hi) fail(source, "white image is flat: no micro-image grid");
    // The grid must hold a few whole micro-images across the image's smaller side.
    const double maxPitch =
        std::min(pitchHint > 0 ? pitchHint * 1.1 : kMaxGridPitch, std::min(image.cols, image.rows) / 2.5);
    const double minPitch = pitchHint > 0 ? pitchHint * 0.9 : kMinGridPitch;
    const std::string lookedFor =
        "looked for a hexagonal or square grid of " + pixels(minPitch) + ".." + pixels(maxPitch) + " px pitch";
    if (maxPitch < minPitch) fail(source, "image is too small for a grid of " + pixels(minPitch) + " px pitch");

    // The lattice from the image as it is, else from the image clipped at its median: in a scene
    // frame the scene inside the micro-images repeats too (shifted by the parallax between
    // neighbours), and its peaks can outweigh the grid's; clipped, mostly the micro-images' rims remain.
    const int reach = static_cast<int>(std::ceil(1.15 * maxPitch)) + 2;
    cv::Point origin;
    std::vector<float> wx, wy;
    cv::Mat1f crop = windowedCrop(image, origin, wx, wy);
    Lattice lattice;
    const Pattern pattern =
        latticeFromAutocorrelation(autocorrelation(crop, wx, wy, reach), minPitch, maxPitch, lattice);
    if (pattern != Pattern::Lattice) {
        cv::Mat1f clipped;
        cv::min(image, median(image, 3), clipped);
        crop = windowedCrop(clipped, origin, wx, wy);
        if (latticeFromAutocorrelation(autocorrelation(crop, wx, wy, reach), minPitch, maxPitch, lattice) !=
            Pattern::Lattice) {
            if (pattern == Pattern::OneDirection)
                fail(source, "no micro-image grid: the pattern repeats in one direction only (stripes?); " + lookedFor);
            if (pattern == Pattern::OtherLattice)
                fail(source,
                     "no micro-image grid: the pattern repeats, but not on a hexagonal or square grid; " + lookedFor);
            fail(source, "no micro-image grid: no repeating pattern; " + lookedFor);
        }
    }
    placeOrigin(image, crop, origin, lattice);

    // Measure micro-images in growing discs around the image's centre, refitting the grid each time,
    // so a small error of the first estimate never mislabels lenses far out; the last disc twice.
    const double far = std::hypot(image.cols * 0.5, image.rows * 0.5);
    std::vector<Lens> lenses;
    std::vector<bool> use;
    std::map<std::pair<int, int>, bool> dark;
    Template t;
    int finalPasses = 2;
    for (double reach = 8 * lattice.pitch();; reach = std::min(far, reach * 2)) {
        const double pitch = lattice.pitch();
        const double area = kPi * std::min(reach, far) * std::min(reach, far);
        const int stride =
            std::max(1, static_cast<int>(std::ceil(std::sqrt(area / lattice.cellArea() / kMeasuredLenses))));
        std::vector<std::pair<int, int>> indices;
        std::vector<cv::Point2d> predicted, clean;
        forLensesWithin(lattice, image.size(), reach, stride, [&](int i, int j, cv::Point2d p) {
            indices.emplace_back(i, j);
            predicted.push_back(p);
            if (!dark.count({i, j})) clean.push_back(p);
        });
        // The mean micro-image, then again about its own point of symmetry.
        t = buildTemplate(image, clean, pitch);
        cv::Point2d shift = symmetryCentre(t.image, pitch);
        for (cv::Point2d& p : clean) p += shift;
        t = buildTemplate(image, clean, pitch);
        const cv::Point2d rest = symmetryCentre(t.image, pitch);
        shift += rest;

        lenses.clear();
        for (size_t n = 0; n < predicted.size(); ++n) {
            double x = predicted[n].x + shift.x - rest.x, y = predicted[n].y + shift.y - rest.y, gain = 0,
                   unexplained = 0;
            if (!measureLens(image, t, x, y, gain, unexplained)) continue;
            lenses.push_back({indices[n].first, indices[n].second, x + rest.x, y + rest.y, gain, unexplained});
        }
        // Dark micro-images (dead lenses, dust) and ones unlike the rest (a spot on the rim): left out.
        std::map<std::pair<int, int>, double> gains;
        for (const Lens& c : lenses) gains[{c.i, c.j}] = c.gain;
        std::vector<double> unexplained;
        for (const Lens& c : lenses) unexplained.push_back(c.unexplained);
        const double typical = median(unexplained);
        use.assign(lenses.size(), true);
        dark.clear();
        for (size_t n = 0; n < lenses.size(); ++n) {
            std::vector<double> around;
            for (int dj = -1; dj <= 1; ++dj)
                for (int di = -1; di <= 1; ++di)
                    if (di || dj)
                        if (auto it = gains.find({lenses[n].i + di * stride, lenses[n].j + dj * stride});
                            it != gains.end())
                            around.push_back(it->second);
            if (around.size() >= 2 && lenses[n].gain < 0.6 * median(around)) {
                use[n] = false;
                dark[{lenses[n].i, lenses[n].j}] = true;
            }
            if (lenses[n].unexplained > std::max(0.1, 4 * typical)) use[n] = false;
        }
        // Fit, then drop centres far off the fit and fit again.
        const size_t usable = static_cast<size_t>(std::count(use.begin(), use.end(), true));
        if (usable >= 3) {
            for (int round = 0; round < 3; ++round) {
                lattice = fit(lattice, lenses, use);
                std::vector<double> residual(lenses.size()), kept;
                for (size_t n = 0; n < lenses.size(); ++n) {
                    const cv::Point2d p = lattice.at(lenses[n].i, lenses[n].j);
                    residual[n] = std::hypot(p.x - lenses[n].x, p.y - lenses[n].y);
                    if (use[n]) kept.push_back(residual[n]);
                }
                const double limit = std::max(0.02, 2.5 * median(kept));
                for (size_t n = 0; n < lenses.size(); ++n)
                    if (residual[n] > limit) use[n] = false;
            }
        }
        if (reach >= far && --finalPasses == 0) break;
    }

    GridEstimate g;
    g.kind = lattice.kind;
    double sum2 = 0;
    std::vector<double> unexplained;
    for (size_t n = 0; n < lenses.size(); ++n) {
        if (!use[n]) continue;
        const cv::Point2d p = lattice.at(lenses[n].i, lenses[n].j);
        sum2 += (p.x - lenses[n].x) * (p.x - lenses[n].x) + (p.y - lenses[n].y) * (p.y - lenses[n].y);
        unexplained.push_back(lenses[n].unexplained);
        ++g.centresUsed;
    }
    g.darkLenses = static_cast<int>(dark.size());
    g.residualRms = std::sqrt(sum2 / std::max(1, g.centresUsed));
    g.sceneContent = median(unexplained);
    const int needed = lensesNeeded(lattice.pitch());
    if (g.centresUsed < needed)
        fail(source, "too few whole micro-images to fit a grid (" + std::to_string(g.centresUsed) + ", needs " +
                         std::to_string(needed) + " at a " + pixels(lattice.pitch()) + " px pitch)");
    if (g.residualRms > 0.1 * lattice.pitch())
        fail(source, std::string("no consistent ") + g.typeName() + " micro-image grid (centres off the fit by " +
                         pixels(g.residualRms) + " px RMS at a " + pixels(lattice.pitch()) + " px pitch)");
    lattice.normalise();
    g.pitch = lattice.pitch();
    g.rotation = std::atan2(lattice.b, lattice.a);
    // Where the light has mostly gone; where the discs touch, the share of the pitch the camera design keeps.
    const double extent = extentOf(t);
    g.radius = extent > 0 ? std::min(extent, usableShare() * g.pitch) : usableShare() * g.pitch;
    // Lens (0, 0): the lattice point nearest (p/2, p/2), so the offset lies near the corner.
    double i = 0, j = 0;
    lattice.index(0.5 * g.pitch, 0.5 * g.pitch, i, j);
    const cv::Point2d corner = lattice.at(std::round(i), std::round(j));
    g.offsetX = corner.x;
    g.offsetY = corner.y;
    return g;
}

CCalibration defaultOptics() {
    CCalibration c = defaultCalibration(64, 64);
    c.exitPupilDistance = 0.0;
    return c;
}

CCalibration calibrationFromGrid(const GridEstimate& grid, int32_t width, int32_t height, const CCalibration& optics) {
    if (grid.kind != GridKind::Hex)
        throw CVyException("calibrate",
                           std::string(grid.typeName()) + " micro-image grid (pitch " + pixels(grid.pitch) + " px)",
                           "the engine takes hexagonal grids only");
    CCalibration c = optics;
    c.version = CCalibration::kCurrentVersion;
    c.sensorWidth = width;
    c.sensorHeight = height;
    c.gridType = grid.typeName();
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

cv::Mat drawOverlay(const cv::Mat& image, const GridEstimate& grid) {
    cv::Mat grey;
    double hi = 0;
    cv::minMaxLoc(image, nullptr, &hi);
    image.convertTo(grey, CV_8U, hi > 0 ? 255.0 / hi : 1.0);
    cv::Mat out;
    cv::cvtColor(grey, out, cv::COLOR_GRAY2BGR);
    double i0 = 0, j0 = 0;
    Lattice l;
    l.kind = grid.kind;
    l.ox = grid.offsetX;
    l.oy = grid.offsetY;
    l.a = grid.pitch * std::cos(grid.rotation);
    l.b = grid.pitch * std::sin(grid.rotation);
    l.index(image.cols * 0.5, image.rows * 0.5, i0, j0);
    const int span = static_cast<int>((image.cols + image.rows) / grid.pitch) + 4;
    constexpr int kShift = 4;  // sub-pixel drawing
    for (int j = static_cast<int>(j0) - span; j <= static_cast<int>(j0) + span; ++j)
        for (int i = static_cast<int>(i0) - 2 * span; i <= static_cast<int>(i0) + 2 * span; ++i) {
            const cv::Point2d c = l.at(i, j);
            if (c.x < -grid.pitch || c.y < -grid.pitch || c.x > image.cols + grid.pitch ||
                c.y > image.rows + grid.pitch)
                continue;
            // Pixel centres are at +0.5: drawing coordinates are shifted back by half a pixel.
            const cv::Point p(static_cast<int>(std::lround((c.x - 0.5) * (1 << kShift))),
                              static_cast<int>(std::lround((c.y - 0.5) * (1 << kShift))));
            cv::circle(out, p, static_cast<int>(grid.radius * (1 << kShift)), cv::Scalar(0, 200, 0), 1, cv::LINE_AA,
                       kShift);
            cv::circle(out, p, 1 << kShift, cv::Scalar(0, 0, 255), cv::FILLED, cv::LINE_AA, kShift);
        }
    return out;
}

}  // namespace Vy::Synth
