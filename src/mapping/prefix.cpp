// SPDX-License-Identifier: BSD-2-Clause
#include "mapping/prefix.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>

namespace {

// Word k of an IPv6 address (bytes 4k to 4k + 3) in host order.
uint32_t load_word(const in6_addr* addr, int k)
{
    uint32_t word;
    std::memcpy(&word, addr->s6_addr + 4 * k, sizeof word);
    return ntohl(word);
}

void store_word(in6_addr* addr, int k, uint32_t value)
{
    uint32_t word = htonl(value);
    std::memcpy(addr->s6_addr + 4 * k, &word, sizeof word);
}

}  // namespace

int prefix_differs(const in6_addr* a, const in6_addr* b, int n)
{
    const uint8_t* p = a->s6_addr;
    const uint8_t* q = b->s6_addr;
    for (; n >= 8; n -= 8, ++p, ++q) {
        if (*p != *q)
            return 1;
    }
    if (n <= 0)
        return 0;
    // Keep the top n bits of the last, partial byte.
    const unsigned mask = (0xFF00u >> n) & 0xFFu;
    return (*p ^ *q) & mask;
}

// Callers guarantee 16 <= prefix_len <= 63 and 0 <= common_len <= 31 with
// prefix_len + 32 - common_len <= 64, so only words 0 and 1 are touched and
// every shift count stays between 0 and 31.
void embed_v4_suffix(in6_addr* prefix, int prefix_len, const in_addr* own, int common_len)
{
    const uint32_t suffix = ntohl(own->s_addr) << common_len;
    const uint32_t field = 0xFFFFFFFFu << common_len;
    const int w = prefix_len / 32;
    const int off = prefix_len % 32;

    store_word(prefix, w, (load_word(prefix, w) & ~(field >> off)) | (suffix >> off));
    if (off > common_len) {
        const int back = 32 - off;
        store_word(prefix, w + 1,
                   (load_word(prefix, w + 1) & ~(field << back)) | (suffix << back));
    }
}

void extract_v4_address(in_addr* out, const in_addr* own, int common_len, const in6_addr* addr,
                        int prefix_len)
{
    const int w = prefix_len / 32;
    const int off = prefix_len % 32;

    uint32_t window = load_word(addr, w) << off;
    if (off > common_len)
        window |= load_word(addr, w + 1) >> (32 - off);

    // common_len is below 32, so both shifts are defined; with common_len 0
    // the own address contributes nothing.
    const uint32_t common = ntohl(own->s_addr) & ~(0xFFFFFFFFu >> common_len);
    out->s_addr = htonl((window >> common_len) | common);
}
