#include "AravisCamera.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "CVyException.h"
#include "FakeGigECamera.h"
#include "LoopbackRun_test.h"
#include "VyTypes.h"

namespace {

using Vy::Live::AravisCamera;
using Vy::Live::FakeGigECamera;

// Frames whose every pixel says which frame it is and where it lies.
std::vector<CVyImage> numberedFrames(int count, int width, int height, uint32_t dataType) {
    std::vector<CVyImage> frames;
    for (int i = 0; i < count; ++i) {
        CVyImage frame;
        frame.Create(CVyImageFormat{width, height, Vy::PixelTypeLuminance, dataType});
        auto* bytes = static_cast<uint8_t*>(frame.GetPixelDataForWrite());
        for (size_t p = 0; p < frame.GetByteSize(); ++p) bytes[p] = static_cast<uint8_t>(p * 7 + i * 31 + p / 97);
        frames.push_back(frame);
    }
    return frames;
}

#define SKIP_OR_CHECK(outcome)                                                                \
    do {                                                                                      \
        if ((outcome).skipped) GTEST_SKIP() << "no network namespace: " << (outcome).failure; \
        EXPECT_EQ((outcome).failure, "");                                                     \
    } while (0)

// What a loopback body checks, as one failure text.
std::string expectSameFrames(const std::vector<CVyImage>& served, const std::string& format, uint32_t dataType,
                             int bits) {
    FakeGigECamera fake(served, 50.0, format);
    AravisCamera camera("127.0.0.1", {});
    const CVyImageFormat expected = served.front().GetFormat();
    if (!(camera.format() == expected) || camera.significantBits() != bits || camera.pixelFormatName() != format) {
        return "camera states " + camera.description();
    }
    camera.start();
    CVyImage frame;
    int32_t lastId = -1;
    for (int i = 0; i < 8; ++i) {
        if (!camera.next(frame, 2000)) return "frame " + std::to_string(i) + " did not come";
        if (frame.GetFormat().dataType != dataType) return "frame of another data type";
        // The fake camera fills frames in order, so frame i of the stream is served frame i.
        if (std::memcmp(frame.GetPixelData(), served[i % served.size()].GetPixelData(), frame.GetByteSize()) != 0) {
            return "frame " + std::to_string(i) + " differs from the served one";
        }
        if (lastId >= 0 && frame.frameId != lastId + 1) return "frame ids not consecutive";
        if (frame.significantBits != bits) return "significant bits " + std::to_string(frame.significantBits);
        lastId = frame.frameId;
    }
    camera.stop();
    const AravisCamera::Counts counts = camera.counts();
    if (counts.received != 8 || counts.lost != 0) {
        return "counted " + std::to_string(counts.received) + " received, " + std::to_string(counts.lost) + " lost";
    }
    return "";
}

TEST(AravisCamera, NamesOnlyLiteralIpv4Addresses) {
    EXPECT_TRUE(Vy::Live::isIpv4Address("127.0.0.1"));
    EXPECT_TRUE(Vy::Live::isIpv4Address("192.168.1.20"));
    for (const char* name : {"localhost", "GV01", "", "127.1", "192.168.1", "::1", "192.168.1.256", " 127.0.0.1"}) {
        EXPECT_FALSE(Vy::Live::isIpv4Address(name)) << name;
    }
    // Refused before any packet: a name would need discovery.
    try {
        AravisCamera camera("LIVE01", {});
        FAIL() << "a name was taken";
    } catch (const CVyException& refusal) {
        EXPECT_NE(std::string(refusal.what()).find("not an IPv4 address"), std::string::npos) << refusal.what();
    }
}

TEST(AravisCamera, TakesMonochromeFormatsOnly) {
    EXPECT_EQ(Vy::Live::pixelLayoutOf("Mono8")->dataType, Vy::DataTypeUnsignedByte);
    EXPECT_EQ(Vy::Live::pixelLayoutOf("Mono12")->significantBits, 12);
    EXPECT_EQ(Vy::Live::pixelLayoutOf("Mono16")->dataType, Vy::DataTypeUnsignedShort);
    for (const char* name : {"Mono12Packed", "Mono10p", "BayerGR8", "RGB8", ""}) {
        EXPECT_FALSE(Vy::Live::pixelLayoutOf(name).has_value()) << name;
    }
}

TEST(AravisCamera, DeliversServedFramesByteForByteOnLoopback) {
    SKIP_OR_CHECK(Vy::Test::runInLoopbackNamespace([] {
        return expectSameFrames(numberedFrames(3, 96, 72, Vy::DataTypeUnsignedByte), "Mono8", Vy::DataTypeUnsignedByte,
                                8);
    }));
    SKIP_OR_CHECK(Vy::Test::runInLoopbackNamespace([] {
        return expectSameFrames(numberedFrames(3, 200, 150, Vy::DataTypeUnsignedShort), "Mono16",
                                Vy::DataTypeUnsignedShort, 16);
    }));
}

TEST(AravisCamera, RefusesWhatItCannotTakeOnLoopback) {
    SKIP_OR_CHECK(Vy::Test::runInLoopbackNamespace([]() -> std::string {
        try {
            AravisCamera camera("127.0.0.1", {});
            return "no camera, yet one was opened";
        } catch (const CVyException& refusal) {
            if (std::string(refusal.what()).find("no GigE Vision camera answers") == std::string::npos) {
                return refusal.what();
            }
        }
        FakeGigECamera fake(numberedFrames(1, 64, 48, Vy::DataTypeUnsignedByte), 20.0, "BayerGR8");
        try {
            AravisCamera camera("127.0.0.1", {});
            return "a Bayer camera was taken";
        } catch (const CVyException& refusal) {
            if (std::string(refusal.what()).find("pixel format BayerGR8 is not taken") == std::string::npos) {
                return refusal.what();
            }
        }
        return "";
    }));
}

}  // namespace
