#include "ProfileStep.h"

#include <algorithm>
#include <opencv2/core.hpp>

#include "CVyException.h"
#include "Diagnostic.h"
#include "MeasurementLog.h"
#include "ParticleTable.h"
#include "VyTypes.h"

void ProfileStep::setUp(const Vy::Analysis::ProfileSettings& profileSettings, const CCalibration& camera) {
    settings = profileSettings;
    calibration = camera;
    tracker = Vy::Analysis::ParticleTracker(settings.tracking);
}

std::string ProfileStep::particleTableFile() const {
    return settings.particleTable ? Vy::Analysis::particleTableName(logFileName) : std::string();
}

std::string ProfileStep::trackSummaryFile() const {
    return settings.particleTable ? Vy::Analysis::trackSummaryName(logFileName) : std::string();
}

std::string ProfileStep::finish(bool& failed) {
    failed = false;
    if (!tableStarted) {
        return {};
    }
    const std::string file = trackSummaryFile();
    if (Vy::Analysis::writeTrackSummary(file, tracks.lines(), recording)) {
        return "track summary: " + file;
    }
    failed = true;
    return "track summary not written (" + file + ")";
}

ProfileStep::Picture ProfileStep::measure(const CVyImage& totalFocus, const CVyImage& depth, const FrameInfo& info) {
    const CVyImageFormat& format = totalFocus.GetFormat();
    if (totalFocus.IsEmpty() || format.pixelType != Vy::PixelTypeLuminance || format.GetBitDepth() != 16) {
        throw CVyException("ProfileStep::measure", "image 4096", "total focus image is not 16-bit luminance");
    }
    // The measurement reads the total-focus samples in place.
    const cv::Mat view(totalFocus.GetHeight(), totalFocus.GetWidth(), CV_16UC1,
                       const_cast<void*>(totalFocus.GetPixelData()));
    const Vy::Analysis::ProfileResult result = Vy::Analysis::measureProfile(view, settings.bounds);

    // A paused frame shown again was logged when it was first processed.
    if (!info.again) {
        const bool written = Vy::Analysis::logProfileRow(logFileName, info.number, info.timeStamp, info.frameId,
                                                         result.acceptedCount, result.areaFigure);
        ++rowTotal;
        if (written) {
            ++writtenTotal;
        } else if (rowTotal.load() - writtenTotal.load() == 1) {  // the first row missing
            Console::diagnostic("MarlinProfileProc: the row of frame " + std::to_string(info.number) +
                                " could not be written to " + logFileName + "; the summary counts the rows missing");
        }
        if (settings.particleTable) {
            addParticleRows(view, depth, result.blobs, info);
        }
    }

    Picture picture;
    picture.image.Create(result.annotated.cols, result.annotated.rows, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte,
                         result.annotated.data);
    picture.outlines = Vy::Analysis::countOutlines(result.blobs);
    return picture;
}

void ProfileStep::addParticleRows(const cv::Mat& totalFocus, const CVyImage& depthImage,
                                  const std::vector<Vy::Analysis::BlobRecord>& blobs, const FrameInfo& info) {
    cv::Mat depth;
    const CVyImageFormat& format = depthImage.GetFormat();
    if (!depthImage.IsEmpty() && format.GetBitDepth() == 32 && depthImage.GetWidth() == totalFocus.cols &&
        depthImage.GetHeight() == totalFocus.rows) {
        // The depth map was computed for the total focus; reading it copies nothing.
        depth = cv::Mat(totalFocus.rows, totalFocus.cols, CV_32FC1, const_cast<void*>(depthImage.GetPixelData()));
    }
    const Vy::Analysis::TableGeometry geometry{calibration, std::max(1, calibration.sensorWidth / totalFocus.cols),
                                               settings.edgeShare};
    std::vector<Vy::Analysis::ParticleRow> rows = Vy::Analysis::measureParticles(totalFocus, depth, blobs, geometry);
    for (Vy::Analysis::ParticleRow& row : rows) {
        row.frameIndex = info.number;
        row.frameId = info.frameId;
        row.timeMs = info.timeStamp;
    }
    Vy::Analysis::trackParticles(tracker, info.timeStamp, rows);
    tracks.add(rows);
    tableStarted = true;
    if (!Vy::Analysis::appendParticleRows(particleTableFile(), rows, recording)) {
        if (tableFailedTotal.fetch_add(1) == 0) {
            Console::diagnostic("MarlinProfileProc: the particle rows of frame " + std::to_string(info.number) +
                                " could not be written to " + particleTableFile() +
                                "; the summary counts the frames missing");
        }
    }
}
