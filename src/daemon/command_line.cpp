// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/command_line.h"

#include "daemon/program_name.h"
#include "mapping/prefix.h"
#include "trace/log.h"
#include "trace/trace.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int ForegroundFlag = 0;
const char* UserArg = nullptr;
const char* CommonLenArg = nullptr;
const char* BatchArg = nullptr;

void print_usage()
{
    printf("usage: %s [-dFhV] [-r v4_common_len] [-u user] tunN prefix/prefixlen relay_v4_addr "
           "my_v4_addr\n",
           program_name());
}

int read_options(int argc, char** argv)
{
    // The leading '+' keeps glibc's getopt in its POSIX form: options end at
    // the first positional argument and nothing is reordered. -b is not in
    // the usage line, which scripts read as it always was.
    int option;
    while ((option = getopt(argc, argv, "+b:dFhr:u:V")) != -1) {
        switch (option) {
        case 'b':
            BatchArg = optarg;
            break;
        case 'd':
            ++DebugLevel;
            break;
        case 'F':
            ForegroundFlag = 1;
            break;
        case 'r':
            CommonLenArg = optarg;
            break;
        case 'u':
            UserArg = optarg;
            break;
        case 'V':
            printf("%s\n", identity);
            return -1;
        case 'h':
        default:
            print_usage();
            return -1;
        }
    }
    return optind;
}

int parse_number(const char* text, int min, int max, const char* label)
{
    errno = 0;
    char* end = nullptr;
    const long value = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0') {
        log_message(LOG_ERR, "%s: %s not a number", text, label);
        return -1;
    }
    // Compared as a long, before any narrowing: 4294967328 is out of range,
    // not 32.
    if (errno == ERANGE || value < min || value > max) {
        log_message(LOG_ERR, "%s: %s out of range", text, label);
        return -1;
    }
    return static_cast<int>(value);
}

int parse_prefix_argument(const char* argument, TunnelContext& ctx)
{
    char copy[50];
    if (std::strlen(argument) >= sizeof copy) {
        log_message(LOG_ERR, "%s: prefix string too long", argument);
        return -1;
    }
    std::strcpy(copy, argument);

    char* slash = std::strchr(copy, '/');
    if (slash == nullptr) {
        log_message(LOG_ERR, "%s: prefixlen is not specified", copy);
        return -1;
    }
    *slash = '\0';

    const int parsed = inet_pton(AF_INET6, copy, &ctx.prefix);
    if (parsed == -1) {
        log_message(LOG_ERR, "%s: %m", copy);
        return -1;
    }
    if (parsed == 0) {
        log_message(LOG_ERR, "%s: failed to parse", copy);
        return -1;
    }

    const int length = parse_number(slash + 1, min_prefix_len, max_prefix_len, "prefixlen");
    if (length == -1)
        return -1;
    ctx.prefix_len = length;
    return 0;
}

int resolve_relay(const char* text, TunnelContext& ctx)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_RAW;
    hints.ai_protocol = 0;

    addrinfo* result = nullptr;
    const int error = getaddrinfo(text, nullptr, &hints, &result);
    if (error != 0) {
        log_message(LOG_ERR, "getaddrinfo: %s: %s", text, gai_strerror(error));
        return -1;
    }
    if (result->ai_addrlen != sizeof ctx.relay_addr) {
        log_message(LOG_ERR, "length of sockaddr_in mismatch");
        freeaddrinfo(result);
        return -1;
    }
    std::memcpy(&ctx.relay_addr, result->ai_addr, sizeof ctx.relay_addr);
    freeaddrinfo(result);
    return 0;
}
