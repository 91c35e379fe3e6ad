#include "ImageMessage.h"

#include <cstring>

namespace {

constexpr int kFingerprintBytes = 8;
constexpr int kFieldBytes = 32;  // frameTime (8) and six 4-byte fields
constexpr int kHeaderBytes = kFingerprintBytes + kFieldBytes;

// Big-endian by shifting, so the bytes do not depend on the host's order.
void putBigEndian(uint8_t* at, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        at[i] = static_cast<uint8_t>(value & 0xFFu);
        value >>= 8;
    }
}

uint64_t getBigEndian(const uint8_t* at, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value = (value << 8) | at[i];
    }
    return value;
}

}  // namespace

int64_t ImageMessage::fingerprint() {
    static const int64_t value = static_cast<int64_t>(0xA348F4250C8B9CEFull);
    return value;
}

int ImageMessage::encodedSize() const { return size > 0 ? kHeaderBytes + size : kHeaderBytes; }

int ImageMessage::encode(void* buf, int offset, int maxlen) const {
    if (maxlen < kFingerprintBytes) {
        return -1;
    }
    putBigEndian(static_cast<uint8_t*>(buf) + offset, static_cast<uint64_t>(fingerprint()), kFingerprintBytes);
    const int written = encodeFields(buf, offset + kFingerprintBytes, maxlen - kFingerprintBytes);
    return written == -1 ? -1 : kFingerprintBytes + written;
}

int ImageMessage::encodeFields(void* buf, int offset, int maxlen) const {
    uint8_t* const out = static_cast<uint8_t*>(buf) + offset;
    int pos = 0;
    if (maxlen - pos < 8) {
        return -1;
    }
    putBigEndian(out, static_cast<uint64_t>(frameTime), 8);
    pos = 8;
    for (const int32_t field : {spare, width, height, bytesPerSample, channels, size}) {
        if (maxlen - pos < 4) {
            return -1;
        }
        putBigEndian(out + pos, static_cast<uint32_t>(field), 4);
        pos += 4;
    }
    if (size <= 0) {
        return kFieldBytes;
    }
    if (maxlen - kFieldBytes < size || static_cast<size_t>(size) > data.size()) {
        return -1;
    }
    std::memcpy(out + kFieldBytes, data.data(), static_cast<size_t>(size));
    return kFieldBytes + size;
}

bool ImageMessage::decode(const void* buf, int len) {
    if (buf == nullptr || len < kHeaderBytes) {
        return false;
    }
    const uint8_t* in = static_cast<const uint8_t*>(buf);
    if (static_cast<int64_t>(getBigEndian(in, 8)) != fingerprint()) {
        return false;
    }
    in += kFingerprintBytes;
    const auto field = [in](int at) { return static_cast<int32_t>(static_cast<uint32_t>(getBigEndian(in + at, 4))); };
    const int32_t decodedSize = field(28);
    if (decodedSize < 0 || decodedSize != len - kHeaderBytes) {
        return false;
    }
    frameTime = static_cast<int64_t>(getBigEndian(in, 8));
    spare = field(8);
    width = field(12);
    height = field(16);
    bytesPerSample = field(20);
    channels = field(24);
    size = decodedSize;
    data.assign(in + kFieldBytes, in + kFieldBytes + decodedSize);
    return true;
}
