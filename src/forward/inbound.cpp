#include "forward/inbound.h"

#include "link/tun_device.h"
#include "link/tun_io.h"
#include "mapping/acceptance.h"
#include "mapping/prefix.h"
#include "trace/trace.h"

#include <sys/socket.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr size_t ipv6_header_len = 40;
constexpr size_t ipv4_min_header_len = 20;
constexpr size_t ipv4_source_offset = 12;

const in6_addr* source_of(const uint8_t* packet)
{
    return reinterpret_cast<const in6_addr*>(packet + 8);
}

const in6_addr* destination_of(const uint8_t* packet)
{
    return reinterpret_cast<const in6_addr*>(packet + 24);
}

const in_addr* ipv4_source_of(const uint8_t* datagram)
{
    return reinterpret_cast<const in_addr*>(datagram + ipv4_source_offset);
}

path_outcome refuse(const char* reason, const uint8_t* datagram, const uint8_t* packet)
{
    if (tracing()) {
        const char* destination = v6_text(destination_of(packet));
        const char* source = v6_text(source_of(packet));
        trace("raw2tun: %s (%s %s %s)", reason, destination, source,
              v4_text(ipv4_source_of(datagram)));
    }
    return OUTCOME_REJECT;
}

}  // namespace

path_outcome raw2tun_decide(const TunnelContext& ctx, size_t n, size_t* header_len)
{
    uint8_t* datagram = ctx.buffer;
    // A datagram that fills the buffer may have been cut.
    if (n >= ctx.buffer_size) {
        trace("raw2tun: packet too big");
        return OUTCOME_ERROR;
    }
    if (dumping()) {
        trace_raw("raw2tun:\n");
        hex_dump(datagram, n);
    }
    if (n < ipv4_min_header_len) {
        trace("raw2tun: no IPv4 header (%zu)", n);
        return OUTCOME_ERROR;
    }
    const size_t header = 4u * (datagram[0] & 0x0Fu);
    if (header < ipv4_min_header_len) {
        trace("raw2tun: IPv4 header too short (%zu)", header);
        return OUTCOME_ERROR;
    }
    if (n < header) {
        trace("raw2tun: IPv4 header too long (%zu, %zu)", n, header);
        return OUTCOME_ERROR;
    }
    const size_t packet_len = n - header;
    if (packet_len < ipv6_header_len) {
        trace("raw2tun: no IPv6 header (%zu)", packet_len);
        return OUTCOME_ERROR;
    }

    uint8_t* packet = datagram + header;
    const in6_addr* source = source_of(packet);
    uint32_t ipv4_source;
    std::memcpy(&ipv4_source, datagram + ipv4_source_offset, sizeof ipv4_source);

    if (prefix_differs(&ctx.prefix, source, ctx.prefix_len)) {
        // A native IPv6 source: only the border relay may bring it in.
        if (ipv4_source != ctx.relay_addr.sin_addr.s_addr)
            return refuse("native address from non-relaying router", datagram, packet);
        if (reject_v6_address(source))
            return refuse("reject IPv6 source", datagram, packet);
    } else {
        // A site of the domain must send from the IPv4 address its IPv6
        // source embeds; the relay gets no exemption here.
        in_addr embedded;
        extract_v4_address(&embedded, &ctx.my_v4_addr, ctx.v4_common_len, source, ctx.prefix_len);
        if (embedded.s_addr != ipv4_source)
            return refuse("embedded address differs from IPv4 source", datagram, packet);
        if (reject_v4_address(&embedded))
            return refuse("reject IPv4 source", datagram, packet);
    }
    if (prefix_differs(&ctx.prefix, destination_of(packet), delegated_prefix_len(ctx)))
        return refuse("destination is not me", datagram, packet);

    if (prepend_tun_header(packet, header) < 0)
        return OUTCOME_ERROR;
    *header_len = header;
    return OUTCOME_FORWARD;
}

void raw2tun(TunnelContext& ctx)
{
    const ssize_t n = recv(ctx.raw_fd, ctx.buffer, ctx.buffer_size, 0);
    if (n < 0) {
        syslog(LOG_ERR, "recv: raw: %s", strerror(errno));
        ++ctx.Ierrs;
        return;
    }

    size_t header = 0;
    switch (raw2tun_decide(ctx, static_cast<size_t>(n), &header)) {
    case OUTCOME_FORWARD:
        break;
    case OUTCOME_REJECT:
        ++ctx.Irjct;
        return;
    case OUTCOME_ERROR:
        ++ctx.Ierrs;
        return;
    }

    const size_t packet_len = static_cast<size_t>(n) - header;
    if (tun_write(ctx.tun_fd, ctx.buffer + header - tun_header_len, packet_len + tun_header_len) <
        0) {
        syslog(LOG_ERR, "write: tun: %s", strerror(errno));
        ++ctx.Ierrs;
        return;
    }
    if (tracing()) {
        // The IPv4 source lies below the tunnel header and is still intact.
        const uint8_t* packet = ctx.buffer + header;
        const char* destination = v6_text(destination_of(packet));
        const char* source = v6_text(source_of(packet));
        trace("in  %s %s %s n=%u s=%zu", destination, source, v4_text(ipv4_source_of(ctx.buffer)),
              static_cast<unsigned>(packet[6]), packet_len);
    }
    ++ctx.Ipkts;
    ctx.Ibytes += packet_len;
}
