// The program itself on a scene beyond its calibration's depth range: one warning line naming what to
// change; on the same scene with the range the calibration tools find for it, none.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>

#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "CSeqFileWriter.h"
#include "CalibrateCamera.h"
#include "SequenceGenerator.h"
#include "TestFiles.h"

namespace Vy::Synth {
namespace {

cv::Mat matOf(const CVyImage& image) {
    return cv::Mat(image.GetHeight(), image.GetWidth(), CV_8UC1, const_cast<void*>(image.GetPixelData()));
}

class DepthRangeWarning : public Vy::Test::ScratchDirTest {
protected:
    void SetUp() override {
        CreateOptions o;
        o.preset = "demo";  // virtual depths 2.8 .. 4.6
        o.size = 256;
        o.frames = 2;
        o.samples = 1;
        o.truth = false;
        createSequence(path("scene.rays"), o, nullptr);
    }
    // The scene's frames under another calibration (the range changed by change).
    std::string copyWith(const std::string& name, const std::function<void(CCalibration&, const CRayImage&)>& change) {
        CSeqFileReader reader;
        reader.Open(CVyString(path("scene.rays")), 0);
        CRayImage image;
        reader.StartReading(image);
        CCalibration calibration = reader.GetCalibration();
        reader.ReadFrame(image);
        change(calibration, image);
        CSeqFileWriter writer;
        writer.Create(CVyString(path(name)), reader.GetFrameFormat(), calibration, image.GetWhiteImage());
        reader.Seek(0);
        for (uint32_t i = 0; i < reader.GetFrameCount(); ++i) {
            reader.ReadFrame(image);
            writer.WriteFrame(image);
        }
        writer.Close();
        return path(name);
    }
    // Standard error of a replay in display type `type`.
    std::string replay(const std::string& sequence, int type) {
        const std::string out = path("out"), err = path("err.txt");
        const std::string command =
            "LCM_DEFAULT_URL=memq:// " VY_BIN_DIR "/MarlinProfileProc --no-window --output-dir " + out + " " +
            sequence + " " + std::to_string(type) + " </dev/null >" + path("run.txt") + " 2>" + err;
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        std::ifstream in(err);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(DepthRangeWarning, ANarrowRangeIsWarnedOfOnceAndAFoundOneIsNot) {
    const std::string narrow = copyWith("narrow.rays", [](CCalibration& c, const CRayImage&) {
        c.virtualDepthMin = 3.3;
        c.virtualDepthMax = 3.6;
    });
    const std::regex warning(
        "MarlinProfileProc: warning: [0-9.]+ % of the depths lie at the far end and [0-9.]+ % at the near end of the "
        "searched virtual depth range 3.3..3.6, [^\n]*virtualDepthMin/virtualDepthMax[^\n]*depth.virtual_min/"
        "depth.virtual_max[^\n]*\n");
    for (int type : {1, 2, 4}) {
        const std::string err = replay(narrow, type);
        EXPECT_EQ(std::distance(std::sregex_iterator(err.begin(), err.end(), warning), std::sregex_iterator()), 1)
            << "type " << type << ": " << err;
    }
    // Types without a depth map say nothing of it.
    EXPECT_EQ(replay(narrow, 0).find("depth range"), std::string::npos);

    // The range the calibration tools find from the white image and a frame fits the scene.
    const std::string found = copyWith("found.rays", [](CCalibration& c, const CRayImage& frame) {
        const cv::Mat white = matOf(frame.GetWhiteImage());
        c = calibrateCamera(white, "white", {matOf(frame)}, "frame", 8, 0.0, "", "calibrate").calibration;
    });
    for (int type : {2, 4}) {
        const std::string err = replay(found, type);
        EXPECT_EQ(err.find("warning"), std::string::npos) << "type " << type << ": " << err;
    }
}

}  // namespace
}  // namespace Vy::Synth
