// Importing frames from image files: order, depth, time stamps, and the bad inputs users bring.
#include "FrameImporter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <opencv2/imgcodecs.hpp>

#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "CVyException.h"
#include "CameraDesign.h"
#include "TestFiles.h"

using namespace Vy::Synth;

namespace {

class FrameImporterTest : public Vy::Test::ScratchDirTest {
protected:
    void SetUp() override {
        Vy::Test::ScratchDirTest::SetUp();
        std::filesystem::create_directories(dir_ / "frames");
        std::ofstream(path("cal.txt")) << defaultCalibration(kW, kH).ToText();
        options.inputs = {path("frames")};
        options.calibration = path("cal.txt");
        options.startMs = 1000.0;
        options.firstId = 7;
    }
    // A 12-bit frame whose every pixel says which frame it is.
    cv::Mat1w frame(int n) const { return cv::Mat1w(kH, kW, static_cast<uint16_t>(100 + n * 300)); }
    void writeFrames(int count) {
        for (int n = 0; n < count; ++n) cv::imwrite(path("frames/frame_" + std::to_string(n) + ".png"), frame(n));
    }
    std::string errorOf() {
        try {
            importSequence(path("out.rays"), options, nullptr, nullptr);
        } catch (const CVyException& e) {
            EXPECT_FALSE(std::filesystem::exists(path("out.rays"))) << "left a file behind for: " << e.what();
            return e.what();
        }
        return "";
    }
    std::string slurp(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The files of the scratch folder whose names hold text (temporary files left behind).
    int filesNamed(const std::string& text) const {
        int found = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_))
            found += entry.path().filename().string().find(text) != std::string::npos;
        return found;
    }
    static constexpr int kW = 96, kH = 80;
    ImportOptions options;
};

TEST_F(FrameImporterTest, FramesKeepTheirOrderDepthAndTimes) {
    writeFrames(12);  // frame_10 and frame_11 sort after frame_9
    options.bits = 12;
    // The white image kept beside the frames is not a frame.
    cv::imwrite(path("frames/white.png"), cv::Mat1w(kH, kW, uint16_t{4000}));
    options.white = path("frames/white.png");
    const ImportSummary s = importSequence(path("out.rays"), options, nullptr, nullptr);
    EXPECT_EQ(s.frames, 12u);
    EXPECT_EQ(s.bytes, 12u * kW * kH * 2);
    CSeqFileReader reader;
    reader.Open(path("out.rays"), 0);
    EXPECT_EQ(reader.GetSignificantBits(), 12);
    CRayImage image;
    reader.StartReading(image);
    for (int n = 0; n < 12; ++n) {
        reader.ReadFrame(image);
        EXPECT_EQ(static_cast<const uint16_t*>(image.GetPixelData())[5], 100 + n * 300) << n;
        EXPECT_EQ(image.frameId, 7 + n);
        EXPECT_DOUBLE_EQ(image.timeStamp, 1000.0 + n * 40.0);
    }

    EXPECT_FALSE(image.GetWhiteImage().IsEmpty());
    std::ofstream(path("times.csv")) << "ms\n5\n6.5\n9\n";
    options.timestamps = path("times.csv");
    options.inputs = {path("frames/frame_2.png"), path("frames/frame_10.png"), path("frames/frame_1.png")};
    options.overwrite = true;
    importSequence(path("out.rays"), options, nullptr, nullptr);
    reader.Open(path("out.rays"), 0);
    reader.StartReading(image);
    const double stamps[] = {5, 6.5, 9};
    const int order[] = {1, 2, 10};
    for (int n = 0; n < 3; ++n) {
        reader.ReadFrame(image);
        EXPECT_EQ(static_cast<const uint16_t*>(image.GetPixelData())[0], 100 + order[n] * 300);
        EXPECT_DOUBLE_EQ(image.timeStamp, stamps[n]);
    }
}

TEST_F(FrameImporterTest, AStopLeavesASequenceOfWholeFrames) {
    writeFrames(5);
    std::atomic<bool> stop{true};
    const ImportSummary s = importSequence(path("out.rays"), options, nullptr, &stop);
    EXPECT_TRUE(s.interrupted);
    CSeqFileReader reader;
    reader.Open(path("out.rays"), 0);
    EXPECT_EQ(reader.GetFrameCount(), 1u);
    EXPECT_EQ(reader.GetPromisedFrameCount(), 1u);
}

TEST_F(FrameImporterTest, BadInputIsOneLineNamingTheFileAndWritesNothing) {
    EXPECT_NE(errorOf().find("frames: folder holds no PNG, TIFF or PGM images"), std::string::npos);
    writeFrames(3);
    std::ofstream(path("frames/frame_1.png")) << "not a png";
    EXPECT_NE(errorOf().find("frame_1.png: cannot decode the image"), std::string::npos);
    cv::imwrite(path("frames/frame_1.png"), cv::Mat1w(kH + 2, kW, uint16_t{5}));
    EXPECT_NE(errorOf().find("frame_1.png: size 96x82 differs from the first frame's 96x80"), std::string::npos);
    cv::imwrite(path("frames/frame_1.png"), cv::Mat3b(kH, kW, cv::Vec3b(1, 2, 3)));
    EXPECT_NE(errorOf().find("frame_1.png: the image has 3 channels"), std::string::npos);
    cv::imwrite(path("frames/frame_1.png"), cv::Mat1b(kH, kW, uint8_t{5}));
    EXPECT_NE(errorOf().find("frame_1.png: 8-bit image among 16-bit ones"), std::string::npos);
    cv::imwrite(path("frames/frame_1.png"), frame(1));

    options.bits = 10;  // the good frames hold at most 700
    cv::imwrite(path("frames/frame_2.png"), cv::Mat1w(kH, kW, uint16_t{1024}));
    EXPECT_NE(errorOf().find("frame_2.png: value 1024 does not fit in 10 bits"), std::string::npos);
    options.bits = 0;

    cv::imwrite(path("white.png"), cv::Mat1w(kH / 2, kW, uint16_t{9}));
    options.white = path("white.png");
    EXPECT_NE(errorOf().find("white.png: white image is 96x40, frames are 96x80"), std::string::npos);
    cv::imwrite(path("white.png"), cv::Mat1w(kH, kW, uint16_t{9}));
    options.calibration.clear();
    options.calibrate = true;
    EXPECT_NE(errorOf().find("white.png: white image is flat"), std::string::npos);
    options.calibrate = false;
    options.white.clear();

    std::ofstream(path("bad.txt")) << "lensPitch = 2\n";
    options.calibration = path("bad.txt");
    EXPECT_NE(errorOf().find("bad.txt"), std::string::npos);
    std::ofstream(path("bad.txt")) << "sensorWidth = 96\nsensorHeight = 80\nnoSuchKey = 1\n";
    EXPECT_EQ(errorOf().rfind("import: " + path("bad.txt") + ":3: unknown key 'noSuchKey'", 0), 0u);
    options.calibration = path("cal.txt");
    std::filesystem::create_directories(path("out.rays"));
    EXPECT_THROW(importSequence(path("out.rays"), options, nullptr, nullptr), CVyException);
    EXPECT_TRUE(std::filesystem::is_directory(path("out.rays")));
}

// An output named like one of the inputs, however spelled, would be replaced by the import: refused even with
// overwrite. An existing output is kept unless overwrite, and a refused import never removes it.
TEST_F(FrameImporterTest, AnImportNeverDestroysAnInputOrAnEarlierFile) {
    writeFrames(3);
    cv::imwrite(path("white.png"), cv::Mat1w(kH, kW, uint16_t{4000}));
    std::ofstream(path("times.csv")) << "1\n2\n3\n";
    options.white = path("white.png");
    options.timestamps = path("times.csv");
    options.overwrite = true;
    ASSERT_EQ(symlink(path("frames/frame_1.png").c_str(), path("link.png").c_str()), 0);
    ASSERT_EQ(link(path("white.png").c_str(), path("hard.png").c_str()), 0);
    const std::string frameFile = slurp("frames/frame_1.png"), white = slurp("white.png");
    for (const std::string& out :
         {path("frames/frame_1.png"), path("link.png"), dir_.string() + "/./frames/../frames/frame_1.png",
          path("white.png"), path("hard.png"), path("cal.txt"), path("times.csv")}) {
        try {
            importSequence(out, options, nullptr, nullptr);
            ADD_FAILURE() << "imported into an input: " << out;
        } catch (const CVyException& e) {
            EXPECT_NE(std::string(e.what()).find(out + ": output is the input "), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(slurp("frames/frame_1.png"), frameFile);
    EXPECT_EQ(slurp("white.png"), white);
    EXPECT_NE(slurp("cal.txt").find("sensorWidth"), std::string::npos);
    EXPECT_EQ(slurp("times.csv"), "1\n2\n3\n");

    std::ofstream(path("out.rays")) << "an earlier recording";
    options.overwrite = false;
    try {
        importSequence(path("out.rays"), options, nullptr, nullptr);
        ADD_FAILURE() << "an existing output was replaced";
    } catch (const CVyException& e) {
        EXPECT_NE(std::string(e.what()).find("out.rays: already exists (give --overwrite to replace it)"),
                  std::string::npos)
            << e.what();
    }
    // A frame refused half-way through, with overwrite: the earlier file is still there.
    options.overwrite = true;
    std::ofstream(path("frames/frame_2.png")) << "not a png";
    EXPECT_THROW(importSequence(path("out.rays"), options, nullptr, nullptr), CVyException);
    EXPECT_EQ(slurp("out.rays"), "an earlier recording");
    EXPECT_EQ(filesNamed(".partial"), 0);
    cv::imwrite(path("frames/frame_2.png"), frame(2));
    EXPECT_EQ(importSequence(path("out.rays"), options, nullptr, nullptr).frames, 3u);
    CSeqFileReader reader;
    reader.Open(path("out.rays"), 0);
    EXPECT_EQ(reader.GetFrameCount(), 3u);
}

// A full disk (here the file-size limit): an import can be redone, so none of it stays, and the line says why.
TEST_F(FrameImporterTest, AFailedWriteLeavesNoHalfImport) {
    writeFrames(4);
    cv::imwrite(path("white.png"), cv::Mat1w(kH, kW, uint16_t{4000}));
    options.white = path("white.png");
    const size_t frameBytes = size_t{kW} * kH * 2;
    // First the white image does not fit, then the white image and a frame fit but not all four frames.
    for (const size_t limit : {frameBytes / 2, 3 * frameBytes}) {
        std::string message;
        {
            const Vy::Test::FileSizeLimit limited(limit);
            try {
                importSequence(path("out.rays"), options, nullptr, nullptr);
            } catch (const CVyException& e) {
                message = e.what();
            }
        }
        EXPECT_EQ(message.rfind("import: " + path("out.rays") + ": write failed: File too large", 0), 0u) << message;
        EXPECT_NE(message.find("nothing was imported"), std::string::npos) << message;
        EXPECT_FALSE(std::filesystem::exists(path("out.rays"))) << limit;
        EXPECT_EQ(filesNamed(".partial"), 0) << limit;
    }
}

// Cameras that write 12-bit data into the high bits of 16-bit TIFFs: every sample a multiple of 16.
TEST_F(FrameImporterTest, DataInTheHighBitsIsShiftedDownToItsBits) {
    for (int n = 0; n < 3; ++n)
        cv::imwrite(path("frames/frame_" + std::to_string(n) + ".tif"), cv::Mat1w(kH, kW, uint16_t(16 * (100 + n))));
    cv::Mat1w white(kH, kW, uint16_t{16 * 4000});
    white(0, 0) = 16 * 4095;
    cv::imwrite(path("white.tif"), white);
    options.white = path("white.tif");
    options.bits = 12;
    const ImportSummary s = importSequence(path("out.rays"), options, nullptr, nullptr);
    EXPECT_EQ(s.note, path("frames/frame_0.tif") +
                          ": 12-bit data in the high bits of 16-bit samples (the low 4 bits are 0): stored shifted "
                          "down by 4, as 0..4095");
    CSeqFileReader reader;
    reader.Open(path("out.rays"), 0);
    EXPECT_EQ(reader.GetSignificantBits(), 12);
    CRayImage image;
    reader.StartReading(image);
    EXPECT_EQ(static_cast<const uint16_t*>(image.GetWhiteImage().GetPixelData())[0], 4095);
    for (int n = 0; n < 3; ++n) {
        reader.ReadFrame(image);
        EXPECT_EQ(static_cast<const uint16_t*>(image.GetPixelData())[9], 100 + n) << n;
    }
    reader.Close();

    // A later frame that uses the low bits is not such data.
    cv::imwrite(path("frames/frame_2.tif"), cv::Mat1w(kH, kW, uint16_t{16 * 102 + 3}));
    std::filesystem::remove(path("out.rays"));
    EXPECT_NE(errorOf().find("frame_2.tif: values with their low 4 bits set, unlike the first frame's (12-bit data in "
                             "the high bits)"),
              std::string::npos);
    // Without --bits the data goes in as it is, with a hint.
    cv::imwrite(path("frames/frame_2.tif"), cv::Mat1w(kH, kW, uint16_t{16 * 102}));
    options.bits = 0;
    options.overwrite = true;
    const ImportSummary plain = importSequence(path("out.rays"), options, nullptr, nullptr);
    EXPECT_EQ(plain.note, "");
    EXPECT_NE(plain.warning.find("16-bit samples use only their high 12 bits (the low 4 are 0 in every frame); for "
                                 "12-bit data in the high bits give --bits 12"),
              std::string::npos)
        << plain.warning;
}

// Time stamps from a spreadsheet (CR line ends) are read; a binary file is named without being echoed raw.
TEST_F(FrameImporterTest, TimeStampFilesOfOtherEditorsAndBinaryOnes) {
    writeFrames(3);
    std::ofstream(path("times.csv"), std::ios::binary) << "id,ms\r0,10\r1,20.5\r2,31\r";
    options.timestamps = path("times.csv");
    importSequence(path("out.rays"), options, nullptr, nullptr);
    CSeqFileReader reader;
    reader.Open(path("out.rays"), 0);
    CRayImage image;
    reader.StartReading(image);
    reader.ReadFrame(image);
    reader.ReadFrame(image);
    EXPECT_DOUBLE_EQ(image.timeStamp, 20.5);
    reader.Close();
    std::filesystem::remove(path("out.rays"));

    std::string binary = "\x89PNG\r\n\x1a\n";
    binary += std::string("\x1b[2J\0\x07", 6) + std::string(500, '\xfe') + "\n";
    std::ofstream(path("times.csv"), std::ios::binary) << binary;
    const std::string message = errorOf();
    EXPECT_NE(message.find("times.csv:2: '\\x1a' is not a time stamp in ms"), std::string::npos) << message;
    std::ofstream(path("times.csv"), std::ios::binary)
        << "ms\n" + std::string("\x1b[2J\0", 5) + std::string(500, '\xfe') + "\n";
    const std::string cut = errorOf();
    EXPECT_NE(cut.find("times.csv:2: '\\x1b[2J\\x00\\xfe"), std::string::npos) << cut;
    EXPECT_LT(cut.size(), 500u);
    EXPECT_EQ(cut.find_first_of(std::string("\x1b\0\xfe\n", 4)), std::string::npos);
    std::ofstream(path("times.csv"), std::ios::binary) << "heading only\n";
    EXPECT_NE(errorOf().find("times.csv: holds no time stamps"), std::string::npos);
}

// A calibration block from an old editor, CR line ends only, reads like any other.
TEST_F(FrameImporterTest, CalibrationWithCrOnlyLineEndsIsRead) {
    writeFrames(2);
    std::string text = defaultCalibration(kW, kH).ToText();
    std::replace(text.begin(), text.end(), '\n', '\r');
    std::ofstream(path("cal.txt"), std::ios::binary) << text;
    EXPECT_EQ(importSequence(path("out.rays"), options, nullptr, nullptr).frames, 2u);
}

}  // namespace
