#include "RaysFormat.h"

#include <bit>
#include <cstring>

namespace Vy::Rays {

namespace {

uint32_t GetU32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
           static_cast<uint32_t>(in[3]) << 24;
}

uint64_t GetU64(const uint8_t* in) { return GetU32(in) | static_cast<uint64_t>(GetU32(in + 4)) << 32; }

void PutU64(uint8_t* out, uint64_t value) {
    PutU32(out, static_cast<uint32_t>(value));
    PutU32(out + 4, static_cast<uint32_t>(value >> 32));
}

}  // namespace

void PutU32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void EncodeHeader(const Header& header, uint8_t* out) {
    std::memset(out, 0, kHeaderSize);
    std::memcpy(out, kMagic, sizeof kMagic);
    PutU32(out + 8, header.version);
    PutU32(out + 12, header.headerSize);
    PutU32(out + 16, static_cast<uint32_t>(header.width));
    PutU32(out + 20, static_cast<uint32_t>(header.height));
    PutU32(out + 24, header.pixelType);
    PutU32(out + 28, header.dataType);
    PutU32(out + kFrameCountOffset, header.frameCount);
    PutU32(out + 36, header.calibrationLength);
    PutU32(out + 40, header.whiteImage);
    PutU32(out + 44, header.version >= 2 ? header.significantBits : 0);
    PutU64(out + 48, header.firstFrameOffset);
}

bool HasMagic(const uint8_t* in) { return std::memcmp(in, kMagic, sizeof kMagic) == 0; }

Header DecodeHeader(const uint8_t* in) {
    Header header;
    header.version = GetU32(in + 8);
    header.headerSize = GetU32(in + 12);
    header.width = static_cast<int32_t>(GetU32(in + 16));
    header.height = static_cast<int32_t>(GetU32(in + 20));
    header.pixelType = GetU32(in + 24);
    header.dataType = GetU32(in + 28);
    header.frameCount = GetU32(in + kFrameCountOffset);
    header.calibrationLength = GetU32(in + 36);
    header.whiteImage = GetU32(in + 40);
    header.significantBits = GetU32(in + 44);
    header.firstFrameOffset = GetU64(in + 48);
    return header;
}

void EncodeRecordHeader(int32_t frameId, double timeStamp, uint8_t* out) {
    PutU32(out, static_cast<uint32_t>(frameId));
    PutU32(out + 4, 0);
    PutU64(out + 8, std::bit_cast<uint64_t>(timeStamp));
}

void DecodeRecordHeader(const uint8_t* in, int32_t& frameId, double& timeStamp) {
    frameId = static_cast<int32_t>(GetU32(in));
    timeStamp = std::bit_cast<double>(GetU64(in + 8));
}

}  // namespace Vy::Rays
