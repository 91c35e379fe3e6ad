// raystool render: every output read back by readers of its own (tools/render_readback.py with
// tifffile, Open3D and numpy under Debian's python3), checked against the truth of a synthetic
// sequence and against the engine run as the program runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "BenchReplay.h"
#include "CCuda.h"
#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "EngineQuality.h"
#include "RaystoolRun.h"

namespace fs = std::filesystem;

namespace {

class RenderCommandTest : public RaystoolTest {
protected:
    // "key value" lines of the reader, values as printed (strings in JSON quotes).
    std::map<std::string, std::string> readBack(const std::string& out, const std::string& stem, int frame) {
        const std::string calibration = path("calibration.txt");
        std::ofstream(calibration) << run("info " + sequence_).stdoutText;
        const std::string lines = path("readback.txt"), errors = path("readback-errors.txt");
        const std::string command = "/usr/bin/python3 " + std::string(VY_SOURCE_DIR) + "/tools/render_readback.py " +
                                    out + " " + stem + " " + calibration + " " + sequence_ + ".truth " +
                                    std::to_string(frame) + " " + dir_.string() + " >" + lines + " 2>" + errors;
        EXPECT_EQ(std::system(command.c_str()), 0) << slurp(errors);
        std::map<std::string, std::string> found;
        std::istringstream text(slurp(lines));
        for (std::string line; std::getline(text, line);) {
            const size_t space = line.find(' ');
            found[line.substr(0, space)] = line.substr(space + 1);
        }
        return found;
    }
    static double number(const std::map<std::string, std::string>& m, const std::string& key) {
        const auto it = m.find(key);
        return it == m.end() ? std::nan("") : std::atof(it->second.c_str());
    }
    template <typename T>
    std::vector<T> dumped(const std::string& name) {
        const std::string bytes = slurp(path(name));
        std::vector<T> values(bytes.size() / sizeof(T));
        std::copy(bytes.begin(), bytes.begin() + values.size() * sizeof(T), reinterpret_cast<char*>(values.data()));
        return values;
    }
    std::string sequence_ = path("planes.rays");
};

}  // namespace

// Fronto-parallel planes at known distances: the depth in mm scores as rayquality scores the
// engine, the point cloud puts each plane at its distance, and the files hold the engine's images.
TEST_F(RenderCommandTest, EveryOutputReadsBackAsTheEngineComputedIt) {
    ASSERT_EQ(run("create --preset planes --size 256 --frames 2 --quiet " + sequence_).status, 0);
    const std::string out = path("out");
    const Outcome first = run("render " + sequence_ + " " + out + " --depth --total-focus png --ply --depth-picture");
    ASSERT_EQ(first.status, 0) << first.stderrText;
    EXPECT_EQ(first.stderrText, "");
    EXPECT_NE(first.stdoutText.find("rendered 2 frames (8 files"), std::string::npos) << first.stdoutText;
    const Outcome second = run("render " + sequence_ + " " + out + " --depth pfm --refocus 1276,1739 --frames 0");
    ASSERT_EQ(second.status, 0) << second.stderrText;

    const std::map<std::string, std::string> found = readBack(out, "frame00000_id1000_", 0);
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found.at("depth_dtype"), "\"float32\"");
    EXPECT_EQ(found.at("depth_shape"), "128 128");
    const Vy::Synth::QualityReport quality = Vy::Synth::measureEngineQuality(
        sequence_, std::string(VY_BIN_DIR) + "/CurrentSettings-2019-08-09.vyset", 1, "");
    EXPECT_NEAR(number(found, "median_virtual_error"), quality.depth.medianRelativeError, 1e-5);
    EXPECT_LT(number(found, "median_mm_error"), 0.01);
    EXPECT_EQ(found.at("pfm_same_as_tiff"), "true");

    EXPECT_EQ(number(found, "ply_points"), number(found, "depth_finite"));
    EXPECT_EQ(found.at("ply_has_colours"), "true");
    int planes = 0;
    for (; found.count("planes." + std::to_string(planes) + ".distance"); ++planes) {
        const std::string p = "planes." + std::to_string(planes) + ".";
        EXPECT_LT(number(found, p + "z_error"), 0.005) << found.at(p + "distance") << " mm";
        EXPECT_LT(number(found, p + "x_error"), 0.005) << found.at(p + "distance") << " mm";
        EXPECT_LT(number(found, p + "y_error"), 0.005) << found.at(p + "distance") << " mm";
    }
    EXPECT_EQ(planes, 3);
    EXPECT_GT(number(found, "x_follows_turned_columns"), 0.9);
    EXPECT_GT(number(found, "y_follows_turned_rows"), 0.9);

    EXPECT_EQ(found.at("focus_dtype"), "\"uint16\"");
    EXPECT_EQ(found.at("picture_shape"), "128 128 3");
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(found.at("refocus." + std::to_string(k) + ".dtype"), "\"uint16\"");
        EXPECT_GT(number(found, "refocus." + std::to_string(k) + ".max"), Vy::kFullScale14);  // the full range
    }
    const std::string side = "sidecars.frame00000_id1000_";
    EXPECT_EQ(found.at(side + "depth.tiff.json.frame_id"), "1000");
    EXPECT_EQ(found.at(side + "depth.tiff.json.units"), "\"mm (NaN: no depth)\"");
    EXPECT_EQ(found.at(side + "points.ply.json.width"), found.at("ply_points"));
    EXPECT_EQ(found.at(side + "refocus-1739mm.tiff.json.refocus_mm"), "1739");
    EXPECT_EQ(found.at(side + "focus.png.json.time_stamp_ms"), "1565344800000");
    // An output pixel at 1529 mm spans 2 px * 5.5 um * (1529 / 50 - 1) = 0.325 mm.
    EXPECT_NEAR(number(found, side + "depth.tiff.json.grid.mm_per_output_pixel_at_median_depth"),
                2 * 0.0055 * (number(found, side + "depth.tiff.json.grid.median_depth_mm") / 50.0 - 1.0), 1e-9);

    // The engine set up as the program sets it up, on the same frame.
    CSeqFileReader reader;
    reader.Open(sequence_.c_str(), 0);
    CRayImage image;
    reader.StartReading(image);
    reader.ReadFrame(image);
    CCuda::EnumerateCudaDevices();
    const Vy::Bench::SceneFrame frame{reader.GetCalibration(), image, image.GetWhiteImage()};
    Vy::Bench::ReplayEngine engine(frame);
    CVyImage focusImage, depthImage;
    engine.Run(1, focusImage);
    engine.Images().GetImage(Vy::ImageIdVirtualDepth, depthImage);
    const int w = focusImage.GetWidth(), h = focusImage.GetHeight();
    const auto* focus = static_cast<const uint16_t*>(focusImage.GetPixelData());
    const auto* virtualDepth = static_cast<const float*>(depthImage.GetPixelData());
    const std::vector<uint16_t> focusRead = dumped<uint16_t>("focus.u16");
    const std::vector<float> depthRead = dumped<float>("depth.f32");
    ASSERT_EQ(focusRead.size(), size_t(w) * h);
    ASSERT_EQ(depthRead.size(), size_t(w) * h);
    const CCalibration& c = reader.GetCalibration();
    int focusDiffer = 0, depthDiffer = 0;
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) {
            const size_t turned = size_t(h - 1 - j) * w + (w - 1 - i);
            const long stretched = std::lround(std::min(focus[j * w + i], uint16_t{16383}) * 65535.0 / 16383.0);
            focusDiffer += focusRead[turned] != stretched;
            const double v = virtualDepth[j * w + i];
            const double mm = 1.0 / (1.0 / c.mainFocalLength - 1.0 / (c.mainLensToMla + v * c.mlaToSensor));
            const float read = depthRead[turned];
            depthDiffer += v > 0 ? !(std::abs(read - mm) <= 1e-4 * mm) : !std::isnan(read);
        }
    EXPECT_EQ(focusDiffer, 0);
    EXPECT_EQ(depthDiffer, 0);

    const std::map<std::string, std::string> later = readBack(out, "frame00001_id1001_", 1);
    EXPECT_EQ(later.at("sidecars.frame00001_id1001_focus.png.json.frame_id"), "1001");
    EXPECT_EQ(later.at("sidecars.frame00001_id1001_focus.png.json.frame_index"), "1");
}

// EXR is read back by OpenCV (no EXR reader of Debian's python3 is at hand): the same floats as the TIFF.
TEST_F(RenderCommandTest, ExrHoldsTheTiffsFloats) {
    ASSERT_EQ(run("create --preset planes --size 128 --frames 1 --quiet " + sequence_).status, 0);
    const Outcome o = run("render " + sequence_ + " " + path("out") + " --depth exr");
    ASSERT_EQ(o.status, 0) << o.stderrText;
    ASSERT_EQ(run("render " + sequence_ + " " + path("out") + " --depth tiff").status, 0);
    setenv("OPENCV_IO_ENABLE_OPENEXR", "1", 1);
    const cv::Mat exr = cv::imread(path("out/frame00000_id1000_depth.exr"), cv::IMREAD_UNCHANGED);
    const cv::Mat tiff = cv::imread(path("out/frame00000_id1000_depth.tiff"), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(exr.type(), CV_32FC1);
    ASSERT_EQ(tiff.type(), CV_32FC1);
    EXPECT_EQ(cv::norm(exr, tiff, cv::NORM_INF), 0.0);
}

// Frames by index, by id and by range; the names carry both.
TEST_F(RenderCommandTest, FramesAreChosenByIndexIdAndRange) {
    ASSERT_EQ(run("create --preset small --size 96 --frames 6 --quiet --no-truth " + sequence_).status, 0);
    const auto rendered = [this](const std::string& selection) {
        const std::string out = path("sel");
        fs::remove_all(out);
        const Outcome o = run("render " + sequence_ + " " + out + " --total-focus " + selection);
        EXPECT_EQ(o.status, 0) << selection << ": " << o.stderrText;
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(out))
            if (e.path().extension() != ".json") names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        std::string joined;
        for (const std::string& n : names) joined += n.substr(0, n.find("_focus")) + " ";
        return joined;
    };
    EXPECT_EQ(rendered("--frames 0,2-3"), "frame00000_id1000 frame00002_id1002 frame00003_id1003 ");
    EXPECT_EQ(rendered("--ids 1005,1001"), "frame00001_id1001 frame00005_id1005 ");
    EXPECT_EQ(rendered("--first 4"), "frame00004_id1004 frame00005_id1005 ");
    EXPECT_EQ(rendered("--first 1 --count 2"), "frame00001_id1001 frame00002_id1002 ");
    EXPECT_EQ(rendered("--frames 5 --ids 1000"), "frame00000_id1000 frame00005_id1005 ");
}

TEST_F(RenderCommandTest, RefusalsAreOneLineAndWriteNothing) {
    ASSERT_EQ(run("create --preset small --size 96 --frames 2 --quiet --no-truth " + sequence_).status, 0);
    std::ofstream(path("bad.vyset")) << "output.scale = 99\n";
    const std::string s = sequence_ + " " + path("out");
    ASSERT_EQ(run("render " + s + " --total-focus png --frames 0").status, 0);
    const struct {
        std::string arguments;
        std::string expected;
    } cases[] = {
        {"render " + sequence_, "render: needs FILE and OUTDIR"},
        {"render " + s, "render: nothing to render"},
        {"render " + path("missing.rays") + " " + path("o2") + " --depth", "missing.rays: No such file"},
        {"render " + s + " --depth --frames 2", "--frames: index 2 is past the last frame (2 frames)"},
        {"render " + s + " --depth --frames 1-", "--frames: '' is not a number"},
        {"render " + s + " --depth --frames 3-1", "--frames: '3-1' runs backwards"},
        {"render " + s + " --depth --ids 2000", "--ids: no frame of " + sequence_ + " has the id 2000"},
        {"render " + s + " --depth --first 9", "--first 9 is past the last frame"},
        {"render " + s + " --refocus 10", "--refocus: 10 mm lies outside the refocus range"},
        {"render " + s + " --refocus 0", "--refocus: 0 is not a distance in mm"},
        {"render " + s + " --depth --settings " + path("bad.vyset"), "bad.vyset:1: value 99 of 'output.scale'"},
        {"render " + s + " --total-focus png --frames 0", "frame00000_id1000_focus.png (and 1 more): already exists"},
    };
    for (const auto& c : cases) expectRefusal(c.arguments, "raystool: render: ", c.expected);
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(path("out"))) files += e.is_regular_file();
    EXPECT_EQ(files, 2u);  // the first render's still and sidecar, nothing else
    EXPECT_FALSE(fs::exists(path("o2")));
    // --overwrite replaces them.
    EXPECT_EQ(run("render " + s + " --total-focus png --frames 0 --overwrite").status, 0);
}

// Optics whose main lens images every depth inside its focal length give no distance: the depth
// stays in virtual units, and the sidecar and one stderr line say so; a point cloud is refused.
TEST_F(RenderCommandTest, OpticsWithoutDistancesGiveVirtualUnitsAndSaySo) {
    ASSERT_EQ(run("create --preset small --size 96 --frames 1 --quiet --no-truth " + sequence_).status, 0);
    ASSERT_EQ(run("export " + sequence_ + " " + path("ex")).status, 0);
    std::string calibration = slurp(path("ex/calibration.txt"));
    const size_t at = calibration.find("mainLensToMla = ");
    ASSERT_NE(at, std::string::npos);
    calibration.replace(at, calibration.find('\n', at) - at, "mainLensToMla = 48");
    std::ofstream(path("ex/calibration.txt")) << calibration;
    const std::string close = path("close.rays");
    ASSERT_EQ(run("import " + path("ex/frame_00000.png") + " --white " + path("ex/white.png") + " --calibration " +
                  path("ex/calibration.txt") + " -o " + close)
                  .status,
              0);
    const Outcome o = run("render " + close + " " + path("out") + " --depth");
    ASSERT_EQ(o.status, 0) << o.stderrText;
    EXPECT_EQ(o.stderrText.rfind("raystool: render: warning: depth is in virtual units, not mm: the calibration's "
                                 "optics (mainFocalLength 50 mm, mainLensToMla 48 mm",
                                 0),
              0u)
        << o.stderrText;
    EXPECT_EQ(std::count(o.stderrText.begin(), o.stderrText.end(), '\n'), 1) << o.stderrText;
    const std::string sidecar = slurp(path("out/frame00000_id0_depth.tiff.json"));
    EXPECT_NE(sidecar.find("\"units\": \"virtual depth (NaN: no depth)"), std::string::npos) << sidecar;
    EXPECT_NE(sidecar.find("\"note\": \"the calibration's optics"), std::string::npos) << sidecar;
    // The values are virtual depths within the searched 2..6, not distances.
    const std::string range = path("range.txt");
    const std::string read = "/usr/bin/python3 -c \"import tifffile, numpy; d = tifffile.imread('" +
                             path("out/frame00000_id0_depth.tiff") + "'); print(numpy.nanmin(d), numpy.nanmax(d))\" >" +
                             range;
    ASSERT_EQ(std::system(read.c_str()), 0);
    double low = 0, high = 0;
    std::istringstream(slurp(range)) >> low >> high;
    EXPECT_GE(low, 2.0);
    EXPECT_LE(high, 6.0);
    expectRefusal("render " + close + " " + path("out2") + " --ply",
                  "raystool: render: --ply: ", "needs depth in mm, but the calibration's optics");
}
