// Real windows on a private Xvfb display: what the viewer shows must appear on the screen.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <thread>

#include "CVyImage.h"
#include "Console.h"
#include "DisplayProbe.h"
#include "PanoraTool.h"
#include "Viewer.h"

namespace {

using Clock = std::chrono::steady_clock;

bool onPath(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// A private X server on the first free display from :97 up, made the DISPLAY; killed when this goes.
class PrivateXServer {
public:
    bool start() {
        for (int number = 97; number < 130; ++number) {
            const std::string digits = std::to_string(number);
            const std::string lock = "/tmp/.X" + digits + "-lock";
            const std::string socketPath = "/tmp/.X11-unix/X" + digits;
            struct stat info;
            if (stat(lock.c_str(), &info) == 0 || stat(socketPath.c_str(), &info) == 0) continue;
            display_ = std::string(":").append(digits);
            pid_ = fork();
            if (pid_ == 0) {
                const int null = open("/dev/null", O_WRONLY);
                dup2(null, STDOUT_FILENO), dup2(null, STDERR_FILENO);
                execlp("Xvfb", "Xvfb", display_.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                       static_cast<char*>(nullptr));
                _exit(127);
            }
            setenv("DISPLAY", display_.c_str(), 1);
            const auto deadline = Clock::now() + std::chrono::seconds(10);
            while (Clock::now() < deadline && waitpid(pid_, nullptr, WNOHANG) == 0) {
                if (Viewer::displayAvailable()) return true;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            stop();
        }
        return false;
    }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    ~PrivateXServer() { stop(); }
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

// The whole screen as BGR, grabbed with ffmpeg (bounded by a timeout); empty on failure.
cv::Mat grabScreen(const std::string& display) {
    const std::string shot = testing::TempDir() + "viewer_x11_shot.png";
    std::remove(shot.c_str());
    const std::string command = "timeout 20 ffmpeg -loglevel error -y -f x11grab -video_size 1280x1024 -i " + display +
                                " -frames:v 1 " + shot + " </dev/null";
    if (std::system(command.c_str()) != 0) return {};
    return cv::imread(shot, cv::IMREAD_COLOR);
}

int pixelsNear(const cv::Mat& screen, const cv::Vec3b& colour) {
    int count = 0;
    for (auto it = screen.begin<cv::Vec3b>(); it != screen.end<cv::Vec3b>(); ++it)
        if (cv::norm(cv::Vec3i(*it) - cv::Vec3i(colour), cv::NORM_L1) < 30) ++count;
    return count;
}

// Types one key on the display with the XTest extension, with the pointer over (x, y) so the
// window there gets the key. libX11 and libXtst are loaded at run time; false if either is missing.
bool typeKeyAt(const std::string& display, int x, int y, unsigned long keysym) {
    void* xlib = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    void* xtest = dlopen("libXtst.so.6", RTLD_NOW | RTLD_LOCAL);
    bool typed = false;
    if (xlib && xtest) {
        auto openDisplay = reinterpret_cast<void* (*)(const char*)>(dlsym(xlib, "XOpenDisplay"));
        auto closeDisplay = reinterpret_cast<int (*)(void*)>(dlsym(xlib, "XCloseDisplay"));
        auto flush = reinterpret_cast<int (*)(void*)>(dlsym(xlib, "XFlush"));
        auto toKeycode = reinterpret_cast<unsigned char (*)(void*, unsigned long)>(dlsym(xlib, "XKeysymToKeycode"));
        auto motion =
            reinterpret_cast<int (*)(void*, int, int, int, unsigned long)>(dlsym(xtest, "XTestFakeMotionEvent"));
        auto key = reinterpret_cast<int (*)(void*, unsigned, int, unsigned long)>(dlsym(xtest, "XTestFakeKeyEvent"));
        void* connection =
            openDisplay && closeDisplay && flush && toKeycode && motion && key ? openDisplay(display.c_str()) : nullptr;
        if (connection) {
            const unsigned keycode = toKeycode(connection, keysym);
            motion(connection, -1, x, y, 0);
            flush(connection);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            typed = keycode != 0 && key(connection, keycode, 1, 0) && key(connection, keycode, 0, 0);
            flush(connection);
            closeDisplay(connection);
        }
    }
    if (xtest) dlclose(xtest);
    if (xlib) dlclose(xlib);
    return typed;
}

// The next console key within two seconds, or -1.
int nextConsoleKey() {
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < deadline) {
        if (Console::_kbhit()) return Console::_getch();
        Console::_sleep(20);
    }
    return -1;
}

// Shows `image` in a fresh window and waits until the GUI thread has had time to paint it.
int32_t showInNewWindow(const char* name, const CVyImage& image) {
    int32_t handle = 0;
    Panora::Tool::CreateViewImage(handle, 100, 100, 320, 240, name);
    Panora::Tool::ViewSetImage(handle, &image, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    return handle;
}

// Whether a window's plain X title (WM_NAME, which xwininfo prints) is exactly title.
bool hasWindowNamed(const std::string& display, const std::string& title) {
    const std::string command =
        "timeout 10 xwininfo -display " + display + " -root -tree | grep -qF '\"" + title + "\"'";
    return std::system(command.c_str()) == 0;
}

}  // namespace

TEST(ViewerOnX11, PatternAppearsOnScreenAndWindowsReturnAfterShutdown) {
    if (!onPath("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
    if (!onPath("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    static PrivateXServer server;  // outlives the GUI thread, which ends at process exit
    if (!server.start()) GTEST_SKIP() << "Xvfb did not start";
    const cv::Mat blank = grabScreen(server.display());
    if (blank.empty()) GTEST_SKIP() << "ffmpeg cannot grab the X screen (no x11grab?)";

    // Two bands in RGB order, red and green: no blue, so a missing channel swap shows.
    cv::Mat bands(240, 320, CV_8UC3, cv::Scalar(255, 0, 0));
    bands.colRange(160, 320).setTo(cv::Scalar(0, 255, 0));
    CVyImage pattern;
    ASSERT_TRUE(pattern.Create(320, 240, Vy::PixelTypeRGB, Vy::DataTypeUnsignedByte, bands.data));

    Panora::Tool::Init(nullptr);
    ASSERT_TRUE(Viewer::isShowing());
    const int32_t handle = showInNewWindow("pattern", pattern);
    const cv::Mat screen = grabScreen(server.display());
    ASSERT_FALSE(screen.empty());
    const cv::Vec3b red(0, 0, 255), green(0, 255, 0), blue(255, 0, 0);
    EXPECT_EQ(pixelsNear(blank, red), 0);
    EXPECT_GT(pixelsNear(screen, red), 5000);
    EXPECT_GT(pixelsNear(screen, green), 5000);
    EXPECT_EQ(pixelsNear(screen, blue), 0);

    // The status is the window's title for window managers that read WM_NAME too.
    if (onPath("xwininfo")) {
        const std::string title = "run7.rays | frame 3 of 9 | type 4 profile";
        Viewer::setStatus(handle, title);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_TRUE(hasWindowNamed(server.display(), title));
        EXPECT_FALSE(hasWindowNamed(server.display(), "pattern"));
    }

    // A key typed into the window arrives as a console key.
    if (typeKeyAt(server.display(), 260, 220, 'k')) {
        EXPECT_EQ(nextConsoleKey(), 'k');
    }

    Viewer::shutdown();
    EXPECT_FALSE(Viewer::isShowing());
    EXPECT_EQ(pixelsNear(grabScreen(server.display()), red), 0) << "window still on screen after shutdown";

    // A second session must open windows again (same GUI thread, parked in between).
    const uint16_t greySamples[] = {8192, 8192, 8192, 8192};
    CVyImage grey;
    ASSERT_TRUE(grey.Create(2, 2, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort, greySamples));
    Panora::Tool::Init(nullptr);
    ASSERT_TRUE(Viewer::isShowing());
    showInNewWindow("again", grey);
    EXPECT_GT(pixelsNear(grabScreen(server.display()), cv::Vec3b(128, 128, 128)), 5000);
    Viewer::shutdown();
}
