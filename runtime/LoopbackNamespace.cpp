#include "LoopbackNamespace.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Vy::Live {

bool enterLoopbackNamespace(std::string& error) {
    if (::unshare(CLONE_NEWNET) != 0) {
        error = std::string("cannot make a network namespace: ") + std::strerror(errno) +
                (errno == EPERM ? " (needs root or CAP_SYS_ADMIN)" : "");
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("no socket in the new namespace: ") + std::strerror(errno);
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    if (!up) {
        error = std::string("cannot bring loopback up: ") + std::strerror(errno);
    }
    ::close(fd);
    return up;
}

bool onlyLoopbackUp() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return false;
    }
    bool onlyLoopback = true;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if ((entry->ifa_flags & IFF_UP) != 0 && (entry->ifa_flags & IFF_LOOPBACK) == 0) {
            onlyLoopback = false;
        }
    }
    ::freeifaddrs(list);
    return onlyLoopback;
}

}  // namespace Vy::Live
