#pragma once
// The one thread that makes every highgui call. The window toolkit binds itself to the first
// thread that uses it, and calls from any other thread block for good, so this thread is
// started once per process and lives until exit; between viewer sessions it is parked.

#include <opencv2/core.hpp>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Viewer {

struct WindowRequest {
    std::string name;
    int x = 0, y = 0, width = 0, height = 0;
};

class GuiThread {
public:
    // Created on first use and never destroyed; an exit handler ends and joins its thread.
    static GuiThread& instance();

    // Starts pumping window events (and the thread itself the first time).
    void resume();
    // Closes every window and stops pumping; returns once the windows are gone (at most ~5 s).
    void park();
    // Posted: the window appears on the next turn of the GUI thread.
    void createWindow(const WindowRequest& request);
    // Posted: replaces any image of that window not yet shown, so the caller never waits.
    void show(const std::string& windowName, const cv::Mat& image);

private:
    GuiThread() = default;
    void run();
    void closeWindows();
    static void endAtExit();

    // Everything below is guarded by mutex; `wake` signals any change of it.
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<WindowRequest> pendingWindows;     // created in the order requested
    std::map<std::string, cv::Mat> pendingImages;  // latest undisplayed image per window
    bool active = false;         // pumping wanted
    bool parked = true;          // the thread has closed its windows and waits
    bool exitRequested = false;  // process exit: leave the loop
    std::thread thread;
};

}  // namespace Viewer
