#include "DisplayProbe.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace Viewer {
namespace {

// Opens and closes an X connection through libX11, loaded at run time so the viewer does not
// link against it. -1 when libX11 is not there.
int tryXlib() {
    void* xlib = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
    if (!xlib) return -1;
    using OpenDisplay = void* (*)(const char*);
    using CloseDisplay = int (*)(void*);
    auto open = reinterpret_cast<OpenDisplay>(dlsym(xlib, "XOpenDisplay"));
    auto close = reinterpret_cast<CloseDisplay>(dlsym(xlib, "XCloseDisplay"));
    int result = -1;
    if (open && close) {
        void* display = open(nullptr);
        result = display != nullptr;
        if (display) close(display);
    }
    dlclose(xlib);
    return result;
}

bool canConnect(const std::string& socketPath) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

// Without libX11: a local display ":n" or ":n.s" answers on /tmp/.X11-unix/Xn.
bool localXSocketAnswers(const std::string& display) {
    const size_t colon = display.rfind(':');
    if (colon == std::string::npos || (colon != 0 && display.compare(0, colon, "unix") != 0)) return false;
    const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
    return canConnect("/tmp/.X11-unix/X" + number);
}

bool waylandAnswers(const char* waylandDisplay) {
    std::string path = waylandDisplay;
    if (path.empty()) return false;
    if (path[0] != '/') {
        const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
        if (!runtimeDir) return false;
        path = std::string(runtimeDir) + "/" + path;
    }
    return canConnect(path);
}

}  // namespace

bool displayAvailable() {
    const char* display = std::getenv("DISPLAY");
    if (display && *display) {
        const int viaXlib = tryXlib();
        if (viaXlib >= 0) return viaXlib == 1;
        return localXSocketAnswers(display);
    }
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return wayland && waylandAnswers(wayland);
}

}  // namespace Viewer
