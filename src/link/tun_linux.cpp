// SPDX-License-Identifier: BSD-2-Clause
// The tunnel device on Linux: /dev/net/tun, attached to the named interface
// with TUNSETIFF. The kernel's 4-byte packet information stays on: 2 bytes
// of flags and the packet's EtherType. It is translated in place, 4 bytes,
// to and from the address-family header the packet paths expect, so the
// packet itself is never copied.
#include "link/tun_device.h"
#include "link/tun_linux.h"

#include "trace/log.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr char clone_device[] = "/dev/net/tun";

constexpr uint8_t ethertype_ipv6[2] = {0x86, 0xDD};
constexpr uint8_t ethertype_ipv4[2] = {0x08, 0x00};
// The families the translation writes: the frame format's own code for IPv6
// (not Linux's AF_INET6), and 2 for IPv4, so that the outbound path traces
// an IPv4 packet as "non-IPv6 packet (2)".
constexpr uint8_t family_ipv6 = tun_family_inet6;
constexpr uint8_t family_ipv4 = 2;

}  // namespace

// After a read: EtherType 0x86dd becomes 00 00 00 1c, 0x0800 becomes
// 00 00 00 02; anything else, or a frame shorter than 4 bytes, stays as read.
void packet_info_to_frame_header(uint8_t* frame, size_t n)
{
    if (n < tun_header_len)
        return;
    uint8_t family;
    if (frame[2] == ethertype_ipv6[0] && frame[3] == ethertype_ipv6[1])
        family = family_ipv6;
    else if (frame[2] == ethertype_ipv4[0] && frame[3] == ethertype_ipv4[1])
        family = family_ipv4;
    else
        return;
    frame[0] = 0;
    frame[1] = 0;
    frame[2] = 0;
    frame[3] = family;
}

namespace {

// Before a write: the frame header 00 00 00 1c becomes flags 0 and EtherType
// 0x86dd; anything else stays as it is.
void frame_header_to_packet_info(uint8_t* frame, size_t n)
{
    if (n < tun_header_len || frame[0] != 0 || frame[1] != 0 || frame[2] != 0 ||
        frame[3] != family_ipv6)
        return;
    frame[0] = 0;
    frame[1] = 0;
    frame[2] = ethertype_ipv6[0];
    frame[3] = ethertype_ipv6[1];
}

}  // namespace

int open_tun_device_with(const char* name, int flags)
{
    // Both limits are checked before anything is opened; a name is never cut.
    char path[32];
    const int path_len = snprintf(path, sizeof path, "%s/%s", "/dev", name);
    if (path_len < 0 || static_cast<size_t>(path_len) >= sizeof path) {
        log_message(LOG_ERR, "%s: device pathname too long", name);
        return -1;
    }
    ifreq request{};
    const size_t name_len = std::strlen(name);
    if (name_len >= sizeof request.ifr_name) {
        log_message(LOG_ERR, "%s: interface name too long", name);
        return -1;
    }

    const int fd = open(clone_device, O_RDWR);
    if (fd == -1) {
        log_message(LOG_ERR, "open: %s: %m", clone_device);
        return -1;
    }

    std::memcpy(request.ifr_name, name, name_len);
    request.ifr_flags = static_cast<short>(flags);
    if (ioctl(fd, TUNSETIFF, &request) == -1) {
        log_message(LOG_ERR, "ioctl(TUNSETIFF): %s: %m", name);
        close(fd);
        return -1;
    }
    return fd;
}

int open_tun_device(const char* name)
{
    return open_tun_device_with(name, IFF_TUN);
}

bool tun_device_gone(int error)
{
    // Linux detaches the descriptor from a deleted interface and answers
    // EBADFD from then on.
    return error == EBADFD;
}

ssize_t tun_read(int fd, uint8_t* frame, size_t room)
{
    const ssize_t n = read(fd, frame, room);
    // The kernel reports the whole packet's length even when it had to cut
    // it to fit; only the bytes that landed are translated.
    if (n > 0)
        packet_info_to_frame_header(frame, static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room);
    return n;
}

ssize_t tun_write(int fd, uint8_t* frame, size_t length)
{
    frame_header_to_packet_info(frame, length);
    return write(fd, frame, length);
}
