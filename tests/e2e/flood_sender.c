// SPDX-License-Identifier: BSD-2-Clause
/* Floods a 6rd endpoint for test_flood.py, at full speed, for a bounded time.
 *
 *   flood_sender raw SECONDS SEED TARGET RELAY PEER
 *       From an attacker's namespace: protocol-41 datagrams to TARGET with
 *       forged IPv4 headers (IP_HDRINCL), in the categories below. None of
 *       them may be delivered: each breaks a rule, is malformed, or is too
 *       big. Every IPv6 packet carries the marker "SPOOFED!".
 *   flood_sender tun SECONDS SEED IFNAME
 *       From inside the endpoint's namespace: arbitrary frames queued to the
 *       tun interface through a packet socket (IPv6, IPv4 and unknown
 *       EtherTypes, random bytes and forged headers), and UDP over IPv6 and
 *       IPv4 to random destinations routed into the interface.
 *
 * The domain is 2001:db8::/32 without common bits, so a site's /64 is
 * 2001:db8 followed by its IPv4 address. Destinations of everything sent
 * into the tunnel are documentation addresses or addresses the rules refuse.
 * At the end one line per category: "<category> <datagrams sent>".
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define BATCH 64
#define MAX_DATAGRAM 3100

static uint64_t rng_state;

static uint64_t next_random(void)
{
    /* xorshift64* */
    rng_state ^= rng_state >> 12;
    rng_state ^= rng_state << 25;
    rng_state ^= rng_state >> 27;
    return rng_state * 2685821657736338717ULL;
}

static unsigned below(unsigned n)
{
    return (unsigned)(next_random() % n);
}

static void random_bytes(uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        p[i] = (uint8_t)next_random();
}

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + t.tv_nsec / 1e9;
}

static uint32_t parse_v4(const char *text)
{
    struct in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1) {
        fprintf(stderr, "not an IPv4 address: %s\n", text);
        exit(2);
    }
    return a.s_addr;
}

/* 2001:db8 followed by the IPv4 address, then random interface bits. */
static void site_address(uint8_t out[16], uint32_t v4)
{
    const uint8_t head[4] = {0x20, 0x01, 0x0d, 0xb8};
    memcpy(out, head, 4);
    memcpy(out + 4, &v4, 4);
    random_bytes(out + 8, 8);
}

static uint32_t documentation_v4(void)
{
    static const uint8_t nets[3][3] = {{192, 0, 2}, {198, 51, 100}, {203, 0, 113}};
    const uint8_t *net = nets[below(3)];
    const uint8_t a[4] = {net[0], net[1], net[2], (uint8_t)(1 + below(254))};
    uint32_t v4;
    memcpy(&v4, a, 4);
    return v4;
}

/* ------------------------------------------------------------ raw mode */

enum {
    C_RANDOM,
    C_SHORT,
    C_OPTIONS,
    C_TOO_BIG,
    C_NON_RELAY,
    C_REJECT_V6,
    C_EMBEDDED_DIFFERS,
    C_REJECT_V4,
    C_NOT_ME,
    C_COUNT
};

static const char *const category_names[C_COUNT] = {
    "random", "short", "options", "too_big", "native_from_non_relay",
    "reject_ipv6_source", "embedded_differs", "reject_ipv4_source", "destination_not_me",
};

struct domain {
    uint32_t target, relay, peer;
};

/* An ICMPv6 echo request marked as a spoof. Returns its length. */
static size_t spoof_packet(uint8_t *p, const uint8_t src[16], const uint8_t dst[16])
{
    const size_t payload = 16 + below(160);
    p[0] = 0x60;
    p[1] = p[2] = p[3] = 0;
    p[4] = (uint8_t)(payload >> 8);
    p[5] = (uint8_t)payload;
    p[6] = 58;
    p[7] = 64;
    memcpy(p + 8, src, 16);
    memcpy(p + 24, dst, 16);
    random_bytes(p + 40, payload);
    p[40] = 128;
    p[41] = 0;
    memcpy(p + 48, "SPOOFED!", 8);
    return 40 + payload;
}

/* The IPv6 part of a datagram that breaks one rule. */
static size_t rule_breaker(uint8_t *p, int category, const struct domain *d, uint32_t *v4_source)
{
    uint8_t src[16], dst[16];
    site_address(dst, d->target);  /* inside the target's delegated prefix */
    switch (category) {
    case C_NON_RELAY: {
        /* A native source from anyone but the relay. */
        const uint8_t native[4] = {0x3f, 0xff, (uint8_t)below(16), (uint8_t)next_random()};
        random_bytes(src, 16);
        memcpy(src, native, 4);
        do
            *v4_source = below(4) == 0 ? d->peer : documentation_v4();
        while (*v4_source == d->relay);
        break;
    }
    case C_REJECT_V6: {
        /* The relay's address, with a native source that is never carried. */
        static const uint8_t heads[][2] = {
            {0xfe, 0x80}, {0xfe, 0xbf}, {0xfe, 0xc0}, {0xff, 0x02}, {0xff, 0x05}, {0xff, 0x0f},
            {0x00, 0x00}, {0x00, 0x01},
        };
        random_bytes(src, 16);
        memcpy(src, heads[below(sizeof heads / sizeof heads[0])], 2);
        *v4_source = d->relay;
        break;
    }
    case C_EMBEDDED_DIFFERS: {
        /* A site's address from another IPv4 source, the relay included. */
        const uint32_t claimed = below(2) ? d->peer : documentation_v4();
        site_address(src, claimed);
        do
            *v4_source = below(3) == 0 ? d->relay : documentation_v4();
        while (*v4_source == claimed);
        break;
    }
    case C_REJECT_V4: {
        /* Private and link-local IPv4 addresses, consistently embedded. */
        static const uint8_t nets[][2] = {{10, 0}, {172, 16}, {172, 31}, {192, 168}, {169, 254}};
        const uint8_t *net = nets[below(sizeof nets / sizeof nets[0])];
        uint8_t a[4] = {net[0], net[1], (uint8_t)below(256), (uint8_t)(1 + below(254))};
        if (net[0] == 10)
            a[1] = (uint8_t)below(256);
        memcpy(v4_source, a, 4);
        site_address(src, *v4_source);
        break;
    }
    case C_NOT_ME:
    default: {
        /* The peer, correctly sourced, to somewhere that is not the target. */
        static const uint8_t elsewhere[][8] = {
            {0x20, 0x01, 0x0d, 0xb8, 0xc0, 0x00, 0x02, 0x02},
            {0x3f, 0xff, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01},
        };
        *v4_source = d->peer;
        site_address(src, d->peer);
        switch (below(3)) {
        case 0:
            site_address(dst, d->peer);
            break;
        default:
            random_bytes(dst, 16);
            memcpy(dst, elsewhere[below(2)], 8);
            break;
        }
        break;
    }
    }
    return spoof_packet(p, src, dst);
}

static size_t ipv4_header(uint8_t *p, size_t header_len, uint32_t src, uint32_t dst)
{
    memset(p, 0, header_len);
    p[0] = (uint8_t)(0x40 | (header_len / 4));
    p[1] = (uint8_t)next_random();
    p[8] = 64;
    p[9] = 41;
    memcpy(p + 12, &src, 4);
    memcpy(p + 16, &dst, 4);
    /* Options: no-operation bytes, now and then ended early by end-of-list. */
    memset(p + 20, 1, header_len - 20);
    if (header_len > 20 && below(4) == 0)
        p[20 + below((unsigned)(header_len - 20))] = 0;
    return header_len;
}

static size_t build_datagram(uint8_t *p, int category, const struct domain *d)
{
    size_t h = 20;
    uint32_t v4_source = documentation_v4();
    switch (category) {
    case C_RANDOM: {
        const size_t payload = below(1400);
        ipv4_header(p, h, v4_source, d->target);
        random_bytes(p + h, payload);
        return h + payload;
    }
    case C_SHORT: {
        const size_t payload = below(40);
        ipv4_header(p, h, below(2) ? d->relay : v4_source, d->target);
        random_bytes(p + h, payload);
        return h + payload;
    }
    case C_TOO_BIG: {
        /* 2048 bytes and more fill the receive buffer. */
        const size_t total = 2048 + (below(2) ? below(4) : below(1000));
        ipv4_header(p, h, below(2) ? d->peer : v4_source, d->target);
        random_bytes(p + h, total - h);
        return total;
    }
    case C_OPTIONS: {
        h = 4 * (6 + below(10));
        if (below(2)) {
            const size_t payload = below(80);
            ipv4_header(p, h, v4_source, d->target);
            random_bytes(p + h, payload);
            return h + payload;
        }
        const size_t l = rule_breaker(p + h, C_NON_RELAY + (int)below(5), d, &v4_source);
        ipv4_header(p, h, v4_source, d->target);
        return h + l;
    }
    default: {
        const size_t l = rule_breaker(p + h, category, d, &v4_source);
        ipv4_header(p, h, v4_source, d->target);
        return h + l;
    }
    }
}

static int pick_category(void)
{
    /* random 20 %, short 10 %, options 10 %, too big 5 %, each rule 11 %. */
    const unsigned r = below(100);
    if (r < 20)
        return C_RANDOM;
    if (r < 30)
        return C_SHORT;
    if (r < 40)
        return C_OPTIONS;
    if (r < 45)
        return C_TOO_BIG;
    return C_NON_RELAY + (int)((r - 45) / 11);
}

static int raw_mode(double seconds, const struct domain *d)
{
    const int fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (fd < 0) {
        perror("socket");
        return 1;
    }
    const int one = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &one, sizeof one) < 0) {
        perror("setsockopt");
        return 1;
    }
    struct sockaddr_in to = {.sin_family = AF_INET, .sin_addr.s_addr = d->target};

    static uint8_t data[BATCH][MAX_DATAGRAM];
    struct iovec iov[BATCH];
    struct mmsghdr msgs[BATCH];
    int categories[BATCH];
    unsigned long long sent[C_COUNT] = {0};

    const double end = now() + seconds;
    while (now() < end) {
        for (int i = 0; i < BATCH; ++i) {
            categories[i] = pick_category();
            iov[i].iov_base = data[i];
            iov[i].iov_len = build_datagram(data[i], categories[i], d);
            memset(&msgs[i], 0, sizeof msgs[i]);
            msgs[i].msg_hdr.msg_name = &to;
            msgs[i].msg_hdr.msg_namelen = sizeof to;
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int at = 0;
        while (at < BATCH) {
            const int n = sendmmsg(fd, msgs + at, BATCH - at, 0);
            if (n < 0) {
                if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR)
                    break;
                perror("sendmmsg");
                return 1;
            }
            for (int i = at; i < at + n; ++i)
                ++sent[categories[i]];
            at += n;
        }
    }
    unsigned long long total = 0;
    for (int c = 0; c < C_COUNT; ++c) {
        printf("%s %llu\n", category_names[c], sent[c]);
        total += sent[c];
    }
    printf("total %llu\n", total);
    return 0;
}

/* ------------------------------------------------------------ tun mode */

/* An IPv6 header from the site or from elsewhere to a destination that is
 * routed to the relay, embeds a documentation address, or is refused. */
static size_t forged_ipv6(uint8_t *p)
{
    const size_t payload = below(300);
    random_bytes(p, 40 + payload);
    p[0] = (uint8_t)(0x60 | (p[0] & 0x0f));
    p[4] = (uint8_t)(payload >> 8);
    p[5] = (uint8_t)payload;
    if (below(4)) {
        const uint8_t own[8] = {0x20, 0x01, 0x0d, 0xb8, 0xc0, 0x00, 0x02, 0x01};
        memcpy(p + 8, own, 8);
    }
    switch (below(4)) {
    case 0: {
        const uint8_t relay[3] = {0x3f, 0xff, 0x00};
        memcpy(p + 24, relay, 3);
        break;
    }
    case 1: {
        /* Another site of the domain, at 203.0.113.2 to .254: never the
         * peer, never the endpoint itself. */
        const uint8_t site[8] = {0x20, 0x01, 0x0d, 0xb8, 203, 0, 113, (uint8_t)(2 + below(253))};
        memcpy(p + 24, site, 8);
        break;
    }
    case 2: {
        const uint8_t refused[6] = {0x20, 0x01, 0x0d, 0xb8, 0x0a, 0x00};
        memcpy(p + 24, refused, 6);
        break;
    }
    default: {
        const uint8_t link_local[2] = {0xfe, 0x80};
        memcpy(p + 24, link_local, 2);
        break;
    }
    }
    return 40 + payload;
}

static int tun_mode(double seconds, const char *ifname)
{
    const unsigned ifindex = if_nametoindex(ifname);
    if (ifindex == 0) {
        perror(ifname);
        return 1;
    }
    const int packet_fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    const int udp6 = socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    const int udp4 = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (packet_fd < 0 || udp6 < 0 || udp4 < 0) {
        perror("socket");
        return 1;
    }
    static uint8_t frame[2048];
    unsigned long long frames_ipv6 = 0, frames_ipv4 = 0, frames_other = 0, udp_sent = 0;
    const double end = now() + seconds;
    while (now() < end) {
        for (int i = 0; i < BATCH; ++i) {
            const unsigned kind = below(20);
            if (kind < 16) {
                struct sockaddr_ll to = {.sll_family = AF_PACKET, .sll_ifindex = (int)ifindex};
                size_t length;
                unsigned long long *counter;
                if (kind < 11) {
                    to.sll_protocol = htons(ETH_P_IPV6);
                    counter = &frames_ipv6;
                    if (kind < 6) {
                        length = forged_ipv6(frame);
                    } else {
                        length = 1 + below(kind < 9 ? 60 : 1280);
                        random_bytes(frame, length);
                    }
                } else if (kind < 14) {
                    to.sll_protocol = htons(ETH_P_IP);
                    counter = &frames_ipv4;
                    length = 1 + below(600);
                    random_bytes(frame, length);
                } else {
                    to.sll_protocol = (uint16_t)next_random();
                    counter = &frames_other;
                    length = 1 + below(600);
                    random_bytes(frame, length);
                }
                if (sendto(packet_fd, frame, length, 0, (struct sockaddr *)&to, sizeof to) >= 0)
                    ++*counter;
            } else if (kind < 19) {
                /* UDP that the kernel routes into the tunnel. */
                struct sockaddr_in6 to = {.sin6_family = AF_INET6, .sin6_port = htons(9)};
                random_bytes(to.sin6_addr.s6_addr, 16);
                if (kind == 16) {
                    const uint8_t relay[3] = {0x3f, 0xff, 0x01};
                    memcpy(to.sin6_addr.s6_addr, relay, 3);
                } else {
                    const uint8_t head[7] = {0x20, 0x01, 0x0d, 0xb8, 203, 0, 113};
                    memcpy(to.sin6_addr.s6_addr, head, 7);
                }
                if (sendto(udp6, frame, below(200), 0, (struct sockaddr *)&to, sizeof to) >= 0)
                    ++udp_sent;
            } else {
                const uint8_t a[4] = {203, 0, 113, (uint8_t)(128 + below(127))};
                struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons(9)};
                memcpy(&to.sin_addr, a, 4);
                if (sendto(udp4, frame, below(200), 0, (struct sockaddr *)&to, sizeof to) >= 0)
                    ++udp_sent;
            }
        }
    }
    printf("frames_ipv6 %llu\nframes_ipv4 %llu\nframes_other %llu\nudp %llu\n", frames_ipv6,
           frames_ipv4, frames_other, udp_sent);
    printf("total %llu\n", frames_ipv6 + frames_ipv4 + frames_other + udp_sent);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc >= 4) {
        const double seconds = atof(argv[2]);
        rng_state = strtoull(argv[3], NULL, 10) * 0x9E3779B97F4A7C15ULL + 1;
        if (strcmp(argv[1], "raw") == 0 && argc == 7) {
            const struct domain d = {parse_v4(argv[4]), parse_v4(argv[5]), parse_v4(argv[6])};
            return raw_mode(seconds, &d);
        }
        if (strcmp(argv[1], "tun") == 0 && argc == 5)
            return tun_mode(seconds, argv[4]);
    }
    fprintf(stderr, "usage: %s raw SECONDS SEED TARGET RELAY PEER\n"
                    "       %s tun SECONDS SEED IFNAME\n", argv[0], argv[0]);
    return 2;
}
