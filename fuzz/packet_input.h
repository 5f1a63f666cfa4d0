// SPDX-License-Identifier: BSD-2-Clause
// The input of the two packet-path targets: 32 bytes of set-up that choose a
// 6rd domain, how the packet is shaped, how many bytes the read or receive
// reports and the debug level, then the packet as it arrives.
//   0      6rd prefix length selector (16 to 63)
//   1      common IPv4 length selector (0 to 31, delegated length <= 64)
//   2      shaping bits, each target's own
//   3      bits 0-2 length mode (reported_count), bits 3-7 debug level (28
//          to 30 trace lines, 31 hex dumps too)
//   4..19  6rd prefix, every bit from the input
//   20..23 own IPv4 address, 24..27 relay, 28..31 each target's own
#pragma once

#include "daemon/tunnel_context.h"
#include "reference.h"
#include "tunnel_setup.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace packet_input {

using namespace reference;

inline constexpr size_t setup_len = 32;

struct PacketInput {
    uint8_t setup[setup_len];  // zero where the input is shorter
    Domain domain;
    uint8_t shape;
    int length_mode;
    int debug_level;           // for DebugLevel
    const uint8_t* packet;     // the bytes after the set-up
    size_t packet_len;
};

inline PacketInput read_packet_input(const uint8_t* data, size_t size)
{
    PacketInput in{};
    const size_t taken = size < setup_len ? size : setup_len;
    std::memcpy(in.setup, data, taken);
    in.packet = data + taken;
    in.packet_len = size - taken;

    choose_lengths(in.domain, in.setup[0], in.setup[1]);
    std::memcpy(in.domain.prefix, in.setup + 4, 16);
    std::memcpy(in.domain.own, in.setup + 20, 4);
    std::memcpy(in.domain.relay, in.setup + 24, 4);
    in.shape = in.setup[2];
    in.length_mode = in.setup[3] & 7;
    // Trace lines now and then, hex dumps (slow) rarely, and only of the
    // bytes the input gives: with counts 4 to 7 the room is filled up with
    // zeros, and a dump of those reads like any other dump but writes 2 KB
    // of hex, which cost as much as a hundred ordinary runs.
    const int debug = in.setup[3] >> 3;
    in.debug_level = debug == 31 ? (in.length_mode < 4 ? 2 : 1) : debug >= 28 ? 1 : 0;
    return in;
}

// The count the read or receive reports, for a packet of `given` bytes of
// which the first `stored` (at most `room`) lie in `bytes`. Modes 0 to 3: the
// bytes given. Counts at and around the room the call is given, where
// nothing is ever forwarded from the room on: 4 the largest count that can
// be forwarded, 5 a call that filled the room, 6 and 7 a count the kernel
// reports beyond what it stored. For 4 to 7 the bytes up to the count (at
// most the room) are filled up with zeros and `stored` grows to match.
inline size_t reported_count(const PacketInput& in, uint8_t* bytes, size_t& stored, size_t room)
{
    size_t n = in.packet_len;
    switch (in.length_mode) {
    case 4:
    case 5:
        n = in.length_mode == 4 ? room - 1 : room;
        if (stored < n)
            std::memset(bytes + stored, 0, n - stored);
        stored = n;
        break;
    case 6:
    case 7:
        if (stored < room)
            std::memset(bytes + stored, 0, room - stored);
        stored = room;
        n = in.length_mode == 6 ? room + in.setup[3] : SIZE_MAX - in.setup[3];
        break;
    default:
        break;
    }
    return n;
}

// Makes addr an address inside the 6rd prefix (its first P bits).
BIT_LOOP inline void put_6rd_prefix(const Domain& d, uint8_t* addr)
{
    for (int i = 0; i < d.prefix_len; ++i)
        set_bit(addr, i, bit(d.prefix, i));
}

// Makes addr an address of the own site (its first D bits).
BIT_LOOP inline void put_delegated_prefix(const Domain& d, uint8_t* addr)
{
    for (int i = 0; i < delegated_len(d); ++i)
        set_bit(addr, i, delegated_bit(d, i));
}

// A started tunnel's context for the domain, on the given buffer of
// tunnel_buffer_size bytes and without descriptors.
inline TunnelContext context_for(const Domain& d, uint8_t* buffer)
{
    tunnel_setup setup{};
    std::memcpy(&setup.prefix, d.prefix, 16);
    setup.prefix_len = d.prefix_len;
    std::memcpy(&setup.own, d.own, 4);
    std::memcpy(&setup.relay, d.relay, 4);
    setup.common_len = d.common_len;
    return running_context(setup, buffer);
}

}  // namespace packet_input
