// The image message published over LCM: a fixed 40-byte big-endian header
// (fingerprint, frame time, geometry, size) followed by the pixel bytes.
#pragma once

#include <cstdint>
#include <vector>

struct ImageMessage {
    int64_t frameTime = 0;  // the frame's time stamp, truncated to whole units
    int32_t spare = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t bytesPerSample = 0;
    int32_t channels = 0;
    int32_t size = 0;  // bytes of data sent; must not exceed data.size()
    std::vector<uint8_t> data;

    // 0xA348F4250C8B9CEF: identifies this message layout to receivers.
    static int64_t fingerprint();

    // Bytes encode() needs: the 40-byte header plus size (none when size <= 0).
    int encodedSize() const;

    // Writes fingerprint and fields at buf + offset, using at most maxlen bytes.
    // Returns the bytes written, or -1 when maxlen is too small or size exceeds
    // data.size() (fields written before the failing check stay written).
    int encode(void* buf, int offset, int maxlen) const;
    int encodeFields(void* buf, int offset, int maxlen) const;

    // Reads a whole encoded message of len bytes. False, leaving *this unchanged,
    // for a short buffer, another fingerprint, a negative size or a size that
    // does not match the bytes after the header.
    bool decode(const void* buf, int len);
};
