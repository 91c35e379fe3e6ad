// Display type 4 after the engine: the blobs of the total focus image counted
// and measured, a row per frame in the measurement log (and in the particle
// table when the settings ask for it), and the picture with their outlines
// that the outputs take.
//
// Threads: the main thread sets it up before the run; then only the output
// thread measures; the counters may be read by any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "CCalibration.h"
#include "CVyImage.h"
#include "FrameInfo.h"
#include "ParticleTracker.h"
#include "ProfileMeasurement.h"
#include "ProfileSettings.h"
#include "TrackSummary.h"

class ProfileStep {
public:
    // logFile: "<dir>/VyProc_<ticks>.csv", fixed for the run.
    explicit ProfileStep(std::string logFile) : logFileName(std::move(logFile)) {}

    // Main thread, before the run.
    void setUp(const Vy::Analysis::ProfileSettings& settings, const CCalibration& calibration);
    // The sequence measured, written into the rows of the table and the track summary.
    void setRecording(const std::string& path) { recording = path; }

    struct Picture {
        CVyImage image;  // 8-bit colour, the blobs outlined
        Vy::Analysis::OutlineCounts outlines;
    };
    // Measures the total focus; logs the frame unless it is shown again. depth: the
    // frame's virtual depths (the particle table's depth), or empty. Throws
    // CVyException when the total focus is not 16-bit luminance. A row that cannot be
    // written is said on standard error when it happens (the first of each file) and counted.
    Picture measure(const CVyImage& totalFocus, const CVyImage& depth, const FrameInfo& info);

    const std::string& logFile() const { return logFileName; }
    // "<log>.particles.csv"; empty when the settings ask for no table.
    std::string particleTableFile() const;
    uint64_t rows() const { return rowTotal.load(); }
    uint64_t rowsWritten() const { return writtenTotal.load(); }
    uint64_t tableFailures() const { return tableFailedTotal.load(); }

    // Once the output thread has ended: writes the track summary beside the table (when a
    // table was written). Returns the line to print; sets failed when it could not be written.
    std::string finish(bool& failed);
    // "<log>.tracks.csv"; empty when the settings ask for no table.
    std::string trackSummaryFile() const;

private:
    void addParticleRows(const cv::Mat& totalFocus, const CVyImage& depth,
                         const std::vector<Vy::Analysis::BlobRecord>& blobs, const FrameInfo& info);

    const std::string logFileName;
    // Set up by the main thread, then the output thread's.
    Vy::Analysis::ProfileSettings settings;
    CCalibration calibration;
    Vy::Analysis::ParticleTracker tracker;
    Vy::Analysis::TrackSummary tracks;
    std::string recording;
    bool tableStarted = false;
    // Output thread writes, any thread reads.
    std::atomic<uint64_t> rowTotal{0};
    std::atomic<uint64_t> writtenTotal{0};
    std::atomic<uint64_t> tableFailedTotal{0};
};
