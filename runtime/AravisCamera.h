// A GigE Vision camera opened through Aravis by its IPv4 address, giving its frames
// as runtime images (8- or 16-bit luminance) with the camera's frame id and a time stamp.
//
// Nothing here lists or discovers devices: discovery broadcasts on every interface, so a
// camera is reached only at the address it is given (the control channel and the
// stream are unicast to it).
//
// Threads: one thread owns the camera (opens, starts, takes frames, stops); counts()
// may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "CVyImage.h"
#include "CVyImageFormat.h"

namespace Vy::Live {

// What the camera is asked to do; each value left unset keeps the camera's own.
struct CameraSettings {
    std::optional<double> exposureUs;
    std::optional<double> gain;
    std::optional<double> frameRate;
};

// Whether text is a literal dotted IPv4 address ("192.168.1.20"), the only way a camera is named.
bool isIpv4Address(const std::string& text);

// The image layout of a GenICam pixel format name: Mono8 bytes, Mono10/12/14/16 16-bit samples
// with that many significant bits; nullopt for a format that is not taken (packed, Bayer, colour).
struct PixelLayout {
    uint32_t dataType = 0;
    int significantBits = 0;
};
std::optional<PixelLayout> pixelLayoutOf(const std::string& pixelFormatName);

class AravisCamera {
public:
    // Opens the camera at address and applies settings. Throws CVyException naming the
    // address: not an IPv4 address, no camera answering there, a pixel format not taken,
    // a setting the camera does not offer.
    AravisCamera(const std::string& address, const CameraSettings& settings);
    ~AravisCamera();
    AravisCamera(const AravisCamera&) = delete;
    AravisCamera& operator=(const AravisCamera&) = delete;

    const CVyImageFormat& format() const { return frameFormat; }
    int significantBits() const { return bits; }
    const std::string& pixelFormatName() const { return pixelFormat; }
    // The camera's frame rate (frames a second); 0 where the camera does not say.
    double frameRate() const { return rate; }
    // One line describing the camera and its settings, for the start-up.
    const std::string& description() const { return describedAs; }

    // Starts the stream; throws CVyException when the camera refuses.
    void start();
    // Waits up to timeoutMs for the next whole frame and gives it; false when none came in
    // time. Frames the camera or the network spoiled are counted and passed over.
    bool next(CVyImage& frame, int timeoutMs);
    // Stops the stream (also done by the destructor).
    void stop();

    struct Counts {
        uint64_t received = 0;  // whole frames given by next()
        uint64_t lost = 0;      // frames that came incomplete or found no free buffer
    };
    Counts counts() const;
    // The first reason a frame was lost ("missing packets"); empty while none was. Camera thread.
    const std::string& firstLoss() const { return lossReason; }

private:
    struct Handles;
    std::unique_ptr<Handles> handles;
    CVyImageFormat frameFormat;
    int bits = 8;
    std::string pixelFormat;
    double rate = 0.0;
    std::string describedAs;
    std::string address;
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> spoiled{0};
    std::string lossReason;
};

}  // namespace Vy::Live
