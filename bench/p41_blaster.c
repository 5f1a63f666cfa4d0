// SPDX-License-Identifier: BSD-2-Clause
/*
 * Load for the inbound path: well-formed protocol-41 datagrams (IPv4 header
 * with IP_HDRINCL, IPv6 header, UDP-sized payload) from one IPv4 source to
 * one IPv4 destination, as fast as sendmmsg() takes them, for a bounded
 * time. Run in the peer's namespace. Prints the number of datagrams sent.
 *
 * usage: p41_blaster src_v4 dst_v4 src_v6 dst_v6 ipv6_length seconds
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "blast.h"

enum { max_ipv6 = 1480 };

int main(int argc, char** argv)
{
    if (argc != 7) {
        fprintf(stderr, "usage: %s src_v4 dst_v4 src_v6 dst_v6 ipv6_length seconds\n", argv[0]);
        return 2;
    }
    static uint8_t datagram[20 + max_ipv6];
    struct sockaddr_in target;
    memset(&target, 0, sizeof target);
    target.sin_family = AF_INET;
    const int length = atoi(argv[5]);
    const double seconds = atof(argv[6]);
    if (inet_pton(AF_INET, argv[1], datagram + 12) != 1 ||
        inet_pton(AF_INET, argv[2], datagram + 16) != 1 ||
        inet_pton(AF_INET6, argv[3], datagram + 20 + 8) != 1 ||
        inet_pton(AF_INET6, argv[4], datagram + 20 + 24) != 1 || length < 48 ||
        length > max_ipv6 || seconds <= 0 || seconds > 600) {
        fprintf(stderr, "bad address, length (48 to %d) or time (0 to 600 s)\n", max_ipv6);
        return 2;
    }
    memcpy(&target.sin_addr, datagram + 16, 4);

    const unsigned total = 20u + (unsigned)length;
    datagram[0] = 0x45;
    datagram[2] = (uint8_t)(total >> 8);  // the kernel sets it again on sending
    datagram[3] = (uint8_t)total;
    datagram[8] = 64;
    datagram[9] = 41;
    uint8_t* packet = datagram + 20;
    const unsigned payload = (unsigned)length - 40;
    packet[0] = 0x60;
    packet[4] = (uint8_t)(payload >> 8);
    packet[5] = (uint8_t)payload;
    packet[6] = 17;  // UDP
    packet[7] = 64;
    packet[40] = 0x30;  // ports 12345 -> 9
    packet[41] = 0x39;
    packet[43] = 9;
    packet[44] = (uint8_t)(payload >> 8);
    packet[45] = (uint8_t)payload;

    int fd = socket(AF_INET, SOCK_RAW, IPPROTO_IPV6);
    const int on = 1;
    if (fd == -1 || setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on) == -1) {
        perror("raw socket");
        return 1;
    }
    // Nothing is ever read from this socket.
    shutdown(fd, SHUT_RD);

    struct iovec iov = {datagram, total};
    printf("sent %llu\n", blast(fd, &iov, &target, sizeof target, seconds));
    return 0;
}
