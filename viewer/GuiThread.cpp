#include "GuiThread.h"

#include <chrono>
#include <cstdlib>
#include <opencv2/highgui.hpp>

#include "Console.h"

namespace Viewer {

namespace {
constexpr int kEventPumpMs = 10;
constexpr auto kParkTimeout = std::chrono::seconds(5);
}  // namespace

GuiThread& GuiThread::instance() {
    static GuiThread* gui = new GuiThread;
    return *gui;
}

void GuiThread::resume() {
    std::lock_guard<std::mutex> lock(mutex);
    active = true;
    parked = false;  // a later park() waits for the thread to confirm it
    if (!thread.joinable()) {
        // Qt's own objects of this thread are destroyed by the exiting main thread, which it
        // answers with a "Timers cannot be stopped from another thread" warning that means
        // nothing to the operator. Unless the user asks for Qt's warnings, they stay off.
        setenv("QT_LOGGING_RULES", "default.warning=false", 0);
        // The GUI thread owns every window and makes all highgui calls: it creates the windows
        // posted by createWindow, shows the latest posted image of each, and turns keys pressed
        // in a window into console keys. Other threads only post under `mutex`.
        thread = std::thread(&GuiThread::run, this);
        std::atexit(endAtExit);
    }
    wake.notify_all();
}

void GuiThread::park() {
    std::unique_lock<std::mutex> lock(mutex);
    if (!thread.joinable()) return;
    active = false;
    pendingWindows.clear();
    pendingImages.clear();
    pendingTitles.clear();
    wake.notify_all();
    wake.wait_for(lock, kParkTimeout, [this] { return parked; });
}

void GuiThread::createWindow(const WindowRequest& request) {
    std::lock_guard<std::mutex> lock(mutex);
    pendingWindows.push_back(request);
    wake.notify_all();
}

void GuiThread::show(const std::string& windowName, const cv::Mat& image) {
    std::lock_guard<std::mutex> lock(mutex);
    pendingImages[windowName] = image;
    wake.notify_all();
}

void GuiThread::setTitle(const std::string& windowName, const std::string& title) {
    std::lock_guard<std::mutex> lock(mutex);
    pendingTitles[windowName] = title;
    wake.notify_all();
}

void GuiThread::waitForWindows(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!thread.joinable() || !active) return;
    // Two turns after the request was taken: one creates the window, the next paints it.
    const uint64_t target = turns + (pendingWindows.empty() ? 1 : 3);
    wake.wait_for(lock, timeout, [&] { return turns >= target || !active; });
}

void GuiThread::endAtExit() {
    GuiThread& gui = instance();
    {
        std::lock_guard<std::mutex> lock(gui.mutex);
        gui.exitRequested = true;
        gui.wake.notify_all();
    }
    gui.thread.join();
}

void GuiThread::closeWindows() {
    cv::destroyAllWindows();
    cv::waitKey(1);  // lets the toolkit take the windows down
}

void GuiThread::run() {
    bool windowsOpen = false;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (!active || exitRequested) {
            if (windowsOpen) {
                lock.unlock();
                closeWindows();
                lock.lock();
                windowsOpen = false;
            }
            parked = true;
            wake.notify_all();
            if (exitRequested) return;
            wake.wait(lock, [this] { return active || exitRequested; });
            continue;
        }
        parked = false;
        std::vector<WindowRequest> windows;
        std::map<std::string, cv::Mat> images;
        std::map<std::string, std::string> titles;
        windows.swap(pendingWindows);
        images.swap(pendingImages);
        titles.swap(pendingTitles);
        lock.unlock();

        for (const WindowRequest& w : windows) {
            cv::namedWindow(w.name, cv::WINDOW_NORMAL);
            if (w.width > 0 && w.height > 0) cv::resizeWindow(w.name, w.width, w.height);
            cv::moveWindow(w.name, w.x, w.y);
            windowsOpen = true;
        }
        for (const auto& [name, image] : images) cv::imshow(name, image);
        for (const auto& [name, title] : titles) cv::setWindowTitle(name, title);
        const int key = cv::waitKey(kEventPumpMs);
        if (key >= 0) Console::pushKey(key & 0xFF);

        lock.lock();
        ++turns;
        wake.notify_all();
    }
}

}  // namespace Viewer
