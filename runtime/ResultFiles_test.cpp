#include "ResultFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "CVyException.h"

namespace {

namespace R = Vy::Results;

CCalibration camera() {
    CCalibration c;
    c.pixelSize = 0.0055;
    c.mlaToSensor = 0.35;
    c.mainFocalLength = 50.0;
    c.mainLensToMla = 50.5;
    c.principalX = 128.0;
    c.principalY = 64.0;
    return c;
}

float floatAt(const std::string& bytes, size_t offset) {
    float v = 0.0f;
    std::memcpy(&v, bytes.data() + offset, sizeof v);
    return v;
}

}  // namespace

TEST(ResultFilesTest, DepthIsNaNWhereTheEngineFoundNoneOrTheOpticsGiveNoDistance) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const cv::Mat1f v = (cv::Mat1f(1, 6) << 3.0f, 0.0f, -2.0f, nan, inf, 6.0f);
    const cv::Mat1f mm = R::depthMillimetres(v, camera());
    // z = 1 / (1/f - 1/(L + v B)): v 3 puts the image 51.55 mm behind the lens.
    EXPECT_NEAR(mm(0, 0), 1.0 / (1.0 / 50.0 - 1.0 / 51.55), 1e-3);
    EXPECT_NEAR(mm(0, 5), 1.0 / (1.0 / 50.0 - 1.0 / 52.6), 1e-3);
    for (int i = 1; i <= 4; ++i) EXPECT_TRUE(std::isnan(mm(0, i))) << i;
    const cv::Mat1f virtualOnly = R::depthVirtual(v);
    EXPECT_EQ(virtualOnly(0, 0), 3.0f);
    for (int i = 1; i <= 4; ++i) EXPECT_TRUE(std::isnan(virtualOnly(0, i))) << i;

    // A main lens whose images fall inside its focal length: no real distance, so no mm.
    CCalibration close = camera();
    close.mainLensToMla = 48.0;
    EXPECT_EQ(R::opticsProblem(camera(), 2.0, 6.0), "");
    EXPECT_NE(R::opticsProblem(close, 2.0, 6.0).find("give no distance for virtual depths 2..6"), std::string::npos);
    EXPECT_TRUE(std::isnan(R::depthMillimetres((cv::Mat1f(1, 1) << 2.0f), close)(0, 0)));
}

TEST(ResultFilesTest, PfmIsLittleEndianWithTheBottomRowFirst) {
    const cv::Mat1f image = (cv::Mat1f(2, 3) << 1, 2, 3, 4, 5, std::numeric_limits<float>::quiet_NaN());
    const std::string bytes = R::encodeFloat(image, R::FloatFormat::Pfm, "d.pfm");
    const std::string header = "Pf\n3 2\n-1.0\n";
    ASSERT_EQ(bytes.size(), header.size() + 6 * sizeof(float));
    EXPECT_EQ(bytes.substr(0, header.size()), header);
    const float expected[] = {4, 5};  // the bottom row comes first
    EXPECT_EQ(floatAt(bytes, header.size()), expected[0]);
    EXPECT_EQ(floatAt(bytes, header.size() + 4), expected[1]);
    EXPECT_TRUE(std::isnan(floatAt(bytes, header.size() + 8)));
    EXPECT_EQ(floatAt(bytes, header.size() + 12), 1.0f);
    EXPECT_EQ(static_cast<unsigned char>(bytes[header.size() + 14]), 0x80u);  // 1.0f = 00 00 80 3f
}

TEST(ResultFilesTest, FloatTiffAndSixteenBitStillsDecodeToTheirValues) {
    const cv::Mat1f depth = (cv::Mat1f(2, 2) << 1500.25f, std::numeric_limits<float>::quiet_NaN(), 2.0f, 1e6f);
    const std::string tiff = R::encodeFloat(depth, R::FloatFormat::Tiff, "d.tiff");
    const cv::Mat read = cv::imdecode(std::vector<uchar>(tiff.begin(), tiff.end()), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(read.type(), CV_32FC1);
    EXPECT_EQ(read.at<float>(0, 0), 1500.25f);
    EXPECT_TRUE(std::isnan(read.at<float>(0, 1)));
    EXPECT_EQ(read.at<float>(1, 1), 1e6f);

    const cv::Mat1w levels = (cv::Mat1w(1, 5) << 0, 1, 8190, 16383, 20000);
    const cv::Mat1w full = R::fullRange16(levels);
    EXPECT_EQ(full(0, 0), 0);
    EXPECT_EQ(full(0, 1), 4);
    EXPECT_EQ(full(0, 2), 32761);  // 32761.4997: a float scale rounds it up
    EXPECT_EQ(full(0, 3), 65535);
    EXPECT_EQ(full(0, 4), 65535);  // brighter than the white image
    for (const char* ext : {".png", ".tiff"}) {
        const std::string bytes = R::encodeImage(full, ext, "f");
        const cv::Mat back = cv::imdecode(std::vector<uchar>(bytes.begin(), bytes.end()), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(back.type(), CV_16UC1) << ext;
        EXPECT_EQ(cv::norm(back, full, cv::NORM_INF), 0.0) << ext;
    }
    EXPECT_THROW(R::encodeImage(full, ".nope", "f.nope"), CVyException);
}

TEST(ResultFilesTest, PointCloudHoldsOnlyFiniteDepthsInTheCameraFrame) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Scale 2 on a 256 x 128 sensor: output pixel (i, j) is centred on sensor (2i + 1, 2j + 1).
    cv::Mat1f depth(64, 128, nan);
    depth(0, 0) = 1000.0f;     // top left of the unturned image: right and down once turned
    depth(63, 127) = 2000.0f;  // bottom right
    cv::Mat3b colour(depth.size(), cv::Vec3b(10, 20, 30));
    size_t points = 0;
    const std::string ply = R::encodePointCloud(depth, colour, camera(), 2, points);
    EXPECT_EQ(points, 2u);
    const size_t end = ply.find("end_header\n");
    ASSERT_NE(end, std::string::npos);
    EXPECT_NE(ply.find("element vertex 2\n"), std::string::npos);
    const size_t body = end + std::strlen("end_header\n");
    ASSERT_EQ(ply.size(), body + 2 * (3 * sizeof(float) + 3));
    const double b1 = 1.0 / (1.0 / 50.0 - 1.0 / 1000.0);
    EXPECT_NEAR(floatAt(ply, body), -(1.0 - 128.0) * 0.0055 * 1000.0 / b1, 1e-4);  // x > 0: to the right
    EXPECT_NEAR(floatAt(ply, body + 4), -(1.0 - 64.0) * 0.0055 * 1000.0 / b1, 1e-4);
    EXPECT_EQ(floatAt(ply, body + 8), 1000.0f);
    EXPECT_GT(floatAt(ply, body), 0.0f);
    EXPECT_LT(floatAt(ply, body + 15), 0.0f);  // the bottom right point lies left once turned
    EXPECT_EQ(floatAt(ply, body + 23), 2000.0f);
    // BGR in, red green blue out.
    EXPECT_EQ(static_cast<unsigned char>(ply[body + 12]), 30);
    EXPECT_EQ(static_cast<unsigned char>(ply[body + 14]), 10);
}

TEST(ResultFilesTest, SidecarGivesTheGridScaleAndEscapesNames) {
    R::Sidecar s;
    s.file = "frame00001_id7_depth.tiff";
    s.kind = "depth";
    s.units = "mm";
    s.frameIndex = 1;
    s.frameId = 7;
    s.timeStampMs = 1565344800040.0;
    s.outputScale = 2;
    s.medianDepthMm = 1550.0;
    s.sequence = "a \"quoted\"\\name.rays";
    const std::string json = R::sidecarJson(s, camera());
    EXPECT_NE(json.find("\"frame_id\": 7,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"time_stamp_ms\": 1565344800040,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"sequence\": \"a \\\"quoted\\\"\\\\name.rays\""), std::string::npos) << json;
    // 2 px * 5.5 um * (1550 / 50 - 1) = 0.33 mm per output pixel.
    EXPECT_NE(json.find("\"mm_per_output_pixel_at_median_depth\": 0.33"), std::string::npos) << json;
    EXPECT_EQ(json.find("refocus_mm"), std::string::npos);
}
