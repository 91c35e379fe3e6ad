#include "Viewer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "CVyImage.h"
#include "DisplayImage.h"
#include "PanoraTool.h"

namespace {

CVyImage makeImage(int width, int height, uint32_t pixelType, uint32_t dataType, const void* pixels) {
    CVyImage image;
    EXPECT_TRUE(image.Create(width, height, pixelType, dataType, pixels));
    return image;
}

int32_t createView(const char* name) {
    int32_t handle = 0;
    Panora::Tool::CreateViewImage(handle, 10, 20, 320, 240, name);
    return handle;
}

class HeadlessViewer : public testing::Test {
protected:
    void SetUp() override {
        Viewer::setHeadless(true);
        Panora::Tool::Init(nullptr);
    }
    void TearDown() override {
        Viewer::shutdown();
        Viewer::setHeadless(false);
    }
};

}  // namespace

TEST(DisplayImage, FourteenBitLuminanceKeepsTopEightBitsAndSaturates) {
    const std::vector<uint16_t> samples = {0, 63, 64, 127, 8191, 16383, 16384, 65535};
    const CVyImage image = makeImage(4, 2, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort, samples.data());
    cv::Mat shown;
    ASSERT_TRUE(Viewer::toDisplayable(image, shown));
    ASSERT_EQ(shown.type(), CV_8UC1);
    ASSERT_EQ(shown.size(), cv::Size(4, 2));
    const std::vector<uint8_t> expected = {0, 0, 1, 1, 127, 255, 255, 255};
    EXPECT_EQ(std::vector<uint8_t>(shown.begin<uint8_t>(), shown.end<uint8_t>()), expected);
}

TEST(DisplayImage, ColourOrderEndsAsBgrAndPixelsAreCopied) {
    const uint8_t rgb[] = {10, 20, 30, 40, 50, 60};
    const uint8_t bgra[] = {1, 2, 3, 255, 4, 5, 6, 255};
    uint8_t luminance[] = {7, 8};
    cv::Mat shown;

    ASSERT_TRUE(Viewer::toDisplayable(makeImage(2, 1, Vy::PixelTypeRGB, Vy::DataTypeUnsignedByte, rgb), shown));
    EXPECT_EQ(shown.type(), CV_8UC3);
    EXPECT_EQ(shown.at<cv::Vec3b>(0, 0), cv::Vec3b(30, 20, 10));
    EXPECT_EQ(shown.at<cv::Vec3b>(0, 1), cv::Vec3b(60, 50, 40));

    ASSERT_TRUE(Viewer::toDisplayable(makeImage(2, 1, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte, rgb), shown));
    EXPECT_EQ(shown.at<cv::Vec3b>(0, 0), cv::Vec3b(10, 20, 30));

    ASSERT_TRUE(Viewer::toDisplayable(makeImage(2, 1, Vy::PixelTypeBGRA, Vy::DataTypeUnsignedByte, bgra), shown));
    EXPECT_EQ(shown.type(), CV_8UC3);
    EXPECT_EQ(shown.at<cv::Vec3b>(0, 1), cv::Vec3b(4, 5, 6));

    CVyImage gray = makeImage(2, 1, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte, luminance);
    ASSERT_TRUE(Viewer::toDisplayable(gray, shown));
    static_cast<uint8_t*>(gray.GetPixelDataForWrite())[0] = 99;
    EXPECT_EQ(shown.at<uint8_t>(0, 0), 7) << "the displayable image must not alias the source";
}

TEST(DisplayImage, EmptyAndUnsupportedImagesAreRefused) {
    const float depth[] = {0.5f};
    cv::Mat shown;
    EXPECT_FALSE(Viewer::toDisplayable(CVyImage(), shown));
    EXPECT_FALSE(Viewer::toDisplayable(makeImage(1, 1, Vy::PixelTypeLuminance, Vy::DataTypeFloat, depth), shown));
    EXPECT_TRUE(shown.empty());
}

TEST_F(HeadlessViewer, HandlesCountAndLastImagePerView) {
    EXPECT_FALSE(Viewer::isShowing());
    const int32_t first = createView("first"), second = createView("second");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);

    const uint16_t dark[] = {640, 640}, bright[] = {6400, 64000};
    const CVyImage darkImage = makeImage(2, 1, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort, dark);
    const CVyImage brightImage = makeImage(2, 1, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort, bright);
    Panora::Tool::ViewSetImage(first, &darkImage, false);
    Panora::Tool::ViewSetImage(first, &brightImage, true);

    cv::Mat last;
    ASSERT_TRUE(Viewer::lastImage(first, last));
    EXPECT_EQ(last.at<uint8_t>(0, 0), 100);
    EXPECT_EQ(last.at<uint8_t>(0, 1), 255);
    EXPECT_EQ(Viewer::imagesShown(first), 2);
    EXPECT_EQ(Viewer::imagesShown(second), 0);
    EXPECT_FALSE(Viewer::lastImage(second, last));
    EXPECT_FALSE(Viewer::lastImage(99, last));
}

TEST_F(HeadlessViewer, NullEmptyAndUnknownTargetsChangeNothing) {
    const int32_t view = createView("view");
    const CVyImage empty;
    const uint8_t pixel[] = {1};
    const CVyImage image = makeImage(1, 1, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte, pixel);
    Panora::Tool::ViewSetImage(view, nullptr, false);
    Panora::Tool::ViewSetImage(view, &empty, false);
    Panora::Tool::ViewSetImage(42, &image, false);
    EXPECT_EQ(Viewer::imagesShown(view), 0);
    EXPECT_EQ(Viewer::imagesShown(42), 0);
}

TEST_F(HeadlessViewer, ShutdownForgetsViewsAndInitStartsAfresh) {
    const uint8_t pixel[] = {1};
    const CVyImage image = makeImage(1, 1, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte, pixel);
    const int32_t view = createView("view");
    Panora::Tool::ViewSetImage(view, &image, false);
    Viewer::shutdown();
    Viewer::shutdown();
    EXPECT_EQ(Viewer::imagesShown(view), 0);
    Panora::Tool::Init(nullptr);
    EXPECT_EQ(createView("again"), 1);
}

TEST(ViewerDisplay, UnreachableDisplayMeansHeadlessWithoutTouchingTheToolkit) {
    // Nothing listens on this display; opening a window would end the process.
    setenv("DISPLAY", ":93", 1);
    unsetenv("WAYLAND_DISPLAY");
    Panora::Tool::Init(nullptr);
    EXPECT_FALSE(Viewer::isShowing());
    const int32_t view = createView("no display");
    const uint8_t pixel[] = {200};
    const CVyImage image = makeImage(1, 1, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte, pixel);
    Panora::Tool::ViewSetImage(view, &image, false);
    EXPECT_EQ(Viewer::imagesShown(view), 1);
    Viewer::shutdown();
}
