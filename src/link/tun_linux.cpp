#include "link/packet_info_linux.h"
#include "link/tun_io.h"

#include <unistd.h>

namespace {

constexpr uint8_t ethertype_ipv6[2] = {0x86, 0xDD};
constexpr uint8_t ethertype_ipv4[2] = {0x08, 0x00};
constexpr uint8_t family_ipv6 = 28;  // the frame format's own code, not Linux's AF_INET6
constexpr uint8_t family_ipv4 = 2;

}  // namespace

void packet_info_to_frame_header(uint8_t* frame, size_t n)
{
    if (n < 4)
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

void frame_header_to_packet_info(uint8_t* frame, size_t n)
{
    if (n < 4 || frame[0] != 0 || frame[1] != 0 || frame[2] != 0 || frame[3] != family_ipv6)
        return;
    frame[0] = 0;
    frame[1] = 0;
    frame[2] = ethertype_ipv6[0];
    frame[3] = ethertype_ipv6[1];
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
