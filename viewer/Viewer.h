#pragma once
// Viewer controls beside Panora::Tool (vendor/PanoraTool.h): headless switch, shutdown, and
// read-back of what each view was given, for tests and headless runs.

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>

namespace Viewer {

// Forces headless mode (no windows even with a display); call before Panora::Tool::Init.
void setHeadless(bool headless);
// True while real windows are in use.
bool isShowing();
// Closes the windows and forgets the views; harmless when not initialised. Init works again after it.
void shutdown();
// The last 8-bit image handed to the view; false for an unknown handle or a view with no image yet.
bool lastImage(int32_t handle, cv::Mat& out);
// The view's status line: the window's title while it shows; kept for lastStatus headless too.
void setStatus(int32_t handle, const std::string& text);
// The last status given to the view; empty for an unknown handle.
std::string lastStatus(int32_t handle);
// How many images the view has accepted (shown or, headless, kept); 0 for an unknown handle.
int imagesShown(int32_t handle);

}  // namespace Viewer
