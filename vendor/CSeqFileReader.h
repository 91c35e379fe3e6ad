// Reads a "*.rays" sequence file (format: docs/rays-format.md).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CRayImage.h"
#include "CVyString.h"

class CSeqFileReader {
public:
    CSeqFileReader();
    ~CSeqFileReader();
    CSeqFileReader(const CSeqFileReader&) = delete;
    CSeqFileReader& operator=(const CSeqFileReader&) = delete;

    // Opens and checks the file. readAhead: frames the reader may keep ready
    // in memory (0 = none). Throws CVyException for a missing, foreign,
    // unsupported or damaged file.
    void Open(const CVyString& path, uint32_t readAhead);
    // Loads the calibration (and white image, if any) into image and rewinds
    // to the first frame.
    void StartReading(CRayImage& image);
    // Reads the next frame into image (pixels, timeStamp, frameId) and
    // advances the index. Throws past the last frame or on a read error.
    void ReadFrame(CRayImage& image);
    // Moves the index to frame (at most the frame count).
    void Seek(uint32_t frame);
    uint32_t GetFrameIndex() const;
    // Whole frames in the file; a file cut short counts only its whole frames.
    uint32_t GetFrameCount() const;
    // The frame count the header promises (may exceed GetFrameCount for a cut file).
    uint32_t GetPromisedFrameCount() const;
    const CVyImageFormat& GetFrameFormat() const;
    const CCalibration& GetCalibration() const;
    // What the last Open found wrong without refusing the file (a frame count the
    // file does not hold), one line each. Each is also handed to Vy::Warn as it
    // is found; the reader itself prints nothing.
    const std::vector<std::string>& GetWarnings() const;
    // Bits of each sample that carry data: 8 for 8-bit files, 10..16 for 16-bit ones.
    int GetSignificantBits() const;
    bool IsOpen() const;
    void Close();

private:
    struct State;
    std::unique_ptr<State> state_;
};
