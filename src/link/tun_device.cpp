// SPDX-License-Identifier: BSD-2-Clause
#include "link/tun_device.h"

#include "trace/log.h"
#include "trace/trace.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr int interface_mtu = 1280;

}  // namespace

int configure_interface(const char* name)
{
    ifreq request{};
    if (std::strlen(name) >= sizeof request.ifr_name) {
        log_message(LOG_ERR, "%s: interface name too long", name);
        return -1;
    }
    std::memcpy(request.ifr_name, name, std::strlen(name));

    const int control = socket(AF_INET, SOCK_DGRAM, 0);
    if (control == -1) {
        log_message(LOG_ERR, "socket: %m");
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

    // Logged before the close, which could change errno.
    if (failed != nullptr)
        log_message(LOG_ERR, "%s: %s: %m", failed, name);
    close(control);
    return failed != nullptr ? -1 : 0;
}

ssize_t check_tun_header(const uint8_t* frame, size_t n)
{
    if (n < tun_header_len) {
        trace("tun: no address family");
        return -1;
    }
    uint32_t family;
    std::memcpy(&family, frame, sizeof family);
    family = ntohl(family);
    if (family == tun_family_inet6)
        return tun_header_len;
    if (tracing())
        trace("tun: non-IPv6 packet (%lu)", static_cast<unsigned long>(family));
    return -1;
}

ssize_t prepend_tun_header(uint8_t* packet, size_t room)
{
    if (room < tun_header_len) {
        trace("tun: no space for address family");
        return -1;
    }
    const uint32_t family = htonl(tun_family_inet6);
    std::memcpy(packet - tun_header_len, &family, sizeof family);
    return tun_header_len;
}
