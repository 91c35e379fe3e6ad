#include "FrameRecorder.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <opencv2/imgproc.hpp>

#include "MutexLock.h"
#include "OutputRoom.h"

namespace {
// Room kept free for one more encoded frame and the file's closing index.
constexpr uint64_t kReserveBytes = 8ull << 20;
constexpr uint64_t kIndexBytesPerFrame = 64;
}  // namespace

FrameRecorder::FrameRecorder(FragmentedMp4Writer& writer, size_t capacity)
    : writer(writer), capacity(capacity == 0 ? 1 : capacity) {}

FrameRecorder::~FrameRecorder() { finish(); }

void FrameRecorder::record(cv::Mat frame, std::shared_ptr<const void> owner) {
    MutexLock lock(mutex);
    if (!thread.joinable()) {
        finishing = false;
        // The recorder thread writes the queued frames until finish() asks it to end.
        thread = std::thread(&FrameRecorder::run, this);
    }
    while (frames.size() >= capacity) {
        changed.wait(lock.native());
    }
    frames.push_back(Queued{std::move(frame), std::move(owner)});
    changed.notify_all();
}

void FrameRecorder::finish() {
    std::thread ending;
    {
        const MutexLock lock(mutex);
        if (!thread.joinable()) {
            return;
        }
        finishing = true;
        changed.notify_all();
        // Joined outside the lock, which the recorder thread needs to end.
        ending = std::move(thread);
    }
    ending.join();
}

void FrameRecorder::watchSpace(const std::string& videoPath) { watchedPath = videoPath; }

std::string FrameRecorder::cutReason() const {
    const MutexLock lock(mutex);
    return cut;
}

void FrameRecorder::countLost(const std::string& reason) {
    const MutexLock lock(mutex);
    if (lostFrames.fetch_add(1) == 0) {
        lossReason = reason;
    }
}

std::string FrameRecorder::firstLoss() const {
    const MutexLock lock(mutex);
    return lossReason;
}

bool FrameRecorder::hasIndex(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::error_code error;
    const uint64_t size = std::filesystem::file_size(path, error);
    if (!file || error) {
        return false;
    }
    bool index = false;
    for (uint64_t at = 0; at < size;) {
        uint8_t head[16];
        file.seekg(static_cast<std::streamoff>(at));
        if (size - at < 8 || !file.read(reinterpret_cast<char*>(head), 8)) {
            return false;
        }
        uint64_t boxSize = (uint64_t{head[0]} << 24) | (uint64_t{head[1]} << 16) | (uint64_t{head[2]} << 8) | head[3];
        if (boxSize == 1) {  // a 64-bit size follows the type
            if (size - at < 16 || !file.read(reinterpret_cast<char*>(head + 8), 8)) {
                return false;
            }
            boxSize = 0;
            for (int i = 8; i < 16; ++i) boxSize = (boxSize << 8) | head[i];
        } else if (boxSize == 0) {  // runs to the end of the file
            boxSize = size - at;
        }
        if (boxSize < 8 || boxSize > size - at) {
            return false;
        }
        index = index || std::string(reinterpret_cast<const char*>(head + 4), 4) == "moov";
        at += boxSize;
    }
    return index;
}

void FrameRecorder::run() {
    for (;;) {
        Queued queued;
        {
            MutexLock lock(mutex);
            while (frames.empty() && !finishing) {
                changed.wait(lock.native());
            }
            if (frames.empty()) {
                return;
            }
            queued = std::move(frames.front());
            frames.pop_front();
            changed.notify_all();
        }
        write(queued.frame);
    }
}

void FrameRecorder::write(const cv::Mat& frame) {
    const StageClock::Span span(encoding);
    if (!writer.isOpened()) {
        return;
    }
    if (!watchedPath.empty()) {
        const uint64_t needed = kReserveBytes + kIndexBytesPerFrame * (recordedFrames.load() + 1);
        if (const std::string reason = lackOfRoom(watchedPath, needed); !reason.empty()) {
            writer.release();  // writes the index while there is room for it
            const MutexLock lock(mutex);
            cut = reason;
            return;
        }
    }
    try {
        cv::Mat colour;
        if (frame.channels() == 1) {
            cv::cvtColor(frame, colour, cv::COLOR_GRAY2BGR);
        } else if (frame.channels() == 4) {
            cv::cvtColor(frame, colour, cv::COLOR_BGRA2BGR);
        } else {
            colour = frame;
        }
        cv::Mat videoFrame = colour;
        if (colour.cols != kVideoSide || colour.rows != kVideoSide) {
            videoFrame.create(kVideoSide, kVideoSide, CV_8UC3);
            cv::resize(colour, videoFrame, cv::Size(kVideoSide, kVideoSide), 0, 0, cv::INTER_LINEAR);
        }
        if (writer.write(videoFrame)) {
            ++recordedFrames;
            return;
        }
        // The file failed (disk, limit, device): it keeps its whole fragments, and ends there.
        const std::string reason = writer.error();
        writer.release();
        const MutexLock lock(mutex);
        cut = reason;
    } catch (const std::exception& exception) {
        std::cout << exception.what() << std::endl;
        countLost(exception.what());
    }
}
