// SPDX-License-Identifier: BSD-2-Clause
// The model the offload targets hold the daemon's TCP code to: the Internet
// checksum word by word, big-endian, as RFC 1071 writes it, sharing nothing
// with the machine-order sums of link/tcp_offload.cpp; and packets in heap
// blocks of exactly their size, so that a byte read or written beyond one
// is caught.
#pragma once

#include "reference.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace tcp_model {

BIT_LOOP inline uint32_t word_sum(const uint8_t* data, size_t len, uint32_t sum = 0)
{
    for (size_t i = 0; i < len; i += 2) {
        sum += static_cast<uint32_t>(data[i] << 8 | (i + 1 < len ? data[i + 1] : 0));
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum;
}

inline uint16_t folded(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

// The sum of the IPv6 pseudo-header for an upper-layer length and protocol.
inline uint32_t pseudo_sum(const uint8_t* packet, size_t upper_len, uint8_t protocol)
{
    return word_sum(packet + 8, 32) + static_cast<uint32_t>(upper_len >> 16) +
           static_cast<uint32_t>(upper_len & 0xFFFF) + protocol;
}

// Whether the upper-layer checksum behind a 40-byte IPv6 header is right.
inline bool checksum_ok(const uint8_t* packet, size_t len, uint8_t protocol)
{
    return folded(word_sum(packet + 40, len - 40, pseudo_sum(packet, len - 40, protocol))) ==
           0xFFFF;
}

// Writes a right TCP checksum into the packet.
inline void set_checksum(uint8_t* packet, size_t len)
{
    packet[56] = packet[57] = 0;
    const uint32_t sum = word_sum(packet + 40, len - 40, pseudo_sum(packet, len - 40, 6));
    const uint16_t check = static_cast<uint16_t>(~folded(sum));
    packet[56] = static_cast<uint8_t>(check >> 8);
    packet[57] = static_cast<uint8_t>(check);
}

inline uint16_t be16(const uint8_t* at)
{
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

inline uint32_t be32(const uint8_t* at)
{
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
           static_cast<uint32_t>(at[2]) << 8 | at[3];
}

inline void put16(uint8_t* at, size_t value)
{
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

inline void put32(uint8_t* at, uint32_t value)
{
    put16(at, value >> 16);
    put16(at + 2, value & 0xFFFF);
}

// A heap block of exactly size bytes (one, when size is 0).
inline uint8_t* block(size_t size)
{
    return static_cast<uint8_t*>(malloc(size == 0 ? 1 : size));
}

inline uint8_t* copy_of(const uint8_t* data, size_t size)
{
    uint8_t* b = block(size);
    std::memcpy(b, data, size);
    return b;
}

}  // namespace tcp_model
