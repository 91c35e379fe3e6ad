#include "ViewerOutput.h"

#include <iostream>
#include <opencv2/imgproc.hpp>

#include "DepthScale.h"
#include "DisplayImage.h"
#include "FrameReduction.h"
#include "PanoraTool.h"
#include "ProfileLegend.h"
#include "Snapshot.h"
#include "Viewer.h"
#include "VyTypes.h"

void ViewerOutput::open() { Panora::Tool::CreateViewImage(viewHandle, 0, 0, 1000, 800, "VyProcessorView"); }

void ViewerOutput::setDepthColours(double nearMm, double farMm) {
    colourNear = nearMm;
    colourFar = farMm;
}

void ViewerOutput::consume(const OutputFrame& frame) {
    const StageClock::Span span(showClock);
    const FrameInfo& info = frame.info;
    if (frame.turned.view.empty()) {
        std::cout << "image empty" << std::endl;
    }
    std::cout << info.number << std::endl;
    if (frame.turned.wide) {
        showWide(frame.turned, info);
    } else {
        show(frame);
    }
    // A frame shown again does not begin a series.
    if (!info.again) {
        shown.store(true);
    }
}

void ViewerOutput::show(const OutputFrame& frame) {
    const TurnedFrame& turned = frame.turned;
    const FrameInfo& info = frame.info;
    const CVyImage& image = turned.image;
    const CVyImageFormat& format = image.GetFormat();
    const cv::Mat& view = turned.view;
    const bool depthPicture = info.type == DisplayType::Depth && format.pixelType == Vy::PixelTypeBGR && !view.empty();
    const bool profilePicture = info.outlines && format.pixelType == Vy::PixelTypeBGR && !view.empty();
    // Without a window the viewer's conversion would be thrown away.
    if (depthPicture) {
        showDepthWithScale(view);
    } else if (profilePicture && Viewer::isShowing()) {
        // The legend goes into the window only: the recording keeps the measurement's picture.
        const cv::Mat both =
            Viewer::withProfileLegend(view, info.outlines->ellipses, info.outlines->circles, info.outlines->rejected);
        CVyImage withLegend;
        if (withLegend.Create(both.cols, both.rows, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte, both.data)) {
            Panora::Tool::ViewSetImage(viewHandle, &withLegend, shown.load());
        }
    } else if (Viewer::isShowing()) {
        Panora::Tool::ViewSetImage(viewHandle, &image, shown.load());
    }
    if (!info.snapshotBase.empty()) {
        // The image is turned already; PNG wants blue first.
        cv::Mat displayed, result = view;
        Viewer::toDisplayable(image, displayed);
        if (format.pixelType == Vy::PixelTypeRGB) {
            cv::cvtColor(view, result, cv::COLOR_RGB2BGR);
        }
        const std::vector<Snapshot::Extra> extras = depthPicture && frame.depth != nullptr
                                                        ? depthSnapshot.files(*frame.depth, info)
                                                        : std::vector<Snapshot::Extra>{};
        std::cout << Snapshot::write(info.snapshotBase, result, displayed, extras) << std::endl;
    }
}

void ViewerOutput::showWide(const TurnedFrame& turned, const FrameInfo& info) {
    const CVyImage& image = turned.image;
    const bool snapshot = !info.snapshotBase.empty();
    if (!Viewer::isShowing() && !snapshot) {
        return;
    }
    // The viewer's own 8-bit frame (the top 8 of the 14 bits), turned.
    const cv::Mat& wide = turned.view;
    CVyImage reduced;
    if (reduced.Create(
            CVyImageFormat{image.GetWidth(), image.GetHeight(), Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte})) {
        cv::Mat turned(image.GetHeight(), image.GetWidth(), CV_8UC1, reduced.GetPixelDataForWrite());
        FrameReduction::displayFrame(wide, turned);
        if (Viewer::isShowing()) {
            Panora::Tool::ViewSetImage(viewHandle, &reduced, shown.load());
        }
        if (snapshot) {
            cv::Mat result;
            cv::rotate(wide, result, cv::ROTATE_180);  // as shown
            std::cout << Snapshot::write(info.snapshotBase, result, turned) << std::endl;
        }
    }
}

void ViewerOutput::showDepthWithScale(const cv::Mat& colours) {
    if (!depthScaleWritten) {
        depthScaleWritten = true;
        // The scale goes once beside the recording, so the colours of the video can be read later.
        if (!depthScalePath.empty()) {
            std::string error;
            const std::string written = DepthScale::writePng(depthScalePath, colourNear, colourFar, error);
            if (!written.empty()) {
                std::cout << "depth scale: " << written << std::endl;
            } else {
                std::cout << "depth scale not written (" << depthScalePath << ": " << error << ")" << std::endl;
            }
        }
    }
    if (!Viewer::isShowing()) {
        return;
    }
    if (colourBar.rows != colours.rows) {
        colourBar = DepthScale::bar(colours.rows, colourNear, colourFar);
    }
    const cv::Mat both = DepthScale::besidePicture(colours, colourBar);
    CVyImage withScale;
    if (withScale.Create(both.cols, both.rows, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte, both.data)) {
        Panora::Tool::ViewSetImage(viewHandle, &withScale, shown.load());
    }
}
