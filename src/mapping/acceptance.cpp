#include "mapping/acceptance.h"

#include <arpa/inet.h>

#include <cstdint>

int reject_v4_address(const in_addr* addr)
{
    const uint32_t a = ntohl(addr->s_addr);
    if ((a & 0xFF000000u) == 0x00000000u)  // 0.0.0.0/8, this network
        return 1;
    if ((a & 0xFF000000u) == 0x7F000000u)  // 127.0.0.0/8, loopback
        return 1;
    if ((a & 0xF0000000u) == 0xE0000000u)  // 224.0.0.0/4, multicast
        return 1;
    if ((a & 0xFF000000u) == 0x0A000000u)  // 10.0.0.0/8, private
        return 1;
    if ((a & 0xFFF00000u) == 0xAC100000u)  // 172.16.0.0/12, private
        return 1;
    if ((a & 0xFFFF0000u) == 0xA9FE0000u)  // 169.254.0.0/16, link-local
        return 1;
    if ((a & 0xFFFF0000u) == 0xC0A80000u)  // 192.168.0.0/16, private
        return 1;
    if (a == 0xFFFFFFFFu)                  // limited broadcast
        return 1;
    return 0;
}

int reject_v6_address(const in6_addr* addr)
{
    const uint8_t b0 = addr->s6_addr[0];
    const uint8_t b1 = addr->s6_addr[1];
    if (b0 == 0x00)  // ::/8: unspecified, loopback, IPv4-compatible and -mapped
        return 1;
    if (b0 == 0xFE)  // fe80::/10 link-local and fec0::/10 site-local; fe00::/9 passes
        return b1 >= 0x80 ? 1 : 0;
    if (b0 == 0xFF)  // multicast: only global scope may cross the relay
        return (b1 & 0x0F) == 0x0E ? 0 : 1;
    return 0;
}
