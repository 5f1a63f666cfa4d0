// SPDX-License-Identifier: BSD-2-Clause
#include "forward/outbound.h"

#include "forward/failure_log.h"
#include "forward/ipv6_fields.h"
#include "link/raw_endpoint.h"
#include "link/tun_device.h"
#include "mapping/acceptance.h"
#include "mapping/address_head.h"
#include "trace/log.h"
#include "trace/trace.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr size_t ipv4_header_len = 20;
constexpr uint8_t outer_ttl = 255;

// Offsets in the buffer: outer header, and the IPv6 packet behind the frame header.
constexpr size_t outer_offset = outbound_datagram_offset;
static_assert(outer_offset == outbound_read_offset - ipv4_header_len + tun_header_len);
constexpr size_t packet_offset = outbound_read_offset + tun_header_len;

// Refusals and faults are rare: kept out of line, so that the common path
// stays short.
[[gnu::cold, gnu::noinline]] path_outcome refuse(const char* reason, const uint8_t* packet)
{
    if (tracing()) {
        const char* source = v6_text(ipv6_source_of(packet));
        const char* destination = v6_text(ipv6_destination_of(packet));
        trace("tun2raw: %s (%s %s)", reason, source, destination);
    }
    return OUTCOME_REJECT;
}

[[gnu::cold, gnu::noinline]] path_outcome too_big()
{
    if (tracing())
        trace("tun2raw: packet too big");
    return OUTCOME_ERROR;
}

[[gnu::cold, gnu::noinline]] void dump_frame(const uint8_t* frame, size_t n)
{
    trace_raw("tun2raw:\n");
    hex_dump(frame, n);
}

[[gnu::cold, gnu::noinline]] path_outcome no_ipv6_header(size_t packet_len)
{
    if (tracing())
        trace("tun2raw: no IPv6 header (%zu)", packet_len);
    return OUTCOME_ERROR;
}

// The frame header of an IPv6 frame, 00 00 00 1c.
constexpr uint8_t ipv6_frame_header[tun_header_len] = {0, 0, 0, tun_family_inet6};

void write_outer_header(uint8_t* header, const uint8_t* packet, size_t length, in_addr source,
                        in_addr destination)
{
    const uint16_t total_length = htons(static_cast<uint16_t>(length + ipv4_header_len));
    header[0] = 0x45;
    // The IPv6 traffic class, ECN bits included, straddles bytes 0 and 1.
    header[1] = static_cast<uint8_t>((packet[0] << 4) | (packet[1] >> 4));
    std::memcpy(header + 2, &total_length, 2);
    header[4] = 0;  // identification: the kernel picks one
    header[5] = 0;
    header[6] = 0;  // flags and fragment offset: may be fragmented
    header[7] = 0;
    header[8] = outer_ttl;
    header[9] = ipv6_in_ipv4_protocol;
    header[10] = 0;  // checksum: the kernel computes it
    header[11] = 0;
    std::memcpy(header + 12, &source, 4);
    std::memcpy(header + 16, &destination, 4);
}

}  // namespace

path_outcome tun2raw_decide(const TunnelContext& ctx, uint8_t* buffer, size_t n,
                            sockaddr_in* target, size_t* length)
{
    uint8_t* frame = buffer + outbound_read_offset;
    // A read that fills the room may have been cut. Linux reports the whole
    // length of a packet it had to cut, so anything larger counts too.
    if (__builtin_expect(n >= ctx.buffer_size - outbound_read_offset, 0))
        return too_big();
    if (__builtin_expect(dumping(), 0))
        dump_frame(frame, n);
    // The IPv6 frame header is recognised here; anything else goes to
    // check_tun_header, which decides and traces.
    if ((n < tun_header_len || std::memcmp(frame, ipv6_frame_header, tun_header_len) != 0) &&
        check_tun_header(frame, n) < 0)
        return OUTCOME_ERROR;

    const size_t packet_len = n - tun_header_len;
    if (__builtin_expect(packet_len < ipv6_header_len, 0))
        return no_ipv6_header(packet_len);

    const uint8_t* packet = buffer + packet_offset;
    const uint64_t prefix = address_head(&ctx.prefix);
    const uint64_t source = address_head(ipv6_source_of(packet));
    if (__builtin_expect(heads_differ(prefix, source, delegated_prefix_len(ctx)), 0))
        return refuse("source is not me", packet);

    *target = ctx.relay_addr;
    const uint64_t destination = address_head(ipv6_destination_of(packet));
    if (!heads_differ(prefix, destination, ctx.prefix_len)) {
        // Another site of the domain: straight to the IPv4 address it embeds.
        target->sin_addr =
            head_v4_address(destination, ctx.prefix_len, ctx.v4_common_len, ctx.my_v4_addr);
        if (__builtin_expect(reject_v4_address(&target->sin_addr), 0))
            return refuse("reject IPv4 destination", packet);
    } else if (__builtin_expect(reject_v6_address(ipv6_destination_of(packet)), 0)) {
        return refuse("reject IPv6 destination", packet);
    }

    write_outer_header(buffer + outer_offset, packet, packet_len, ctx.my_v4_addr,
                       target->sin_addr);
    *length = packet_len;
    return OUTCOME_FORWARD;
}

void tun2raw_count(TunnelContext& ctx, path_outcome outcome)
{
    if (outcome == OUTCOME_REJECT)
        ++ctx.Orjct;
    else if (outcome == OUTCOME_ERROR)
        ++ctx.Oerrs;
}

// A deleted interface, or end of file, ends the loop; anything else is one
// lost packet.
[[gnu::cold]] int tun2raw_read_failed(TunnelContext& ctx, ssize_t n)
{
    ++ctx.Oerrs;
    if (n == 0) {
        log_message(LOG_ERR, "read: tun: end of file");
        return -1;
    }
    if (tun_device_gone(errno)) {
        log_message(LOG_ERR, "read: tun: %m");
        return -1;
    }
    log_packet_failure(FAILED_TUN_READ);
    return 0;
}

// A datagram larger than the IPv4 path MTU may still leave in fragments, as
// its header allows; anything else is one lost packet.
[[gnu::cold]] int tun2raw_send_failed(TunnelContext& ctx, const uint8_t* buffer,
                                     size_t length, const sockaddr_in& target)
{
    if (errno == EMSGSIZE &&
        send_fragmentable(buffer + outer_offset, length + ipv4_header_len, target) >= 0)
        return 0;
    log_packet_failure(FAILED_RAW_SEND);
    ++ctx.Oerrs;
    return -1;
}

void tun2raw_sent(TunnelContext& ctx, const uint8_t* buffer, size_t length)
{
    if (tracing()) {
        const uint8_t* packet = buffer + packet_offset;
        const char* source = v6_text(ipv6_source_of(packet));
        const char* destination = v6_text(ipv6_destination_of(packet));
        trace("out %s %s n=%u s=%zu", source, destination, ipv6_next_header_of(packet),
              length);
    }
    ++ctx.Opkts;
    ctx.Obytes += length;
}

int tun2raw(TunnelContext& ctx)
{
    const ssize_t n = tun_read(ctx.tun_fd, ctx.buffer + outbound_read_offset,
                               ctx.buffer_size - outbound_read_offset);
    if (__builtin_expect(n <= 0, 0))
        return tun2raw_read_failed(ctx, n);

    sockaddr_in target;
    size_t length = 0;
    const path_outcome outcome =
        tun2raw_decide(ctx, ctx.buffer, static_cast<size_t>(n), &target, &length);
    if (__builtin_expect(outcome != OUTCOME_FORWARD, 0)) {
        tun2raw_count(ctx, outcome);
        return 0;
    }

    if (sendto(ctx.raw_fd, ctx.buffer + outer_offset, length + ipv4_header_len, 0,
               reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0 &&
        tun2raw_send_failed(ctx, ctx.buffer, length, target) == -1)
        return 0;
    tun2raw_sent(ctx, ctx.buffer, length);
    return 0;
}
