// The LCM output, with LCM itself and no network: an in-process memq://
// instance and a file:// event log read back with LCM's reader.
#include "LcmPublisher.h"

#include <gtest/gtest.h>
#include <lcm/eventlog.h>
#include <lcm/lcm.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "VyProcessor.h"

namespace {

struct Received {
    std::vector<ImageMessage> messages;
    std::vector<std::string> channels;
};

void onMessage(const lcm_recv_buf_t* buffer, const char* channel, void* user) {
    auto* received = static_cast<Received*>(user);
    ImageMessage message;
    ASSERT_TRUE(message.decode(buffer->data, static_cast<int>(buffer->data_size)));
    received->messages.push_back(message);
    received->channels.push_back(channel);
}

CVyImage image(int32_t width, int32_t height, uint32_t pixelType, uint32_t dataType, double timeStamp) {
    CVyImageFormat format{width, height, pixelType, dataType};
    std::vector<uint8_t> pixels(format.GetByteSize(), 0);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 7);
    CVyImage result;
    result.Create(width, height, pixelType, dataType, pixels.data());
    result.timeStamp = timeStamp;
    return result;
}

// One frame as the processor hands it to the publisher: as computed, nothing turned.
void publish(LcmPublisher& publisher, const CVyImage& image, double timeStamp = 0.0) {
    FrameInfo info;
    info.timeStamp = timeStamp;
    const TurnedFrame none;
    publisher.consume(OutputFrame{image, none, info});
}

// A publisher on its own in-process instance; handle keeps the instance for subscribing.
struct MemqPublisher {
    MemqPublisher() : handle(lcm_create("memq://")), publisher(handle, clock) {}
    StageClock clock;
    lcm_t* handle;
    LcmPublisher publisher;
    void receiveInto(Received& received) { lcm_subscribe(handle, "RIZODEZIZOV", onMessage, &received); }
    void deliverAll() {
        while (lcm_handle_timeout(handle, 50) > 0) {
        }
    }
};

}  // namespace

TEST(LcmOutput, PublishesShrunkShallowImagesOnTheChannelAndLeavesTheImageAlone) {
    MemqPublisher lcm;
    Received received;
    lcm.receiveInto(received);

    // The frame's time is the raw frame's, from the frame's info, not the image's.
    const CVyImage small = image(4, 2, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort, 55.0);
    const uint16_t firstSample = static_cast<const uint16_t*>(small.GetPixelData())[1];
    publish(lcm.publisher, small, 1000.7);
    EXPECT_EQ(static_cast<const uint16_t*>(small.GetPixelData())[1], firstSample);
    publish(lcm.publisher, image(4, 2, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte, 0));
    const CVyImage wide = image(2560, 1000, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte, 0);
    publish(lcm.publisher, wide);
    EXPECT_EQ(wide.GetWidth(), 2560);
    publish(lcm.publisher, image(1281, 1000, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte, 0));
    publish(lcm.publisher, image(1000, 3000, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte, 0));
    lcm.deliverAll();

    ASSERT_EQ(received.messages.size(), 5u);
    for (const std::string& channel : received.channels) EXPECT_EQ(channel, "RIZODEZIZOV");
    const ImageMessage& gray = received.messages[0];
    EXPECT_EQ(gray.frameTime, 1000);
    EXPECT_EQ(gray.width, 4);
    EXPECT_EQ(gray.height, 2);
    EXPECT_EQ(gray.bytesPerSample, 1);
    EXPECT_EQ(gray.channels, 1);
    EXPECT_EQ(gray.size, 8);
    // 16-bit samples go out as their top eight bits of the 14-bit range.
    EXPECT_EQ(gray.data[1], static_cast<uint8_t>(std::min(255, (firstSample + 32) / 64)));
    EXPECT_EQ(received.messages[1].channels, 3);
    EXPECT_EQ(received.messages[1].size, 24);
    EXPECT_EQ(received.messages[2].width, 1280);
    EXPECT_EQ(received.messages[2].height, 500);
    EXPECT_EQ(received.messages[3].width, 1281);
    EXPECT_EQ(received.messages[3].height, 1000);
    // Only the height is too large: the image still shrinks.
    EXPECT_EQ(received.messages[4].width, 500);
    EXPECT_EQ(received.messages[4].height, 1500);
    // Shrunk by area, as the engine shrinks: each value the mean of a 2 x 2 block.
    const auto* wideSamples = static_cast<const uint8_t*>(wide.GetPixelData());
    const int mean = (wideSamples[0] + wideSamples[1] + wideSamples[2560] + wideSamples[2561] + 2) / 4;
    EXPECT_NEAR(received.messages[2].data[0], mean, 1);
    EXPECT_EQ(lcm.publisher.published(), 5u);
}

TEST(LcmOutput, WithoutAnInstanceEveryFrameSaysSoOnStandardError) {
    // A provider LCM does not know: no instance comes of it.
    const char* previous = std::getenv("LCM_DEFAULT_URL");
    const std::string saved = previous ? previous : "memq://";  // never back to the network default
    setenv("LCM_DEFAULT_URL", "nosuchprovider://", 1);
    testing::internal::CaptureStderr();
    VyRunOptions options;
    options.lcmOutput = true;
    VyProcessor processor(options);
    testing::internal::GetCapturedStderr();
    setenv("LCM_DEFAULT_URL", saved.c_str(), 1);
    EXPECT_TRUE(processor.report().publishes);
    EXPECT_FALSE(processor.report().lcmReady);

    StageClock clock;
    LcmPublisher publisher(nullptr, clock);
    EXPECT_FALSE(publisher.isSetUp());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    publish(publisher, image(4, 2, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte, 5.0));
    publish(publisher, image(4, 2, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte, 6.0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "LCM instance not initialized.  Ignoring call to publish()\n"
              "LCM instance not initialized.  Ignoring call to publish()\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(publisher.published(), 0u);
}

TEST(LcmOutput, AFileLogHoldsEveryMessageWithItsHeader) {
    const std::string log = std::filesystem::temp_directory_path() / ("vylcm_" + std::to_string(getpid()) + ".log");
    const char* previous = std::getenv("LCM_DEFAULT_URL");
    const std::string saved = previous ? previous : "memq://";  // never back to the network default
    setenv("LCM_DEFAULT_URL", ("file://" + log + "?mode=w").c_str(), 1);
    {
        StageClock clock;
        LcmPublisher publisher(lcm_create(""), clock);
        setenv("LCM_DEFAULT_URL", saved.c_str(), 1);
        ASSERT_TRUE(publisher.isSetUp());
        for (int i = 0; i < 3; ++i) {
            publish(publisher, image(16 + i, 8, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte, 0), 1.7e12 + i);
        }
        publisher.close();
        EXPECT_EQ(publisher.logShortfall(), "");
    }
    lcm_eventlog_t* reader = lcm_eventlog_create(log.c_str(), "r");
    ASSERT_NE(reader, nullptr);
    int count = 0;
    while (lcm_eventlog_event_t* event = lcm_eventlog_read_next_event(reader)) {
        EXPECT_EQ(std::string(event->channel, event->channellen), "RIZODEZIZOV");
        const int width = 16 + count;
        EXPECT_EQ(event->datalen, 40 + width * 8);
        ImageMessage message;
        EXPECT_TRUE(message.decode(event->data, event->datalen));
        EXPECT_EQ(message.frameTime, static_cast<int64_t>(1.7e12) + count);
        EXPECT_EQ(message.width, width);
        EXPECT_EQ(message.height, 8);
        EXPECT_EQ(message.channels, 1);
        EXPECT_EQ(message.bytesPerSample, 1);
        EXPECT_EQ(message.size, width * 8);
        EXPECT_EQ(message.data[3], static_cast<uint8_t>(21));
        lcm_eventlog_free_event(event);
        ++count;
    }
    lcm_eventlog_destroy(reader);
    std::filesystem::remove(log);
    EXPECT_EQ(count, 3);
}

TEST(LcmOutput, SixteenBitSamplesAboveHalfScaleKeepTheirValue) {
    MemqPublisher lcm;
    Received received;
    lcm.receiveInto(received);
    // As in the recording: v / 64, saturating at 255 (a signed byte stopped at 127).
    const uint16_t samples[] = {16383, 9000, 100, 65535};
    CVyImage deep;
    ASSERT_TRUE(deep.Create(4, 1, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort, samples));
    publish(lcm.publisher, deep);
    lcm.deliverAll();
    ASSERT_EQ(received.messages.size(), 1u);
    EXPECT_EQ(received.messages[0].data, (std::vector<uint8_t>{255, 141, 2, 255}));
}

TEST(LcmOutput, PublishingTimeIsCountedAsItsOwnStage) {
    // The closing per-frame line names every stage that costs time: in a
    // publishing run that is the publish stage, not the viewer's or the recorder's.
    MemqPublisher lcm;
    for (int i = 0; i < 3; ++i) {
        publish(lcm.publisher, image(2048, 2048, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort, 0));
    }
    EXPECT_EQ(lcm.publisher.published(), 3u);
    EXPECT_GT(lcm.clock.milliseconds(), 0.0);
}

TEST(LcmOutput, TheLogsWholeEventsAreCountedFromTheRunsFirst) {
    const std::string log =
        std::filesystem::temp_directory_path() / ("vylcm_count_" + std::to_string(getpid()) + ".log");
    // Written with LCM's own writer: 5 events of growing size.
    lcm_eventlog_t* writer = lcm_eventlog_create(log.c_str(), "w");
    ASSERT_NE(writer, nullptr);
    std::vector<uint64_t> ends;
    for (int i = 0; i < 5; ++i) {
        std::vector<uint8_t> data(100 + i * 37, static_cast<uint8_t>(i));
        std::string channel = "RIZODEZIZOV";
        lcm_eventlog_event_t event = {};
        event.timestamp = 1000 + i;
        event.channellen = static_cast<int32_t>(channel.size());
        event.datalen = static_cast<int32_t>(data.size());
        event.channel = channel.data();
        event.data = data.data();
        ASSERT_EQ(lcm_eventlog_write_event(writer, &event), 0);
        fflush(writer->f);
        ends.push_back(std::filesystem::file_size(log));
    }
    lcm_eventlog_destroy(writer);
    EXPECT_EQ(LcmPublisher::eventsInLog(log, 0), 5u);
    EXPECT_EQ(LcmPublisher::eventsInLog(log, ends[1]), 3u) << "an appended log counts from where the run began";
    // Cut inside the fourth event's data, then inside its header: three whole events either way.
    for (const uint64_t cut : {ends[3] - 10, ends[2] + 9}) {
        std::filesystem::resize_file(log, cut);
        EXPECT_EQ(LcmPublisher::eventsInLog(log, 0), 3u) << cut;
    }
    EXPECT_EQ(LcmPublisher::eventsInLog(log + ".absent", 0), 0u);
    std::filesystem::remove(log);
}
