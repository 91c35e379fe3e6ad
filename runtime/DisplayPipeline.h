// The engine's steps for each display type, in one place for the program, its
// benchmark and the quality tools, so that they all compute the same images.
#pragma once

#include <optional>

#include "CVyImage.h"
#include "DisplayType.h"

class CCudaCompute;
class IImageAccess;

namespace Vy::Engine {

// Runs the steps of `type` on the raw frame uploaded last and sets image to
// the result: the pre-processed raw image (type 0 and any type without a
// pipeline), the total focus (1, and 4, whose measurement reads it), the
// colour-coded depth (2) or the refocused image (3). refocus, where given, is
// the refocus value to use (0 far end, 1 near end); otherwise the settings'.
// The image shares the engine's buffer, which the next frame does not reuse
// while the image holds it. A failed step leaves as CVyException.
void computeDisplayImage(CCudaCompute& engine, IImageAccess& access, DisplayType type, std::optional<double> refocus,
                         CVyImage& image);

// Whether the type's steps compute a depth map (whose depths can then be read).
constexpr bool computesDepth(DisplayType type) {
    return type == DisplayType::TotalFocus || type == DisplayType::Depth || type == DisplayType::Profile;
}

}  // namespace Vy::Engine
