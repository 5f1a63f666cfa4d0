// SPDX-License-Identifier: BSD-2-Clause
// Linux never fragments a datagram sent with IP_HDRINCL: one larger than the
// path MTU fails with EMSGSIZE, although its header (don't-fragment clear)
// allows fragments. Such a datagram goes again through a second protocol-41
// socket without IP_HDRINCL, on which the kernel builds the same header from
// the socket's settings (the bound source, TTL 255, the packet's type of
// service, don't-fragment clear) and fragments what does not fit.
#include "link/raw_endpoint.h"

#include "trace/log.h"

#include <linux/filter.h>
#include <netinet/ip.h>
#include <unistd.h>

namespace {

constexpr int outer_ttl = 255;
constexpr size_t ipv4_header_len = 20;

int FragmentFd = -1;
int FragmentTos = 0;  // the type of service the socket sends with now

// Every raw socket of protocol 41 gets a copy of every datagram that
// arrives; this one never reads, so it takes none in.
int refuse_all_input(int fd)
{
    sock_filter drop_all[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
    sock_fprog program{1, drop_all};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
}

// What arrived between the socket's creation and its filter would stay
// queued for good; with the filter in place nothing joins it, so one pass
// empties the queue. A one-byte read takes a whole datagram.
void drop_queued_input(int fd)
{
    char byte;
    while (recv(fd, &byte, sizeof byte, MSG_DONTWAIT) != -1) {
    }
}

}  // namespace

void size_receive_buffer(int fd)
{
    const int size = raw_receive_buffer;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == -1)
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

int open_fragment_sender(const sockaddr* address, socklen_t length, const char* address_text)
{
    const int fd = socket(AF_INET, SOCK_RAW, ipv6_in_ipv4_protocol);
    if (fd == -1) {
        log_message(LOG_ERR, "socket: %m");
        return -1;
    }
    const int ttl = outer_ttl;
    const int no_path_mtu_discovery = IP_PMTUDISC_DONT;
    const char* failed = nullptr;
    if (setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) == -1)
        failed = "setsockopt(IP_TTL)";
    else if (setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &no_path_mtu_discovery,
                        sizeof no_path_mtu_discovery) == -1)
        failed = "setsockopt(IP_MTU_DISCOVER)";
    else if (refuse_all_input(fd) == -1)
        failed = "setsockopt(SO_ATTACH_FILTER)";
    if (failed != nullptr) {
        log_message(LOG_ERR, "%s: %m", failed);
        close(fd);
        return -1;
    }
    if (bind(fd, address, length) == -1) {
        log_message(LOG_ERR, "bind: %s: %m", address_text);
        close(fd);
        return -1;
    }
    drop_queued_input(fd);
    FragmentFd = fd;
    return 0;
}

void drop_fragment_sender_input()
{
    drop_queued_input(FragmentFd);
}

ssize_t send_fragmentable(const uint8_t* datagram, size_t length, const sockaddr_in& target)
{
    const int tos = datagram[1];
    if (tos != FragmentTos) {
        if (setsockopt(FragmentFd, IPPROTO_IP, IP_TOS, &tos, sizeof tos) == -1)
            return -1;
        FragmentTos = tos;
    }
    return sendto(FragmentFd, datagram + ipv4_header_len, length - ipv4_header_len, 0,
                  reinterpret_cast<const sockaddr*>(&target), sizeof target);
}
