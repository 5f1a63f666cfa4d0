// SPDX-License-Identifier: BSD-2-Clause
#include "edge/domain_warning.h"

#include "mapping/acceptance.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>

namespace {

// The words for the ranges the daemon refuses that a host may hold; the
// decision itself is the daemon's (reject_v4_address).
const char* range_of(const in_addr& addr)
{
    const uint32_t a = ntohl(addr.s_addr);
    if (a >> 24 == 10)
        return "a private address (10.0.0.0/8)";
    if ((a & 0xFFF00000u) == 0xAC100000u)
        return "a private address (172.16.0.0/12)";
    if ((a & 0xFFFF0000u) == 0xC0A80000u)
        return "a private address (192.168.0.0/16)";
    if ((a & 0xFFFF0000u) == 0xA9FE0000u)
        return "a link-local address (169.254.0.0/16)";
    return "an address ferrin refuses";
}

}  // namespace

int domain_warning(const tunnel_plan& plan, char* out, size_t size)
{
    out[0] = '\0';
    in_addr own;
    if (inet_pton(AF_INET, plan.my_v4, &own) != 1 || !reject_v4_address(&own))
        return 0;
    std::snprintf(out, size,
                  "%s is %s: ferrin refuses every packet to or from a site of the 6rd domain "
                  "at such an address, so the other sites can't be reached and can't reach this "
                  "one; only traffic through the relay %s (the IPv6 internet) works",
                  plan.my_v4, range_of(own), plan.relay);
    return 1;
}
