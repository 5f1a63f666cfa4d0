#include "link/tun_device.h"

#include "trace/trace.h"

#include <arpa/inet.h>

#include <cstring>

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
