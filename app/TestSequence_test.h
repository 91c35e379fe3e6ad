// Small sequence files written for the program's tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "CSeqFileWriter.h"
#include "CalibrationSamples.h"

namespace Vy::Test {

// Writes `frames` frames of width x height with the test calibration; frame i has
// frameId firstId + i, timeStamp 1.7e12 + i * 33 ms and pixels pixel(i, index).
inline std::string writeTestSequence(const std::string& path, int frames,
                                     const std::function<uint8_t(int, size_t)>& pixel, int32_t width = 96,
                                     int32_t height = 72, int32_t firstId = 0) {
    const CCalibration calibration = SmallCalibration(width, height);
    const CVyImageFormat format{width, height, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte};
    CSeqFileWriter writer;
    writer.Create(CVyString(path), format, calibration, CVyImage());
    std::vector<uint8_t> pixels(format.GetByteSize());
    for (int i = 0; i < frames; ++i) {
        for (size_t p = 0; p < pixels.size(); ++p) pixels[p] = pixel(i, p);
        CVyImage frame;
        frame.Create(width, height, format.pixelType, format.dataType, pixels.data());
        frame.frameId = firstId + i;
        frame.timeStamp = 1.7e12 + i * 33.0;
        writer.WriteFrame(frame);
    }
    writer.Close();
    return path;
}

}  // namespace Vy::Test
