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
    bool calibrate = false;           // find the grid in the white image, the depth range in the first frame
    std::string optics;               // optics for --calibrate; empty = defaults
    double pitchHint = 0.0;
    // Significant bits of 16-bit data; 0 = 16 (8 for 8-bit data). Data too large for them whose
    // low 16 - bits bits are 0 is taken as data in the high bits and stored shifted down.
    int bits = 0;
    double fps = 0.0;        // 0 = the video's rate, else 25
    double startMs = 0.0;    // time stamp of the first frame, ms since 1970
    std::string timestamps;  // CSV of time stamps (ms), one a frame; overrides fps
    int32_t firstId = 0;
    bool overwrite = false;  // replace an existing output (else it is refused)
};

struct ImportSummary {
    uint32_t frames = 0;
    uint64_t bytes = 0;  // pixel bytes read
    double seconds = 0.0;
    bool interrupted = false;
    std::string warning;  // e.g. a lossy video codec
    std::string note;     // how the samples were taken, when not as they are (data in the high bits)
    std::string range;    // with calibrate: the depth range found and from what
    std::string types;    // with calibrate on a multi-focus array: where the lens types were placed
};

// The image files of a folder or a list, ordered by the numbers in their names
// (frame_9 before frame_10), without the file exclude (the white image kept beside
// the frames). Throws CVyException for a folder without images.
std::vector<std::string> listFrames(const std::vector<std::string>& inputs, const std::string& exclude = "");

// Writes the sequence under a temporary name beside out and renames it to out
// only when whole. Bad input, an output that is one of the inputs or exists
// (unless overwrite), and a failed write (full disk) throw CVyException, one
// line naming the file; the temporary file is removed and an earlier out stays
// as it was. A stop request ends the sequence with the whole frames written so
// far. progress (may be null) gets a running line.
ImportSummary importSequence(const std::string& out, const ImportOptions& options, std::ostream* progress,
                             const std::atomic<bool>* stop);

}  // namespace Vy::Synth
