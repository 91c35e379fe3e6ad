// Writes a "*.rays" sequence file (format: docs/rays-format.md).
#pragma once

#include <cstdint>
#include <memory>

#include "CCalibration.h"
#include "CVyImage.h"
#include "CVyString.h"

class CSeqFileWriter {
public:
    CSeqFileWriter();
    ~CSeqFileWriter();  // finishes the file if still open
    CSeqFileWriter(const CSeqFileWriter&) = delete;
    CSeqFileWriter& operator=(const CSeqFileWriter&) = delete;

    // Creates the file and writes its header. Frames are 8- or 16-bit luminance;
    // significantBits (10..16) says how many bits of 16-bit samples carry data, 0 = all 16.
    // white may be empty; otherwise it must have the frame format. Throws CVyException on any failure.
    void Create(const CVyString& path, const CVyImageFormat& frameFormat, const CCalibration& calibration,
                const CVyImage& white, int significantBits = 0);
    // Appends one frame (pixels of the frame format, its timeStamp and frameId).
    void WriteFrame(const CVyImage& frame);
    // Writes the final frame count into the header and closes the file.
    void Close();
    uint32_t GetFramesWritten() const;
    bool IsOpen() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};
