// SPDX-License-Identifier: BSD-2-Clause
#include "link/raw_endpoint.h"

#include "trace/log.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int open_raw_endpoint(const char* my_v4_text, TunnelContext& ctx)
{
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_RAW;
    hints.ai_protocol = 0;

    addrinfo* result = nullptr;
    const int error = getaddrinfo(my_v4_text, nullptr, &hints, &result);
    if (error != 0) {
        log_message(LOG_ERR, "getaddrinfo: %s: %s", my_v4_text, gai_strerror(error));
        return -1;
    }
    if (result->ai_family != AF_INET) {
        log_message(LOG_ERR, "address family mismatch");
        freeaddrinfo(result);
        return -1;
    }
    std::memcpy(&ctx.my_v4_addr, &reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr,
                sizeof ctx.my_v4_addr);

    const int fd = socket(AF_INET, SOCK_RAW, ipv6_in_ipv4_protocol);
    if (fd == -1) {
        log_message(LOG_ERR, "socket: %m");
        freeaddrinfo(result);
        return -1;
    }
    const int on = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on) == -1) {
        log_message(LOG_ERR, "setsockopt(IP_HDRINCL): %m");
        freeaddrinfo(result);
        close(fd);
        return -1;
    }
    size_receive_buffer(fd);
    if (bind(fd, result->ai_addr, result->ai_addrlen) == -1) {
        log_message(LOG_ERR, "bind: %s: %m", my_v4_text);
        freeaddrinfo(result);
        close(fd);
        return -1;
    }
    if (open_fragment_sender(result->ai_addr, result->ai_addrlen, my_v4_text) == -1) {
        freeaddrinfo(result);
        close(fd);
        return -1;
    }

    freeaddrinfo(result);
    ctx.raw_fd = fd;
    return 0;
}
