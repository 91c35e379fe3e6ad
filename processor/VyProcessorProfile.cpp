// Display type 4: the profile measurement of one frame.
#include <opencv2/core.hpp>
#include <optional>

#include "CVyException.h"
#include "ExceptionReport.h"
#include "MeasurementLog.h"
#include "ProfileMeasurement.h"
#include "VyProcessor.h"
#include "VyTypes.h"

void VyProcessor::processProfileFrame() {
    try {
        std::optional<StageClock::Span> span(std::in_place, stages.compute);
        compute.UploadRawImage(inputImage);
        compute.Compute_PreProcess();
        compute.Compute_DepthRay();
        compute.Compute_DepthMap(LF::Space_VirtualImage);
        compute.Compute_TotalFocus(LF::Space_VirtualImage);
        imageAccess->GetImage(Vy::ImageIdTotalFocus, totalFocusImage);

        span.emplace(stages.measure);
        const CVyImageFormat& format = totalFocusImage.GetFormat();
        if (totalFocusImage.IsEmpty() || format.pixelType != Vy::PixelTypeLuminance || format.GetBitDepth() != 16) {
            throw CVyException("processProfileFrame", "image 4096", "total focus image is not 16-bit luminance");
        }
        // The measurement reads the total-focus samples in place.
        const cv::Mat view(totalFocusImage.GetHeight(), totalFocusImage.GetWidth(), CV_16UC1,
                           const_cast<void*>(totalFocusImage.GetPixelData()));
        const Vy::Analysis::ProfileResult result = Vy::Analysis::measureProfile(view);

        Vy::Analysis::logProfileRow(logFileName, frameCount, inputImage.timeStamp, inputImage.frameId,
                                    result.acceptedCount, result.areaFigure);
        ++profileRowTotal;

        span.reset();
        CVyImage annotated;
        annotated.Create(result.annotated.cols, result.annotated.rows, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte,
                         result.annotated.data);
        outputFrame(annotated);
    } catch (const CVyException& exception) {
        reportWorkerException(exception.ToString(true).ToCString(), [this] { return isThreadRunning(); });
    }
}
