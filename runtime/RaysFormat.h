// Layout of a "*.rays" sequence file (docs/rays-format.md): a fixed
// little-endian header, the calibration text, an optional white image, then
// fixed-size frame records. Shared by the reader and the writer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "VyTypes.h"

namespace Vy::Rays {

constexpr uint8_t kMagic[8] = {'R', 'A', 'Y', 'S', 'E', 'Q', '\r', '\n'};
// Version 1 holds 8-bit frames only; version 2 adds 16-bit frames and their significant bits.
// The writer uses the lowest version that holds the data, so 8-bit files still open in older readers.
constexpr uint32_t kVersion = 2;
constexpr uint32_t kVersion8Bit = 1;
constexpr uint32_t kHeaderSize = 64;
// The frame count of a recording still being written (or one that ended abruptly).
constexpr uint32_t kUnfinishedCount = 0xFFFFFFFF;
constexpr uint32_t kMaxFrameCount = kUnfinishedCount - 1;
constexpr size_t kFrameCountOffset = 32;
constexpr uint32_t kMaxCalibrationBytes = 1u << 20;
constexpr int32_t kMaxSide = 32768;
// The most pixels a frame may have: what the compute engine takes (8192 x 8192).
constexpr uint64_t kMaxPixels = uint64_t{8192} * 8192;
// The most micro-lenses a calibration may put on the sensor, also the engine's bound.
constexpr double kMaxLenses = 1 << 20;
// frameId (int32), reserved (int32), timeStamp (double, ms since 1970 UTC).
constexpr size_t kRecordHeaderSize = 16;

struct Header {
    uint32_t version = kVersion;
    uint32_t headerSize = kHeaderSize;
    int32_t width = 0;
    int32_t height = 0;
    uint32_t pixelType = 0;
    uint32_t dataType = 0;
    uint32_t frameCount = kUnfinishedCount;
    uint32_t calibrationLength = 0;
    uint32_t whiteImage = 0;       // 1 when a white image follows the calibration
    uint32_t significantBits = 0;  // version 2: bits that carry data (8, or 10..16 for 16-bit samples)
    uint64_t firstFrameOffset = 0;
};

// Writes magic and header into out (kHeaderSize bytes); reserved fields are zero.
void EncodeHeader(const Header& header, uint8_t* out);
// True when in (kHeaderSize bytes) starts with the magic.
bool HasMagic(const uint8_t* in);
Header DecodeHeader(const uint8_t* in);

void EncodeRecordHeader(int32_t frameId, double timeStamp, uint8_t* out);
void DecodeRecordHeader(const uint8_t* in, int32_t& frameId, double& timeStamp);
void PutU32(uint8_t* out, uint32_t value);

inline size_t FrameBytes(int32_t width, int32_t height, size_t bytesPerPixel = 1) {
    return static_cast<size_t>(width) * static_cast<size_t>(height) * bytesPerPixel;
}
inline size_t RecordSize(int32_t width, int32_t height, size_t bytesPerPixel = 1) {
    return kRecordHeaderSize + FrameBytes(width, height, bytesPerPixel);
}

// Significant bits the format allows for a data type: 8 for bytes, 10..16 for 16-bit samples.
inline bool ValidSignificantBits(uint32_t dataType, int bits) {
    return dataType == DataTypeUnsignedShort ? bits >= 10 && bits <= 16 : bits == 8;
}

}  // namespace Vy::Rays
