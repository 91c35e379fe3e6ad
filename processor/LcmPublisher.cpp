#include "LcmPublisher.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <utility>
#include <vector>

#include "Diagnostic.h"
#include "OutputRoom.h"
#include "VyTypes.h"
#include "engine/ImageResizer.h"

namespace {

constexpr const char* kLcmChannel = "RIZODEZIZOV";
constexpr int kLcmLargestSide = 1280;
// An LCM log event: magic, number, time, channel length, data length, then channel and data.
constexpr uint32_t kEventMagic = 0xEDA1DA01;
constexpr uint64_t kEventHeaderBytes = 4 + 8 + 8 + 4 + 4;

// The log file of a file:// URL that writes (mode w or a); empty for any other URL.
std::string writtenLogPath(const char* url) {
    const std::string text = url != nullptr ? url : "";
    const std::string scheme = "file://";
    if (text.rfind(scheme, 0) != 0) {
        return "";
    }
    const size_t query = text.find('?');
    if (query == std::string::npos) {
        return "";  // the file provider reads unless told otherwise
    }
    bool writes = false;
    for (size_t at = query + 1; at <= text.size();) {
        const size_t end = std::min(text.find('&', at), text.size());
        const std::string option = text.substr(at, end - at);
        writes = writes || option == "mode=w" || option == "mode=a";
        at = end + 1;
    }
    return writes ? text.substr(scheme.size(), query - scheme.size()) : "";
}

uint64_t fileSize(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

uint32_t bigEndian32(const unsigned char* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

}  // namespace

LcmPublisher::LcmPublisher(lcm_t* handle, StageClock& clock)
    : lcm(handle), setUp(handle != nullptr), publishClock(clock) {
    // lcm_create("") took its URL from here; an appended log keeps what it held.
    if (lcm != nullptr) {
        logPath = writtenLogPath(std::getenv("LCM_DEFAULT_URL"));
        logStart = logPath.empty() ? 0 : fileSize(logPath);
    }
}

LcmPublisher::~LcmPublisher() { close(); }

void LcmPublisher::close() {
    if (lcm == nullptr) {
        return;
    }
    lcm_destroy(lcm);  // a file log's last messages are written here
    lcm = nullptr;
    if (logPath.empty()) {
        return;
    }
    // The log's writes are buffered and their failures not reported: the file itself says what it got.
    const uint64_t sent = publishedTotal.load();
    const uint64_t held = eventsInLog(logPath, logStart);
    if (held < sent) {
        publishedTotal = held;
        failedTotal += sent - held;
        const std::string reason = lackOfRoom(logPath, kEventHeaderBytes + 1);
        shortfall = "LCM log " + logPath + " holds " + std::to_string(held) + " of " + std::to_string(sent) +
                    " messages (" + (reason.empty() ? std::string("its writes failed") : reason) + ")";
    }
}

uint64_t LcmPublisher::eventsInLog(const std::string& path, uint64_t from) {
    std::ifstream file(path, std::ios::binary);
    const uint64_t size = fileSize(path);
    uint64_t events = 0;
    for (uint64_t at = from; file && at + kEventHeaderBytes <= size; ++events) {
        unsigned char head[kEventHeaderBytes];
        file.seekg(static_cast<std::streamoff>(at));
        if (!file.read(reinterpret_cast<char*>(head), sizeof head) || bigEndian32(head) != kEventMagic) {
            break;
        }
        const uint64_t end = at + kEventHeaderBytes + bigEndian32(head + 20) + bigEndian32(head + 24);
        if (end > size) {
            break;  // cut off inside this event
        }
        at = end;
    }
    return events;
}

void LcmPublisher::consume(const OutputFrame& frame) {
    const StageClock::Span span(publishClock);
    CVyImage image = frame.image;  // shares the pixels; what is shrunk or made shallower is new
    const int32_t width = image.GetWidth();
    const int32_t height = image.GetHeight();
    if (width > kLcmLargestSide || height > kLcmLargestSide) {
        // The larger side decides, so a tall image shrinks too.
        const int divisor = std::max({width / kLcmLargestSide, height / kLcmLargestSide, 1});
        CVyImage smaller;
        Vy::Engine::ResizeByArea(image, divisor, smaller);
        image = smaller;
    }
    if (image.GetFormat().GetBitDepth() > 8) {
        CVyImage shallower;
        // Unsigned bytes, as in the recording: v / 64 saturating at 255 (signed bytes would cut at 127).
        image.ConvertType(shallower, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte);
        image = shallower;
    }
    message.frameTime = static_cast<int64_t>(frame.info.timeStamp);
    message.width = image.GetWidth();
    message.height = image.GetHeight();
    message.bytesPerSample = 1;
    message.channels = image.GetPixelType() == Vy::PixelTypeLuminance ? 1 : 3;
    message.size = message.channels * message.width * message.height;
    const size_t available = image.IsEmpty() ? 0 : image.GetByteSize();
    const size_t size = std::min(static_cast<size_t>(std::max(message.size, 0)), available);
    message.size = static_cast<int32_t>(size);
    const auto* pixels = static_cast<const uint8_t*>(image.GetPixelData());
    message.data.assign(pixels, pixels + size);

    std::vector<uint8_t> buffer(static_cast<size_t>(message.encodedSize()));
    message.encode(buffer.data(), 0, message.encodedSize());
    if (lcm == nullptr) {
        Console::diagnostic("LCM instance not initialized.  Ignoring call to publish()");
        return;
    }
    if (lcm_publish(lcm, kLcmChannel, buffer.data(), static_cast<unsigned int>(buffer.size())) == 0) {
        ++publishedTotal;
    } else {
        ++failedTotal;
    }
}
