#include "link/tun_device.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int interface_mtu = 1280;

}  // namespace

int configure_interface(const char* name)
{
    ifreq request{};
    if (std::strlen(name) >= sizeof request.ifr_name) {
        syslog(LOG_ERR, "%s: interface name too long", name);
        return -1;
    }
    std::memcpy(request.ifr_name, name, std::strlen(name));

    const int control = socket(AF_INET, SOCK_DGRAM, 0);
    if (control == -1) {
        syslog(LOG_ERR, "socket: %s", strerror(errno));
        return -1;
    }

    // The MTU goes first, so a failure in the flag requests leaves it set.
    const char* failed = nullptr;
    request.ifr_mtu = interface_mtu;
    if (ioctl(control, SIOCSIFMTU, &request) == -1) {
        failed = "ioctl(SIOCSIFMTU)";
    } else if (ioctl(control, SIOCGIFFLAGS, &request) == -1) {
        failed = "ioctl(SIOCGIFFLAGS)";
    } else {
        // Every flag read back stays set; up and running are added.
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        if (ioctl(control, SIOCSIFFLAGS, &request) == -1)
            failed = "ioctl(SIOCSIFFLAGS)";
    }

    if (failed != nullptr) {
        const int saved_errno = errno;
        close(control);
        syslog(LOG_ERR, "%s: %s: %s", failed, name, strerror(saved_errno));
        return -1;
    }
    close(control);
    return 0;
}
