// Sample and channel conversion between the image layouts the runtime
// converts: luminance, BGR and RGB with signed/unsigned 8-bit or unsigned
// 16-bit samples. 16-bit samples carry a 14-bit range: 8 -> 16 bit multiplies
// by 64, 16 -> 8 bit divides by 64 (rounded, saturated).
#pragma once

#include "CVyImageFormat.h"

namespace Vy {

bool IsConversionSupported(const CVyImageFormat& source, const CVyImageFormat& target);
// Both formats must be supported and of the same size; buffers are packed.
void ConvertPixels(const CVyImageFormat& sourceFormat, const void* source, const CVyImageFormat& targetFormat,
                   void* target);

}  // namespace Vy
