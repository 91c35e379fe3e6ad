// Integer down-scaling with area averaging for 8- and 16-bit images of any channel count.
#pragma once

#include "CVyImage.h"

namespace Vy::Engine {

// target = source shrunk by factor (>= 1), keeping time stamp and frame id.
// Throws CVyException for a factor below 1, an empty or unsupported source,
// or a factor larger than the image.
void ResizeByArea(const CVyImage& source, int factor, CVyImage& target);

}  // namespace Vy::Engine
