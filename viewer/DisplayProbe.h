#pragma once
// Whether windows can be opened. Checked before any highgui call: the window toolkit ends the
// process when it finds no display.

namespace Viewer {

// DISPLAY (or WAYLAND_DISPLAY) is set and the display server accepts a connection.
bool displayAvailable();

}  // namespace Viewer
