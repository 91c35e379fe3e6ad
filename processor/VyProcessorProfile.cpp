// Display type 4: the profile measurement of one frame.
#include <algorithm>
#include <opencv2/core.hpp>
#include <optional>

#include "CVyException.h"
#include "MeasurementLog.h"
#include "ProfileMeasurement.h"
#include "VyProcessor.h"
#include "VyTypes.h"

void VyProcessor::processProfileFrame() {
    // A failure leaves to the processor loop, which reports it and does not count the frame.
    std::optional<StageClock::Span> span(std::in_place, stages.compute);
    compute.UploadRawImage(inputImage);
    compute.Compute_PreProcess();
    compute.Compute_DepthRay();
    compute.Compute_DepthMap(LF::Space_VirtualImage);
    compute.Compute_TotalFocus(LF::Space_VirtualImage);
    checkDepthRange();
    imageAccess->GetImage(Vy::ImageIdTotalFocus, totalFocusImage);

    span.emplace(stages.measure);
    const CVyImageFormat& format = totalFocusImage.GetFormat();
    if (totalFocusImage.IsEmpty() || format.pixelType != Vy::PixelTypeLuminance || format.GetBitDepth() != 16) {
        throw CVyException("processProfileFrame", "image 4096", "total focus image is not 16-bit luminance");
    }
    // The measurement reads the total-focus samples in place.
    const cv::Mat view(totalFocusImage.GetHeight(), totalFocusImage.GetWidth(), CV_16UC1,
                       const_cast<void*>(totalFocusImage.GetPixelData()));
    const Vy::Analysis::ProfileResult result = Vy::Analysis::measureProfile(view, profileSettings.bounds);

    // A paused frame shown again was logged when it was first processed.
    if (!showingAgain) {
        Vy::Analysis::logProfileRow(logFileName, frameCount, inputImage.timeStamp, inputImage.frameId,
                                    result.acceptedCount, result.areaFigure);
        ++profileRowTotal;
        if (profileSettings.particleTable) {
            addParticleRows(view, result.blobs);
        }
    }

    span.reset();
    CVyImage annotated;
    annotated.Create(result.annotated.cols, result.annotated.rows, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte,
                     result.annotated.data);
    outputFrame(annotated, Vy::Analysis::countOutlines(result.blobs));
}

void VyProcessor::addParticleRows(const cv::Mat& totalFocus, const std::vector<Vy::Analysis::BlobRecord>& blobs) {
    // The depth map was computed for the total focus; reading it copies nothing.
    imageAccess->GetImage(Vy::ImageIdVirtualDepth, depthImage);
    cv::Mat depth;
    const CVyImageFormat& format = depthImage.GetFormat();
    if (!depthImage.IsEmpty() && format.GetBitDepth() == 32 && depthImage.GetWidth() == totalFocus.cols &&
        depthImage.GetHeight() == totalFocus.rows) {
        depth = cv::Mat(totalFocus.rows, totalFocus.cols, CV_32FC1, const_cast<void*>(depthImage.GetPixelData()));
    }
    const Vy::Analysis::TableGeometry geometry{
        calibrationInUse, std::max(1, calibrationInUse.sensorWidth / totalFocus.cols), profileSettings.edgeShare};
    std::vector<Vy::Analysis::ParticleRow> rows = Vy::Analysis::measureParticles(totalFocus, depth, blobs, geometry);
    for (Vy::Analysis::ParticleRow& row : rows) {
        row.frameIndex = frameCount;
        row.frameId = inputImage.frameId;
        row.timeMs = inputImage.timeStamp;
    }
    Vy::Analysis::trackParticles(tracker, inputImage.timeStamp, rows);
    if (!Vy::Analysis::appendParticleRows(particleTableFileName(), rows)) {
        ++particleTableFailedTotal;
    }
}
