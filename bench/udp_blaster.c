// SPDX-License-Identifier: BSD-2-Clause
/*
 * Load for the outbound path: IPv6 UDP datagrams of a fixed payload size to
 * one destination, as fast as sendmmsg() takes them, for a bounded time.
 * Run in the site's namespace, where the destination is routed into the
 * tunnel interface. Prints the number of datagrams the kernel accepted.
 *
 * usage: udp_blaster destination_v6 port payload_bytes seconds
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "blast.h"

enum { max_payload = 1500 };

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: %s destination_v6 port payload_bytes seconds\n", argv[0]);
        return 2;
    }
    struct sockaddr_in6 target;
    memset(&target, 0, sizeof target);
    target.sin6_family = AF_INET6;
    target.sin6_port = htons((unsigned short)atoi(argv[2]));
    if (inet_pton(AF_INET6, argv[1], &target.sin6_addr) != 1) {
        fprintf(stderr, "bad IPv6 address %s\n", argv[1]);
        return 2;
    }
    const int payload = atoi(argv[3]);
    const double seconds = atof(argv[4]);
    if (payload < 0 || payload > max_payload || seconds <= 0 || seconds > 600) {
        fprintf(stderr, "payload 0 to %d bytes, 0 to 600 seconds\n", max_payload);
        return 2;
    }

    int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd == -1 || connect(fd, (const struct sockaddr*)&target, sizeof target) == -1) {
        perror("socket/connect");
        return 1;
    }

    static char data[max_payload];
    memset(data, 0x5a, sizeof data);
    struct iovec iov = {data, (size_t)payload};
    printf("sent %llu\n", blast(fd, &iov, NULL, 0, seconds));
    return 0;
}
