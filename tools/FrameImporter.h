// Turns frames from elsewhere (grey PNG/TIFF/PGM files or a video) into a
// "*.rays" sequence, one frame at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace Vy::Synth {

struct ImportOptions {
    std::vector<std::string> inputs;  // one folder, one video, or image files
    std::string white;                // white image file; empty = none
    std::string calibration;          // calibration block file
    bool calibrate = false;           // find the grid in the white image instead
    std::string optics;               // optics for --calibrate; empty = defaults
    double pitchHint = 0.0;
    int bits = 0;            // significant bits of 16-bit data; 0 = 16 (8 for 8-bit data)
    double fps = 0.0;        // 0 = the video's rate, else 25
    double startMs = 0.0;    // time stamp of the first frame, ms since 1970
    std::string timestamps;  // CSV of time stamps (ms), one a frame; overrides fps
    int32_t firstId = 0;
};

struct ImportSummary {
    uint32_t frames = 0;
    uint64_t bytes = 0;  // pixel bytes read
    double seconds = 0.0;
    bool interrupted = false;
    std::string warning;  // e.g. a lossy video codec
};

// The image files of a folder or a list, ordered by the numbers in their names
// (frame_9 before frame_10), without the file exclude (the white image kept beside
// the frames). Throws CVyException for a folder without images.
std::vector<std::string> listFrames(const std::vector<std::string>& inputs, const std::string& exclude = "");

// Writes the sequence. Bad input throws CVyException (one line naming the file)
// and removes what was written; a stop request or a failed write leaves the
// whole frames written so far. progress (may be null) gets a running line.
ImportSummary importSequence(const std::string& out, const ImportOptions& options, std::ostream* progress,
                             const std::atomic<bool>* stop);

}  // namespace Vy::Synth
