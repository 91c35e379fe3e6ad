// What a run's processor did, handed to the application at the end (or read
// during the run for progress): counts, the files it wrote, and why any of
// them fell short. Empty reasons mean nothing went wrong there.
#pragma once

#include <cstdint>
#include <string>

struct RunReport {
    uint64_t processed = 0;
    // Frames the queue could not take, or that came before the run was ready.
    uint64_t dropped = 0;

    // The recording ("" when none is open), why it could not be opened, why it stopped
    // before the run did, and the frames that did not reach it (a cut aside) with the first reason.
    std::string videoFile;
    std::string videoOpenError;
    uint64_t recorded = 0;
    std::string recordingCut;
    uint64_t recordingLost = 0;
    std::string recordingLoss;

    // A publishing run: whether LCM was set up, the frames sent and refused, and (once the
    // outputs are closed) what a file log lost ("LCM log <path> holds N of M messages (...)").
    bool publishes = false;
    bool lcmReady = false;
    uint64_t published = 0;
    uint64_t publishFailures = 0;
    std::string lcmShortfall;

    // The measurement log, its rows measured and those that reached it, and the particle
    // table ("" when the settings ask for none) with the frames whose rows it misses.
    std::string logFile;
    uint64_t profileRows = 0;
    uint64_t profileRowsWritten = 0;
    std::string particleTable;
    uint64_t particleTableFailures = 0;
    // "<log>.tracks.csv" (empty without a table), and whether writing it at the end failed.
    std::string trackSummary;
    bool trackSummaryFailed = false;

    // A live run: frames replaced by a newer one before the display took them (still recorded).
    uint64_t skipped = 0;
    // A live run (frames stamped with their arrival, host clock): from a frame's arrival to the
    // end of its outputs (shown and handed to the recorder), over the frames processed.
    struct Latency {
        uint64_t frames = 0;
        double meanMs = 0;
        double maxMs = 0;
    } latency;

    // Milliseconds spent per stage, summed over the run.
    struct Stages {
        double compute = 0;  // upload, light-field pipeline, download
        double measure = 0;  // the profile measurement and its log row (type 4)
        double rotate = 0;   // turning by 180 degrees (a 16-bit image: reduced to the recording frame first)
        double show = 0;     // frame number and viewer
        double record = 0;   // 8-bit frame handed to the recorder (waits included)
        double publish = 0;  // LCM: shrinking, 8-bit conversion, encoding and sending
        double encode = 0;   // the recorder thread's converting and encoding
    } milliseconds;
};
