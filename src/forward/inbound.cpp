// SPDX-License-Identifier: BSD-2-Clause
#include "forward/inbound.h"

#include "forward/failure_log.h"
#include "forward/ipv6_fields.h"
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

constexpr size_t ipv4_min_header_len = 20;
constexpr size_t ipv4_source_offset = 12;

const in_addr* ipv4_source_of(const uint8_t* datagram)
{
    return reinterpret_cast<const in_addr*>(datagram + ipv4_source_offset);
}

// Refusals and faults are rare: kept out of line, so that the common path
// stays short.
[[gnu::cold, gnu::noinline]] path_outcome refuse(const char* reason, const uint8_t* datagram,
                                                 const uint8_t* packet)
{
    if (tracing()) {
        const char* destination = v6_text(ipv6_destination_of(packet));
        const char* source = v6_text(ipv6_source_of(packet));
        trace("raw2tun: %s (%s %s %s)", reason, destination, source,
              v4_text(ipv4_source_of(datagram)));
    }
    return OUTCOME_REJECT;
}

[[gnu::cold, gnu::noinline]] path_outcome too_big()
{
    if (tracing())
        trace("raw2tun: packet too big");
    return OUTCOME_ERROR;
}

[[gnu::cold, gnu::noinline]] void dump_datagram(const uint8_t* datagram, size_t n)
{
    trace_raw("raw2tun:\n");
    hex_dump(datagram, n);
}

// The faults of the size and header-length tests, in the order they are made.
[[gnu::cold, gnu::noinline]] path_outcome malformed(size_t n, size_t header)
{
    if (tracing()) {
        if (n < ipv4_min_header_len)
            trace("raw2tun: no IPv4 header (%zu)", n);
        else if (header < ipv4_min_header_len)
            trace("raw2tun: IPv4 header too short (%zu)", header);
        else if (n < header)
            trace("raw2tun: IPv4 header too long (%zu, %zu)", n, header);
        else
            trace("raw2tun: no IPv6 header (%zu)", n - header);
    }
    return OUTCOME_ERROR;
}

}  // namespace

path_outcome raw2tun_decide(const TunnelContext& ctx, uint8_t* buffer, size_t n,
                            size_t* header_len)
{
    uint8_t* datagram = buffer;
    // A datagram that fills the buffer may have been cut.
    if (__builtin_expect(n >= ctx.buffer_size, 0))
        return too_big();
    if (__builtin_expect(dumping(), 0))
        dump_datagram(datagram, n);
    if (__builtin_expect(n < ipv4_min_header_len, 0))
        return malformed(n, 0);
    const size_t header = 4u * (datagram[0] & 0x0Fu);
    // Together: header < 20, n < header, or fewer than 40 bytes behind it.
    if (__builtin_expect(header < ipv4_min_header_len || n < header + ipv6_header_len, 0))
        return malformed(n, header);

    uint8_t* packet = datagram + header;
    uint32_t ipv4_source;
    std::memcpy(&ipv4_source, datagram + ipv4_source_offset, sizeof ipv4_source);

    const uint64_t prefix = address_head(&ctx.prefix);
    const uint64_t source = address_head(ipv6_source_of(packet));
    if (heads_differ(prefix, source, ctx.prefix_len)) {
        // A native IPv6 source: only the border relay may bring it in.
        if (__builtin_expect(ipv4_source != ctx.relay_addr.sin_addr.s_addr, 0))
            return refuse("native address from non-relaying router", datagram, packet);
        if (__builtin_expect(reject_v6_address(ipv6_source_of(packet)), 0))
            return refuse("reject IPv6 source", datagram, packet);
    } else {
        // A site of the domain must send from the IPv4 address its IPv6
        // source embeds; the relay gets no exemption here.
        const in_addr embedded =
            head_v4_address(source, ctx.prefix_len, ctx.v4_common_len, ctx.my_v4_addr);
        if (__builtin_expect(embedded.s_addr != ipv4_source, 0))
            return refuse("embedded address differs from IPv4 source", datagram, packet);
        if (__builtin_expect(reject_v4_address(&embedded), 0))
            return refuse("reject IPv4 source", datagram, packet);
    }
    const uint64_t destination = address_head(ipv6_destination_of(packet));
    if (__builtin_expect(heads_differ(prefix, destination, delegated_prefix_len(ctx)), 0))
        return refuse("destination is not me", datagram, packet);

    if (prepend_tun_header(packet, header) < 0)
        return OUTCOME_ERROR;
    *header_len = header;
    return OUTCOME_FORWARD;
}

void raw2tun_count(TunnelContext& ctx, path_outcome outcome)
{
    if (outcome == OUTCOME_REJECT)
        ++ctx.Irjct;
    else if (outcome == OUTCOME_ERROR)
        ++ctx.Ierrs;
}

[[gnu::cold]] void raw2tun_receive_failed(TunnelContext& ctx)
{
    log_packet_failure(FAILED_RAW_RECV);
    ++ctx.Ierrs;
}

// A deleted interface ends the loop; anything else (the interface set down)
// is one lost packet.
[[gnu::cold]] int raw2tun_write_failed(TunnelContext& ctx)
{
    ++ctx.Ierrs;
    if (tun_device_gone(errno)) {
        log_message(LOG_ERR, "write: tun: %m");
        return -1;
    }
    log_packet_failure(FAILED_TUN_WRITE);
    return 0;
}

void raw2tun_delivered(TunnelContext& ctx, const uint8_t* buffer, size_t header_len,
                       size_t packet_len)
{
    if (tracing()) {
        // The IPv4 source lies below the tunnel header and is still intact.
        const uint8_t* packet = buffer + header_len;
        const char* destination = v6_text(ipv6_destination_of(packet));
        const char* source = v6_text(ipv6_source_of(packet));
        trace("in  %s %s %s n=%u s=%zu", destination, source, v4_text(ipv4_source_of(buffer)),
              ipv6_next_header_of(packet), packet_len);
    }
    ++ctx.Ipkts;
    ctx.Ibytes += packet_len;
}

int raw2tun(TunnelContext& ctx)
{
    const ssize_t n = recv(ctx.raw_fd, ctx.buffer, ctx.buffer_size, 0);
    if (__builtin_expect(n < 0, 0)) {
        raw2tun_receive_failed(ctx);
        return 0;
    }

    size_t header = 0;
    const path_outcome outcome =
        raw2tun_decide(ctx, ctx.buffer, static_cast<size_t>(n), &header);
    if (__builtin_expect(outcome != OUTCOME_FORWARD, 0)) {
        raw2tun_count(ctx, outcome);
        return 0;
    }

    const size_t packet_len = static_cast<size_t>(n) - header;
    if (tun_write(ctx.tun_fd, ctx.buffer + header - tun_header_len, packet_len + tun_header_len) <
        0)
        return raw2tun_write_failed(ctx);
    raw2tun_delivered(ctx, ctx.buffer, header, packet_len);
    return 0;
}
