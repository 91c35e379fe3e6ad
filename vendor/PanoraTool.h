// The image viewer: named windows that show images. Without a display it
// runs headless and keeps the last image of each view.
#pragma once

#include <cstdint>

class CVyImage;

namespace Panora::Tool {

// Prepares the viewer; the argument is reserved (null).
void Init(const char* reserved);
// Creates a view at (x, y) of width x height named name; writes its handle
// into handle (a positive number).
void CreateViewImage(int32_t& handle, int32_t x, int32_t y, int32_t width, int32_t height, const char* name);
// Shows image in the view. sameSeries false marks the first image of a new
// series (after start or a change of display type).
void ViewSetImage(int32_t handle, const CVyImage* image, bool sameSeries);

}  // namespace Panora::Tool
