// The recording's file: 8-bit BGR frames encoded as MPEG-4 video (tag mp4v) in an
// MP4 file whose every frame is a fragment of its own (an empty index at the start,
// then a small index and the frame's data for each frame). A file cut off anywhere,
// the process killed or the power gone, still plays up to its last whole fragment;
// one that was closed also ends in the index of fragments that lets players seek.
//
// The stream is the one OpenCV's FFmpeg writer makes (MPEG-4 Part 2, YUV 4:2:0, an
// intra frame every 12, its bit rate); OpenCV 4.6 passes no options to the muxer, so
// the fragmented layout needs the muxer driven here. One thread uses a writer at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <string>

class FragmentedMp4Writer {
public:
    FragmentedMp4Writer();
    ~FragmentedMp4Writer();
    FragmentedMp4Writer(const FragmentedMp4Writer&) = delete;
    FragmentedMp4Writer& operator=(const FragmentedMp4Writer&) = delete;

    // Creates (or truncates) path for frames of width x height (even sides) at fps.
    // False, with error() saying why, when the encoder or the file cannot be opened.
    bool open(const std::string& path, int width, int height, double fps);
    bool isOpened() const;
    // One 8-bit, 3-channel BGR frame of the opened size, encoded and written out. False,
    // with error() set, when it could not be (a write error closes nothing: the file keeps
    // its whole fragments).
    bool write(const cv::Mat& bgr);
    // Encodes what the encoder still holds, writes the closing index and closes the file.
    // Harmless when not open.
    void release();
    // Why the last open or write failed; empty when it did not.
    const std::string& error() const { return failure; }
    // Frames handed to the file so far (since open).
    uint64_t framesWritten() const { return written; }

private:
    struct Codec;
    bool fail(const std::string& what, int code);
    bool drainEncoder();

    std::unique_ptr<Codec> codec;
    std::string failure;
    uint64_t written = 0;
};
