// Linux tunnel device: /dev/net/tun, attached to the named interface with
// TUNSETIFF. The kernel's 4-byte packet-information header stays on; the
// frame translation in tun_io_linux.cpp turns it into the address-family
// header the packet paths expect.
#include "link/tun_device.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr char clone_device[] = "/dev/net/tun";

}  // namespace

int open_tun_device(const char* name)
{
    // Both limits are checked before anything is opened; a name is never cut.
    char path[32];
    const int path_len = snprintf(path, sizeof path, "%s/%s", "/dev", name);
    if (path_len < 0 || static_cast<size_t>(path_len) >= sizeof path) {
        syslog(LOG_ERR, "%s: device pathname too long", name);
        return -1;
    }
    ifreq request{};
    const size_t name_len = std::strlen(name);
    if (name_len >= sizeof request.ifr_name) {
        syslog(LOG_ERR, "%s: interface name too long", name);
        return -1;
    }

    const int fd = open(clone_device, O_RDWR);
    if (fd == -1) {
        syslog(LOG_ERR, "open: %s: %s", clone_device, strerror(errno));
        return -1;
    }

    std::memcpy(request.ifr_name, name, name_len);
    request.ifr_flags = IFF_TUN;
    if (ioctl(fd, TUNSETIFF, &request) == -1) {
        const int saved_errno = errno;
        close(fd);
        syslog(LOG_ERR, "ioctl(TUNSETIFF): %s: %s", name, strerror(saved_errno));
        return -1;
    }
    return fd;
}
