#include "CVyImage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "VyTypes.h"

namespace {

CVyImage Gray8(int32_t width, int32_t height, const std::vector<uint8_t>& pixels) {
    CVyImage image;
    EXPECT_TRUE(image.Create(width, height, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte, pixels.data()));
    return image;
}

TEST(CVyImageTest, CopiesSharePixelsUntilOneWrites) {
    CVyImage original = Gray8(2, 2, {1, 2, 3, 4});
    original.frameId = 7;
    original.timeStamp = 1.5e12;
    CVyImage copy = original;
    EXPECT_EQ(copy.GetPixelData(), original.GetPixelData());
    EXPECT_EQ(copy.frameId, 7);
    EXPECT_EQ(copy.timeStamp, 1.5e12);

    static_cast<uint8_t*>(original.GetPixelDataForWrite())[0] = 99;
    EXPECT_NE(copy.GetPixelData(), original.GetPixelData());
    EXPECT_EQ(static_cast<const uint8_t*>(copy.GetPixelData())[0], 1);
    EXPECT_EQ(static_cast<const uint8_t*>(original.GetPixelData())[0], 99);

    // Sole owner now: writing again must not copy.
    const void* before = original.GetPixelData();
    EXPECT_EQ(original.GetPixelDataForWrite(), before);
}

TEST(CVyImageTest, MoveLeavesSourceEmptyAndKeepsStamp) {
    CVyImage source = Gray8(3, 1, {5, 6, 7});
    source.frameId = 3;
    CVyImage target = std::move(source);
    EXPECT_TRUE(source.IsEmpty());
    EXPECT_EQ(source.GetWidth(), 0);
    EXPECT_EQ(target.GetWidth(), 3);
    EXPECT_EQ(target.frameId, 3);
    CVyImage other;
    other = std::move(target);
    EXPECT_TRUE(target.IsEmpty());
    EXPECT_EQ(static_cast<const uint8_t*>(other.GetPixelData())[2], 7);
}

TEST(CVyImageTest, CreateRefusesBadLayoutsAndKeepsEmptyFormats) {
    CVyImage image;
    EXPECT_FALSE(image.Create(CVyImageFormat{4, 4, 0x1234, Vy::DataTypeUnsignedByte}));
    EXPECT_FALSE(image.Create(CVyImageFormat{-1, 4, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte}));
    EXPECT_FALSE(image.Create(CVyImageFormat{70000, 70000, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte}));
    EXPECT_FALSE(image.Create(CVyImageFormat{1 << 30, 1 << 30, Vy::PixelTypeBGRA, Vy::DataTypeFloat}));
    EXPECT_FALSE(image.Create(2, 2, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte, nullptr));
    EXPECT_TRUE(image.IsEmpty());

    ASSERT_TRUE(image.Create(CVyImageFormat{0, 5, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte}));
    EXPECT_TRUE(image.IsEmpty());
    EXPECT_EQ(image.GetHeight(), 5);

    ASSERT_TRUE(image.Create(CVyImageFormat{3, 2, Vy::PixelTypeBGR, Vy::DataTypeUnsignedShort}));
    ASSERT_EQ(image.GetByteSize(), 36u);
    const auto* bytes = static_cast<const uint8_t*>(image.GetPixelData());
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 36), std::vector<uint8_t>(36, 0));
}

TEST(CVyImageTest, ConvertsBitDepthWithRoundingAndSaturation) {
    const std::vector<uint16_t> samples = {0, 31, 32, 16383, 16415, 65535};
    CVyImage wide;
    ASSERT_TRUE(wide.Create(6, 1, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort, samples.data()));
    CVyImage narrow;
    ASSERT_TRUE(wide.ConvertType(narrow, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte));
    const auto* out = static_cast<const uint8_t*>(narrow.GetPixelData());
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{0, 0, 1, 255, 255, 255}));

    CVyImage back;
    ASSERT_TRUE(narrow.ConvertType(back, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort));
    EXPECT_EQ(static_cast<const uint16_t*>(back.GetPixelData())[3], 255 * Vy::kTo8BitDivisor);
}

TEST(CVyImageTest, ConvertsChannelsAndRefusesUnsupported) {
    CVyImage gray = Gray8(1, 1, {200});
    gray.frameId = 11;
    CVyImage bgr;
    ASSERT_TRUE(gray.ConvertType(bgr, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte));
    const auto* px = static_cast<const uint8_t*>(bgr.GetPixelData());
    EXPECT_EQ(px[0], 200);
    EXPECT_EQ(px[2], 200);
    EXPECT_EQ(bgr.frameId, 11);

    const uint8_t blueish[3] = {30, 20, 10};  // B, G, R
    CVyImage color;
    ASSERT_TRUE(color.Create(1, 1, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte, blueish));
    CVyImage rgb;
    ASSERT_TRUE(color.ConvertType(rgb, Vy::PixelTypeRGB, Vy::DataTypeUnsignedByte));
    EXPECT_EQ(static_cast<const uint8_t*>(rgb.GetPixelData())[0], 10);
    CVyImage mean;
    ASSERT_TRUE(color.ConvertType(mean, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte));
    EXPECT_EQ(static_cast<const uint8_t*>(mean.GetPixelData())[0], 20);

    // Converting in place works, an unsupported target empties the target.
    ASSERT_TRUE(color.ConvertType(color, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort));
    EXPECT_EQ(static_cast<const uint16_t*>(color.GetPixelData())[0], 20 * Vy::kTo8BitDivisor);
    EXPECT_FALSE(gray.ConvertType(bgr, Vy::PixelTypeRGBA, Vy::DataTypeUnsignedByte));
    EXPECT_TRUE(bgr.IsEmpty());
}

}  // namespace
