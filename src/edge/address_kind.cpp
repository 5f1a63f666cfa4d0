// SPDX-License-Identifier: BSD-2-Clause
#include "edge/address_kind.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// The classes no unicast address of a site can be in, for a prefix or an
// address: the same first bits either way.
const char* special_ipv6(const in6_addr& a, bool prefix)
{
    const uint8_t b0 = a.s6_addr[0];
    const uint8_t b1 = a.s6_addr[1];
    if (b0 == 0x00)
        return prefix ? "a prefix in ::/8 (unspecified, loopback, IPv4-mapped)"
                      : "an address in ::/8 (unspecified, loopback, IPv4-mapped)";
    if (b0 == 0xFE && (b1 & 0xC0) == 0x80)
        return prefix ? "a link-local prefix" : "a link-local address";
    if (b0 == 0xFE && (b1 & 0xC0) == 0xC0)
        return prefix ? "a site-local prefix" : "a site-local address";
    if (b0 == 0xFF)
        return prefix ? "a multicast prefix" : "a multicast address";
    return nullptr;
}

}  // namespace

const char* ipv4_unicast_problem(const in_addr& addr)
{
    const uint32_t a = ntohl(addr.s_addr);
    if (a >> 24 == 0)
        return "an address of 0.0.0.0/8 (this network)";
    if (a >> 24 == 127)
        return "a loopback address";
    if (a >> 16 == 0xA9FE)
        return "a link-local address (169.254.0.0/16)";
    if (a >> 28 == 0xE)
        return "a multicast address";
    if (a == 0xFFFFFFFFu)
        return "the limited broadcast address";
    if (a >> 28 == 0xF)
        return "a reserved address (240.0.0.0/4)";
    return nullptr;
}

const char* sixrd_prefix_problem(const in6_addr& prefix)
{
    return special_ipv6(prefix, true);
}

const char* ipv6_unicast_problem(const in6_addr& addr)
{
    return special_ipv6(addr, false);
}

int normal_ipv6_text(const char* text, int with_length, in6_addr* out, int* length)
{
    char address[INET6_ADDRSTRLEN + 1];
    const char* slash = std::strchr(text, '/');
    const size_t size = with_length && slash != nullptr ? static_cast<size_t>(slash - text)
                                                        : std::strlen(text);
    if ((with_length != 0) != (slash != nullptr) || size >= sizeof address)
        return 0;
    std::memcpy(address, text, size);
    address[size] = '\0';
    char back[INET6_ADDRSTRLEN];
    if (inet_pton(AF_INET6, address, out) != 1 ||
        inet_ntop(AF_INET6, out, back, sizeof back) == nullptr || std::strcmp(back, address) != 0)
        return 0;
    if (!with_length)
        return 1;
    const char* digits = slash + 1;
    const size_t count = std::strlen(digits);
    if (count == 0 || count > 3 || std::strspn(digits, "0123456789") != count ||
        (count > 1 && digits[0] == '0'))
        return 0;
    int n = 0;
    std::sscanf(digits, "%d", &n);
    if (n > 128)
        return 0;
    if (length != nullptr)
        *length = n;
    return 1;
}

int normal_ipv4_text(const char* text, in_addr* out)
{
    char back[INET_ADDRSTRLEN];
    return std::strlen(text) < sizeof back && inet_pton(AF_INET, text, out) == 1 &&
           inet_ntop(AF_INET, out, back, sizeof back) != nullptr && std::strcmp(back, text) == 0;
}
