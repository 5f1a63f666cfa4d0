// SPDX-License-Identifier: BSD-2-Clause
#include "mapping/acceptance.h"

#include <arpa/inet.h>

#include <cstdint>

namespace {

// What the first byte of an IPv4 address decides on its own: most addresses
// are accepted or refused by it, and only four first bytes need the rest of
// the address. Built at compile time; one load per address.
enum first_byte_rule : uint8_t { ACCEPT = 0, REJECT = 1, LOOK_FURTHER = 2 };

struct first_byte_table {
    uint8_t rule[256];
};

constexpr first_byte_table make_first_byte_table()
{
    first_byte_table table{};
    table.rule[0] = REJECT;                 // 0.0.0.0/8, this network
    table.rule[127] = REJECT;               // 127.0.0.0/8, loopback
    for (int b = 224; b <= 239; ++b)        // 224.0.0.0/4, multicast
        table.rule[b] = REJECT;
    table.rule[10] = REJECT;                // 10.0.0.0/8, private
    table.rule[172] = LOOK_FURTHER;         // 172.16.0.0/12, private
    table.rule[169] = LOOK_FURTHER;         // 169.254.0.0/16, link-local
    table.rule[192] = LOOK_FURTHER;         // 192.168.0.0/16, private
    table.rule[255] = LOOK_FURTHER;         // 255.255.255.255, limited broadcast
    return table;
}

constexpr first_byte_table FirstByte = make_first_byte_table();

}  // namespace

int reject_v4_address(const in_addr* addr)
{
    const uint32_t a = ntohl(addr->s_addr);
    const uint8_t rule = FirstByte.rule[a >> 24];
    if (rule != LOOK_FURTHER)
        return rule;
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
