// The recording's file: each frame a fragment of its own, so that a file cut off
// anywhere still plays up to its last whole fragment (checked with ffprobe).
#include "FragmentedMp4Writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "TestFiles.h"

namespace {

struct Box {
    std::string type;
    uint64_t at = 0;
    uint64_t size = 0;
};

// The top-level boxes of an MP4 file (32-bit sizes, as these files have).
std::vector<Box> boxesOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), {}};
    std::vector<Box> boxes;
    for (uint64_t at = 0; at + 8 <= bytes.size();) {
        const auto byte = [&](uint64_t i) { return static_cast<uint64_t>(static_cast<unsigned char>(bytes[at + i])); };
        const uint64_t size = byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
        boxes.push_back({bytes.substr(at + 4, 4), at, size});
        if (size < 8) break;
        at += size;
    }
    return boxes;
}

std::string probe(const std::string& video) {
    return Vy::Test::CommandOutput(
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=codec_name,codec_tag_string,width,height,r_frame_rate,nb_read_frames -of csv=p=0 '" +
        video + "' 2>&1");
}

// What FFmpeg says while decoding the first `frames` frames (one thread, so that none is
// decoded ahead); empty when they decode cleanly.
std::string decodeErrors(const std::string& video, int frames) {
    return Vy::Test::CommandOutput("ffmpeg -v error -threads 1 -i '" + video + "' -frames:v " + std::to_string(frames) +
                                   " -f null - 2>&1");
}

cv::Mat frame(int i) {
    cv::Mat bgr(48, 64, CV_8UC3);
    for (int y = 0; y < bgr.rows; ++y)
        for (int x = 0; x < bgr.cols; ++x) bgr.at<cv::Vec3b>(y, x) = cv::Vec3b(x * 4, y * 5, i * 20);
    return bgr;
}

std::string writeFrames(const std::string& path, int count) {
    FragmentedMp4Writer writer;
    EXPECT_TRUE(writer.open(path, 64, 48, 30.0)) << writer.error();
    for (int i = 0; i < count; ++i) EXPECT_TRUE(writer.write(frame(i))) << writer.error();
    EXPECT_EQ(writer.framesWritten(), static_cast<uint64_t>(count));
    writer.release();
    EXPECT_FALSE(writer.isOpened());
    return path;
}

}  // namespace

TEST(FragmentedMp4Writer, EveryFrameIsAFragmentOfItsOwnInTheDocumentedStream) {
    Vy::Test::ScratchDir dir;
    const std::string video = writeFrames(dir.File("five.mp4"), 5);
    std::vector<std::string> types;
    for (const Box& box : boxesOf(video)) types.push_back(box.type);
    const std::vector<std::string> expected = {"ftyp", "moov", "moof", "mdat", "moof", "mdat", "moof",
                                               "mdat", "moof", "mdat", "moof", "mdat", "mfra"};
    EXPECT_EQ(types, expected);
    EXPECT_EQ(probe(video), "mpeg4,mp4v,64,48,30/1,5\n");
}

TEST(FragmentedMp4Writer, AFileCutOffAnywherePlaysUpToItsLastWholeFragment) {
    Vy::Test::ScratchDir dir;
    const std::string video = writeFrames(dir.File("ten.mp4"), 10);
    std::vector<Box> fragments;
    for (const Box& box : boxesOf(video))
        if (box.type == "moof") fragments.push_back(box);
    ASSERT_EQ(fragments.size(), 10u);
    // As a killed process or a power cut leaves it: no closing index, the last fragment partial.
    const auto cutAt = [&](uint64_t bytes) {
        const std::string cut = dir.File("cut-" + std::to_string(bytes) + ".mp4");
        std::filesystem::copy_file(video, cut);
        std::filesystem::resize_file(cut, bytes);
        return cut;
    };
    EXPECT_EQ(probe(cutAt(fragments[7].at + 20)), "mpeg4,mp4v,64,48,30/1,7\n") << "inside the eighth's index";
    EXPECT_EQ(probe(cutAt(fragments[2].at)), "mpeg4,mp4v,64,48,30/1,2\n") << "right after the second";
    // Cut inside the fifth frame's data: its index is whole, so players read that frame too,
    // damaged; the four before it decode without an error.
    const std::string inData = cutAt(fragments[4].at + fragments[4].size + 30);
    EXPECT_EQ(decodeErrors(inData, 4), "");
    EXPECT_NE(decodeErrors(inData, 5), "");
}

TEST(FragmentedMp4Writer, RefusesWhatItCannotWriteAndSaysWhy) {
    Vy::Test::ScratchDir dir;
    FragmentedMp4Writer writer;
    EXPECT_FALSE(writer.open(dir.File("odd.mp4"), 63, 48, 30.0));
    EXPECT_EQ(writer.error(), "frame size and rate must be even and positive");
    EXPECT_FALSE(writer.open(dir.File("missing/run.mp4"), 64, 48, 30.0));
    EXPECT_EQ(writer.error(), dir.File("missing/run.mp4") + ": No such file or directory");
    EXPECT_FALSE(writer.isOpened());
    EXPECT_FALSE(writer.write(frame(0)));
    ASSERT_TRUE(writer.open(dir.File("run.mp4"), 64, 48, 30.0));
    EXPECT_FALSE(writer.write(cv::Mat(48, 64, CV_8UC1, cv::Scalar(1))));
    EXPECT_EQ(writer.error(), "frame is not 8-bit BGR of the opened size");
    EXPECT_TRUE(writer.write(frame(0)));
    writer.release();
    EXPECT_EQ(probe(dir.File("run.mp4")), "mpeg4,mp4v,64,48,30/1,1\n");
}
