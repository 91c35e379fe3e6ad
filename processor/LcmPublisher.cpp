#include "LcmPublisher.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "Diagnostic.h"
#include "VyTypes.h"

namespace {

constexpr const char* kLcmChannel = "RIZODEZIZOV";
constexpr int kLcmLargestSide = 1280;

}  // namespace

LcmPublisher::LcmPublisher(lcm_t* handle, const CVyImage& frameSource, StageClock& clock, Resize resize)
    : lcm(handle), source(frameSource), publishClock(clock), shrink(std::move(resize)) {}

LcmPublisher::~LcmPublisher() {
    if (lcm != nullptr) {
        lcm_destroy(lcm);
    }
}

void LcmPublisher::consume(CVyImage& image, const FrameInfo& /*info*/) {
    const StageClock::Span span(publishClock);
    image.timeStamp = source.timeStamp;
    const int32_t width = image.GetWidth();
    const int32_t height = image.GetHeight();
    if (width > kLcmLargestSide || height > kLcmLargestSide) {
        // The larger side decides, so a tall image shrinks too.
        const int divisor = std::max({width / kLcmLargestSide, height / kLcmLargestSide, 1});
        CVyImage smaller;
        shrink(smaller, image, divisor);
        image = smaller;
    }
    if (image.GetFormat().GetBitDepth() > 8) {
        CVyImage shallower;
        // Unsigned bytes, as in the recording: v / 64 saturating at 255 (signed bytes would cut at 127).
        image.ConvertType(shallower, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte);
        image = shallower;
    }
    message.frameTime = static_cast<int64_t>(source.timeStamp);
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
