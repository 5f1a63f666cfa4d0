// SPDX-License-Identifier: BSD-2-Clause
/*
 * The floor: what forwarding costs on this machine when nothing but the I/O
 * is done. Same descriptors as ferrin (tunnel device with the kernel's
 * packet-information header, raw protocol-41 socket with IP_HDRINCL bound to
 * the own address, signal pipe), same select() loop, same system calls per
 * packet (select + read + sendto out, select + recv + write in), same tunnel
 * set-up. No checks, no counters, no trace test: every frame read goes out
 * to one fixed IPv4 destination, every datagram received goes to the device.
 *
 * usage: floor_forwarder tunN my_v4_addr destination_v4_addr
 */
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

enum { buffer_size = 2048, read_offset = 20 };

static int signal_pipe[2];

static void relay_signal(int signal_number)
{
    if (write(signal_pipe[1], &signal_number, sizeof signal_number) < 0) {
    }
}

static int open_tun(const char* name)
{
    int fd = open("/dev/net/tun", O_RDWR);
    if (fd == -1) {
        perror("open: /dev/net/tun");
        return -1;
    }
    struct ifreq request;
    memset(&request, 0, sizeof request);
    strncpy(request.ifr_name, name, sizeof request.ifr_name - 1);
    request.ifr_flags = IFF_TUN;
    if (ioctl(fd, TUNSETIFF, &request) == -1) {
        perror("ioctl(TUNSETIFF)");
        return -1;
    }

    int control = socket(AF_INET, SOCK_DGRAM, 0);
    if (control == -1) {
        perror("socket");
        return -1;
    }
    request.ifr_mtu = 1280;
    if (ioctl(control, SIOCSIFMTU, &request) == -1 || ioctl(control, SIOCGIFFLAGS, &request) == -1) {
        perror("ioctl");
        return -1;
    }
    request.ifr_flags = (short)(request.ifr_flags | IFF_UP | IFF_RUNNING);
    if (ioctl(control, SIOCSIFFLAGS, &request) == -1) {
        perror("ioctl(SIOCSIFFLAGS)");
        return -1;
    }
    close(control);
    return fd;
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s tunN my_v4_addr destination_v4_addr\n", argv[0]);
        return 1;
    }
    struct sockaddr_in own, target;
    memset(&own, 0, sizeof own);
    memset(&target, 0, sizeof target);
    own.sin_family = target.sin_family = AF_INET;
    if (inet_pton(AF_INET, argv[2], &own.sin_addr) != 1 ||
        inet_pton(AF_INET, argv[3], &target.sin_addr) != 1) {
        fprintf(stderr, "bad IPv4 address\n");
        return 1;
    }

    uint8_t* buffer = malloc(buffer_size);
    if (buffer == NULL)
        return 1;

    int tun_fd = open_tun(argv[1]);
    if (tun_fd == -1)
        return 1;

    int raw_fd = socket(AF_INET, SOCK_RAW, IPPROTO_IPV6);
    const int on = 1;
    if (raw_fd == -1 || setsockopt(raw_fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on) == -1 ||
        bind(raw_fd, (const struct sockaddr*)&own, sizeof own) == -1) {
        perror("raw socket");
        return 1;
    }

    if (pipe(signal_pipe) == -1 || fcntl(signal_pipe[1], F_SETFL, O_NONBLOCK) == -1) {
        perror("pipe");
        return 1;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = relay_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);

    /* The outer header is the same for every packet but its length. */
    uint8_t outer[20] = {0x45, 0, 0, 0, 0, 0, 0, 0, 255, 41, 0, 0};
    memcpy(outer + 12, &own.sin_addr, 4);
    memcpy(outer + 16, &target.sin_addr, 4);
    const uint8_t packet_info[4] = {0, 0, 0x86, 0xDD};

    fprintf(stderr, "floor_forwarder ready\n");

    fd_set master;
    FD_ZERO(&master);
    FD_SET(tun_fd, &master);
    FD_SET(raw_fd, &master);
    FD_SET(signal_pipe[0], &master);
    int count = tun_fd > raw_fd ? tun_fd : raw_fd;
    count = (count > signal_pipe[0] ? count : signal_pipe[0]) + 1;

    for (;;) {
        fd_set ready = master;
        if (select(count, &ready, NULL, NULL, NULL) == -1)
            continue;
        if (FD_ISSET(tun_fd, &ready)) {
            ssize_t n = read(tun_fd, buffer + read_offset, buffer_size - read_offset);
            if (n > 4) {
                size_t length = (size_t)n - 4 + 20;
                memcpy(buffer + 4, outer, sizeof outer);
                buffer[6] = (uint8_t)(length >> 8);
                buffer[7] = (uint8_t)length;
                sendto(raw_fd, buffer + 4, length, 0, (const struct sockaddr*)&target,
                       sizeof target);
            }
        }
        if (FD_ISSET(raw_fd, &ready)) {
            ssize_t n = recv(raw_fd, buffer, buffer_size, 0);
            if (n > 0) {
                size_t header = 4u * (buffer[0] & 0x0Fu);
                memcpy(buffer + header - 4, packet_info, 4);
                if (write(tun_fd, buffer + header - 4, (size_t)n - header + 4) < 0) {
                }
            }
        }
        if (FD_ISSET(signal_pipe[0], &ready)) {
            int signal_number = 0;
            if (read(signal_pipe[0], &signal_number, sizeof signal_number) <= 0)
                return 1;
            if (signal_number == SIGINT || signal_number == SIGTERM)
                return 0;
        }
    }
}
