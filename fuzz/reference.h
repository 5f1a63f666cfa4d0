// SPDX-License-Identifier: BSD-2-Clause
// Slow, obvious models of the 6rd rules, written bit by bit and octet by
// octet so that they share nothing with the word arithmetic under test. The
// fuzz targets compare every decision of the packet paths with them.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace reference {

// On the bit loops below: no coverage callbacks. Each compares single bits,
// which tells the fuzzer nothing the daemon's own branches do not, and a
// callback per bit made these loops most of the cost of a run. The models
// of the rules (v4_refused, v6_refused) keep theirs: their constants lead
// the fuzzer to the refused addresses.
#if defined(__clang__)
#define BIT_LOOP __attribute__((no_sanitize("coverage")))
#else
#define BIT_LOOP
#endif

// Stops the fuzzer with a stack trace that names the broken rule.
// Written to standard output, which the fuzzer leaves open when it closes
// standard error to silence trace lines.
#define FUZZ_CHECK(condition)                                                        \
    do {                                                                              \
        if (!(condition))                                                             \
            reference::check_failed(#condition, __FILE__, __LINE__);                  \
    } while (0)

[[noreturn]] inline void check_failed(const char* condition, const char* file, int line)
{
    fprintf(stdout, "check failed: %s at %s:%d\n", condition, file, line);
    fflush(stdout);
    abort();
}

// Bit i of a byte string, bit 0 being the most significant bit of byte 0.
BIT_LOOP inline int bit(const uint8_t* bytes, int i)
{
    return (bytes[i / 8] >> (7 - i % 8)) & 1;
}

BIT_LOOP inline void set_bit(uint8_t* bytes, int i, int value)
{
    const uint8_t mask = static_cast<uint8_t>(0x80u >> (i % 8));
    if (value)
        bytes[i / 8] = static_cast<uint8_t>(bytes[i / 8] | mask);
    else
        bytes[i / 8] = static_cast<uint8_t>(bytes[i / 8] & ~mask);
}

// The lengths of one 6rd domain and the addresses that define it.
struct Domain {
    int prefix_len;          // P, 16 to 63
    int common_len;          // M, 0 to 31, P + 32 - M <= 64
    uint8_t prefix[16];      // the 6rd prefix as given (bits after P arbitrary)
    uint8_t own[4];          // own IPv4 address
    uint8_t relay[4];        // relay IPv4 address
};

inline int delegated_len(const Domain& d)
{
    return d.prefix_len + 32 - d.common_len;
}

// Picks P and M from two bytes so that every valid pair can come out.
inline void choose_lengths(Domain& d, uint8_t p_byte, uint8_t m_byte)
{
    d.prefix_len = 16 + p_byte % 48;
    const int lowest = d.prefix_len > 32 ? d.prefix_len - 32 : 0;
    d.common_len = lowest + m_byte % (32 - lowest);
}

// Bit i (i < D) of the delegated prefix: the 6rd prefix, then the own
// address without its first M bits.
BIT_LOOP inline int delegated_bit(const Domain& d, int i)
{
    if (i < d.prefix_len)
        return bit(d.prefix, i);
    return bit(d.own, d.common_len + i - d.prefix_len);
}

BIT_LOOP inline bool inside_6rd_prefix(const Domain& d, const uint8_t* addr)
{
    for (int i = 0; i < d.prefix_len; ++i)
        if (bit(addr, i) != bit(d.prefix, i))
            return false;
    return true;
}

BIT_LOOP inline bool inside_delegated_prefix(const Domain& d, const uint8_t* addr)
{
    for (int i = 0; i < delegated_len(d); ++i)
        if (bit(addr, i) != delegated_bit(d, i))
            return false;
    return true;
}

// The IPv4 address of the site that addr (inside the 6rd prefix) belongs to:
// the first M bits of the own address, then bits P to P + 31 - M of addr.
BIT_LOOP inline void embedded_v4(const Domain& d, const uint8_t* addr, uint8_t out[4])
{
    for (int j = 0; j < 32; ++j) {
        const int value = j < d.common_len ? bit(d.own, j) : bit(addr, d.prefix_len + j - d.common_len);
        set_bit(out, j, value);
    }
}

// Writes v4 bits M to 31 into addr from bit P on (an address of that site).
BIT_LOOP inline void embed_v4(const Domain& d, uint8_t* addr, const uint8_t v4[4])
{
    for (int j = d.common_len; j < 32; ++j)
        set_bit(addr, d.prefix_len + j - d.common_len, bit(v4, j));
}

// IPv4 addresses that never stand for a site: this network, loopback,
// multicast, the private blocks, link-local and the limited broadcast.
inline bool v4_refused(const uint8_t a[4])
{
    if (a[0] == 0 || a[0] == 127 || a[0] == 10)
        return true;
    if (a[0] >= 224 && a[0] <= 239)
        return true;
    if (a[0] == 172 && a[1] >= 16 && a[1] <= 31)
        return true;
    if (a[0] == 169 && a[1] == 254)
        return true;
    if (a[0] == 192 && a[1] == 168)
        return true;
    return a[0] == 255 && a[1] == 255 && a[2] == 255 && a[3] == 255;
}

// IPv6 addresses outside the 6rd prefix that the relay path never carries:
// ::/8, fe80::/10 and fec0::/10, and multicast of any scope but global.
inline bool v6_refused(const uint8_t a[16])
{
    if (a[0] == 0x00)
        return true;
    if (a[0] == 0xfe)
        return a[1] >= 0x80;
    if (a[0] == 0xff)
        return (a[1] & 0x0f) != 0x0e;
    return false;
}

inline uint32_t load_be32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace reference
