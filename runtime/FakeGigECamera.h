// Aravis's GigE Vision fake camera serving given frames on 127.0.0.1: what the live
// path's tests, demo and benchmark take frames from. It must only run inside a network
// namespace of its own (LoopbackNamespace.h): a client's discovery there stays there.
//
// Threads: the caller builds and destroys it; Aravis's camera thread fills each frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CVyImage.h"

namespace Vy::Live {

class FakeGigECamera {
public:
    // Serves frames (one format: 8- or 16-bit luminance, at most 2048 a side), frame k of
    // the stream showing frames[k % size]; pixelFormat is the GenICam name the camera
    // states (one that is not taken tests a refusal: its pixels are the same bytes).
    // Throws CVyException when the fake camera cannot start.
    FakeGigECamera(std::vector<CVyImage> frames, double framesPerSecond, const std::string& pixelFormat);
    ~FakeGigECamera();
    FakeGigECamera(const FakeGigECamera&) = delete;
    FakeGigECamera& operator=(const FakeGigECamera&) = delete;

    // Frames filled so far (any thread).
    uint64_t served() const { return filled.load(); }
    // Stops the stream: the camera then sends nothing, as one that has stopped.
    void stopSending();

private:
public:
    // Aravis's camera thread: the next frame into a stream buffer.
    static void fillFrame(void* data, void* self);

private:
    std::vector<CVyImage> frames;
    std::atomic<uint64_t> filled{0};
    struct Handles;
    std::unique_ptr<Handles> handles;
};

}  // namespace Vy::Live
