// SPDX-License-Identifier: BSD-2-Clause
// TCP over IPv6 in the two shapes the tunnel device's offloads deal in:
// a super-packet the device hands over whole, to be cut into the segments
// the wire carries, and a run of segments of one flow from the wire, to be
// handed to the device as one packet that it takes apart again (or lets the
// host's TCP take whole). Pure functions over bytes; the device's own header
// is read and written in tun_offload_linux.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

// What the device says about a packet, or is told about one.
enum offload_kind : uint8_t {
    OFFLOAD_NONE,   // one packet as it stands
    OFFLOAD_TCP6,   // TCP over IPv6, to be cut into segment_size pieces of payload
    OFFLOAD_OTHER,  // a kind this program never asks for
};

struct offload_header {
    offload_kind kind;
    bool needs_checksum;        // the checksum at checksum_start + checksum_offset is partial
    uint16_t header_len;        // bytes in front of the first payload byte
    uint16_t segment_size;      // payload bytes per segment
    uint16_t checksum_start;    // from the first byte of the IPv6 packet
    uint16_t checksum_offset;   // from checksum_start
};

// The Internet checksum (RFC 1071) as a running sum: bytes added in order
// from the start of one contiguous range, the sum kept in the machine's
// byte order, which the folded result shares.
uint64_t checksum_add(uint64_t sum, const uint8_t* data, size_t len);
uint16_t checksum_fold(uint64_t sum);

// The sum of the IPv6 pseudo-header of packet for an upper-layer length
// and protocol.
uint64_t ipv6_pseudo_sum(const uint8_t* packet, uint32_t upper_len, uint8_t protocol);

// Completes a partial checksum: the sum of the bytes from start to the end
// of the packet of len bytes, which include the partial value at
// start + offset, goes there complemented (0 becomes 0xffff, as the host
// sends it). False, and nothing written, when the fields lie outside or
// the offset is odd.
bool complete_checksum(uint8_t* packet, size_t len, size_t start, size_t offset);

// Whether the TCP segment right behind the 40-byte IPv6 header of packet
// (len bytes in all) carries a correct checksum.
bool tcp6_checksum_valid(const uint8_t* packet, size_t len);

// How a super-packet of TCP over IPv6 is cut.
struct tcp_split {
    size_t header_len;    // IPv6 and TCP headers, copied in front of every piece
    size_t payload_len;   // payload bytes of the whole
    size_t segment_size;  // payload bytes per segment, the last may have fewer
    size_t count;         // segments, at least 2
};

// Whether the packet of len bytes, described by header, is a super-packet
// that this program cuts: TCP right behind the IPv6 header, whole headers,
// and more payload than one segment holds. Fills *split when it is.
bool plan_tcp_split(const uint8_t* packet, size_t len, const offload_header& header,
                    tcp_split* split);

// The length of segment index of the split.
size_t tcp_segment_len(const tcp_split& split, size_t index);

// Writes segment index of the split into out, which has room for
// tcp_segment_len bytes: the headers with their payload length, sequence
// number and flags for that piece (FIN and PSH only on the last, CWR only on
// the first), its payload, and a complete checksum. Returns its length.
size_t write_tcp_segment(const uint8_t* packet, const tcp_split& split, size_t index,
                         uint8_t* out);

// Consecutive segments of one TCP flow that can go to the device as one.
struct tcp_run {
    uint8_t* first;         // the first segment's IPv6 packet, whose headers become the whole's
    size_t header_len;      // 40 + the TCP header length, the same in every member
    size_t segment_size;    // the first's payload length
    size_t payload_total;   // payload bytes of all members
    uint32_t next_sequence; // the sequence number a next member must have
    int count;              // members
    bool closed;            // a shorter segment or PSH ended it
    bool first_checked;     // the first's checksum was verified
    uint8_t last_flags;     // TCP flags of the last member
    uint8_t saved[5];       // the first's payload length, flags and checksum, as received
};

// Starts a run with packet (len bytes): TCP right behind the IPv6 header,
// its lengths agreeing with len, some payload, and no flag but ACK (and PSH,
// which makes it the last). False when it cannot start one.
bool tcp_run_start(tcp_run* run, uint8_t* packet, size_t len);

// Adds packet to the run when it continues it: the same addresses, ports,
// IPv6 fields, acknowledgement, window, urgent pointer and options, the next
// sequence number, no more payload than the first and no flag but ACK (and
// PSH), and the whole no longer than an IPv6 packet can be. Its checksum, and the
// first's on the first addition, are verified here, as the host would have
// verified them. False, with the run unchanged, when it cannot join.
bool tcp_run_join(tcp_run* run, const uint8_t* packet, size_t len);

// Makes the first member's headers those of the whole run (payload length,
// the last member's PSH, the partial checksum the device completes) and
// fills *header for the device. For a run of two or more.
void tcp_run_seal(tcp_run* run, offload_header* header);

// Puts the first member's headers back as they were received.
void tcp_run_unseal(const tcp_run* run);
