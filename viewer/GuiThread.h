#pragma once
// The one thread that makes every highgui call. The window toolkit binds itself to the first
// thread that uses it, and calls from any other thread block for good, so this thread is
// started once per process and lives until exit; between viewer sessions it is parked.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <opencv2/core.hpp>
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
    // Posted: the window's title; only the latest one not yet set is kept.
    void setTitle(const std::string& windowName, const std::string& title);
    // Waits (at most `timeout`) until the windows asked for so far are on screen and
    // have had a turn of event handling, so the first image lands in a window that shows.
    void waitForWindows(std::chrono::milliseconds timeout);

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
    std::map<std::string, std::string> pendingTitles;
    uint64_t turns = 0;          // event-pump turns done, counted while active
    bool active = false;         // pumping wanted
    bool parked = true;          // the thread has closed its windows and waits
    bool exitRequested = false;  // process exit: leave the loop
    std::thread thread;
};

}  // namespace Viewer
