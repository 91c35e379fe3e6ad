#include "ImageMessage.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

using Bytes = std::vector<uint8_t>;

ImageMessage image(int32_t width, int32_t height, int32_t channels, int64_t frameTime) {
    ImageMessage message;
    message.frameTime = frameTime;
    message.width = width;
    message.height = height;
    message.bytesPerSample = 1;
    message.channels = channels;
    message.size = width * height * channels;
    message.data.resize(static_cast<size_t>(message.size));
    std::iota(message.data.begin(), message.data.end(), uint8_t{10});
    return message;
}

Bytes encoded(const ImageMessage& message) {
    Bytes buffer(static_cast<size_t>(message.encodedSize()), 0xEE);
    EXPECT_EQ(message.encode(buffer.data(), 0, static_cast<int>(buffer.size())), static_cast<int>(buffer.size()));
    return buffer;
}

Bytes slice(const Bytes& bytes, size_t from, size_t count) {
    return Bytes(bytes.begin() + from, bytes.begin() + from + count);
}

// frameTime 1000, spare 0, width 4, height 2, bytesPerSample 1, channels 1.
const Bytes kLuminanceFields = {0, 0, 0, 0, 0, 0, 0x03, 0xE8, 0, 0, 0, 0, 0, 0,
                                0, 4, 0, 0, 0, 2, 0,    0,    0, 1, 0, 0, 0, 1};

TEST(ImageMessageEncode, LuminanceColourAndEmptyLayouts) {
    EXPECT_EQ(ImageMessage::fingerprint(), -6680821607242687249LL);
    const ImageMessage luminance = image(4, 2, 1, 1000);
    const Bytes bytes = encoded(luminance);
    ASSERT_EQ(bytes.size(), 48u);
    EXPECT_EQ(slice(bytes, 0, 8), (Bytes{0xA3, 0x48, 0xF4, 0x25, 0x0C, 0x8B, 0x9C, 0xEF}));
    EXPECT_EQ(slice(bytes, 8, 28), kLuminanceFields);
    EXPECT_EQ(slice(bytes, 36, 4), (Bytes{0, 0, 0, 8}));
    EXPECT_EQ(slice(bytes, 40, 8), luminance.data);

    const Bytes colour = encoded(image(4, 2, 3, 5));
    ASSERT_EQ(colour.size(), 64u);
    EXPECT_EQ(slice(colour, 32, 8), (Bytes{0, 0, 0, 3, 0, 0, 0, 24}));
    EXPECT_EQ(encoded(image(0, 2, 1, 5)).size(), 40u);
    EXPECT_EQ(slice(encoded(image(1, 1, 1, static_cast<int64_t>(-1.5))), 8, 8), Bytes(8, 0xFF));
}

TEST(ImageMessageEncode, WritesAtOffsetOnly) {
    const ImageMessage message = image(2, 2, 1, 7);
    Bytes buffer(5 + 44, 0xEE);
    ASSERT_EQ(message.encode(buffer.data(), 5, 44), 44);
    EXPECT_EQ(slice(buffer, 0, 5), Bytes(5, 0xEE));
    EXPECT_EQ(buffer[5], 0xA3);
    EXPECT_EQ(slice(buffer, 45, 4), message.data);
}

TEST(ImageMessageEncode, ShortBuffersAndMissingDataRefused) {
    ImageMessage message = image(4, 2, 1, 1000);
    Bytes buffer(48, 0xEE);
    EXPECT_EQ(message.encode(buffer.data(), 0, 7), -1);
    EXPECT_EQ(buffer, Bytes(48, 0xEE)) << "nothing may be written";

    // Room for the first six fields only: they stay written, size does not.
    EXPECT_EQ(message.encodeFields(buffer.data(), 0, 31), -1);
    EXPECT_EQ(slice(buffer, 0, 28), kLuminanceFields);
    EXPECT_EQ(slice(buffer, 28, 4), Bytes(4, 0xEE));

    EXPECT_EQ(message.encode(buffer.data(), 0, 47), -1);  // header fits, pixels do not
    message.data.resize(7);
    EXPECT_EQ(message.encode(buffer.data(), 0, 48), -1);
}

TEST(ImageMessageDecode, RoundTripAndDamagedMessages) {
    ImageMessage original = image(3, 2, 3, -123456789012345LL);
    original.spare = -7;
    const Bytes bytes = encoded(original);
    ImageMessage decoded;
    ASSERT_TRUE(decoded.decode(bytes.data(), static_cast<int>(bytes.size())));
    EXPECT_EQ(encoded(decoded), bytes);
    EXPECT_EQ(decoded.data, original.data);
    ASSERT_TRUE(decoded.decode(encoded(image(0, 0, 1, 9)).data(), 40));
    EXPECT_TRUE(decoded.data.empty());

    const Bytes good = encoded(image(4, 2, 1, 1000));
    decoded.width = 99;
    EXPECT_FALSE(decoded.decode(good.data(), 39));
    EXPECT_FALSE(decoded.decode(good.data(), 47));  // size says 8 pixel bytes, 7 remain
    Bytes damaged = good;
    damaged.push_back(0);
    EXPECT_FALSE(decoded.decode(damaged.data(), 49));
    damaged[7] ^= 1;
    EXPECT_FALSE(decoded.decode(damaged.data(), 48));
    Bytes negativeSize = encoded(image(0, 0, 1, 0));
    negativeSize[36] = 0xFF;
    EXPECT_FALSE(decoded.decode(negativeSize.data(), 40));
    EXPECT_EQ(decoded.width, 99) << "a refused message leaves the struct alone";
}

}  // namespace
