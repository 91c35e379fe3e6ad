// An OpenCV grey image as the engine and the sequence writer take it: a CVyImage
// holding a copy of its pixels.
#pragma once

#include <opencv2/core.hpp>

#include "CVyImage.h"
#include "VyTypes.h"

namespace Vy::Synth {

// 8-bit images carry 8 significant bits, 16-bit ones `bits`.
inline CVyImage engineImage(const cv::Mat& m, int bits) {
    CVyImage image;
    const bool deep = m.depth() == CV_16U;
    image.Create(m.cols, m.rows, Vy::PixelTypeLuminance, deep ? Vy::DataTypeUnsignedShort : Vy::DataTypeUnsignedByte,
                 m.ptr());
    image.significantBits = deep ? bits : 8;
    return image;
}

}  // namespace Vy::Synth
