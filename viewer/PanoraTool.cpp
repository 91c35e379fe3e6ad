// Panora::Tool on OpenCV windows, and the Viewer controls. Without a display, or when forced
// headless, views only keep their last image and count; no highgui function is called then.
#include "PanoraTool.h"

#include <chrono>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

#include "CVyImage.h"
#include "DisplayImage.h"
#include "DisplayProbe.h"
#include "GuiThread.h"
#include "Viewer.h"
#include "WarningSink.h"

namespace {

struct View {
    std::string name;
    cv::Mat last;  // the last displayable image handed over; shared read-only with the GUI thread
    std::string status;
    int shown = 0;
    bool warnedUnsupported = false;
};

// Everything the viewer knows; guarded by mutex.
struct ViewerState {
    std::mutex mutex;
    std::map<int32_t, View> views;
    int32_t nextHandle = 1;
    bool headlessForced = false;
    bool initialised = false;
    bool showing = false;
};

ViewerState& state() {
    static ViewerState* viewer = new ViewerState;
    return *viewer;
}

void initLocked(ViewerState& viewer) {
    if (viewer.initialised) return;
    viewer.initialised = true;
    viewer.showing = !viewer.headlessForced && Viewer::displayAvailable();
    if (viewer.showing) Viewer::GuiThread::instance().resume();
}

}  // namespace

namespace Panora::Tool {

void Init(const char*) {
    ViewerState& viewer = state();
    std::lock_guard<std::mutex> lock(viewer.mutex);
    initLocked(viewer);
}

void CreateViewImage(int32_t& handle, int32_t x, int32_t y, int32_t width, int32_t height, const char* name) {
    ViewerState& viewer = state();
    std::unique_lock<std::mutex> lock(viewer.mutex);
    initLocked(viewer);
    handle = viewer.nextHandle++;
    View& view = viewer.views[handle];
    view.name = name && *name ? name : "View " + std::to_string(handle);
    if (!viewer.showing) return;
    Viewer::GuiThread& gui = Viewer::GuiThread::instance();
    gui.createWindow({view.name, x, y, width, height});
    // The window is up before the first image is handed over, so a fast replay shows from its first frame.
    lock.unlock();
    gui.waitForWindows(std::chrono::seconds(5));
}

// sameSeries needs no handling here: every image is shown the same way.
void ViewSetImage(int32_t handle, const CVyImage* image, bool /*sameSeries*/) {
    if (image == nullptr) return;
    cv::Mat displayable;  // converted on the caller's thread, so the GUI thread never sees its pixels
    const bool converted = Viewer::toDisplayable(*image, displayable);

    ViewerState& viewer = state();
    std::lock_guard<std::mutex> lock(viewer.mutex);
    auto found = viewer.views.find(handle);
    if (found == viewer.views.end()) return;
    View& view = found->second;
    if (!converted) {
        if (!image->IsEmpty() && !view.warnedUnsupported) {
            std::ostringstream text;
            text << "Viewer: view '" << view.name << "' cannot show pixel type 0x" << std::hex << image->GetPixelType()
                 << " with data type 0x" << image->GetDataType();
            Vy::Warn(text.str());
            view.warnedUnsupported = true;
        }
        return;
    }
    view.last = displayable;
    ++view.shown;
    if (viewer.showing) Viewer::GuiThread::instance().show(view.name, displayable);
}

}  // namespace Panora::Tool

namespace Viewer {

void setHeadless(bool headless) {
    ViewerState& viewer = state();
    std::lock_guard<std::mutex> lock(viewer.mutex);
    viewer.headlessForced = headless;
}

bool isShowing() {
    ViewerState& viewer = state();
    std::lock_guard<std::mutex> lock(viewer.mutex);
    return viewer.showing;
}

void shutdown() {
    ViewerState& viewer = state();
    std::lock_guard<std::mutex> lock(viewer.mutex);
    if (viewer.showing) GuiThread::instance().park();
    viewer.views.clear();
    viewer.nextHandle = 1;
    viewer.initialised = false;
    viewer.showing = false;
}

bool lastImage(int32_t handle, cv::Mat& out) {
    ViewerState& viewer = state();
    std::lock_guard<std::mutex> lock(viewer.mutex);
    auto found = viewer.views.find(handle);
    if (found == viewer.views.end() || found->second.last.empty()) return false;
    out = found->second.last.clone();
    return true;
}

void setStatus(int32_t handle, const std::string& text) {
    ViewerState& viewer = state();
    std::lock_guard<std::mutex> lock(viewer.mutex);
    auto found = viewer.views.find(handle);
    if (found == viewer.views.end() || found->second.status == text) return;
    found->second.status = text;
    if (viewer.showing) GuiThread::instance().setTitle(found->second.name, text);
}

std::string lastStatus(int32_t handle) {
    ViewerState& viewer = state();
    std::lock_guard<std::mutex> lock(viewer.mutex);
    auto found = viewer.views.find(handle);
    return found == viewer.views.end() ? std::string() : found->second.status;
}

int imagesShown(int32_t handle) {
    ViewerState& viewer = state();
    std::lock_guard<std::mutex> lock(viewer.mutex);
    auto found = viewer.views.find(handle);
    return found == viewer.views.end() ? 0 : found->second.shown;
}

}  // namespace Viewer
