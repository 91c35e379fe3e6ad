// The frames made from the unturned 16-bit image against the frames the
// earlier path made: turn the 16-bit image in place, convert it to 8 bits,
// and (recorder) make a BGR frame resized to the video side.
#include "FrameReduction.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "CVyImage.h"
#include "DisplayImage.h"
#include "VyTypes.h"

namespace {

constexpr int kVideoSide = 1024;

// Every 16-bit value at least once (the rounding halves, the 14-bit limit and
// above), then noise; odd sizes give the values to uneven places.
cv::Mat syntheticFrame(int width, int height) {
    cv::Mat wide(height, width, CV_16UC1);
    cv::randu(wide, cv::Scalar(0), cv::Scalar(16384 + 512));
    uint16_t* samples = wide.ptr<uint16_t>();
    const size_t count = std::min<size_t>(wide.total(), 65536);
    for (size_t i = 0; i < count; ++i) samples[i] = static_cast<uint16_t>(i * 7919 % 65536);
    return wide;
}

// The video frame the recorder wrote from the frame handed to it.
cv::Mat videoFrame(const cv::Mat& handed) {
    cv::Mat colour;
    cv::cvtColor(handed, colour, cv::COLOR_GRAY2BGR);
    if (colour.cols == kVideoSide && colour.rows == kVideoSide) return colour;
    cv::Mat resized;
    cv::resize(colour, resized, cv::Size(kVideoSide, kVideoSide), 0, 0, cv::INTER_LINEAR);
    return resized;
}

cv::Mat earlierVideoFrame(const cv::Mat& wide) {
    cv::Mat turned = wide.clone();
    cv::rotate(turned, turned, cv::ROTATE_180);
    cv::Mat narrow;
    turned.convertTo(narrow, CV_8U, 0.015625, 0);
    return videoFrame(narrow);
}

void expectSame(const cv::Mat& got, const cv::Mat& expected) {
    ASSERT_EQ(got.size(), expected.size());
    ASSERT_EQ(got.type(), expected.type());
    EXPECT_EQ(cv::norm(got, expected, cv::NORM_INF), 0.0);
}

}  // namespace

TEST(FrameReduction, RecordedFramesMatchTheEarlierPathAtEverySize) {
    // Twice the video side (halved here), other sizes both ways, odd ones too.
    for (const cv::Size size : {cv::Size(2048, 2048), cv::Size(2048, 1024), cv::Size(300, 200), cv::Size(1025, 777),
                                cv::Size(1024, 1024), cv::Size(2050, 2048)}) {
        SCOPED_TRACE(size);
        const cv::Mat wide = syntheticFrame(size.width, size.height);
        const cv::Mat before = wide.clone();
        const cv::Mat handed = FrameReduction::recordingFrame(wide, kVideoSide);
        EXPECT_EQ(handed.type(), CV_8UC1);
        expectSame(videoFrame(handed), earlierVideoFrame(wide));
        // Nothing is written into the engine's image.
        EXPECT_EQ(cv::norm(wide, before, cv::NORM_INF), 0.0);
    }
}

TEST(FrameReduction, TwiceTheVideoSideIsHalvedBeforeTheHandOver) {
    const cv::Mat handed = FrameReduction::recordingFrame(syntheticFrame(2048, 2048), kVideoSide);
    EXPECT_EQ(handed.size(), cv::Size(kVideoSide, kVideoSide));
    // A block of the top-left corner ends in the bottom-right one.
    cv::Mat wide(2048, 2048, CV_16UC1, cv::Scalar(0));
    wide(cv::Rect(0, 0, 2, 2)).setTo(64 * 200);
    const cv::Mat corner = FrameReduction::recordingFrame(wide, kVideoSide);
    EXPECT_EQ(corner.at<uint8_t>(kVideoSide - 1, kVideoSide - 1), 200);
    EXPECT_EQ(cv::countNonZero(corner), 1);
}

TEST(FrameReduction, ShownFramesMatchTheViewersConversionOfTheTurnedImage) {
    for (const cv::Size size : {cv::Size(2048, 2048), cv::Size(301, 199)}) {
        SCOPED_TRACE(size);
        const cv::Mat wide = syntheticFrame(size.width, size.height);
        cv::Mat turned = wide.clone();
        cv::rotate(turned, turned, cv::ROTATE_180);
        CVyImage image;
        ASSERT_TRUE(
            image.Create(size.width, size.height, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort, turned.data));
        cv::Mat expected;
        ASSERT_TRUE(Viewer::toDisplayable(image, expected));

        // Written into memory the caller owns, as the processor's 8-bit image.
        std::vector<uint8_t> memory(wide.total());
        cv::Mat out(size, CV_8UC1, memory.data());
        FrameReduction::displayFrame(wide, out);
        EXPECT_EQ(out.data, memory.data());
        expectSame(out, expected);
    }
}
